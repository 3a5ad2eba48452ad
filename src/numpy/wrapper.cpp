#include "numpy/wrapper.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {

namespace {

// Python-level helpers, looked up once and kept for the process's life.
PyObject* attribute(const char* module, const char* name) {
    py::Ref m(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

enum class Family { plain, dask, xarray };

bool module_starts(PyTypeObject* type, const char* prefix) {
    py::Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    const char* name = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// The common kinds answer at once; other classes by their module.
Family family(PyObject* o) {
    if (PyArray_Check(o) || PyFloat_Check(o) || PyLong_Check(o) || PyUnicode_Check(o) || PyList_Check(o) ||
        PyTuple_Check(o) || o == Py_None || PyBool_Check(o) || PyArray_IsScalar(o, Generic)) {
        return Family::plain;
    }
    PyTypeObject* type = Py_TYPE(o);
    if (std::strcmp(type->tp_name, "Array") == 0 && module_starts(type, "dask.array")) return Family::dask;
    const char* name = type->tp_name;
    if ((std::strcmp(name, "DataArray") == 0 || std::strcmp(name, "Dataset") == 0 || std::strcmp(name, "Variable") == 0) &&
        module_starts(type, "xarray")) {
        return Family::xarray;
    }
    return Family::plain;
}

bool is_collection(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    return module_starts(type, "pandas") || module_starts(type, "xarray") || module_starts(type, "dask");
}

constexpr const char* ufunc_keywords[] = {"out", "where", "order", "dtype", "casting", "subok", "signature"};

bool known_keyword(PyObject* key) {
    for (const char* k : ufunc_keywords) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, k) == 0) return true;
    }
    return false;
}

// The broadcast shape of the operands as NumPy sees them, for an error's
// index; a flat index when they do not broadcast (xarray aligns by name).
std::vector<npy_intp> broadcast_shape(const std::vector<PyObject*>& objects, std::int64_t flat) {
    PyObject* exc = PyErr_GetRaisedException();  // the element's error, put back below
    static PyObject* shape_of = attribute("numpy", "shape");
    static PyObject* broadcast_shapes = attribute("numpy", "broadcast_shapes");
    std::vector<npy_intp> out;
    if (shape_of == nullptr || broadcast_shapes == nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return {static_cast<npy_intp>(flat + 1)};
    }
    py::Ref shapes(PyTuple_New(static_cast<Py_ssize_t>(objects.size())));
    bool ok = static_cast<bool>(shapes);
    for (std::size_t k = 0; ok && k < objects.size(); ++k) {
        PyObject* s = PyObject_CallOneArg(shape_of, objects[k]);
        ok = s != nullptr;
        if (ok) PyTuple_SET_ITEM(shapes.get(), static_cast<Py_ssize_t>(k), s);
    }
    py::Ref result(ok ? PyObject_Call(broadcast_shapes, shapes.get(), nullptr) : nullptr);
    if (result && PyTuple_Check(result.get())) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(result.get()); ++k) {
            out.push_back(PyLong_AsSsize_t(PyTuple_GET_ITEM(result.get(), k)));
        }
    } else {
        out = {static_cast<npy_intp>(flat + 1)};
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return out;
}

PyObject* record_of(TwinInfo& t, PyObject* outputs) {
    if (outputs == nullptr || t.nout == 1 || t.result_type == nullptr) return outputs;
    py::Ref owned(outputs);
    py::Ref items(PySequence_Tuple(outputs));
    return items ? PyObject_CallObject(t.result_type, items.get()) : nullptr;
}

PyObject* dask_call(TwinInfo& t, const std::vector<PyObject*>& operands, PyObject* kwargs) {
    if (t.nout > 1) {
        return record_of(t, dask_outputs(t.function, t.nout, t.out_dtypes, operands.data(),
                                         static_cast<int>(operands.size()), kwargs));
    }
    static PyObject* elemwise = attribute("dask.array.core", "elemwise");
    if (elemwise == nullptr) return nullptr;
    py::Ref args(PyTuple_New(static_cast<Py_ssize_t>(operands.size() + 1)));
    if (!args) return nullptr;
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(t.function));
    for (std::size_t k = 0; k < operands.size(); ++k) {
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(k + 1), Py_NewRef(operands[k]));
    }
    // The dtype is given: Dask would otherwise find it by calling the
    // function on uninitialised memory, which a date or enumeration refuses.
    py::Ref kw(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kw || PyDict_DelItemString(kw.get(), "order") < 0) PyErr_Clear();
    if (!kw || PyDict_SetItemString(kw.get(), "dtype", PyTuple_GET_ITEM(t.out_dtypes, 0)) < 0) return nullptr;
    return PyObject_Call(elemwise, args.get(), kw.get());
}

PyObject* xarray_call(TwinInfo& t, const std::vector<PyObject*>& operands, PyObject* kwargs) {
    static PyObject* apply_ufunc = attribute("xarray", "apply_ufunc");
    if (apply_ufunc == nullptr) return nullptr;
    py::Ref args(PyTuple_New(static_cast<Py_ssize_t>(operands.size() + 1)));
    if (!args) return nullptr;
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(t.function));
    for (std::size_t k = 0; k < operands.size(); ++k) {
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(k + 1), Py_NewRef(operands[k]));
    }
    py::Ref kw(Py_BuildValue("{s:s}", "dask", "allowed"));
    if (!kw) return nullptr;
    if (kwargs != nullptr && PyDict_SetItemString(kw.get(), "kwargs", kwargs) < 0) return nullptr;
    if (t.nout > 1) {
        py::Ref cores(PyList_New(t.nout));
        if (!cores) return nullptr;
        for (int k = 0; k < t.nout; ++k) {
            PyObject* empty = PyList_New(0);
            if (empty == nullptr) return nullptr;
            PyList_SET_ITEM(cores.get(), k, empty);
        }
        if (PyDict_SetItemString(kw.get(), "output_core_dims", cores.get()) < 0) return nullptr;
    }
    return record_of(t, PyObject_Call(apply_ufunc, args.get(), kw.get()));
}

// The outputs `out` asks for, as a list of arrays; empty when none is given.
bool given_outputs(PyObject* out, int nout, std::vector<PyObject*>& outs) {
    if (out == nullptr || out == Py_None) return true;
    if (PyTuple_Check(out)) {
        if (PyTuple_GET_SIZE(out) != nout) {
            PyErr_Format(PyExc_ValueError, "The 'out' tuple must have exactly %d entries: one per ufunc output", nout);
            return false;
        }
        for (Py_ssize_t k = 0; k < nout; ++k) outs.push_back(PyTuple_GET_ITEM(out, k));
    } else {
        if (nout != 1) {
            PyErr_SetString(PyExc_TypeError, "'out' must be a tuple of arrays");
            return false;
        }
        outs.push_back(out);
    }
    for (PyObject* o : outs) {
        if (o != Py_None && !PyArray_Check(o)) {
            PyErr_SetString(PyExc_TypeError, "return arrays must be of ArrayType");
            return false;
        }
    }
    return true;
}

PyObject* numpy_call(TwinInfo& t, const std::vector<PyObject*>& operands, PyObject* where, PyObject* kwargs) {
    std::vector<PyObject*> args(operands);
    args.push_back(where);
    std::vector<PyObject*> outs;
    PyObject* out = kwargs != nullptr ? PyDict_GetItemString(kwargs, "out") : nullptr;
    if (!given_outputs(out, t.nout, outs)) return nullptr;
    // The keywords for the ufunc: C order unless asked otherwise, and no out=
    // (the results are copied there once every element succeeded).
    std::vector<PyObject*> names;
    std::vector<PyObject*> values;
    static PyObject* order_key = PyUnicode_InternFromString("order");
    static PyObject* c_order = PyUnicode_InternFromString("C");
    bool has_order = false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (PyUnicode_CompareWithASCIIString(key, "out") == 0) continue;
            has_order = has_order || PyUnicode_CompareWithASCIIString(key, "order") == 0;
            names.push_back(key);
            values.push_back(value);
        }
    }
    if (!has_order) {
        names.push_back(order_key);
        values.push_back(c_order);
    }
    py::Ref kwnames(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!kwnames) return nullptr;
    for (std::size_t k = 0; k < names.size(); ++k) {
        PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(k), Py_NewRef(names[k]));
    }
    std::vector<PyObject*> call(args);
    call.insert(call.end(), values.begin(), values.end());
    pending_index() = {};
    py::Ref result(PyObject_Vectorcall(t.ufunc, call.data(), args.size(), kwnames.get()));
    if (!result) {
        if (pending_index().set) append_pending_index(broadcast_shape(args, pending_index().flat));
        return nullptr;
    }
    if (outs.empty()) return record_of(t, Py_NewRef(result.get()));
    static PyObject* copyto = attribute("numpy", "copyto");
    if (copyto == nullptr) return nullptr;
    py::Ref copy_kw(Py_BuildValue("{s:O}", "where", where));
    if (!copy_kw) return nullptr;
    if (PyObject* casting = PyDict_GetItemString(kwargs, "casting")) {
        if (PyDict_SetItemString(copy_kw.get(), "casting", casting) < 0) return nullptr;
    }
    py::Ref results(t.nout == 1 ? PyTuple_Pack(1, result.get()) : PySequence_Tuple(result.get()));
    if (!results) return nullptr;
    py::Ref kept(PyTuple_New(t.nout));
    if (!kept) return nullptr;
    for (int k = 0; k < t.nout; ++k) {
        PyObject* target = outs[static_cast<std::size_t>(k)];
        PyObject* value = PyTuple_GET_ITEM(results.get(), k);
        if (target == Py_None) {
            PyTuple_SET_ITEM(kept.get(), k, Py_NewRef(value));
            continue;
        }
        py::Ref pair(PyTuple_Pack(2, target, value));
        if (!pair || !py::Ref(PyObject_Call(copyto, pair.get(), copy_kw.get()))) return nullptr;
        PyTuple_SET_ITEM(kept.get(), k, Py_NewRef(target));
    }
    if (t.nout == 1) return Py_NewRef(PyTuple_GET_ITEM(kept.get(), 0));
    return record_of(t, Py_NewRef(kept.get()));
}

}  // namespace

bool single(PyObject* o) {
    if (PyArray_Check(o) || PyList_Check(o) || PyTuple_Check(o)) return false;
    if (PyUnicode_Check(o) || PyFloat_Check(o) || PyLong_Check(o) || o == Py_None) return true;
    return !is_collection(o);
}

bool any_dask(PyObject* const* objects, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (family(objects[i]) == Family::dask) return true;
    }
    return false;
}

PyObject* dask_outputs(PyObject* function, int nout, PyObject* out_dtypes, PyObject* const* operands, int n,
                       PyObject* kwargs) {
    static PyObject* apply_gufunc = attribute("dask.array", "apply_gufunc");
    static PyObject* broadcast_arrays = attribute("dask.array", "broadcast_arrays");
    if (apply_gufunc == nullptr || broadcast_arrays == nullptr) return nullptr;
    // NumPy broadcasting would meet the operands' chunks: make every array
    // operand one Dask array of the same chunks first.
    std::vector<int> arrays;
    for (int k = 0; k < n; ++k) {
        PyObject* o = operands[k];
        const bool scalar = PyArray_Check(o) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) == 0 : single(o);
        if (!scalar) arrays.push_back(k);
    }
    py::Ref given(PyTuple_New(static_cast<Py_ssize_t>(arrays.size())));
    if (!given) return nullptr;
    for (std::size_t j = 0; j < arrays.size(); ++j) {
        PyTuple_SET_ITEM(given.get(), static_cast<Py_ssize_t>(j), Py_NewRef(operands[arrays[j]]));
    }
    py::Ref unified(PyObject_Call(broadcast_arrays, given.get(), nullptr));
    if (!unified) return nullptr;
    py::Ref same(PySequence_Tuple(unified.get()));
    if (!same) return nullptr;
    std::string signature;
    for (int k = 0; k < n; ++k) signature += k == 0 ? "()" : ",()";
    signature += "->";
    for (int k = 0; k < nout; ++k) signature += k == 0 ? "()" : ",()";
    py::Ref args(PyTuple_New(n + 2));
    if (!args) return nullptr;
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(function));
    PyObject* text = PyUnicode_FromString(signature.c_str());
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(args.get(), 1, text);
    std::size_t next = 0;
    for (int k = 0; k < n; ++k) {
        PyObject* o = next < arrays.size() && arrays[next] == k ? PyTuple_GET_ITEM(same.get(), static_cast<Py_ssize_t>(next++))
                                                                 : operands[k];
        PyTuple_SET_ITEM(args.get(), k + 2, Py_NewRef(o));
    }
    py::Ref kw(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kw || PyDict_SetItemString(kw.get(), "output_dtypes", out_dtypes) < 0) return nullptr;
    if (PyDict_GetItemString(kw.get(), "order") != nullptr && PyDict_DelItemString(kw.get(), "order") < 0) return nullptr;
    return PyObject_Call(apply_gufunc, args.get(), kw.get());
}

namespace {

bool parameter(const CallSpec& spec, PyObject* key) {
    for (std::size_t i = 0; i < spec.nparams; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, std::string(spec.params[i]).c_str()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

PyObject* call_twin(TwinInfo& t, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const CallSpec& spec = *t.spec;
    // A keyword that is neither a parameter nor a ufunc's is named before any
    // missing argument is.
    if (kwnames != nullptr) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (parameter(spec, key) || known_keyword(key)) continue;
            const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (text == nullptr) return nullptr;
            const std::string message = message::unexpected_keyword(spec.name, text);
            PyErr_SetString(PyExc_TypeError, message.c_str());
            return nullptr;
        }
    }
    PyObject* slots[py::max_params] = {};
    py::Bound bound;
    if (!py::bind_vector(spec, args, nargs, kwnames, slots, bound)) return nullptr;
    for (std::size_t i = 0; i < spec.nparams; ++i) {
        if (slots[i] == nullptr) slots[i] = t.defaults[i];
    }
    PyObject* where = Py_True;
    py::Ref kwargs;
    if (bound.kwargs != nullptr) {
        kwargs = py::Ref(PyDict_Copy(bound.kwargs));
        if (!kwargs) return nullptr;
        if (PyObject* w = PyDict_GetItemString(kwargs.get(), "where")) {
            where = w;
        }
    }
    py::Ref keep_where(Py_NewRef(where));
    if (kwargs && PyDict_GetItemString(kwargs.get(), "where") != nullptr && PyDict_DelItemString(kwargs.get(), "where") < 0) {
        return nullptr;
    }
    std::vector<py::Ref> owned(static_cast<std::size_t>(t.noperands));
    std::vector<PyObject*> operands(static_cast<std::size_t>(t.noperands));
    if (t.prepare != nullptr) {
        if (!t.prepare(slots, operands.data())) return nullptr;
        for (std::size_t k = 0; k < operands.size(); ++k) owned[k] = py::Ref(operands[k]);
    } else {
        for (std::size_t k = 0; k < operands.size(); ++k) operands[k] = slots[k];
    }
    if (t.check != nullptr && !t.check(operands.data())) return nullptr;
    // Lists keep the caller's objects (NumPy would make [1, 2.5] floats, and
    // [] float64), so that an element is read, or refused, as it was given.
    for (std::size_t k = 0; k < operands.size(); ++k) {
        PyObject* o = operands[k];
        if (PyList_Check(o) || PyTuple_Check(o)) {
            owned[k] = py::Ref(PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0, NPY_ARRAY_CARRAY, nullptr));
            if (!owned[k]) return nullptr;
            operands[k] = owned[k].get();
        }
    }
    PyObject* kw = kwargs ? kwargs.get() : nullptr;
    bool dask = family(where) == Family::dask, xarray = false;
    for (PyObject* o : operands) {
        const Family f = family(o);
        dask = dask || f == Family::dask;
        xarray = xarray || f == Family::xarray;
    }
    if (dask) {
        if (where != Py_True) {
            py::Ref with(kw != nullptr ? PyDict_Copy(kw) : PyDict_New());
            if (!with || PyDict_SetItemString(with.get(), "where", where) < 0) return nullptr;
            return dask_call(t, operands, with.get());
        }
        return dask_call(t, operands, kw);
    }
    if (xarray) {
        if (where != Py_True) {
            py::Ref with(kw != nullptr ? PyDict_Copy(kw) : PyDict_New());
            if (!with || PyDict_SetItemString(with.get(), "where", where) < 0) return nullptr;
            return xarray_call(t, operands, with.get());
        }
        return xarray_call(t, operands, kw);
    }
    return numpy_call(t, operands, where, kw);
}

bool add_twin_function(PyObject* module, TwinInfo& twin, PyMethodDef& def, std::string& doc, const char* name,
                       const char* given_doc, PyCFunction fast) {
    // The signature line gains **ufunc_kwargs; defaults are read from it.
    const std::string_view text(given_doc);
    const std::size_t close = text.find(')');
    if (close == std::string_view::npos) {
        PyErr_SetString(PyExc_SystemError, "twin doc string without a signature");
        return false;
    }
    doc = std::string(text.substr(0, close)) + ", **ufunc_kwargs" + std::string(text.substr(close));
    const std::size_t open = text.find('(');
    std::string_view list = text.substr(open + 1, close - open - 1);
    static PyObject* literal_eval = attribute("ast", "literal_eval");
    for (std::size_t index = 0; !list.empty(); ++index) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) continue;
        if (literal_eval == nullptr) return false;
        std::string_view value = item.substr(eq + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        py::Ref source(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
        twin.defaults[index] = source ? PyObject_CallOneArg(literal_eval, source.get()) : nullptr;  // kept
        if (twin.defaults[index] == nullptr) return false;
    }
    def = {name, fast, METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    py::Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyObject* function = PyCMethod_New(&def, module, module_name.get(), nullptr);
    if (function == nullptr) return false;
    twin.function = function;  // the module holds it for the process's life
    return add_new(module, name, function);
}

}  // namespace quill::np
