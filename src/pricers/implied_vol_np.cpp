// Implied volatility for arrays and for single options: the ufunc, and a
// module function that answers plain Python numbers directly and hands
// everything else (arrays, Dask, pandas, out=, where=) to the ufunc.
#include <cstdint>
#include <string>

#include "numpy/twins.hpp"
#include "numpy/ufunc.hpp"
#include "pricers/implied_vol.hpp"
#include "python/ref.hpp"

namespace quill::np {

template <>
struct Batch<&black_scholes::implied_vol> {
    static constexpr bool exists = true;
    static void run(std::size_t n, const double* price, const double* spot, const double* strike, const double* rate,
                    const double* div_yield, const double* tau, const PutCallFlag* pc_flag, double* const* out) {
        black_scholes::implied_vol_many(n, price, spot, strike, rate, div_yield, tau, pc_flag, out[0]);
    }
};

namespace {

namespace bs = quill::black_scholes;

PyObject* implied_vol_ufunc = nullptr;  // kept for the process's life

// An exact float, or an exact int that int64 holds (converted as NumPy
// converts it); anything else is left to NumPy.
bool plain_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0) return false;
        out = static_cast<double>(v);
        return true;
    }
    return false;
}

// A PutCallFlag, or an exact int that int64 holds: 1 when read, 0 when it is
// left to NumPy, -1 with the ufunc's ValueError set for another integer.
int plain_flag(PyObject* o, PutCallFlag& out) {
    if (Py_IS_TYPE(o, py::PyClass<PutCallFlag>::type)) {
        out = reinterpret_cast<py::Obj<PutCallFlag>*>(o)->value;
        return 1;
    }
    if (!PyLong_CheckExact(o)) return 0;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return 0;
    if (v != 0 && v != 1) {
        py::raise_error(message::enum_value("pc_flag", std::to_string(v), variants_text<PutCallFlag>()));
        return -1;
    }
    out = v == 1 ? PutCallFlag::Call : PutCallFlag::Put;
    return 1;
}

PyObject* implied_vol(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 7 && kwnames == nullptr) {
        double v[6];
        bool plain = true;
        for (int i = 0; i < 6 && plain; ++i) plain = plain_number(args[i], v[i]);
        if (plain) {
            PutCallFlag flag;
            const int got = plain_flag(args[6], flag);
            if (got < 0) return nullptr;
            if (got > 0) return PyFloat_FromDouble(bs::implied_vol(v[0], v[1], v[2], v[3], v[4], v[5], flag));
        }
    }
    return PyObject_Vectorcall(implied_vol_ufunc, args, static_cast<size_t>(nargs), kwnames);
}

PyMethodDef implied_vol_defs[] = {
    {"implied_vol", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&implied_vol)),
     METH_FASTCALL | METH_KEYWORDS,
     "implied_vol(price, spot, strike, rate, div_yield, tau, pc_flag, /, **ufunc_kwargs)\n--\n\n"
     "The volatility vol >= 0 at which BlackScholes.npv(spot, strike, rate, div_yield, tau,\n"
     "pc_flag, vol) gives price: npv of the result gives the price back to within a few\n"
     "units of the last place of spot e^(-div_yield tau) + strike e^(-rate tau). A price at\n"
     "the discounted intrinsic value gives 0.0. NaN where no vol gives the price: a price\n"
     "below that value or above the no-arbitrage bound (spot e^(-div_yield tau) for a call,\n"
     "strike e^(-rate tau) for a put), a negative price, spot or strike, tau <= 0, and NaN\n"
     "inputs.\n\n"
     "Plain Python numbers (and a PutCallFlag or 0/1) give a float; arrays, Dask arrays,\n"
     "pandas and xarray objects broadcast as for implied_vol_ufunc, which takes the usual\n"
     "ufunc keywords (out=, where=, ...)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_implied_vol_twins(PyObject* m) {
    implied_vol_ufunc = twin<"implied_vol_ufunc(price, spot, strike, rate, div_yield, tau, pc_flag)\n--\n\n"
                             "implied_vol of each element (see implied_vol); pc_flag: PutCallFlag values, or\n"
                             "integers 0 (Put) and 1 (Call).",
                             &bs::implied_vol, 1024>();
    if (!add(m, "implied_vol_ufunc", implied_vol_ufunc)) return false;
    py::Ref name(PyModule_GetNameObject(m));
    if (!name) return false;
    for (PyMethodDef* def = implied_vol_defs; def->ml_name != nullptr; ++def) {
        if (!add_new(m, def->ml_name, PyCMethod_New(def, m, name.get(), nullptr))) return false;
    }
    return true;
}

}  // namespace quill::np
