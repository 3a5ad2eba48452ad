// Business days and schedules: moving a date to a business day under one of
// the BusDayAdj rules, and the dates of a schedule of regular periods with a
// stub where the two ends are not a whole number of periods apart.
#pragma once

#include <cstdint>
#include <vector>

#include "core/civil.hpp"
#include "datetime/calendar.hpp"
#include "datetime/date.hpp"
#include "datetime/tenor.hpp"
#include "enums/bus_day_adj.hpp"
#include "enums/stub_type.hpp"

namespace quill {

// A calendar's weekend rule plus a list of holidays, in a form cheap enough to
// ask of millions of dates: the weekday's business flag, then a bitmap over
// the span of the holidays.
class BusinessDays {
public:
    // Holidays are serials in any order, repeats allowed; a holiday on a
    // weekend day changes nothing.
    BusinessDays(const CalendarRule& rule, const std::vector<std::int32_t>& holidays);

    bool is_business_day(std::int64_t serial) const noexcept {
        return ((week_mask_ >> weekday(serial)) & 1u) != 0 && !is_holiday(serial);
    }

    // The first business day on or after / last on or before `serial`; a
    // Failure when there is none inside the date range.
    std::int32_t following(std::int32_t serial) const {
        const std::int64_t s = next_business_day(serial);
        if (s > Date::max_serial) no_day_after(serial);
        return static_cast<std::int32_t>(s);
    }
    std::int32_t preceding(std::int32_t serial) const {
        if (week_mask_ == 0) no_day_before(serial);
        std::int64_t s = serial - back_[weekday(serial)];
        while (is_holiday(s)) {
            --s;
            s -= back_[weekday(s)];
        }
        if (s < Date::min_serial) no_day_before(serial);
        return static_cast<std::int32_t>(s);
    }
    // The business day of `serial`, a valid serial, under `rule`.
    std::int32_t adjust(std::int32_t serial, BusDayAdj rule) const {
        switch (rule) {
            case BusDayAdj::Unadjusted:
                return serial;
            case BusDayAdj::Following:
                return following(serial);
            case BusDayAdj::Preceding:
                return preceding(serial);
            case BusDayAdj::ModFollowing: {
                // Past the month's end (even past the date range's) the
                // preceding business day is the answer.
                const std::int64_t s = next_business_day(serial);
                if (s - serial <= days_to_month_end(serial)) return static_cast<std::int32_t>(s);
                return preceding(serial);
            }
        }
        unknown_rule(rule);
    }

    // Adjusts the day numbers in[0, n) into out[0, n), the serial of day d
    // being d + offset, copying `skip` (a missing date) as it is. Returns n,
    // or the index of the first day that has no business day to move to
    // inside the date range (adjust() of it raises the Failure).
    std::int64_t adjust_days(const std::int64_t* in, std::int64_t* out, std::int64_t n, std::int64_t offset,
                             std::int64_t skip, BusDayAdj rule) const;

private:
    template <BusDayAdj R, bool Holidays>
    std::int64_t adjust_days_as(const std::int64_t* in, std::int64_t* out, std::int64_t n, std::int64_t offset,
                                std::int64_t skip) const;

    // The searches step a few days past the range's ends, where the weekday
    // rule still holds.
    static unsigned weekday(std::int64_t serial) noexcept { return civil::weekday_of_serial(serial); }
    bool is_holiday(std::int64_t serial) const noexcept {
        const auto offset = static_cast<std::uint64_t>(serial - first_holiday_);
        return offset < span_ && ((holidays_[offset >> 6] >> (offset & 63)) & 1u) != 0;
    }
    // The first business day on or after `serial`, possibly past the range.
    std::int64_t next_business_day(std::int32_t serial) const {
        if (week_mask_ == 0) no_day_after(serial);
        std::int64_t s = serial + ahead_[weekday(serial)];
        while (is_holiday(s)) {
            ++s;
            s += ahead_[weekday(s)];
        }
        return s;
    }
    // Days from `serial`, a valid serial, to its month's last day. The
    // calendar repeats every 400 years (146097 days), so one cycle's table,
    // counted from a 1st of March, answers for every date without a branch.
    std::int64_t days_to_month_end(std::int32_t serial) const noexcept {
        return month_ends_[static_cast<std::uint32_t>(serial + 693899) % 146097];  // days since 0000-03-01
    }
    [[noreturn]] static void no_day_after(std::int32_t serial);
    [[noreturn]] static void no_day_before(std::int32_t serial);
    [[noreturn]] static void unknown_rule(BusDayAdj rule);

    const std::uint8_t* month_ends_;  // one 400-year cycle, shared by all
    std::uint8_t week_mask_ = 0;      // bit w set: weekday w (Monday 0) is a business day
    std::uint8_t ahead_[7] = {};      // days from weekday w to the next business weekday
    std::uint8_t back_[7] = {};       // days from weekday w back to the last business weekday
    std::int64_t first_holiday_ = 0;  // the bitmap's first serial
    std::uint64_t span_ = 0;          // the bitmap's length in days
    std::vector<std::uint64_t> holidays_;
};

// The dates of a schedule from `start` to `end`, both included, each
// regular date being the anchor plus a whole multiple of `tenor` (the anchor
// is `end` for front stubs, `start` for back stubs and NoStub), adjusted
// under `adj`, dates that coincide after adjustment kept once. Errors for
// start >= end, a tenor that is not a positive count of days, weeks, months
// or years, and a NoStub schedule whose end is off the grid.
std::vector<std::int32_t> make_schedule(const Date& start, const Date& end, const Tenor& tenor,
                                        const BusinessDays& days, BusDayAdj adj, StubType stub, bool end_of_month);

}  // namespace quill
