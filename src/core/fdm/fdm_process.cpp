// fdm/fdm_process.cpp: Black–Scholes–Merton dynamics and their operator on a drifting log-spot grid.
#include "fdm/fdm_process.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace sorvik {

double FdmProcess::coordinate_drift(double carry, double vol, double step) {
    const double d = vol * vol * 0.5;
    const double mu = carry - d;
    const double most = d / step;  // |μ| at a cell Péclet number of 1/2
    return mu - std::clamp(mu, -most, most);
}

TridiagonalOperator FdmProcess::build_operator(const UniformMesher& mesh, const CancellationHook& cancel) const {
    const std::size_t n = mesh.size();
    GridArray lower, diag, upper;
    for (GridArray* band : {&lower, &diag, &upper}) {
        resize_polled(*band, n, cancel);
    }
    const double d = half_variance_;
    const double mu = grid_carry_ - half_variance_;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        poll_at_row(cancel, i);
        const double hm = mesh.dminus(i);
        const double hp = mesh.dplus(i);
        const double denom = hm * hp * (hm + hp);
        lower[i] = d * (2.0 * hp / denom) - mu * (hp * hp / denom);
        diag[i] = mu * ((hp * hp - hm * hm) / denom) - d * (2.0 * (hm + hp) / denom) - rate_;
        upper[i] = mu * (hm * hm / denom) + d * (2.0 * hm / denom);
    }
    // The end rows stay zero: the stepper imposes the far-field values there.
    return TridiagonalOperator(std::move(lower), std::move(diag), std::move(upper));
}

}  // namespace sorvik
