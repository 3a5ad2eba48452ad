// The accrual dates of one bond, each computed when asked for: the dates of
// make_schedule(start, maturity, tenor, calendar, accrual rule, stub, end of
// month) without building the list, so that a question about one coupon
// costs a few date computations whatever the bond's length. How to use it:
//
//   CouponDates dates(conventions);
//   if (dates.make(start, maturity)) {          // false: no schedule
//       const int k = dates.next_payment(settle);   // the coupon paid next
//       dates.accrual(k - 1); dates.accrual(k);     // its accrual period
//   }
//
// ACT/ACT ICMA measures a period against the reference dates of grid(j): the
// accrual dates, with an irregular first period's start replaced by the
// notional date a tenor before its end (and one more before that for a long
// one), the same at the last period's end, and notional periods a tenor
// apart beyond both ends, as QuantLib's ActualActual(ISMA, schedule) lists
// its quasi-coupon dates.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "rates/bond.hpp"

namespace quill::bond_detail {

// The ACT/ACT ICMA year fraction of the part [lo, hi] of the reference period
// [a, b]: its days over the period's days times the period's coupons a year.
double icma_part(std::int32_t lo, std::int32_t hi, std::int32_t a, std::int32_t b) noexcept;

class CouponDates {
public:
    explicit CouponDates(const BondConventions& c) noexcept : c_(c) {}

    // Error for a date outside the calendar's range.
    bool make(std::int32_t start, std::int32_t maturity);

    int periods() const noexcept { return periods_; }
    // The adjusted accrual date j, 0 <= j <= periods().
    std::int32_t accrual(int j) const;
    // The first coupon (1 to periods()) paid after `settle`, or periods() + 1.
    int next_payment(std::int32_t settle) const;
    // ACT/ACT ICMA reference date j, for any j.
    std::int32_t grid(int j) const;
    bool first_regular() const noexcept { return first_regular_; }
    bool last_regular() const noexcept { return last_regular_; }
    // QuantLib's Calendar::advance(d, months, Months, accrual rule, end of month).
    std::int32_t advance_months(std::int32_t d, int months) const;

private:
    std::int32_t regular(std::int64_t p) const;  // the anchor's p-th regular date, unadjusted
    std::int32_t interior(int i) const;          // date i of the list before the ends' checks
    bool materialise(std::int32_t start, std::int32_t maturity);

    const BondConventions& c_;
    bool front_ = true;
    int dir_ = -1, months_ = 6;
    std::int64_t anchor_month_ = 0;  // year * 12 + month - 1
    unsigned anchor_day_ = 1;
    bool month_ends_ = false;         // regular dates on their months' last days
    bool eom_business_ = false;       // dates between the ends moved to their months' last days
    int n_ = 0;                       // dates before the ends' checks
    bool erase_first_ = false;        // date 1 went (it fell on or before date 0)
    bool erase_last_ = false;         // date n - 2 went
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

// Accrual dates from index `from` to `to` held in an array, the rest asked
// of the CouponDates; ACT/ACT ICMA year fractions along the reference dates.
class Grid {
public:
    Grid(const CouponDates& dates, const std::int32_t* accruals, int from, int to) noexcept
        : dates_(dates), accruals_(accruals), from_(from), to_(to) {}
    Grid(const CouponDates& dates, const std::int32_t* accruals, int from) noexcept
        : Grid(dates, accruals, from, dates.periods()) {}

    std::int32_t at(int j) const {
        if (j >= from_ && j <= to_ && (j != 0 || dates_.first_regular()) &&
            (j != dates_.periods() || dates_.last_regular())) {
            return accruals_[j - from_];
        }
        return dates_.grid(j);
    }
    int first_index() const noexcept { return from_; }

    // The ACT/ACT ICMA year fraction from x to y (negative when y < x), each
    // reference period [g(j), g(j+1)] contributing its days over its length
    // times its coupons a year; the search for x's period starts at j = hint,
    // and hint is left at y's.
    double span(std::int32_t x, std::int32_t y, int& hint) const;

private:
    const CouponDates& dates_;
    const std::int32_t* accruals_;
    int from_, to_;
};

}  // namespace quill::bond_detail
