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
// operands from the bound parameters, and names the operands in `Operands`.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
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
};

// The call of a twin's module function.
PyObject* call_twin(TwinInfo& twin, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Makes the module function (doc string: `doc` with ", **ufunc_kwargs" in its
// signature) and adds it; false with an exception set.
bool add_twin_function(PyObject* module, TwinInfo& twin, PyMethodDef& def, std::string& doc, const char* name,
                       const char* given_doc, PyCFunction fast);
// Whether an operand is one object rather than an array-like of them.
bool single(PyObject* o);

// The seven-output ufuncs' Dask form, shared with the raw get_metrics: the
// array operands' chunks unified, then dask.array.apply_gufunc of `function`.
PyObject* dask_outputs(PyObject* function, int nout, PyObject* out_dtypes, PyObject* const* operands, int n,
                       PyObject* kwargs);
// Whether any of the objects is a Dask array (only Dask's own array class:
// xarray objects also carry the Dask collection protocol).
bool any_dask(PyObject* const* objects, Py_ssize_t n);

struct TwinOptions {
    std::int64_t grain = 4096;
    bool (*prepare)(PyObject* const* params, PyObject** operands) = nullptr;
};

// GCC 12 refuses a function pointer inside a class-type template argument, so
// `prepare` may also come as a template argument of its own.
template <auto Prepare>
constexpr bool (*prepare_of(bool (*given)(PyObject* const*, PyObject**)))(PyObject* const*, PyObject**) {
    if constexpr (std::is_null_pointer_v<decltype(Prepare)>) {
        return given;
    } else {
        return Prepare;
    }
}

template <fixed_string Doc, auto F, TwinOptions O = TwinOptions{}, fixed_string Operands = "", auto Prepare = nullptr>
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
    static_assert(prepare_of<Prepare>(O.prepare) != nullptr || params.nparams == operands.nparams,
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

    static bool add(PyObject* module, PyObject* result_type) {
        info.spec = &params;
        info.noperands = K::nargs;
        info.nout = K::nout;
        info.result_type = result_type;
        info.prepare = prepare_of<Prepare>(O.prepare);
        info.check = &check;
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
template <fixed_string Doc, auto F, TwinOptions O = TwinOptions{}, fixed_string Operands = "", auto Prepare = nullptr>
bool add_twin(PyObject* module, PyObject* result_type = nullptr) {
    return Wrapped<Doc, F, O, Operands, Prepare>::add(module, result_type);
}

}  // namespace quill::np
