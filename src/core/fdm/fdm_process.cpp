// fdm/fdm_process.cpp: Black–Scholes–Merton dynamics and their log-spot operator.
#include "fdm/fdm_process.hpp"

#include <utility>
#include <vector>

namespace sorvik {

TridiagonalOperator FdmProcess::build_operator(const UniformMesher& mesh) const {
    const std::size_t n = mesh.size();
    std::vector<double> lower(n), diag(n), upper(n);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        // The log-space coefficients are formed from the spot-space ones at
        // every node, so they carry that rounding (mathematically d = ½σ²).
        const double spot = mesh.spot(i);
        const double spot2 = spot * spot;
        const double d = diffusion(spot) / spot2;
        const double mu = drift(spot) / spot - diffusion(spot) / spot2;
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
