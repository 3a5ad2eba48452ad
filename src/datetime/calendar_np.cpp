// Array forms of Date.is_business_day and Date.is_weekend, under any calendar
// argument: a quillander.Calendar, a BusinessCalendar or a numpy.busdaycalendar.
#include "datetime/business_calendar_np.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {
namespace {

bool business_day_at(Date d, const BusinessCalendar& cal) { return cal.days().business_day(d.serial()); }
bool weekend_at(Date d, const BusinessCalendar& cal) { return cal.days().weekend(d.serial()); }



}  // namespace

// External linkage: a template argument of the twin options.
// (dates, cal) -> (dates, cal as a BusinessCalendar).
bool weekend_operands(PyObject* const* params, PyObject** operands) {
    PyObject* cal = calendar_operand(params[1], nullptr);
    if (cal == nullptr) return false;
    operands[0] = Py_NewRef(params[0]);
    operands[1] = cal;
    return true;
}

// External linkage: a template argument of the twin options.
// (dates, cal, holidays) -> (dates, cal with the holidays).
bool business_day_operands(PyObject* const* params, PyObject** operands) {
    PyObject* cal = calendar_operand(params[1], params[2]);
    if (cal == nullptr) return false;
    operands[0] = Py_NewRef(params[0]);
    operands[1] = cal;
    return true;
}

// One calendar for the whole loop: the bitmap asked directly, days outside
// its range (or the dates') left to the element path, which refuses them.
template <auto K, bool Business>
struct AskBlock {
    static constexpr bool exists = true;
    using V = View<K>;
    struct State {};
    static State prepare(const V&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const V& v, std::int64_t begin, std::int64_t end) {
        const BusinessDays& days = v.template receiver<1>().days();
        const std::int64_t lo = (days.has_range() ? days.first_covered() : Date::min_serial) - epoch_serial;
        const std::int64_t hi = (days.has_range() ? days.last_covered() : Date::max_serial) - epoch_serial;
        const Column<std::int64_t> in = v.template in<0>();
        const OutColumn<npy_bool> out = v.template out<0, npy_bool>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = in[i];
            if (d == nat) {
                out.set(i, 0);
                continue;
            }
            if (d < lo || d > hi) return i;
            const bool answer = Business ? days.is_business_day(d + epoch_serial) : days.is_weekend(d + epoch_serial);
            out.set(i, static_cast<npy_bool>(answer));
        }
        return end;
    }
};

template <>
struct Block<&business_day_at> : AskBlock<&business_day_at, true> {};
template <>
struct Block<&weekend_at> : AskBlock<&weekend_at, false> {};

bool add_calendar_twins(PyObject* m) {
    constexpr TwinOptions options{.grain = 65536};
    return add_twin<"is_business_day(dates, cal, holidays=None)\n--\n\n"
                    "Whether each date is a business day of `cal` (a quillander.Calendar, a\n"
                    "BusinessCalendar or a numpy.busdaycalendar) and not one of the one-off\n"
                    "`holidays`, as bool; NaT gives False (as numpy.is_busday). A date outside the\n"
                    "calendar's range is a ValueError.",
                    &business_day_at, options, "is_business_day(dates, cal)", &business_day_operands>(m) &&
           add_twin<"is_weekend(dates, cal)\n--\n\n"
                    "Whether each date's weekday is off in `cal`'s weekmask (a quillander.Calendar,\n"
                    "a BusinessCalendar or a numpy.busdaycalendar), as bool; NaT gives False.",
                    &weekend_at, options, "is_weekend(dates, cal)", &weekend_operands>(m);
}

}  // namespace quill::np
