// fdm/fdm_process.hpp: Black–Scholes–Merton dynamics and their operator on a drifting log-spot grid.
#pragma once

#include "fdm/cancellation.hpp"
#include "fdm/tridiagonal_operator.hpp"
#include "fdm/uniform_mesher.hpp"

namespace sorvik {

/// A stock with constant rate r (discounting), dividend yield q and
/// volatility σ, in time to expiry τ and the coordinate y = ln S + κ·τ,
/// which takes over the part κ of the spot's drift that the grid cannot
/// carry (see coordinate_drift): ∂V/∂τ = L·V with
/// L = d·∂²/∂y² + (r − q − κ − d)·∂/∂y − r, d = ½σ².
class FdmProcess {
public:
    /// `grid_carry` is r − q − κ, the drift of ln S + d left on the grid.
    FdmProcess(double rate, double grid_carry, double vol)
        : rate_(rate), grid_carry_(grid_carry), half_variance_(vol * vol * 0.5) {}

    /// κ for a grid of cells `step` wide: 0 while the cell Péclet number of
    /// the drift μ = r − q − d is at most 1/2 (|μ|·step/(2d) ≤ 1/2), else
    /// just what brings it back to 1/2. As σ → 0, κ → r − q: the grid
    /// follows the forward. Continuous in every input.
    static double coordinate_drift(double carry, double vol, double step);

    /// L on the mesh: the three-point non-uniform stencil on interior rows
    /// and zero end rows, since the stepper holds the end nodes at the
    /// option's far-field values. Checks nothing itself; throws the
    /// operator's size Fault for N < 3; polls `cancel` along the way.
    TridiagonalOperator build_operator(const UniformMesher& mesh, const CancellationHook& cancel = {}) const;

private:
    double rate_;
    double grid_carry_;
    double half_variance_;
};

}  // namespace sorvik
