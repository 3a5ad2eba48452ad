// The module entry point: one interpreter, one module object, registration in
// a fixed order with every name recorded in __all__.
#include <cstdint>

#include "python/binding.hpp"

namespace quill::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillander",
    "",       // quillander.__doc__ == ""
    0,        // no per-module state
    nullptr,  // functions and classes are added by the initialiser
    nullptr, nullptr, nullptr, nullptr,
};

ModuleHome home;

// Appends `name` to the module's __all__ (creating the list on first use) and
// sets the attribute. Steals nothing; `value` may be null after a failed creation.
bool add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    } else if (!PyList_Check(all)) {
        cannot_convert(all, "PyList");
        Py_DECREF(all);
        return false;
    }
    PyObject* text = PyUnicode_FromString(name);
    const bool ok = text != nullptr && PyList_Append(all, text) == 0 && PyObject_SetAttr(module, text, value) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    return ok;
}

template <class T>
bool add_class(PyObject* module) {
    return add(module, PyClass<T>::name, reinterpret_cast<PyObject*>(PyClass<T>::get()));
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
    const bool ok = add(module, def->ml_name, function);
    Py_XDECREF(function);
    return ok;
}

bool initialise(PyObject* module) {
    PyObject* version = PyUnicode_FromString("0.1.0");
    const bool version_ok = add(module, "__version__", version);
    Py_XDECREF(version);
    if (!version_ok) return false;

    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return false;
    bool ok = add_function(module, module_name, plot_function_def());
#define QUILL_ADD_CLASS(T, NAME) ok = ok && add_class<T>(module);
    QUILL_SCALAR_CLASSES(QUILL_ADD_CLASS)
#undef QUILL_ADD_CLASS
    for (PyMethodDef* def = maths_function_defs(); ok && def->ml_name != nullptr; ++def) {
        ok = add_function(module, module_name, def);
    }
    Py_DECREF(module_name);
    return ok;
}

}  // namespace
}  // namespace quill::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillander() {
    using namespace quill::py;
    return import_once(home, module_def, nullptr, &initialise);
}
