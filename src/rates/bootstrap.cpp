#include "rates/bootstrap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "core/float_text.hpp"
#include "maths/small_exp.hpp"
#include "mkt_data/yield_curve_noded.hpp"

namespace quill {

namespace {

std::string text(std::int32_t serial) { return Date::from_serial(serial).to_string(); }

std::string lower_first(std::string s) {
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

// Node factors outside (0, inf) cannot be reached: exp overflows past 709.
constexpr double max_log = 709.0;
constexpr int max_iterations = 100;

// An instrument's dates before they become points.
struct RawTerms {
    std::vector<std::array<std::int32_t, 3>> floating;  // start, end, pay
    std::vector<std::pair<std::int32_t, double>> fixed;  // pay, year fraction
};

}  // namespace

struct CurveBootstrap::Work {
    double* y;     // node factors, y[0] = 1
    double* p;     // per point: its factor (final once its node is solved)
    double* grad;  // dF/dy per node, zeros to add to (gradient only)
};

std::string CurveBootstrap::name_of(const Instrument& in) {
    return (in.deposit ? "Deposit " : "Swap ") + in.tenor.to_string();
}

std::string CurveBootstrap::name(std::size_t quote) const {
    return name_of(instruments_[node_of_quote_[quote] - 1]);
}

CurveBootstrap::CurveBootstrap(const SwapConventions& conv, std::int32_t curve_date,
                               const std::vector<Tenor>& deposit_tenors, const std::vector<Tenor>& swap_tenors,
                               DayCounter day_counter, InterpType interp_type)
    : curve_date_(curve_date), day_counter_(day_counter), interp_type_(interp_type) {
    if (day_counter == DayCounter::Thirty360) {
        throw Error("Curve day counter (Thirty360) has no day basis to measure the nodes with; use Act365 or Act360");
    }
    if (interp_type != InterpType::Linear && interp_type != InterpType::Geometric) {
        throw Error("Interpolation type (" +
                    std::string(EnumTraits<InterpType>::variants[static_cast<std::size_t>(interp_type)]) +
                    ") cannot be solved for; use Linear or Geometric");
    }
    if (deposit_tenors.empty() && swap_tenors.empty()) throw Error("A curve needs at least one quote");
    spot_ = spot_date(conv, curve_date);
    const BusinessDays& days = conv.cal.days();
    SwapLegs legs;
    std::vector<Instrument> made;
    std::vector<RawTerms> raw;
    made.reserve(deposit_tenors.size() + swap_tenors.size());
    raw.reserve(made.capacity());
    const auto add = [&](bool deposit, const Tenor& tenor) {
        Instrument in{deposit, tenor, made.size(), 0, {}, {}, 0, 0, {}, {}, {}, {}, {}};
        RawTerms terms;
        try {
            if (deposit) {
                if (tenor.count <= 0) throw Error("Tenor must be positive");
                const std::int32_t end = advance_by(days, spot_, tenor, conv.bus_day_adj, conv.end_of_month);
                if (end <= spot_) throw Error("It ends on " + text(end) + ", not after the spot date " + text(spot_));
                const DayCount dc = conv.float_day_count;
                const double tau = dc == DayCount::ActActIcma ? year_fraction_icma(spot_, end, spot_, end)
                                                              : year_fraction(dc, spot_, end);
                terms.floating.push_back({spot_, end, end});
                terms.fixed.emplace_back(end, tau);
                in.last = end;
            } else {
                const std::int32_t end = swap_maturity(conv, spot_, tenor);
                if (!make_legs(conv, spot_, end, legs)) {
                    throw Error("It has no period: its ends adjust to one day, " + text(legs.scratch.front()));
                }
                terms.floating.reserve(legs.floating.size());
                terms.fixed.reserve(legs.fixed.size());
                for (const SwapPeriod& p : legs.floating) terms.floating.push_back({p.start, p.end, p.pay});
                for (const SwapPeriod& p : legs.fixed) terms.fixed.emplace_back(p.pay, p.year_fraction);
                in.last = std::max(legs.floating.back().pay, legs.fixed.back().pay);
            }
        } catch (const Error& e) {
            throw Error(name_of(in) + ": " + lower_first(e.message()));
        }
        made.push_back(std::move(in));
        raw.push_back(std::move(terms));
    };
    for (const Tenor& t : deposit_tenors) add(true, t);
    for (const Tenor& t : swap_tenors) add(false, t);

    const auto refuse_order = [&](const Instrument& later, const Instrument& earlier) {
        throw Error(name_of(later) + " (last payment " + text(later.last) + ") does not end after " +
                    lower_first(name_of(earlier)) + " (last payment " + text(earlier.last) +
                    "): tenors must increase");
    };
    // Each kind in the order given; the two kinds merged by date.
    for (std::size_t k = 1; k < made.size(); ++k) {
        if (made[k].deposit == made[k - 1].deposit && made[k].last <= made[k - 1].last) refuse_order(made[k], made[k - 1]);
    }
    std::vector<std::size_t> order(made.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return made[a].last < made[b].last; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (made[order[k]].last == made[order[k - 1]].last) refuse_order(made[order[k]], made[order[k - 1]]);
    }
    if (made[order[0]].last <= curve_date) {
        throw Error(name_of(made[order[0]]) + " (last payment " + text(made[order[0]].last) +
                    ") does not end after the curve date (" + text(curve_date) + ")");
    }

    // The nodes, and every date once, placed among them.
    const std::size_t n = made.size();
    node_dates_.reserve(n + 1);
    node_dates_.push_back(curve_date);
    for (const std::size_t k : order) node_dates_.push_back(made[k].last);
    const double basis = day_count_basis(day_counter);
    const auto time = [&](std::int32_t d) { return static_cast<double>(d - curve_date) / basis; };
    for (const std::int32_t d : node_dates_) {
        node_times_.push_back(time(d));
        node_days_.push_back(Date::from_serial(d));
    }
    // Every date once, in order, each its point: a bit per day from the
    // first date to the last, a date's point the count of bits before its own.
    const auto sorted = [&](std::size_t k) { return order[k - 1]; };
    std::int32_t first = std::numeric_limits<std::int32_t>::max();
    for (const RawTerms& t : raw) {
        for (const auto& f : t.floating) first = std::min({first, f[0], f[1], f[2]});
        for (const auto& f : t.fixed) first = std::min(first, f.first);
    }
    const std::int32_t last = node_dates_.back();  // no term is paid after the last node
    const auto offset = [&](std::int32_t d) { return static_cast<std::size_t>(std::int64_t{d} - first); };
    std::vector<std::uint64_t> days_used(offset(last) / 64 + 1, 0);
    const auto use = [&](std::int32_t d) { days_used[offset(d) >> 6] |= std::uint64_t{1} << (offset(d) & 63); };
    for (const RawTerms& t : raw) {
        for (const auto& f : t.floating) {
            use(f[0]);
            use(f[1]);
            use(f[2]);
        }
        for (const auto& f : t.fixed) use(f.first);
    }
    std::vector<std::uint32_t> before(days_used.size());  // points in the words before
    std::uint32_t count = 0;
    for (std::size_t w = 0; w < days_used.size(); ++w) {
        before[w] = count;
        count += static_cast<std::uint32_t>(std::popcount(days_used[w]));
    }
    points_.reserve(count);
    std::vector<std::size_t> per_node(n + 1, 0);
    for (std::size_t w = 0; w < days_used.size(); ++w) {
        for (std::uint64_t bits = days_used[w]; bits != 0; bits &= bits - 1) {
            const auto d = static_cast<std::int32_t>(std::int64_t{first} + static_cast<std::int64_t>(64 * w) +
                                                     std::countr_zero(bits));
            points_.push_back(locate(node_times_, time(d)));
            ++per_node[points_.back().hi()];
        }
    }
    settled_by_.resize(n + 1);
    for (std::size_t k = 0; k <= n; ++k) settled_by_[k].reserve(per_node[k]);
    for (std::size_t i = 0; i < points_.size(); ++i) settled_by_[points_[i].hi()].push_back(static_cast<std::uint32_t>(i));
    const auto point = [&](std::int32_t d) {
        const std::size_t o = offset(d);
        const std::uint64_t below = (std::uint64_t{1} << (o & 63)) - 1;
        return before[o >> 6] + static_cast<std::uint32_t>(std::popcount(days_used[o >> 6] & below));
    };
    instruments_.reserve(n);
    node_of_quote_.resize(n);
    for (std::size_t k = 1; k <= n; ++k) {
        Instrument& in = instruments_.emplace_back(std::move(made[sorted(k)]));
        const RawTerms& t = raw[sorted(k)];
        node_of_quote_[in.quote] = k;
        in.floating.reserve(t.floating.size());
        for (const auto& f : t.floating) in.floating.push_back({point(f[0]), point(f[1]), point(f[2])});
        in.fixed.reserve(t.fixed.size());
        for (const auto& f : t.fixed) in.fixed.push_back({point(f.first), f.second});
    }
    // What moves with each node: the terms paid on its segment (the last
    // ones) and their points there.
    settled_rest_.assign(n + 1, {});
    settled_rest_[0] = settled_by_[0];
    for (std::size_t k = 1; k <= n; ++k) {
        Instrument& in = instruments_[k - 1];
        const auto on_own = [&](std::uint32_t p) { return points_[p].hi() == k; };
        while (in.floating_moving < in.floating.size() && !on_own(in.floating[in.floating_moving].pay)) ++in.floating_moving;
        while (in.fixed_moving < in.fixed.size() && !on_own(in.fixed[in.fixed_moving].pay)) ++in.fixed_moving;
        in.moving.reserve(3 * (in.floating.size() - in.floating_moving) + in.fixed.size() - in.fixed_moving);
        for (std::size_t j = in.floating_moving; j < in.floating.size(); ++j) {
            for (const std::uint32_t p : {in.floating[j].start, in.floating[j].end, in.floating[j].pay}) {
                if (on_own(p)) in.moving.push_back(p);
            }
        }
        for (std::size_t j = in.fixed_moving; j < in.fixed.size(); ++j) in.moving.push_back(in.fixed[j].pay);
        std::sort(in.moving.begin(), in.moving.end());
        in.moving.erase(std::unique(in.moving.begin(), in.moving.end()), in.moving.end());
        const auto slot = [&](std::uint32_t p) {
            if (on_own(p)) {
                return static_cast<std::uint32_t>(std::lower_bound(in.moving.begin(), in.moving.end(), p) -
                                                  in.moving.begin());
            }
            auto at = std::find(in.earlier.begin(), in.earlier.end(), p);
            if (at == in.earlier.end()) at = in.earlier.insert(at, p);
            return static_cast<std::uint32_t>(in.moving.size() + static_cast<std::size_t>(at - in.earlier.begin()));
        };
        in.floating_slots.reserve(in.floating.size() - in.floating_moving);
        in.fixed_slots.reserve(in.fixed.size() - in.fixed_moving);
        for (std::size_t j = in.floating_moving; j < in.floating.size(); ++j) {
            const FloatTerm& t = in.floating[j];
            in.floating_slots.push_back({slot(t.start), slot(t.end), slot(t.pay)});
        }
        for (std::size_t j = in.fixed_moving; j < in.fixed.size(); ++j) in.fixed_slots.push_back(slot(in.fixed[j].pay));
        // Its node is its last date: the last point it moves.
        const auto on_node = [&](std::uint32_t p) {
            const CurvePoint& pt = points_[p];
            return pt.hi() == k && (pt.kind == CurvePoint::Kind::node || pt.dx == pt.h);
        };
        if (in.moving.empty() || !on_node(in.moving.back())) {
            fail("Curve bootstrap: " + name_of(in) + " does not end on its node");
        }
        in.weights.reserve(in.moving.size());
        for (const std::uint32_t p : in.moving) {
            in.weights.push_back(on_node(p) ? 1.0 : points_[p].w);
        }
        max_slots_ = std::max(max_slots_, in.moving.size() + in.earlier.size());
        std::vector<std::uint32_t> rest;
        rest.reserve(settled_by_[k].size() - in.moving.size());
        for (const std::uint32_t p : settled_by_[k]) {
            if (!std::binary_search(in.moving.begin(), in.moving.end(), p)) rest.push_back(p);
        }
        settled_rest_[k] = std::move(rest);
    }
}

void CurveBootstrap::gradient(const Instrument& in, double quote, Work& w) const {
    const double* p = w.p;
    // dF/dP(d) spread over the nodes P(d) is made of.
    const auto add = [&](std::uint32_t i, double coefficient) {
        const CurvePoint& pt = points_[i];
        double d_lo, d_hi;
        derivatives(pt, w.y, p[i], interp_type_, d_lo, d_hi);
        w.grad[pt.lo] += coefficient * d_lo;
        if (pt.kind != CurvePoint::Kind::node) w.grad[pt.lo + 1] += coefficient * d_hi;
    };
    if (in.deposit) {
        add(in.floating[0].start, -1.0);
        add(in.fixed[0].pay, 1.0 + quote * in.fixed[0].year_fraction);
        return;
    }
    for (const FloatTerm& t : in.floating) {
        const double ps = p[t.start], pe = p[t.end], pp = p[t.pay];
        add(t.start, pp / pe);
        add(t.end, -ps * pp / (pe * pe));
        add(t.pay, ps / pe - 1.0);
    }
    for (const FixedTerm& t : in.fixed) add(t.pay, -quote * t.year_fraction);
}

void CurveBootstrap::no_curve(const Instrument& in, double quote) const {
    throw Error(name_of(in) + " (" + (in.deposit ? "rate " : "par rate ") + float_text(quote) +
                ") admits no curve: no positive, finite discount factor on " + text(in.last) + " prices it");
}

void CurveBootstrap::solve(const double* quotes, double* dfs, double* jacobian) const {
    const std::size_t n = instruments_.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(quotes[k])) {
            throw Error(name(k) + ": " + (instruments_[node_of_quote_[k] - 1].deposit ? "rate" : "par rate") + " (" +
                        float_text(quotes[k]) + ") is not finite");
        }
    }
    // One allocation: the node factors, the points' factors, per slot of the
    // instrument being solved its factor and first two derivatives in u, per
    // moving point exp(w (u - u0)), and the nodes' logarithms.
    std::vector<double> scratch(n + 1 + points_.size() + 4 * max_slots_ + n + 1, 0.0);
    Work w{scratch.data(), scratch.data() + n + 1, nullptr};
    std::fill(w.y, w.y + n + 1, 1.0);
    double* const value = w.p + points_.size();
    double* const d1 = value + max_slots_;
    double* const d2 = d1 + max_slots_;
    double* const growth = d2 + max_slots_;
    double* const logs = growth + max_slots_;
    const bool linear = interp_type_ == InterpType::Linear;
    // A point of a solved segment: y[lo] exp(w (log y[hi] - log y[lo]))
    // (Geometric), the interpolator's y[lo] (y[hi] / y[lo])^w but for rounding.
    const auto settled = [&](std::uint32_t i) {
        const CurvePoint& pt = points_[i];
        if (pt.kind == CurvePoint::Kind::node || linear) return evaluate(pt, w.y, interp_type_);
        return w.y[pt.lo] * std::exp(pt.w * (logs[pt.lo + 1] - logs[pt.lo]));
    };
    for (const std::uint32_t i : settled_rest_[0]) w.p[i] = settled(i);
    std::vector<double> rows, d_quote;  // dF_i/dy_j (row-major, n + 1 columns) and dF_i/dq_i
    if (jacobian != nullptr) {
        rows.assign(n * (n + 1), 0.0);
        d_quote.assign(n, 0.0);
    }
    for (std::size_t k = 1; k <= n; ++k) {
        const Instrument& in = instruments_[k - 1];
        const double q = quotes[in.quote];
        const double y0 = w.y[k - 1], u0 = logs[k - 1];
        const std::size_t moving = in.moving.size();
        // The terms paid before this node's segment are fixed now, and so are
        // the earlier points of the others.
        double fixed_part = 0.0;
        for (std::size_t j = 0; j < in.floating_moving; ++j) {
            const FloatTerm& t = in.floating[j];
            fixed_part += (w.p[t.start] / w.p[t.end] - 1.0) * w.p[t.pay];
        }
        for (std::size_t j = 0; j < in.fixed_moving; ++j) {
            fixed_part -= q * in.fixed[j].year_fraction * w.p[in.fixed[j].pay];
        }
        for (std::size_t e = 0; e < in.earlier.size(); ++e) {
            value[moving + e] = w.p[in.earlier[e]];
            d1[moving + e] = 0.0;
            d2[moving + e] = 0.0;
        }
        // The moving points at y[k] = exp(u). Geometric: y0 exp(w (u - u0)),
        // each exponential kept and moved by the step's factor, which a short
        // series gives once Newton's steps are small; afresh after a long step.
        double at_u = 0.0;
        bool afresh = true;
        const auto place = [&](double u) {
            if (linear) {
                const double yk = std::exp(u);
                for (std::size_t m = 0; m < moving; ++m) {
                    const CurvePoint& pt = points_[in.moving[m]];
                    if (pt.kind == CurvePoint::Kind::node) {
                        value[m] = d1[m] = d2[m] = yk;
                    } else {
                        value[m] = pt.dx * ((yk - y0) / pt.h) + y0;
                        d1[m] = d2[m] = pt.w * yk;
                    }
                }
                return;
            }
            const double step = u - at_u;
            const double* weight = in.weights.data();
            if (afresh || !(std::abs(step) <= 0.25)) {
                for (std::size_t m = 0; m + 1 < moving; ++m) growth[m] = std::exp(weight[m] * (u - u0));
            } else {
                for (std::size_t m = 0; m + 1 < moving; ++m) growth[m] *= near_exp(weight[m] * step);
            }
            for (std::size_t m = 0; m + 1 < moving; ++m) {
                value[m] = y0 * growth[m];
                d1[m] = weight[m] * value[m];
                d2[m] = weight[m] * d1[m];
            }
            // The node, last of the moving points.
            value[moving - 1] = d1[moving - 1] = d2[moving - 1] = std::exp(u);
            at_u = u;
            afresh = false;
        };
        // The residual at u and its first two derivatives.
        const auto at = [&](double u, double& slope, double& curvature) {
            place(u);
            double f = fixed_part, df = 0.0, ddf = 0.0;
            if (in.deposit) {
                const auto& t = in.floating_slots[0];
                const double g = 1.0 + q * in.fixed[0].year_fraction;
                f = value[t[1]] * g - value[t[0]];
                df = d1[t[1]] * g - d1[t[0]];
                ddf = d2[t[1]] * g - d2[t[0]];
            } else {
                for (const auto& t : in.floating_slots) {
                    const double ps = value[t[0]], pe = value[t[1]], pp = value[t[2]];
                    const double dpe = d1[t[1]], dpp = d1[t[2]];
                    // (ps / pe - 1) pp and its derivatives, through r = ps / pe.
                    const double inverse = 1.0 / pe;
                    const double r = ps * inverse;
                    const double dr = (d1[t[0]] - r * dpe) * inverse;
                    const double ddr = (d2[t[0]] - 2.0 * dr * dpe - r * d2[t[1]]) * inverse;
                    f += (r - 1.0) * pp;
                    df += dr * pp + (r - 1.0) * dpp;
                    ddf += ddr * pp + 2.0 * dr * dpp + (r - 1.0) * d2[t[2]];
                }
                for (std::size_t j = 0; j < in.fixed_slots.size(); ++j) {
                    const std::uint32_t i = in.fixed_slots[j];
                    const double c = q * in.fixed[in.fixed_moving + j].year_fraction;
                    f -= c * value[i];
                    df -= c * d1[i];
                    ddf -= c * d2[i];
                }
            }
            slope = df;
            curvature = ddf;
            return f;
        };
        // A flat forward at the quote (within reason) from the previous node.
        double u = u0 - std::clamp(q, -0.5, 0.5) * (node_times_[k] - node_times_[k - 1]);
        // Newton, bracketed: steps limited (and growing) until the residual
        // changes sign, then kept inside the bracket, bisecting otherwise.
        double neg = 0.0, pos = 0.0, last_finite = u, step_limit = 0.25;
        bool has_neg = false, has_pos = false, done = false;
        for (int it = 0; it < max_iterations && !done; ++it) {
            double slope, curvature;
            const double f = at(u, slope, curvature);
            if (!std::isfinite(f) || !std::isfinite(slope)) {
                afresh = true;
                if (has_neg && has_pos) {
                    u = 0.5 * (neg + pos);
                } else if (u != last_finite) {
                    u = 0.5 * (u + last_finite);
                } else {
                    break;
                }
                continue;
            }
            last_finite = u;
            if (f == 0.0) {
                done = true;
                break;
            }
            (f < 0.0 ? neg : pos) = u;
            (f < 0.0 ? has_neg : has_pos) = true;
            // Halley's step (third order) where it agrees with Newton's in
            // direction and size, Newton's otherwise.
            const double newton = u - f / slope;
            const double halley = u - 2.0 * f * slope / (2.0 * slope * slope - f * curvature);
            const bool cubic = std::isfinite(halley) && (halley - u) * (newton - u) > 0.0 &&
                               std::abs(halley - u) <= 2.0 * std::abs(newton - u);
            const double step = cubic ? halley : newton;
            double next = step;
            if (has_neg && has_pos) {
                const double lo = std::min(neg, pos), hi = std::max(neg, pos);
                if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
                if (hi - lo <= 1e-15 * std::max(1.0, std::abs(u))) done = true;
            } else {
                if (!std::isfinite(next)) break;
                next = std::clamp(next, u - step_limit, u + step_limit);
                step_limit *= 2.0;
                if (next < -max_log || next > max_log) break;
            }
            // A step of d leaves an error of the order of d^3 (Halley) or d^2
            // (Newton): below 1e-7 or 1e-9 the step taken lands on the root to
            // the last bits.
            const double scale = std::max(1.0, std::abs(u));
            const double enough = next != step ? 1e-15 : cubic ? 1e-7 : 1e-9;
            if (std::abs(next - u) <= enough * scale) done = true;
            u = next;
        }
        w.y[k] = std::exp(u);
        if (!done || !(w.y[k] > 0.0) || !std::isfinite(w.y[k])) no_curve(in, q);
        logs[k] = u;
        // The moving points at the root; the segment's other points afresh.
        if (linear) {
            for (const std::uint32_t i : settled_by_[k]) w.p[i] = settled(i);
        } else {
            place(u);
            for (std::size_t m = 0; m < moving; ++m) w.p[in.moving[m]] = value[m];
            for (const std::uint32_t i : settled_rest_[k]) w.p[i] = settled(i);
        }
        if (jacobian != nullptr) {
            w.grad = rows.data() + (k - 1) * (n + 1);
            gradient(in, q, w);
            if (in.deposit) {
                d_quote[k - 1] = w.p[in.fixed[0].pay] * in.fixed[0].year_fraction;
            } else {
                double annuity = 0.0;
                for (const FixedTerm& t : in.fixed) annuity += t.year_fraction * w.p[t.pay];
                d_quote[k - 1] = -annuity;
            }
        }
    }
    std::copy(w.y, w.y + n + 1, dfs);
    if (jacobian == nullptr) return;
    // F(y(q), q) = 0 with dF/dy lower triangular: for each quote, forward
    // substitution down the nodes from its own.
    for (std::size_t col = 0; col < n; ++col) {
        const std::size_t node = node_of_quote_[col];  // 1-based
        for (std::size_t i = 1; i <= n; ++i) {
            double v = 0.0;
            if (i >= node) {
                const double* row = rows.data() + (i - 1) * (n + 1);
                double s = i == node ? d_quote[i - 1] : 0.0;
                for (std::size_t j = node; j < i; ++j) s += row[j] * jacobian[(j - 1) * n + col];
                v = -s / row[i];
            }
            jacobian[(i - 1) * n + col] = v;
        }
    }
}

YieldCurve CurveBootstrap::curve(const double* dfs) const {
    return YieldCurve(std::make_unique<NodedCurve>(node_days_.front(), day_counter_, node_days_,
                                                   std::vector<double>(dfs, dfs + node_dates_.size()), interp_type_));
}

}  // namespace quill
