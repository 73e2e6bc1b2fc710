// runtime/type_builder.hpp: one class description -> one cached heap type.
#pragma once

#include <Python.h>

#include "runtime/instance.hpp"

namespace sorvik::python {

/// What differs between the module's classes. Every class is final and
/// immutable, has no instance dict or weak references, and only read-only
/// attributes.
struct ClassSpec {
    const char* qualified_name;               // "builtins.<Name>"
    const char* doc = "";                     // constructor signature text, or empty
    newfunc constructor = nullptr;            // none: instantiation is refused
    reprfunc repr = nullptr;
    unaryfunc as_int = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* attributes = nullptr;
    void (*populate)(PyTypeObject*) = nullptr;  // enumeration members, once
};

/// Creates the type object; throws with the Python error set on failure.
PyTypeObject* create_type(const ClassSpec& spec, int basic_size, destructor dealloc);

/// The type for T, created on the first call and cached; a failed creation
/// is retried on the next call.
template <class T>
PyTypeObject* cached_type(const ClassSpec& spec) {
    static PyTypeObject* type = nullptr;
    if (!type) type = create_type(spec, static_cast<int>(sizeof(Instance<T>)), &dealloc_instance<T>);
    return type;
}

/// Stores one enumeration member (a singleton instance) on the class.
template <class T>
void add_member(PyTypeObject* type, const char* name, T value) {
    Ref member = new_instance<T>(type, std::move(value));
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, member.get()) < 0) throw_python_error();
}

}  // namespace sorvik::python
