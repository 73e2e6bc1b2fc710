// calendar/tenor.cpp: date advancing with end-of-month clamping.
#include "calendar/tenor.hpp"

#include "fault.hpp"

namespace sorvik {
namespace {

Date add_days(const Date& date, int64_t days) {
    const auto result = date_from_days(to_days(date) + days);
    if (!result) throw Fault("`NaiveDate + TimeDelta` overflowed");
    return *result;
}

/// Month arithmetic only moves forward; a backward step is refused rather than
/// silently taken as a different date.
Date add_months(const Date& date, int64_t months) {
    if (months == 0) return date;
    if (months < 0) throw Fault("`NaiveDate + Months` out of range");
    // |months| <= 12 * 2^31, so the month index stays far inside int64.
    const int64_t index = 12 * static_cast<int64_t>(date.year) + (date.month - 1) + months;
    const int64_t year = index >= 0 ? index / 12 : -((-index + 11) / 12);  // floor division
    const int64_t month = index - 12 * year + 1;
    if (year < kMinYear || year > kMaxYear) throw Fault("`NaiveDate + Months` out of range");
    const uint32_t last = days_in_month(year, static_cast<uint32_t>(month));
    return Date{static_cast<int32_t>(year), static_cast<uint32_t>(month), date.day < last ? date.day : last};
}

}  // namespace

Date Tenor::advance(const Date& date) const {
    switch (unit) {
    case TenorUnit::Days:
        return add_days(date, count);
    case TenorUnit::Weeks:
        return add_days(date, 7 * static_cast<int64_t>(count));
    case TenorUnit::Months:
        return add_months(date, count);
    case TenorUnit::Years:
        return add_months(date, 12 * static_cast<int64_t>(count));
    }
    throw Fault("unknown tenor unit");
}

}  // namespace sorvik
