// Business calendars as values: which days are business days, as a weekend
// mask, holidays, business days on weekend days (where a market's data has
// them) and the range of dates the data covers. How to use it:
//
//   auto cal = BusinessCalendar::from_holidays(0x1f, {serial, ...});   // numpy.busdaycalendar's content
//   auto both = cal.join(other);             // a holiday of either is a holiday of the join
//   cal.days().advance(serial, 2);           // queries: see business_days.hpp
//   cal.with_holidays({...}).days()          // one-off extra holidays
//
// A value is immutable and cheap to copy (its content and query tables are
// shared); it compares and hashes by which days are business days and the
// range, not by its name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "datetime/business_days.hpp"
#include "datetime/calendar.hpp"

namespace quill {

// "1111100" for Monday to Friday.
std::string weekmask_text(std::uint8_t weekmask);
// "1111100" or weekday names such as "Mon Tue Wed Thu Fri" (numpy's forms);
// Error otherwise. A mask without a business day is refused when a calendar
// is made.
std::uint8_t parse_weekmask(std::string_view text);

class BusinessCalendar {
public:
    // Serials in any order, repeats allowed; holidays on weekend days change
    // nothing and are dropped, as numpy.busdaycalendar drops them.
    static BusinessCalendar from_holidays(std::uint8_t weekmask, std::vector<std::int32_t> holidays,
                                          std::string name = {});
    // A Calendar's weekend rule plus holidays.
    static BusinessCalendar from_rule(const CalendarRule& rule, std::vector<std::int32_t> holidays);
    // A market's data over [first, last]: a weekend day is a business day
    // when it is one of `workdays`, any other day when it is not one of
    // `holidays`. Which days are weekend days: `weekend`, one flag a day from
    // `first` (a market's weekend changes over the years), or, when empty,
    // the days off `weekmask`. The calendar's mask is `weekmask`.
    static BusinessCalendar from_market(std::string name, std::uint8_t weekmask, const std::vector<bool>& weekend,
                                        std::vector<std::int32_t> holidays, std::vector<std::int32_t> workdays,
                                        std::int32_t first, std::int32_t last);
    // Any content, put in order (sorted, unique, each list on its kind of
    // weekday, days outside the range or the dates dropped). Error for a mask
    // without a business day.
    static BusinessCalendar from_content(CalendarDays content, std::string name);

    // A business day of the join is one of both; the join covers the days
    // both cover (Error when they have none in common).
    BusinessCalendar join(const BusinessCalendar& other) const;
    // The same calendar with more holidays (days outside the range are dropped).
    BusinessCalendar with_holidays(std::vector<std::int32_t> holidays) const;

    const CalendarDays& content() const noexcept { return state_->content; }
    const BusinessDays& days() const noexcept { return state_->days; }
    const std::string& name() const noexcept { return state_->name; }
    std::size_t hash() const noexcept { return state_->hash; }
    bool operator==(const BusinessCalendar& other) const noexcept {
        return state_ == other.state_ || state_->content == other.state_->content;
    }

private:
    struct State {
        CalendarDays content;
        BusinessDays days;
        std::string name;
        std::size_t hash;
        State(CalendarDays c, std::string n);
    };
    explicit BusinessCalendar(std::shared_ptr<const State> state) noexcept : state_(std::move(state)) {}

    std::shared_ptr<const State> state_;
};

}  // namespace quill
