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

std::int32_t serial_of(std::int64_t year, unsigned month, unsigned day) noexcept {
    return static_cast<std::int32_t>(civil::to_days(year, month, day) + civil::epoch_serial);
}

std::int32_t last_of_month(std::int32_t serial) noexcept {
    const civil::Fields f = fields(serial);
    return serial_of(f.year, f.month, civil::month_length(f.year, f.month));
}

bool is_front(StubType s) noexcept { return s == StubType::FrontShort || s == StubType::FrontLong; }
bool is_long(StubType s) noexcept { return s == StubType::FrontLong || s == StubType::BackLong; }

// Coupons a year of a reference period of `days` days, as QuantLib's
// ActualActual(ISMA) guesses them: 12 over the period's months, each rounded.
double coupons_per_year(std::int64_t days) noexcept {
    const auto guess = [](std::int64_t d) {
        const long months = std::lround(12 * static_cast<double>(d) / 365.0);
        return static_cast<double>(std::lround(12.0 / static_cast<double>(months)));
    };
    static const std::array<double, 1024> table = [&] {
        std::array<double, 1024> t{};
        for (std::int64_t d = 16; d < 1024; ++d) t[static_cast<std::size_t>(d)] = guess(d);
        return t;
    }();
    return days < 1024 ? table[static_cast<std::size_t>(days)] : guess(days);
}

}  // namespace

// The part [lo, hi] of the reference period [a, b], in years.
double icma_part(std::int32_t lo, std::int32_t hi, std::int32_t a, std::int32_t b) noexcept {
    std::int64_t reference = b - a;
    double per_year;
    if (reference < 16) {
        // Too short to guess from: a year from the part's start stands in.
        per_year = 1.0;
        const civil::Fields f = fields(lo);
        const unsigned day = std::min(f.day, civil::month_length(f.year + 1, f.month));
        reference = serial_of(f.year + 1, f.month, day) - lo;
    } else {
        per_year = coupons_per_year(reference);
    }
    return static_cast<double>(hi - lo) / (static_cast<double>(reference) * per_year);
}

namespace {

[[noreturn]] void no_reference_periods() { throw Error("ACT/ACT ICMA reference dates do not advance"); }

}  // namespace

// ---------------------------------------------------------------- the dates

std::int32_t CouponDates::regular(std::int64_t p) const {
    // Every regular date lies between the ends: t >= 1899 * 12.
    const auto t = static_cast<std::uint64_t>(anchor_month_ + dir_ * p * months_);
    const auto year = static_cast<std::int64_t>(t / 12);
    const auto month = static_cast<unsigned>(t % 12 + 1);
    const unsigned length = civil::month_length(year, month);
    return serial_of(year, month, month_ends_ ? length : std::min(anchor_day_, length));
}

std::int32_t CouponDates::interior(int i) const {
    const std::int64_t p = front_ ? n_ - 1 - i : i;
    std::int32_t d = regular(p);
    if (eom_business_) d = last_of_month(d);
    return c_.days().adjust(d, c_.accrual_adj());
}

std::int32_t CouponDates::accrual(int j) const {
    if (list_ != nullptr) return (*list_)[static_cast<std::size_t>(j)];
    if (j == 0) return first_;
    if (j == periods_) return last_;
    const auto slot = static_cast<std::size_t>(j & 3);
    if (memo_index_[slot] == j) return memo_date_[slot];
    const std::int32_t d = interior(j + (erase_first_ ? 1 : 0));
    memo_index_[slot] = j;
    memo_date_[slot] = d;
    return d;
}

bool CouponDates::make(std::int32_t start, std::int32_t maturity) {
    if (start >= maturity) return false;
    const BusinessDays& days = c_.days();
    const BusDayAdj adj = c_.accrual_adj();
    const StubType stub = c_.stub();
    front_ = is_front(stub);
    dir_ = front_ ? -1 : 1;
    months_ = c_.months();
    list_ = nullptr;
    has_grid_first_ = has_grid_last_ = false;
    const std::int32_t anchor = front_ ? maturity : start;
    const std::int32_t limit = front_ ? start : maturity;
    const civil::Fields a = fields(anchor);
    anchor_month_ = a.year * 12 + a.month - 1;
    anchor_day_ = a.day;
    month_ends_ = c_.end_of_month() && a.day == civil::month_length(a.year, a.month);
    // Regular dates from the anchor towards the limit: k of them.
    const civil::Fields l = fields(limit);
    std::int64_t k = dir_ * (l.year * 12 + l.month - 1 - anchor_month_) / months_;
    std::int32_t last_regular = k >= 1 ? regular(k) : anchor;
    if (k >= 1 && (front_ ? last_regular < limit : last_regular > limit)) {
        --k;  // only the one in the limit's month can pass it
        last_regular = k >= 1 ? regular(k) : anchor;
    }
    const bool on_grid = k >= 1 && last_regular == limit;
    if (stub == StubType::NoStub && !on_grid) return false;
    bool has_limit = !on_grid;
    std::int64_t kept = k;
    if (has_limit && is_long(stub) && k >= 1) {  // a long stub takes in the short one's end
        --kept;
        last_regular = kept >= 1 ? regular(kept) : anchor;
    }
    if (!c_.short_closures()) return materialise(start, maturity);
    memo_index_ = {-1, -1, -1, -1};
    // With short closures the limit is the one date that may adjust onto its
    // neighbour, and adjustment keeps the order of dates (it is monotonic), so
    // no other pair of dates meets.
    const std::int32_t limit_adjusted = days.adjust(limit, adj);
    if (has_limit && limit_adjusted == days.adjust(last_regular, adj)) has_limit = false;
    const std::int64_t n = 1 + kept + (has_limit ? 1 : 0);
    if (n < 2) return false;
    n_ = static_cast<int>(n);
    eom_business_ = c_.end_of_month() && n_ > 2 && days.is_month_end(anchor);
    const std::int32_t anchor_adjusted = days.adjust(anchor, adj);
    const std::int32_t far_adjusted = has_limit ? limit_adjusted : days.adjust(last_regular, adj);
    first_ = front_ ? far_adjusted : anchor_adjusted;
    last_ = front_ ? anchor_adjusted : far_adjusted;
    first_regular_ = !(front_ && has_limit);
    last_regular_ = !(!front_ && has_limit);
    erase_first_ = erase_last_ = false;
    periods_ = n_ - 1;
    // Moved to its month's end, the date before a back stub's end may reach
    // it: it goes, and the merged period is regular only if the two met.
    if (!front_ && has_limit && eom_business_) {
        const std::int32_t d = interior(n_ - 2);
        if (d >= last_) {
            erase_last_ = true;
            last_regular_ = d == last_;
            --periods_;
        }
    }
    return periods_ >= 1 && first_ < last_;
}

bool CouponDates::materialise(std::int32_t start, std::int32_t maturity) {
    // The general form of make_schedule, for calendars whose closures can
    // adjust regular dates onto each other: every date listed.
    thread_local std::vector<std::int32_t> list;
    const BusinessDays& days = c_.days();
    const BusDayAdj adj = c_.accrual_adj();
    const StubType stub = c_.stub();
    const std::int32_t anchor = front_ ? maturity : start;
    const std::int32_t limit = front_ ? start : maturity;
    const civil::Fields l = fields(limit);
    std::int64_t k = dir_ * (l.year * 12 + l.month - 1 - anchor_month_) / months_;
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
    std::int32_t previous = days.adjust(list[0], adj);
    for (std::size_t i = 1; i < list.size(); ++i) {
        const std::int32_t d = days.adjust(list[i], adj);
        if (d == previous) {
            if (i + 1 == list.size() && has_limit) has_limit = false;
            continue;
        }
        list[size++] = list[i];
        previous = d;
    }
    list.resize(size);
    if (front_) std::reverse(list.begin(), list.end());
    if (c_.end_of_month() && size > 2 && days.is_month_end(anchor)) {
        for (std::size_t i = 1; i + 1 < size; ++i) list[i] = last_of_month(list[i]);
    }
    for (std::int32_t& d : list) d = days.adjust(d, adj);
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
    const BusinessDays& days = c_.days();
    const BusDayAdj pay = c_.payment_adj();
    const auto payment = [&](int j) { return days.adjust(accrual(j), pay); };
    int j;
    if (list_ != nullptr) {
        j = static_cast<int>(std::upper_bound(list_->begin(), list_->end(), settle) - list_->begin());
    } else {
        // The regular date near the settlement date, from the months between them.
        const civil::Fields f = fields(settle);
        const std::int64_t months = f.year * 12 + f.month - 1 - anchor_month_;
        const std::int64_t p = front_ ? -months / months_ : months / months_ + 1;
        const std::int64_t i = front_ ? n_ - 1 - p : p;
        j = static_cast<int>(std::clamp<std::int64_t>(i - (erase_first_ ? 1 : 0), 1, periods_));
    }
    j = std::clamp(j, 1, periods_);
    while (j > 1 && payment(j - 1) > settle) --j;
    while (j <= periods_ && payment(j) <= settle) ++j;
    return j;
}

std::int32_t CouponDates::advance_months(std::int32_t d, int months) const {
    const civil::Fields f = fields(d);
    const std::int64_t t = f.year * 12 + f.month - 1 + months;
    if (t < std::int64_t{1899} * 12 || t > std::int64_t{65535} * 12 + 11) {
        throw Error("Reference date " + Date::from_serial(d).to_string() + " moved past the range of dates");
    }
    const std::int64_t year = t / 12;
    const auto month = static_cast<unsigned>(t % 12 + 1);
    const unsigned length = civil::month_length(year, month);
    const BusinessDays& days = c_.days();
    const BusDayAdj adj = c_.accrual_adj();
    if (c_.end_of_month()) {
        if (adj == BusDayAdj::Unadjusted) {
            if (f.day == civil::month_length(f.year, f.month)) return serial_of(year, month, length);
        } else if (days.is_month_end(d)) {
            return days.month_end(serial_of(year, month, length));
        }
    }
    return days.adjust(serial_of(year, month, std::min(f.day, length)), adj);
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

double Grid::span(std::int32_t x, std::int32_t y, int& hint) const {
    if (x == y) return 0.0;
    if (y < x) return -span(y, x, hint);
    // Reference periods last at least a few days: the walk is bounded by the span.
    std::int64_t budget = 64 + (std::int64_t{y} - x) / 4;
    int j = hint;
    std::int32_t a = at(j), b = at(j + 1);
    while (x < a) {
        if (--budget < 0) no_reference_periods();
        --j;
        b = a;
        a = at(j);
        if (a >= b) no_reference_periods();
    }
    while (x >= b) {
        if (--budget < 0) no_reference_periods();
        ++j;
        a = b;
        b = at(j + 1);
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
        b = at(j + 1);
        if (b <= a) no_reference_periods();
    }
    hint = j;
    return sum;
}

}  // namespace quill::bond_detail
