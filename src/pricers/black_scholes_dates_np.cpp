// The dated Black-Scholes twins: the time to expiry of each pair of dates is
// computed as the scalar _with_dates methods compute it, then the plain
// array twins (ufuncs over tau) price it, so every element is the scalar
// result bit for bit. A NaT date gives NaN in every output.
#include <limits>

#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "pricers/black_scholes.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

// The plain twins, taken from the module once they are registered.
enum Metric { npv, delta, gamma, vega, theta, rho_r, rho_q, metrics, metrics_fd, count };
constexpr const char* plain_names[count] = {"npv",   "delta", "gamma",       "vega",          "theta",
                                            "rho_r", "rho_q", "get_metrics", "get_metrics_fd"};
PyObject* plain[count] = {};
PyObject* numpy_where = nullptr;
PyObject* numpy_isnan = nullptr;

// NaN wherever tau is NaN (a NaT date), over the result's broadcast shape; a
// result of no dimension stays a NumPy scalar.
PyObject* mask(PyObject* result, PyObject* tau) {
    py::Ref nan(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()));
    py::Ref holes(nan ? PyObject_CallOneArg(numpy_isnan, tau) : nullptr);
    if (!holes) return nullptr;
    PyObject* out = PyObject_CallFunctionObjArgs(numpy_where, holes.get(), nan.get(), result, nullptr);
    if (out != nullptr && PyArray_Check(out) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(out)) == 0) {
        return PyArray_Return(reinterpret_cast<PyArrayObject*>(out));
    }
    return out;
}

template <Metric M>
PyObject* with_dates(PyObject* spot, PyObject* strike, PyObject* rate, PyObject* div_yield, const DateArray& eval_date,
                     const DateArray& expiry_date, PyObject* pc_flag, PyObject* vol) {
    DateArray& a = const_cast<DateArray&>(eval_date);
    DateArray& z = const_cast<DateArray&>(expiry_date);
    const Broadcast b{&a, &z};
    PyArrayObject* tau_array = new_array(b.shape, NPY_DOUBLE);
    py::Ref tau(reinterpret_cast<PyObject*>(tau_array));
    const std::int64_t* d1 = a.days();
    const std::int64_t* d2 = z.days();
    const npy_intp s1 = Broadcast::step(a, b.size), s2 = Broadcast::step(z, b.size);
    auto* taus = static_cast<double*>(PyArray_DATA(tau_array));
    for_chunks(b.size, 65536, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t e = d1[i * s1], x = d2[i * s2];
            taus[i] = e == nat || x == nat ? std::numeric_limits<double>::quiet_NaN()
                                           : black_scholes::tau_from_serials(static_cast<std::int32_t>(e + epoch_serial),
                                                                             static_cast<std::int32_t>(x + epoch_serial));
        }
    });
    PyObject* args[] = {spot, strike, rate, div_yield, tau.get(), pc_flag, vol};
    py::Ref result(PyObject_Vectorcall(plain[M], args, 7, nullptr));
    if (!result) throw py::PythonError{};
    if (!(a.any_nat || z.any_nat)) return Py_NewRef(result.get());
    if constexpr (M == metrics || M == metrics_fd) {
        // A named tuple of seven outputs: mask each.
        const Py_ssize_t n = PyTuple_GET_SIZE(result.get());
        py::Ref fields(PyTuple_New(n));
        if (!fields) throw py::PythonError{};
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* f = mask(PyTuple_GET_ITEM(result.get(), k), tau.get());
            if (f == nullptr) throw py::PythonError{};
            PyTuple_SET_ITEM(fields.get(), k, f);
        }
        PyObject* out = PyObject_CallObject(reinterpret_cast<PyObject*>(Py_TYPE(result.get())), fields.get());
        if (out == nullptr) throw py::PythonError{};
        return out;
    } else {
        PyObject* out = mask(result.get(), tau.get());
        if (out == nullptr) throw py::PythonError{};
        return out;
    }
}

#define QUILL_DATED(name) \
    name "(spot, strike, rate, div_yield, eval_date, expiry_date, pc_flag, vol)\n--\n\n"
#define QUILL_BODY(what)                                                                             \
    "BlackScholes." what "_with_dates of each element: " what " with tau from the dates as the scalar\n" \
    "method takes it; NaN where the scalar call gives None, and for NaT dates."

PyMethodDef defs[] = {
    py::function<QUILL_DATED("npv_with_dates") QUILL_BODY("npv"), &with_dates<npv>>(),
    py::function<QUILL_DATED("delta_with_dates") QUILL_BODY("delta"), &with_dates<delta>>(),
    py::function<QUILL_DATED("gamma_with_dates") QUILL_BODY("gamma"), &with_dates<gamma>>(),
    py::function<QUILL_DATED("vega_with_dates") QUILL_BODY("vega"), &with_dates<vega>>(),
    py::function<QUILL_DATED("theta_with_dates") QUILL_BODY("theta"), &with_dates<theta>>(),
    py::function<QUILL_DATED("rho_r_with_dates") QUILL_BODY("rho_r"), &with_dates<rho_r>>(),
    py::function<QUILL_DATED("rho_q_with_dates") QUILL_BODY("rho_q"), &with_dates<rho_q>>(),
    py::function<QUILL_DATED("get_metrics_with_dates")
                 "BlackScholes.get_metrics_with_dates for arrays: a Metrics named tuple of seven\n"
                 "arrays, as get_metrics with tau from the dates; NaN for NaT dates.",
                 &with_dates<metrics>>(),
    py::function<QUILL_DATED("get_metrics_fd_with_dates")
                 "BlackScholes.get_metrics_fd_with_dates for arrays, as get_metrics_with_dates.",
                 &with_dates<metrics_fd>>(),
    {nullptr, nullptr, 0, nullptr},
};

#undef QUILL_DATED
#undef QUILL_BODY

}  // namespace

bool add_black_scholes_dates_twins(PyObject* m) {
    for (int k = 0; k < count; ++k) {
        plain[k] = PyObject_GetAttrString(m, plain_names[k]);  // kept for the process's life
        if (plain[k] == nullptr) return false;
    }
    py::Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    numpy_where = PyObject_GetAttrString(numpy.get(), "where");
    numpy_isnan = PyObject_GetAttrString(numpy.get(), "isnan");
    return numpy_where != nullptr && numpy_isnan != nullptr && add_functions(m, defs);
}

}  // namespace quill::np
