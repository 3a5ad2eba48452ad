// Black-Scholes prices and sensitivities of a European option on an asset with
// a continuous dividend yield: closed forms, finite-difference estimates, and
// the closing formulas alone.
//
// Every priced function returns no value when spot, strike or volatility is
// negative; NaN and infinite inputs propagate. The closed forms share one
// evaluation order, so a single metric equals the matching field of
// get_metrics bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "enums/put_call_flag.hpp"
#include "maths/functions.hpp"
#include "maths/lanes.hpp"

namespace quill {

struct BlackScholesMetrics {
    double npv, delta, gamma, vega, theta, rho_r, rho_q;
};

// The namespace class under which the pricing functions are offered to Python.
struct BlackScholes {};

namespace black_scholes {

// Years from eval to expiry: the signed serial difference over 365.0, whatever
// day-count convention the caller has in mind.
double tau_from_serials(std::int32_t eval_serial, std::int32_t expiry_serial) noexcept;

// Time to expiry `tau` in years; vega per 1.0 of volatility, theta per year of
// elapsing time, the rhos per 1.0 of rate or yield.
std::optional<double> npv(double spot, double strike, double rate, double div_yield, double tau, PutCallFlag pc_flag,
                          double vol) noexcept;
std::optional<double> delta(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept;
std::optional<double> gamma(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept;
std::optional<double> vega(double spot, double strike, double rate, double div_yield, double tau, PutCallFlag pc_flag,
                           double vol) noexcept;
std::optional<double> theta(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept;
std::optional<double> rho_r(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept;
std::optional<double> rho_q(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept;

// All seven closed forms from one evaluation of the model.
std::optional<BlackScholesMetrics> get_metrics(double spot, double strike, double rate, double div_yield, double tau,
                                               PutCallFlag pc_flag, double vol) noexcept;
// The closed-form npv with the six sensitivities estimated by revaluing it at
// bumped inputs, mostly by relative central differences. Where a relative bump
// would vanish, a zero rate or yield is bumped by an absolute 1e-4 (central)
// and a zero spot is differenced forwards by 1e-4 x strike.
std::optional<BlackScholesMetrics> get_metrics_fd(double spot, double strike, double rate, double div_yield,
                                                  double tau, PutCallFlag pc_flag, double vol) noexcept;

// Any of the metrics above with tau_from_serials(eval_serial, expiry_serial) as the time.
template <auto Metric>
auto with_dates(double spot, double strike, double rate, double div_yield, std::int32_t eval_serial,
                std::int32_t expiry_serial, PutCallFlag pc_flag, double vol) noexcept {
    return Metric(spot, strike, rate, div_yield, tau_from_serials(eval_serial, expiry_serial), pc_flag, vol);
}

// npv() of n options from contiguous inputs, into out[0..n): NaN where npv()
// gives no value, every other element bit for bit npv()'s. Faster than one
// option at a time.
void npv_many(std::size_t n, const double* spot, const double* strike, const double* rate, const double* div_yield,
              const double* tau, const PutCallFlag* pc_flag, const double* vol, double* out) noexcept;
// get_metrics() of n options: field f of option k into out[f][k], in the
// record's field order; NaN in all seven where get_metrics() gives no value.
void get_metrics_many(std::size_t n, const double* spot, const double* strike, const double* rate,
                      const double* div_yield, const double* tau, const PutCallFlag* pc_flag, const double* vol,
                      double* const out[7]) noexcept;

// The price in its steps: the quantities that do not depend on the vol, the
// arguments d1 and d2 at a vol, the normal distribution, and the closing
// formula. npv, get_metrics and their block forms compute through these, and
// so does implied_vol, whose search must meet npv's very values: this is the
// one definition of their operation order.
namespace formula {

constexpr double frac_1_sqrt_2 = 0.7071067811865476;    // nearest double to 1/sqrt(2)
constexpr double frac_1_sqrt_2pi = 0.3989422804014327;  // nearest double to 1/sqrt(2 pi)

// +1 for a call, -1 for a put: the sign bit set for anything but a call, so
// that a book of mixed flags costs no mispredicted branch.
inline double chi(PutCallFlag pc_flag) noexcept {
    const auto put = static_cast<std::uint64_t>(pc_flag != PutCallFlag::Call);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(1.0) | put << 63);
}

// The steps below take a double or a vector of doubles (T, see
// maths/lanes.hpp), whose lanes then meet exactly the operations a double does.

// e^(-rate tau), for the rate or the dividend yield.
template <class T>
inline T discount(T rate, T tau) noexcept {
    return lanes::exp(-rate * tau);
}
template <class T>
inline T carry(T rate, T div_yield) noexcept {
    return rate - div_yield;
}
template <class T>
inline T log_moneyness(T spot, T strike) noexcept {
    return lanes::log(spot) - lanes::log(strike);
}

// d1 and d2 at a vol > 0 of a running option (tau > 0); s = sqrt(tau) vol is
// the total volatility.
template <class T = double>
struct Arguments {
    T s;
    T d1;
    T d2;
};
template <class T>
inline Arguments<T> arguments(T vol, T sqrt_tau, T tau, T carry, T log_moneyness) noexcept {
    const T s = sqrt_tau * vol;
    const T d1 = (((0.5 * vol) * vol + carry) * tau + log_moneyness) / s;
    return {s, d1, d1 - s};
}

// The standard normal cdf at chi * x. erf maps +-inf to +-1 and keeps NaN, so
// the certain regimes give exactly 0, 0.5 or 1.
// In two halves too, for loops that take the error function of many
// arguments at once: cdf(x, chi) == cdf_of_erf(quill::erf(erf_arg(x, chi))).
template <class T>
inline T erf_arg(T x, T chi) noexcept {
    return (x * chi) * frac_1_sqrt_2;
}
template <class T>
inline T cdf_of_erf(T e) noexcept {
    return (e + 1.0) * 0.5;
}
inline double cdf(double x, double chi) noexcept { return cdf_of_erf(quill::erf(erf_arg(x, chi))); }
template <class T>
inline T pdf(T x) noexcept {
    return lanes::exp((-0.5 * x) * x) * frac_1_sqrt_2pi;
}

// The price from the discounted spot df_q spot and strike df_r strike.
template <class T>
inline T npv(T chi, T spot_df, T strike_df, T cdf_d1, T cdf_d2) noexcept {
    return chi * (spot_df * cdf_d1 - strike_df * cdf_d2);
}

}  // namespace formula

// The closing formulas applied to caller-supplied intermediates, unchecked:
// chi is +1 for a call and -1 for a put but any value is used as given;
// cdf_d1 and cdf_d2 are the normal cdf at chi*d1 and chi*d2, pdf_d1 the
// density at d1.
double npv_impl(double spot, double strike, double chi, double df_r, double df_q, double cdf_d1,
                double cdf_d2) noexcept;
double delta_impl(double chi, double df_q, double cdf_d1) noexcept;
double gamma_impl(double spot, double vol, double sqrt_tau, double df_q, double pdf_d1) noexcept;
double vega_impl(double spot, double sqrt_tau, double df_q, double pdf_d1) noexcept;
double theta_impl(double spot, double strike, double rate, double div_yield, double vol, double chi, double sqrt_tau,
                  double df_r, double df_q, double pdf_d1, double cdf_d1, double cdf_d2) noexcept;
double rho_r_impl(double strike, double chi, double tau, double df_r, double cdf_d2) noexcept;
double rho_q_impl(double spot, double chi, double tau, double df_q, double cdf_d1) noexcept;

}  // namespace black_scholes
}  // namespace quill
