// rates/linear_interpolator.cpp: construction checks and bisection lookup.
#include "rates/linear_interpolator.hpp"

namespace sorvik {

std::string CurveError::diagnostic(const Kind& kind) {
    if (const auto* inner = std::get_if<InterpolationError>(&kind))
        return "Interpolation(" + std::string(sorvik::diagnostic(*inner)) + ")";
    return "LengthMismatch";
}

std::variant<LinearInterpolator, InterpolationError> LinearInterpolator::build(std::vector<double> xs,
                                                                               std::vector<double> ys) {
    if (xs.size() != ys.size()) return InterpolationError::LengthMismatch;
    if (xs.size() < 2) return InterpolationError::InsufficientPoints;
    // Written as !(a < b) so that a NaN abscissa is refused as well.
    for (size_t i = 1; i < xs.size(); ++i)
        if (!(xs[i - 1] < xs[i])) return InterpolationError::NotMonotonic;
    return LinearInterpolator(std::move(xs), std::move(ys));
}

LinearInterpolator LinearInterpolator::build_or_throw(std::vector<double> xs, std::vector<double> ys) {
    auto built = build(std::move(xs), std::move(ys));
    if (const auto* error = std::get_if<InterpolationError>(&built)) throw CurveError(*error);
    return std::get<LinearInterpolator>(std::move(built));
}

double LinearInterpolator::interpolate(double x) const {
    const size_t n = xs_.size();
    // Construction guarantees n >= 2; a moved-from interpolator would not.
    if (n < 2) throw Fault("index out of bounds: interpolator has fewer than two points");
    size_t k;
    if (x <= xs_[0]) {
        k = 0;
    } else if (x >= xs_[n - 1]) {
        k = n - 2;
    } else {
        // Bisection. A NaN x fails every comparison and so ends in segment 0.
        size_t lo = 0, hi = n - 1;
        while (hi - lo > 1) {
            const size_t mid = (lo + hi) / 2;
            if (x >= xs_[mid])
                lo = mid;
            else
                hi = mid;
        }
        k = lo;
    }
    return (x - xs_[k]) * ((ys_[k + 1] - ys_[k]) / (xs_[k + 1] - xs_[k])) + ys_[k];
}

}  // namespace sorvik
