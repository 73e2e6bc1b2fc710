// settings.cpp: the keywords of one value() or implied_vol() call, checked once.
#include "settings.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "fdm/fdm_problem.hpp"
#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"
#include "tables.hpp"
#include "worker_pool.hpp"

namespace sorvik::batch {

using python::check;
using python::PyError;
using python::Ref;

namespace {

std::string repr(PyObject* obj) {
    const Ref text = check(PyObject_Repr(obj));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (!utf8) python::throw_python_error();
    return utf8;
}

/// operator.index(obj), as a count of at least `least`; larger than any
/// uint64 reads as UINT64_MAX (the memory check then refuses it).
uint64_t count(PyObject* obj, const char* name, long long least) {
    const Ref index = check(PyNumber_Index(obj));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) python::throw_python_error();
    if (overflow > 0) return UINT64_MAX;
    if (overflow < 0 || value < least)
        throw PyError{PyExc_ValueError,
                      std::string(name) + " must be at least " + std::to_string(least) + ", got " + repr(index.get())};
    return static_cast<uint64_t>(value);
}

bool truth(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    if (value < 0) python::throw_python_error();
    return value == 1;
}

struct SettingsObject {
    PyObject_HEAD
    CallSettings value;
};

PyObject* settings_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return python::call_frame([&]() -> Ref {
        static const char* keywords[] = {"method", "nodes", "time_steps", "grid_std_devs", "precision", "threads",
                                         "errors", "bumped_vega_rho", nullptr};
        SettingsArguments a{};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOO:Settings", const_cast<char**>(keywords), &a.method,
                                         &a.nodes, &a.time_steps, &a.grid_std_devs, &a.precision, &a.threads,
                                         &a.errors, &a.bumped_vega_rho))
            python::throw_python_error();
        const CallSettings parsed = parse_settings(a);
        Ref self = check(type->tp_alloc(type, 0));
        reinterpret_cast<SettingsObject*>(self.get())->value = parsed;
        return self;
    });
}

PyObject* settings_repr(PyObject* self) noexcept {
    return python::call_frame([&] {
        const CallSettings& s = reinterpret_cast<SettingsObject*>(self)->value;
        const std::string text = "Settings(method=" + std::to_string(static_cast<int>(s.method)) +
                                 ", nodes=" + std::to_string(s.grid.settings.nodes) +
                                 ", time_steps=" + std::to_string(s.grid.settings.time_steps) +
                                 ", threads=" + std::to_string(s.threads) + ")";
        return check(PyUnicode_FromString(text.c_str()));
    });
}

PyType_Slot kSettingsSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&settings_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&settings_repr)},
    {Py_tp_doc, const_cast<char*>("Settings(method, nodes, time_steps, grid_std_devs, precision, threads, errors, "
                                  "bumped_vega_rho)\n--\n\nThe checked keywords of one call.")},
    {0, nullptr},
};

PyType_Spec kSettingsSpec = {"sorvik_batch._kernel.Settings", sizeof(SettingsObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSettingsSlots};

PyTypeObject* g_settings_type = nullptr;

}  // namespace

CallSettings parse_settings(const SettingsArguments& a) {
    CallSettings s;
    const bool raise = PyUnicode_Check(a.errors) && PyUnicode_CompareWithASCIIString(a.errors, "raise") == 0;
    s.nan_mode = PyUnicode_Check(a.errors) && PyUnicode_CompareWithASCIIString(a.errors, "nan") == 0;
    if (!raise && !s.nan_mode)
        throw PyError{PyExc_ValueError, "errors must be 'raise' or 'nan', got " + repr(a.errors)};
    if (!method_of(a.method, s.method))
        throw PyError{PyExc_ValueError, std::string("method must be ") + kMethodsExpected + ", got " + repr(a.method)};
    // An odd node count puts the strike on the middle node, as FdmConfig does.
    const uint64_t nodes = count(a.nodes, "nodes", 3);
    s.grid.settings.nodes = nodes == UINT64_MAX ? nodes : nodes | 1u;
    s.grid.settings.time_steps = count(a.time_steps, "time_steps", 1);
    const Ref width = check(PyNumber_Float(a.grid_std_devs));
    s.grid.settings.grid_std_devs = PyFloat_AS_DOUBLE(width.get());
    if (!(s.grid.settings.grid_std_devs > 0.0) || std::isinf(s.grid.settings.grid_std_devs))
        throw PyError{PyExc_ValueError, "grid_std_devs must be a positive finite number, got " + repr(width.get())};
    if (!precision_of(a.precision, s.precision))
        throw PyError{PyExc_ValueError,
                      std::string("precision must be ") + kPrecisionsExpected + ", got " + repr(a.precision)};
    if (a.threads == Py_None) {
        s.threads = usable_cpus();
    } else {
        const uint64_t threads = count(a.threads, "threads", 1);
        s.threads = static_cast<unsigned>(std::min<uint64_t>(threads, UINT32_MAX));
    }
    s.grid.bumped_vega_rho = truth(a.bumped_vega_rho);
    return s;
}

PyTypeObject* settings_type() {
    if (!g_settings_type)
        g_settings_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&kSettingsSpec)).release());
    return g_settings_type;
}

const CallSettings& settings_of(PyObject* obj) {
    if (Py_TYPE(obj) != settings_type()) python::throw_type_mismatch(obj, "Settings");
    return reinterpret_cast<SettingsObject*>(obj)->value;
}

}  // namespace sorvik::batch
