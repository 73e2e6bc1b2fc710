// market/vol_surface.cpp: flat and term-structure volatility.
#include "market/vol_surface.hpp"

#include "fault.hpp"

namespace sorvik {

VolSurface VolSurface::flat(double vol, DayCountConvention day_count) {
    return VolSurface(Flat{std::move(day_count), vol});
}

VolSurface VolSurface::term_structure(const Date& reference_date, std::vector<Tenor> tenors,
                                      std::vector<double> vols, DayCountConvention day_count) {
    if (tenors.size() != vols.size()) throw CurveError(CurveError::LengthMismatch{});
    if (tenors.empty()) throw CurveError(InterpolationError::InsufficientPoints);

    const UtcInstant start{reference_date, 0, 0};
    std::vector<double> times;
    times.reserve(tenors.size());
    for (const Tenor& tenor : tenors)
        times.push_back(year_fraction(start, UtcInstant{tenor.advance(reference_date), 0, 0}, day_count));
    auto interpolator = LinearInterpolator::build_or_throw(std::move(times), vols);
    return VolSurface(TermStructure{std::move(tenors), std::move(vols), std::move(interpolator),
                                    std::move(day_count), reference_date});
}

double VolSurface::volatility(double /*strike*/, double t) const {
    if (const auto* flat = std::get_if<Flat>(&kind_)) return flat->vol;
    return std::get<TermStructure>(kind_).interpolator.interpolate(t);
}

const DayCountConvention& VolSurface::day_count_convention() const {
    if (const auto* flat = std::get_if<Flat>(&kind_)) return flat->day_count;
    throw Fault("not yet implemented");
}

}  // namespace sorvik
