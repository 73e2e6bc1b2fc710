// fdm/fdm_process.hpp: Black–Scholes–Merton dynamics and their log-spot operator.
#pragma once

#include "fdm/tridiagonal_operator.hpp"
#include "fdm/uniform_mesher.hpp"

namespace sorvik {

/// A stock with constant rate r (discounting), dividend yield q (drift r − q)
/// and volatility σ. In time to expiry τ and x = ln S the value obeys
/// ∂V/∂τ = L·V with L = μ·∂/∂x + d·∂²/∂x² − r, where d = ½σ² and μ = r − q − ½σ².
class FdmProcess {
public:
    FdmProcess(double rate, double dividend_yield, double vol)
        : rate_(rate), dividend_yield_(dividend_yield), half_variance_(vol * vol * 0.5) {}

    /// (r − q)·S; exactly r·S without dividends.
    double drift(double spot) const { return (rate_ - dividend_yield_) * spot; }
    /// Half the instantaneous variance of S: S²·½σ².
    double diffusion(double spot) const { return spot * spot * half_variance_; }

    /// L on the mesh: the three-point non-uniform stencil on interior rows and
    /// zero end rows, since the stepper holds the end nodes at the option's
    /// far-field values. Checks nothing itself; throws the operator's size
    /// Fault for N < 3.
    TridiagonalOperator build_operator(const UniformMesher& mesh) const;

private:
    double rate_;
    double dividend_yield_;
    double half_variance_;
};

}  // namespace sorvik
