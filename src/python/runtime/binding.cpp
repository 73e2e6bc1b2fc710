// runtime/binding.cpp: argument binding and the argument-name rule, in one place.
#include "runtime/binding.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/errors.hpp"

namespace sorvik::python {
namespace {

struct Binder {
    const char* class_name;
    const char* function_name;
    const char* const* names;
    std::size_t count;
    PyObject** slots;

    [[noreturn]] void fail(const std::string& text) const {
        throw PyError{PyExc_TypeError, std::string(class_name) + "." + function_name + "()" + text};
    }

    void keyword(PyObject* key, PyObject* value) const {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (!text) throw_python_error();
        const std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < count; ++i) {
            if (name != names[i]) continue;
            if (slots[i]) fail(" got multiple values for argument '" + std::string(name) + "'");
            slots[i] = value;
            return;
        }
        fail(" got an unexpected keyword argument '" + std::string(name) + "'");
    }
};

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

void bind_into(const char* class_name, const char* function_name, const char* const* names, std::size_t count,
               std::size_t required, const CallArgs& args, PyObject** slots) {
    const Binder binder{class_name, function_name, names, count, slots};
    const auto n = static_cast<std::size_t>(args.count);
    if (n > count) {
        const std::string given = std::to_string(n) + (n == 1 ? " was given" : " were given");
        if (required == count)
            binder.fail(" takes " + std::to_string(count) + " positional arguments but " + given);
        binder.fail(" takes from " + std::to_string(required) + " to " + std::to_string(count) +
                    " positional arguments but " + given);
    }
    for (std::size_t i = 0; i < n; ++i) slots[i] = args.positional[i];

    if (args.keyword_dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(args.keyword_dict, &pos, &key, &value)) binder.keyword(key, value);
    } else if (args.keyword_names) {
        const Py_ssize_t k = PyTuple_GET_SIZE(args.keyword_names);
        for (Py_ssize_t i = 0; i < k; ++i)
            binder.keyword(PyTuple_GET_ITEM(args.keyword_names, i), args.positional[args.count + i]);
    }

    std::vector<const char*> missing;
    for (std::size_t i = n; i < required; ++i)
        if (!slots[i]) missing.push_back(names[i]);
    if (!missing.empty())
        binder.fail(" missing " + std::to_string(missing.size()) + " required positional " +
                    (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
}

void rethrow_with_argument_name(const char* name) {
    const std::string prefix = std::string("argument '") + name + "': ";
    try {
        throw;
    } catch (PyError& e) {
        if (e.type == PyExc_TypeError) e.message.insert(0, prefix);
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred() || PyErr_Occurred() != PyExc_TypeError) throw;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), traceback_ref = Ref::steal(traceback);
        Ref text = Ref::steal(PyObject_Str(value));
        Ref message = text ? Ref::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get())) : Ref();
        Ref renamed = message ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : Ref();
        if (!renamed) {
            // Could not build the new error: report the original one.
            PyErr_Clear();
            PyErr_Restore(type_ref.release(), value_ref.release(), traceback_ref.release());
            throw;
        }
        if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(renamed.get(), cause);  // steals
        PyErr_SetObject(PyExc_TypeError, renamed.get());
        throw;
    }
}

}  // namespace sorvik::python
