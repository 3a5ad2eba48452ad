// Implied volatility: the vol at which the library's own npv gives a price.
//
// Method. Write the price as a normalised Black price of the out-of-the-money
// option: with the discounted spot and strike Sd = spot e^(-q tau) and
// Kd = strike e^(-r tau), log-moneyness x = ln(Sd / Kd) and total volatility
// s = vol sqrt(tau),
//
//     price - intrinsic = sqrt(Sd Kd) b(-|x|, s),
//     b(x, s) = e^(x/2) N(x/s + s/2) - e^(-x/2) N(x/s - s/2),
//
// (a put at x is a call at -x, and an in-the-money option is the
// out-of-the-money one plus its intrinsic value). b rises from 0 to
// b_max = e^(-|x|/2), convex below its inflection point s_c = sqrt(2|x|) and
// concave above it; its derivatives in s are closed forms:
//
//     b'   = exp(-x^2 / (2 s^2) - s^2 / 8) / sqrt(2 pi)
//     b''  = b' (x^2 / s^3 - s / 4)
//     b''' = b' ((x^2 / s^3 - s / 4)^2 - 3 x^2 / s^4 - 1/4)
//
// 1. Initial guess, on the side of s_c where the target lies (b_c = b(s_c)
//    from a fitted polynomial; b'(s_c) = b_max / sqrt(2 pi)):
//    - below b_c, s / s_c from a cubic polynomial in three variables of
//      [0, 1], fitted offline (minimax in the relative error, under 3% over
//      |x| / s up to 3.5 and s up to 8): the estimate of the far tail,
//      where ln(b / b_c) ~ -|x| (s_c^2 / s^2 - 1) / 4; the tangent at s_c;
//      and sqrt|x| / (1 + sqrt|x|). The tangent caps the result (it
//      overshoots in the convex part);
//    - above b_c, the upper tail b_max - b ~ c N(-s/2), with c fixed so that
//      it holds at s_c (exact at the money), or the tangent at s_c, whichever
//      is higher (the tangent undershoots in the concave part).
// 2. Third-order Householder steps, on our own npv (through the pricer's own
//    formula steps, with the discount factors and log-moneyness computed once),
//    with the closed-form derivatives above. The objective is transformed as
//    in the papers: below b_c the log of the time value, which is concave in s
//    (Choi, Liu and Seo, 2023), so steps approach the root from below without
//    overshooting; above b_c the log of the distance to the upper bound.
// 3. The steps keep a bracket [lo, hi] of vols whose prices lie either side of
//    the target and fall back to bisection when a step would leave it, so the
//    iteration always ends: when the price is met to within a unit or so of
//    the scale's last place, when the bracket is down to neighbouring doubles,
//    or after a fixed number of steps, with the best vol seen; or with a step
//    so small (2^-20 of the vol, crossing no seam of npv's error function)
//    that it is taken unchecked.
//    From a guess within a few per cent, that is two evaluations of npv.
//
// Our npv uses an error function good to about 1e-10 relative, with small
// steps where its rational pieces meet, so it is neither the textbook price
// nor perfectly smooth. Converging on it (rather than on the textbook model)
// is what makes npv(implied_vol(p)) give p back; the textbook derivatives only
// steer the steps. Where an out-of-the-money price is so small that npv's
// rounding (a few units of the last place of spot and strike) dominates it,
// every vol in a small band reproduces the price equally well, and the one
// returned is one of them.
//
// Many options are solved four at a time, one vector lane each: the search
// is written once over a value type, a double or a vector of four, whose
// lanes meet exactly a double's operations (no fused multiply-adds are
// formed), so a lane's answer is the single-option search's to the bit. The
// lanes run the set-up, the guess and two steps side by side, choosing
// between the branches' values where one option alone would branch; the few
// options still searching after two steps finish one at a time. The error
// function of every lane's arguments is taken at once (erf_many gives erf's
// very bits).
#include "pricers/implied_vol.hpp"

// The four-lane search is only ever inlined into solve_avx2, never called
// across a function boundary, so the vector-argument ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "maths/functions.hpp"
#include "maths/lanes.hpp"
#include "pricers/black_scholes.hpp"

namespace quill::black_scholes {
namespace {

using namespace lanes;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double sqrt_2 = 1.4142135623730951;
constexpr int max_steps = 64;
// A total volatility beyond which every price is at its upper bound to the
// last bit (N(-s/2) is below 1e-300).
constexpr double s_max = 75.0;

// e^x and ln x for what only steers the search (the guess, the transformed
// objective, vega), never for a price: within a unit or two of the last
// place, and in every lane at once, which the C library's functions are not.
// e^x: x = k ln 2 + r with |r| <= ln(2)/2, e^r by its Taylor series to r^13
// (remainder below 1e-17), grouped to shorten the chain of dependent steps.
template <class T>
T steer_exp(T x) noexcept {
    using U = typename BitsOf<T>::type;
    constexpr double log2_e = 1.4426950408889634;
    constexpr double ln2_hi = 0x1.62e42fee00000p-1;  // k * ln2_hi is exact for |k| < 2^11
    constexpr double ln2_lo = 0x1.a39ef35793c76p-33;
    constexpr double shift = 0x1.8p52;  // adding it rounds to an integer, kept in the low bits
    const T shifted = x * log2_e + shift;
    const T k = shifted - shift;
    const T r = (x - k * ln2_hi) - k * ln2_lo;
    const T r2 = r * r;
    const T r4 = r2 * r2;
    const T r8 = r4 * r4;
    const T a0 = 1.0 + r, a1 = 0.5 + r * (1.0 / 6), a2 = 1.0 / 24 + r * (1.0 / 120),
            a3 = 1.0 / 720 + r * (1.0 / 5040), a4 = 1.0 / 40320 + r * (1.0 / 362880),
            a5 = 1.0 / 3628800 + r * (1.0 / 39916800), a6 = 1.0 / 479001600 + r * (1.0 / 6227020800);
    const T p = ((a0 + a1 * r2) + (a2 + a3 * r2) * r4) + ((a4 + a5 * r2) + a6 * r4) * r8;
    const U k_bits = std::bit_cast<U>(shifted) - std::bit_cast<U>(T{} + shift);
    const T y = p * std::bit_cast<T>((k_bits + 1023) << 52);
    return patch<lanes::detail::exp>(y, MaskOf<T>((x > -708.0) & (x < 709.0)), x);  // under- and overflow, NaN
}

// ln x = e ln 2 + ln m with m in [sqrt(1/2), sqrt(2)), ln m = 2 atanh(t) with
// t = (m - 1) / (m + 1), |t| < 0.1716, by its series to t^19.
template <class T>
T steer_log(T x) noexcept {
    using U = typename BitsOf<T>::type;
    constexpr double ln2_hi = 0x1.62e42fee00000p-1;
    constexpr double ln2_lo = 0x1.a39ef35793c76p-33;
    const U bits = std::bit_cast<U>(x);
    const T m1 = std::bit_cast<T>((bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    const MaskOf<T> high = m1 > sqrt_2;
    const T m = select(high, 0.5 * m1, m1);
    // The biased exponent as a double: its bits put under 2^52's.
    const T biased = std::bit_cast<T>((bits >> 52) | 0x4330000000000000ULL) - 0x1p52;
    const T e = biased - select(high, T{} + 1022.0, T{} + 1023.0);
    const T t = (m - 1.0) / (m + 1.0);
    const T u = t * t;
    const T u2 = u * u;
    const T u4 = u2 * u2;
    const T p = ((1.0 + u * (1.0 / 3)) + (1.0 / 5 + u * (1.0 / 7)) * u2) +
                ((1.0 / 9 + u * (1.0 / 11)) + (1.0 / 13 + u * (1.0 / 15)) * u2) * u4 +
                (1.0 / 17 + u * (1.0 / 19)) * (u4 * u4);
    const T y = e * ln2_hi + ((2.0 * t) * p + e * ln2_lo);
    return patch<lanes::detail::log>(y, MaskOf<T>((x >= 0x1p-1022) & (x < inf)), x);  // zero, subnormal, negative, inf, NaN
}

// The normal density, for vega.
template <class T>
T steer_pdf(T x) noexcept {
    return steer_exp((-0.5 * x) * x) * formula::frac_1_sqrt_2pi;
}

// ---------------------------------------------------------------- the steps

// The standard normal cdf and its inverse, for the initial guess only.
double norm_cdf(double z) noexcept { return 0.5 * quill::erfc(-z * formula::frac_1_sqrt_2); }
double norm_inv(double p) noexcept { return -sqrt_2 * quill::erfc_inv(p + p); }

// The error function's pieces that matter here: their jumps (about 1e-10 of
// erfc) move the normal cdf by a unit in the last place only while erfc is
// not negligible; from z = 8 on it is below 1e-29, and the pieces count as one.
constexpr std::size_t pieces_to_8 = [] {
    std::size_t n = 0;
    for (double start : quill::erf_piece_starts) n += start <= 8.0 ? 1 : 0;
    return n;
}();

// The piece that npv's normal cdf reads at d (NaN reads the last).
std::size_t erf_piece(double d) noexcept {
    return std::min(quill::erf_piece(std::fabs(d) * formula::frac_1_sqrt_2), pieces_to_8);
}

// ln(g / target), by its series when the two are close (the usual case once
// the steps converge: no logarithm).
template <class T>
T log_ratio(T g, T target, T inv_target) noexcept {
    const T u = (g - target) * inv_target;
    const T series = u * (1.0 + u * (-0.5 + u * (1.0 / 3.0 + u * (-0.25 + u * 0.2))));
    const MaskOf<T> near = fabs(u) < 0x1p-9;
    if (!any(negate(near))) return series;
    return select(near, series, steer_log(g / target));
}

// The objective's Householder step of third order, from its value over its
// first derivative (nu = -g / g') and its second and third derivatives over
// its first.
template <class T>
T householder3(T nu, T h2, T h3) noexcept {
    return nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu * (1.0 / 6.0)));
}

// The same step on the log of a function g with g' / g = r, from the log's
// value ln(g / target) and g's second and third derivatives over its first:
// householder3(-ln / r, h2 - r, h3 - 3 h2 r + 2 r^2) with the fractions
// cleared, one division in place of two.
template <class T>
T householder3_log(T ln, T r, T h2, T h3) noexcept {
    const T k2 = h2 - r;
    const T k3 = h3 - 3.0 * h2 * r + 2.0 * r * r;
    return -ln * (r - 0.5 * k2 * ln) / (r * r - ln * (k2 * r - k3 * ln * (1.0 / 6.0)));
}

// The search for one option (T = double) or for a vector of them, in phases:
// start (one option: the checks, the bounds and npv's vol-free quantities),
// place and guess, then steps, each an evaluation of npv at the current vol
// (arguments, the error function, close) and an advance (judge, move).
template <class T>
struct Search {
    using Mask = MaskOf<T>;

    // The option and the bounds of its price.
    T price, chi, tau, sqrt_tau, carry, log_moneyness, spot_df, strike_df, lower, upper;
    // The guess.
    T ax, y, beta, b_max, s_c, b_c;
    Mask low;
    // The objective.
    T xx, target, inv_target, tolerance;
    Mask plain;
    // The steps: the bracket, the best vol so far, the current vol and npv there.
    T lo, hi, best, best_miss, vol, step;
    formula::Arguments<T> at;
    T npv, vega, miss;
    // The answer so far (the best vol, or a step taken unchecked).
    T answer;

    // The checks, the bounds and npv's vol-free quantities. The lanes whose
    // answer is already known (NaN, or 0 at the lower bound), in `known`, are
    // not live.
    Mask start(T price_, T spot, T strike, T rate, T div_yield, T tau_, T chi_, T& known) noexcept {
        using M = Mask;
        // NaN fails every test below; infinities are refused explicitly (x - x
        // is 0 only for a finite x).
        const M inputs_ok = and_of(M(tau_ > 0.0), M(tau_ < inf), M(spot >= 0.0), M(spot < inf), M(strike >= 0.0),
                                   M(strike < inf), M(price_ >= 0.0), M(rate - rate == 0.0),
                                   M(div_yield - div_yield == 0.0));
        chi = chi_;
        const T df_r = formula::discount(rate, tau_);
        const T df_q = formula::discount(div_yield, tau_);
        spot_df = df_q * spot;
        strike_df = df_r * strike;

        // The price at zero vol, as npv prices it: the intrinsic value against
        // the forward (half of each leg when the forward is the strike).
        const T forward = spot_df / df_r;
        const T certain =
            select(forward == strike, T{} + 0.5, select(M(M(forward > strike) == M(chi > 0.0)), T{} + 1.0, T{} + 0.0));
        lower = formula::npv(chi, spot_df, strike_df, certain, certain);
        upper = select(chi > 0.0, spot_df, strike_df);
        const M bounded = and_of(inputs_ok, M(spot_df < inf), M(strike_df < inf), negate(M(price_ < lower)),
                                 negate(M(price_ > upper)));
        const M at_lower = and_of(bounded, M(price_ == lower));
        // A zero spot or strike leaves the price no room above its intrinsic value.
        const M room = negate(or_of(M(spot == 0.0), M(strike == 0.0)));
        known = select(at_lower, T{} + 0.0, T{} + nan);
        price = price_;
        tau = tau_;
        sqrt_tau = lanes::sqrt(tau_);
        carry = formula::carry(rate, div_yield);
        log_moneyness = formula::log_moneyness(spot, strike);
        return and_of(bounded, negate(at_lower), room);
    }

    // Where the price lies against the inflection point (low: below it).
    void place() noexcept {
        const T x = carry * tau + log_moneyness;
        xx = x * x;

        // The normalised out-of-the-money problem: beta = b(-|x|, s), with
        // b_max = e^(-|x|/2) as the root of the smaller discounted leg over
        // the larger (no exponential).
        ax = fabs(x);
        const T root_s = lanes::sqrt(spot_df);
        const T root_k = lanes::sqrt(strike_df);
        const T inv_norm = 1.0 / (root_s * root_k);
        beta = (price - lower) * inv_norm;
        b_max = select(strike_df < spot_df, strike_df, spot_df) * inv_norm;
        const T root_ax = lanes::sqrt(ax);
        s_c = sqrt_2 * root_ax;
        // b_c / b_max = (1 - e^|x| erfc(sqrt|x|)) / 2, from a polynomial in
        // y = sqrt|x| / (1 + sqrt|x|), fitted offline (relative error below
        // 2e-6: this only places the guess).
        y = root_ax / (1.0 + root_ax);
        b_c = (0.5 * b_max) *
              (y * (1.1283777844432046 +
                    y * (0.1285731017001827 +
                         y * (-0.12429025489139713 +
                              y * (-0.0659301487139004 +
                                   y * (-0.30009962707385185 +
                                        y * (0.6528037046933213 +
                                             y * (-1.0080256948939361 +
                                                  y * (0.8422219299049922 + y * -0.2536306178063629)))))))));
        low = beta < b_c;
    }

    // The first vol, on the side of the inflection point where the price
    // lies; `searching` marks the lanes that need one.
    void guess(Mask searching) noexcept {
        // The tangent at s_c, in units of s_c and in s (b'(s_c) s_c = b_max s_c / sqrt(2 pi)).
        const T t_tangent = 1.0 + (beta - b_c) / (b_max * s_c * formula::frac_1_sqrt_2pi);
        const T s_tangent = t_tangent * s_c;
        T s0 = T{} + nan;
        if (any(Mask(low & searching))) {
            // t = s / s_c from the fitted cubic (see the method above).
            const T x1 = lanes::sqrt(ax / (ax - 4.0 * steer_log(beta / b_c)));
            const T tg = select(t_tangent > 0.0, t_tangent, T{} + 0.0);
            const T t = ((0.0050707871005629575 + y * (-1.3020530420187808 + y * (-2.621526870276896 + y * (-1.5695304605333913)))) + tg * ((1.005244182673008 + y * (3.907530583719591 + y * (2.1404577697615013))) + tg * ((-0.16203479763016712 + y * (-1.8127639403133977)) + tg * ((0.1585981585607977))))) + x1 * (((3.795581002070683 + y * (3.359032124418812 + y * (2.71089130554029))) + tg * ((-12.32161649705193 + y * (-3.4998161300026016)) + tg * ((8.61464531371356)))) + x1 * (((2.4665648907563775 + y * (-1.520891813969067)) + tg * ((-3.0747225893835464))) + x1 * (((0.5922564785013996)))));
            T s_low = t * s_c;
            s_low = select((s_tangent > 0.0) & (s_tangent < s_low), s_tangent, s_low);
            s_low = select(s_low > 0.0, s_low, 0.5 * s_c);
            s0 = s_low;
        }
        const Mask high = negate(low) & searching;
        if (any(high)) {
            for (int i = 0; i < width<T>; ++i) {
                if (!lane(high, i)) continue;
                const double s_up = -2.0 * norm_inv((get_lane(b_max, i) - get_lane(beta, i)) /
                                                    (get_lane(b_max, i) - get_lane(b_c, i)) *
                                                    norm_cdf(-0.5 * get_lane(s_c, i)));
                const double st = get_lane(s_tangent, i);
                double s = s_up > st ? s_up : st;
                if (!(s <= s_max)) s = s_max;
                set_lane(s0, i, s);
            }
        }

        // Objectives: low, log(npv - lower) - log(price - lower); high,
        // log(upper - npv) - log(upper - price), or the plain difference when
        // the price is at the upper bound.
        target = select(low, price - lower, upper - price);
        inv_target = 1.0 / target;
        plain = negate(low) & Mask(upper == price);
        const T scale = spot_df + strike_df;
        tolerance = scale * 0x1p-49;

        lo = T{} + 0.0;
        hi = T{} + inf;
        best = T{} + nan;
        best_miss = T{} + inf;
        vol = s0 / sqrt_tau;
        step = T{} + 0.0;
        answer = T{} + nan;
    }

    // npv and its vega at the current vol: the arguments, then (by the caller)
    // erf at erf_arg(d1) and erf_arg(d2) and the density at d1, then close.
    void arguments() noexcept { at = formula::arguments(vol, sqrt_tau, tau, carry, log_moneyness); }
    T erf_arg(T d) const noexcept { return formula::erf_arg(d, chi); }
    void close(T erf_d1, T erf_d2, T pdf_d1) noexcept {
        npv = formula::npv(chi, spot_df, strike_df, formula::cdf_of_erf(erf_d1), formula::cdf_of_erf(erf_d2));
        vega = (pdf_d1 * spot_df) * sqrt_tau;
    }

    // After an evaluation: keep the best vol, narrow the bracket. False once
    // the price is met or the bracket closed.
    Mask judge() noexcept {
        miss = npv - price;
        const T abs_miss = fabs(miss);
        const Mask better = abs_miss < best_miss;
        best_miss = select(better, abs_miss, best_miss);
        best = select(better, vol, best);
        const Mask above = miss > 0.0;  // a NaN price (an underflowing s) counts as too low
        hi = select(above, vol, hi);
        lo = select(above, lo, vol);
        answer = best;
        const Mask met = best_miss <= tolerance;
        const Mask closed = Mask(hi < inf) & Mask(hi - lo <= hi * 0x1p-51);
        return negate(Mask(met | closed));
    }

    // The next vol. False when there is nowhere left to go or the step is
    // small enough to take unchecked, or the steps are used up.
    Mask move() noexcept {
        // Householder on the transformed objective, in vol: the derivatives
        // in s times powers of sqrt(tau).
        const T s = at.s;
        const T inv_s = 1.0 / s;
        const T xx_s3 = xx * (inv_s * inv_s * inv_s);
        const T c = xx_s3 - 0.25 * s;
        const T h2 = c * sqrt_tau;
        const T h3 = (c * c - 3.0 * xx_s3 * inv_s - 0.25) * tau;
        T next;
        if (!any(plain)) {
            next = step_log(h2, h3);
        } else if (!any(negate(plain))) {
            next = vol + householder3(-miss / vega, h2, h3);
        } else {
            next = select(plain, vol + householder3(-miss / vega, h2, h3), step_log(h2, h3));
        }
        const Mask stuck = next == vol;  // a step below the last place
        // A step this small lands on the root to well below the tolerance,
        // unless it crosses a seam of the error function, where npv jumps:
        // take it unchecked only when it does not.
        const Mask inside = Mask(next > lo) & Mask(next < hi);
        Mask take = inside & Mask(fabs(next - vol) <= vol * 0x1p-20);
        if (any(take)) take &= same_pieces(next);
        if (any(negate(inside))) {
            const T spread = select(Mask(Mask(lo == 0.0) | Mask(hi > 2.0 * lo)),
                                    select(lo == 0.0, 0.5 * hi, lanes::sqrt(lo) * lanes::sqrt(hi)), 0.5 * (lo + hi));
            next = select(inside, next, select(hi == inf, vol * 2.0, spread));
        }
        take &= negate(stuck);
        answer = select(take, next, best);
        vol = next;
        step += 1.0;
        return negate(Mask(stuck | take)) & Mask(step < static_cast<double>(max_steps));
    }

private:
    T step_log(T h2, T h3) const noexcept {
        const T g = select(low, npv - lower, upper - npv);
        const T q = vega / g;
        const T r = select(low, q, -q);
        return vol + householder3_log(log_ratio(g, target, inv_target), r, h2, h3);
    }

    // Whether npv at `v` reads erf in the same pieces as at the current vol.
    Mask same_pieces(T v) const noexcept {
        const formula::Arguments<T> a = formula::arguments(v, sqrt_tau, tau, carry, log_moneyness);
        Mask same{};
        for (int i = 0; i < width<T>; ++i) {
            const bool same_i = erf_piece(get_lane(a.d1, i)) == erf_piece(get_lane(at.d1, i)) &&
                                erf_piece(get_lane(a.d2, i)) == erf_piece(get_lane(at.d2, i));
            if constexpr (std::is_same_v<T, double>) {
                same = same_i;
            } else {
                same[i] = same_i ? -1 : 0;
            }
        }
        return same;
    }
};

// The steps from the current vol until the search ends; the answer.
double finish(Search<double>& o) noexcept {
    do {
        o.arguments();
        o.close(quill::erf(o.erf_arg(o.at.d1)), quill::erf(o.erf_arg(o.at.d2)), steer_pdf(o.at.d1));
    } while (o.judge() && o.move());
    return o.answer;
}

// Lane i of a vector of searches as one search, and back: the quantities
// that start sets, and all of them.
template <class T>
constexpr std::array started_fields{&Search<T>::price,    &Search<T>::chi,           &Search<T>::tau,
                                    &Search<T>::sqrt_tau, &Search<T>::carry,         &Search<T>::log_moneyness,
                                    &Search<T>::spot_df,  &Search<T>::strike_df,     &Search<T>::lower,
                                    &Search<T>::upper};
template <class T>
constexpr std::array search_fields{&Search<T>::ax,         &Search<T>::y,          &Search<T>::beta,
                                   &Search<T>::b_max,      &Search<T>::s_c,        &Search<T>::b_c,
                                   &Search<T>::xx,         &Search<T>::target,     &Search<T>::inv_target,
                                   &Search<T>::tolerance,  &Search<T>::lo,         &Search<T>::hi,
                                   &Search<T>::best,       &Search<T>::best_miss,  &Search<T>::vol,
                                   &Search<T>::step,       &Search<T>::npv,        &Search<T>::vega,
                                   &Search<T>::miss,       &Search<T>::answer};

template <class V>
Search<double> lane_of(const Search<V>& g, int i) noexcept {
    Search<double> o;
    for (std::size_t k = 0; k < started_fields<V>.size(); ++k) o.*started_fields<double>[k] = (g.*started_fields<V>[k])[i];
    for (std::size_t k = 0; k < search_fields<V>.size(); ++k) o.*search_fields<double>[k] = (g.*search_fields<V>[k])[i];
    o.at = {g.at.s[i], g.at.d1[i], g.at.d2[i]};
    o.low = g.low[i] != 0;
    o.plain = g.plain[i] != 0;
    return o;
}

// implied_vol_many over vectors of V's width.
template <class V>
void solve(std::size_t n, const double* price, const double* spot, const double* strike, const double* rate,
           const double* div_yield, const double* tau, const PutCallFlag* pc_flag, double* out) noexcept {
    using M = MaskOf<V>;
    constexpr std::size_t w = width<V>;
    constexpr std::size_t block = 64;
    constexpr std::size_t groups = block / w;
    // A lane with no option to solve carries this one, so that every lane
    // computes on ordinary values; its results are never read.
    static const Search<V> idle = [] {
        Search<double> one;
        double known;
        one.start(0.1, 1.0, 1.0, 0.0, 0.0, 1.0, 1.0, known);
        Search<V> all;
        for (std::size_t f = 0; f < started_fields<V>.size(); ++f) all.*started_fields<V>[f] = V{} + one.*started_fields<double>[f];
        return all;
    }();
    Search<V> g[groups];
    M started[groups];
    M searching[groups];
    for (std::size_t base = 0; base < n; base += block) {
        const std::size_t count = std::min(block, n - base);
        const std::size_t used = (count + w - 1) / w;
        bool any_searching = false;
        for (std::size_t j = 0; j < used; ++j) {
            const std::size_t i = j * w;
            const std::size_t k = base + i;
            const std::size_t here = std::min(w, count - i);
            V chi = V{} + 1.0;
            M present{};
            for (std::size_t l = 0; l < here; ++l) {
                lanes::set_lane(chi, static_cast<int>(l), formula::chi(pc_flag[k + l]));
                present[l] = -1;
            }
            Search<V>& o = g[j];
            V known;
            const M live = present & o.start(lanes::load<V>(price + k, here), lanes::load<V>(spot + k, here),
                                             lanes::load<V>(strike + k, here), lanes::load<V>(rate + k, here),
                                             lanes::load<V>(div_yield + k, here), lanes::load<V>(tau + k, here), chi,
                                             known);
            for (std::size_t l = 0; l < here; ++l) {
                if (!live[l]) out[k + l] = known[l];
            }
            for (std::size_t f = 0; f < started_fields<V>.size(); ++f) {
                o.*started_fields<V>[f] = select(live, o.*started_fields<V>[f], idle.*started_fields<V>[f]);
            }
            started[j] = searching[j] = live;
            any_searching |= any(live);
        }
        if (!any_searching) continue;
        for (std::size_t j = 0; j < used; ++j) {
            g[j].place();
            g[j].guess(searching[j]);
        }
        // Two steps side by side: almost every search ends within them.
        for (int round = 0; round < 2; ++round) {
            alignas(32) double arg[2][block];
            alignas(32) double erf_of[2][block];
            for (std::size_t j = 0; j < used; ++j) {
                g[j].arguments();
                lanes::store(&arg[0][j * w], w, g[j].erf_arg(g[j].at.d1));
                lanes::store(&arg[1][j * w], w, g[j].erf_arg(g[j].at.d2));
            }
            quill::erf_many(used * w, arg[0], erf_of[0]);
            quill::erf_many(used * w, arg[1], erf_of[1]);
            for (std::size_t j = 0; j < used; ++j) {
                Search<V>& o = g[j];
                o.close(lanes::load<V>(&erf_of[0][j * w], w),
                        lanes::load<V>(&erf_of[1][j * w], w), steer_pdf(o.at.d1));
                const V before = o.answer;
                const M judged = o.judge() & searching[j];
                const V judged_answer = o.answer;
                M moving = judged;
                if (any(judged)) moving &= o.move();
                // A lane that had ended keeps its answer; one that ends now
                // keeps judge's or move's.
                o.answer = select(searching[j], select(judged, o.answer, judged_answer), before);
                searching[j] = moving;
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t j = i / w;
            const int l = static_cast<int>(i % w);
            if (!started[j][l]) continue;  // answered by start
            if (searching[j][l]) {
                Search<double> one = lane_of(g[j], l);
                out[base + i] = finish(one);
            } else {
                out[base + i] = g[j].answer[l];
            }
        }
    }
}

#ifdef QUILL_AVX2
// Four lanes where the processor has AVX2 (the same IEEE operations, twice
// as many per instruction); every helper is inlined into it.
__attribute__((target("avx2"), flatten)) void solve_avx2(std::size_t n, const double* price, const double* spot,
                                                         const double* strike, const double* rate,
                                                         const double* div_yield, const double* tau,
                                                         const PutCallFlag* pc_flag, double* out) noexcept {
    solve<V4>(n, price, spot, strike, rate, div_yield, tau, pc_flag, out);
}
#endif

}  // namespace

double implied_vol(double price, double spot, double strike, double rate, double div_yield, double tau,
                   PutCallFlag pc_flag) noexcept {
    Search<double> o;
    double known;
    if (!o.start(price, spot, strike, rate, div_yield, tau, formula::chi(pc_flag), known)) return known;
    o.place();
    o.guess(true);
    return finish(o);
}

void implied_vol_many(std::size_t n, const double* price, const double* spot, const double* strike,
                      const double* rate, const double* div_yield, const double* tau, const PutCallFlag* pc_flag,
                      double* out) noexcept {
#ifdef QUILL_AVX2
    if (lanes::has_avx2()) return solve_avx2(n, price, spot, strike, rate, div_yield, tau, pc_flag, out);
#endif
    solve<V2>(n, price, spot, strike, rate, div_yield, tau, pc_flag, out);
}

}  // namespace quill::black_scholes
