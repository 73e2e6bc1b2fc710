// runtime/entry.hpp: the C entry points the interpreter calls, each a noexcept
// shell that runs a throwing implementation inside the call frame.
#pragma once

#include <Python.h>

#include "runtime/binding.hpp"
#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace sorvik::python {

using ConstructorImpl = Ref (*)(const CallArgs&);
using MethodImpl = Ref (*)(PyObject* self, const CallArgs&);
using StaticImpl = Ref (*)(const CallArgs&);
using UnaryImpl = Ref (*)(PyObject* self);

template <ConstructorImpl F>
PyObject* constructor_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_frame([&] { return F(CallArgs::from_tuple(args, kwargs)); });
}

template <MethodImpl F>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_frame([&] { return F(self, CallArgs::from_vector(args, nargs, kwnames)); });
}

template <StaticImpl F>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_frame([&] { return F(CallArgs::from_vector(args, nargs, kwnames)); });
}

template <UnaryImpl F>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return call_frame([&] { return F(self); });
}

template <UnaryImpl F>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return call_frame([&] { return F(self); });
}

/// Representation and integer conversion slots.
template <UnaryImpl F>
PyObject* unary_entry(PyObject* self) noexcept {
    return call_frame([&] { return F(self); });
}

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

/// Method table rows; `doc` carries the text signature.
template <MethodImpl F>
PyMethodDef method(const char* name, const char* doc) {
    return {name, as_cfunction(&method_entry<F>), METH_FASTCALL | METH_KEYWORDS, doc};
}
template <StaticImpl F>
PyMethodDef static_method(const char* name, const char* doc) {
    return {name, as_cfunction(&static_entry<F>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}
template <UnaryImpl F>
PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, as_cfunction(&noargs_entry<F>), METH_NOARGS, doc};
}
template <UnaryImpl F>
PyMethodDef noargs_static_method(const char* name, const char* doc) {
    return {name, as_cfunction(&noargs_entry<F>), METH_NOARGS | METH_STATIC, doc};
}
inline PyMethodDef end_of_methods() { return {nullptr, nullptr, 0, nullptr}; }

/// Read-only attribute row (empty docstring).
template <UnaryImpl F>
PyGetSetDef attribute(const char* name) {
    return {name, &getter_entry<F>, nullptr, "", nullptr};
}
inline PyGetSetDef end_of_attributes() { return {nullptr, nullptr, nullptr, nullptr, nullptr}; }

}  // namespace sorvik::python
