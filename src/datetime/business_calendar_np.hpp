// The array module's calendar arguments, converted once per call:
//
//   cal       a quillander.Calendar, a quillander_numpy.BusinessCalendar or a
//             numpy.busdaycalendar: the same days give the same answers;
//   holidays  one-off holidays beside it: what numpy.busday_offset takes
//             (date-likes, ISO strings, datetime64 of any unit of a day or
//             finer) in any iterable (lists, arrays, sets, the holidays
//             package's objects, whose keys are dates); NaT and repeats are
//             ignored, days outside the range of dates move no date.
//
//   BusinessCalendar business(Arg<CalendarArg>..., Arg<HolidayList>...)  ->  calendar_with(cal, holidays)
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "datetime/business_calendar.hpp"
#include "python/binding.hpp"

namespace quill::np {

struct HolidayList {
    std::vector<std::int32_t> serials;
};

struct CalendarArg {
    std::optional<BusinessCalendar> value;
};

// The calendar with the one-off holidays added.
BusinessCalendar calendar_with(const CalendarArg& cal, HolidayList&& holidays);

// A twin's `cal` operand: a BusinessCalendar object (a new reference) of
// `cal` with `holidays` (None, or a holiday list) added; an array of
// BusinessCalendars passes as it is (without holidays). Null with the
// exception set, naming the argument.
PyObject* calendar_operand(PyObject* cal, PyObject* holidays);

// The calendar of a Calendar, BusinessCalendar or numpy.busdaycalendar, or
// false with TypeError "'<type>' object is not a Calendar, BusinessCalendar
// or numpy.busdaycalendar" set (not prefixed).
bool load_calendar(PyObject* o, std::optional<BusinessCalendar>& out);

}  // namespace quill::np

namespace quill::py {

template <>
struct Arg<np::HolidayList> {
    np::HolidayList v;
    static constexpr bool may_be_absent = true;
    bool load(PyObject* o);
    np::HolidayList get() { return std::move(v); }
};

template <>
struct Arg<np::CalendarArg> {
    np::CalendarArg v;
    bool load(PyObject* o) { return np::load_calendar(o, v.value); }
    const np::CalendarArg& get() const { return v; }
};

}  // namespace quill::py
