// runtime/binding.hpp: binds call arguments to a callable's parameters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace sorvik::python {

/// The arguments of one call, in either calling convention.
struct CallArgs {
    PyObject* const* positional = nullptr;
    Py_ssize_t count = 0;
    PyObject* keyword_dict = nullptr;   // constructors: tuple + dict
    PyObject* keyword_names = nullptr;  // methods: values follow the positional ones

    static CallArgs from_tuple(PyObject* args, PyObject* kwargs) {
        return {&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwargs, nullptr};
    }
    static CallArgs from_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return {args, PyVectorcall_NARGS(nargs), nullptr, kwnames};
    }
};

/// A callable's parameters: all positional-or-keyword, the first `required` mandatory.
template <std::size_t N>
struct ArgumentSpec {
    const char* class_name;
    const char* function_name;  // "__new__" for constructors
    std::array<const char*, N> names;
    std::size_t required;
};

/// One borrowed reference per parameter; null where the caller gave nothing.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

/// Fills `slots` or throws TypeError with the interpreter's argument messages.
void bind_into(const char* class_name, const char* function_name, const char* const* names, std::size_t count,
               std::size_t required, const CallArgs& args, PyObject** slots);

template <std::size_t N>
Bound<N> bind_arguments(const ArgumentSpec<N>& spec, const CallArgs& args) {
    Bound<N> slots{};
    bind_into(spec.class_name, spec.function_name, spec.names.data(), N, spec.required, args, slots.data());
    return slots;
}

/// An optional argument: null when absent or None, since both mean "not given".
inline PyObject* given(PyObject* slot) { return slot == Py_None ? nullptr : slot; }

/// Gives a conversion's TypeError (exactly TypeError) the prefix
/// "argument '<name>': ", keeping its cause; other errors pass unchanged.
[[noreturn]] void rethrow_with_argument_name(const char* name);

/// Runs the conversion of one bound argument under its name.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert, PyObject* obj) -> decltype(convert(obj)) {
    try {
        return convert(obj);
    } catch (...) {
        rethrow_with_argument_name(name);
    }
}

}  // namespace sorvik::python
