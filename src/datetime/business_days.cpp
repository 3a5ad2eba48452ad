#include "datetime/business_days.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "core/errors.hpp"
#include "datetime/date.hpp"

namespace quill {

namespace {

std::string date_text(std::int64_t serial) { return Date::from_serial(serial).to_string(); }

// Days to the month's last day for each day of a 400-year cycle from
// 0000-03-01 (civil day -719468).
const std::uint8_t* month_end_table() {
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> t(146097);
        for (std::int64_t doe = 0; doe < 146097; ++doe) {
            const civil::Fields f = civil::from_days(doe - 719468);
            t[static_cast<std::size_t>(doe)] = static_cast<std::uint8_t>(civil::month_length(f.year, f.month) - f.day);
        }
        return t;
    }();
    return table.data();
}

// More business days than the range of dates has days: no answer inside it.
constexpr std::int64_t max_step = std::int64_t{Date::max_serial} - Date::min_serial + 8;

[[noreturn]] void no_day_after(std::int64_t serial) {
    fail("No business day on or after " + date_text(serial) + " up to 65535-12-31, the last representable date");
}

[[noreturn]] void no_day_before(std::int64_t serial) {
    fail("No business day on or before " + date_text(serial) + " down to 1899-01-01, the first valid date");
}

[[noreturn]] void unknown_rule(BusDayAdj rule) {
    throw Error("Unknown business-day adjustment (" + std::to_string(static_cast<int>(rule)) + ")");
}

}  // namespace

BusinessDays::BusinessDays(const CalendarDays& content)
    : month_ends_(month_end_table()),
      mask_(static_cast<std::uint8_t>(content.weekmask & 0x7f)),
      first_covered_(content.first),
      last_covered_(content.last) {
    per_week_ = static_cast<std::uint8_t>(std::popcount(static_cast<unsigned>(mask_)));
    for (unsigned w = 0; w < 7 && mask_ != 0; ++w) {
        while (((mask_ >> ((w + ahead_[w]) % 7)) & 1u) == 0) ++ahead_[w];
        while (((mask_ >> ((w + 7 - back_[w]) % 7)) & 1u) == 0) ++back_[w];
    }
    // The bitmap spans the covered range and every day the mask alone does
    // not answer; days outside the range of dates move no valid date.
    std::int64_t lo = content.has_range() ? content.first : std::int64_t{Date::max_serial} + 1;
    std::int64_t hi = content.has_range() ? content.last : std::int64_t{Date::min_serial} - 1;
    for (const auto* list : {&content.holidays, &content.extra_days}) {
        for (const std::int32_t d : *list) {
            if (d < Date::min_serial || d > Date::max_serial) continue;
            lo = std::min<std::int64_t>(lo, d);
            hi = std::max<std::int64_t>(hi, d);
        }
    }
    if (lo > hi) {
        ranks_.assign(1, 0);
        return;
    }
    first_ = lo;
    span_ = static_cast<std::uint64_t>(hi - lo) + 1;
    const std::size_t words = static_cast<std::size_t>((span_ + 63) / 64);
    // Word i starts on weekday (w0 + 64 i) % 7 = (w0 + i) % 7: seven patterns.
    std::uint64_t pattern[7] = {};
    for (unsigned start = 0; start < 7; ++start) {
        for (unsigned j = 0; j < 64; ++j) {
            if ((mask_ >> ((start + j) % 7)) & 1u) pattern[start] |= std::uint64_t{1} << j;
        }
    }
    bits_.resize(words);
    const unsigned w0 = weekday(first_);
    for (std::size_t i = 0; i < words; ++i) bits_[i] = pattern[(w0 + i) % 7];
    const auto set = [&](std::int32_t d, bool business) {
        if (d < first_ || d > hi) return;
        const auto offset = static_cast<std::uint64_t>(d - first_);
        const std::uint64_t bit = std::uint64_t{1} << (offset & 63);
        bits_[offset >> 6] = business ? bits_[offset >> 6] | bit : bits_[offset >> 6] & ~bit;
    };
    for (const std::int32_t d : content.holidays) set(d, false);
    for (const std::int32_t d : content.extra_days) set(d, true);
    if (span_ % 64 != 0) bits_.back() &= (std::uint64_t{1} << (span_ % 64)) - 1;
    ranks_.resize(words + 1);
    ranks_[0] = 0;
    for (std::size_t i = 0; i < words; ++i) ranks_[i + 1] = ranks_[i] + std::popcount(bits_[i]);
}

namespace {

CalendarDays rule_days(const CalendarRule& rule, const std::vector<std::int32_t>& holidays) {
    // A rule decides by weekday alone, so one week of answers is the whole
    // rule. 1900-01-01, serial 2, is a Monday.
    CalendarDays c;
    c.weekmask = 0;
    for (int w = 0; w < 7; ++w) {
        if (rule.is_business_day(Date::from_serial(2 + w))) c.weekmask = static_cast<std::uint8_t>(c.weekmask | (1u << w));
    }
    c.holidays = holidays;
    return c;
}

}  // namespace

BusinessDays::BusinessDays(const CalendarRule& rule, const std::vector<std::int32_t>& holidays)
    : BusinessDays(rule_days(rule, holidays)) {}

// ---------------------------------------------------------------- searches

std::int64_t BusinessDays::week_count(std::int64_t a, std::int64_t b) const noexcept {
    const std::int64_t n = b - a;
    const unsigned doubled = mask_ | (static_cast<unsigned>(mask_) << 7);
    const unsigned part = (doubled >> weekday(a)) & ((1u << (n % 7)) - 1);
    return n / 7 * per_week_ + std::popcount(part);
}

std::int64_t BusinessDays::rank(std::int64_t x) const noexcept {
    if (x <= first_) return -week_count(x, first_);
    const auto offset = static_cast<std::uint64_t>(x - first_);
    if (offset <= span_) {
        const std::size_t w = static_cast<std::size_t>(offset >> 6);
        const unsigned r = static_cast<unsigned>(offset & 63);
        return ranks_[w] + (r == 0 ? 0 : std::popcount(bits_[w] & ((std::uint64_t{1} << r) - 1)));
    }
    const std::int64_t end = first_ + static_cast<std::int64_t>(span_);
    return ranks_.back() + week_count(end, x);
}

std::int64_t BusinessDays::select(std::int64_t k) const noexcept {
    const std::int64_t total = ranks_.back();
    if (k < 0 || k >= total) {
        // Whole weeks of the mask, then at most a week of single days.
        if (per_week_ == 0) return k < 0 ? -none : none;
        const bool before = k < 0;
        const std::int64_t m = before ? -k : k - total + 1;  // the m-th business day out from the bitmap
        const std::int64_t weeks = (m - 1) / per_week_;
        if (weeks > max_step / 7) return before ? -none : none;
        std::int64_t left = m - weeks * per_week_;
        if (before) {
            for (std::int64_t s = first_ - 7 * weeks - 1;; --s) {
                if (((mask_ >> weekday(s)) & 1u) != 0 && --left == 0) return s;
            }
        }
        for (std::int64_t s = first_ + static_cast<std::int64_t>(span_) + 7 * weeks;; ++s) {
            if (((mask_ >> weekday(s)) & 1u) != 0 && --left == 0) return s;
        }
    }
    // The word holding it: ranks_[w] <= k < ranks_[w + 1].
    const auto it = std::upper_bound(ranks_.begin(), ranks_.end(), k);
    const std::size_t w = static_cast<std::size_t>(it - ranks_.begin()) - 1;
    std::uint64_t word = bits_[w];
    for (std::int64_t j = k - ranks_[w]; j > 0; --j) word &= word - 1;
    return first_ + static_cast<std::int64_t>(w << 6) + std::countr_zero(word);
}

// ---------------------------------------------------------------- checked questions

void BusinessDays::outside_range(std::int64_t serial) const {
    throw Error("Date (" + date_text(serial) + ") is outside the calendar's range (" + date_text(first_covered_) +
                " to " + date_text(last_covered_) + ")");
}

namespace {

[[noreturn]] void result_outside(const std::string& what, std::int32_t first, std::int32_t last) {
    throw Error(what + " is outside the calendar's range (" + date_text(first) + " to " + date_text(last) + ")");
}

}  // namespace

std::int32_t BusinessDays::following(std::int32_t serial) const {
    check(serial);
    const std::int64_t s = next(serial);
    if (has_range() && s > last_covered_) {
        result_outside("The business day on or after " + date_text(serial), first_covered_, last_covered_);
    }
    if (s > Date::max_serial) no_day_after(serial);
    return static_cast<std::int32_t>(s);
}

std::int32_t BusinessDays::preceding(std::int32_t serial) const {
    check(serial);
    const std::int64_t s = previous(serial);
    if (has_range() && s < first_covered_) {
        result_outside("The business day on or before " + date_text(serial), first_covered_, last_covered_);
    }
    if (s < Date::min_serial) no_day_before(serial);
    return static_cast<std::int32_t>(s);
}

std::int32_t BusinessDays::adjust(std::int32_t serial, BusDayAdj rule) const {
    switch (rule) {
        case BusDayAdj::Unadjusted:
            check(serial);
            return serial;
        case BusDayAdj::Following:
            return following(serial);
        case BusDayAdj::Preceding:
            return preceding(serial);
        case BusDayAdj::ModFollowing: {
            check(serial);
            // Past the month's end (even past the date range's) the preceding
            // business day is the answer.
            const std::int64_t s = next(serial);
            if (s - serial > days_to_month_end(serial)) return preceding(serial);
            if (!covers(s)) {
                result_outside("The business day on or after " + date_text(serial), first_covered_, last_covered_);
            }
            return static_cast<std::int32_t>(s);
        }
    }
    unknown_rule(rule);
}

std::int32_t BusinessDays::advance(std::int32_t serial, std::int64_t n) const {
    if (n == 0) return following(serial);
    check(serial);
    const auto what = [&] {
        // The magnitude unsigned: -n overflows for the smallest int64.
        const std::uint64_t magnitude = n > 0 ? static_cast<std::uint64_t>(n) : 0 - static_cast<std::uint64_t>(n);
        return "Date " + date_text(serial) + (n > 0 ? " plus " : " minus ") + std::to_string(magnitude) +
               " business day" + (magnitude == 1 ? "" : "s");
    };
    std::int64_t s = n > 0 ? none : -none;
    if (n > 0 && n <= 64) {
        // A few steps, each to the next set bit of the bitmap.
        std::int64_t t = serial;
        for (std::int64_t k = 0; k < n && t != none; ++k) t = next(t + 1);
        s = t;
    } else if (n < 0 && n >= -64) {
        std::int64_t t = serial;
        for (std::int64_t k = 0; k > n && t != -none; --k) t = previous(t - 1);
        s = t;
    } else if (n < max_step && n > -max_step) {
        s = select(n > 0 ? rank(std::int64_t{serial} + 1) + n - 1 : rank(serial) + n);
    }
    if (has_range() && !covers(s)) result_outside(what(), first_covered_, last_covered_);
    if (s > Date::max_serial) fail(what() + " is after 65535-12-31, the last representable date");
    if (s < Date::min_serial) fail(what() + " is before 1899-01-01, the first valid date");
    return static_cast<std::int32_t>(s);
}

std::int64_t BusinessDays::business_days_between(std::int32_t start, std::int32_t end) const {
    // numpy.busday_count: the days counted are [start, end), or (end, start]
    // negated; the end is not examined and may be the day past the range.
    check(start);
    if (end >= start) {
        if (!has_range() || std::int64_t{end} != std::int64_t{last_covered_} + 1) check(end);
        return rank(end) - rank(start);
    }
    if (!has_range() || std::int64_t{end} != std::int64_t{first_covered_} - 1) check(end);
    return rank(std::int64_t{end} + 1) - rank(std::int64_t{start} + 1);
}

bool BusinessDays::is_month_end(std::int32_t serial) const {
    check(serial);
    const std::int64_t month_last = serial + days_to_month_end(serial);
    const std::int64_t s = next(std::int64_t{serial} + 1);
    // Days past the range would decide: refuse rather than guess.
    if (has_range() && month_last > last_covered_ && s > last_covered_) outside_range(std::int64_t{last_covered_} + 1);
    return s > month_last;
}

std::int32_t BusinessDays::month_end(std::int32_t serial) const {
    check(serial);
    const std::int64_t month_last = serial + days_to_month_end(serial);
    return preceding(static_cast<std::int32_t>(month_last));
}

// ---------------------------------------------------------------- blocks

// The loop of adjust() over many days; a day it cannot answer stops it, and
// adjust() of that day throws the reason.
template <BusDayAdj R>
std::int64_t BusinessDays::adjust_days_as(const std::int64_t* in, std::int64_t* out, std::int64_t n,
                                          std::int64_t offset, std::int64_t skip) const {
    const std::int64_t lo = has_range() ? first_covered_ : Date::min_serial;
    const std::int64_t hi = has_range() ? last_covered_ : Date::max_serial;
    // Bounds on the day numbers themselves: no sum with `offset` can overflow.
    const std::int64_t lo_day = lo - offset, hi_day = hi - offset;
    // One loop over the days, given the next and the previous business day
    // of a serial.
    const auto run = [&](auto next_of, auto previous_of) -> std::int64_t {
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t d = in[i];
            if (d == skip) {
                out[i] = d;
                continue;
            }
            if (d < lo_day || d > hi_day) return i;
            const std::int64_t serial = d + offset;
            std::int64_t s;
            if constexpr (R == BusDayAdj::Unadjusted) {
                s = serial;
            } else if constexpr (R == BusDayAdj::Following) {
                s = next_of(serial);
            } else if constexpr (R == BusDayAdj::Preceding) {
                s = previous_of(serial);
            } else {
                s = next_of(serial);
                if (s - serial > days_to_month_end(serial)) s = previous_of(serial);
            }
            if (s < lo || s > hi) return i;
            out[i] = s - offset;
        }
        return n;
    };
    if (span_ == 0 && mask_ != 0) {
        // No day differs from its weekday's rule: the week's tables alone,
        // copied so that the loop keeps them at hand.
        std::uint8_t ahead[7], back[7];
        std::copy(ahead_, ahead_ + 7, ahead);
        std::copy(back_, back_ + 7, back);
        return run([&](std::int64_t serial) { return serial + ahead[weekday(serial)]; },
                   [&](std::int64_t serial) { return serial - back[weekday(serial)]; });
    }
    return run([&](std::int64_t serial) { return next(serial); },
               [&](std::int64_t serial) { return previous(serial); });
}

std::int64_t BusinessDays::adjust_days(const std::int64_t* in, std::int64_t* out, std::int64_t n,
                                       std::int64_t offset, std::int64_t skip, BusDayAdj rule) const {
    switch (rule) {
        case BusDayAdj::Unadjusted:
            return adjust_days_as<BusDayAdj::Unadjusted>(in, out, n, offset, skip);
        case BusDayAdj::Following:
            return adjust_days_as<BusDayAdj::Following>(in, out, n, offset, skip);
        case BusDayAdj::Preceding:
            return adjust_days_as<BusDayAdj::Preceding>(in, out, n, offset, skip);
        case BusDayAdj::ModFollowing:
            return adjust_days_as<BusDayAdj::ModFollowing>(in, out, n, offset, skip);
    }
    unknown_rule(rule);
}

}  // namespace quill
