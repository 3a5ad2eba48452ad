// Array forms of Date.is_business_day and Date.is_weekend.
#include <string_view>

#include "datetime/calendar.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

enum class Ask { business_day, weekend };

// The two known rules answer from the weekday index alone; any other rule is
// asked date by date. NaT is neither a business day nor a weekend day, as
// numpy.is_busday has it.
template <Ask A>
PyObject* ask(const DateArray& dates, const Calendar& cal) {
    PyArrayObject* out = new_array(dates.shape(), NPY_BOOL);
    const std::int64_t* days = dates.days();
    auto* flags = static_cast<npy_bool*>(PyArray_DATA(out));
    const CalendarRule& rule = cal.rule();
    const std::string_view name = rule.get_name();
    const bool week = name == "QD_WEEK", none = name == "QD_NONE";
    for_chunks(dates.size(), 65536, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            bool answer;
            if (week) {
                const bool weekend = civil::weekday_of_serial(d + epoch_serial) >= 5;
                answer = A == Ask::business_day ? !weekend : weekend;
            } else if (none) {
                answer = A == Ask::business_day;
            } else if (d != nat) {
                const Date date = date_of_days(d);
                answer = A == Ask::business_day ? rule.is_business_day(date) : rule.is_weekend(date);
            } else {
                answer = false;
            }
            flags[i] = answer && d != nat;
        }
    });
    return finish(out);
}

PyMethodDef defs[] = {
    py::function<"is_business_day(dates, cal)\n--\n\n"
                 "Date.is_business_day of each date under the Calendar cal, as bool. NaT gives\n"
                 "False (as numpy.is_busday).",
                 &ask<Ask::business_day>>(),
    py::function<"is_weekend(dates, cal)\n--\n\n"
                 "Date.is_weekend of each date under the Calendar cal, as bool. NaT gives False.",
                 &ask<Ask::weekend>>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_calendar_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
