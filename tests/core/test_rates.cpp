// Rates core: tenor dating at the calendar's edges, the interpolator, and the
// curves Python cannot build (Business252, European and German 30/360 pillars).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "calendar/tenor.hpp"
#include "fault.hpp"
#include "support.hpp"
#include "rates/interest_rate.hpp"
#include "rates/linear_interpolator.hpp"
#include "rates/rate_curve.hpp"

namespace sorvik {
namespace {

using testing::fault_of;
using testing::ymd;


// ------------------------------------------------------------------ tenors

struct AdvanceCase {
    Date from;
    Tenor tenor;
    Date expected;
};

class TenorAdvance : public ::testing::TestWithParam<AdvanceCase> {};

TEST_P(TenorAdvance, LandsOnExpectedDate) {
    const auto& c = GetParam();
    EXPECT_EQ(c.tenor.advance(c.from), c.expected);
}

// Dates a Python date cannot hold; negative years exercise the floor division of the month index.
INSTANTIATE_TEST_SUITE_P(
    Cases, TenorAdvance,
    ::testing::Values(AdvanceCase{ymd(-1, 12, 15), Tenor::months(1), ymd(0, 1, 15)},
                      AdvanceCase{ymd(-5, 1, 31), Tenor::months(1), ymd(-5, 2, 28)},
                      AdvanceCase{ymd(-4, 1, 31), Tenor::months(1), ymd(-4, 2, 29)},
                      AdvanceCase{ymd(-262143, 1, 1), Tenor::months(0), ymd(-262143, 1, 1)},
                      AdvanceCase{ymd(262142, 12, 31), Tenor::days(0), ymd(262142, 12, 31)},
                      AdvanceCase{ymd(262140, 1, 31), Tenor::months(1), ymd(262140, 2, 29)}));

struct TenorFaultCase {
    Date from;
    Tenor tenor;
    const char* message;
};

class TenorFault : public ::testing::TestWithParam<TenorFaultCase> {};

TEST_P(TenorFault, FaultsWithMessage) {
    const auto& c = GetParam();
    EXPECT_EQ(fault_of([&] { c.tenor.advance(c.from); }), c.message);
}

constexpr const char* kMonthsOut = "`NaiveDate + Months` out of range";
constexpr const char* kDaysOut = "`NaiveDate + TimeDelta` overflowed";

INSTANTIATE_TEST_SUITE_P(
    Cases, TenorFault,
    ::testing::Values(TenorFaultCase{ymd(262142, 12, 1), Tenor::months(1), kMonthsOut},
                      TenorFaultCase{ymd(2024, 1, 1), Tenor::years(std::numeric_limits<int32_t>::max()), kMonthsOut},
                      TenorFaultCase{ymd(262142, 12, 31), Tenor::days(1), kDaysOut},
                      TenorFaultCase{ymd(-262143, 1, 1), Tenor::days(-1), kDaysOut},
                      TenorFaultCase{ymd(2024, 1, 1), Tenor::weeks(std::numeric_limits<int32_t>::min()), kDaysOut}));

// ------------------------------------------------------------------ interpolator

struct BuildErrorCase {
    std::vector<double> xs;
    std::vector<double> ys;
    InterpolationError expected;
};

class InterpolatorBuild : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(InterpolatorBuild, RefusesBadPoints) {
    const auto& c = GetParam();
    const auto built = LinearInterpolator::build(c.xs, c.ys);
    ASSERT_TRUE(std::holds_alternative<InterpolationError>(built));
    EXPECT_EQ(std::get<InterpolationError>(built), c.expected);
}

// The length check comes first even when there are too few or unordered points.
INSTANTIATE_TEST_SUITE_P(
    Cases, InterpolatorBuild,
    ::testing::Values(BuildErrorCase{{1.0}, {}, InterpolationError::LengthMismatch},
                      BuildErrorCase{{2.0, 1.0}, {0.0}, InterpolationError::LengthMismatch},
                      BuildErrorCase{{}, {}, InterpolationError::InsufficientPoints},
                      BuildErrorCase{{1.0}, {0.0}, InterpolationError::InsufficientPoints},
                      BuildErrorCase{{1.0, 1.0}, {0.0, 1.0}, InterpolationError::NotMonotonic},
                      BuildErrorCase{{2.0, 1.0}, {0.0, 1.0}, InterpolationError::NotMonotonic},
                      BuildErrorCase{{0.0, std::nan(""), 2.0}, {0.0, 1.0, 2.0}, InterpolationError::NotMonotonic}));

class Interpolate : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(Interpolate, ThreePointLine) {
    const auto interp = LinearInterpolator::build_or_throw({1.0, 2.0, 4.0}, {0.01, 0.02, 0.03});
    const auto [x, y] = GetParam();
    EXPECT_EQ(interp.interpolate(x), y) << "x = " << x;
}

INSTANTIATE_TEST_SUITE_P(Cases, Interpolate,
                         ::testing::Values(std::pair{3.0, 0.025}, std::pair{0.0, 0.0},
                                           std::pair{6.0, 0.039999999999999994}, std::pair{2.0, 0.02},
                                           std::pair{1.0, 0.01}, std::pair{4.0, 0.03}));

TEST(Interpolate, NaNGivesNaN) {
    const auto interp = LinearInterpolator::build_or_throw({1.0, 2.0, 4.0}, {0.01, 0.02, 0.03});
    EXPECT_TRUE(std::isnan(interp.interpolate(std::nan(""))));
}

TEST(Interpolate, ManyPointsFindTheirSegment) {
    std::vector<double> xs, ys;
    for (int i = 0; i < 1000; ++i) {
        xs.push_back(i);
        ys.push_back(i % 2 == 0 ? 0.0 : 1.0);  // zig-zag: a wrong segment gives a wrong value
    }
    const auto interp = LinearInterpolator::build_or_throw(xs, ys);
    for (int i = 0; i < 999; ++i) EXPECT_EQ(interp.interpolate(i + 0.25), i % 2 == 0 ? 0.25 : 0.75) << i;
}

// ------------------------------------------------------------------ curves

InterestRate continuous_rate(double r, DayCountConvention dcc = Actual365Fixed{}) {
    return InterestRate{r, Compounding::continuous(), std::move(dcc)};
}

// Each pillar is timed under its own rate's convention, including the 30/360
// variants that only core code can select.
struct PillarTimingCase {
    const char* name;
    Date reference;
    Tenor tenor;
    DayCountConvention dcc;
    double expected_time;
};

class PillarTiming : public ::testing::TestWithParam<PillarTimingCase> {};

TEST_P(PillarTiming, UsesThePillarRatesConvention) {
    const auto& c = GetParam();
    // A continuous 1-day pillar first keeps the times increasing whatever the second convention gives.
    const auto curve = RateCurve::interpolated(c.reference, {Tenor::days(1), c.tenor},
                                               {continuous_rate(0.01, Actual365Fixed{}), continuous_rate(0.02, c.dcc)});
    const auto& xs = std::get<RateCurve::Interpolated>(curve.kind()).interpolator.xs();
    EXPECT_EQ(xs[1], c.expected_time);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PillarTiming,
    ::testing::Values(
        // 2024-01-31 + 1 month = 2024-02-29: 29 days in US and European 30/360, 30 in German.
        PillarTimingCase{"US", ymd(2024, 1, 31), Tenor::months(1), Thirty360{Thirty360Convention::US}, 29.0 / 360.0},
        PillarTimingCase{"European", ymd(2024, 1, 31), Tenor::months(1), Thirty360{Thirty360Convention::European},
                         29.0 / 360.0},
        PillarTimingCase{"German", ymd(2024, 1, 31), Tenor::months(1), Thirty360{Thirty360Convention::German},
                         30.0 / 360.0},
        // 2024-02-28 + 32 days = 2024-03-31: US keeps D2 = 31 (33 days); European and German cut it (32).
        PillarTimingCase{"US31", ymd(2024, 2, 28), Tenor::days(32), Thirty360{Thirty360Convention::US}, 33.0 / 360.0},
        PillarTimingCase{"European31", ymd(2024, 2, 28), Tenor::days(32), Thirty360{Thirty360Convention::European},
                         32.0 / 360.0},
        PillarTimingCase{"German31", ymd(2024, 2, 28), Tenor::days(32), Thirty360{Thirty360Convention::German},
                         32.0 / 360.0},
        PillarTimingCase{"Act360", ymd(2024, 1, 1), Tenor::years(1), Actual360{}, 366.0 * 86400 / 31'104'000.0}),
    [](const auto& info) { return std::string(info.param.name); });

/// Monday to Friday are business days; enough to count a few weeks.
class WeekdayCalendar : public BusinessCalendar {
public:
    explicit WeekdayCalendar(std::string name) : name_(std::move(name)) {}
    std::string diagnostic() const override { return "Weekdays[" + name_ + "]"; }
    std::string name() const override { return name_; }
    bool is_business_day(const Date& date) const override {
        const int64_t weekday = ((to_days(date) % 7) + 7 + 3) % 7;  // 1970-01-01 was a Thursday; Monday = 0
        return weekday < 5;
    }

private:
    std::string name_;
};

TEST(RateCurve, Business252PillarsCountBusinessDays) {
    const Business252 weekdays{std::make_shared<WeekdayCalendar>("weekdays")};
    // From Monday 2024-01-01: 2 weeks hold 10 business days, 1 month (to 2024-02-01) 23.
    const auto curve = RateCurve::interpolated(ymd(2024, 1, 1), {Tenor::weeks(2), Tenor::months(1)},
                                               {continuous_rate(0.03, weekdays), continuous_rate(0.04, weekdays)});
    const auto& xs = std::get<RateCurve::Interpolated>(curve.kind()).interpolator.xs();
    EXPECT_EQ(xs, (std::vector<double>{10.0 / 252.0, 23.0 / 252.0}));
    EXPECT_EQ(curve.zero_rate(10.0 / 252.0), 0.03);
}

TEST(RateCurve, Business252PillarsOnOneBusinessDayAreNotMonotonic) {
    const Business252 weekdays{std::make_shared<WeekdayCalendar>("weekdays")};
    // Friday 2024-01-05 + 1 day and + 3 days both reach the next business day: equal times.
    EXPECT_EQ(testing::message_of<CurveError>([&] {
                  RateCurve::interpolated(ymd(2024, 1, 5), {Tenor::days(1), Tenor::days(3)},
                                          {continuous_rate(0.03, weekdays), continuous_rate(0.04, weekdays)});
              }),
              "Curve Error: Interpolation(NotMonotonic)");
}

}  // namespace
}  // namespace sorvik
