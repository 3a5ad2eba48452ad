#include "numpy/twins.hpp"

#include "python/ref.hpp"

namespace quill::np {

bool add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    py::Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        py::Ref fresh(PyList_New(0));
        if (!fresh || PyObject_SetAttrString(module, "__all__", fresh.get()) < 0) return false;
        return add(module, name, value);
    }
    py::Ref text(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0 && PyObject_SetAttr(module, text.get(), value) == 0;
}

bool add_new(PyObject* module, const char* name, PyObject* value) {
    py::Ref owned(value);
    return add(module, name, value);
}

bool add_functions(PyObject* module, PyMethodDef* defs) {
    py::Ref name(PyModule_GetNameObject(module));
    if (!name) return false;
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        if (!add_new(module, def->ml_name, PyCMethod_New(def, module, name.get(), nullptr))) return false;
    }
    return true;
}

}  // namespace quill::np
