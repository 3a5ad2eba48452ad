// Business days and schedules: moving a date to a business day under one of
// the BusDayAdj rules, and the dates of a schedule of regular periods with a
// stub where the two ends are not a whole number of periods apart.
#pragma once

#include <cstdint>
#include <vector>

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

    bool is_business_day(std::int32_t serial) const noexcept {
        if (((week_mask_ >> weekday_index(serial)) & 1u) == 0) return false;
        const auto offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(serial) - first_holiday_);
        return offset >= span_ || ((holidays_[offset >> 6] >> (offset & 63)) & 1u) == 0;
    }

    // The first business day on or after / last on or before `serial`; a
    // Failure when there is none inside the date range.
    std::int32_t following(std::int32_t serial) const;
    std::int32_t preceding(std::int32_t serial) const;
    // The business day of `serial` under `rule`, a valid serial.
    std::int32_t adjust(std::int32_t serial, BusDayAdj rule) const;

private:
    std::uint8_t week_mask_ = 0;      // bit w set: weekday w (Monday 0) is a business day
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
