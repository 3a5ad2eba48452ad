// The array form of the market's day counts: year fractions under a named
// convention or a quillander.DayCounter.
#include <limits>
#include <string>

#include "datetime/day_count_np.hpp"
#include "datetime/day_counter.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {

DayCount load_day_count(PyObject* o) {
    if (Py_IS_TYPE(o, py::PyClass<DayCounter>::type)) {
        switch (reinterpret_cast<py::Obj<DayCounter>*>(o)->value) {
            case DayCounter::Act365:
                return DayCount::Act365F;
            case DayCounter::Act360:
                return DayCount::Act360;
            case DayCounter::Thirty360:
                break;
        }
        throw Error("DayCounter.Thirty360 does not say which 30/360 convention; name it: \"30/360\" (US bond basis), "
                    "\"30E/360\" or \"30E/360 ISDA\"");
    }
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a DayCounter or a day-count name", Py_TYPE(o)->tp_name);
        throw py::PythonError{};
    }
    std::string_view name;
    if (!py::load_text(o, name)) throw py::PythonError{};
    return day_count_from_name(name);
}

// A day count year_fraction takes: a name or a quillander.DayCounter that
// says its convention; ACT/ACT ICMA, which needs a reference period, and
// DayCounter.Thirty360, which does not say which 30/360, are refused.
struct FractionDayCount {
    DayCount value;
};

// An end date that may be the maturity, or no maturity (NaT, None).
struct Maturity {
    std::int64_t serial;  // no_maturity for none
};

namespace {

FractionDayCount day_count_of(PyObject* o) {
    const DayCount dc = load_day_count(o);
    if (dc == DayCount::ActActIcma) year_fraction_needs_period(dc);
    return {dc};
}

}  // namespace

template <>
struct Lane<FractionDayCount> {
    using Native = FractionDayCount;
    using Value = FractionDayCount;
    using Batched = FractionDayCount;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta*, std::string_view) { return &PyArray_ObjectDType; }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        return convert_objects<FractionDayCount>(op, out, name, err, [](PyObject* o, FractionDayCount& dc) {
            try {
                dc = day_count_of(o);
            } catch (const py::PythonError&) {
                return false;
            }
            return true;
        });
    }
    static Status status(const FractionDayCount&) noexcept { return Status::ok; }
    static FractionDayCount value(const FractionDayCount& d) noexcept { return d; }
    static FractionDayCount batched(const FractionDayCount& d) noexcept { return d; }
    static FractionDayCount pass(const FractionDayCount& d) noexcept { return d; }
    static FirstError::Kind refusal(const FractionDayCount&, std::string_view, std::string&) {
        return FirstError::Kind::value;
    }
    // One name is judged before any date is looked at: its error carries no index.
    static bool check(PyObject* o, std::string_view name) {
        try {
            (void)day_count_of(o);
        } catch (const py::PythonError&) {
            py::argument_error(name);
            return false;
        } catch (const Error& e) {
            py::raise_error(e.message());
            return false;
        }
        return true;
    }
};

// Dates as the date lane reads them, NaT (and None) meaning no maturity
// rather than a missing element.
template <>
struct Lane<Maturity> {
    using Native = std::int64_t;
    using Value = std::int64_t;
    using Batched = std::int64_t;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view name) {
        return Lane<Date>::choose(given, name);
    }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        return Lane<Date>::prepare(op, out, name, err);
    }
    static Status status(std::int64_t d) noexcept { return d == nat || valid_day(d) ? Status::ok : Status::refused; }
    static std::int64_t value(std::int64_t d) noexcept { return d; }
    static std::int64_t batched(std::int64_t d) noexcept { return d; }
    static Maturity pass(std::int64_t d) noexcept { return {d == nat ? no_maturity : d + epoch_serial}; }
    static FirstError::Kind refusal(std::int64_t d, std::string_view, std::string& message) {
        return out_of_range(d, message);
    }
    static bool check(PyObject*, std::string_view) { return true; }
};

namespace {

double fraction(Date start, Date end, FractionDayCount dc, Maturity maturity) {
    return year_fraction(dc.value, start.serial(), end.serial(), maturity.serial);
}

}  // namespace

// One convention for the whole loop.
template <>
struct Block<&fraction> {
    static constexpr bool exists = true;
    using V = View<&fraction>;
    struct State {};
    static State prepare(const V&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const V& v, std::int64_t begin, std::int64_t end) {
        const Column<FractionDayCount> conventions = v.template in<2>();
        if (!conventions.broadcast()) return begin;  // one an element: the element path
        const DayCount dc = conventions[0].value;
        const Column<std::int64_t> starts = v.template in<0>();
        const Column<std::int64_t> ends = v.template in<1>();
        const Column<std::int64_t> maturities = v.template in<3>();
        const OutColumn<double> out = v.template out<0, double>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t a = starts[i], z = ends[i], m = maturities[i];
            if (a == nat || z == nat) {
                if (m != nat && !valid_day(m)) return i;
                out.set(i, std::numeric_limits<double>::quiet_NaN());
                continue;
            }
            if (!valid_day(a) || !valid_day(z) || (m != nat && !valid_day(m))) return i;
            out.set(i, year_fraction(dc, a + epoch_serial, z + epoch_serial, m == nat ? no_maturity : m + epoch_serial));
        }
        return end;
    }
};

bool add_day_count_twins(PyObject* m) {
    return add_twin<"year_fraction(start, end, day_count, maturity=None)\n--\n\n"
                    "The year fraction from `start` to `end` (broadcast) under `day_count`: a name,\n"
                    "\"ACT/365F\", \"ACT/360\", \"30/360\" (US bond basis), \"30E/360\" (Eurobond basis),\n"
                    "\"30E/360 ISDA\" or \"ACT/ACT ISDA\", or a quillander.DayCounter (Act365, Act360).\n"
                    "Under \"30E/360 ISDA\" an end on `maturity` keeps a February month end. Each\n"
                    "equals QuantLib's counterpart; an end before the start gives a negative\n"
                    "fraction. As float64; NaT gives NaN.",
                    &fraction, TwinOptions{.grain = 65536}>(m);
}

}  // namespace quill::np
