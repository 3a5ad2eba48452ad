// Array forms of business-day adjustment (a twin) and schedules (a function:
// its length is the data's), under any calendar argument.
#include <atomic>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "datetime/business_calendar_np.hpp"
#include "datetime/calendar.hpp"
#include "datetime/schedule.hpp"
#include "datetime/tenor.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "numpy/wrapper.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

// One date (NaT included), from any single date-like.
struct OneDate {
    std::int64_t days = nat;
};

// A tenor as text, parsed when the call runs, or a quillander.Tenor.
struct TenorArg {
    std::variant<std::string_view, Tenor> value;
    Tenor get() const {
        if (const auto* t = std::get_if<Tenor>(&value)) return *t;
        return parse_tenor(std::get<std::string_view>(value));
    }
};

}  // namespace

// External linkage: a template argument of the twin options.
// (dates, cal, bus_day_adj, holidays) -> (dates, cal with the holidays, bus_day_adj).
bool adjust_operands(PyObject* const* params, PyObject** operands) {
    PyObject* cal = calendar_operand(params[1], params[3]);
    if (cal == nullptr) return false;
    operands[0] = Py_NewRef(params[0]);
    operands[1] = cal;
    operands[2] = Py_NewRef(params[2]);
    return true;
}
}  // namespace quill::np

namespace quill::py {

template <>
struct Arg<np::OneDate> {
    np::OneDate v;
    bool load(PyObject* o) {
        // Text and sequences are not one date; refuse them as the scalar binding would.
        if (PyUnicode_Check(o) || PyBytes_Check(o) || PyList_Check(o) || PyTuple_Check(o)) {
            cannot_convert(o, "Date");
            return false;
        }
        Arg<np::DateArray> dates;
        if (!dates.load(o)) return false;
        if (PyArray_NDIM(dates.get().array()) != 0) {
            cannot_convert(o, "Date");
            return false;
        }
        v.days = dates.get().days()[0];
        return true;
    }
    np::OneDate get() const { return v; }
};

template <>
struct Arg<np::TenorArg> {
    np::TenorArg v;
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, PyClass<Tenor>::type)) {
            v.value = reinterpret_cast<Obj<Tenor>*>(o)->value;
            return true;
        }
        if (!PyUnicode_Check(o)) {
            cannot_convert(o, "Tenor");
            return false;
        }
        std::string_view text;
        if (!load_text(o, text)) return false;
        v.value = text;
        return true;
    }
    const np::TenorArg& get() const { return v; }
};

}  // namespace quill::py

namespace quill::np {
namespace {

Date date_of(const OneDate& d, const char* what) {
    if (d.days == nat) throw Error(std::string("Schedule ") + what + " (NaT) must be a date");
    return date_of_days(d.days);
}

PyObject* schedule(OneDate start, OneDate end, const TenorArg& tenor, const CalendarArg& cal, const BusDayAdj& adj,
                   const StubType& stub, py::Defaulted<bool> end_of_month, HolidayList holidays) {
    const Date first = date_of(start, "start");
    const Date last = date_of(end, "end");
    const BusinessCalendar business = calendar_with(cal, std::move(holidays));
    const std::vector<std::int32_t> dates =
        make_schedule(first, last, tenor.get(), business.days(), adj, stub, end_of_month.value.value_or(false));
    PyArrayObject* out = new_days({static_cast<npy_intp>(dates.size())});
    auto* days = static_cast<std::int64_t*>(PyArray_DATA(out));
    for (std::size_t i = 0; i < dates.size(); ++i) days[i] = dates[i] - epoch_serial;
    return reinterpret_cast<PyObject*>(out);
}

Date adjusted(Date d, const BusinessCalendar& cal, BusDayAdj adj) {
    return Date::from_serial(cal.days().adjust(d.serial(), adj));
}


PyMethodDef defs[] = {
    py::function<"schedule(start, end, tenor, cal, bus_day_adj, stub_type, end_of_month=False, holidays=None)\n--\n\n"
                 "The dates of a schedule from `start` to `end`, both included, as datetime64[D].\n"
                 "Regular dates are an anchor plus whole multiples of `tenor` (text or Tenor: days,\n"
                 "weeks, months or years; month steps keep the anchor's day, clamped to short\n"
                 "months). Front stubs anchor at `end` and step backward, back stubs and NoStub\n"
                 "anchor at `start` and step forward; a long stub merges the short period into\n"
                 "its neighbour, and NoStub needs `end` on the grid. With `end_of_month` and a\n"
                 "month or year tenor, an anchor with no business day after it in its month puts\n"
                 "every date between the ends on its month's last day. Every date is then\n"
                 "adjusted as adjust() does under `cal` (a quillander.Calendar, a\n"
                 "BusinessCalendar or a numpy.busdaycalendar) and the one-off `holidays`, and\n"
                 "dates that coincide are kept once.",
                 &schedule>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// One calendar and one rule for the whole loop: the core's block loop.
template <>
struct Block<&adjusted> {
    static constexpr bool exists = true;
    using V = View<&adjusted>;
    struct State {};
    static State prepare(const V&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const V& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> rules = v.template in<2>();
        if (!rules.broadcast()) return run_each(v, begin, end);
        const BusinessDays& days = v.template receiver<1>().days();
        const auto rule = static_cast<BusDayAdj>(rules[0]);
        const Column<std::int64_t> in = v.template in<0>();
        const OutColumn<std::int64_t> out = v.template out<0, std::int64_t>();
        // Contiguous columns in place; others a piece at a time.
        constexpr std::int64_t piece = 256;
        std::int64_t buffer_in[piece], buffer_out[piece];
        for (std::int64_t base = begin; base < end; base += piece) {
            const std::int64_t count = std::min(piece, end - base);
            const std::int64_t* from = in.contiguous() ? in.ptr() + base : buffer_in;
            std::int64_t* to = out.contiguous() ? out.ptr() + base : buffer_out;
            if (!in.contiguous()) {
                for (std::int64_t j = 0; j < count; ++j) buffer_in[j] = in[base + j];
            }
            const std::int64_t done = days.adjust_days(from, to, count, epoch_serial, nat, rule);
            if (!out.contiguous()) {
                for (std::int64_t j = 0; j < done; ++j) out.set(base + j, buffer_out[j]);
            }
            if (done < count) return base + done;
        }
        return end;
    }
    // A rule an element: the element path.
    static std::int64_t run_each(const V&, std::int64_t begin, std::int64_t) { return begin; }
};

bool add_schedule_twins(PyObject* m) {
    return add_twin<"adjust(dates, cal, bus_day_adj, holidays=None)\n--\n\n"
                    "Each date moved to a business day of `cal` (a quillander.Calendar, a\n"
                    "BusinessCalendar or a numpy.busdaycalendar) that is not one of the one-off\n"
                    "`holidays`, by `bus_day_adj`: Unadjusted leaves it, Following takes the first\n"
                    "business day on or after it, Preceding the last one on or before it,\n"
                    "ModFollowing the following one unless that is in the next month, then the\n"
                    "preceding one. As datetime64[D]; NaT stays NaT.",
                    &adjusted, TwinOptions{.grain = 65536}, "adjust(dates, cal, bus_day_adj)", &adjust_operands>(m) &&
           add_functions(m, defs);
}

}  // namespace quill::np
