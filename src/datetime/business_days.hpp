// Which days are business days, in a form cheap enough to ask of millions of
// dates. How to use it (serials are the library's: 1899-12-30 is 0):
//
//   const BusinessDays& days = calendar.days();       // or BusinessDays(rule, holidays)
//   days.is_business_day(serial);                     // raw answer, no range check
//   days.adjust(serial, BusDayAdj::ModFollowing);     // a business day of the same date
//   days.advance(serial, 2);                          // T+2: Calendar::advance(d, n, Days)
//   days.business_days_between(start, end);           // as numpy.busday_count
//   days.is_month_end(serial); days.month_end(serial);
//
// The checked calls (everything but is_business_day and is_weekend) throw
// Error for a date outside the calendar's covered range, naming the date and
// the range, and Failure for a result outside the range of dates. Every search
// is bounded: inside the bitmap by its words, outside it by whole weeks of the
// weekend mask; a calendar without business days answers at once.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/civil.hpp"
#include "datetime/calendar.hpp"
#include "enums/bus_day_adj.hpp"

namespace quill {

// The content of a business calendar: a day is a business day when it is one
// of `extra_days`, or when its weekday is a business day of `weekmask` and it
// is not one of `holidays`.
struct CalendarDays {
    std::uint8_t weekmask = 0x1f;          // bit w: weekday w (Monday 0) is a business day
    std::vector<std::int32_t> holidays;    // sorted, unique, each on a business weekday
    std::vector<std::int32_t> extra_days;  // sorted, unique, each on a weekend weekday
    // The covered range [first, last]; first > last: no range, every date is covered.
    std::int32_t first = 1, last = 0;

    bool has_range() const noexcept { return first <= last; }
    bool operator==(const CalendarDays&) const = default;
};

class BusinessDays {
public:
    static constexpr std::int64_t none = std::numeric_limits<std::int64_t>::max();  // "no such day"

    explicit BusinessDays(const CalendarDays& content);
    // A Calendar's weekend rule plus holidays (any order, repeats allowed).
    BusinessDays(const CalendarRule& rule, const std::vector<std::int32_t>& holidays);

    // ------------------------------------------------------------ raw questions (no range check)

    bool is_business_day(std::int64_t serial) const noexcept {
        const auto offset = static_cast<std::uint64_t>(serial - first_);
        if (offset < span_) return ((bits_[offset >> 6] >> (offset & 63)) & 1u) != 0;
        return ((mask_ >> weekday(serial)) & 1u) != 0;
    }
    bool is_weekend(std::int64_t serial) const noexcept { return ((mask_ >> weekday(serial)) & 1u) == 0; }
    // The first business day on or after / last on or before `serial` (within a
    // week of the range of dates), or `none` / -`none` when there is none.
    std::int64_t next(std::int64_t serial) const noexcept;
    std::int64_t previous(std::int64_t serial) const noexcept;

    // ------------------------------------------------------------ checked questions

    bool has_range() const noexcept { return first_covered_ <= last_covered_; }
    std::int32_t first_covered() const noexcept { return first_covered_; }
    std::int32_t last_covered() const noexcept { return last_covered_; }
    bool covers(std::int64_t serial) const noexcept {
        return !has_range() || (serial >= first_covered_ && serial <= last_covered_);
    }
    // Error "Date (2101-01-03) is outside the calendar's range (1999-01-01 to 2100-12-31)".
    void check(std::int64_t serial) const {
        if (!covers(serial)) outside_range(serial);
    }
    [[noreturn]] void outside_range(std::int64_t serial) const;

    bool business_day(std::int32_t serial) const {
        check(serial);
        return is_business_day(serial);
    }
    bool weekend(std::int32_t serial) const {
        check(serial);
        return is_weekend(serial);
    }
    std::int32_t following(std::int32_t serial) const;
    std::int32_t preceding(std::int32_t serial) const;
    std::int32_t adjust(std::int32_t serial, BusDayAdj rule) const;
    // The n-th business day after (n > 0) or before (n < 0) `serial`; from a
    // non-business day the first step lands on the nearest business day in
    // the direction of travel; n = 0 is following(serial).
    std::int32_t advance(std::int32_t serial, std::int64_t n) const;
    // As numpy.busday_count: business days in [start, end), or in (end, start]
    // negated when end < start.
    std::int64_t business_days_between(std::int32_t start, std::int32_t end) const;
    // Whether no business day follows `serial` in its month (its month's last
    // day always is a month end; so is the last business day).
    bool is_month_end(std::int32_t serial) const;
    // The last business day of the month of `serial`.
    std::int32_t month_end(std::int32_t serial) const;

    // ------------------------------------------------------------ blocks

    // Adjusts the day numbers in[0, n) into out[0, n), the serial of day d
    // being d + offset, copying `skip` (a missing date) as it is. Returns n,
    // or the index of the first day that adjust() refuses (it throws for it).
    std::int64_t adjust_days(const std::int64_t* in, std::int64_t* out, std::int64_t n, std::int64_t offset,
                             std::int64_t skip, BusDayAdj rule) const;

private:
    template <BusDayAdj R>
    std::int64_t adjust_days_as(const std::int64_t* in, std::int64_t* out, std::int64_t n, std::int64_t offset,
                                std::int64_t skip) const;

    // Monday 0 ... Sunday 6; the searches step at most a week past the range of dates.
    static unsigned weekday(std::int64_t serial) noexcept { return civil::weekday_of_serial(serial); }
    // Business days in [first_, x), negative for x before first_.
    std::int64_t rank(std::int64_t x) const noexcept;
    // The business day whose rank is k, or `none` / -`none` past the ends.
    std::int64_t select(std::int64_t k) const noexcept;
    // Business days of the weekend mask in [a, b), a <= b.
    std::int64_t week_count(std::int64_t a, std::int64_t b) const noexcept;
    // Days to the month's last day, from one 400-year cycle's table.
    std::int64_t days_to_month_end(std::int64_t serial) const noexcept {
        return month_ends_[static_cast<std::uint32_t>(serial + 693899) % 146097];  // days since 0000-03-01
    }

    const std::uint8_t* month_ends_;
    std::uint8_t mask_ = 0;             // bit w set: weekday w is a business day
    std::uint8_t per_week_ = 0;         // business days per week of the mask
    std::uint8_t ahead_[7] = {};        // days from weekday w to the next business weekday
    std::uint8_t back_[7] = {};         // days from weekday w back to the last business weekday
    std::int64_t first_ = 0;            // the bitmap's first serial
    std::uint64_t span_ = 0;            // the bitmap's length in days
    std::vector<std::uint64_t> bits_;   // bit i: day first_ + i is a business day (0 past the span)
    std::vector<std::int64_t> ranks_;   // business days of the bitmap before each word; one past the end
    std::int32_t first_covered_ = 1, last_covered_ = 0;
};

// In the header, so that the block loops inline them.
inline std::int64_t BusinessDays::next(std::int64_t s) const noexcept {
    if (s < first_) {
        if (mask_ != 0) {
            const std::int64_t t = s + ahead_[weekday(s)];
            if (t < first_ || span_ == 0) return t;
        }
        if (span_ == 0) return none;
        s = first_;
    }
    const auto offset = static_cast<std::uint64_t>(s - first_);
    if (offset < span_) {
        std::size_t w = static_cast<std::size_t>(offset >> 6);
        std::uint64_t word = bits_[w] & (~std::uint64_t{0} << (offset & 63));
        for (;;) {
            if (word != 0) return first_ + static_cast<std::int64_t>(w << 6) + std::countr_zero(word);
            if (++w == bits_.size()) break;
            word = bits_[w];
        }
        s = first_ + static_cast<std::int64_t>(span_);
    }
    if (mask_ == 0) return none;
    return s + ahead_[weekday(s)];
}

inline std::int64_t BusinessDays::previous(std::int64_t s) const noexcept {
    const std::int64_t end = first_ + static_cast<std::int64_t>(span_);  // one past the bitmap
    if (s >= end) {
        if (mask_ != 0) {
            const std::int64_t t = s - back_[weekday(s)];
            if (t >= end || span_ == 0) return t;
        }
        if (span_ == 0) return -none;
        s = end - 1;
    }
    if (s >= first_) {
        const auto offset = static_cast<std::uint64_t>(s - first_);
        std::size_t w = static_cast<std::size_t>(offset >> 6);
        const unsigned top = static_cast<unsigned>(offset & 63);
        std::uint64_t word = bits_[w] & (top == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << top) - 1);
        for (;;) {
            if (word != 0) return first_ + static_cast<std::int64_t>(w << 6) + 63 - std::countl_zero(word);
            if (w == 0) break;
            word = bits_[--w];
        }
        s = first_ - 1;
    }
    if (mask_ == 0) return -none;
    return s - back_[weekday(s)];
}

}  // namespace quill
