#include "numpy/ufunc.hpp"

#include <cstring>
#include <map>

namespace quill::np {

namespace {

// The loops registered so far, by ufunc: each combination of dtypes once.
std::map<PyObject*, std::vector<std::vector<PyArray_DTypeMeta*>>>& registered() {
    static auto* loops = new std::map<PyObject*, std::vector<std::vector<PyArray_DTypeMeta*>>>;
    return *loops;
}

}  // namespace

bool ensure_loop(PyObject* ufunc, const char* name, int nin, int nout, PyArray_DTypeMeta** dtypes, const LoopSlots& slots) {
    std::vector<PyArray_DTypeMeta*> key(dtypes, dtypes + nin + nout);
    auto& known = registered()[ufunc];
    for (const auto& k : known) {
        if (k == key) return true;
    }
    bool objects = false, datetimes = false;
    for (int k = 0; k < nin + nout; ++k) {
        objects = objects || (k < nin && dtypes[k] == &PyArray_ObjectDType);
        datetimes = datetimes || dtypes[k] == &PyArray_DatetimeDType;
    }
    PyType_Slot spec_slots[3] = {};
    int used = 0;
    spec_slots[used++] = {NPY_METH_strided_loop, reinterpret_cast<void*>(slots.loop)};
    if (datetimes) spec_slots[used++] = {NPY_METH_resolve_descriptors, reinterpret_cast<void*>(slots.resolve)};
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

bool finer_than_days(PyArray_Descr* descr) noexcept {
    if (descr == nullptr || descr->type_num != NPY_DATETIME) return false;
    const auto& meta = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(descr))->meta;
    return meta.base > NPY_FR_D && meta.base <= NPY_FR_as;
}

PyArray_Descr* seconds_descr() {
    static PyArray_Descr* descr = [] {
        PyArray_Descr* d = nullptr;
        py::Ref text(PyUnicode_FromString("M8[s]"));
        if (!text || !PyArray_DescrConverter(text.get(), &d)) return static_cast<PyArray_Descr*>(nullptr);
        return d;  // kept for the process's life
    }();
    Py_XINCREF(descr);
    return descr;
}

void seconds_from_days(OutColumn<std::int64_t> column, std::int64_t n) {
    over_range(n, std::int64_t{1} << 16, [&](std::int64_t begin, std::int64_t end) {
        if (column.contiguous()) {
            std::int64_t* v = column.ptr();
            for (std::int64_t i = begin; i < end; ++i) v[i] = v[i] == nat ? nat : v[i] * 86400;
            return;
        }
        for (std::int64_t i = begin; i < end; ++i) {
            std::int64_t v;
            std::memcpy(&v, column.data + i * column.step, sizeof v);
            column.set(i, v == nat ? nat : v * 86400);
        }
    });
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
