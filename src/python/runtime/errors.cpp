// runtime/errors.cpp: raising failures, fetching errors, reporting internal faults.
#include "runtime/errors.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "fault.hpp"

namespace sorvik::python {
namespace {

PyObject* g_panic_type = nullptr;

constexpr const char* kPanicDoc =
    "Raised when sorvik's native code, called from Python, hits an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException, so that it normally propagates\n"
    "all the way up the stack and ends the interpreter.";

/// The path below the project's src/ folder, to keep diagnostics short.
const char* short_path(const char* file) {
    const char* src = std::strstr(file, "src/");
    return src ? src : file;
}

/// Re-raised when Python code raised the fault exception: show its traceback,
/// then continue as an internal fault of our own.
[[noreturn]] void rethrow_python_panic() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* text = value ? PyObject_Str(value) : nullptr) {
        if (const char* utf8 = PyUnicode_AsUTF8(text)) message = utf8;
        Py_DECREF(text);
    }
    PyErr_Clear();
    std::fputs("sorvik: Python code raised PanicException; its traceback follows.\n", stderr);
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw Fault(std::move(message));
}

}  // namespace

void throw_python_error() {
    if (!PyErr_Occurred()) throw PyError{PyExc_SystemError, "attempted to fetch exception but none was set"};
    if (g_panic_type && PyErr_ExceptionMatches(g_panic_type)) rethrow_python_panic();
    throw PythonErrorSet{};
}

PyObject* panic_exception_type() noexcept {
    if (!g_panic_type)
        g_panic_type = PyErr_NewExceptionWithDoc("velkor_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    return g_panic_type;
}

void raise_fault(const Fault& fault) noexcept {
    const auto& where = fault.where();
    const std::string& message = fault.message().empty() ? std::string("internal fault") : fault.message();
    std::fprintf(stderr, "sorvik: internal fault at %s:%u:%u: %s\n", short_path(where.file_name()),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (!type) return;  // the creation failure is the pending error
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        // Already pending.
    } catch (const PyError& e) {
        PyErr_SetString(e.type, e.message.c_str());
    } catch (const CoreError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Fault& f) {
        raise_fault(f);
    } catch (const Cancelled&) {
        // The cancellation hook stops a run only with the reason pending
        // (KeyboardInterrupt from a signal handler); keep a reason in any case.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container asked for more than it can ever hold
    } catch (const std::exception& e) {
        raise_fault(Fault(e.what()));
    } catch (...) {
        raise_fault(Fault("unknown internal fault"));
    }
}

}  // namespace sorvik::python
