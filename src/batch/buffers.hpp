// buffers.hpp: the kernel's arrays, taken from Python objects through the buffer protocol.
#pragma once

#include <Python.h>

#include <cstring>
#include <string>

#include "runtime/errors.hpp"
#include "strided.hpp"

namespace sorvik::batch {

/// A buffer held for the length of a call.
class Buffer {
public:
    Buffer(PyObject* obj, int flags, const char* name) : name_(name) {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) python::throw_python_error();
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }

    const Py_buffer& view() const { return view_; }

    /// TypeError unless the elements are of struct format `format` (native order).
    void require_format(char format) const {
        const char* f = view_.format ? view_.format : "B";
        if (f[0] == '@' || f[0] == '=') ++f;
        if (f[0] != format || f[1] != '\0')
            throw python::PyError{PyExc_TypeError, std::string(name_) + ": expected elements of format '" + format +
                                                       "', got '" + (view_.format ? view_.format : "B") + "'"};
    }

private:
    Py_buffer view_{};
    const char* name_;
};

/// An input broadcast to `shape` (same number of dimensions and extents).
template <class T>
StridedInput<T> strided_input(const Buffer& buffer, const BookShape& shape, char format, const char* name) {
    buffer.require_format(format);
    const Py_buffer& v = buffer.view();
    bool same = v.ndim == shape.ndim && v.itemsize == static_cast<Py_ssize_t>(sizeof(T));
    for (int d = 0; same && d < shape.ndim; ++d) same = v.shape[d] == shape.extent[d];
    if (!same) throw python::PyError{PyExc_ValueError, std::string(name) + ": not of the book's shape"};
    StridedInput<T> in;
    in.data = static_cast<const char*>(v.buf);
    for (int d = 0; d < shape.ndim; ++d) in.strides[d] = v.strides ? v.strides[d] : 0;
    return in;
}

/// A writable C-contiguous float64 output of shape.size elements.
inline double* contiguous_output(const Buffer& buffer, const BookShape& shape, const char* name) {
    buffer.require_format('d');
    const Py_buffer& v = buffer.view();
    if (v.readonly || v.len != shape.size * static_cast<Py_ssize_t>(sizeof(double)))
        throw python::PyError{PyExc_ValueError, std::string(name) + ": not a writable array of the book's size"};
    return static_cast<double*>(v.buf);
}

}  // namespace sorvik::batch
