#include "rates/coupon_dates.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/civil.hpp"
#include "core/errors.hpp"
#include "datetime/date.hpp"

namespace quill::bond_detail {

namespace {

civil::Fields fields(std::int64_t serial) noexcept { return civil::from_days(serial - civil::epoch_serial); }

std::int32_t last_of_month(std::int32_t serial) noexcept {
    return day_of_month(month_day(serial).month, 31, true);
}

}  // namespace

double icma_part_short(std::int32_t lo, std::int32_t hi) noexcept {
    const civil::Fields f = fields(lo);
    const std::int32_t reference = day_of_month((f.year + 1) * 12 + f.month - 1, f.day, false) - lo;
    return static_cast<double>(hi - lo) / static_cast<double>(reference);
}

MonthDay month_day_far(std::int32_t serial) noexcept {
    const civil::Fields f = fields(serial);
    return {f.year * 12 + f.month - 1, f.day};
}

namespace {

bool is_front(StubType s) noexcept { return s == StubType::FrontShort || s == StubType::FrontLong; }
bool is_long(StubType s) noexcept { return s == StubType::FrontLong || s == StubType::BackLong; }

[[noreturn]] void no_reference_periods() { throw Error("ACT/ACT ICMA reference dates do not advance"); }

}  // namespace

// ---------------------------------------------------------------- the dates

std::int32_t CouponDates::regular(std::int64_t p) const noexcept {
    return day_of_month(anchor_month_ + dir_ * p * months_, anchor_day_, month_ends_);
}

std::int32_t CouponDates::interior(int i) const {
    const std::int64_t p = front_ ? n_ - 1 - i : i;
    return at_month(anchor_month_ + dir_ * p * months_);
}

std::int32_t adjust_slow(const BondConventions& c, std::int32_t d, BusDayAdj rule) {
    // Weekends alone: the next business day is a weekday's step away.
    if (rule == BusDayAdj::Following && c.weekend_steps() && d < Date::max_serial - 7) {
        return d + (*c.weekend_steps())[civil::weekday_of_serial(d)];
    }
    const BusinessDays& days = c.days();
    if (days.covers(d)) {
        std::int64_t s = d;
        switch (rule) {
            case BusDayAdj::Following:
                s = days.next(d);
                break;
            case BusDayAdj::Preceding:
                s = days.previous(d);
                break;
            case BusDayAdj::ModFollowing:
                s = days.next(d);
                if (s >= Date::min_serial && s <= Date::max_serial &&
                    month_day(static_cast<std::int32_t>(s)).month != month_day(d).month) {
                    s = days.previous(d);
                }
                break;
            case BusDayAdj::Unadjusted:
                break;
        }
        if (s >= Date::min_serial && s <= Date::max_serial && days.covers(s)) return static_cast<std::int32_t>(s);
    }
    return days.adjust(d, rule);  // the reason, thrown
}

bool CouponDates::make(std::int32_t start, std::int32_t maturity) {
    if (start >= maturity) return false;
    const BusDayAdj adj = c_.accrual_adj();
    const StubType stub = c_.stub();
    front_ = is_front(stub);
    dir_ = front_ ? -1 : 1;
    months_ = c_.months();
    list_ = nullptr;
    has_grid_first_ = has_grid_last_ = false;
    memo_index_ = {-1, -1, -1, -1};
    const std::int32_t anchor = front_ ? maturity : start;
    const std::int32_t limit = front_ ? start : maturity;
    const MonthDay a = month_day(anchor);
    anchor_month_ = a.month;
    anchor_day_ = a.day;
    month_ends_ = c_.end_of_month() && anchor == day_of_month(a.month, 31, true);
    // Regular dates from the anchor towards the limit: k of them. Only one in
    // the limit's own month can pass it or fall on it.
    const std::int64_t distance = dir_ * (month_day(limit).month - anchor_month_);
    std::int64_t k = whole_periods(distance);
    std::int64_t gap = distance - k * months_;  // months from the last regular date to the limit
    bool on_grid = false;
    if (k >= 1 && gap == 0) {
        const std::int32_t r = regular(k);
        if (front_ ? r < limit : r > limit) {
            --k;
            gap = months_;
        } else {
            on_grid = r == limit;
        }
    }
    if (stub == StubType::NoStub && !on_grid) return false;
    bool has_limit = !on_grid;
    std::int64_t kept = k;
    if (has_limit && is_long(stub) && k >= 1) {  // a long stub takes in the short one's end
        --kept;
        gap += months_;
    }
    if (!c_.short_closures()) return materialise(start, maturity);
    // With closures shorter than a month the limit is the one date that may
    // adjust onto its neighbour (a month or less from it), and adjustment
    // keeps the order of dates, so no other pair meets.
    const std::int32_t limit_adjusted = adjusted(limit, adj);
    if (has_limit && gap <= 1 && limit_adjusted == adjusted(kept >= 1 ? regular(kept) : anchor, adj)) {
        has_limit = false;
    }
    const std::int64_t n = 1 + kept + (has_limit ? 1 : 0);
    if (n < 2) return false;
    n_ = static_cast<int>(n);
    eom_business_ = c_.end_of_month() && n_ > 2 && days_.is_month_end(anchor);
    const std::int32_t anchor_adjusted = adjusted(anchor, adj);
    const std::int32_t far_adjusted = has_limit ? limit_adjusted : adjusted(regular(kept), adj);
    first_ = front_ ? far_adjusted : anchor_adjusted;
    last_ = front_ ? anchor_adjusted : far_adjusted;
    first_regular_ = !(front_ && has_limit);
    last_regular_ = !(!front_ && has_limit);
    erase_first_ = false;
    periods_ = n_ - 1;
    // Moved to its month's end, the date before a back stub's end may reach
    // it: it goes, and the merged period is regular only if the two met.
    if (!front_ && has_limit && eom_business_) {
        const std::int32_t d = interior(n_ - 2);
        if (d >= last_) {
            last_regular_ = d == last_;
            --periods_;
        }
    }
    return periods_ >= 1 && first_ < last_;
}

bool period_inside(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                   std::int32_t& from, std::int32_t& to) {
    if (!c.short_closures() || c.end_of_month() || c.day_count() == DayCount::Thirty360EIsda) return false;
    const bool front = is_front(c.stub());
    const int dir = front ? -1 : 1, per = c.months();
    const std::int32_t anchor = front ? maturity : start;
    const std::int32_t limit = front ? start : maturity;
    // More than a period and a month from the limit (two for a long stub):
    // the stub, and the regular date a long one takes in, lie beyond the period.
    const std::int64_t margin = ((is_long(c.stub()) ? 2 : 1) * std::int64_t{per} + 1) * 31;
    if ((front ? std::int64_t{settle} - limit : std::int64_t{limit} - settle) <= margin) return false;
    const MonthDay a = month_day(anchor);
    const auto regular = [&](std::int64_t p) { return day_of_month(a.month + dir * p * per, a.day, false); };
    const std::int64_t months = dir * (month_day(settle).month - a.month);
    if (months < 0) return false;
    std::int64_t p = whole_periods(months, per);
    const bool in_settle_month = p * per == months;
    std::int64_t later, earlier;  // the regular dates' indexes from the anchor
    if (front) {
        if (in_settle_month && p >= 1 && settle >= regular(p)) --p;
        later = p;
        earlier = p + 1;
        if (later < 1) return false;  // the period ends at the maturity
    } else {
        earlier = in_settle_month && settle < regular(p) ? p - 1 : p;
        later = earlier + 1;
        if (earlier < 1) return false;  // the period starts at the start
    }
    const std::int32_t begin = regular(earlier), end = regular(later);
    // Clear of both dates by more than adjustment moves them (at most the
    // longest closure), and of the ex-coupon date before the payment.
    const std::int64_t reach = c.longest_closure() + 1;
    const std::int64_t clear = reach * (1 + std::int64_t{c.ex_coupon_days()});
    if (std::int64_t{settle} - begin <= reach || std::int64_t{end} - settle <= clear) return false;
    const BusinessDays& days = c.days();
    from = adjusted(c, days, begin, c.accrual_adj());
    to = adjusted(c, days, end, c.accrual_adj());
    return true;
}

bool CouponDates::materialise(std::int32_t start, std::int32_t maturity) {
    // The general form of make_schedule, for calendars whose closures can
    // adjust regular dates onto each other: every date listed.
    thread_local std::vector<std::int32_t> list;
    const BusDayAdj adj = c_.accrual_adj();
    const StubType stub = c_.stub();
    const std::int32_t anchor = front_ ? maturity : start;
    const std::int32_t limit = front_ ? start : maturity;
    std::int64_t k = whole_periods(dir_ * (month_day(limit).month - anchor_month_));
    if (k >= 1 && (front_ ? regular(k) < limit : regular(k) > limit)) --k;
    list.clear();
    list.push_back(anchor);
    for (std::int64_t p = 1; p <= k; ++p) list.push_back(regular(p));
    bool has_limit = list.back() != limit;
    if (has_limit) {
        if (is_long(stub) && list.size() >= 2) list.pop_back();
        list.push_back(limit);
    }
    // Dates adjusting onto the one kept before them (from the anchor) go.
    std::size_t size = 1;
    std::int32_t previous = days_.adjust(list[0], adj);
    for (std::size_t i = 1; i < list.size(); ++i) {
        const std::int32_t d = days_.adjust(list[i], adj);
        if (d == previous) {
            if (i + 1 == list.size() && has_limit) has_limit = false;
            continue;
        }
        list[size++] = list[i];
        previous = d;
    }
    list.resize(size);
    if (front_) std::reverse(list.begin(), list.end());
    if (c_.end_of_month() && size > 2 && days_.is_month_end(anchor)) {
        for (std::size_t i = 1; i + 1 < size; ++i) list[i] = last_of_month(list[i]);
    }
    for (std::int32_t& d : list) d = days_.adjust(d, adj);
    first_regular_ = !(front_ && has_limit);
    last_regular_ = !(!front_ && has_limit);
    if (list.size() > 2 && list[list.size() - 2] >= list.back()) {
        last_regular_ = list[list.size() - 2] == list.back();
        list.erase(list.end() - 2);
    }
    if (list.size() > 2 && list[1] <= list[0]) {
        first_regular_ = list[1] == list[0];
        list.erase(list.begin() + 1);
    }
    list.erase(std::unique(list.begin(), list.end()), list.end());
    if (list.size() < 2) return false;
    list_ = &list;
    periods_ = static_cast<int>(list.size()) - 1;
    first_ = list.front();
    last_ = list.back();
    return true;
}

int CouponDates::next_payment(std::int32_t settle) const {
    int j;
    // Adjustment moves a date by at most the longest closure: payments
    // further than that from the settlement date fall on its side.
    std::int32_t reach = static_cast<std::int32_t>(c_.longest_closure()) + 1;
    if (list_ != nullptr) {
        j = static_cast<int>(std::upper_bound(list_->begin(), list_->end(), settle) - list_->begin());
        reach = std::numeric_limits<std::int32_t>::max() / 2;
    } else {
        // The regular date ending the period around the settlement date, from
        // the months between them.
        const std::int64_t months = dir_ * (month_day(settle).month - anchor_month_);
        std::int64_t p = whole_periods(months < 0 ? 0 : months);
        const bool in_settle_month = months >= 0 && p * months_ == months;
        std::int64_t i;
        if (front_) {
            // regular(p) is in the settlement month or after it.
            if (in_settle_month && p >= 1 && settle >= regular(p)) --p;
            i = n_ - 1 - p;
        } else {
            // regular(p) is in the settlement month or before it.
            i = in_settle_month && settle < regular(p) ? p : p + 1;
        }
        j = static_cast<int>(std::clamp<std::int64_t>(i - (erase_first_ ? 1 : 0), 1, periods_ + 1));
    }
    j = std::clamp(j, 1, periods_);
    while (j > 1 && accrual(j - 1) + reach >= settle && payment(j - 1) > settle) --j;
    while (j <= periods_ && accrual(j) - reach <= settle && payment(j) <= settle) ++j;
    return j;
}

std::int32_t CouponDates::advance_months(std::int32_t d, int months) const {
    const civil::Fields f = fields(d);
    const std::int64_t t = f.year * 12 + f.month - 1 + months;
    if (t < std::int64_t{1899} * 12 || t > std::int64_t{65535} * 12 + 11) {
        throw Error("Reference date " + Date::from_serial(d).to_string() + " moved past the range of dates");
    }
    const BusDayAdj adj = c_.accrual_adj();
    if (c_.end_of_month()) {
        if (adj == BusDayAdj::Unadjusted) {
            if (f.day == civil::month_length(f.year, f.month)) return day_of_month(t, 31, true);
        } else if (days_.is_month_end(d)) {
            return days_.month_end(day_of_month(t, 31, true));
        }
    }
    return days_.adjust(day_of_month(t, f.day, false), adj);
}

std::int32_t CouponDates::grid(int j) const {
    if (j == 0 && !first_regular_) {
        if (!has_grid_first_) {
            grid_first_ = advance_months(accrual(1), -months_);
            has_grid_first_ = true;
        }
        return grid_first_;
    }
    if (j == periods_ && !last_regular_) {
        if (!has_grid_last_) {
            grid_last_ = advance_months(accrual(periods_ - 1), months_);
            has_grid_last_ = true;
        }
        return grid_last_;
    }
    if (j >= 0 && j <= periods_) return accrual(j);
    // Notional periods a tenor apart beyond the ends.
    std::int32_t d = grid(j < 0 ? 0 : periods_);
    const int steps = j < 0 ? -j : j - periods_;
    for (int s = 0; s < steps; ++s) d = advance_months(d, j < 0 ? -months_ : months_);
    return d;
}

// ---------------------------------------------------------------- ACT/ACT ICMA along the reference dates

double CouponDates::span(std::int32_t x, std::int32_t y, int& hint) const {
    if (x == y) return 0.0;
    if (y < x) return -span(y, x, hint);
    // Reference periods last at least a few days: the walk is bounded by the span.
    std::int64_t budget = 64 + (std::int64_t{y} - x) / 4;
    int j = hint;
    std::int32_t a = grid(j), b = grid(j + 1);
    while (x < a) {
        if (--budget < 0) no_reference_periods();
        --j;
        b = a;
        a = grid(j);
        if (a >= b) no_reference_periods();
    }
    while (x >= b) {
        if (--budget < 0) no_reference_periods();
        ++j;
        a = b;
        b = grid(j + 1);
        if (b <= a) no_reference_periods();
    }
    double sum = 0.0;
    for (;;) {
        const std::int32_t lo = std::max(x, a), hi = std::min(y, b);
        if (lo < hi) sum += icma_part(lo, hi, a, b);
        if (y <= b) break;
        if (--budget < 0) no_reference_periods();
        ++j;
        a = b;
        b = grid(j + 1);
        if (b <= a) no_reference_periods();
    }
    hint = j;
    return sum;
}

}  // namespace quill::bond_detail
