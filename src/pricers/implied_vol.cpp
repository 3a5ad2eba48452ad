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
//    costs one normal cdf; b'(s_c) = b_max / sqrt(2 pi)):
//    - below b_c, the inverse of Jaeckel's lower map
//      b ~ 2 pi |x| / (3 sqrt 3) N(-|x| / (sqrt 3 s))^3 ("Let's Be Rational",
//      2015), or the tangent at s_c where that map does not apply, whichever
//      is lower (the tangent overshoots in the convex part);
//    - above b_c, the upper tail b_max - b ~ c N(-s/2), with c fixed so that
//      it holds at s_c (exact at the money), or the tangent at s_c, whichever
//      is higher (the tangent undershoots in the concave part).
// 2. Third-order Householder steps, on our own npv (the library's formula term
//    for term, with the discount factors and log-moneyness computed once),
//    with the closed-form derivatives above. The objective is transformed as
//    in the papers: below b_c the log of the time value, which is concave in s
//    (Choi, Liu and Seo, 2023), so steps approach the root from below without
//    overshooting; above b_c the log of the distance to the upper bound.
// 3. The steps keep a bracket [lo, hi] of vols whose prices lie either side of
//    the target and fall back to bisection when a step would leave it, so the
//    iteration always ends: when the price is met to within a unit or so of
//    the scale's last place, when the bracket is down to neighbouring doubles,
//    or after a fixed number of steps, with the best vol seen.
//
// Our npv uses an error function good to about 1e-10 relative, with small
// steps where its rational pieces meet, so it is neither the textbook price
// nor perfectly smooth. Converging on it (rather than on the textbook model)
// is what makes npv(implied_vol(p)) give p back; the textbook derivatives only
// steer the steps. Where an out-of-the-money price is so small that npv's
// rounding (a few units of the last place of spot and strike) dominates it,
// every vol in a small band reproduces the price equally well, and the one
// returned is one of them.
#include "pricers/implied_vol.hpp"

#include <cmath>
#include <limits>

#include "maths/functions.hpp"

namespace quill::black_scholes {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double frac_1_sqrt_2 = 0.7071067811865476;    // as in the pricer
constexpr double frac_1_sqrt_2pi = 0.3989422804014327;  // as in the pricer
constexpr double sqrt_2 = 1.4142135623730951;
constexpr double sqrt_3 = 1.7320508075688772;
constexpr double two_pi_over_3_sqrt_3 = 1.2091995761561452;  // 2 pi / (3 sqrt 3)
constexpr int max_steps = 64;
// A total volatility beyond which every price is at its upper bound to the
// last bit (N(-s/2) is below 1e-300).
constexpr double s_max = 75.0;

// The standard normal cdf and its inverse, for the initial guess only.
double norm_cdf(double z) noexcept { return 0.5 * std::erfc(-z * frac_1_sqrt_2); }
double norm_inv(double p) noexcept { return -sqrt_2 * quill::erfc_inv(p + p); }

// The starts of the error function's rational pieces, in |d| / sqrt 2, as far
// as its jumps between pieces (about 1e-10 of erfc) still move the normal cdf
// by a unit in the last place: beyond 8, erfc is below 1e-29.
constexpr double erf_seams[] = {0.5, 0.75, 1.25, 2.25, 3.5, 5.25, 8.0};

int erf_piece(double d) noexcept {
    const double z = std::fabs(d) * frac_1_sqrt_2;
    int k = 0;
    for (double seam : erf_seams) k += z >= seam ? 1 : 0;
    return k;
}

// npv and its vol derivatives at one vol, for an option whose vol-free
// quantities are computed once. The price is the pricer's own expression,
// operation for operation (tau > 0 and vol > 0), so it is npv's very value.
struct Pricer {
    double chi;
    double spot;
    double strike;
    double carry;        // rate - div_yield
    double tau;
    double sqrt_tau;
    double log_moneyness;  // ln spot - ln strike
    double spot_df;      // df_q * spot
    double strike_df;    // df_r * strike

    struct Point {
        double npv;
        double vega;
        double s;  // total volatility
        double d1;
    };

    double cdf(double d) const noexcept { return (quill::erf((d * chi) * frac_1_sqrt_2) + 1.0) * 0.5; }

    Point at(double vol) const noexcept {
        const double s = sqrt_tau * vol;
        const double d1 = (((0.5 * vol) * vol + carry) * tau + log_moneyness) / s;
        const double d2 = d1 - s;
        const double npv = chi * (spot_df * cdf(d1) - strike_df * cdf(d2));
        const double vega = ((std::exp((-0.5 * d1) * d1) * frac_1_sqrt_2pi) * spot_df) * sqrt_tau;
        return {npv, vega, s, d1};
    }

    // Whether npv at `vol` reads erf in the same pieces as at the point p.
    bool same_pieces(const Point& p, double vol) const noexcept {
        const double s = sqrt_tau * vol;
        const double d1 = (((0.5 * vol) * vol + carry) * tau + log_moneyness) / s;
        return erf_piece(d1) == erf_piece(p.d1) && erf_piece(d1 - s) == erf_piece(p.d1 - p.s);
    }
};

// ln(g / target), by its series when the two are close (the usual case once
// the steps converge: one logarithm fewer).
double log_ratio(double g, double target, double log_target) noexcept {
    const double u = (g - target) / target;
    if (std::fabs(u) < 0x1p-9) return u * (1.0 + u * (-0.5 + u * (1.0 / 3.0 + u * (-0.25 + u * 0.2))));
    return std::log(g) - log_target;
}

// The objective's Householder step of third order, from its value over its
// first derivative (nu = -g / g') and its second and third derivatives over
// its first.
double householder3(double nu, double h2, double h3) noexcept {
    return nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu * (1.0 / 6.0)));
}

}  // namespace

double implied_vol(double price, double spot, double strike, double rate, double div_yield, double tau,
                   PutCallFlag pc_flag) noexcept {
    // NaN fails every test below; infinities are refused explicitly.
    if (!(tau > 0.0 && tau < inf && spot >= 0.0 && spot < inf && strike >= 0.0 && strike < inf && price >= 0.0 &&
          std::isfinite(rate) && std::isfinite(div_yield))) {
        return nan;
    }
    const double chi = pc_flag == PutCallFlag::Call ? 1.0 : -1.0;
    const double df_r = std::exp(-rate * tau);
    const double df_q = std::exp(-div_yield * tau);
    const double spot_df = df_q * spot;
    const double strike_df = df_r * strike;

    // The price at zero vol, as npv prices it: the intrinsic value against
    // the forward (half of each leg when the forward is the strike).
    const double forward = spot_df / df_r;
    const double certain = forward == strike ? 0.5 : (forward > strike) == (chi > 0.0) ? 1.0 : 0.0;
    const double lower = chi * (spot_df * certain - strike_df * certain);
    const double upper = chi > 0.0 ? spot_df : strike_df;
    if (!(spot_df < inf && strike_df < inf) || price < lower || price > upper) return nan;
    if (price == lower) return 0.0;
    // A zero spot or strike leaves the price no room above its intrinsic value.
    if (spot == 0.0 || strike == 0.0) return nan;

    const Pricer pricer{chi,  spot, strike, rate - div_yield, tau, std::sqrt(tau), std::log(spot) - std::log(strike),
                        spot_df, strike_df};
    const double x = pricer.carry * tau + pricer.log_moneyness;
    const double xx = x * x;

    // The normalised out-of-the-money problem: beta = b(-|x|, s).
    const double ax = std::fabs(x);
    const double time_value = price - lower;
    const double norm = std::sqrt(spot_df) * std::sqrt(strike_df);
    const double beta = time_value / norm;
    const double b_max = std::exp(-0.5 * ax);
    const double s_c = std::sqrt(2.0 * ax);
    const double b_c = 0.5 * b_max - norm_cdf(-s_c) / b_max;
    const double v_c = b_max * frac_1_sqrt_2pi;
    const double s_tangent = s_c + (beta - b_c) / v_c;
    const bool low = beta < b_c;
    double s0;
    if (low) {
        const double u = std::cbrt(beta / (two_pi_over_3_sqrt_3 * ax));
        s0 = u < 0.5 ? -ax / (sqrt_3 * norm_inv(u)) : s_tangent;
        if (s_tangent > 0.0 && s_tangent < s0) s0 = s_tangent;
        if (!(s0 > 0.0)) s0 = 0.5 * s_c;
    } else {
        const double s_up = -2.0 * norm_inv((b_max - beta) / (b_max - b_c) * norm_cdf(-0.5 * s_c));
        s0 = s_up > s_tangent ? s_up : s_tangent;
        if (!(s0 <= s_max)) s0 = s_max;
    }

    // Objectives: low, log(npv - lower) - log(price - lower); high, log(upper -
    // npv) - log(upper - price), or the plain difference when the price is at
    // the upper bound.
    const double target = low ? time_value : upper - price;
    const double log_target = std::log(target);
    const bool plain = !low && upper == price;
    const double scale = spot_df + strike_df;
    const double tolerance = scale * 0x1p-49;

    double lo = 0.0;
    double hi = inf;
    double best = nan;
    double best_miss = inf;
    double vol = s0 / pricer.sqrt_tau;
    for (int step = 0; step < max_steps; ++step) {
        const Pricer::Point p = pricer.at(vol);
        const double miss = p.npv - price;
        if (std::fabs(miss) < best_miss) {
            best_miss = std::fabs(miss);
            best = vol;
        }
        if (best_miss <= tolerance) return best;
        if (miss > 0.0) {
            hi = vol;
        } else {
            lo = vol;  // a NaN price (an underflowing s) counts as too low
        }
        if (hi < inf && hi - lo <= hi * 0x1p-51) return best;

        // Householder on the transformed objective, in vol: the derivatives
        // in s times powers of sqrt(tau).
        const double s = p.s;
        const double xx_s3 = xx / (s * s * s);
        const double c = xx_s3 - 0.25 * s;
        const double h2 = c * pricer.sqrt_tau;
        const double h3 = (c * c - 3.0 * xx_s3 / s - 0.25) * tau;
        double next;
        if (plain) {
            next = vol + householder3(-miss / p.vega, h2, h3);
        } else {
            const double g = low ? p.npv - lower : upper - p.npv;
            const double r = low ? p.vega / g : -p.vega / g;
            next = vol + householder3(-log_ratio(g, target, log_target) / r, h2 - r, h3 - 3.0 * h2 * r + 2.0 * r * r);
        }
        if (next == vol) return best;  // a step below the last place: nowhere left to go
        if (next > lo && next < hi) {
            // A step this small lands on the root to well below the
            // tolerance, unless it crosses a seam of the error function,
            // where npv jumps: take it unchecked only when it does not.
            if (std::fabs(next - vol) <= vol * 0x1p-20 && pricer.same_pieces(p, next)) return next;
        } else if (hi == inf) {
            next = vol * 2.0;
        } else if (lo == 0.0 || hi > 2.0 * lo) {
            next = lo == 0.0 ? 0.5 * hi : std::sqrt(lo) * std::sqrt(hi);
        } else {
            next = 0.5 * (lo + hi);
        }
        vol = next;
    }
    return best;
}

}  // namespace quill::black_scholes
