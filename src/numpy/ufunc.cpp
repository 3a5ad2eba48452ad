#include "numpy/ufunc.hpp"

#include <cstring>
#include <map>
#include <new>

namespace quill::np {

namespace {

void free_loop_data(NpyAuxData* data) { delete reinterpret_cast<LoopData*>(data); }

NpyAuxData* clone_loop_data(NpyAuxData* data) {
    auto* copy = new (std::nothrow) LoopData(*reinterpret_cast<LoopData*>(data));
    return copy != nullptr ? &copy->base : nullptr;
}

// The loops registered so far, by ufunc: each combination of dtypes once.
std::map<PyObject*, std::vector<std::vector<PyArray_DTypeMeta*>>>& registered() {
    static auto* loops = new std::map<PyObject*, std::vector<std::vector<PyArray_DTypeMeta*>>>;
    return *loops;
}

}  // namespace

NpyAuxData* new_loop_data() {
    auto* data = new (std::nothrow) LoopData{};
    if (data == nullptr) return nullptr;
    data->base.free = &free_loop_data;
    data->base.clone = &clone_loop_data;
    data->position = 0;
    return &data->base;
}

bool ensure_loop(PyObject* ufunc, const char* name, int nin, int nout, PyArray_DTypeMeta** dtypes, const LoopSlots& slots) {
    std::vector<PyArray_DTypeMeta*> key(dtypes, dtypes + nin + nout);
    auto& known = registered()[ufunc];
    for (const auto& k : known) {
        if (k == key) return true;
    }
    bool objects = false;
    for (int k = 0; k < nin; ++k) objects = objects || dtypes[k] == &PyArray_ObjectDType;
    PyType_Slot spec_slots[] = {
        {NPY_METH_resolve_descriptors, reinterpret_cast<void*>(slots.resolve)},
        {NPY_METH_get_loop, reinterpret_cast<void*>(slots.get_loop)},
        {NPY_METH_strided_loop, reinterpret_cast<void*>(slots.loop)},
        {0, nullptr},
    };
    // Objects are read with the interpreter lock held; plain values never need it.
    const auto flags = static_cast<NPY_ARRAYMETHOD_FLAGS>(NPY_METH_NO_FLOATINGPOINT_ERRORS |
                                                          (objects ? NPY_METH_REQUIRES_PYAPI : 0));
    PyArrayMethod_Spec spec{name, nin, nout, NPY_NO_CASTING, flags, dtypes, spec_slots};
    if (PyUFunc_AddLoopFromSpec(ufunc, &spec) != 0) return false;
    known.push_back(std::move(key));
    return true;
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

PyArray_Descr* input_descr(PyArray_DTypeMeta* dtype, PyArray_Descr* given) {
    if (dtype == &PyArray_DatetimeDType) {
        PyArray_Descr* keep = given != nullptr && linear_datetime(given) ? given : days_descr();
        Py_XINCREF(keep);
        return keep;
    }
    if (given != nullptr && given->type_num == dtype->type_num && PyArray_ISNBO(given->byteorder)) {
        Py_INCREF(given);
        return given;
    }
    return PyArray_DescrFromType(dtype->type_num);
}

bool overlapping(const char* const* in, const npy_intp* in_steps, int nin, char* const* out, const npy_intp* out_steps,
                 int nout, npy_intp n, bool* same) {
    *same = false;
    if (n <= 1) return false;
    auto span = [&](const char* first, npy_intp step, std::size_t size) {
        const char* last = first + (n - 1) * step;
        return std::pair{std::min(first, last), std::max(first, last) + size};
    };
    bool overlap = false;
    for (int o = 0; o < nout; ++o) {
        const auto [out_lo, out_hi] = span(out[o], out_steps[o], 8);
        for (int i = 0; i < nin; ++i) {
            if (in[i] == out[o] && in_steps[i] == out_steps[o]) {
                *same = true;
                continue;
            }
            const auto [in_lo, in_hi] = span(in[i], in_steps[i], 8);
            if (out_lo < in_hi && in_lo < out_hi) overlap = true;
        }
    }
    return overlap;
}

}  // namespace quill::np
