// runtime/instance.hpp: instance layout, type-object accessors and object creation.
#pragma once

#include <Python.h>

#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "runtime/borrow.hpp"
#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace sorvik::python {

/// Every instance: the object header, the native value, the borrow counter,
/// and whether the value was ever built. The interpreter hands out instances
/// zero-filled, so one allocated past new_instance() (by C code calling the
/// type's allocator) reads "not constructed" and is refused, never used.
template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    BorrowCounter borrow;
    bool constructed;
};

template <class T>
Instance<T>& instance_of(PyObject* obj) {
    return *reinterpret_cast<Instance<T>*>(obj);
}

/// The Python class whose instances hold a T, created on first use.
/// Each class file defines the specialisation for its native type.
template <class T>
PyTypeObject* type_object();

/// The class name without its "builtins." prefix.
inline const char* class_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

/// A new instance of `type` holding `value`.
template <class T>
Ref new_instance(PyTypeObject* type, T value) {
    static_assert(std::is_nothrow_move_constructible_v<T>, "instances are filled without a failure path");
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw_python_error();
    auto& inst = instance_of<T>(obj);
    new (&inst.value) T(std::move(value));
    new (&inst.borrow) BorrowCounter(0);
    inst.constructed = true;
    return Ref::steal(obj);
}

template <class T>
Ref new_instance(T value) {
    return new_instance<T>(type_object<T>(), std::move(value));
}

/// Destruction slot: drops the native value (and any references it holds).
template <class T>
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (instance_of<T>(self).constructed) instance_of<T>(self).value.~T();
    type->tp_free(self);
    Py_DECREF(type);  // heap types are owned by their instances
}

}  // namespace sorvik::python
