#include "rates/swap.hpp"

#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "datetime/schedule.hpp"
#include "mkt_data/yield_curve_noded.hpp"
#include "rates/curve_points.hpp"

namespace quill {

void check_swap_tenor(const Tenor& t, const char* field) {
    if (t.unit == TenorUnit::B) {
        throw Error(std::string(field) + " (" + t.to_string() + ") cannot be in business days; use D, W, M or Y");
    }
    if (t.count <= 0) throw Error(std::string(field) + " (" + t.to_string() + ") must be positive");
}

void check_swap_lag(std::int32_t lag, const char* field) {
    if (lag < 0) throw Error(std::string(field) + " (" + std::to_string(lag) + ") must be 0 or more business days");
}

namespace {

// `serial` plus `months`, the day clamped to the target month.
std::int32_t add_months(std::int32_t serial, std::int64_t months) {
    const Date d = Date::from_serial(serial);
    const std::int64_t t = std::int64_t{d.year()} * 12 + (d.month() - 1) + months;
    if (t < 0 || t >= 65536 * 12) fail(d.to_string() + " moved by " + std::to_string(months) + " months leaves the range of dates");
    const auto year = static_cast<std::uint16_t>(t / 12);
    const auto month = static_cast<std::uint8_t>(t % 12 + 1);
    return Date::from_ymd(year, month, std::min(d.day(), days_in_month(year, month))).serial();
}

double leg_year_fraction(DayCount dc, std::int32_t start, std::int32_t end, std::int32_t ref_start,
                         std::int32_t ref_end) {
    if (dc == DayCount::ActActIcma) return year_fraction_icma(start, end, ref_start, ref_end);
    return year_fraction(dc, start, end);
}

// The regular date `k` tenors from `anchor` (k may be negative), before
// adjustment, as make_schedule generates it: the day clamped to the month,
// or the month's last day when the end-of-month rule holds for the anchor.
std::int32_t grid_date(const Date& anchor, std::int64_t k, const Tenor& tenor, bool end_of_month) {
    if (tenor.unit == TenorUnit::D || tenor.unit == TenorUnit::W) {
        return Date::from_serial(anchor.serial() + k * (tenor.unit == TenorUnit::W ? 7 : 1) * tenor.count).serial();
    }
    const std::int64_t t = std::int64_t{anchor.year()} * 12 + (anchor.month() - 1) +
                           k * (tenor.unit == TenorUnit::Y ? 12 : 1) * tenor.count;
    if (t < 0 || t >= 65536 * 12) fail("Regular date of a schedule outside the range of dates");
    const auto year = static_cast<std::uint16_t>(t / 12);
    const auto month = static_cast<std::uint8_t>(t % 12 + 1);
    const std::uint8_t length = days_in_month(year, month);
    const bool month_ends = end_of_month && anchor.day() == days_in_month(anchor.year(), anchor.month());
    return Date::from_ymd(year, month, month_ends ? length : std::min(anchor.day(), length)).serial();
}

// Whether the end of a schedule away from its anchor is regular, as
// QuantLib's Schedule says: the regular date nearest it on the anchor's side
// adjusts to the same day (they were merged), or is the end itself.
bool regular_end(const BusinessDays& days, const Date& anchor, const Date& end, const Tenor& tenor, bool end_of_month,
                 BusDayAdj adj) {
    const int dir = end.serial() > anchor.serial() ? 1 : -1;
    std::int64_t k;
    if (tenor.unit == TenorUnit::D || tenor.unit == TenorUnit::W) {
        const std::int64_t step = (tenor.unit == TenorUnit::W ? 7 : 1) * std::int64_t{tenor.count};
        k = (std::int64_t{end.serial()} - anchor.serial()) / step;
    } else {
        const std::int64_t step = (tenor.unit == TenorUnit::Y ? 12 : 1) * std::int64_t{tenor.count};
        k = ((std::int64_t{end.year()} * 12 + end.month()) - (std::int64_t{anchor.year()} * 12 + anchor.month())) / step;
    }
    std::int32_t g = grid_date(anchor, k, tenor, end_of_month);
    if ((g - end.serial()) * dir > 0) g = grid_date(anchor, k - dir, tenor, end_of_month);  // not past the end
    return g == end.serial() || days.adjust(g, adj) == days.adjust(end.serial(), adj);
}

// A date moved by whole tenors, the day clamped to the month, then adjusted.
std::int32_t shifted(const BusinessDays& days, std::int32_t date, const Tenor& tenor, int sign, BusDayAdj adj) {
    const std::int64_t n = sign * std::int64_t{tenor.count};
    switch (tenor.unit) {
        case TenorUnit::D:
        case TenorUnit::W:
            return days.adjust(Date::from_serial(date + (tenor.unit == TenorUnit::W ? 7 * n : n)).serial(), adj);
        default:
            return days.adjust(add_months(date, tenor.unit == TenorUnit::Y ? 12 * n : n), adj);
    }
}

// Periods of one leg from its schedule `dates` (of the swap from `start` to
// `maturity`, unadjusted). ACT/ACT ICMA measures each period against a
// regular one, as QuantLib's fixed-rate legs do: the period itself, or for a
// stub (a first or last period off the schedule's grid) the tenor before its
// end or after its start (one period alone: before its end).
void make_leg(const SwapConventions& c, const Tenor& tenor, DayCount dc, std::int32_t start, std::int32_t maturity,
              const std::vector<std::int32_t>& dates, std::vector<SwapPeriod>& out) {
    const BusinessDays& days = c.cal.days();
    out.clear();
    const std::size_t n = dates.size();
    out.reserve(n - 1);
    bool first_regular = true, last_regular = true;
    if (dc == DayCount::ActActIcma) {
        const bool front = c.stub_type == StubType::FrontShort || c.stub_type == StubType::FrontLong;
        const Date s = Date::from_serial(start), m = Date::from_serial(maturity);
        if (front) {
            first_regular = regular_end(days, m, s, tenor, c.end_of_month, c.bus_day_adj);
        } else {
            last_regular = regular_end(days, s, m, tenor, c.end_of_month, c.bus_day_adj);
        }
    }
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const std::int32_t s = dates[i], e = dates[i + 1];
        std::int32_t rs = s, re = e;
        if (dc == DayCount::ActActIcma) {
            // One period, irregular, is measured as a first one.
            if (i == 0 && !(first_regular && (n > 2 || last_regular))) {
                rs = shifted(days, e, tenor, -1, c.bus_day_adj);
            } else if (i + 2 == n && !last_regular) {
                re = shifted(days, s, tenor, 1, c.bus_day_adj);
            }
        }
        out.push_back({s, e, days.advance(e, c.payment_lag), leg_year_fraction(dc, s, e, rs, re)});
    }
}

bool schedule(const SwapConventions& c, const Tenor& tenor, std::int32_t start, std::int32_t maturity,
              std::vector<std::int32_t>& dates) {
    dates = make_schedule(Date::from_serial(start), Date::from_serial(maturity), tenor, c.cal.days(), c.bus_day_adj,
                          c.stub_type, c.end_of_month);
    return dates.size() >= 2;
}

const NodedCurve& noded(const CurveModel& curve) {
    const auto* n = dynamic_cast<const NodedCurve*>(&curve);
    if (n == nullptr) throw Error("Sensitivities to node discount factors need a noded curve; this one is flat");
    return *n;
}

}  // namespace

SwapConventions SwapConventions::make(Tenor fixed_tenor, DayCount fixed_day_count, Tenor float_tenor,
                                      DayCount float_day_count, BusinessCalendar cal, BusDayAdj bus_day_adj,
                                      StubType stub_type, bool end_of_month, std::int32_t spot_lag,
                                      std::int32_t payment_lag) {
    check_swap_tenor(fixed_tenor, "Fixed-leg tenor");
    check_swap_tenor(float_tenor, "Floating-leg tenor");
    check_swap_lag(spot_lag, "Spot lag");
    check_swap_lag(payment_lag, "Payment lag");
    return {fixed_tenor, fixed_day_count, float_tenor, float_day_count, std::move(cal), bus_day_adj,
            stub_type,   end_of_month,    spot_lag,    payment_lag};
}

bool SwapConventions::operator==(const SwapConventions& o) const noexcept {
    return fixed_tenor.count == o.fixed_tenor.count && fixed_tenor.unit == o.fixed_tenor.unit &&
           fixed_day_count == o.fixed_day_count && float_tenor.count == o.float_tenor.count &&
           float_tenor.unit == o.float_tenor.unit && float_day_count == o.float_day_count && cal == o.cal &&
           bus_day_adj == o.bus_day_adj && stub_type == o.stub_type && end_of_month == o.end_of_month &&
           spot_lag == o.spot_lag && payment_lag == o.payment_lag;
}

std::size_t SwapConventions::hash() const noexcept {
    std::uint64_t h = cal.hash();
    const auto mix = [&](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    mix(static_cast<std::uint16_t>(fixed_tenor.count));
    mix(static_cast<std::uint64_t>(fixed_tenor.unit));
    mix(static_cast<std::uint64_t>(fixed_day_count));
    mix(static_cast<std::uint16_t>(float_tenor.count));
    mix(static_cast<std::uint64_t>(float_tenor.unit));
    mix(static_cast<std::uint64_t>(float_day_count));
    mix(static_cast<std::uint64_t>(bus_day_adj));
    mix(static_cast<std::uint64_t>(stub_type));
    mix(end_of_month ? 1 : 0);
    mix(static_cast<std::uint32_t>(spot_lag));
    mix(static_cast<std::uint32_t>(payment_lag));
    return static_cast<std::size_t>(h);
}

std::int32_t advance_by(const BusinessDays& days, std::int32_t date, const Tenor& tenor, BusDayAdj adj,
                        bool end_of_month) {
    const std::int64_t n = tenor.count;
    switch (tenor.unit) {
        case TenorUnit::B:
            return days.advance(date, n);
        case TenorUnit::D:
        case TenorUnit::W:
            return days.adjust(Date::from_serial(date + (tenor.unit == TenorUnit::W ? 7 * n : n)).serial(), adj);
        case TenorUnit::M:
        case TenorUnit::Y:
            break;
    }
    const std::int32_t moved = add_months(date, tenor.unit == TenorUnit::Y ? 12 * n : n);
    if (end_of_month && days.is_month_end(date)) return days.month_end(moved);
    return days.adjust(moved, adj);
}

std::int32_t spot_date(const SwapConventions& conv, std::int32_t trade_date) {
    return conv.cal.days().advance(trade_date, conv.spot_lag);
}

std::int32_t swap_maturity(const SwapConventions& conv, std::int32_t start, const Tenor& tenor) {
    if (tenor.unit == TenorUnit::B) {
        throw Error("Swap tenor (" + tenor.to_string() + ") cannot be in business days; use D, W, M or Y");
    }
    if (tenor.count <= 0) throw Error("Swap tenor (" + tenor.to_string() + ") must be positive");
    const bool months = tenor.unit == TenorUnit::M || tenor.unit == TenorUnit::Y;
    if (months && conv.end_of_month && conv.cal.days().is_month_end(start)) {
        return advance_by(conv.cal.days(), start, tenor, BusDayAdj::ModFollowing, true);
    }
    return add_tenor(Date::from_serial(start), tenor).serial();
}

bool make_legs(const SwapConventions& conv, std::int32_t start, std::int32_t maturity, SwapLegs& legs) {
    if (start >= maturity) {
        throw Error("Swap start (" + Date::from_serial(start).to_string() + ") must be before its maturity (" +
                    Date::from_serial(maturity).to_string() + ")");
    }
    if (!schedule(conv, conv.fixed_tenor, start, maturity, legs.scratch)) return false;
    make_leg(conv, conv.fixed_tenor, conv.fixed_day_count, start, maturity, legs.scratch, legs.fixed);
    const bool same_tenor = conv.float_tenor.count == conv.fixed_tenor.count && conv.float_tenor.unit == conv.fixed_tenor.unit;
    if (!same_tenor && !schedule(conv, conv.float_tenor, start, maturity, legs.scratch)) return false;
    if (same_tenor && conv.float_day_count == conv.fixed_day_count) {
        legs.floating = legs.fixed;
    } else {
        make_leg(conv, conv.float_tenor, conv.float_day_count, start, maturity, legs.scratch, legs.floating);
    }
    return true;
}

LegValues value_legs(const SwapLegs& legs, const CurveModel& discount, const CurveModel& forecast) {
    return value_legs(
        legs, discount.curve_date().serial(), forecast.curve_date().serial(),
        [&](std::int32_t d) { return discount.df(Date::from_serial(d)); },
        [&](std::int32_t d) { return forecast.df(Date::from_serial(d)); });
}

CurveNodes::CurveNodes(const CurveModel& curve) {
    const NodedCurve& c = noded(curve);
    xs_ = c.node_year_fractions();
    ys_ = c.discount_factors();
    type_ = c.interp_type();
    dc_ = c.day_counter();
    today_ = c.curve_date().serial();
}

CurveNodes::At CurveNodes::at(std::int32_t date) const {
    const CurvePoint p = locate(xs_, year_fraction(dc_, Date::from_serial(today_), Date::from_serial(date)));
    return {p, evaluate(p, ys_.data(), type_)};
}

}  // namespace quill
