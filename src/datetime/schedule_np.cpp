// Array forms of business-day adjustment and schedules: dates in as any
// date-like, datetime64[D] out.
#include <atomic>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "datetime/business_calendar.hpp"
#include "datetime/calendar.hpp"
#include "datetime/schedule.hpp"
#include "datetime/tenor.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

// A holiday list: any date-like array or None; NaTs are ignored, as
// numpy.busday_offset ignores them.
struct Holidays {
    std::vector<std::int32_t> serials;
};

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
}  // namespace quill::np

namespace quill::py {

template <>
struct Arg<np::Holidays> {
    np::Holidays v;
    static constexpr bool may_be_absent = true;
    bool load(PyObject* o) {
        if (o == Py_None) return true;
        Arg<np::DateArray> dates;
        if (!dates.load(o)) return false;
        const std::int64_t* days = dates.get().days();
        const npy_intp n = dates.get().size();
        v.serials.reserve(static_cast<std::size_t>(n));
        for (npy_intp i = 0; i < n; ++i) {
            if (days[i] != np::nat) v.serials.push_back(static_cast<std::int32_t>(days[i] + np::epoch_serial));
        }
        return true;
    }
    np::Holidays get() { return std::move(v); }
};

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

constexpr std::int64_t grain = 65536;

PyObject* adjust(const DateArray& dates, const Calendar& cal, const BusDayAdj& rule, Holidays holidays) {
    const BusinessCalendar calendar = BusinessCalendar::from_rule(cal.rule(), std::move(holidays.serials));
    const BusinessDays& business = calendar.days();
    const BusDayAdj adj = rule;
    PyArrayObject* out = new_days(dates.shape());
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* in = dates.days();
    auto* result = static_cast<std::int64_t*>(PyArray_DATA(out));
    const npy_intp n = dates.size();
    std::atomic<std::int64_t> first_bad{n};
    for_chunks(n, grain, [&](std::int64_t begin, std::int64_t end) {
        const std::int64_t done = business.adjust_days(in + begin, result + begin, end - begin, epoch_serial, nat, adj);
        if (done == end - begin) return;
        std::int64_t seen = first_bad.load();
        while (begin + done < seen && !first_bad.compare_exchange_weak(seen, begin + done)) {
        }
    });
    if (const std::int64_t bad = first_bad.load(); bad < n) {
        try {
            business.adjust(static_cast<std::int32_t>(in[bad] + epoch_serial), adj);
        } catch (const Failure& e) {
            raise_at(FirstError::Kind::failure, e.message(), bad, dates.shape());
        }
        raise_at(FirstError::Kind::failure, "No business day for " + date_of_days(in[bad]).to_string(), bad,
                 dates.shape());
    }
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

Date date_of(const OneDate& d, const char* what) {
    if (d.days == nat) throw Error(std::string("Schedule ") + what + " (NaT) must be a date");
    return date_of_days(d.days);
}

PyObject* schedule(OneDate start, OneDate end, const TenorArg& tenor, const Calendar& cal, const BusDayAdj& adj,
                   const StubType& stub, py::Defaulted<bool> end_of_month, Holidays holidays) {
    const Date first = date_of(start, "start");
    const Date last = date_of(end, "end");
    const BusinessCalendar calendar = BusinessCalendar::from_rule(cal.rule(), std::move(holidays.serials));
    const BusinessDays& business = calendar.days();
    const std::vector<std::int32_t> dates =
        make_schedule(first, last, tenor.get(), business, adj, stub, end_of_month.value.value_or(false));
    PyArrayObject* out = new_days({static_cast<npy_intp>(dates.size())});
    auto* days = static_cast<std::int64_t*>(PyArray_DATA(out));
    for (std::size_t i = 0; i < dates.size(); ++i) days[i] = dates[i] - epoch_serial;
    return reinterpret_cast<PyObject*>(out);
}

PyMethodDef defs[] = {
    py::function<"adjust(dates, cal, bus_day_adj, holidays=None)\n--\n\n"
                 "Each date moved to a business day of `cal` (a quillander.Calendar) that is not\n"
                 "one of `holidays` (any date-like array; NaTs are ignored), by `bus_day_adj`:\n"
                 "Unadjusted leaves it, Following takes the first business day on or after it,\n"
                 "Preceding the last one on or before it, ModFollowing the following one unless\n"
                 "that is in the next month, then the preceding one. As datetime64[D]; NaT\n"
                 "stays NaT.",
                 &adjust>(),
    py::function<"schedule(start, end, tenor, cal, bus_day_adj, stub_type, end_of_month=False, holidays=None)\n--\n\n"
                 "The dates of a schedule from `start` to `end`, both included, as datetime64[D].\n"
                 "Regular dates are an anchor plus whole multiples of `tenor` (text or Tenor: days,\n"
                 "weeks, months or years; month steps keep the anchor's day, clamped to short\n"
                 "months). Front stubs anchor at `end` and step backward, back stubs and NoStub\n"
                 "anchor at `start` and step forward; a long stub merges the short period into\n"
                 "its neighbour, and NoStub needs `end` on the grid. With `end_of_month` and a\n"
                 "month or year tenor, an anchor with no business day after it in its month puts\n"
                 "every date between the ends on its month's last day. Every date is then\n"
                 "adjusted as adjust() does, and dates that coincide are kept once.",
                 &schedule>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_schedule_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
