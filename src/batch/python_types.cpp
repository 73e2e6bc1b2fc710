// python_types.cpp: the Python types the kernel reads and makes: numpy arrays, sorvik's enumerations, results.
#include "python_types.hpp"

#include <structmember.h>

#include <cstring>
#include <string_view>

#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"

namespace sorvik::batch {

using python::check;
using python::PyError;
using python::Ref;

namespace {

// Held for the life of the process, like the modules they come from.
PyTypeObject* g_ndarray = nullptr;
PyTypeObject* g_floating = nullptr;  // numpy.floating
PyTypeObject* g_integer = nullptr;   // numpy.integer
PyTypeObject* g_timedelta = nullptr; // numpy.timedelta64, an integer that is no number of years
PyTypeObject* g_bool = nullptr;      // numpy.bool_
PyTypeObject* g_option_type = nullptr;
PyTypeObject* g_exercise_style = nullptr;
PyObject* g_empty = nullptr;  // numpy.empty
PyTypeObject* g_result = nullptr;
constexpr const char* kResultFields[] = {"price", "delta", "gamma", "theta", "vega", "rho", "index"};
std::array<Py_ssize_t, 7> g_result_offsets{};

PyObject* attribute(PyObject* module, const char* name) { return check(PyObject_GetAttrString(module, name)).release(); }

PyTypeObject* type_attribute(PyObject* module, const char* name) {
    PyObject* obj = attribute(module, name);
    if (!PyType_Check(obj)) throw PyError{PyExc_ImportError, std::string(name) + " is not a class"};
    return reinterpret_cast<PyTypeObject*>(obj);
}

}  // namespace

void load_python_types() {
    const Ref numpy = check(PyImport_ImportModule("numpy"));
    g_ndarray = type_attribute(numpy.get(), "ndarray");
    g_floating = type_attribute(numpy.get(), "floating");
    g_integer = type_attribute(numpy.get(), "integer");
    g_timedelta = type_attribute(numpy.get(), "timedelta64");
    g_bool = type_attribute(numpy.get(), "bool_");
    g_empty = attribute(numpy.get(), "empty");
    const Ref sorvik = check(PyImport_ImportModule("sorvik"));
    g_option_type = type_attribute(sorvik.get(), "OptionType");
    g_exercise_style = type_attribute(sorvik.get(), "ExerciseStyle");
}

PyTypeObject* numpy_array_type() { return g_ndarray; }
PyTypeObject* option_type_class() { return g_option_type; }
PyTypeObject* exercise_style_class() { return g_exercise_style; }

Ref new_array(const BookShape& shape) {
    Ref dims = check(PyTuple_New(shape.ndim));
    for (int d = 0; d < shape.ndim; ++d) PyTuple_SET_ITEM(dims.get(), d, check(PyLong_FromSsize_t(shape.extent[d])).release());
    return check(PyObject_CallOneArg(g_empty, dims.get()));
}

int8_t scalar_code(const KindTable& table, PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!text) python::throw_python_error();
        return code_of(table, std::string_view(text, static_cast<std::size_t>(size)));
    }
    const Ref code = check(PyNumber_Long(obj));  // members give their code to int()
    const long value = PyLong_AsLong(code.get());
    if (value == -1 && PyErr_Occurred()) python::throw_python_error();
    return static_cast<int8_t>(value);
}

bool scalar_kind(PyObject* obj, const KindTable& table, int8_t& code) {
    PyTypeObject* members = &table == &kOptionTypes ? g_option_type : g_exercise_style;
    if (!PyUnicode_Check(obj) && !Py_IS_TYPE(obj, members)) return false;
    code = scalar_code(table, obj);
    return code >= 0;
}

bool no_progress(PyObject* obj) {
    return obj == Py_False || (Py_IS_TYPE(obj, g_bool) && PyObject_IsTrue(obj) == 0);
}

bool plain_number(PyObject* obj, double& x) {
    if (PyFloat_Check(obj)) {
        x = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_CheckExact(obj)) {
        x = PyLong_AsDouble(obj);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large: the array path words it
            return false;
        }
        return true;
    }
    if (Py_IS_TYPE(obj, g_ndarray)) {
        // A 0-d float64 array; any other array goes the array way.
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_ND) < 0) {
            PyErr_Clear();
            return false;
        }
        const bool scalar = view.ndim == 0 && view.itemsize == sizeof(double) && view.format &&
                            (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "=d") == 0 ||
                             std::strcmp(view.format, "@d") == 0 || (PY_LITTLE_ENDIAN && std::strcmp(view.format, "<d") == 0));
        if (scalar) std::memcpy(&x, view.buf, sizeof x);
        PyBuffer_Release(&view);
        return scalar;
    }
    if (PyObject_TypeCheck(obj, g_floating) || (PyObject_TypeCheck(obj, g_integer) && !PyObject_TypeCheck(obj, g_timedelta))) {
        const Ref value = Ref::steal(PyNumber_Float(obj));
        if (!value) {
            PyErr_Clear();
            return false;
        }
        x = PyFloat_AS_DOUBLE(value.get());
        return true;
    }
    return false;
}

void set_result_type(PyObject* type) {
    if (!PyType_Check(type)) python::throw_type_mismatch(type, "type");
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    std::array<Py_ssize_t, 7> offsets{};
    for (std::size_t f = 0; f < offsets.size(); ++f) {
        // A slot of the class: a member descriptor holding an object at an offset.
        const Ref descriptor = check(PyObject_GetAttrString(type, kResultFields[f]));
        if (Py_TYPE(descriptor.get()) != &PyMemberDescr_Type)
            throw PyError{PyExc_TypeError, std::string("the result class has no slot ") + kResultFields[f]};
        const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor.get())->d_member;
        if (member->type != T_OBJECT_EX)
            throw PyError{PyExc_TypeError, std::string("the result class's slot ") + kResultFields[f] + " holds no object"};
        offsets[f] = member->offset;
    }
    Py_INCREF(type);
    Py_XDECREF(reinterpret_cast<PyObject*>(g_result));
    g_result = cls;
    g_result_offsets = offsets;
}

Ref make_result(std::array<Ref, 6>& fields, PyObject* index) {
    if (!g_result) throw PyError{PyExc_RuntimeError, "sorvik_batch's result class is not registered"};
    Ref result = check(g_result->tp_alloc(g_result, 0));
    char* base = reinterpret_cast<char*>(result.get());
    for (std::size_t f = 0; f < fields.size(); ++f)
        *reinterpret_cast<PyObject**>(base + g_result_offsets[f]) = fields[f].release();
    Py_INCREF(index);
    *reinterpret_cast<PyObject**>(base + g_result_offsets[6]) = index;
    return result;
}

}  // namespace sorvik::batch
