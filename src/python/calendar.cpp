// calendar.cpp: the Python classes of the calendar: DayCountConvention and Tenor.
#include <Python.h>

#include "calendar/day_count.hpp"
#include "calendar/tenor.hpp"
#include "classes.hpp"
#include "runtime/binding.hpp"
#include "runtime/conversions.hpp"
#include "runtime/entry.hpp"
#include "runtime/type_builder.hpp"

namespace sorvik::python {
namespace {

// ---------------------------------------------------------------- DayCountConvention

// Member names by code; the code is the core kind's index.
constexpr const char* kDayCountNames[] = {"Act360", "Act365Fixed", "ActActISDA", "Thirty360US"};

Ref day_count_repr(PyObject* self) {
    const auto code = extract_copy<DayCountConvention>(self).kind().index();
    return check(PyUnicode_FromString(kDayCountNames[code]));
}

Ref day_count_int(PyObject* self) {
    return int_object(static_cast<long>(extract_copy<DayCountConvention>(self).kind().index()));
}

void add_day_count_members(PyTypeObject* type) {
    add_member<DayCountConvention>(type, kDayCountNames[0], Actual360{});
    add_member<DayCountConvention>(type, kDayCountNames[1], Actual365Fixed{});
    add_member<DayCountConvention>(type, kDayCountNames[2], ActActISDA{});
    add_member<DayCountConvention>(type, kDayCountNames[3], Thirty360{Thirty360Convention::US});
}

// ---------------------------------------------------------------- Tenor

constexpr ArgumentSpec<1> kTenorDays{"Tenor", "days", {"n"}, 1};
constexpr ArgumentSpec<1> kTenorWeeks{"Tenor", "weeks", {"n"}, 1};
constexpr ArgumentSpec<1> kTenorMonths{"Tenor", "months", {"n"}, 1};
constexpr ArgumentSpec<1> kTenorYears{"Tenor", "years", {"n"}, 1};
constexpr ArgumentSpec<1> kTenorAdvance{"Tenor", "advance", {"from"}, 1};

template <const ArgumentSpec<1>& Spec, Tenor (*Make)(int32_t)>
Ref tenor_factory(const CallArgs& args) {
    const auto bound = bind_arguments(Spec, args);
    return new_instance(Make(convert_argument("n", extract_i32, bound[0])));
}

Ref tenor_advance(PyObject* self, const CallArgs& args) {
    const auto bound = bind_arguments(kTenorAdvance, args);
    const SharedRef<Tenor> tenor(cast_instance<Tenor>(self));
    const Date from = convert_argument("from", extract_date, bound[0]);
    // Built through datetime.date, which refuses years outside 1..9999 itself.
    return make_python_date(tenor->advance(from));
}

}  // namespace

template <>
PyTypeObject* type_object<DayCountConvention>() {
    static const ClassSpec spec{
        .qualified_name = "builtins.DayCountConvention",
        .repr = &unary_entry<day_count_repr>,
        .as_int = &unary_entry<day_count_int>,
        .populate = &add_day_count_members,
    };
    return cached_type<DayCountConvention>(spec);
}

template <>
PyTypeObject* type_object<Tenor>() {
    static PyMethodDef methods[] = {
        static_method<tenor_factory<kTenorDays, &Tenor::days>>("days", "days(n)\n--\n\n"),
        static_method<tenor_factory<kTenorWeeks, &Tenor::weeks>>("weeks", "weeks(n)\n--\n\n"),
        static_method<tenor_factory<kTenorMonths, &Tenor::months>>("months", "months(n)\n--\n\n"),
        static_method<tenor_factory<kTenorYears, &Tenor::years>>("years", "years(n)\n--\n\n"),
        method<tenor_advance>("advance", "advance($self, from)\n--\n\n"),
        end_of_methods(),
    };
    static const ClassSpec spec{
        .qualified_name = "builtins.Tenor",
        .methods = methods,
    };
    return cached_type<Tenor>(spec);
}

}  // namespace sorvik::python
