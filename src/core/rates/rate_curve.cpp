// rates/rate_curve.cpp: building interpolated curves and reading rates off them.
#include "rates/rate_curve.hpp"

#include "fault.hpp"

namespace sorvik {

RateCurve RateCurve::flat(InterestRate rate) { return RateCurve(Flat{std::move(rate)}); }

RateCurve RateCurve::continuous(double rate, DayCountConvention dcc) {
    return flat(InterestRate{rate, Compounding::continuous(), std::move(dcc)});
}

RateCurve RateCurve::interpolated(const Date& reference_date, std::vector<Tenor> tenors,
                                  std::vector<InterestRate> rates) {
    if (tenors.size() != rates.size()) throw CurveError(CurveError::LengthMismatch{});
    if (tenors.empty()) throw CurveError(InterpolationError::InsufficientPoints);

    const UtcInstant start{reference_date, 0, 0};
    std::vector<double> times, values;
    times.reserve(tenors.size());
    values.reserve(rates.size());
    for (size_t k = 0; k < tenors.size(); ++k) {
        const UtcInstant pillar{tenors[k].advance(reference_date), 0, 0};
        times.push_back(year_fraction(start, pillar, rates[k].dcc));
        values.push_back(rates[k].rate);
    }
    auto interpolator = LinearInterpolator::build_or_throw(std::move(times), std::move(values));
    return RateCurve(Interpolated{std::move(tenors), std::move(rates), std::move(interpolator), reference_date});
}

double RateCurve::zero_rate(double t) const {
    if (const auto* flat = std::get_if<Flat>(&kind_)) return flat->rate.rate;
    return std::get<Interpolated>(kind_).interpolator.interpolate(t);
}

double RateCurve::discount_factor(double t) const {
    if (const auto* flat = std::get_if<Flat>(&kind_)) return flat->rate.discount_factor(t);
    const auto& curve = std::get<Interpolated>(kind_);
    // Only the first pillar's compounding is used; the others only supply their rate.
    return sorvik::discount_factor(curve.interpolator.interpolate(t), curve.rates.front().compounding, t);
}

const DayCountConvention& RateCurve::day_count_convention() const {
    if (const auto* flat = std::get_if<Flat>(&kind_)) return flat->rate.dcc;
    throw Fault("not yet implemented");
}

}  // namespace sorvik
