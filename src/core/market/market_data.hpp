// market/market_data.hpp: the market inputs of one valuation, fixed once built.
#pragma once

#include <memory>

#include "market/vol_surface.hpp"
#include "rates/rate_curve.hpp"

namespace sorvik {

/// Own copies of the curve and the surface, so later changes to whatever they
/// were built from never reach a valuation. Shared as
/// std::shared_ptr<const MarketData>; nothing in it changes, so readers need no lock.
struct MarketData {
    double spot = 0.0;  // not validated: zero, negative and NaN are taken as given
    RateCurve rate_curve;
    VolSurface vol_surface;
};

}  // namespace sorvik
