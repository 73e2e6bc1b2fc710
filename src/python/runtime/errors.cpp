// runtime/errors.cpp: raising failures, fetching errors, reporting internal faults.
#include "runtime/errors.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "fault.hpp"
#include "system/memory_budget.hpp"

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

/// Sets `type` with the whole of `message`, embedded NULs included.
void set_error(PyObject* type, std::string_view message) {
    const Ref text =
        Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());  // else the decoding failure is the pending error
}

/// When the pending error is the fault class, raised by Python code the
/// library called (a callback, a signal handler): prints a header and its
/// traceback, without running sys.excepthook (which may exit the process),
/// clears it and returns the fault to raise in its place.
std::optional<Fault> take_python_panic() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // Finding (or making) the class must not disturb the pending error.
    PyObject* panic = panic_exception_type();
    if (!panic) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (!panic || !PyErr_ExceptionMatches(panic)) return std::nullopt;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), traceback_ref = Ref::steal(traceback);
    std::string message = "Unwrapped panic from Python code";
    if (const Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
            message.assign(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    std::fputs("sorvik: Python code raised PanicException; its traceback follows.\n", stderr);
    std::fflush(stderr);
    PyErr_Display(type, value, traceback);
    PyErr_Clear();
    return Fault(std::move(message));
}

}  // namespace

void throw_python_error() {
    if (!PyErr_Occurred()) throw PyError{PyExc_SystemError, "attempted to fetch exception but none was set"};
    if (auto fault = take_python_panic()) throw *fault;
    throw PythonErrorSet{};
}

PyObject* panic_exception_type() noexcept {
    if (g_panic_type) return g_panic_type;
    // One class per interpreter for both extension modules (each links its own
    // copy of this runtime): the first to need it stores it in the
    // interpreter's dictionary for extension state, which Python code cannot reach.
    constexpr const char* key = "sorvik.PanicException";
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (PyObject* shared = state ? PyDict_GetItemString(state, key) : nullptr) {
        g_panic_type = Py_NewRef(shared);
        return g_panic_type;
    }
    PyObject* created =
        PyErr_NewExceptionWithDoc("velkor_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (!created) return nullptr;
    if (state && PyDict_SetItemString(state, key, created) < 0) PyErr_Clear();  // still usable, just not shared
    g_panic_type = created;
    return g_panic_type;
}

void raise_fault(const Fault& fault) noexcept {
    const auto& where = fault.where();
    const std::string_view message = fault.message().empty() ? std::string_view("internal fault") : fault.message();
    std::fprintf(stderr, "sorvik: internal fault at %s:%u:%u: ", short_path(where.file_name()),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (PyObject* type = panic_exception_type()) set_error(type, message);  // else its creation failure is pending
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        // Already pending.
    } catch (const PyError& e) {
        set_error(e.type, e.message);
    } catch (const CoreError& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const MemoryBudgetExceeded& e) {
        set_error(PyExc_MemoryError, e.what());
    } catch (const Fault& f) {
        raise_fault(f);
    } catch (const Cancelled&) {
        // The cancellation hook stops a run only with the reason pending (an
        // exception from a signal handler); keep a reason in any case, and
        // report the fault class like every other fault.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        else if (auto fault = take_python_panic()) raise_fault(*fault);
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
