#include "numpy/ufunc.hpp"

#include <cstring>

namespace quill::np {

bool add_loops(PyObject* ufunc, const char* name, int nin, int nout, PyArray_DTypeMeta** dtypes,
               PyArrayMethod_StridedLoop* loop, bool objects) {
    PyType_Slot slots[] = {{NPY_METH_strided_loop, reinterpret_cast<void*>(loop)}, {0, nullptr}};
    // Objects are read with the interpreter lock held; plain numbers never need it.
    const auto flags = static_cast<NPY_ARRAYMETHOD_FLAGS>(
        NPY_METH_NO_FLOATINGPOINT_ERRORS | (objects ? NPY_METH_REQUIRES_PYAPI : 0));
    PyArrayMethod_Spec spec{name, nin, nout, NPY_NO_CASTING, flags, dtypes, slots};
    return PyUFunc_AddLoopFromSpec(ufunc, &spec) == 0;
}

bool add_promoter(PyObject* ufunc, int nops, PyArrayMethod_PromoterFunction* promoter) {
    py::Ref capsule(PyCapsule_New(reinterpret_cast<void*>(promoter), "numpy._ufunc_promoter", nullptr));
    if (!capsule) return false;
    py::Ref any(PyTuple_New(nops));
    if (!any) return false;
    for (int k = 0; k < nops; ++k) PyTuple_SET_ITEM(any.get(), k, Py_NewRef(Py_None));
    return PyUFunc_AddPromoter(ufunc, any.get(), capsule.get()) == 0;
}

bool name_module(PyObject* ufunc) {
    py::Ref name(PyUnicode_FromString("quillander_numpy"));
    if (!name) return false;
    if (PyObject_SetAttrString(ufunc, "__module__", name.get()) == 0) return true;
    // A NumPy whose ufuncs take no attributes: pickle then searches.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

const char* doc_body(const char* doc) {
    const char* body = std::strstr(doc, "\n--\n\n");
    return body != nullptr ? body + 5 : doc;
}

}  // namespace quill::np
