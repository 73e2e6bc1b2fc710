// python_types.hpp: the Python types the kernel reads and makes: numpy arrays, sorvik's enumerations, results.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "runtime/ref.hpp"
#include "strided.hpp"
#include "tables.hpp"

namespace sorvik::batch {

/// Imports numpy and sorvik once, at module start; throws when either fails.
void load_python_types();

PyTypeObject* numpy_array_type();     ///< numpy.ndarray
PyTypeObject* option_type_class();    ///< sorvik.OptionType
PyTypeObject* exercise_style_class(); ///< sorvik.ExerciseStyle

/// A new float64 array of the shape, uninitialised (numpy.empty).
python::Ref new_array(const BookShape& shape);

/// The code of a str (any case) or an enumeration member of the table's kind; -1 for an unknown word.
int8_t scalar_code(const KindTable& table, PyObject* obj);

/// A str (any case) or member of the table's kind that names a value: its
/// code. False for anything else, unknown words included.
bool scalar_kind(PyObject* obj, const KindTable& table, int8_t& code);

/// Whether a progress argument asks for none: False, or numpy's False.
bool no_progress(PyObject* obj);

/// Whether obj is a Python or numpy number that converts to a double exactly
/// as numpy's float64 conversion does: float (and its subclasses, as
/// numpy.float64), int (not bool), numpy's floating and integer scalars (not
/// timedelta64), a float64 array of no dimension.
/// Sets x; false for any other object, which the array path then takes.
bool plain_number(PyObject* obj, double& x);

/// Registers the result class (a frozen dataclass with slots price, delta,
/// gamma, theta, vega, rho and index), whose instances the kernel fills
/// directly, past its __init__.
void set_result_type(PyObject* type);

/// A new result of six fields (references stolen) and an index (borrowed; None for none).
python::Ref make_result(std::array<python::Ref, 6>& fields, PyObject* index);

}  // namespace sorvik::batch
