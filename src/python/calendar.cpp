// calendar.cpp: the Python classes of the calendar: DayCountConvention.
#include <Python.h>

#include "calendar/day_count.hpp"
#include "classes.hpp"
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

}  // namespace sorvik::python
