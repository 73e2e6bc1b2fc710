// rates/rate_curve.hpp: zero rates and discount factors, flat or interpolated over pillars.
#pragma once

#include <variant>
#include <vector>

#include "calendar/date.hpp"
#include "calendar/day_count.hpp"
#include "calendar/tenor.hpp"
#include "rates/interest_rate.hpp"
#include "rates/linear_interpolator.hpp"

namespace sorvik {

class RateCurve {
public:
    struct Flat {
        InterestRate rate;
    };
    /// Pillars in the order given: rates[k] applies at reference_date + tenors[k].
    struct Interpolated {
        std::vector<Tenor> tenors;
        std::vector<InterestRate> rates;
        LinearInterpolator interpolator;  // pillar times in years -> rates[k].rate
        Date reference_date;
    };
    using Kind = std::variant<Flat, Interpolated>;

    static RateCurve flat(InterestRate rate);
    static RateCurve continuous(double rate, DayCountConvention dcc);

    /// Throws CurveError (LengthMismatch, Interpolation(InsufficientPoints),
    /// Interpolation(NotMonotonic)) and, for a tenor that cannot be applied to
    /// `reference_date`, the Fault of Tenor::advance. Each pillar is timed from
    /// `reference_date` under its own rate's convention; nothing is sorted.
    static RateCurve interpolated(const Date& reference_date, std::vector<Tenor> tenors,
                                  std::vector<InterestRate> rates);

    /// The flat rate for every t, or the rate interpolated linearly in t.
    double zero_rate(double t) const;
    /// Discounts zero_rate(t) with the flat rate's compounding, or with that of
    /// the first pillar rate. Throws Fault for SimpleThenCompounded.
    double discount_factor(double t) const;
    /// The flat rate's convention. Throws Fault "not yet implemented" for an
    /// interpolated curve, whose pillars may each carry a different one.
    const DayCountConvention& day_count_convention() const;

    const Kind& kind() const { return kind_; }

private:
    explicit RateCurve(Kind kind) : kind_(std::move(kind)) {}

    Kind kind_;
};

}  // namespace sorvik
