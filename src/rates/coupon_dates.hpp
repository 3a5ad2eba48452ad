// The accrual dates of one bond, each computed when asked for: the dates of
// make_schedule(start, maturity, tenor, calendar, accrual rule, stub, end of
// month) without building the list, so that a question about one coupon
// costs a few date computations whatever the bond's length. How to use it:
//
//   CouponDates dates(conventions);
//   if (dates.make(start, maturity)) {              // false: no schedule
//       const int k = dates.next_payment(settle);   // the coupon paid next
//       dates.accrual(k - 1); dates.accrual(k);     // its accrual period
//   }
//
// ACT/ACT ICMA measures a period against the reference dates of grid(j): the
// accrual dates, with an irregular first period's start replaced by the
// notional date a tenor before its end, the same at the last period's end,
// and notional dates a tenor apart beyond both ends, as QuantLib's
// ActualActual(ISMA, schedule) lists its quasi-coupon dates.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/civil.hpp"
#include "rates/bond.hpp"

namespace quill::bond_detail {

// ---------------------------------------------------------------- months

// The serials of the first days of the months of 1899 to 2299 (one more for
// the last month's length): a coupon date is a look-up and an addition.
inline constexpr std::int64_t table_first_month = 1899 * 12;
inline constexpr std::int64_t table_months = 401 * 12;
inline constexpr auto month_starts = [] {
    std::array<std::int32_t, table_months + 1> t{};
    for (std::int64_t i = 0; i <= table_months; ++i) {
        const std::int64_t m = table_first_month + i;
        t[static_cast<std::size_t>(i)] =
            static_cast<std::int32_t>(civil::to_days(m / 12, static_cast<unsigned>(m % 12 + 1), 1) + civil::epoch_serial);
    }
    return t;
}();

// The serial of day `day` of month t (year * 12 + month - 1), the day clamped
// to the month's length, or the month's last day when `last`.
inline std::int32_t day_of_month(std::int64_t t, unsigned day, bool last) noexcept {
    const auto i = static_cast<std::uint64_t>(t - table_first_month);
    if (i < static_cast<std::uint64_t>(table_months)) {
        const std::int32_t first = month_starts[i];
        const auto length = static_cast<unsigned>(month_starts[i + 1] - first);
        return first + static_cast<std::int32_t>((last ? length : std::min(day, length)) - 1);
    }
    const std::int64_t year = t / 12;
    const auto month = static_cast<unsigned>(t % 12 + 1);
    const unsigned length = civil::month_length(year, month);
    return static_cast<std::int32_t>(civil::to_days(year, month, last ? length : std::min(day, length)) +
                                     civil::epoch_serial);
}

// The weekday (Monday 0) of each month's first day, and the weekday of the
// first day plus 0 to 36 days: a walk over regular dates reads each date's
// weekday from two tables.
inline constexpr auto month_weekdays = [] {
    std::array<std::uint8_t, table_months> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(civil::weekday_of_serial(month_starts[i]));
    return t;
}();
inline constexpr auto weekday_after = [] {
    std::array<std::uint8_t, 37> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i % 7);
    return t;
}();

// day_of_month(table_first_month + i, day, false) for a month i of the
// table, and its weekday.
inline std::int32_t day_in_table(std::size_t i, unsigned day, unsigned& weekday) noexcept {
    const std::int32_t first = month_starts[i];
    const unsigned d = std::min(day, static_cast<unsigned>(month_starts[i + 1] - first)) - 1;
    weekday = weekday_after[month_weekdays[i] + d];
    return first + static_cast<std::int32_t>(d);
}

// The month of each 32-day block of the table's days: a serial's month is
// its block's or one of the next two (no month is shorter than 28 days).
inline constexpr std::int64_t table_days = 146462;  // 1899-01-01 to 2300-01-01
inline constexpr auto block_months = [] {
    std::array<std::uint16_t, table_days / 32 + 1> t{};
    std::size_t m = 0;
    for (std::size_t b = 0; b < t.size(); ++b) {
        const std::int64_t first = month_starts[0] + static_cast<std::int64_t>(b) * 32;
        while (m + 1 < month_starts.size() && month_starts[m + 1] <= first) ++m;
        t[b] = static_cast<std::uint16_t>(m);
    }
    return t;
}();

// A serial's month (year * 12 + month - 1) and day.
struct MonthDay {
    std::int64_t month;
    unsigned day;
};
MonthDay month_day_far(std::int32_t serial) noexcept;  // outside the table
inline MonthDay month_day(std::int32_t serial) noexcept {
    const auto offset = static_cast<std::uint64_t>(std::int64_t{serial} - month_starts[0]);
    if (offset >= static_cast<std::uint64_t>(table_days)) return month_day_far(serial);
    std::size_t m = block_months[offset >> 5];
    m += serial >= month_starts[m + 1];
    m += serial >= month_starts[m + 1];
    return {table_first_month + static_cast<std::int64_t>(m), static_cast<unsigned>(serial - month_starts[m] + 1)};
}

// ---------------------------------------------------------------- ACT/ACT ICMA

// Coupons a year of a reference period of `days` days (16 or more), as
// QuantLib's ActualActual(ISMA) guesses them: 12 over the period's months,
// each rounded. 12 * days / 365 is never within an ulp of a half, so the
// integer forms round alike: months = (24 days + 365) div 730, and 12 /
// months rounded half up is (24 + months) div (2 months), 0 from 25 months on.
inline constexpr auto coupons_by_months = [] {
    std::array<std::int64_t, 26> t{};
    for (std::int64_t months = 1; months < 26; ++months) t[static_cast<std::size_t>(months)] = (24 + months) / (2 * months);
    return t;
}();
inline constexpr auto months_by_days = [] {
    std::array<std::uint8_t, 800> t{};
    for (std::int64_t days = 0; days < 800; ++days) t[static_cast<std::size_t>(days)] = static_cast<std::uint8_t>((24 * days + 365) / 730);
    return t;
}();
inline std::int64_t coupons_per_year(std::int64_t days) noexcept {
    const std::int64_t months = days < 800 ? months_by_days[static_cast<std::size_t>(days)] : (24 * days + 365) / 730;
    return months < 26 ? coupons_by_months[static_cast<std::size_t>(months)] : 0;
}

// Periods under 16 days: a year from the part's start stands in.
double icma_part_short(std::int32_t lo, std::int32_t hi) noexcept;

// The ACT/ACT ICMA year fraction of the part [lo, hi] of the reference period
// [a, b]: its days over the period's days times the period's coupons a year.
inline double icma_part(std::int32_t lo, std::int32_t hi, std::int32_t a, std::int32_t b) noexcept {
    const std::int64_t reference = std::int64_t{b} - a;
    if (reference < 16) return icma_part_short(lo, hi);
    return static_cast<double>(hi - lo) /
           (static_cast<double>(reference) * static_cast<double>(coupons_per_year(reference)));
}

// One over the coupons a year of each count of months.
inline constexpr auto inverse_coupons = [] {
    std::array<double, 25> t{};
    for (std::int64_t months = 1; months <= 24; ++months) {
        t[static_cast<std::size_t>(months)] = 1.0 / static_cast<double>((24 + months) / (2 * months));
    }
    return t;
}();

// The year fraction of a whole reference period of `days` days: icma_part's
// days / (days * n) is the double nearest 1 / n.
inline double icma_period(std::int32_t days) noexcept {
    if (days < 16 || days >= 740) return icma_part(0, days, 0, days);
    return inverse_coupons[months_by_days[static_cast<std::size_t>(days)]];
}

// ---------------------------------------------------------------- adjustment

std::int32_t adjust_slow(const BondConventions& c, std::int32_t d, BusDayAdj rule);
// c.days().adjust(d, rule), answered inline for business days (`days` is c.days()).
inline std::int32_t adjusted(const BondConventions& c, const BusinessDays& days, std::int32_t d, BusDayAdj rule) {
    if ((rule == BusDayAdj::Unadjusted || days.is_business_day(d)) && days.covers(d)) return d;
    return adjust_slow(c, d, rule);
}

// months / per (a coupon period's months), rounded down: constant divisors,
// a multiplication each.
inline std::int64_t whole_periods(std::int64_t months, int per) noexcept {
    switch (per) {
        case 1: return months;
        case 2: return months / 2;
        case 3: return months / 3;
        case 4: return months / 4;
        case 6: return months / 6;
        default: return months / 12;
    }
}

// Without a schedule: the accrual period [from, to] around `settle` when it
// lies well inside the bond (both its dates regular dates between the ends,
// no adjustment, payment or ex-coupon date near the settlement date, no
// end-of-month rule). False when it does not: then CouponDates answers.
bool period_inside(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                   std::int32_t& from, std::int32_t& to);

// ---------------------------------------------------------------- the dates

class CouponDates {
public:
    explicit CouponDates(const BondConventions& c) noexcept : c_(c), days_(c.days()) {}

    // Error for a date outside the calendar's range.
    bool make(std::int32_t start, std::int32_t maturity);

    int periods() const noexcept { return periods_; }
    // The adjusted accrual date j, 0 <= j <= periods().
    std::int32_t accrual(int j) const {
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
    // accrual(j) without the memory, for walks over every date.
    std::int32_t accrual_once(int j) const {
        if (list_ != nullptr) return (*list_)[static_cast<std::size_t>(j)];
        if (j == 0) return first_;
        if (j == periods_) return last_;
        return interior(j + (erase_first_ ? 1 : 0));
    }
    // Whether the dates are computed one at a time (short closures): then
    // date j (0 < j < periods()) is at_month(month_of(j)), and month_of
    // grows by a period with j.
    bool lazy() const noexcept { return list_ == nullptr; }
    std::int64_t month_of(int j) const noexcept {
        const int i = j + (erase_first_ ? 1 : 0);
        return anchor_month_ + dir_ * (front_ ? n_ - 1 - i : i) * months_;
    }
    // The payment date of coupon j (1 <= j <= periods()).
    std::int32_t payment(int j) const { return pay(accrual(j)); }
    std::int32_t pay(std::int32_t accrual_date) const { return adjusted(accrual_date, c_.payment_adj()); }
    std::int32_t adjusted(std::int32_t d, BusDayAdj rule) const { return bond_detail::adjusted(c_, days_, d, rule); }
    // The first coupon (1 to periods()) paid after `settle`, or periods() + 1.
    int next_payment(std::int32_t settle) const;

    bool first_regular() const noexcept { return first_regular_; }
    bool last_regular() const noexcept { return last_regular_; }
    // Whether period j's accrual dates are its ACT/ACT ICMA reference dates.
    bool own_reference(int j) const noexcept {
        return (j > 1 || first_regular_) && (j < periods_ || last_regular_);
    }
    // ACT/ACT ICMA reference date j, for any j.
    std::int32_t grid(int j) const;
    // The ACT/ACT ICMA year fraction from x to y (negative when y < x), each
    // reference period [grid(j), grid(j+1)] contributing its part; the search
    // for x's period starts at j = hint, and hint is left at y's.
    double span(std::int32_t x, std::int32_t y, int& hint) const;
    // QuantLib's Calendar::advance(d, months, Months, accrual rule, end of month).
    std::int32_t advance_months(std::int32_t d, int months) const;

private:
    std::int32_t regular(std::int64_t p) const noexcept;  // the anchor's p-th regular date, unadjusted
    std::int32_t interior(int i) const;                   // date i of the list before the ends' checks
public:
    // Unadjusted regular dates on the anchor's day of the month, under a
    // calendar without a covered range: at_month is plain_at_month.
    bool plain() const noexcept {
        return !eom_business_ && !month_ends_ && c_.accrual_adj() == BusDayAdj::Unadjusted && !days_.has_range();
    }
    std::int32_t plain_at_month(std::int64_t t) const { return day_of_month(t, anchor_day_, false); }
    unsigned anchor_day() const noexcept { return anchor_day_; }
    // The adjusted regular date of month t.
    std::int32_t at_month(std::int64_t t) const {
        return adjusted(day_of_month(t, eom_business_ ? 31 : anchor_day_, month_ends_ || eom_business_),
                        c_.accrual_adj());
    }

private:
    bool materialise(std::int32_t start, std::int32_t maturity);
    std::int64_t whole_periods(std::int64_t months) const noexcept { return bond_detail::whole_periods(months, months_); }

    const BondConventions& c_;
    const BusinessDays& days_;
    bool front_ = true;
    int dir_ = -1, months_ = 6;
    std::int64_t anchor_month_ = 0;  // year * 12 + month - 1
    unsigned anchor_day_ = 1;
    bool month_ends_ = false;         // regular dates on their months' last days
    bool eom_business_ = false;       // dates between the ends moved to their months' last days
    int n_ = 0;                       // dates before the ends' checks
    bool erase_first_ = false;        // date 1 went (it fell on or before date 0)
    std::int32_t first_ = 0, last_ = 0;
    int periods_ = 0;
    bool first_regular_ = true, last_regular_ = true;
    const std::vector<std::int32_t>* list_ = nullptr;  // all dates, for calendars with long closures
    // Reference dates replacing irregular ends, found when first asked for.
    mutable bool has_grid_first_ = false, has_grid_last_ = false;
    mutable std::int32_t grid_first_ = 0, grid_last_ = 0;
    // The last accrual dates computed: questions about one coupon ask for its
    // dates several times.
    mutable std::array<int, 4> memo_index_{-1, -1, -1, -1};
    mutable std::array<std::int32_t, 4> memo_date_{};
};

}  // namespace quill::bond_detail
