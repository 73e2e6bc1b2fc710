// Helpers shared by the grid engine's test files.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>

#include "fdm/fdm_problem.hpp"
#include "support.hpp"

namespace sorvik {

inline void PrintTo(const FdmProblem& p, std::ostream* os) {
    *os << (p.exercise == ExerciseStyle::American ? "American " : "European ")
        << (p.payoff.type == OptionType::Call ? "call" : "put") << " S=" << p.market.spot
        << " K=" << p.payoff.strike << " T=" << p.market.years << " r=" << p.market.rate
        << " q=" << p.market.dividend_yield << " vol=" << p.market.vol << " " << p.grid.nodes << "x"
        << p.grid.time_steps << " g=" << p.grid.grid_std_devs;
}

namespace testing {

inline FdmProblem problem(double S, double K, double T, double r, double vol, OptionType type, ExerciseStyle style,
                          FdmSettings grid = {}, double q = 0.0) {
    return FdmProblem{VanillaPayoff{type, K}, style, MarketNumbers{S, T, r, q, vol}, grid, std::nullopt};
}

/// Equal bits; NaNs count as equal whatever their payload.
inline ::testing::AssertionResult same_bits(double expected, double actual) {
    if ((std::isnan(expected) && std::isnan(actual)) ||
        std::bit_cast<uint64_t>(expected) == std::bit_cast<uint64_t>(actual)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::hexfloat << actual << " differs from " << expected;
}

}  // namespace testing
}  // namespace sorvik
