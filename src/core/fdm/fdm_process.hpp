// fdm/fdm_process.hpp: Black–Scholes dynamics and their log-spot operator.
#pragma once

#include "fdm/tridiagonal_operator.hpp"
#include "fdm/uniform_mesher.hpp"

namespace sorvik {

/// A stock with constant rate r (drift and discounting) and volatility σ.
/// In time to expiry τ and x = ln S the value obeys ∂V/∂τ = L·V with
/// L = μ·∂/∂x + d·∂²/∂x² − r, where d = ½σ² and μ = r − ½σ².
class FdmProcess {
public:
    FdmProcess(double rate, double vol) : rate_(rate), half_variance_(vol * vol * 0.5) {}

    double drift(double spot) const { return rate_ * spot; }
    /// Half the instantaneous variance of S: S²·½σ².
    double diffusion(double spot) const { return spot * spot * half_variance_; }

    /// L on the mesh: the three-point non-uniform stencil on interior rows,
    /// identity rows at both ends (the only boundary condition of the engine).
    /// Checks nothing itself; throws the operator's size Fault for N < 3.
    TridiagonalOperator build_operator(const UniformMesher& mesh) const;

private:
    double rate_;
    double half_variance_;
};

}  // namespace sorvik
