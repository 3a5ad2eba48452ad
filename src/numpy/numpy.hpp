// NumPy's C API for the array module. Every translation unit of the module
// includes this; only the start-up defines QUILL_NUMPY_IMPORTS and so owns the
// API tables that import_array / import_umath fill.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quill_numpy_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL quill_numpy_UFUNC_API
#ifndef QUILL_NUMPY_IMPORTS
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/ndarraytypes.h>
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>
#include <numpy/dtype_api.h>
