// runtime/conversions.cpp: numbers, dates, aware date-times and sequences.
#include "runtime/conversions.hpp"

#include <datetime.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "runtime/binding.hpp"

namespace sorvik::python {
namespace {

/// The datetime C API, imported once.
const PyDateTime_CAPI* datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw_python_error();
    }
    return PyDateTimeAPI;
}

[[noreturn]] void throw_integer_range() {
    throw PyError{PyExc_OverflowError, "out of range integral type conversion attempted"};
}

long extract_long(PyObject* obj) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

/// double -> integer casts saturate at the integer's range; NaN gives 0.
template <class I>
I saturating_cast(double x) {
    if (std::isnan(x)) return 0;
    constexpr auto lo = std::numeric_limits<I>::min();
    constexpr auto hi = std::numeric_limits<I>::max();
    if (x <= static_cast<double>(lo)) return lo;
    if (x >= static_cast<double>(hi)) return hi;
    return static_cast<I>(x);
}

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_python_error();
    return s;  // kept for the process lifetime
}

Ref call_method(PyObject* obj, PyObject* name) { return check(PyObject_CallMethodNoArgs(obj, name)); }

/// timestamp() of an exact datetime in timezone.utc, from its fields. For
/// these two C types no Python code runs in utcoffset() or timestamp(), so
/// skipping the calls cannot be observed; the arithmetic is the interpreter's
/// own (whole microseconds since the epoch, divided by 10^6, exact below 2^53).
std::optional<double> exact_utc_timestamp(PyObject* obj) {
    const PyDateTime_CAPI* api = datetime_api();
    if (Py_TYPE(obj) != api->DateTimeType || PyDateTime_DATE_GET_TZINFO(obj) != api->TimeZone_UTC)
        return std::nullopt;
    const Date date{PyDateTime_GET_YEAR(obj), static_cast<uint32_t>(PyDateTime_GET_MONTH(obj)),
                    static_cast<uint32_t>(PyDateTime_GET_DAY(obj))};
    const int64_t seconds = to_days(date) * kSecondsPerDay + PyDateTime_DATE_GET_HOUR(obj) * 3600 +
                            PyDateTime_DATE_GET_MINUTE(obj) * 60 + PyDateTime_DATE_GET_SECOND(obj);
    const int64_t micros = seconds * 1'000'000 + PyDateTime_DATE_GET_MICROSECOND(obj);
    constexpr int64_t exact = int64_t{1} << 53;
    if (micros > exact || micros < -exact) return std::nullopt;
    return static_cast<double>(micros) / 1e6;
}

}  // namespace

double extract_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_python_error();
    return value;
}

uint64_t extract_u64(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = check(PyNumber_Index(obj));
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
    return value;
}

int32_t extract_i32(PyObject* obj) {
    const long value = extract_long(obj);
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        throw_integer_range();
    return static_cast<int32_t>(value);
}

uint32_t extract_u32(PyObject* obj) {
    const long value = extract_long(obj);
    if (value < 0 || value > static_cast<long>(std::numeric_limits<uint32_t>::max())) throw_integer_range();
    return static_cast<uint32_t>(value);
}

void throw_type_mismatch(PyObject* obj, const char* target) {
    std::string type_name = "<failed to extract type name>";
    static PyObject* const qualname_name = interned("__qualname__");
    if (const Ref qualname = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), qualname_name))) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(qualname.get()) ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
        if (text) type_name.assign(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    throw PyError{PyExc_TypeError, "'" + type_name + "' object cannot be cast as '" + target + "'"};
}

void throw_uninitialized(PyTypeObject* type) {
    throw PyError{PyExc_TypeError, std::string("'") + class_name(type) + "' object is not initialized"};
}

void for_each_in_sequence(PyObject* obj, Py_ssize_t* length_hint, void (*element)(PyObject*, void*),
                          void* context) {
    if (PyUnicode_Check(obj)) throw PyError{PyExc_TypeError, "Can't extract `str` to `Vec`"};
    if (!PySequence_Check(obj)) throw_type_mismatch(obj, "Sequence");
    *length_hint = PySequence_Size(obj);
    if (*length_hint < 0) {
        PyErr_Clear();
        *length_hint = 0;
    }
    Ref iterator = check(PyObject_GetIter(obj));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Ref owned = Ref::steal(item);
        element(owned.get(), context);
    }
    if (PyErr_Occurred()) throw_python_error();
}

Date extract_date(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, datetime_api()->DateType)) throw_type_mismatch(obj, "date");
    static PyObject* const year_name = interned("year");
    static PyObject* const month_name = interned("month");
    static PyObject* const day_name = interned("day");
    const int32_t year = extract_i32(check(PyObject_GetAttr(obj, year_name)).get());
    const uint32_t month = extract_u32(check(PyObject_GetAttr(obj, month_name)).get());
    const uint32_t day = extract_u32(check(PyObject_GetAttr(obj, day_name)).get());
    const auto date = make_date(year, month, day);
    if (!date) throw PyError{PyExc_ValueError, "invalid or out-of-range date"};
    return *date;
}

Ref make_python_date(const Date& date) {
    auto* type = reinterpret_cast<PyObject*>(datetime_api()->DateType);
    return check(PyObject_CallFunction(type, "iII", static_cast<int>(date.year), static_cast<unsigned>(date.month),
                                       static_cast<unsigned>(date.day)));
}

void require_datetime(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, datetime_api()->DateTimeType)) throw_type_mismatch(obj, "datetime");
}

UtcInstant aware_instant(PyObject* obj, InstantMode mode, const char* naive_message, const char* invalid_message) {
    static PyObject* const utcoffset_name = interned("utcoffset");
    static PyObject* const timestamp_name = interned("timestamp");
    double ts;
    if (const auto fast = exact_utc_timestamp(obj)) {
        ts = *fast;
    } else {
        if (call_method(obj, utcoffset_name).get() == Py_None) throw PyError{PyExc_ValueError, naive_message};
        ts = extract_float(call_method(obj, timestamp_name).get());
    }

    int64_t seconds;
    uint32_t nanos;
    if (mode == InstantMode::Truncating) {
        seconds = saturating_cast<int64_t>(ts);
        nanos = saturating_cast<uint32_t>((ts - static_cast<double>(seconds)) * 1e9);
    } else {
        seconds = saturating_cast<int64_t>(std::floor(ts));
        nanos = saturating_cast<uint32_t>(std::round((ts - static_cast<double>(seconds)) * 1e9));
    }
    const auto instant = instant_from_unix(seconds, nanos);
    if (!instant) throw PyError{PyExc_ValueError, invalid_message};
    return *instant;
}

UtcInstant extract_aware_instant(const char* argument_name, PyObject* obj, InstantMode mode,
                                 const char* naive_message, const char* invalid_message) {
    convert_argument(argument_name, require_datetime, obj);
    return aware_instant(obj, mode, naive_message, invalid_message);
}

}  // namespace sorvik::python
