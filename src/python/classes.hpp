// classes.hpp: the module's classes by native value type, for every file
// that checks, reads or creates instances of another file's classes.
#pragma once

#include <Python.h>

#include "runtime/instance.hpp"

namespace sorvik {
class DayCountConvention;
struct StockOption;
enum class OptionType : uint8_t;
enum class ExerciseStyle : uint8_t;
}  // namespace sorvik

namespace sorvik::python {

// calendar.cpp
template <> PyTypeObject* type_object<DayCountConvention>();
// instrument.cpp
template <> PyTypeObject* type_object<StockOption>();
template <> PyTypeObject* type_object<OptionType>();
template <> PyTypeObject* type_object<ExerciseStyle>();

}  // namespace sorvik::python
