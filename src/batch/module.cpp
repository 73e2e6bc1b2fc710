// module.cpp: sorvik_batch._kernel, the array kernels behind sorvik_batch.
#include <Python.h>

#include "kernels.hpp"
#include "python_types.hpp"
#include "runtime/errors.hpp"
#include "settings.hpp"
#include "tables.hpp"
#include "worker_pool.hpp"

namespace sorvik::batch {
namespace {

using python::check;
using python::Ref;

PyObject* usable_cpu_count(PyObject*, PyObject*) noexcept {
    return python::call_frame([] { return check(PyLong_FromUnsignedLong(usable_cpus())); });
}

PyObject* set_result_type(PyObject*, PyObject* type) noexcept {
    return python::call_frame([&] {
        batch::set_result_type(type);
        return Ref::borrow(Py_None);
    });
}

template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"value_book", fastcall(&value_book), METH_FASTCALL,
     "value_book(settings, numbers, kinds, index, progress, dividends, /)\n--\n\nValues a book; a Valuation, or its "
     "first problem."},
    {"value_scalar", fastcall(&value_scalar), METH_FASTCALL,
     "value_scalar(spot, strike, years, rate, vol, option_type, exercise, dividend_yield, method, nodes, "
     "time_steps, grid_std_devs, precision, threads, progress, errors, bumped_vega_rho, /)\n--\n\nOne plain "
     "option's Valuation, or None for the array path."},
    {"implied_vol_book", fastcall(&implied_vol_book), METH_FASTCALL,
     "implied_vol_book(settings, numbers, kinds, progress, dividends, /)\n--\n\nImplied volatilities of a book of "
     "quotes, or the first problem."},
    {"implied_vol_scalar", fastcall(&implied_vol_scalar), METH_FASTCALL,
     "implied_vol_scalar(price, spot, strike, years, rate, option_type, exercise, dividend_yield, method, nodes, "
     "time_steps, grid_std_devs, precision, threads, progress, errors, /)\n--\n\nOne plain quote's implied "
     "volatility, or None for the array path."},
    {"kind_codes", fastcall(&kind_codes), METH_FASTCALL,
     "kind_codes(argument, items, /)\n--\n\nThe int8 code of each item, -1 where it names no value."},
    {"set_result_type", &set_result_type, METH_O,
     "set_result_type(cls, /)\n--\n\nThe class whose instances the kernel returns."},
    {"usable_cpu_count", &usable_cpu_count, METH_NOARGS,
     "usable_cpu_count()\n--\n\nThe number of CPUs this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "sorvik_batch._kernel",
                       "Array kernels behind sorvik_batch (private).", 0, kMethods, nullptr, nullptr, nullptr, nullptr};

/// The module, its Settings class, its word tables and the grid's defaults.
Ref make_module() {
    load_python_types();
    Ref module = check(PyModule_Create(&kModule));
    auto add = [&](const char* name, Ref value) {
        if (PyModule_AddObjectRef(module.get(), name, value.get()) < 0) python::throw_python_error();
    };
    add("Settings", Ref::borrow(reinterpret_cast<PyObject*>(settings_type())));
    add("WORDS", tables_object());
    add("EXPECTED", expected_object());
    const FdmSettings grid;
    add("GRID_DEFAULTS", check(Py_BuildValue("{sKsKsd}", "nodes", static_cast<unsigned long long>(grid.nodes),
                                             "time_steps", static_cast<unsigned long long>(grid.time_steps),
                                             "grid_std_devs", grid.grid_std_devs)));
    return module;
}

}  // namespace
}  // namespace sorvik::batch

PyMODINIT_FUNC PyInit__kernel() {
    return sorvik::python::call_frame([] { return sorvik::batch::make_module(); });
}
