// module.cpp: sorvik_batch._kernel, the array kernels behind sorvik_batch.
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "kernels.hpp"
#include "parallel.hpp"
#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"
#include "system/memory_budget.hpp"

namespace sorvik::batch {
namespace {

PyObject* usable_cpu_count(PyObject*, PyObject*) noexcept {
    return python::call_frame([] { return python::check(PyLong_FromUnsignedLong(usable_cpus())); });
}

/// require_memory(bytes, purpose, /): MemoryError naming the purpose when
/// `bytes` would not fit under the process's memory limits.
PyObject* require_memory(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&] {
        require_arguments(nargs, 2, "require_memory");
        const uint64_t bytes = python::extract_u64(args[0]);
        Py_ssize_t length = 0;
        const char* purpose = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8AndSize(args[1], &length) : nullptr;
        if (!purpose) {
            if (!PyErr_Occurred()) python::throw_type_mismatch(args[1], "str");
            python::throw_python_error();
        }
        sorvik::require_memory(bytes, std::string_view(purpose, static_cast<std::size_t>(length)));
        return python::Ref::borrow(Py_None);
    });
}

template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"value_book", fastcall(&value_book), METH_FASTCALL,
     "value_book(shape, inputs, outputs, method, nodes, time_steps, grid_std_devs, bumped_vega_rho, threads, "
     "nan_mode, progress, /)\n--\n\nValues a broadcast book into the outputs."},
    {"implied_vol_book", fastcall(&implied_vol_book), METH_FASTCALL,
     "implied_vol_book(shape, inputs, outputs, method, nodes, time_steps, grid_std_devs, bumped_vega_rho, threads, "
     "nan_mode, progress, /)\n--\n\nImplied volatilities of a broadcast book of quotes into the output."},
    {"implied_vol_scalar", fastcall(&implied_vol_scalar), METH_FASTCALL,
     "implied_vol_scalar(price, spot, strike, years, rate, option_type, exercise, dividend_yield, method, nodes, "
     "time_steps, grid_std_devs, progress, errors, /)\n--\n\nOne quote's implied volatility, or None for the array "
     "path."},
    {"require_memory", fastcall(&require_memory), METH_FASTCALL,
     "require_memory(bytes, purpose, /)\n--\n\nMemoryError when the bytes would not fit in what the process may "
     "use."},
    {"usable_cpu_count", &usable_cpu_count, METH_NOARGS,
     "usable_cpu_count()\n--\n\nThe number of CPUs this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "sorvik_batch._kernel",
                       "Array kernels behind sorvik_batch (private).", 0, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace sorvik::batch

PyMODINIT_FUNC PyInit__kernel() {
    return sorvik::python::call_frame([] { return sorvik::python::check(PyModule_Create(&sorvik::batch::kModule)); });
}
