// runtime/ref.hpp: an owning, move-only reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace sorvik::python {

/// Owns one reference. A bare `PyObject*` elsewhere always means borrowed.
class Ref {
public:
    Ref() noexcept = default;
    /// Takes over a new reference (e.g. the result of a C-API call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    /// Hands the reference back to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace sorvik::python
