// runtime/type_builder.cpp: builds the PyType_Spec of a class description.
#include "runtime/type_builder.hpp"

#include <vector>

namespace sorvik::python {

PyTypeObject* create_type(const ClassSpec& spec, int basic_size, destructor dealloc) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    if (spec.constructor) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor)});
    if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
    if (spec.as_int) slots.push_back({Py_nb_int, reinterpret_cast<void*>(spec.as_int)});
    if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.attributes) slots.push_back({Py_tp_getset, spec.attributes});
    slots.push_back({0, nullptr});

    // No Py_TPFLAGS_BASETYPE: the classes are final.
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (!spec.constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{spec.qualified_name, basic_size, 0, flags, slots.data()};

    Ref type = check(PyType_FromSpec(&type_spec));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    if (spec.populate) spec.populate(type_object);
    // Immutable only now: the members above are stored through the type's
    // setattr, which refuses immutable types. From here on no class attribute
    // can be set or deleted, so no one can swap __new__ for a way around the
    // constructor, replace an enumeration member, or reassign __class__.
    type_object->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type_object);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace sorvik::python
