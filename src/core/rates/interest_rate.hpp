// rates/interest_rate.hpp: a quoted rate with its compounding rule and day count convention.
#pragma once

#include "calendar/day_count.hpp"
#include "rates/compounding.hpp"

namespace sorvik {

/// Discount factor of rate `r` over `t` years under `compounding`, evaluated
/// exactly as written (no special case for t = 0, negative t or r).
/// Throws Fault "not yet implemented: Implement other logic" for SimpleThenCompounded.
double discount_factor(double r, const Compounding& compounding, double t);

struct InterestRate {
    double rate = 0.0;
    Compounding compounding;
    DayCountConvention dcc;

    double discount_factor(double t) const { return sorvik::discount_factor(rate, compounding, t); }
};

}  // namespace sorvik
