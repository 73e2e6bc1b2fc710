// runtime/errors.hpp: failure values and the call frame every entry point runs in.
#pragma once

#include <Python.h>

#include <string>

#include "runtime/ref.hpp"

namespace sorvik {
class Fault;
}

namespace sorvik::python {

/// Marker: the interpreter already holds the error (a failed C-API call or a
/// callback that raised). The frame leaves it exactly as it is.
struct PythonErrorSet {};

/// A deferred exception: the Python object is only made when it is raised.
struct PyError {
    PyObject* type;
    std::string message;
};

/// Turns a failed interpreter call into a C++ failure: SystemError when no
/// error is set, an internal fault when Python code raised the fault
/// exception class, otherwise PythonErrorSet with the error left pending.
[[noreturn]] void throw_python_error();

/// The result of a C-API call that returns a new reference or null on failure.
inline Ref check(PyObject* result) {
    if (!result) throw_python_error();
    return Ref::steal(result);
}

/// The fault exception class, created on first need and shared by both
/// extension modules; null (error set) on failure.
PyObject* panic_exception_type() noexcept;

/// Writes the fault's diagnostic to stderr and raises the fault exception class.
void raise_fault(const Fault& fault) noexcept;

/// Converts whatever escaped `body` into the pending Python error. Never throws.
void raise_current_exception() noexcept;

/// Runs one entry from the interpreter: the body's result, or null with the
/// Python error set; no C++ exception crosses into the interpreter.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

/// Same frame for slots that report failure as -1.
template <class Body>
int call_frame_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

}  // namespace sorvik::python
