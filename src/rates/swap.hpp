// Interest-rate swaps: a fixed leg against a floating leg that pays, over
// each accrual period, the compounded overnight (or term) rate a forecast
// curve implies. How to use it (serials: 1899-12-30 is 0):
//
//   const SwapConventions conv = SwapConventions::make(...);   // Error naming the field
//   const std::int32_t start = spot_date(conv, trade_date);     // T + spot_lag business days
//   const std::int32_t end = swap_maturity(conv, start, parse_tenor("10Y"));
//   SwapLegs legs;
//   make_legs(conv, start, end, legs);                         // schedules, year fractions, payment dates
//   const LegValues v = value_legs(legs, discount, forecast);  // annuity and floating leg, per unit notional
//   swap_npv(v, fixed_rate, PayerReceiverFlag::Payer, notional);
//
// A floating coupon over [s, e] pays P(s) / P(e) - 1 per unit notional on the
// forecast curve, which is what daily compounding of the overnight rates the
// curve implies gives (the product telescopes), and what a term rate fixed at
// par over the period gives. Cash flows paid on or before the discount curve's
// date are past and left out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "datetime/business_calendar.hpp"
#include "datetime/day_count.hpp"
#include "datetime/tenor.hpp"
#include "enums/bus_day_adj.hpp"
#include "enums/payer_receiver_flag.hpp"
#include "enums/stub_type.hpp"
#include "mkt_data/yield_curve.hpp"
#include "rates/curve_points.hpp"

namespace quill {

struct SwapConventions {
    Tenor fixed_tenor;
    DayCount fixed_day_count;
    Tenor float_tenor;
    DayCount float_day_count;
    BusinessCalendar cal;
    BusDayAdj bus_day_adj;
    StubType stub_type;
    bool end_of_month;
    std::int32_t spot_lag;
    std::int32_t payment_lag;

    // Validates (Error naming the field): coupon tenors positive counts of
    // days, weeks, months or years; lags of 0 business days or more.
    static SwapConventions make(Tenor fixed_tenor, DayCount fixed_day_count, Tenor float_tenor, DayCount float_day_count,
                                BusinessCalendar cal, BusDayAdj bus_day_adj, StubType stub_type, bool end_of_month,
                                std::int32_t spot_lag, std::int32_t payment_lag);

    bool operator==(const SwapConventions& o) const noexcept;
    std::size_t hash() const noexcept;
};

// make()'s checks of one part, the Error naming it by `field` ("Fixed-leg
// tenor", "Spot lag"): for callers that name the argument it came from.
void check_swap_tenor(const Tenor& t, const char* field);
void check_swap_lag(std::int32_t lag, const char* field);

// `date` moved by `tenor` as the market's calendars move dates: days and
// weeks in calendar days, months and years with the day clamped to the
// month's length (or, with `end_of_month` and a month-end `date`, onto the
// month's last business day), then adjusted under `adj`; business days (B)
// by the calendar's advance. QuantLib's Calendar::advance(date, period, adj,
// end_of_month), but for "D", which counts calendar days here as everywhere
// in this library.
std::int32_t advance_by(const BusinessDays& days, std::int32_t date, const Tenor& tenor, BusDayAdj adj,
                        bool end_of_month);

// The swap's effective (spot) date for a trade on `trade_date`.
std::int32_t spot_date(const SwapConventions& conv, std::int32_t trade_date);
// The unadjusted end date `tenor` after `start` (a month or year tenor from a
// month end, with the end-of-month rule, lands on the month's last business day).
std::int32_t swap_maturity(const SwapConventions& conv, std::int32_t start, const Tenor& tenor);

// One coupon period.
struct SwapPeriod {
    std::int32_t start, end, pay;  // accrual start and end (adjusted), payment date
    double year_fraction;          // on the leg's day count
};

struct SwapLegs {
    std::vector<SwapPeriod> fixed, floating;
    std::vector<std::int32_t> scratch;  // schedule dates, kept to spare allocations
};

// The legs of the swap from `start` to `maturity` (unadjusted): schedules by
// the conventions, each payment `payment_lag` business days after its period's
// end. False when the two ends adjust to one day (no period); Error for
// start >= maturity (and what make_schedule refuses).
bool make_legs(const SwapConventions& conv, std::int32_t start, std::int32_t maturity, SwapLegs& legs);

// Per unit notional: the fixed leg's annuity (sum of year fraction times
// discount factor) and the floating leg's present value. The floating value is
// NaN when a period has begun on or before the curve date and is not yet paid
// (its rate needs fixings a curve does not hold).
struct LegValues {
    double annuity;
    double floating;
};
LegValues value_legs(const SwapLegs& legs, const CurveModel& discount, const CurveModel& forecast);

// The same with the curves' discount factors given by serial (`discount(d)`,
// `forecast(d)`: each the very curve's df of that date, looked up or asked),
// and their dates `today` and `forecast_today`. Each date's factor is asked
// once per period: a period's start is the previous one's end, and legs of
// one schedule share their payment dates.
template <class Discount, class Forecast>
LegValues value_legs(const SwapLegs& legs, std::int32_t today, std::int32_t forecast_today, Discount&& discount,
                     Forecast&& forecast) {
    LegValues v{0.0, 0.0};
    const std::vector<SwapPeriod>& fixed = legs.fixed;
    const std::vector<SwapPeriod>& floating = legs.floating;
    bool known = true;  // no floating period needs a fixing
    std::int32_t last_end = std::numeric_limits<std::int32_t>::min();
    double p_end = 0.0;
    const auto add_floating = [&](const SwapPeriod& p, double p_pay) {
        if (p.start < forecast_today) {
            known = false;
            return;
        }
        const double p_start = p.start == last_end ? p_end : forecast(p.start);
        p_end = forecast(p.end);
        last_end = p.end;
        v.floating += (p_start / p_end - 1.0) * p_pay;
    };
    if (fixed.size() == floating.size()) {
        for (std::size_t k = 0; k < fixed.size(); ++k) {
            const SwapPeriod& a = fixed[k];
            const SwapPeriod& b = floating[k];
            double p_pay = 0.0;
            if (a.pay > today) {
                p_pay = discount(a.pay);
                v.annuity += a.year_fraction * p_pay;
            }
            if (b.pay > today && known) add_floating(b, a.pay == b.pay && a.pay > today ? p_pay : discount(b.pay));
        }
    } else {
        for (const SwapPeriod& a : fixed) {
            if (a.pay > today) v.annuity += a.year_fraction * discount(a.pay);
        }
        for (const SwapPeriod& b : floating) {
            if (b.pay > today && known) add_floating(b, discount(b.pay));
        }
    }
    if (!known) v.floating = std::numeric_limits<double>::quiet_NaN();
    return v;
}

// A payer pays the fixed leg.
inline double swap_npv(const LegValues& v, double fixed_rate, PayerReceiverFlag pay_rec, double notional) noexcept {
    const double fixed = fixed_rate * v.annuity;
    return notional * (pay_rec == PayerReceiverFlag::Payer ? v.floating - fixed : fixed - v.floating);
}
inline double swap_par_rate(const LegValues& v) noexcept { return v.floating / v.annuity; }

// A noded curve seen from its nodes: where each date's discount factor lies
// among them, and the factor (the curve's own, to the bit). Error for a curve
// that is not noded.
class CurveNodes {
public:
    explicit CurveNodes(const CurveModel& curve);

    struct At {
        CurvePoint point;
        double value;
    };
    At at(std::int32_t date) const;
    // Nodes after the curve date.
    std::size_t size() const noexcept { return ys_.size() - 1; }
    std::int32_t curve_date() const noexcept { return today_; }
    const double* factors() const noexcept { return ys_.data(); }
    InterpType interp_type() const noexcept { return type_; }

private:
    std::vector<double> xs_, ys_;
    InterpType type_;
    DayCounter dc_;
    std::int32_t today_;
};

// Adds to grad[k - 1], for each node k >= 1, the derivative of the swap's NPV
// with respect to the node's discount factor, the curve discounting and
// forecasting; `at(date)` gives CurveNodes::at of the date. NaN in every
// entry when a floating period needs a fixing.
template <class Lookup>
void add_npv_node_gradient(const SwapLegs& legs, const CurveNodes& nodes, Lookup&& at, double fixed_rate,
                           PayerReceiverFlag pay_rec, double notional, double* grad) {
    const std::int32_t today = nodes.curve_date();
    const double sign = pay_rec == PayerReceiverFlag::Payer ? notional : -notional;
    const auto add = [&](const CurveNodes::At& a, double coefficient) {
        double d_lo, d_hi;
        derivatives(a.point, nodes.factors(), a.value, nodes.interp_type(), d_lo, d_hi);
        if (a.point.lo > 0) grad[a.point.lo - 1] += coefficient * d_lo;
        if (a.point.kind != CurvePoint::Kind::node) grad[a.point.lo] += coefficient * d_hi;
    };
    for (const SwapPeriod& p : legs.fixed) {
        if (p.pay > today) add(at(p.pay), -sign * fixed_rate * p.year_fraction);
    }
    for (const SwapPeriod& p : legs.floating) {
        if (p.pay <= today) continue;
        if (p.start < today) {
            std::fill(grad, grad + nodes.size(), std::numeric_limits<double>::quiet_NaN());
            return;
        }
        const CurveNodes::At s = at(p.start), e = at(p.end), pay = at(p.pay);
        add(s, sign * pay.value / e.value);
        add(e, -sign * s.value * pay.value / (e.value * e.value));
        add(pay, sign * (s.value / e.value - 1.0));
    }
}

}  // namespace quill
