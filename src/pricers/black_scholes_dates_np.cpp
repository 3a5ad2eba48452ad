// The dated Black-Scholes twins: the time to expiry of each pair of dates is
// taken as the scalar _with_dates methods take it, then priced by the same
// kernels, so every element is the scalar result bit for bit. A NaT date
// gives NaN in every output.
#include <cstdint>

#include "datetime/dates_np.hpp"
#include "numpy/wrapper.hpp"
#include "pricers/black_scholes.hpp"
#include "pricers/black_scholes_np.hpp"

namespace quill::np {
namespace {

namespace bs = quill::black_scholes;

template <auto Metric>
auto dated(double spot, double strike, double rate, double div_yield, Date eval_date, Date expiry_date,
           PutCallFlag pc_flag, double vol) {
    return bs::with_dates<Metric>(spot, strike, rate, div_yield, eval_date.serial(), expiry_date.serial(), pc_flag, vol);
}

}  // namespace

// npv and get_metrics price blocks of options in vector lanes; the dated forms
// hand them each block's times.
template <>
struct Batch<&dated<&bs::npv>> {
    static constexpr bool exists = true;
    static void run(std::size_t n, const double* spot, const double* strike, const double* rate, const double* div_yield,
                    const std::int32_t* eval, const std::int32_t* expiry, const PutCallFlag* pc_flag, const double* vol,
                    double* const* out) {
        double tau[64];
        for (std::size_t j = 0; j < n; ++j) tau[j] = bs::tau_from_serials(eval[j], expiry[j]);
        bs::npv_many(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out[0]);
    }
};

template <>
struct Batch<&dated<&bs::get_metrics>> {
    static constexpr bool exists = true;
    static void run(std::size_t n, const double* spot, const double* strike, const double* rate, const double* div_yield,
                    const std::int32_t* eval, const std::int32_t* expiry, const PutCallFlag* pc_flag, const double* vol,
                    double* const* out) {
        double tau[64];
        for (std::size_t j = 0; j < n; ++j) tau[j] = bs::tau_from_serials(eval[j], expiry[j]);
        bs::get_metrics_many(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
    }
};

#define QUILL_DATED(name) name "(spot, strike, rate, div_yield, eval_date, expiry_date, pc_flag, vol)\n--\n\n"
#define QUILL_BODY(what)                                                                                 \
    "BlackScholes." what "_with_dates of each element: " what " with tau from the dates as the scalar\n" \
    "method takes it; NaN where the scalar call gives None, and for NaT dates."

bool add_black_scholes_dates_twins(PyObject* m) {
    PyObject* metrics = metrics_type();
    return add_twin<QUILL_DATED("npv_with_dates") QUILL_BODY("npv"), &dated<&bs::npv>>(m) &&
           add_twin<QUILL_DATED("delta_with_dates") QUILL_BODY("delta"), &dated<&bs::delta>>(m) &&
           add_twin<QUILL_DATED("gamma_with_dates") QUILL_BODY("gamma"), &dated<&bs::gamma>>(m) &&
           add_twin<QUILL_DATED("vega_with_dates") QUILL_BODY("vega"), &dated<&bs::vega>>(m) &&
           add_twin<QUILL_DATED("theta_with_dates") QUILL_BODY("theta"), &dated<&bs::theta>>(m) &&
           add_twin<QUILL_DATED("rho_r_with_dates") QUILL_BODY("rho_r"), &dated<&bs::rho_r>>(m) &&
           add_twin<QUILL_DATED("rho_q_with_dates") QUILL_BODY("rho_q"), &dated<&bs::rho_q>>(m) &&
           add_twin<QUILL_DATED("get_metrics_with_dates")
                    "BlackScholes.get_metrics_with_dates for arrays: a Metrics named tuple of seven\n"
                    "arrays, as get_metrics with tau from the dates; NaN for NaT dates.",
                    &dated<&bs::get_metrics>, TwinOptions{.grain = 2048}>(m, metrics) &&
           add_twin<QUILL_DATED("get_metrics_fd_with_dates")
                    "BlackScholes.get_metrics_fd_with_dates for arrays, as get_metrics_with_dates.",
                    &dated<&bs::get_metrics_fd>, TwinOptions{.grain = 512}>(m, metrics);
}

#undef QUILL_DATED
#undef QUILL_BODY

}  // namespace quill::np
