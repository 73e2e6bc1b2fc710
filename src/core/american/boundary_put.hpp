// american/boundary_put.hpp: American puts with one early-exercise boundary, by spectral collocation of the boundary.
#pragma once

#include <memory>
#include <span>

#include "american/spectral_scheme.hpp"

namespace sorvik {

/// A put whose exercise region is S ≤ B(τ) for one boundary B: r > 0, or
/// r = 0 > q. Every number finite, spot and strike positive, σ√T > 0.
struct BoundaryPut {
    double spot = 0.0;
    double strike = 0.0;
    double years = 0.0;
    double rate = 0.0;
    double dividend_yield = 0.0;
    double vol = 0.0;
};

/// Price and sensitivities; theta per year of calendar time, vega per unit of
/// volatility, the rate and yield sensitivities per unit of r and of q. The
/// three parameter sensitivities include the boundary's own response.
struct BoundaryPutValue {
    double price, delta, gamma, theta, vega, rate_sensitivity, yield_sensitivity;
    bool exercised;  ///< spot at or below the boundary: the payoff and its greeks
};

/// Values puts with the given scheme into `out` (same length), one after the
/// other with their work arrays allocated once; within an option the
/// quadrature points go two at a time through SIMD lanes. A result depends
/// on its own put only (not on its neighbours, the batch or the thread).
///
/// The method (Andersen, Lake & Offengenden's integral equation for the
/// boundary, solved at Chebyshev nodes): with X = K·min(1, r/q) the
/// boundary at expiry, ln(B/X)² is interpolated in √τ; the boundary solves
/// the smooth-pasting equations ∂V/∂S(τ_i, B_i) = −1, in which V is the
/// European value plus the early-exercise premium integral over the
/// boundary, by Newton's method with the full Jacobian, stage by stage from
/// coarse to fine (the first from a closed-form guess). The price is the
/// European value plus the premium; delta and gamma differentiate it at a
/// fixed boundary (which does not depend on the spot), theta follows from
/// the pricing equation, and vega and the rate sensitivities add the
/// boundary's response through the adjoint of the Jacobian.
void value_boundary_puts(std::span<const BoundaryPut> puts, const SpectralScheme& scheme,
                         std::span<BoundaryPutValue> out);

struct BoundaryPutWorkspace;

/// value_boundary_puts one put at a time, its work arrays allocated once for
/// the pricer's life (a search valuing one option many times, a worker
/// valuing its share of a book). Not shareable between threads.
class BoundaryPutPricer {
public:
    explicit BoundaryPutPricer(const SpectralScheme& scheme);
    ~BoundaryPutPricer();
    BoundaryPutPricer(const BoundaryPutPricer&) = delete;
    BoundaryPutPricer& operator=(const BoundaryPutPricer&) = delete;

    /// Price and sensitivities.
    BoundaryPutValue value(const BoundaryPut& put);
    /// The price alone, without the sensitivities' work (a root search in σ
    /// needs nothing else); the same bits as value(put).price.
    double price(const BoundaryPut& put);

private:
    const SpectralScheme& scheme_;
    std::unique_ptr<BoundaryPutWorkspace> work_;
};

/// The boundary B(τ) at the last stage's nodes τ_i = T·z_i² (i = 0 … n),
/// into `out` (n + 1 values; B(0) = X).
void exercise_boundary(const BoundaryPut& put, const SpectralScheme& scheme, std::span<double> out);

}  // namespace sorvik
