// market/vol_surface.hpp: volatility of the underlying by strike and time.
#pragma once

#include <variant>
#include <vector>

#include "calendar/date.hpp"
#include "calendar/day_count.hpp"
#include "calendar/tenor.hpp"
#include "rates/linear_interpolator.hpp"

namespace sorvik {

class VolSurface {
public:
    struct Flat {
        DayCountConvention day_count;
        double vol = 0.0;
    };
    /// Volatility linear in time over pillars at reference_date + tenors[k];
    /// the strike plays no part.
    struct TermStructure {
        std::vector<Tenor> tenors;
        std::vector<double> vols;         // pillar volatilities, one per tenor
        LinearInterpolator interpolator;  // pillar times in years -> vols[k]
        DayCountConvention day_count;
        Date reference_date;
    };
    using Kind = std::variant<Flat, TermStructure>;

    /// Any vol is taken as given, negative or NaN included.
    static VolSurface flat(double vol, DayCountConvention day_count);

    /// Pillar k lies at year_fraction(reference_date, reference_date + tenors[k],
    /// day_count). Throws CurveError as RateCurve::interpolated does, and the
    /// Fault of Tenor::advance for a tenor that cannot be applied.
    static VolSurface term_structure(const Date& reference_date, std::vector<Tenor> tenors,
                                     std::vector<double> vols, DayCountConvention day_count);

    /// The flat vol, or the term structure interpolated at t; strike is ignored.
    double volatility(double strike, double t) const;
    /// The flat surface's convention. Throws Fault "not yet implemented" for a
    /// term structure.
    const DayCountConvention& day_count_convention() const;

    const Kind& kind() const { return kind_; }

private:
    explicit VolSurface(Kind kind) : kind_(std::move(kind)) {}

    Kind kind_;
};

}  // namespace sorvik
