// module.cpp: PyInit_sorvik and the registration table.
#include <Python.h>

#include "classes.hpp"
#include "runtime/errors.hpp"

namespace sorvik::python {
namespace {

struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

// The order of this table is the order of the module's __all__.
const Registration kClasses[] = {
    {"Compounding", &type_object<Compounding>},
    {"DayCountConvention", &type_object<DayCountConvention>},
    {"Frequency", &type_object<Frequency>},
    {"InterestRate", &type_object<InterestRate>},
    {"StockOption", &type_object<StockOption>},
    {"OptionMarketFrame", &type_object<MarketFrame>},
    {"Tenor", &type_object<Tenor>},
    {"RateCurve", &type_object<RateCurve>},
    {"VolSurface", &type_object<VolSurface>},
    {"FdmConfig", &type_object<FdmSettings>},
    {"Config", &type_object<ConfigHolder>},
    {"OptionType", &type_object<OptionType>},
    {"ExerciseStyle", &type_object<ExerciseStyle>},
    {"ValuationBuilder", &type_object<ValuationRequest>},
    {"OptionResult", &type_object<OptionResult>},
    {"Greeks", &type_object<Greeks>},
    {"InstrumentPolicy", &type_object<InstrumentPolicy>},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "sorvik", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;

/// Appends `name` to the module's __all__ (creating the list on first use),
/// then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
    }
    Ref text = check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) throw_python_error();
    if (PyObject_SetAttr(module, text.get(), value) < 0) throw_python_error();
}

Ref create_module() {
    if (g_module) return Ref::borrow(g_module);
    Ref module = check(PyModule_Create(&kModule));
    for (const auto& entry : kClasses) add_to_module(module.get(), entry.name, reinterpret_cast<PyObject*>(entry.type()));
    g_module = Ref::borrow(module.get()).release();  // kept for the life of the process
    return module;
}

}  // namespace
}  // namespace sorvik::python

PyMODINIT_FUNC PyInit_sorvik() { return sorvik::python::call_frame(sorvik::python::create_module); }
