// calendar/tenor.hpp: lengths of calendar time (days, weeks, months, years) added to dates.
#pragma once

#include <cstdint>

#include "calendar/date.hpp"

namespace sorvik {

enum class TenorUnit : uint32_t { Days = 0, Weeks = 1, Months = 2, Years = 3 };

struct Tenor {
    TenorUnit unit = TenorUnit::Days;
    int32_t count = 0;

    static constexpr Tenor days(int32_t n) { return {TenorUnit::Days, n}; }
    static constexpr Tenor weeks(int32_t n) { return {TenorUnit::Weeks, n}; }
    static constexpr Tenor months(int32_t n) { return {TenorUnit::Months, n}; }
    static constexpr Tenor years(int32_t n) { return {TenorUnit::Years, n}; }

    /// `date` moved forward by the tenor; month and year steps clamp to the end
    /// of the target month. Throws Fault "`NaiveDate + Months` out of range" for
    /// negative month/year counts or a year past the calendar, and Fault
    /// "`NaiveDate + TimeDelta` overflowed" when a day/week step leaves it.
    Date advance(const Date& date) const;

    friend constexpr bool operator==(const Tenor&, const Tenor&) = default;
};

}  // namespace sorvik
