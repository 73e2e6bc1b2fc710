// Day count conventions: the calendar arithmetic Python cannot reach directly.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

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

// ------------------------------------------------------------------ 30/360

struct ThirtyCase {
    const char* name;
    Date start;
    Date end;
    Thirty360Convention convention;
    int64_t days;
};

class Thirty360Days : public ::testing::TestWithParam<ThirtyCase> {};

TEST_P(Thirty360Days, AdjustsDaysBySubConvention) {
    const auto& c = GetParam();
    const DayCountConvention dcc = Thirty360{c.convention};
    EXPECT_EQ(day_count(c.start, c.end, dcc), c.days);
    // The times of day play no part.
    EXPECT_EQ(year_fraction(UtcInstant{c.start, 82800, 5}, UtcInstant{c.end, 3600, 0}, dcc),
              static_cast<double>(c.days) / 360.0);
}

constexpr auto kUS = Thirty360Convention::US;
constexpr auto kEuropean = Thirty360Convention::European;
constexpr auto kGerman = Thirty360Convention::German;

INSTANTIATE_TEST_SUITE_P(
    Cases, Thirty360Days,
    ::testing::Values(
        // Into the last day of a leap February: only German moves D2 to 30.
        ThirtyCase{"US_EndOfFeb", Date{2024, 1, 31}, Date{2024, 2, 29}, kUS, 29},
        ThirtyCase{"European_EndOfFeb", Date{2024, 1, 31}, Date{2024, 2, 29}, kEuropean, 29},
        ThirtyCase{"German_EndOfFeb", Date{2024, 1, 31}, Date{2024, 2, 29}, kGerman, 30},
        // From 28 February 2024 (not its last day) to a 31st: US keeps D2 = 31.
        ThirtyCase{"US_To31", Date{2024, 2, 28}, Date{2024, 3, 31}, kUS, 33},
        ThirtyCase{"European_To31", Date{2024, 2, 28}, Date{2024, 3, 31}, kEuropean, 32},
        ThirtyCase{"German_To31", Date{2024, 2, 28}, Date{2024, 3, 31}, kGerman, 32},
        // 28 February 2023 is the last day: German starts from 30.
        ThirtyCase{"German_FromEndOfFeb", Date{2023, 2, 28}, Date{2023, 3, 31}, kGerman, 30},
        ThirtyCase{"US_From30To31", Date{2024, 1, 30}, Date{2024, 3, 31}, kUS, 60},
        ThirtyCase{"US_Backwards", Date{2025, 3, 31}, Date{2024, 1, 31}, kUS, -420}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ Actual/Actual ISDA

struct IsdaCase {
    const char* name;
    UtcInstant start;
    UtcInstant end;
    double expected;
};

class ActActIsda : public ::testing::TestWithParam<IsdaCase> {};

TEST_P(ActActIsda, SplitsByCalendarYear) {
    const auto& c = GetParam();
    EXPECT_EQ(year_fraction(c.start, c.end, ActActISDA{}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ActActIsda,
    ::testing::Values(
        IsdaCase{"AcrossOneYearEnd", at(2023, 7, 1), at(2024, 7, 1), 184.0 / 365.0 + 182.0 * 86400 / 31'622'400.0},
        // The start's 12 hours are not subtracted; the end's are counted.
        IsdaCase{"StartTimeIgnored", at(2024, 3, 1, 43200), at(2024, 3, 2, 43200), 129600.0 / 31'622'400.0},
        IsdaCase{"SeveralYears", at(2023, 12, 31, 3600), at(2026, 1, 1, 21600),
                 1.0 / 365.0 + 366.0 / 366.0 + 365.0 / 365.0 + 21600.0 / 31'536'000.0},
        IsdaCase{"WithinLeapYear", at(2024, 1, 1), at(2024, 12, 31), 365.0 * 86400 / 31'622'400.0}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ Business/252

/// Monday to Friday are business days.
class WeekdayCalendar : public BusinessCalendar {
public:
    explicit WeekdayCalendar(std::string name) : name_(std::move(name)) {}
    std::string diagnostic() const override { return "Weekdays[" + name_ + "]"; }
    std::string name() const override { return name_; }
    bool is_business_day(const Date& date) const override {
        return ((to_days(date) % 7) + 7 + 3) % 7 < 5;  // 1970-01-01 was a Thursday; Monday = 0
    }

private:
    std::string name_;
};

DayCountConvention weekdays(std::string name) { return Business252{std::make_shared<WeekdayCalendar>(std::move(name))}; }

TEST(Business252, CountsBusinessDaysFromStartUpToEnd) {
    const auto dcc = weekdays("TARGET-ish");
    EXPECT_EQ(day_count(Date{2024, 1, 1}, Date{2024, 1, 8}, dcc), 5);   // Monday to Monday
    EXPECT_EQ(day_count(Date{2024, 1, 6}, Date{2024, 1, 8}, dcc), 0);   // a weekend
    EXPECT_EQ(day_count(Date{2024, 1, 5}, Date{2024, 1, 6}, dcc), 1);   // Friday counted, end excluded
    EXPECT_EQ(day_count(Date{2024, 1, 8}, Date{2024, 1, 1}, dcc), 0);   // not forward: nothing to walk
    EXPECT_EQ(year_fraction(at(2024, 1, 1, 80000), at(2024, 2, 1), dcc), 23.0 / 252.0);
    EXPECT_EQ(year_fraction(at(2024, 2, 1), at(2024, 1, 1, 80000), dcc), -23.0 / 252.0);
}

TEST(Business252, EqualByCalendarNameAndShownWithItsDiagnostic) {
    EXPECT_EQ(weekdays("A"), weekdays("A"));  // separate calendar objects
    EXPECT_FALSE(weekdays("A") == weekdays("B"));
    EXPECT_FALSE(weekdays("A") == DayCountConvention(Actual360{}));
    EXPECT_EQ(weekdays("A").diagnostic(), "Business252(Weekdays[A])");
}

// ------------------------------------------------------------------ all conventions

TEST(DayCountConvention, DiagnosticsAndEquality) {
    EXPECT_EQ(DayCountConvention(Actual360{}).diagnostic(), "Actual360");
    EXPECT_EQ(DayCountConvention(Actual365Fixed{}).diagnostic(), "Actual365Fixed");
    EXPECT_EQ(DayCountConvention(ActActISDA{}).diagnostic(), "ActActISDA");
    EXPECT_EQ(DayCountConvention(Thirty360{kUS}).diagnostic(), "Thirty360(US)");
    EXPECT_EQ(DayCountConvention(Thirty360{kGerman}).diagnostic(), "Thirty360(German)");
    EXPECT_EQ(DayCountConvention(Thirty360{kGerman}), DayCountConvention(Thirty360{kGerman}));
    EXPECT_FALSE(DayCountConvention(Thirty360{kUS}) == DayCountConvention(Thirty360{kEuropean}));
    EXPECT_FALSE(DayCountConvention(Actual360{}) == DayCountConvention(Actual365Fixed{}));
}

class EveryConvention : public ::testing::TestWithParam<DayCountConvention> {};

TEST_P(EveryConvention, SwappingNegatesAndEqualInstantsGiveZero) {
    const auto& dcc = GetParam();
    const auto a = at(2023, 11, 17, 3600, 250);
    const auto b = at(2025, 3, 31, 7200, 100);
    const double forward = year_fraction(a, b, dcc);
    EXPECT_GT(forward, 0.0);
    EXPECT_EQ(year_fraction(b, a, dcc), -forward);
    EXPECT_EQ(year_fraction(a, a, dcc), 0.0);
    EXPECT_FALSE(std::signbit(year_fraction(a, a, dcc)));
}

INSTANTIATE_TEST_SUITE_P(Cases, EveryConvention,
                         ::testing::Values(DayCountConvention(Actual360{}), DayCountConvention(Actual365Fixed{}),
                                           DayCountConvention(ActActISDA{}), DayCountConvention(Thirty360{kUS}),
                                           DayCountConvention(Thirty360{kEuropean}),
                                           DayCountConvention(Thirty360{kGerman}), weekdays("W")));

TEST(YearFraction, FractionsOfASecondAreDropped) {
    // 0.5 s apart across a whole second: no whole second elapsed.
    const auto start = at(2024, 5, 17, 600, 700'000'000);
    const auto end = at(2024, 5, 17, 601, 200'000'000);
    EXPECT_EQ(year_fraction(start, end, Actual360{}), 0.0);
    EXPECT_EQ(year_fraction(start, end, Actual365Fixed{}), 0.0);
    EXPECT_EQ(year_fraction(start, at(2024, 5, 17, 601, 700'000'000), Actual365Fixed{}), 1.0 / 31'536'000.0);
}

}  // namespace
}  // namespace sorvik
