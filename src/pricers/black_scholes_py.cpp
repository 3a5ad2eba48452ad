// Python surface of BlackScholes (a namespace of static methods) and of the
// BlackScholesMetrics record.
#include "pricers/black_scholes.hpp"

#include "datetime/date.hpp"
#include "core/float_text.hpp"
#include "python/binding.hpp"

namespace quill::py {
namespace {

namespace bs = quill::black_scholes;

// The dated forms take Dates and hand their serials to the library.
template <auto F>
auto dated(double spot, double strike, double rate, double div_yield, const Date& eval_date, const Date& expiry_date,
           PutCallFlag pc_flag, double vol) {
    return bs::with_dates<F>(spot, strike, rate, div_yield, eval_date.serial(), expiry_date.serial(), pc_flag, vol);
}

template <double BlackScholesMetrics::*Field>
double field(const BlackScholesMetrics& m) {
    return m.*Field;
}

std::string repr(const BlackScholesMetrics& m) {
    std::string out = "BlackScholesMetrics(npv=";
    out.append(float_text(m.npv)).append(", delta=").append(float_text(m.delta));
    out.append(", gamma=").append(float_text(m.gamma)).append(", vega=").append(float_text(m.vega));
    out.append(", theta=").append(float_text(m.theta)).append(", rho_r=").append(float_text(m.rho_r));
    out.append(", rho_q=").append(float_text(m.rho_q)).append(")");
    return out;
}

#define QUILL_DATED "(spot, strike, rate, div_yield, eval_date, expiry_date, pc_flag, vol)\n--\n\n"
#define QUILL_PLAIN "(spot, strike, rate, div_yield, tau, pc_flag, vol)\n--\n\n"

}  // namespace

PyTypeObject* PyClass<BlackScholesMetrics>::create() {
    static PyGetSetDef attributes[] = {
        {"npv", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::npv>>, nullptr, nullptr, nullptr},
        {"delta", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::delta>>, nullptr, nullptr, nullptr},
        {"gamma", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::gamma>>, nullptr, nullptr, nullptr},
        {"vega", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::vega>>, nullptr, nullptr, nullptr},
        {"theta", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::theta>>, nullptr, nullptr, nullptr},
        {"rho_r", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::rho_r>>, nullptr, nullptr, nullptr},
        {"rho_q", &getter<BlackScholesMetrics, &field<&BlackScholesMetrics::rho_q>>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return make_class<BlackScholesMetrics>(
        "builtins.BlackScholesMetrics",
        {
            {Py_tp_getset, attributes},
            {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<BlackScholesMetrics, &repr>)},
        });
}

PyTypeObject* PyClass<BlackScholes>::create() {
    static PyMethodDef methods[] = {
        static_method<"BlackScholes", "get_metrics_with_dates" QUILL_DATED, &dated<&bs::get_metrics>>(),
        static_method<"BlackScholes", "get_metrics" QUILL_PLAIN, &bs::get_metrics>(),
        static_method<"BlackScholes", "get_metrics_fd_with_dates" QUILL_DATED, &dated<&bs::get_metrics_fd>>(),
        static_method<"BlackScholes", "get_metrics_fd" QUILL_PLAIN, &bs::get_metrics_fd>(),

        static_method<"BlackScholes", "npv_with_dates" QUILL_DATED, &dated<&bs::npv>>(),
        static_method<"BlackScholes", "npv" QUILL_PLAIN, &bs::npv>(),
        static_method<"BlackScholes", "npv_impl(spot, strike, chi, df_r, df_q, cdf_d1, cdf_d2)\n--\n\n", &bs::npv_impl>(),

        static_method<"BlackScholes", "delta_with_dates" QUILL_DATED, &dated<&bs::delta>>(),
        static_method<"BlackScholes", "delta" QUILL_PLAIN, &bs::delta>(),
        static_method<"BlackScholes", "delta_impl(chi, df_q, cdf_d1)\n--\n\n", &bs::delta_impl>(),

        static_method<"BlackScholes", "gamma_with_dates" QUILL_DATED, &dated<&bs::gamma>>(),
        static_method<"BlackScholes", "gamma" QUILL_PLAIN, &bs::gamma>(),
        static_method<"BlackScholes", "gamma_impl(spot, vol, sqrt_tau, df_q, pdf_d1)\n--\n\n", &bs::gamma_impl>(),

        static_method<"BlackScholes", "vega_with_dates" QUILL_DATED, &dated<&bs::vega>>(),
        static_method<"BlackScholes", "vega" QUILL_PLAIN, &bs::vega>(),
        static_method<"BlackScholes", "vega_impl(spot, sqrt_tau, df_q, pdf_d1)\n--\n\n", &bs::vega_impl>(),

        static_method<"BlackScholes", "theta_with_dates" QUILL_DATED, &dated<&bs::theta>>(),
        static_method<"BlackScholes", "theta" QUILL_PLAIN, &bs::theta>(),
        static_method<"BlackScholes",
                      "theta_impl(spot, strike, rate, div_yield, vol, chi, sqrt_tau, df_r, df_q, pdf_d1, cdf_d1, "
                      "cdf_d2)\n--\n\n",
                      &bs::theta_impl>(),

        static_method<"BlackScholes", "rho_r_with_dates" QUILL_DATED, &dated<&bs::rho_r>>(),
        static_method<"BlackScholes", "rho_r" QUILL_PLAIN, &bs::rho_r>(),
        static_method<"BlackScholes", "rho_r_impl(strike, chi, tau, df_r, cdf_d2)\n--\n\n", &bs::rho_r_impl>(),

        static_method<"BlackScholes", "rho_q_with_dates" QUILL_DATED, &dated<&bs::rho_q>>(),
        static_method<"BlackScholes", "rho_q" QUILL_PLAIN, &bs::rho_q>(),
        static_method<"BlackScholes", "rho_q_impl(spot, chi, tau, df_q, cdf_d1)\n--\n\n", &bs::rho_q_impl>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<BlackScholes>("builtins.BlackScholes", {{Py_tp_methods, methods}});
}

#undef QUILL_DATED
#undef QUILL_PLAIN

}  // namespace quill::py
