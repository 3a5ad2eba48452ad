// The Black-Scholes record in arrays: seven float64 outputs, and the named
// tuple they come back in.
#pragma once

#include <cstring>
#include <limits>

#include "numpy/lanes.hpp"
#include "pricers/black_scholes.hpp"

namespace quill::np {

template <>
struct Out<BlackScholesMetrics> {
    static constexpr int n = 7;
    static constexpr const char* nat_what = nullptr;
    static PyArray_DTypeMeta* dtype(int) { return &PyArray_DoubleDType; }
    static PyArray_Descr* descr(int) { return PyArray_DescrFromType(NPY_DOUBLE); }
    static void put(const Outs& o, std::int64_t i, const BlackScholesMetrics& m) noexcept {
        const double fields[7] = {m.npv, m.delta, m.gamma, m.vega, m.theta, m.rho_r, m.rho_q};
        for (int k = 0; k < 7; ++k) o.set(k, i, fields[k]);
    }
    static void none(const Outs& o, std::int64_t i) noexcept {
        for (int k = 0; k < 7; ++k) o.set(k, i, std::numeric_limits<double>::quiet_NaN());
    }
    static bool nat(const Outs& o, std::int64_t i) noexcept {
        none(o, i);
        return true;
    }
};

// qn.Metrics, made by add_black_scholes_twins (borrowed).
PyObject* metrics_type();

}  // namespace quill::np
