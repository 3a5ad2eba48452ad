// Schedules: the dates of a schedule of regular periods with a stub where the
// two ends are not a whole number of periods apart, adjusted under a business
// calendar. How to use it:
//
//   make_schedule(start, end, parse_tenor("6M"), calendar.days(), BusDayAdj::ModFollowing,
//                 StubType::FrontShort, /*end_of_month=*/true);   // serials, increasing
#pragma once

#include <cstdint>
#include <vector>

#include "datetime/business_days.hpp"
#include "datetime/date.hpp"
#include "datetime/tenor.hpp"
#include "enums/bus_day_adj.hpp"
#include "enums/stub_type.hpp"

namespace quill {

// The dates of a schedule from `start` to `end`, both included, each
// regular date being the anchor plus a whole multiple of `tenor` (the anchor
// is `end` for front stubs, `start` for back stubs and NoStub), adjusted
// under `adj`, dates that coincide after adjustment kept once. With
// `end_of_month`, a month or year tenor and an anchor that is a month end of
// the calendar (no business day after it in its month), every date between
// the two ends is its month's last day before adjustment. Errors for
// start >= end, a tenor that is not a positive count of days, weeks, months
// or years, and a NoStub schedule whose end is off the grid.
std::vector<std::int32_t> make_schedule(const Date& start, const Date& end, const Tenor& tenor,
                                        const BusinessDays& days, BusDayAdj adj, StubType stub, bool end_of_month);

}  // namespace quill
