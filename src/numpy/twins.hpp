// Registration of array twins in the array module: names recorded in
// __all__ as the scalar module records its own.
#pragma once

#include "numpy/numpy.hpp"

namespace quill::np {

// Adds `value` under `name` and records the name in __all__; steals nothing.
bool add(PyObject* module, const char* name, PyObject* value);
// Adds a new reference (a ufunc, a function), releasing it.
bool add_new(PyObject* module, const char* name, PyObject* value);
// Adds module functions (a {nullptr}-terminated table) to the module.
bool add_functions(PyObject* module, PyMethodDef* defs);

}  // namespace quill::np
