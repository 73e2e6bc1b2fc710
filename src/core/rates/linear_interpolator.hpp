// rates/linear_interpolator.hpp: piecewise-linear interpolation with linear extrapolation,
// and the errors of building curves from points.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fault.hpp"

namespace sorvik {

enum class InterpolationError : uint8_t { LengthMismatch = 0, InsufficientPoints = 1, NotMonotonic = 2 };

constexpr std::string_view diagnostic(InterpolationError e) {
    switch (e) {
    case InterpolationError::LengthMismatch: return "LengthMismatch";
    case InterpolationError::InsufficientPoints: return "InsufficientPoints";
    case InterpolationError::NotMonotonic: return "NotMonotonic";
    }
    return "?";
}

/// Why a curve could not be built: its own input lists disagree in length, or
/// its points do not form an interpolator. Reaches Python as ValueError
/// "Curve Error: " + diagnostic().
class CurveError : public CoreError {
public:
    struct LengthMismatch {};
    using Kind = std::variant<InterpolationError, LengthMismatch>;

    explicit CurveError(Kind kind) : CoreError("Curve Error: " + diagnostic(kind)), kind_(kind) {}

    const Kind& kind() const { return kind_; }
    /// "LengthMismatch" or "Interpolation(<inner>)".
    std::string diagnostic() const { return diagnostic(kind_); }

    friend bool operator==(const CurveError& a, const CurveError& b) { return a.kind_ == b.kind_; }
    friend bool operator==(const LengthMismatch&, const LengthMismatch&) { return true; }

private:
    static std::string diagnostic(const Kind& kind);

    Kind kind_;
};

/// y over strictly increasing x, at least two points; immutable once built.
class LinearInterpolator {
public:
    /// The interpolator over (xs, ys), or the first failing check in this order:
    /// LengthMismatch, InsufficientPoints (< 2 points), NotMonotonic (equal neighbours too).
    static std::variant<LinearInterpolator, InterpolationError> build(std::vector<double> xs,
                                                                      std::vector<double> ys);

    /// Like build(), but throws CurveError(Interpolation(...)) on failure.
    static LinearInterpolator build_or_throw(std::vector<double> xs, std::vector<double> ys);

    /// y at x: linear on the segment holding x (an interior pillar belongs to the
    /// segment on its right), extrapolated along the end segments. O(log n), no
    /// allocation; a NaN x falls into the first segment and yields NaN.
    double interpolate(double x) const;

    const std::vector<double>& xs() const { return xs_; }
    const std::vector<double>& ys() const { return ys_; }

private:
    LinearInterpolator(std::vector<double> xs, std::vector<double> ys) : xs_(std::move(xs)), ys_(std::move(ys)) {}

    std::vector<double> xs_;
    std::vector<double> ys_;
};

}  // namespace sorvik
