// The four-lane model is only ever inlined into the AVX2 loops below, never
// called across a function boundary, so the vector-argument ABI note does not
// apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "pricers/black_scholes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "maths/functions.hpp"

namespace quill::black_scholes {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double one_day = 0.0027397260273972603;        // 1/365 year
constexpr double two_days = 0.005479452054794521;        // 2/365 year

// Comparisons are plain less-than tests: NaN and zero pass.
template <class T>
lanes::MaskOf<T> refused(T spot, T strike, T vol) noexcept {
    using M = lanes::MaskOf<T>;
    return M(M(strike < 0.0) | M(spot < 0.0)) | M(vol < 0.0);
}

using lanes::MaskOf;
using lanes::select;

// d1 = d2 when the outcome is already certain: 0 at the money, otherwise the
// infinity on the side of the price (a NaN price counts as below the strike).
template <class T>
T certain_d(T price, T strike) noexcept {
    return select(price == strike, T{} + 0.0, select(price > strike, T{} + inf, T{} - inf));
}

// What every metric needs besides the raw inputs, of one option (double) or
// of a vector of options in lanes.
template <class T = double>
struct Model {
    T chi;
    T tau;       // the effective time: 0 once expired
    T sqrt_tau;  // of the effective time
    T df_r;
    T df_q;
    T d1;
    T d2;
};

// The three time regimes: expired (tau < 0), at expiry (tau == 0), and
// running (tau > 0 or NaN), where a zero volatility prices off the forward.
//
// For lanes of options, every regime's values are computed and each option's
// chosen, so that options in different regimes need no branch.
template <class T>
Model<T> model(T spot, T strike, T rate, T div_yield, T tau, T chi, T vol) noexcept {
    using M = MaskOf<T>;
    const M expired = tau < 0.0;
    const M at_expiry = tau == 0.0;
    const M zero_vol = vol == 0.0;
    const T sqrt_tau = lanes::sqrt(tau);
    const T df_r = formula::discount(rate, tau);
    const T df_q = formula::discount(div_yield, tau);
    const formula::Arguments<T> a = formula::arguments(vol, sqrt_tau, tau, formula::carry(rate, div_yield),
                                                       formula::log_moneyness(spot, strike));
    const T d_forward = certain_d((df_q * spot) / df_r, strike);
    const T d_spot = certain_d(spot, strike);
    const T d_expired = -inf * chi;  // every cdf value is 0
    const T zero = T{} + 0.0;
    const T one = T{} + 1.0;
    return {chi,
            select(expired, zero, tau),
            select(expired, zero, sqrt_tau),
            select(expired, zero, select(at_expiry, one, df_r)),
            select(expired, zero, select(at_expiry, one, df_q)),
            select(expired, d_expired, select(at_expiry, d_spot, select(zero_vol, d_forward, a.d1))),
            select(expired, d_expired, select(at_expiry, d_spot, select(zero_vol, d_forward, a.d2)))};
}

// One option by the same rules, branching to its regime: a single call then
// computes only what its regime needs (the branches it takes are predictable).
Model<> model(double spot, double strike, double rate, double div_yield, double tau, PutCallFlag pc_flag,
              double vol) noexcept {
    Model<> m;
    m.chi = formula::chi(pc_flag);
    if (tau < 0.0) {
        m.tau = 0.0;
        m.sqrt_tau = 0.0;
        m.df_r = 0.0;
        m.df_q = 0.0;
        m.d1 = m.d2 = -inf * m.chi;  // every cdf value is 0
        return m;
    }
    m.tau = tau;
    m.sqrt_tau = std::sqrt(tau);
    if (tau == 0.0) {
        m.df_r = 1.0;
        m.df_q = 1.0;
        m.d1 = m.d2 = certain_d(spot, strike);
        return m;
    }
    m.df_r = formula::discount(rate, tau);
    m.df_q = formula::discount(div_yield, tau);
    if (vol == 0.0) {
        m.d1 = m.d2 = certain_d((m.df_q * spot) / m.df_r, strike);
        return m;
    }
    const formula::Arguments a = formula::arguments(vol, m.sqrt_tau, tau, formula::carry(rate, div_yield),
                                                    formula::log_moneyness(spot, strike));
    m.d1 = a.d1;
    m.d2 = a.d2;
    return m;
}

using formula::cdf;
using formula::pdf;

// The metrics from a model, of one option or of lanes of them.
template <class T>
T npv_of(const Model<T>& m, T spot, T strike, T cdf_d1, T cdf_d2) noexcept {
    return formula::npv(m.chi, m.df_q * spot, m.df_r * strike, cdf_d1, cdf_d2);
}

template <class T>
T delta_of(const Model<T>& m, T cdf_d1) noexcept {
    return (m.chi * m.df_q) * cdf_d1;
}

template <class T>
T gamma_of(T spot, T vol, T sqrt_tau, T df_q, T pdf_d1) noexcept {
    using M = MaskOf<T>;
    const T zero = T{} + 0.0;
    // At a zero spot the density at d1 = -inf vanishes faster than spot: the
    // curvature is 0, not the 0/0 of the quotient.
    const T curvature = select(M(M(spot == 0.0) & M(pdf_d1 == 0.0)), zero,
                               (df_q * pdf_d1) / ((spot * vol) * sqrt_tau));
    // No time value left: all curvature sits at the strike.
    const T at_strike = select(pdf_d1 > 0.0, T{} + inf, zero);
    return select(M(M(vol != 0.0) & M(sqrt_tau != 0.0)), curvature, at_strike);
}

template <class T>
T vega_of(const Model<T>& m, T spot, T pdf_d1) noexcept {
    return ((pdf_d1 * m.df_q) * spot) * m.sqrt_tau;
}

template <class T>
T theta_of(const Model<T>& m, T spot, T strike, T rate, T div_yield, T vol, T pdf_d1, T cdf_d1, T cdf_d2) noexcept {
    const T theta = cdf_d2 * (strike * (rate * (-m.chi * m.df_r))) -
                    (((m.df_q * spot) * pdf_d1) * vol) / (2.0 * m.sqrt_tau) +
                    cdf_d1 * (spot * (div_yield * (m.chi * m.df_q)));
    return select(m.sqrt_tau == 0.0, T{} + 0.0, theta);
}

template <class T>
T rho_r_of(const Model<T>& m, T strike, T cdf_d2) noexcept {
    return (((m.chi * strike) * m.tau) * m.df_r) * cdf_d2;
}

template <class T>
T rho_q_of(const Model<T>& m, T spot, T cdf_d1) noexcept {
    return (((-m.chi * spot) * m.tau) * m.df_q) * cdf_d1;
}

// The npv at the given inputs, for the revaluations of get_metrics_fd. A
// refused input marks the whole estimate as failed.
struct Revaluer {
    double strike;
    PutCallFlag pc_flag;
    bool failed = false;

    double operator()(double spot, double rate, double div_yield, double tau, double vol) noexcept {
        const std::optional<double> v = npv(spot, strike, rate, div_yield, tau, pc_flag, vol);
        if (!v) failed = true;
        return v.value_or(0.0);
    }
};

}  // namespace

double tau_from_serials(std::int32_t eval_serial, std::int32_t expiry_serial) noexcept {
    // Widened so that no pair of serials can overflow; valid dates differ by far less.
    return static_cast<double>(static_cast<std::int64_t>(expiry_serial) - eval_serial) / 365.0;
}

// ---------------------------------------------------------------- closing formulas

double npv_impl(double spot, double strike, double chi, double df_r, double df_q, double cdf_d1,
                double cdf_d2) noexcept {
    return chi * ((spot * df_q) * cdf_d1 - (strike * df_r) * cdf_d2);
}

double delta_impl(double chi, double df_q, double cdf_d1) noexcept { return (chi * df_q) * cdf_d1; }

double gamma_impl(double spot, double vol, double sqrt_tau, double df_q, double pdf_d1) noexcept {
    return gamma_of(spot, vol, sqrt_tau, df_q, pdf_d1);
}

double vega_impl(double spot, double sqrt_tau, double df_q, double pdf_d1) noexcept {
    return sqrt_tau * (spot * (df_q * pdf_d1));
}

double theta_impl(double spot, double strike, double rate, double div_yield, double vol, double chi, double sqrt_tau,
                  double df_r, double df_q, double pdf_d1, double cdf_d1, double cdf_d2) noexcept {
    if (sqrt_tau == 0.0) return 0.0;
    return cdf_d2 * (strike * (rate * (-chi * df_r))) - vol * ((df_q * spot) * pdf_d1) / (sqrt_tau * 2.0) +
           cdf_d1 * (spot * (div_yield * (df_q * chi)));
}

double rho_r_impl(double strike, double chi, double tau, double df_r, double cdf_d2) noexcept {
    return (((strike * chi) * tau) * df_r) * cdf_d2;
}

double rho_q_impl(double spot, double chi, double tau, double df_q, double cdf_d1) noexcept {
    return (((spot * (-chi)) * tau) * df_q) * cdf_d1;
}

// ---------------------------------------------------------------- single metrics

std::optional<double> npv(double spot, double strike, double rate, double div_yield, double tau, PutCallFlag pc_flag,
                          double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    return npv_of(m, spot, strike, cdf(m.d1, m.chi), cdf(m.d2, m.chi));
}

std::optional<double> delta(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    return delta_of(m, cdf(m.d1, m.chi));
}

std::optional<double> gamma(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    return gamma_impl(spot, vol, m.sqrt_tau, m.df_q, pdf(m.d1));
}

std::optional<double> vega(double spot, double strike, double rate, double div_yield, double tau, PutCallFlag pc_flag,
                           double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    return vega_of(m, spot, pdf(m.d1));
}

std::optional<double> theta(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    if (m.sqrt_tau == 0.0) return 0.0;
    return theta_of(m, spot, strike, rate, div_yield, vol, pdf(m.d1), cdf(m.d1, m.chi), cdf(m.d2, m.chi));
}

std::optional<double> rho_r(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    return rho_r_of(m, strike, cdf(m.d2, m.chi));
}

std::optional<double> rho_q(double spot, double strike, double rate, double div_yield, double tau,
                            PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    return rho_q_of(m, spot, cdf(m.d1, m.chi));
}

// ---------------------------------------------------------------- all metrics

std::optional<BlackScholesMetrics> get_metrics(double spot, double strike, double rate, double div_yield, double tau,
                                               PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    const Model<> m = model(spot, strike, rate, div_yield, tau, pc_flag, vol);
    const double cdf_d1 = cdf(m.d1, m.chi);
    const double cdf_d2 = cdf(m.d2, m.chi);
    const double pdf_d1 = pdf(m.d1);
    return BlackScholesMetrics{
        npv_of(m, spot, strike, cdf_d1, cdf_d2),
        delta_of(m, cdf_d1),
        gamma_impl(spot, vol, m.sqrt_tau, m.df_q, pdf_d1),
        vega_of(m, spot, pdf_d1),
        theta_of(m, spot, strike, rate, div_yield, vol, pdf_d1, cdf_d1, cdf_d2),
        rho_r_of(m, strike, cdf_d2),
        rho_q_of(m, spot, cdf_d1),
    };
}

std::optional<BlackScholesMetrics> get_metrics_fd(double spot, double strike, double rate, double div_yield,
                                                  double tau, PutCallFlag pc_flag, double vol) noexcept {
    if (refused(spot, strike, vol)) return std::nullopt;
    Revaluer value{strike, pc_flag};
    const double v0 = value(spot, rate, div_yield, tau, vol);

    // vega: forward from a (near) zero volatility, else a relative central bump.
    double vega;
    if (vol <= 0.001) {
        const double vol_up = 0.0001 + vol;
        if (vol_up < 0.0) return std::nullopt;
        vega = (value(spot, rate, div_yield, tau, vol_up) - v0) / 0.0001;
    } else {
        const double h = vol * 0.001;
        const double vol_up = h + vol;
        const double vol_down = vol - h;
        if (vol_up < 0.0 || vol_down < 0.0) return std::nullopt;
        vega = (value(spot, rate, div_yield, tau, vol_up) - value(spot, rate, div_yield, tau, vol_down)) / (h + h);
    }

    // theta: one day either side; none within the last day.
    double theta = 0.0;
    if (!(tau < one_day)) {
        const double tau_down = -one_day + tau;
        const double tau_up = one_day + tau;
        theta = (value(spot, rate, div_yield, tau_down, vol) - value(spot, rate, div_yield, tau_up, vol)) / two_days;
    }

    // delta and gamma share the spot revaluations. A zero spot has no relative
    // bump and no room below it: difference forwards, on the strike's scale.
    const bool at_expiry_at_money = strike == spot && tau == 0.0;
    double delta;
    double gamma;
    if (spot == 0.0) {
        const double h = strike > 0.0 && strike < inf ? 0.0001 * strike : 0.0001;
        const double v_up = value(h, rate, div_yield, tau, vol);
        const double v_up2 = value(h + h, rate, div_yield, tau, vol);
        gamma = at_expiry_at_money ? inf : (v0 + (v_up2 - (v_up + v_up))) / (h * h);
        delta = (v_up - v0) / h;
    } else {
        const double h_s = 0.0005 * spot;
        const double spot_up = h_s + spot;
        const double spot_down = spot - h_s;
        if (spot_up < 0.0 || spot_down < 0.0) return std::nullopt;
        const double v_up = value(spot_up, rate, div_yield, tau, vol);
        const double v_down = value(spot_down, rate, div_yield, tau, vol);
        // At expiry at the money the closed form's limit is +inf.
        gamma = at_expiry_at_money ? inf : (v_down + (v_up - (v0 + v0))) / (h_s * h_s);
        delta = (v_up - v_down) / (h_s + h_s);
    }

    // The rhos: relative central bumps; a zero rate or yield is bumped by 1bp.
    const double h_r = rate == 0.0 ? 0.0001 : rate * 0.001;
    const double rho_r =
        (value(spot, h_r + rate, div_yield, tau, vol) - value(spot, rate - h_r, div_yield, tau, vol)) / (h_r + h_r);
    const double h_q = div_yield == 0.0 ? 0.0001 : 0.001 * div_yield;
    const double rho_q =
        (value(spot, rate, h_q + div_yield, tau, vol) - value(spot, rate, div_yield - h_q, tau, vol)) / (h_q + h_q);

    if (value.failed) return std::nullopt;
    return BlackScholesMetrics{v0, delta, gamma, vega, theta, rho_r, rho_q};
}

// ---------------------------------------------------------------- many options
//
// In passes over a block rather than option by option: the processor then
// overlaps the logarithms, exponentials and error functions of neighbouring
// options, which one option's dependent chain does not let it do, and the
// model of two or four options at once in vector lanes, every regime's value
// computed and the option's chosen where one option would branch. Each option
// still meets exactly the single-option functions' operations, in their order.

namespace {

constexpr std::size_t block = 64;

// A block's options, a vector's width at a time: their models, whether each
// is priced at all, and erf at their d1 and d2 (one call for the block).
template <class T>
struct Block {
    static constexpr std::size_t w = lanes::width<T>;
    Model<T> m[block / w];
    MaskOf<T> valid[block / w];
    double t[2 * block];  // erf's arguments at every d1, then at every d2
    double e[2 * block];  // erf there

    std::size_t prepare(std::size_t base, std::size_t n, const double* spot, const double* strike, const double* rate,
                        const double* div_yield, const double* tau, const PutCallFlag* pc_flag,
                        const double* vol) noexcept {
        const std::size_t count = std::min(block, n - base);
        for (std::size_t i = 0; i < count; i += w) {
            const std::size_t k = base + i;
            const std::size_t here = std::min(w, count - i);
            T chi = T{} + 1.0;
            for (std::size_t l = 0; l < here; ++l) lanes::set_lane(chi, static_cast<int>(l), formula::chi(pc_flag[k + l]));
            const T s = lanes::load<T>(spot + k, here);
            const T x = lanes::load<T>(strike + k, here);
            const T v = lanes::load<T>(vol + k, here);
            const Model<T> mi = model(s, x, lanes::load<T>(rate + k, here), lanes::load<T>(div_yield + k, here),
                                      lanes::load<T>(tau + k, here), chi, v);
            m[i / w] = mi;
            valid[i / w] = lanes::negate(refused(s, x, v));
            lanes::store(t + i, w, formula::erf_arg(mi.d1, chi));
            lanes::store(t + block + i, w, formula::erf_arg(mi.d2, chi));
        }
        quill::erf_many(count, t, e);
        quill::erf_many(count, t + block, e + block);
        return count;
    }

    // The normal cdf at d1 and d2 of the lanes of options i.. (here of them).
    T cdf_d1(std::size_t i, std::size_t here) const noexcept {
        return formula::cdf_of_erf(lanes::load<T>(e + i, here));
    }
    T cdf_d2(std::size_t i, std::size_t here) const noexcept {
        return formula::cdf_of_erf(lanes::load<T>(e + block + i, here));
    }
};

constexpr double no_value = std::numeric_limits<double>::quiet_NaN();

// Every block of options, then each vector of them: close(b, i, k, here)
// with the block, the vector's first option in it, that option's index, and
// how many options the vector holds.
template <class T, class Close>
void each_vector(std::size_t n, const double* spot, const double* strike, const double* rate, const double* div_yield,
                 const double* tau, const PutCallFlag* pc_flag, const double* vol, Close close) noexcept {
    constexpr std::size_t w = lanes::width<T>;
    Block<T> b;
    for (std::size_t base = 0; base < n; base += block) {
        const std::size_t count = b.prepare(base, n, spot, strike, rate, div_yield, tau, pc_flag, vol);
        for (std::size_t i = 0; i < count; i += w) close(b, i, base + i, std::min(w, count - i));
    }
}

template <class T>
void npv_lanes(std::size_t n, const double* spot, const double* strike, const double* rate, const double* div_yield,
               const double* tau, const PutCallFlag* pc_flag, const double* vol, double* out) noexcept {
    constexpr std::size_t w = lanes::width<T>;
    each_vector<T>(n, spot, strike, rate, div_yield, tau, pc_flag, vol,
                   [&](const Block<T>& b, std::size_t i, std::size_t k, std::size_t here) {
                       const T v = npv_of(b.m[i / w], lanes::load<T>(spot + k, here),
                                          lanes::load<T>(strike + k, here), b.cdf_d1(i, here), b.cdf_d2(i, here));
                       lanes::store(out + k, here, select(b.valid[i / w], v, T{} + no_value));
                   });
}

template <class T>
void get_metrics_lanes(std::size_t n, const double* spot, const double* strike, const double* rate,
                       const double* div_yield, const double* tau, const PutCallFlag* pc_flag, const double* vol,
                       double* const out[7]) noexcept {
    constexpr std::size_t w = lanes::width<T>;
    each_vector<T>(n, spot, strike, rate, div_yield, tau, pc_flag, vol,
                   [&](const Block<T>& b, std::size_t i, std::size_t k, std::size_t here) {
                       const Model<T>& m = b.m[i / w];
                       const T s = lanes::load<T>(spot + k, here);
                       const T x = lanes::load<T>(strike + k, here);
                       const T v = lanes::load<T>(vol + k, here);
                       const T c1 = b.cdf_d1(i, here);
                       const T c2 = b.cdf_d2(i, here);
                       const T p = pdf(m.d1);
                       const T r = lanes::load<T>(rate + k, here);
                       const T q = lanes::load<T>(div_yield + k, here);
                       const T metrics[7] = {npv_of(m, s, x, c1, c2),
                                             delta_of(m, c1),
                                             gamma_of(s, v, m.sqrt_tau, m.df_q, p),
                                             vega_of(m, s, p),
                                             theta_of(m, s, x, r, q, v, p, c1, c2),
                                             rho_r_of(m, x, c2),
                                             rho_q_of(m, s, c1)};
                       for (int j = 0; j < 7; ++j) {
                           lanes::store(out[j] + k, here, select(b.valid[i / w], metrics[j], T{} + no_value));
                       }
                   });
}

#ifdef QUILL_AVX2
// Four lanes where the processor has AVX2 (the same IEEE operations, twice as
// many per instruction); every helper is inlined into them.
__attribute__((target("avx2"), flatten)) void npv_avx2(std::size_t n, const double* spot, const double* strike,
                                                       const double* rate, const double* div_yield, const double* tau,
                                                       const PutCallFlag* pc_flag, const double* vol,
                                                       double* out) noexcept {
    npv_lanes<lanes::V4>(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
}
__attribute__((target("avx2"), flatten)) void get_metrics_avx2(std::size_t n, const double* spot,
                                                               const double* strike, const double* rate,
                                                               const double* div_yield, const double* tau,
                                                               const PutCallFlag* pc_flag, const double* vol,
                                                               double* const out[7]) noexcept {
    get_metrics_lanes<lanes::V4>(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
}
#endif

}  // namespace

void npv_many(std::size_t n, const double* spot, const double* strike, const double* rate, const double* div_yield,
              const double* tau, const PutCallFlag* pc_flag, const double* vol, double* out) noexcept {
#ifdef QUILL_AVX2
    if (lanes::has_avx2()) return npv_avx2(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
#endif
    npv_lanes<lanes::V2>(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
}

void get_metrics_many(std::size_t n, const double* spot, const double* strike, const double* rate,
                      const double* div_yield, const double* tau, const PutCallFlag* pc_flag, const double* vol,
                      double* const out[7]) noexcept {
#ifdef QUILL_AVX2
    if (lanes::has_avx2()) return get_metrics_avx2(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
#endif
    get_metrics_lanes<lanes::V2>(n, spot, strike, rate, div_yield, tau, pc_flag, vol, out);
}

}  // namespace quill::black_scholes
