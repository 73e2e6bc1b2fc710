// calendar/day_count.cpp: year fractions and day counts under each convention.
#include "calendar/day_count.hpp"

namespace sorvik {
namespace {

constexpr double kSecondsPer360Days = 31'104'000.0;
constexpr double kSecondsPer365Days = 31'536'000.0;
constexpr double kSecondsPer366Days = 31'622'400.0;

/// Whole seconds from `a` to `b` (a <= b); any fraction of a second is dropped.
int64_t elapsed_seconds(const UtcInstant& a, const UtcInstant& b) {
    const int64_t days = to_days(b.date) - to_days(a.date);
    int64_t seconds = days * kSecondsPerDay + static_cast<int64_t>(b.second_of_day) -
                      static_cast<int64_t>(a.second_of_day);
    if (b.nanos < a.nanos) --seconds;
    return seconds;
}

bool is_last_of_february(const Date& d) {
    return d.month == 2 && d.day == days_in_month(d.year, 2);
}

int64_t thirty360_days(const Date& start, const Date& end, Thirty360Convention convention) {
    int64_t d1 = start.day;
    int64_t d2 = end.day;
    switch (convention) {
    case Thirty360Convention::US:
        if (d1 == 31) d1 = 30;
        if (d2 == 31 && d1 == 30) d2 = 30;
        break;
    case Thirty360Convention::European:
        if (d1 == 31) d1 = 30;
        if (d2 == 31) d2 = 30;
        break;
    case Thirty360Convention::German:
        if (d1 == 31 || is_last_of_february(start)) d1 = 30;
        if (d2 == 31 || is_last_of_february(end)) d2 = 30;
        break;
    }
    return (static_cast<int64_t>(end.year) - start.year) * 360 +
           (static_cast<int64_t>(end.month) - static_cast<int64_t>(start.month)) * 30 + (d2 - d1);
}

/// Actual/Actual (ISDA): whole days in each calendar year over that year's
/// length; the start's time of day is ignored, the end's is kept.
double act_act_isda(const UtcInstant& start, const UtcInstant& end) {
    double sum = 0.0;
    Date d = start.date;
    // end.year <= kMaxYear, so the next 1 January never leaves the calendar.
    while (d.year < end.date.year) {
        const Date next{d.year + 1, 1, 1};
        const auto days = static_cast<double>(to_days(next) - to_days(d));
        sum += days / (is_leap_year(d.year) ? 366.0 : 365.0);
        d = next;
    }
    const auto seconds = static_cast<double>(elapsed_seconds(UtcInstant{d, 0, 0}, end));
    sum += seconds / (is_leap_year(d.year) ? kSecondsPer366Days : kSecondsPer365Days);
    return sum;
}

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace

std::string DayCountConvention::diagnostic() const {
    return std::visit(
        Overloaded{
            [](const Actual360&) -> std::string { return "Actual360"; },
            [](const Actual365Fixed&) -> std::string { return "Actual365Fixed"; },
            [](const ActActISDA&) -> std::string { return "ActActISDA"; },
            [](const Thirty360& t) -> std::string {
                constexpr const char* names[] = {"US", "European", "German"};
                return std::string("Thirty360(") + names[static_cast<int>(t.convention)] + ")";
            },
            [](const Business252& b) -> std::string {
                return "Business252(" + (b.calendar ? b.calendar->diagnostic() : std::string()) + ")";
            },
        },
        kind_);
}

bool operator==(const DayCountConvention& a, const DayCountConvention& b) {
    if (a.kind_.index() != b.kind_.index()) return false;
    if (const auto* t = std::get_if<Thirty360>(&a.kind_))
        return t->convention == std::get<Thirty360>(b.kind_).convention;
    if (const auto* c = std::get_if<Business252>(&a.kind_)) {
        const auto& other = std::get<Business252>(b.kind_).calendar;
        if (!c->calendar || !other) return !c->calendar && !other;
        return c->calendar->name() == other->name();
    }
    return true;
}

int64_t day_count(const Date& start, const Date& end, const DayCountConvention& dcc) {
    if (const auto* t = std::get_if<Thirty360>(&dcc.kind())) return thirty360_days(start, end, t->convention);
    if (const auto* b = std::get_if<Business252>(&dcc.kind())) {
        // end lies inside the calendar, so walking towards it never overflows.
        int64_t count = 0;
        for (int64_t day = to_days(start), last = to_days(end); day < last; ++day)
            if (b->calendar->is_business_day(from_days(day))) ++count;
        return count;
    }
    return to_days(end) - to_days(start);
}

double year_fraction(const UtcInstant& start, const UtcInstant& end, const DayCountConvention& dcc) {
    if (start == end) return 0.0;
    if (start > end) return -year_fraction(end, start, dcc);
    return std::visit(
        Overloaded{
            [&](const Actual360&) { return static_cast<double>(elapsed_seconds(start, end)) / kSecondsPer360Days; },
            [&](const Actual365Fixed&) {
                return static_cast<double>(elapsed_seconds(start, end)) / kSecondsPer365Days;
            },
            [&](const ActActISDA&) { return act_act_isda(start, end); },
            [&](const Thirty360&) { return static_cast<double>(day_count(start.date, end.date, dcc)) / 360.0; },
            [&](const Business252&) { return static_cast<double>(day_count(start.date, end.date, dcc)) / 252.0; },
        },
        dcc.kind());
}

}  // namespace sorvik
