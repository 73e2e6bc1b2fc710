// runtime/conversions.hpp: Python objects -> core values. Each conversion
// returns the value or throws with the exact Python error.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "calendar/date.hpp"
#include "runtime/borrow.hpp"
#include "runtime/instance.hpp"

namespace sorvik::python {

double extract_float(PyObject* obj);
uint64_t extract_u64(PyObject* obj);
/// OverflowError "out of range integral type conversion attempted" outside the type's range.
int32_t extract_i32(PyObject* obj);
uint32_t extract_u32(PyObject* obj);

/// TypeError "'<type>' object cannot be cast as '<target>'".
[[noreturn]] void throw_type_mismatch(PyObject* obj, const char* target);

/// TypeError "'<class>' object is not initialized".
[[noreturn]] void throw_uninitialized(PyTypeObject* type);

/// The instance behind `obj` when it is of T's class and holds a value.
template <class T>
Instance<T>& cast_instance(PyObject* obj) {
    PyTypeObject* type = type_object<T>();
    if (!PyObject_TypeCheck(obj, type)) throw_type_mismatch(obj, class_name(type));
    auto& inst = instance_of<T>(obj);
    if (!inst.constructed) throw_uninitialized(type);
    return inst;
}

/// A copy of the native value, read under a shared borrow released at once.
template <class T>
T extract_copy(PyObject* obj) {
    auto& inst = cast_instance<T>(obj);
    SharedBorrow borrow(inst.borrow);
    return inst.value;
}

/// Read access to the native value for as long as this object lives.
template <class T>
class SharedRef {
public:
    explicit SharedRef(Instance<T>& inst) : borrow_(inst.borrow), value_(inst.value) {}
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

private:
    SharedBorrow borrow_;
    const T& value_;
};

/// Every element of a sequence (not a str) converted in order; the first
/// failing element's error is raised unchanged.
template <class T, class Convert>
std::vector<T> extract_sequence(PyObject* obj, Convert&& convert);

/// A datetime.date (a datetime counts as its date): ValueError
/// "invalid or out-of-range date" for a combination that is no date.
Date extract_date(PyObject* obj);

/// A new datetime.date, made by calling the class.
Ref make_python_date(const Date& date);

enum class InstantMode { Truncating, Flooring };

/// The argument check of an aware instant: an instance of datetime.datetime.
void require_datetime(PyObject* obj);

/// The instant a datetime's timestamp() reports, after require_datetime().
/// Errors of utcoffset()/timestamp() pass through; a naive value raises
/// ValueError `naive_message`, an instant out of range `invalid_message`.
UtcInstant aware_instant(PyObject* obj, InstantMode mode, const char* naive_message, const char* invalid_message);

/// Both steps, for a callable whose only argument is the date-time.
UtcInstant extract_aware_instant(const char* argument_name, PyObject* obj, InstantMode mode,
                                 const char* naive_message, const char* invalid_message);

// ---------------------------------------------------------------- implementation

/// The sequence protocol steps of extract_sequence; `element` is called per item.
void for_each_in_sequence(PyObject* obj, Py_ssize_t* length_hint, void (*element)(PyObject*, void*), void* context);

template <class T, class Convert>
std::vector<T> extract_sequence(PyObject* obj, Convert&& convert) {
    struct Context {
        std::vector<T>* out;
        Convert* convert;
    };
    std::vector<T> out;
    Context context{&out, &convert};
    Py_ssize_t length = 0;
    for_each_in_sequence(
        obj, &length,
        [](PyObject* item, void* c) {
            auto* ctx = static_cast<Context*>(c);
            ctx->out->push_back((*ctx->convert)(item));
        },
        &context);
    return out;
}

}  // namespace sorvik::python

namespace sorvik::python {

/// Core values -> new Python objects.
inline Ref float_object(double value) { return check(PyFloat_FromDouble(value)); }
inline Ref int_object(long value) { return check(PyLong_FromLong(value)); }

}  // namespace sorvik::python
