// settings.hpp: the keywords of one value() or implied_vol() call, checked once.
#pragma once

#include <Python.h>

#include "valuation/book.hpp"

namespace sorvik::batch {

/// What a call is told besides its per-option inputs.
struct CallSettings {
    BookMethod method = BookMethod::Auto;
    GridRequest grid;     ///< nodes (made odd), time steps, width, bumped vega and rho
    SpectralPrecision precision = SpectralPrecision::Standard;  ///< of the exercise-boundary engine
    unsigned threads = 1; ///< workers the call may use
    bool nan_mode = false;
};

/// The keywords as the public functions take them, in this order.
struct SettingsArguments {
    PyObject *method, *nodes, *time_steps, *grid_std_devs, *precision, *threads, *errors, *bumped_vega_rho;
};

/// Checks and converts the keywords, with the public functions' messages:
/// ValueError for a value out of range ("nodes must be at least 3, got 2"),
/// TypeError for a keyword of the wrong kind. threads None: every usable CPU.
CallSettings parse_settings(const SettingsArguments& args);

/// The Python type `Settings`: a CallSettings made once per call by the
/// array path, which hands it to the kernels.
PyTypeObject* settings_type();
const CallSettings& settings_of(PyObject* obj);  ///< TypeError unless a Settings

}  // namespace sorvik::batch
