// kernels.hpp: the functions of sorvik_batch._kernel.
#pragma once

#include <Python.h>

#include "book_inputs.hpp"
#include "runtime/ref.hpp"

namespace sorvik::batch {

/// value_book(settings, numbers, kinds, index, progress, dividends) -> a
/// Valuation, or the first unusable row as problem_result words it.
/// `numbers`: spot, strike, years, rate, vol, dividend_yield, each a float or
/// a numpy float64 array; `kinds`: option type and exercise (see
/// BookInputs); `index` is stored in the result; `progress` None or a
/// callable; `dividends` None or the rows' cash dividends
/// (BookInputs::take_dividends).
PyObject* value_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// value_scalar(spot, strike, years, rate, vol, option_type, exercise,
///              dividend_yield, method, nodes, time_steps, grid_std_devs,
///              threads, progress, errors, bumped_vega_rho)
///   -> a Valuation of floats for one plain option, else None: the caller
///      then takes the array path, which words every refusal.
PyObject* value_scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// implied_vol_book(settings, numbers, kinds, progress, dividends) -> a float64
/// array (a float for a book of no dimension) or the first problem, as
/// value_book; `numbers` start with price and have no vol, and a quote with
/// no solution is a problem of its price, why it has none included.
PyObject* implied_vol_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// implied_vol_scalar(price, spot, strike, years, rate, option_type, exercise,
///                    dividend_yield, method, nodes, time_steps, grid_std_devs, threads, progress, errors)
///   -> the implied volatility of one plain quote as a float, else None (the array path).
PyObject* implied_vol_scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// kind_codes(argument, items) -> bytes: the code of each item (a str or a
/// member of the argument's kind; -1 for anything else), for arrays of objects.
PyObject* kind_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace sorvik::batch
