// calendar/date.hpp: proleptic Gregorian dates and UTC instants with nanoseconds.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>

namespace sorvik {

inline constexpr int32_t kMinYear = -262143;
inline constexpr int32_t kMaxYear = 262142;
inline constexpr int64_t kSecondsPerDay = 86400;

constexpr bool is_leap_year(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr uint32_t days_in_month(int64_t y, uint32_t m) {
    constexpr uint32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap_year(y) ? 29 : days[m - 1];
}

/// A calendar date; construct through make_date() or from_days() to keep it valid.
struct Date {
    int32_t year = 1970;
    uint32_t month = 1;
    uint32_t day = 1;

    friend constexpr auto operator<=>(const Date&, const Date&) = default;
};

/// Days since 1970-01-01 (negative before), by the era-based civil algorithm.
constexpr int64_t to_days(const Date& d) {
    const int64_t y = static_cast<int64_t>(d.year) - (d.month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t m = d.month;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d.day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

/// Inverse of to_days(); callers keep the result inside the supported range.
constexpr Date from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return Date{static_cast<int32_t>(year), static_cast<uint32_t>(month), static_cast<uint32_t>(day)};
}

inline constexpr int64_t kMinDay = to_days(Date{kMinYear, 1, 1});
inline constexpr int64_t kMaxDay = to_days(Date{kMaxYear, 12, 31});

/// The date y-m-d if it exists and lies in the supported range, else nothing.
constexpr std::optional<Date> make_date(int64_t y, int64_t m, int64_t d) {
    if (y < kMinYear || y > kMaxYear || m < 1 || m > 12 || d < 1) return std::nullopt;
    if (d > days_in_month(y, static_cast<uint32_t>(m))) return std::nullopt;
    return Date{static_cast<int32_t>(y), static_cast<uint32_t>(m), static_cast<uint32_t>(d)};
}

/// The date `days` after 1970-01-01 if it lies in the supported range, else nothing.
constexpr std::optional<Date> date_from_days(int64_t days) {
    if (days < kMinDay || days > kMaxDay) return std::nullopt;
    return from_days(days);
}

/// A UTC instant. Nanoseconds of 1e9 and above occur only in the last second of
/// a minute, where they describe a leap second.
struct UtcInstant {
    Date date;
    uint32_t second_of_day = 0;  // 0 ... 86,399
    uint32_t nanos = 0;          // 0 ... 1,999,999,999

    friend constexpr auto operator<=>(const UtcInstant&, const UtcInstant&) = default;
};

/// The instant `seconds` + `nanos` after the Unix epoch, or nothing when the
/// date leaves the supported range or the nanoseconds are not a valid
/// (leap-)second fraction.
constexpr std::optional<UtcInstant> instant_from_unix(int64_t seconds, uint32_t nanos) {
    // Floor division without overflow for every int64 (no multiplication back).
    int64_t days = seconds / kSecondsPerDay;
    int64_t rem = seconds % kSecondsPerDay;
    if (rem < 0) {
        rem += kSecondsPerDay;
        --days;
    }
    const auto date = date_from_days(days);
    if (!date || nanos > 1'999'999'999u) return std::nullopt;
    const auto second = static_cast<uint32_t>(rem);
    if (nanos >= 1'000'000'000u && second % 60 != 59) return std::nullopt;
    return UtcInstant{*date, second, nanos};
}

}  // namespace sorvik
