// fdm/fdm_process.cpp: Black–Scholes–Merton dynamics and their operator on a drifting log-spot grid.
#include "fdm/fdm_process.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace sorvik {

namespace {

/// The stencil's relative error on e^y, for a uniform step h: the second
/// difference gives e^y·(1 + e2), the first e^y·(1 + e1). Series where the
/// closed forms would cancel.
struct ExpError {
    double e2, e1;
};

ExpError exp_error(double h) {
    if (h < 1e-2) {
        const double h2 = h * h;
        return {h2 * (1.0 / 12.0 + h2 / 360.0), h2 * (1.0 / 6.0 + h2 / 120.0)};
    }
    return {(2.0 * std::cosh(h) - 2.0) / (h * h) - 1.0, std::sinh(h) / h - 1.0};
}

}  // namespace

double FdmProcess::coordinate_drift(double carry, double vol, double step) {
    const double d = vol * vol * 0.5;
    const double mu = carry - d;
    const double most = d / step;  // |μ| at a cell Péclet number of 1/2
    return mu - std::clamp(mu, -most, most);
}

TridiagonalOperator FdmProcess::build_operator(const UniformMesher& mesh) const {
    const std::size_t n = mesh.size();
    std::vector<double> lower(n), diag(n), upper(n);
    const double d = half_variance_;
    const double mu = grid_carry_ - half_variance_;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double hm = mesh.dminus(i);
        const double hp = mesh.dplus(i);
        const double denom = hm * hp * (hm + hp);
        // Moving `fit` from the lower to the upper weight adds fit·2·sinh(h)·e^y
        // on e^y, which cancels the stencil's error d·e2 + μ·e1 there.
        const double h = 0.5 * (hm + hp);
        const ExpError e = exp_error(h);
        const double fit = -(d * e.e2 + mu * e.e1) / (2.0 * std::sinh(h));
        lower[i] = d * (2.0 * hp / denom) - mu * (hp * hp / denom) - fit;
        diag[i] = mu * ((hp * hp - hm * hm) / denom) - d * (2.0 * (hm + hp) / denom) - rate_;
        upper[i] = mu * (hm * hm / denom) + d * (2.0 * hm / denom) + fit;
    }
    // The end rows stay zero: the stepper imposes the far-field values there.
    return TridiagonalOperator(std::move(lower), std::move(diag), std::move(upper));
}

}  // namespace sorvik
