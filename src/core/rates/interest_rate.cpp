// rates/interest_rate.cpp: discount factors under each compounding rule.
#include "rates/interest_rate.hpp"

#include <cmath>

#include "fault.hpp"

namespace sorvik {

double discount_factor(double r, const Compounding& compounding, double t) {
    switch (compounding.kind) {
    case CompoundingKind::Simple:
        return 1.0 / (1.0 + r * t);
    case CompoundingKind::Compounded: {
        const double n = periods_per_year(compounding.frequency);
        return 1.0 / std::pow(1.0 + r / n, n * t);
    }
    case CompoundingKind::Continuous:
        return std::exp(-r * t);
    case CompoundingKind::SimpleThenCompounded:
        // The library defines no discounting for this rule; the kind can be held and shown only.
        throw Fault("not yet implemented: Implement other logic");
    }
    throw Fault("unknown compounding kind");
}

}  // namespace sorvik
