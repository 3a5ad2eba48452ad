// Twins as module functions: every twin with a receiver, a date or keyword
// arguments is a function of the module, bound by the binding layer (its
// parameters by name, keywords included, as the scalar method), that hands
// its operands to a hidden ufunc:
//
//   add_twin<"get_df(curve, dates)\n--\n\ncurve.get_df of each date...", &df_at>(m);
//
// The function takes the ufunc keywords (out=, where=, order=, dtype=,
// casting=, subok=, signature=) and before NumPy's dispatch sees to what it
// does not do for such functions:
// - a Dask array among the operands: a lazy graph of this very function over
//   the chunks (chunks unified as NumPy broadcasting would), its dtype given
//   rather than inferred from a trial call on uninitialised memory;
// - xarray objects: xarray.apply_ufunc of this function (xarray declines
//   ufuncs with object operands);
// - pandas objects: NumPy's dispatch, as for any ufunc;
// - an element's error names its index in C order of the broadcast result
//   (the call asks NumPy for that order unless the caller gave one), and
//   where= travels as an operand so that the index counts every element;
// - out= is written only once the whole call has succeeded.
// A receiver or tenor given alone is checked before any array is made, with
// the scalar binding's message and no index.
//
// A twin whose Python parameters are not its ufunc's operands (keyword
// arguments folded into the receiver, say) gives `prepare`, which makes the
// operands (new references; null where it failed) from the bound parameters
// (absent ones hold their default), and names the operands in `Operands`:
//
//   bool fold(PyObject* const* params, PyObject** operands) {  // (dates, cal, adj, holidays)
//       operands[0] = Py_NewRef(params[0]);
//       operands[1] = make_business_calendar(params[1], params[3]);  // a receiver object
//       operands[2] = Py_NewRef(params[2]);
//       return operands[1] != nullptr;
//   }
//   add_twin<"adjust(dates, cal, bus_day_adj, holidays=None)\n--\n\n...", &adjust_one,
//            TwinOptions{.prepare = &fold}, "adjust(dates, cal, bus_day_adj)">(m);
//
// A receiver class of the array module itself registers with
// register_object_class, so that its instances travel as single objects.
// A receiver accepted from several classes specialises Receiver<T> (lanes.hpp).
// Defaults in the doc string are Python literals.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "numpy/lanes.hpp"
#include "numpy/ufunc.hpp"

namespace quill::np {

// What the code common to all twins needs of one.
struct TwinInfo {
    const CallSpec* spec = nullptr;  // the Python parameters, **ufunc_kwargs included
    PyObject* ufunc = nullptr;       // the hidden ufunc: the operands, then the mask
    PyObject* function = nullptr;    // the module function itself, for Dask and xarray
    int noperands = 0;
    int nout = 1;
    PyObject* result_type = nullptr;  // a record class taking the outputs, or null
    PyObject* out_dtypes = nullptr;   // a tuple of the outputs' dtypes
    PyObject* defaults[py::max_params] = {};  // absent parameters' values, null when required
    bool (*prepare)(PyObject* const* params, PyObject** operands) = nullptr;  // new references
    bool (*check)(PyObject* const* operands) = nullptr;
    // The call of single objects (numbers, dates, receivers, texts), without
    // NumPy's dispatch: the same loop over one element of each. Null without an
    // exception when the objects must go through NumPy after all.
    PyObject* (*direct)(PyObject* const* operands) = nullptr;
};

// The call of a twin's module function.
PyObject* call_twin(TwinInfo& twin, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Makes the module function (doc string: `doc` with ", **ufunc_kwargs" in its
// signature) and adds it; false with an exception set.
bool add_twin_function(PyObject* module, TwinInfo& twin, PyMethodDef& def, std::string& doc, const char* name,
                       const char* given_doc, PyCFunction fast);
// A class of the array module whose instances are operands (a companion
// class given as a receiver): handed to the ufunc as 0-d object arrays.
void register_object_class(PyTypeObject* type);
// Whether an operand is one object rather than an array-like of them.
bool single(PyObject* o);

// The seven-output ufuncs' Dask form, shared with the raw get_metrics: the
// array operands' chunks unified, then dask.array.apply_gufunc of `function`.
PyObject* dask_outputs(PyObject* function, int nout, PyObject* out_dtypes, PyObject* const* operands, int n,
                       PyObject* kwargs);
// xarray.apply_ufunc of `function` (a module function) over the operands; a
// tuple of the outputs when there are several.
PyObject* xarray_outputs(PyObject* function, int nout, PyObject* const* operands, int n, PyObject* kwargs);
bool any_xarray(PyObject* const* objects, Py_ssize_t n);
// Whether any of the objects is a Dask array (only Dask's own array class:
// xarray objects also carry the Dask collection protocol).
bool any_dask(PyObject* const* objects, Py_ssize_t n);

struct TwinOptions {
    std::int64_t grain = 4096;
    bool (*prepare)(PyObject* const* params, PyObject** operands) = nullptr;
};

template <fixed_string Doc, auto F, TwinOptions O = TwinOptions{}, fixed_string Operands = "">
struct Wrapped {
    static constexpr CallSpec params = [] {
        CallSpec s = py::parse_spec("", Doc.view(), false);
        s.varkw = true;
        return s;
    }();
    static constexpr CallSpec operands =
        Operands.view().empty() ? py::parse_spec("", Doc.view(), false) : py::parse_spec("", Operands.view(), false);
    using K = Kernel<operands, F, O.grain, true>;
    using Sig = typename K::Sig;
    static_assert(O.prepare != nullptr || params.nparams == operands.nparams,
                  "without prepare, the parameters are the ufunc's operands");

    static inline TwinInfo info;
    static inline PyMethodDef def;
    static inline std::string doc;

    static PyObject* fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return call_twin(info, args, static_cast<Py_ssize_t>(nargs), kwnames);
    }

    template <std::size_t... I>
    static bool check_all(PyObject* const* ops, std::index_sequence<I...>) {
        return ((!single(ops[I]) || Sig::template L<I>::check(ops[I], operands.params[I])) && ...);
    }
    static bool check(PyObject* const* ops) { return check_all(ops, std::make_index_sequence<K::nargs>{}); }

    // Whether single objects may take the direct path: each lane reads them as
    // NumPy's dispatch would have them read.
    template <std::size_t... I>
    static bool direct_all(PyObject* const* ops, std::index_sequence<I...>) {
        return ([&] {
            using L = typename Sig::template L<I>;
            if constexpr (requires { L::direct(ops[I]); }) {
                return L::direct(ops[I]);
            } else {
                return true;
            }
        }() && ...);
    }

    static PyObject* direct(PyObject* const* ops) {
        if (!direct_all(ops, std::make_index_sequence<K::nargs>{})) return nullptr;
        static PyArray_Descr* descrs[K::nops] = {};
        if (descrs[0] == nullptr) {
            for (int k = 0; k < K::nargs; ++k) descrs[k] = PyArray_DescrFromType(NPY_OBJECT);
            descrs[K::nargs] = PyArray_DescrFromType(NPY_BOOL);
            for (int k = 0; k < K::nout; ++k) descrs[K::nin + k] = Out<typename K::R>::descr(k);  // kept
            for (PyArray_Descr* d : descrs) {
                if (d == nullptr) return nullptr;
            }
        }
        PyObject* items[K::nargs > 0 ? K::nargs : 1];
        std::uint64_t out[K::nout] = {};
        npy_bool all = 1;
        char* data[K::nops];
        npy_intp steps[K::nops] = {};
        for (int k = 0; k < K::nargs; ++k) {
            items[k] = ops[k];
            data[k] = reinterpret_cast<char*>(&items[k]);
        }
        data[K::nargs] = reinterpret_cast<char*>(&all);
        for (int k = 0; k < K::nout; ++k) data[K::nin + k] = reinterpret_cast<char*>(&out[k]);
        PyArrayMethod_Context context{};
        context.descriptors = descrs;
        const npy_intp one = 1;
        pending_index() = {};
        loop_position() = 0;
        if (K::loop(&context, data, &one, steps, nullptr) < 0) {
            pending_index() = {};  // a result of no dimension names no index
            return nullptr;
        }
        if constexpr (K::nout == 1) {
            return PyArray_Scalar(&out[0], descrs[K::nin], nullptr);
        } else {
            py::Ref tuple(PyTuple_New(K::nout));
            if (!tuple) return nullptr;
            for (int k = 0; k < K::nout; ++k) {
                PyObject* v = PyArray_Scalar(&out[k], descrs[K::nin + k], nullptr);
                if (v == nullptr) return nullptr;
                PyTuple_SET_ITEM(tuple.get(), k, v);
            }
            return Py_NewRef(tuple.get());
        }
    }

    static bool add(PyObject* module, PyObject* result_type) {
        info.spec = &params;
        info.noperands = K::nargs;
        info.nout = K::nout;
        info.result_type = result_type;
        info.prepare = O.prepare;
        info.check = &check;
        info.direct = &direct;
        py::Ref dtypes(PyTuple_New(K::nout));
        if (!dtypes) return false;
        for (int k = 0; k < K::nout; ++k) {
            PyArray_Descr* d = Out<typename K::R>::descr(k);
            if (d == nullptr) return false;
            PyTuple_SET_ITEM(dtypes.get(), k, reinterpret_cast<PyObject*>(d));
        }
        info.out_dtypes = Py_NewRef(dtypes.get());  // kept for the process's life
        info.ufunc = K::make(py::name_of<Doc>(), doc_body(Doc.data));
        if (info.ufunc == nullptr) return false;
        return add_twin_function(module, info, def, doc, py::name_of<Doc>(), Doc.data,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast)));
    }
};

// Declares a twin as a module function over a hidden ufunc of F; see above.
// `result_type`: for several outputs, the record class they come back in.
template <fixed_string Doc, auto F, TwinOptions O = TwinOptions{}, fixed_string Operands = "">
bool add_twin(PyObject* module, PyObject* result_type = nullptr) {
    return Wrapped<Doc, F, O, Operands>::add(module, result_type);
}

}  // namespace quill::np
