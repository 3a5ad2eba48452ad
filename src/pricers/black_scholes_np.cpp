// Array twins of the Black-Scholes functions: one ufunc per metric and per
// closing formula, and the all-metrics forms returning their seven arrays as a
// named tuple.
#include <cstring>

#include "numpy/memory.hpp"
#include "numpy/twins.hpp"
#include "numpy/ufunc.hpp"
#include "numpy/wrapper.hpp"
#include "pricers/black_scholes_np.hpp"
#include "python/ref.hpp"

namespace quill::np {

template <>
struct Batch<&black_scholes::npv> {
    static constexpr bool exists = true;
    static void run(std::size_t n, const double* spot, const double* strike, const double* rate,
                    const double* div_yield, const double* tau, const PutCallFlag* pc_flag, const double* vol,
                    double* const* out) {
        black_scholes::npv_many(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out[0]);
    }
};

template <>
struct Batch<&black_scholes::get_metrics> {
    static constexpr bool exists = true;
    static void run(std::size_t n, const double* spot, const double* strike, const double* rate,
                    const double* div_yield, const double* tau, const PutCallFlag* pc_flag, const double* vol,
                    double* const* out) {
        black_scholes::get_metrics_many(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
    }
};

namespace {

namespace bs = quill::black_scholes;

PyObject* metrics_tuple = nullptr;  // the named tuple class, kept for the process's life
}  // namespace

PyObject* metrics_type() { return metrics_tuple; }

namespace {

#define QUILL_ARGS "(spot, strike, rate, div_yield, tau, pc_flag, vol)\n--\n\n"
#define QUILL_SAME(what) \
    "BlackScholes." what " of each element: NaN where the scalar call gives None (a negative spot,\n" \
    "strike or vol). pc_flag: PutCallFlag values, or integers 0 (Put) and 1 (Call)."

// Dask arrays do not apply a ufunc of several outputs unless told its core
// signature; every other argument kind goes through NumPy's own dispatch.

// Whether the seven outputs may be large enough for memory of their own: an
// input array of 2^19 elements (4 MB of doubles) or more, or an input that is
// neither an array nor a number (a list, a Series...). Numbers and small
// arrays keep NumPy's own allocator and its cache of small blocks.
bool may_be_large(PyObject* const* args, Py_ssize_t nargs) {
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* o = args[i];
        if (PyArray_Check(o)) {
            if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(o)) >= (npy_intp{1} << 19)) return true;
        } else if (!PyFloat_Check(o) && !PyLong_Check(o) && !PyArray_IsAnyScalar(o) &&
                   Py_TYPE(o) != py::PyClass<PutCallFlag>::type) {
            return true;
        }
    }
    return false;
}

PyObject* call_metrics(const char* name, PyObject* ufunc, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // NumPy's own count check would name the ufunc behind the function.
    if (nargs < 7 || nargs > 14) {
        PyErr_Format(PyExc_TypeError, "%s() takes from 7 to 14 positional arguments but %zd %s given", name, nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    PyObject* outcome;
    if (any_dask(args, nargs)) {
        static PyObject* float64 = reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE));
        py::Ref types(PyTuple_Pack(7, float64, float64, float64, float64, float64, float64, float64));
        py::Ref kwargs(types ? PyDict_New() : nullptr);
        if (!kwargs) return nullptr;
        if (kwnames != nullptr) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
                if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
            }
        }
        outcome = dask_outputs(ufunc, 7, types.get(), args, static_cast<int>(nargs), kwargs.get());
    } else if (nargs == 7 && may_be_large(args, nargs)) {
        LargeOutputs memory;
        outcome = PyObject_Vectorcall(ufunc, args, nargsf, kwnames);
    } else {
        outcome = PyObject_Vectorcall(ufunc, args, nargsf, kwnames);
    }
    py::Ref result(outcome);
    if (!result) return nullptr;
    return PyObject_CallObject(metrics_tuple, result.get());
}

PyObject* metrics_ufunc = nullptr;
PyObject* metrics_fd_ufunc = nullptr;

PyObject* get_metrics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_metrics("get_metrics", metrics_ufunc, args, static_cast<size_t>(nargs), kwnames);
}
PyObject* get_metrics_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_metrics("get_metrics_fd", metrics_fd_ufunc, args, static_cast<size_t>(nargs), kwnames);
}

PyMethodDef metrics_defs[] = {
    {"get_metrics", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&get_metrics)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_metrics(spot, strike, rate, div_yield, tau, pc_flag, vol, /, **ufunc_kwargs)\n--\n\n"
     "BlackScholes.get_metrics for arrays: a Metrics named tuple of seven arrays (npv, delta,\n"
     "gamma, vega, theta, rho_r, rho_q), each element bit for bit the scalar record's field,\n"
     "NaN where the scalar call gives None. Takes the keywords of get_metrics_ufunc (out=,\n"
     "where=, ...)."},
    {"get_metrics_fd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&get_metrics_fd)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_metrics_fd(spot, strike, rate, div_yield, tau, pc_flag, vol, /, **ufunc_kwargs)\n--\n\n"
     "BlackScholes.get_metrics_fd for arrays, as get_metrics."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_metrics(PyObject* m) {
    py::Ref collections(PyImport_ImportModule("collections"));
    py::Ref factory(collections ? PyObject_GetAttrString(collections.get(), "namedtuple") : nullptr);
    if (!factory) return false;
    py::Ref kwargs(Py_BuildValue("{ss}", "module", "quillander_numpy"));
    py::Ref args(Py_BuildValue("(ss)", "Metrics", "npv delta gamma vega theta rho_r rho_q"));
    if (!kwargs || !args) return false;
    metrics_tuple = PyObject_Call(factory.get(), args.get(), kwargs.get());
    if (!add(m, "Metrics", metrics_tuple)) return false;

    metrics_ufunc = twin<"get_metrics_ufunc" QUILL_ARGS
                         "BlackScholes.get_metrics of each element, as a plain tuple of seven arrays.",
                         &bs::get_metrics, 2048>();
    metrics_fd_ufunc = twin<"get_metrics_fd_ufunc" QUILL_ARGS
                            "BlackScholes.get_metrics_fd of each element, as a plain tuple of seven arrays.",
                            &bs::get_metrics_fd, 512>();
    if (!add(m, "get_metrics_ufunc", metrics_ufunc) || !add(m, "get_metrics_fd_ufunc", metrics_fd_ufunc)) return false;
    py::Ref name(PyModule_GetNameObject(m));
    if (!name) return false;
    for (PyMethodDef* def = metrics_defs; def->ml_name != nullptr; ++def) {
        if (!add_new(m, def->ml_name, PyCMethod_New(def, m, name.get(), nullptr))) return false;
    }
    return true;
}

}  // namespace

bool add_black_scholes_twins(PyObject* m) {
    return add_metrics(m) &&
           add_new(m, "npv", twin<"npv" QUILL_ARGS QUILL_SAME("npv"), &bs::npv>()) &&
           add_new(m, "npv_impl", twin<"npv_impl(spot, strike, chi, df_r, df_q, cdf_d1, cdf_d2)\n--\n\n"
                                       "BlackScholes.npv_impl of each element.",
                                       &bs::npv_impl, 16384>()) &&
           add_new(m, "delta", twin<"delta" QUILL_ARGS QUILL_SAME("delta"), &bs::delta>()) &&
           add_new(m, "delta_impl", twin<"delta_impl(chi, df_q, cdf_d1)\n--\n\nBlackScholes.delta_impl of each element.",
                                         &bs::delta_impl, 16384>()) &&
           add_new(m, "gamma", twin<"gamma" QUILL_ARGS QUILL_SAME("gamma"), &bs::gamma>()) &&
           add_new(m, "gamma_impl", twin<"gamma_impl(spot, vol, sqrt_tau, df_q, pdf_d1)\n--\n\n"
                                         "BlackScholes.gamma_impl of each element.",
                                         &bs::gamma_impl, 16384>()) &&
           add_new(m, "vega", twin<"vega" QUILL_ARGS QUILL_SAME("vega"), &bs::vega>()) &&
           add_new(m, "vega_impl", twin<"vega_impl(spot, sqrt_tau, df_q, pdf_d1)\n--\n\n"
                                        "BlackScholes.vega_impl of each element.",
                                        &bs::vega_impl, 16384>()) &&
           add_new(m, "theta", twin<"theta" QUILL_ARGS QUILL_SAME("theta"), &bs::theta>()) &&
           add_new(m, "theta_impl",
                   twin<"theta_impl(spot, strike, rate, div_yield, vol, chi, sqrt_tau, df_r, df_q, pdf_d1, cdf_d1, "
                        "cdf_d2)\n--\n\nBlackScholes.theta_impl of each element.",
                        &bs::theta_impl, 16384>()) &&
           add_new(m, "rho_r", twin<"rho_r" QUILL_ARGS QUILL_SAME("rho_r"), &bs::rho_r>()) &&
           add_new(m, "rho_r_impl", twin<"rho_r_impl(strike, chi, tau, df_r, cdf_d2)\n--\n\n"
                                         "BlackScholes.rho_r_impl of each element.",
                                         &bs::rho_r_impl, 16384>()) &&
           add_new(m, "rho_q", twin<"rho_q" QUILL_ARGS QUILL_SAME("rho_q"), &bs::rho_q>()) &&
           add_new(m, "rho_q_impl", twin<"rho_q_impl(spot, chi, tau, df_q, cdf_d1)\n--\n\n"
                                         "BlackScholes.rho_q_impl of each element.",
                                         &bs::rho_q_impl, 16384>());
}

#undef QUILL_ARGS
#undef QUILL_SAME

}  // namespace quill::np
