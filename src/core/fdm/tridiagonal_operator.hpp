// fdm/tridiagonal_operator.hpp: tridiagonal A with y = A·x and the Thomas factorisation of I − a·A.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "fdm/cancellation.hpp"
#include "fdm/grid_memory.hpp"

namespace sorvik {

/// The order in which a solve eliminates rows: ascending (row 0 first, then
/// substitution back from row N−1) or descending (the mirror image). An
/// exercise rule solved during substitution needs the exercise side to be
/// where substitution ends, hence both.
enum class SweepOrder { Ascending, Descending };

/// Row index of the k-th row in elimination order.
template <SweepOrder Order>
constexpr std::size_t row_at(std::size_t k, std::size_t n) {
    return Order == SweepOrder::Ascending ? k : n - 1 - k;
}

/// The Thomas factorisation of I − a·A without pivoting, in elimination order
/// k (row row_at(k)): "previous" is the row eliminated before, "next" the one
/// after; for the ascending order these are the lower and upper neighbours.
struct TridiagonalFactorization {
    GridArray scaled_previous;  ///< l_k = (band towards the previous row) · (−a); l_0 = 0
    GridArray modified_next;    ///< c'_k of the elimination
    GridArray inverse_pivots;   ///< p_k = 1 / pivot_k
    double coefficient = 0.0;             ///< the a it was built for
    SweepOrder order = SweepOrder::Ascending;
};

/// An N × N tridiagonal matrix (N >= 3) with immutable coefficients and a
/// cache of the factorisation last asked for (solved by lane_sweep.hpp). Row i reads
/// lower_i·x_(i−1) + diag_i·x_i + upper_i·x_(i+1); lower_0 and upper_(N−1) are unused.
/// Because a factorisation rewrites the cache, one operator serves one thread at a time.
class TridiagonalOperator {
public:
    /// Takes the three bands (equal lengths). Throws Fault "TridiagonalOperator
    /// requires at least 3 elements, found <N>" when N < 3.
    TridiagonalOperator(GridArray lower, GridArray diag, GridArray upper);

    std::size_t size() const { return diag_.size(); }
    std::span<const double> lower() const { return lower_; }
    std::span<const double> diag() const { return diag_; }
    std::span<const double> upper() const { return upper_; }

    /// y = A·x, polling `cancel` along the way. Throws Fault when x or y does
    /// not have N entries.
    void apply(std::span<const double> x, std::span<double> y, const CancellationHook& cancel = {}) const;

    /// The factorisation for coefficient a in `order`: the cached one when it
    /// has that order and its coefficient is within 1e-12 (absolute, strict)
    /// of a, else a fresh one replacing it. Only the first call allocates;
    /// later rebuilds reuse the storage. A rebuild polls `cancel` along the
    /// way; one it stops matches no later call.
    const TridiagonalFactorization& factorization(double a, SweepOrder order = SweepOrder::Ascending,
                                                  const CancellationHook& cancel = {}) const;

    /// The factorisations for several coefficients in `order`, formed together
    /// (faster than one by one), each with the values factorization() gives
    /// it; the cache is left alone.
    std::vector<TridiagonalFactorization> factorizations(std::span<const double> coefficients, SweepOrder order,
                                                         const CancellationHook& cancel = {}) const;

    /// The coefficient of the cached factorisation; empty before the first one.
    std::optional<double> cached_coefficient() const;

private:
    template <SweepOrder Order>
    void factorize(std::span<const double> coefficients, std::span<TridiagonalFactorization* const> out,
                   const CancellationHook& cancel) const;

    GridArray lower_;
    GridArray diag_;
    GridArray upper_;
    // Changes inside the const factorization(), which leaves the coefficients untouched.
    mutable std::optional<TridiagonalFactorization> cache_;
};

/// Throws Fault "TridiagonalOperator requires at least 3 elements, found <n>" for n < 3.
void require_operator_size(std::size_t n);

}  // namespace sorvik
