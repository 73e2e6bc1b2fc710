// Day count conventions: the calendar arithmetic Python cannot reach directly.
#include <gtest/gtest.h>

#include "calendar/day_count.hpp"

namespace sorvik {
namespace {

UtcInstant at(int32_t y, uint32_t m, uint32_t d, uint32_t second = 0, uint32_t nanos = 0) {
    return UtcInstant{*make_date(y, m, d), second, nanos};
}

TEST(YearFraction, ActualConventionsCountWholeSeconds) {
    const auto start = at(2024, 1, 1);
    const auto end = at(2024, 7, 1);
    EXPECT_EQ(year_fraction(start, end, Actual360{}), 182.0 * 86400 / 31'104'000.0);
    EXPECT_EQ(year_fraction(start, end, Actual365Fixed{}), 182.0 * 86400 / 31'536'000.0);
    EXPECT_EQ(year_fraction(end, start, Actual365Fixed{}), -(182.0 * 86400 / 31'536'000.0));
}

}  // namespace
}  // namespace sorvik
