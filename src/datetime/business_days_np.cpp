// Array forms of business-day arithmetic: T+n steps and business days
// between dates, under any calendar argument.
#include "datetime/business_calendar_np.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {

// A count of business days: an integer result, with no place for NaT.
struct BusinessDayCount {
    std::int64_t value;
    explicit operator std::int64_t() const noexcept { return value; }
};
constexpr char count_what[] = "a count of business days";
template <>
struct Out<BusinessDayCount> : IntegerOfDate<BusinessDayCount, count_what> {};

namespace {

Date advanced(Date d, std::int64_t n, const BusinessCalendar& cal) {
    return Date::from_serial(cal.days().advance(d.serial(), n));
}

BusinessDayCount between(Date start, Date end, const BusinessCalendar& cal) {
    return {cal.days().business_days_between(start.serial(), end.serial())};
}


}  // namespace

// External linkage: a template argument of the twin options.
// (a, b, cal, holidays) -> (a, b, cal with the holidays).
bool business_day_count_operands(PyObject* const* params, PyObject** operands) {
    PyObject* cal = calendar_operand(params[2], params[3]);
    if (cal == nullptr) return false;
    operands[0] = Py_NewRef(params[0]);
    operands[1] = Py_NewRef(params[1]);
    operands[2] = cal;
    return true;
}

// One calendar for the whole loop; an element the core refuses (outside the
// range, past the dates) goes to the element path, which raises its error.
template <>
struct Block<&advanced> {
    static constexpr bool exists = true;
    using V = View<&advanced>;
    struct State {};
    static State prepare(const V&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const V& v, std::int64_t begin, std::int64_t end) {
        const BusinessDays& days = v.template receiver<2>().days();
        const Column<std::int64_t> in = v.template in<0>();
        const Column<std::int64_t> steps = v.template in<1>();
        const OutColumn<std::int64_t> out = v.template out<0, std::int64_t>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = in[i];
            if (d == nat) {
                out.set(i, nat);
                continue;
            }
            if (!valid_day(d)) return i;
            try {
                out.set(i, days.advance(static_cast<std::int32_t>(d + epoch_serial), steps[i]) - epoch_serial);
            } catch (const Error&) {
                return i;
            } catch (const Failure&) {
                return i;
            }
        }
        return end;
    }
};

template <>
struct Block<&between> {
    static constexpr bool exists = true;
    using V = View<&between>;
    struct State {};
    static State prepare(const V&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const V& v, std::int64_t begin, std::int64_t end) {
        const BusinessDays& days = v.template receiver<2>().days();
        const Column<std::int64_t> starts = v.template in<0>();
        const Column<std::int64_t> ends = v.template in<1>();
        const OutColumn<std::int64_t> out = v.template out<0, std::int64_t>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t a = starts[i], z = ends[i];
            if (!valid_day(a) || !valid_day(z)) return i;  // NaT too
            try {
                out.set(i, days.business_days_between(static_cast<std::int32_t>(a + epoch_serial),
                                                      static_cast<std::int32_t>(z + epoch_serial)));
            } catch (const Error&) {
                return i;
            }
        }
        return end;
    }
};

bool add_business_day_twins(PyObject* m) {
    constexpr TwinOptions options{.grain = 65536};
    return add_twin<"add_business_days(dates, n, cal, holidays=None)\n--\n\n"
                    "Each date moved `n` business days of `cal` (a quillander.Calendar, a\n"
                    "BusinessCalendar or a numpy.busdaycalendar, less the one-off `holidays`)\n"
                    "forward, or back for n < 0 (broadcast): T+2 settlement, T-1 fixing. From a\n"
                    "non-business day the first step lands on the nearest business day in the\n"
                    "direction of travel; n = 0 rolls to the following business day (QuantLib's\n"
                    "Calendar.advance in days; numpy's busday_offset with roll='preceding' for\n"
                    "n > 0, 'following' otherwise). As datetime64[D]; NaT stays NaT.",
                    &advanced, options, "add_business_days(dates, n, cal)", &business_day_count_operands>(m) &&
           add_twin<"business_days_between(start, end, cal, holidays=None)\n--\n\n"
                    "The business days of `cal` from `start` to `end` (broadcast), as\n"
                    "numpy.busday_count counts them: those in [start, end), or minus those in\n"
                    "(end, start] when end < start. As int64; NaT is a ValueError.",
                    &between, options, "business_days_between(start, end, cal)", &business_day_count_operands>(m);
}

}  // namespace quill::np
