// american/spectral_scheme.hpp: the fixed nodes, quadrature and interpolation tables of each precision level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvik {

/// How finely the exercise-boundary engine works (measured errors and costs
/// are in the methods page). Standard: prices within about 5e-8·max(S, K),
/// greeks within 1e-4 relative; High: prices within about 4e-10·max(S, K),
/// at about four and a half times the cost.
enum class SpectralPrecision : uint8_t { Standard, High };

/// The counts of one stage of the boundary solve.
struct StageCounts {
    std::size_t nodes;       ///< Chebyshev intervals (the unknowns)
    std::size_t points;      ///< quadrature points per node (even)
    std::size_t iterations;  ///< Newton steps
};

/// The fixed counts of one level. The boundary is solved in stages from
/// coarse to fine, the first from a closed-form guess, each later one from
/// the boundary of the one before; the price integral has its own points.
/// Counts never depend on the option, so the price is a smooth function of
/// its inputs.
struct SpectralCounts {
    std::vector<StageCounts> stages;
    std::size_t price_points;  ///< quadrature points of the price integral (even)
};

/// The counts behind each precision level.
SpectralCounts spectral_counts(SpectralPrecision precision);

/// One stage of the boundary solve, independent of the option.
///
/// The boundary is represented by its values at the Chebyshev nodes
/// z_i = sin²(iπ/2n), i = 0 … n, of z = √(τ/T) (τ the time to expiry; node 0
/// is expiry, node n the valuation date), through H = ln(B/X)², which is
/// smooth in √τ. The integrals over u ∈ [0, τ_i] use u = τ_i·sin²θ with
/// Gauss–Legendre points θ_k on (0, π/2): B is smooth in √u = √τ_i·sin θ and
/// the 1/√(τ_i − u) of the kernels cancels against du = 2τ_i·sin θ·cos θ dθ.
struct CollocationStage {
    std::size_t nodes = 0;   ///< n; the unknowns are nodes 1 … n (node 0 is fixed)
    std::size_t points = 0;  ///< l
    std::vector<double> z;          ///< z_0 … z_n
    std::vector<double> sin_theta;  ///< sin θ_k, k < l
    std::vector<double> cos_theta;  ///< cos θ_k, computed as sin(π/2 − θ_k) for accuracy near π/2
    std::vector<double> weight;     ///< Gauss–Legendre weights on (0, π/2)
    /// H at the point z_i·sin θ_k from the node values H_1 … H_n (H_0 = 0):
    /// entry [((i − 1)·n + (j − 1))·l + k], for i, j = 1 … n; the points run
    /// fastest, so a row's points are interpolated side by side.
    std::vector<double> interpolation;
};

/// Everything one precision level needs, built once.
struct SpectralScheme {
    SpectralCounts counts;
    std::vector<CollocationStage> stages;
    /// Node values of H of stage s + 1 from those of stage s:
    /// upsampling[s][(i − 1)·n_s + (j − 1)].
    std::vector<std::vector<double>> upsampling;
    /// For the nodes of stage s + 1 closer to expiry than stage s's first node,
    /// where the interpolant of H is poorest (H ~ τ·ln(1/τ) there): the
    /// weight ω of the straight line through stage s's first two nodes in
    /// (ln z, u²), u = ln(X/B)/(σ√τ) the boundary's depth in standard
    /// deviations: u² = u₁² + ω·(u₂² − u₁²). NaN for the other nodes.
    std::vector<std::vector<double>> near_expiry;
    const CollocationStage& fine() const { return stages.back(); }
    /// The price integral's Gauss–Legendre points w_k and weights on (0, 1);
    /// each option maps them to θ = π/2 − a·sinh(β·w), u = T·sin²θ, which
    /// crowds them where the spot's distance from the boundary makes the
    /// integrand turn (see value_boundary_puts).
    std::vector<double> price_nodes, price_weight;
    /// The Chebyshev coefficients c_0 … c_n of the last stage's interpolant
    /// of H in ξ = 2z − 1, from the node values H_1 … H_n: [m·n + (j − 1)].
    std::vector<double> chebyshev_coefficients;

    /// Throws Fault for no stage, fewer than 2 nodes or odd point counts (the
    /// kernel takes the points two at a time).
    explicit SpectralScheme(const SpectralCounts& counts);

    /// The level's scheme, built on first use (thread-safe) and kept.
    static const SpectralScheme& of(SpectralPrecision precision);
};

/// Gauss–Legendre points (ascending) and weights on (−1, 1), by Newton's
/// method on the Legendre polynomial; exact for polynomials of degree < 2·count.
void gauss_legendre(std::size_t count, std::vector<double>& points, std::vector<double>& weights);

}  // namespace sorvik
