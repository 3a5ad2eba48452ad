#include "rates/bond.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "core/civil.hpp"
#include "core/errors.hpp"
#include "core/float_text.hpp"
#include "datetime/date.hpp"
#include "mkt_data/yield_curve.hpp"
#include "rates/coupon_dates.hpp"

namespace quill {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The longest run of days without a business day in the calendar's data
// (its holidays; the weekend mask alone leaves at most six).
std::int64_t longest_closure(const BusinessCalendar& cal) {
    const CalendarDays& content = cal.content();
    if (content.holidays.empty()) return 6;
    const BusinessDays& days = cal.days();
    const std::int64_t lo = std::int64_t{content.holidays.front()} - 8;
    const std::int64_t hi = std::int64_t{content.holidays.back()} + 8;
    std::int64_t longest = 6;
    std::int64_t b = days.next(lo);
    while (b <= hi) {  // one step per business day of the span
        const std::int64_t n = days.next(b + 1);
        if (n == BusinessDays::none) return std::numeric_limits<std::int64_t>::max();
        longest = std::max(longest, n - b - 1);
        b = n;
    }
    return longest;
}

}  // namespace

// ---------------------------------------------------------------- conventions

std::uint8_t coupon_months(const Tenor& tenor) {
    int months = 0;
    if (tenor.unit == TenorUnit::M) months = tenor.count;
    if (tenor.unit == TenorUnit::Y && tenor.count == 1) months = 12;
    if (months == 1 || months == 2 || months == 3 || months == 4 || months == 6 || months == 12) {
        return static_cast<std::uint8_t>(months);
    }
    throw Error("Coupon tenor (" + tenor.to_string() +
                ") must be a whole number of coupons a year: 1M, 2M, 3M, 4M, 6M, 12M or 1Y");
}

void check_bond_lag(const char* what, std::int64_t days) {
    if (days < 0 || days > 366) {
        throw Error(std::string(what) + " (" + std::to_string(days) + ") must be from 0 to 366 business days");
    }
}

void check_face(double face) {
    if (!(face > 0.0) || !std::isfinite(face)) throw Error("Face (" + float_text(face) + ") must be positive and finite");
}

BondConventions::BondConventions(const Tenor& tenor, DayCount day_count, std::optional<BusinessCalendar> calendar,
                                 BusDayAdj accrual_adj, BusDayAdj payment_adj, StubType stub, bool end_of_month,
                                 std::int32_t settlement_days, std::int32_t ex_coupon_days, double face)
    : tenor_(tenor),
      months_(coupon_months(tenor)),
      day_count_(day_count),
      calendar_(std::move(calendar)),
      business_(calendar_ ? *calendar_ : BusinessCalendar::from_holidays(0x1f, {})),
      accrual_adj_(accrual_adj),
      payment_adj_(payment_adj),
      stub_(stub),
      end_of_month_(end_of_month),
      settlement_days_(settlement_days),
      ex_coupon_days_(ex_coupon_days),
      face_(face) {
    check_bond_lag("Settlement days", settlement_days);
    check_bond_lag("Ex-coupon days", ex_coupon_days);
    check_face(face);
    // Regular dates lie at least 28 days apart: shorter closures never adjust
    // two of them onto one day.
    short_closures_ = longest_closure(business_) <= 20;
}

bool BondConventions::operator==(const BondConventions& o) const noexcept {
    return tenor_.count == o.tenor_.count && tenor_.unit == o.tenor_.unit && day_count_ == o.day_count_ &&
           calendar_.has_value() == o.calendar_.has_value() && (!calendar_ || *calendar_ == *o.calendar_) &&
           accrual_adj_ == o.accrual_adj_ && payment_adj_ == o.payment_adj_ && stub_ == o.stub_ &&
           end_of_month_ == o.end_of_month_ && settlement_days_ == o.settlement_days_ &&
           ex_coupon_days_ == o.ex_coupon_days_ && face_ == o.face_;
}

std::size_t BondConventions::hash() const noexcept {
    std::size_t h = calendar_ ? calendar_->hash() : 0x9e3779b97f4a7c15ull;
    const auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    mix(static_cast<std::size_t>(tenor_.count) * 8 + static_cast<std::size_t>(tenor_.unit));
    mix(static_cast<std::size_t>(day_count_));
    mix(static_cast<std::size_t>(accrual_adj_) * 16 + static_cast<std::size_t>(payment_adj_) * 4 +
        static_cast<std::size_t>(end_of_month_));
    mix(static_cast<std::size_t>(stub_));
    mix(static_cast<std::size_t>(settlement_days_) * 1024 + static_cast<std::size_t>(ex_coupon_days_));
    mix(std::hash<double>{}(face_ == 0.0 ? 0.0 : face_));
    return h;
}

// ---------------------------------------------------------------- one bond's payments from a settlement date

namespace {

using bond_detail::CouponDates;
using bond_detail::Grid;
using bond_detail::icma_part;

// Thread-local room for the payments of one bond at a time.
struct Scratch {
    std::vector<std::int32_t> accruals;  // accrual dates from the first coupon paid after settlement
    std::vector<std::int32_t> payment;
    std::vector<double> amount;          // what each payment pays (the redemption added to the last)
    std::vector<double> step;            // its time from the one before (the first: from settlement), times f
    // The steps take few values (whole periods, a few day counts): each
    // payment's step as an index into `steps`, or `own` when it has its own.
    static constexpr std::uint8_t own = 255;
    static constexpr std::size_t max_steps = 16;
    std::vector<std::uint8_t> kind;
    std::array<double, max_steps> steps{};
    std::size_t nsteps = 0;

    std::uint8_t kind_of(double step) noexcept {
        for (std::size_t i = 0; i < nsteps; ++i) {
            if (steps[i] == step) return static_cast<std::uint8_t>(i);
        }
        if (nsteps == max_steps) return own;
        steps[nsteps] = step;
        return static_cast<std::uint8_t>(nsteps++);
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// The terms every analytic checks first.
bool valid_terms(std::int32_t settle, std::int32_t start, std::int32_t maturity, double coupon) noexcept {
    return start < maturity && settle >= start && settle < maturity && coupon >= 0.0 && std::isfinite(coupon);
}

// A bond's payments after `settle` and its accrued interest, under the
// conventions: the payments in `s` (amount and time step per payment date).
class Payments {
public:
    Payments(const BondConventions& c, CouponDates& dates) : c_(c), dates_(dates) {}

    // False when no payment follows the settlement date.
    bool make(std::int32_t settle, double coupon, bool steps) {
        const int n = dates_.periods();
        const int k = dates_.next_payment(settle);
        if (k > n) return false;
        Scratch& s = scratch();
        const auto count = static_cast<std::size_t>(n - k + 1);
        s.accruals.resize(count + 1);
        s.payment.resize(count);
        s.amount.resize(count);
        s.step.resize(count);
        s.kind.resize(count);
        s.nsteps = 0;
        // Accrual dates k-1 .. n, each computed once.
        for (int j = k - 1; j <= n; ++j) s.accruals[static_cast<std::size_t>(j - k + 1)] = dates_.accrual(j);
        const Grid grid(dates_, s.accruals.data(), k - 1);
        const std::int32_t maturity = s.accruals.back();
        const double face = c_.face(), f = c_.frequency();
        const DayCount dc = c_.day_count();
        const bool icma = dc == DayCount::ActActIcma;
        const BusinessDays& days = c_.days();
        const BusDayAdj pay_adj = c_.payment_adj();
        const bool first_regular = dates_.first_regular(), last_regular = dates_.last_regular();
        bool ex = c_.ex_coupon_days() > 0;  // ex dates increase: once one is after settlement, the rest are
        std::int32_t last = settle;
        int hint = k - 1;
        for (int i = k; i <= n; ++i) {
            const auto at = static_cast<std::size_t>(i - k);
            const std::int32_t start = s.accruals[at], end = s.accruals[at + 1];
            const std::int32_t pay = days.adjust(end, pay_adj);
            // A period between two accrual dates that are reference dates is its own reference period.
            const bool own_reference = icma && (i > 1 || first_regular) && (i < n || last_regular);
            double fraction;
            if (own_reference) {
                fraction = icma_part(start, end, start, end);
            } else if (icma) {
                fraction = grid.span(start, end, hint);
            } else {
                fraction = year_fraction(dc, start, end, maturity);
            }
            double amount = face * (coupon * fraction);
            if (ex && days.advance(pay, -c_.ex_coupon_days()) <= settle) {
                if (i == k) accrued_ = accrued(settle, start, end, coupon, true, grid, maturity);
                amount = 0.0;
            } else {
                if (i == k) accrued_ = accrued(settle, start, end, coupon, false, grid, maturity);
                ex = false;
            }
            if (i == n) amount += face;
            s.amount[at] = amount;
            s.payment[at] = pay;
            if (steps) {
                double t;
                if (own_reference && last == start && pay == end) {
                    t = fraction;
                } else if (icma) {
                    int h = hint;
                    t = grid.span(last, pay, h);
                } else if (last != start) {
                    t = year_fraction(dc, start, pay, maturity) - year_fraction(dc, start, last, maturity);
                } else {
                    t = year_fraction(dc, last, pay, maturity);
                }
                s.step[at] = t * f;
                s.kind[at] = s.kind_of(s.step[at]);
            }
            last = pay;
            hint = i;
        }
        return true;
    }

    double accrued() const noexcept { return accrued_; }

    // The accrued interest of the coupon paid next, as QuantLib's
    // FixedRateCoupon::accruedAmount: nothing on or before its accrual start;
    // inside the ex-coupon period the (negative) rest of the period.
    double accrued(std::int32_t settle, std::int32_t start, std::int32_t end, double coupon, bool ex, const Grid& grid,
                   std::int32_t maturity) const {
        if (settle <= start) return 0.0;
        const bool icma = c_.day_count() == DayCount::ActActIcma;
        int hint = grid.first_index();
        if (ex) {
            const std::int32_t to = std::max(settle, end);
            const double fraction = icma ? grid.span(settle, to, hint) : year_fraction(c_.day_count(), settle, to, maturity);
            return -(c_.face() * (coupon * fraction));
        }
        const std::int32_t to = std::min(settle, end);
        const double fraction = icma ? grid.span(start, to, hint) : year_fraction(c_.day_count(), start, to, maturity);
        return c_.face() * (coupon * fraction);
    }

private:
    const BondConventions& c_;
    CouponDates& dates_;
    double accrued_ = 0.0;
};

// The dirty price at log(1 + y/f) = `l`, with sums of its payments weighted
// by their times (in periods): each payment discounted by the running product
// of its steps' factors (1 + y/f)^-step, as QuantLib's CashFlows::npv does.
struct Value {
    double price, slope;
};

struct Sums {
    double price = 0.0, timed = 0.0, squared = 0.0;  // sums of a B, a E B, a E (E + 1) B
};

template <bool Timed, bool Squared>
Sums sums_at(const Scratch& s, double l) noexcept {
    std::array<double, Scratch::max_steps> factor;
    const double v = std::exp(-l);
    for (std::size_t i = 0; i < s.nsteps; ++i) factor[i] = s.steps[i] == 1.0 ? v : std::exp(-s.steps[i] * l);
    double discount = 1.0, time = 0.0;
    Sums out;
    const std::size_t n = s.amount.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t kind = s.kind[i];
        discount *= kind != Scratch::own ? factor[kind] : std::exp(-s.step[i] * l);
        const double a = s.amount[i] * discount;
        out.price += a;
        if constexpr (Timed || Squared) time += s.step[i];
        if constexpr (Timed) out.timed += a * time;
        if constexpr (Squared) out.squared += a * time * (time + 1);
    }
    return out;
}

Value value_at(const Scratch& s, double l) noexcept {
    const Sums sums = sums_at<true, false>(s, l);
    return {sums.price, -sums.timed};
}

// The root of a decreasing convex function f(x) = target, searched by Newton
// steps kept inside a bracket that is widened first (bounded): NaN when the
// bracket holds no root. `eval(x)` returns {f(x), f'(x)}.
template <class F>
double solve_decreasing(F eval, double target, double guess) {
    constexpr int max_steps = 200;
    double lo = -std::numeric_limits<double>::infinity(), hi = std::numeric_limits<double>::infinity();
    double x = guess;
    Value v = eval(x);
    for (int i = 0; i < max_steps; ++i) {
        if (std::isnan(v.price)) return nan_value;
        const double gap = v.price - target;
        if (gap == 0.0) return x;
        if (gap > 0.0) {
            lo = x;
        } else {
            hi = x;
        }
        double next = x;
        if (v.slope < 0.0 && std::isfinite(v.price)) next = x - gap / v.slope;
        if (!(next > lo && next < hi)) {
            // Outside the bracket (or no slope): halve it, or widen it while one side is open.
            if (std::isfinite(lo) && std::isfinite(hi)) {
                next = lo + (hi - lo) / 2;
            } else if (std::isfinite(lo)) {
                next = lo + std::max(1.0, std::abs(lo));
            } else {
                next = hi - std::max(1.0, std::abs(hi));
            }
        }
        if (next == x || (std::isfinite(lo) && std::isfinite(hi) && (next <= lo || next >= hi))) return x;
        const double move = std::abs(next - x);
        x = next;
        v = eval(x);
        if (move <= 4 * std::numeric_limits<double>::epsilon() * std::abs(x)) {
            // Converged to the last digits; take the better of the two ends when bracketed.
            return std::isnan(v.price) ? nan_value : x;
        }
        if (std::abs(x) > 1e6) return nan_value;  // no root at any sensible yield or spread
    }
    return nan_value;
}

// Set up the payments of one bond; false (NaN) when the bond has none.
bool prepare(CouponDates& dates, Payments& payments, std::int32_t settle,
             std::int32_t start, std::int32_t maturity, double coupon, bool steps) {
    if (!valid_terms(settle, start, maturity, coupon)) return false;
    if (!dates.make(start, maturity)) return false;
    return payments.make(settle, coupon, steps);
}

// log(1 + y/f), or NaN where the yield has no discount factor.
double log_base(const BondConventions& c, double ytm) noexcept {
    const double l = std::log1p(ytm / c.frequency());
    return std::isfinite(l) ? l : nan_value;
}

template <class F>
double guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const Error&) {
    } catch (const Failure&) {
    } catch (const std::bad_alloc&) {
    }
    return nan_value;
}

}  // namespace

// ---------------------------------------------------------------- analytics

double bond_accrued(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                    double coupon) noexcept {
    return guarded([&] {
        if (!valid_terms(settle, start, maturity, coupon)) return nan_value;
        CouponDates dates(c);
        if (!dates.make(start, maturity)) return nan_value;
        const int k = dates.next_payment(settle);
        if (k > dates.periods()) return nan_value;
        std::array<std::int32_t, 2> around{dates.accrual(k - 1), dates.accrual(k)};
        const Grid grid(dates, around.data(), k - 1, k);
        bool ex = false;
        if (c.ex_coupon_days() > 0) {
            const std::int32_t pay = c.days().adjust(around[1], c.payment_adj());
            ex = c.days().advance(pay, -c.ex_coupon_days()) <= settle;
        }
        Payments p(c, dates);
        return p.accrued(settle, around[0], around[1], coupon, ex, grid, dates.accrual(dates.periods()));
    });
}

double bond_dirty_price(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                        double coupon, double ytm) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm);
        CouponDates dates(c);
        Payments p(c, dates);
        if (std::isnan(l) || !prepare(dates, p, settle, start, maturity, coupon, true)) return nan_value;
        return sums_at<false, false>(scratch(), l).price;
    });
}

double bond_clean_price(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                        double coupon, double ytm) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm);
        CouponDates dates(c);
        Payments p(c, dates);
        if (std::isnan(l) || !prepare(dates, p, settle, start, maturity, coupon, true)) return nan_value;
        return sums_at<false, false>(scratch(), l).price - p.accrued();
    });
}

double bond_ytm(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                double coupon, double clean_price) noexcept {
    return guarded([&] {
        if (!std::isfinite(clean_price)) return nan_value;
        CouponDates dates(c);
        Payments p(c, dates);
        if (!prepare(dates, p, settle, start, maturity, coupon, true)) return nan_value;
        const double target = clean_price + p.accrued();
        if (!(target > 0.0)) return nan_value;
        const Scratch& s = scratch();
        // Jensen: the price at the cash-weighted mean time's rate is at least
        // the target, so the guess lies left of the root and Newton climbs.
        double cash = 0.0, weighted = 0.0, time = 0.0;
        for (std::size_t i = 0; i < s.amount.size(); ++i) {
            time += s.step[i];
            cash += s.amount[i];
            weighted += s.amount[i] * time;
        }
        if (!(cash > 0.0) || !(weighted > 0.0)) return nan_value;
        const double guess = std::log(cash / target) / (weighted / cash);
        const double l = solve_decreasing([&](double x) { return value_at(s, x); }, target, guess);
        return std::isnan(l) ? nan_value : c.frequency() * std::expm1(l);
    });
}

double bond_duration(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                     double coupon, double ytm, bool macaulay) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm);
        CouponDates dates(c);
        Payments p(c, dates);
        if (std::isnan(l) || !prepare(dates, p, settle, start, maturity, coupon, true)) return nan_value;
        const double f = c.frequency();
        const Sums sums = sums_at<true, false>(scratch(), l);
        if (sums.price == 0.0) return 0.0;
        const double mac = sums.timed / f / sums.price;
        return macaulay ? mac : mac / (1.0 + ytm / f);
    });
}

double bond_convexity(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                      double coupon, double ytm) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm);
        CouponDates dates(c);
        Payments p(c, dates);
        if (std::isnan(l) || !prepare(dates, p, settle, start, maturity, coupon, true)) return nan_value;
        const double f = c.frequency();
        const double base = 1.0 + ytm / f;
        const Sums sums = sums_at<false, true>(scratch(), l);
        if (sums.price == 0.0) return 0.0;
        return sums.squared / (f * f * base * base) / sums.price;
    });
}

double bond_dv01(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                 double coupon, double ytm) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm), down = log_base(c, ytm - 0.0001);
        CouponDates dates(c);
        Payments p(c, dates);
        if (std::isnan(l) || std::isnan(down) || !prepare(dates, p, settle, start, maturity, coupon, true)) {
            return nan_value;
        }
        const Scratch& s = scratch();
        return sums_at<false, false>(s, down).price - sums_at<false, false>(s, l).price;
    });
}

namespace {

// The discount factors of the payments over that of the settlement date, and
// the curve's times from the settlement date to each.
struct CurvePayments {
    std::vector<double> weight, time;
};

CurvePayments& curve_scratch() {
    thread_local CurvePayments s;
    return s;
}

void curve_weights(const CurveModel& curve, std::int32_t settle, CurvePayments& out) {
    const Scratch& s = scratch();
    const DayCounter dc = curve.day_counter();
    const Date& curve_date = curve.curve_date();
    const Date settle_date = Date::from_serial(settle);
    const double at_settle = curve.df(settle_date);
    const double t_settle = year_fraction(dc, curve_date, settle_date);
    out.weight.clear();
    out.time.clear();
    for (std::size_t i = 0; i < s.payment.size(); ++i) {
        const Date d = Date::from_serial(s.payment[i]);
        out.weight.push_back(curve.df(d) / at_settle);
        out.time.push_back(year_fraction(dc, curve_date, d) - t_settle);
    }
}

// Errors of the curve pass; those of the bond's own dates give NaN.
template <class F>
double curve_guarded(F&& f) {
    try {
        return f();
    } catch (const Error&) {
        return nan_value;
    }
}

}  // namespace

double bond_dirty_price_from_curve(const BondConventions& c, const CurveModel& curve, std::int32_t settle,
                                   std::int32_t start, std::int32_t maturity, double coupon) {
    CouponDates dates(c);
    Payments p(c, dates);
    const bool ok = curve_guarded([&] { return prepare(dates, p, settle, start, maturity, coupon, false) ? 1.0 : 0.0; }) == 1.0;
    if (!ok) return nan_value;
    CurvePayments& w = curve_scratch();
    curve_weights(curve, settle, w);
    const Scratch& s = scratch();
    double total = 0.0;
    for (std::size_t i = 0; i < s.amount.size(); ++i) total += s.amount[i] * w.weight[i];
    return total;
}

double bond_zspread(const BondConventions& c, const CurveModel& curve, std::int32_t settle, std::int32_t start,
                    std::int32_t maturity, double coupon, double clean_price) {
    if (!std::isfinite(clean_price)) return nan_value;
    CouponDates dates(c);
    Payments p(c, dates);
    const bool ok = curve_guarded([&] { return prepare(dates, p, settle, start, maturity, coupon, false) ? 1.0 : 0.0; }) == 1.0;
    if (!ok) return nan_value;
    const double target = clean_price + p.accrued();
    if (!(target > 0.0)) return nan_value;
    CurvePayments& w = curve_scratch();
    curve_weights(curve, settle, w);
    const Scratch& s = scratch();
    const std::size_t n = s.amount.size();
    double cash = 0.0, timed = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = s.amount[i] * w.weight[i];
        cash += a;
        timed += a * w.time[i];
    }
    if (!(cash > 0.0) || !(timed > 0.0)) return nan_value;
    const auto eval = [&](double z) {
        double price = 0.0, slope = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = s.amount[i] * w.weight[i] * std::exp(-z * w.time[i]);
            price += a;
            slope -= a * w.time[i];
        }
        return Value{price, slope};
    };
    return solve_decreasing(eval, target, std::log(cash / target) / (timed / cash));
}

// ---------------------------------------------------------------- cash flows

std::vector<BondCashFlow> bond_cashflows(const BondConventions& c, std::int32_t start, std::int32_t maturity,
                                         double coupon) {
    if (!(start < maturity)) {
        throw Error("Bond maturity (" + Date::from_serial(maturity).to_string() + ") must be after its start (" +
                    Date::from_serial(start).to_string() + ")");
    }
    if (!(coupon >= 0.0) || !std::isfinite(coupon)) {
        throw Error("Coupon (" + float_text(coupon) + ") must be positive or zero and finite");
    }
    CouponDates dates(c);
    if (!dates.make(start, maturity)) {
        throw Error("Bond from " + Date::from_serial(start).to_string() + " to " + Date::from_serial(maturity).to_string() +
                    " has no coupon period under its conventions");
    }
    const int n = dates.periods();
    std::vector<std::int32_t> accruals;
    accruals.reserve(static_cast<std::size_t>(n) + 1);
    for (int j = 0; j <= n; ++j) accruals.push_back(dates.accrual(j));
    const Grid grid(dates, accruals.data(), 0);
    const bool icma = c.day_count() == DayCount::ActActIcma;
    std::vector<BondCashFlow> out;
    out.reserve(static_cast<std::size_t>(n) + 1);
    int hint = 0;
    for (int i = 1; i <= n; ++i) {
        const std::int32_t a = accruals[static_cast<std::size_t>(i - 1)], b = accruals[static_cast<std::size_t>(i)];
        const double fraction = icma ? grid.span(a, b, hint) : year_fraction(c.day_count(), a, b, accruals.back());
        out.push_back({a, b, c.days().adjust(b, c.payment_adj()), fraction, c.face() * (coupon * fraction)});
        hint = i;
    }
    out.push_back({0, 0, out.back().payment, nan_value, c.face()});
    return out;
}

}  // namespace quill
