// kernels.hpp: the functions of sorvik_batch._kernel.
#pragma once

#include <Python.h>

#include "book_inputs.hpp"
#include "runtime/ref.hpp"

namespace sorvik::batch {

/// value_book(shape, inputs, outputs, method, nodes, time_steps, grid_std_devs,
///            bumped_vega_rho, threads, nan_mode, progress)
///   -> None, or (flat index, input name, 0, 0.0) for the first unusable row.
PyObject* value_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// implied_vol_book(shape, inputs, outputs, method, nodes, time_steps, grid_std_devs,
///                  bumped_vega_rho, threads, nan_mode, progress)
///   -> (problem, grid valuations), problem as for value_book, with status
///      1 (below the lower bound), 2 (at or above the upper bound) or 3 (needs
///      σ above 10) and the bound for a quote without a solution.
PyObject* implied_vol_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// implied_vol_scalar(price, spot, strike, years, rate, option_type, exercise,
///                    dividend_yield, method, nodes, time_steps, grid_std_devs, progress, errors)
///   -> the implied volatility as a float; (status, bound) for a quote without
///      a solution under errors="raise"; None when any argument is not of the
///      plain scalar kinds (or is unusable): the caller then takes the array path.
PyObject* implied_vol_scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace sorvik::batch
