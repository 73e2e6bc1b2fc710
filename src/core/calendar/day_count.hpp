// calendar/day_count.hpp: day count conventions, year fractions and day counts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>

#include "calendar/date.hpp"

namespace sorvik {

/// A holiday calendar for the business-day convention. The library ships no
/// implementation; callers of the core provide their own.
class BusinessCalendar {
public:
    virtual ~BusinessCalendar() = default;
    /// Text embedded in the convention's diagnostic form.
    virtual std::string diagnostic() const = 0;
    /// Identity of the calendar: two conventions are equal when their names are.
    virtual std::string name() const = 0;
    virtual bool is_business_day(const Date& date) const = 0;
};

enum class Thirty360Convention : uint8_t { US = 0, European = 1, German = 2 };

struct Actual360 {};
struct Actual365Fixed {};
struct ActActISDA {};
struct Thirty360 {
    Thirty360Convention convention = Thirty360Convention::US;
};
struct Business252 {
    std::shared_ptr<const BusinessCalendar> calendar;
};

/// One of the five conventions; the variant index is the kind's code (0 to 4).
class DayCountConvention {
public:
    using Kind = std::variant<Actual360, Actual365Fixed, ActActISDA, Thirty360, Business252>;

    DayCountConvention() : kind_(Actual365Fixed{}) {}
    /// Implicit from any kind, so `Actual360{}` reads as a convention.
    template <class K>
        requires std::is_constructible_v<Kind, K>
    DayCountConvention(K kind) : kind_(std::move(kind)) {}

    const Kind& kind() const { return kind_; }
    /// "Actual360", "Actual365Fixed", "ActActISDA", "Thirty360(US)", "Business252(<calendar>)".
    std::string diagnostic() const;

    friend bool operator==(const DayCountConvention& a, const DayCountConvention& b);

private:
    Kind kind_;
};

/// Years from `start` to `end`; negative when `end` is earlier.
/// Throws Fault ("Date overflow", ...) only past the end of the calendar range.
double year_fraction(const UtcInstant& start, const UtcInstant& end, const DayCountConvention& dcc);

/// Days from `start` to `end` as the convention counts them.
int64_t day_count(const Date& start, const Date& end, const DayCountConvention& dcc);

}  // namespace sorvik
