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
// Many options are solved in passes over a block: every option's set-up, then
// every guess, then each step across the options still searching (with the
// error function of all their arguments at once: erf_many gives erf's very
// bits), so the processor overlaps neighbouring options' independent work.
// Each option meets the very operations of the single-option search, in its
// order.
#include "pricers/implied_vol.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "maths/functions.hpp"
#include "pricers/black_scholes.hpp"

namespace quill::black_scholes {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double sqrt_2 = 1.4142135623730951;
constexpr int max_steps = 64;
// A total volatility beyond which every price is at its upper bound to the
// last bit (N(-s/2) is below 1e-300).
constexpr double s_max = 75.0;

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
int erf_piece(double d) noexcept {
    return static_cast<int>(std::min(quill::erf_piece(std::fabs(d) * formula::frac_1_sqrt_2), pieces_to_8));
}

// ln(g / target), by its series when the two are close (the usual case once
// the steps converge: no logarithm).
double log_ratio(double g, double target, double inv_target) noexcept {
    const double u = (g - target) * inv_target;
    if (std::fabs(u) < 0x1p-9) return u * (1.0 + u * (-0.5 + u * (1.0 / 3.0 + u * (-0.25 + u * 0.2))));
    return std::log(g / target);
}

// The objective's Householder step of third order, from its value over its
// first derivative (nu = -g / g') and its second and third derivatives over
// its first.
double householder3(double nu, double h2, double h3) noexcept {
    return nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu * (1.0 / 6.0)));
}

// The same step on the log of a function g with g' / g = r, from the log's
// value ln(g / target) and g's second and third derivatives over its first:
// householder3(-ln / r, h2 - r, h3 - 3 h2 r + 2 r^2) with the fractions
// cleared, one division in place of two.
double householder3_log(double ln, double r, double h2, double h3) noexcept {
    const double k2 = h2 - r;
    const double k3 = h3 - 3.0 * h2 * r + 2.0 * r * r;
    return -ln * (r - 0.5 * k2 * ln) / (r * r - ln * (k2 * r - k3 * ln * (1.0 / 6.0)));
}

// a when c holds, else b, without a branch that data-dependent conditions
// would mispredict.
double pick(bool c, double a, double b) noexcept {
    const std::uint64_t mask = -static_cast<std::uint64_t>(c);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) | (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// The search for one option, in the phases that the block form runs as
// passes: start (the checks, the bounds and npv's vol-free quantities), guess,
// then steps, each an evaluation of npv at the current vol and an advance.
// start and advance return false once the answer is written to `out`.
class Search {
public:
    bool start(double price, double spot, double strike, double rate, double div_yield, double tau_,
               PutCallFlag pc_flag, double& out) noexcept {
        // NaN fails every test below; infinities are refused explicitly.
        if (!(tau_ > 0.0 && tau_ < inf && spot >= 0.0 && spot < inf && strike >= 0.0 && strike < inf &&
              price >= 0.0 && std::isfinite(rate) && std::isfinite(div_yield))) {
            out = nan;
            return false;
        }
        chi = formula::chi(pc_flag);
        const double df_r = formula::discount(rate, tau_);
        const double df_q = formula::discount(div_yield, tau_);
        spot_df = df_q * spot;
        strike_df = df_r * strike;

        // The price at zero vol, as npv prices it: the intrinsic value against
        // the forward (half of each leg when the forward is the strike).
        const double forward = spot_df / df_r;
        const double certain = pick(forward == strike, 0.5, pick((forward > strike) == (chi > 0.0), 1.0, 0.0));
        lower = formula::npv(chi, spot_df, strike_df, certain, certain);
        upper = chi > 0.0 ? spot_df : strike_df;
        if (!(spot_df < inf && strike_df < inf) || price < lower || price > upper) {
            out = nan;
            return false;
        }
        if (price == lower) {
            out = 0.0;
            return false;
        }
        // A zero spot or strike leaves the price no room above its intrinsic value.
        if (spot == 0.0 || strike == 0.0) {
            out = nan;
            return false;
        }
        this->price = price;
        tau = tau_;
        sqrt_tau = std::sqrt(tau_);
        carry = formula::carry(rate, div_yield);
        log_moneyness = formula::log_moneyness(spot, strike);
        return true;
    }

    // The guess in two parts: where the price lies against the inflection
    // point (returned: whether below it), then the guess on that side.
    bool place() noexcept {
        const double x = carry * tau + log_moneyness;
        xx = x * x;

        // The normalised out-of-the-money problem: beta = b(-|x|, s), with
        // b_max = e^(-|x|/2) as the root of the smaller discounted leg over
        // the larger (no exponential).
        ax = std::fabs(x);
        const double root_s = std::sqrt(spot_df);
        const double root_k = std::sqrt(strike_df);
        const double inv_norm = 1.0 / (root_s * root_k);
        beta = (price - lower) * inv_norm;
        b_max = std::min(spot_df, strike_df) * inv_norm;
        const double root_ax = std::sqrt(ax);
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
        return low;
    }

    void guess() noexcept {
        // The tangent at s_c, in units of s_c and in s (b'(s_c) s_c = b_max s_c / sqrt(2 pi)).
        const double t_tangent = 1.0 + (beta - b_c) / (b_max * s_c * formula::frac_1_sqrt_2pi);
        const double s_tangent = t_tangent * s_c;
        double s0;
        if (low) {
            // t = s / s_c from the fitted cubic (see the method above).
            const double x1 = std::sqrt(ax / (ax - 4.0 * std::log(beta / b_c)));
            const double tg = t_tangent > 0.0 ? t_tangent : 0.0;
            const double t = ((0.0050707871005629575 + y * (-1.3020530420187808 + y * (-2.621526870276896 + y * (-1.5695304605333913)))) + tg * ((1.005244182673008 + y * (3.907530583719591 + y * (2.1404577697615013))) + tg * ((-0.16203479763016712 + y * (-1.8127639403133977)) + tg * ((0.1585981585607977))))) + x1 * (((3.795581002070683 + y * (3.359032124418812 + y * (2.71089130554029))) + tg * ((-12.32161649705193 + y * (-3.4998161300026016)) + tg * ((8.61464531371356)))) + x1 * (((2.4665648907563775 + y * (-1.520891813969067)) + tg * ((-3.0747225893835464))) + x1 * (((0.5922564785013996)))));
            s0 = t * s_c;
            if (s_tangent > 0.0 && s_tangent < s0) s0 = s_tangent;
            if (!(s0 > 0.0)) s0 = 0.5 * s_c;
        } else {
            const double s_up = -2.0 * norm_inv((b_max - beta) / (b_max - b_c) * norm_cdf(-0.5 * s_c));
            s0 = s_up > s_tangent ? s_up : s_tangent;
            if (!(s0 <= s_max)) s0 = s_max;
        }

        // Objectives: low, log(npv - lower) - log(price - lower); high,
        // log(upper - npv) - log(upper - price), or the plain difference when
        // the price is at the upper bound.
        target = low ? price - lower : upper - price;
        inv_target = 1.0 / target;
        plain = !low && upper == price;
        const double scale = spot_df + strike_df;
        tolerance = scale * 0x1p-49;

        lo = 0.0;
        hi = inf;
        best = nan;
        best_miss = inf;
        vol = s0 / sqrt_tau;
        step = 0;
    }

    // npv and its vega at the current vol, from d1 and d2 there.
    void arguments() noexcept { at = formula::arguments(vol, sqrt_tau, tau, carry, log_moneyness); }
    void evaluate() noexcept { close(quill::erf(erf_arg(at.d1)), quill::erf(erf_arg(at.d2))); }
    // evaluate() in two halves, for a block to take the error function of
    // all its options' arguments at once in between: formula::cdf's argument
    // of erf at d, and npv and vega from erf at d1 and d2.
    double erf_arg(double d) const noexcept { return formula::erf_arg(d, chi); }
    void close(double erf_d1, double erf_d2) noexcept {
        npv = formula::npv(chi, spot_df, strike_df, formula::cdf_of_erf(erf_d1), formula::cdf_of_erf(erf_d2));
        vega = (formula::pdf(at.d1) * spot_df) * sqrt_tau;
    }
    const formula::Arguments& arguments_now() const noexcept { return at; }

    // After an evaluation: keep the best vol, narrow the bracket. False once
    // the price is met or the bracket closed, with the answer in `out` (which
    // holds the best vol so far in any case).
    bool judge(double& out) noexcept {
        miss = npv - price;
        const double abs_miss = std::fabs(miss);
        const bool better = abs_miss < best_miss;
        best_miss = pick(better, abs_miss, best_miss);
        best = pick(better, vol, best);
        const bool above = miss > 0.0;  // a NaN price (an underflowing s) counts as too low
        hi = pick(above, vol, hi);
        lo = pick(above, lo, vol);
        out = best;
        const bool met = best_miss <= tolerance;
        const bool closed = (hi < inf) & (hi - lo <= hi * 0x1p-51);
        return !(met | closed);
    }

    // The next vol. False when there is nowhere left to go or the step is
    // small enough to take unchecked, or the steps are used up, with the
    // answer in `out`.
    bool move(double& out) noexcept {
        // Householder on the transformed objective, in vol: the derivatives
        // in s times powers of sqrt(tau).
        const double s = at.s;
        const double inv_s = 1.0 / s;
        const double xx_s3 = xx * (inv_s * inv_s * inv_s);
        const double c = xx_s3 - 0.25 * s;
        const double h2 = c * sqrt_tau;
        const double h3 = (c * c - 3.0 * xx_s3 * inv_s - 0.25) * tau;
        double next;
        if (plain) {
            next = vol + householder3(-miss / vega, h2, h3);
        } else {
            const double g = pick(low, npv - lower, upper - npv);
            const double q = vega / g;
            const double r = pick(low, q, -q);
            next = vol + householder3_log(log_ratio(g, target, inv_target), r, h2, h3);
        }
        const bool stuck = next == vol;  // a step below the last place
        // A step this small lands on the root to well below the tolerance,
        // unless it crosses a seam of the error function, where npv jumps:
        // take it unchecked only when it does not.
        bool take = false;
        if (next > lo && next < hi) {
            take = std::fabs(next - vol) <= vol * 0x1p-20 && same_pieces(next);
        } else if (hi == inf) {
            next = vol * 2.0;
        } else if (lo == 0.0 || hi > 2.0 * lo) {
            next = lo == 0.0 ? 0.5 * hi : std::sqrt(lo) * std::sqrt(hi);
        } else {
            next = 0.5 * (lo + hi);
        }
        take &= !stuck;
        out = pick(take, next, best);
        vol = next;
        ++step;
        return !(stuck | take) & (step < max_steps);
    }

private:
    // Whether npv at `v` reads erf in the same pieces as at the current vol.
    bool same_pieces(double v) const noexcept {
        const formula::Arguments a = formula::arguments(v, sqrt_tau, tau, carry, log_moneyness);
        return erf_piece(a.d1) == erf_piece(at.d1) && erf_piece(a.d2) == erf_piece(at.d2);
    }

    // The option and the bounds of its price.
    double price, chi, tau, sqrt_tau, carry, log_moneyness, spot_df, strike_df, lower, upper;
    // The guess.
    double ax, y, beta, b_max, s_c, b_c;
    // The objective.
    double xx, target, inv_target, tolerance;
    bool low, plain;
    // The steps: the bracket, the best vol so far, the current vol and npv there.
    double lo, hi, best, best_miss, vol;
    int step;
    formula::Arguments at;
    double npv, vega, miss;
};

}  // namespace

double implied_vol(double price, double spot, double strike, double rate, double div_yield, double tau,
                   PutCallFlag pc_flag) noexcept {
    Search search;
    double out;
    if (!search.start(price, spot, strike, rate, div_yield, tau, pc_flag, out)) return out;
    search.place();
    search.guess();
    do {
        search.arguments();
        search.evaluate();
    } while (search.judge(out) && search.move(out));
    return out;
}

void implied_vol_many(std::size_t n, const double* price, const double* spot, const double* strike,
                      const double* rate, const double* div_yield, const double* tau, const PutCallFlag* pc_flag,
                      double* out) noexcept {
    constexpr std::size_t block = 64;
    Search search[block];
    std::uint8_t live[block];  // the options of the block still searching
    for (std::size_t base = 0; base < n; base += block) {
        const std::size_t count = std::min(block, n - base);
        std::size_t m = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t k = base + i;
            live[m] = static_cast<std::uint8_t>(i);
            m += search[i].start(price[k], spot[k], strike[k], rate[k], div_yield[k], tau[k], pc_flag[k], out[k]);
        }
        // The options below their inflection point first, then those above:
        // the guesses differ by side, and one side at a time keeps their
        // branches predictable.
        std::uint8_t sided[block];
        std::size_t lows = 0;
        std::size_t highs = m;
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint8_t i = live[j];
            if (search[i].place()) {
                sided[lows++] = i;
            } else {
                sided[--highs] = i;
            }
        }
        std::copy(sided, sided + m, live);
        for (std::size_t j = 0; j < m; ++j) search[live[j]].guess();
        while (m > 0) {
            for (std::size_t j = 0; j < m; ++j) search[live[j]].arguments();
            double arg[2 * block];
            double erf_of[2 * block];
            for (std::size_t j = 0; j < m; ++j) {
                const Search& o = search[live[j]];
                arg[j] = o.erf_arg(o.arguments_now().d1);
                arg[block + j] = o.erf_arg(o.arguments_now().d2);
            }
            quill::erf_many(m, arg, erf_of);
            quill::erf_many(m, arg + block, erf_of + block);
            for (std::size_t j = 0; j < m; ++j) search[live[j]].close(erf_of[j], erf_of[block + j]);
            std::size_t kept = 0;
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t i = live[j];
                live[kept] = static_cast<std::uint8_t>(i);
                kept += search[i].judge(out[base + i]) && search[i].move(out[base + i]);
            }
            m = kept;
        }
    }
}

}  // namespace quill::black_scholes
