// The array form of the market's day counts: year fractions under a named
// convention or a quillander.DayCounter.
#include <limits>
#include <string>

#include "datetime/day_count.hpp"
#include "datetime/day_counter.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

struct DayCountArg {
    DayCount value;
};

// Dates or nothing (None or not given).
struct MaybeDates {
    DateArray dates;
    bool present = false;
};

}  // namespace
}  // namespace quill::np

namespace quill::py {

// A name ("30E/360 ISDA") or a quillander.DayCounter whose convention is one
// of them.
template <>
struct Arg<np::DayCountArg> {
    np::DayCountArg v;
    bool load(PyObject* o) {
        try {
            if (Py_IS_TYPE(o, PyClass<DayCounter>::type)) {
                switch (reinterpret_cast<Obj<DayCounter>*>(o)->value) {
                    case DayCounter::Act365:
                        v.value = DayCount::Act365F;
                        return true;
                    case DayCounter::Act360:
                        v.value = DayCount::Act360;
                        return true;
                    case DayCounter::Thirty360:
                        break;
                }
                throw Error("DayCounter.Thirty360 does not say which 30/360 convention; name it: \"30/360\" (US "
                            "bond basis), \"30E/360\" or \"30E/360 ISDA\"");
            }
            if (!PyUnicode_Check(o)) {
                PyErr_Format(PyExc_TypeError, "'%s' object is not a DayCounter or a day-count name",
                             Py_TYPE(o)->tp_name);
                return false;
            }
            std::string_view name;
            if (!load_text(o, name)) return false;
            v.value = day_count_from_name(name);
            return true;
        } catch (const Error& e) {
            raise_error(e.message());
            return false;
        }
    }
    np::DayCountArg get() const { return v; }
};

template <>
struct Arg<np::MaybeDates> {
    Arg<np::DateArray> inner;
    np::MaybeDates v;
    static constexpr bool may_be_absent = true;
    bool load(PyObject* o) {
        if (o == Py_None) return true;
        if (!inner.load(o)) return false;
        v.dates.reset(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(inner.get().array()))));
        v.dates.any_nat = inner.get().any_nat;
        v.present = true;
        return true;
    }
    const np::MaybeDates& get() const { return v; }
};

}  // namespace quill::py

namespace quill::np {
namespace {

PyObject* year_fraction(const DateArray& start, const DateArray& end, const DayCountArg& day_count,
                        const MaybeDates& maturity) {
    const DayCount dc = day_count.value;
    if (dc == DayCount::ActActIcma) year_fraction_needs_period(dc);
    DateArray& s = const_cast<DateArray&>(start);
    DateArray& e = const_cast<DateArray&>(end);
    DateArray& m = const_cast<DateArray&>(maturity.dates);
    const bool with_maturity = maturity.present;
    const Broadcast b = with_maturity ? Broadcast{&s, &e, &m} : Broadcast{&s, &e};
    PyArrayObject* out = new_array(b.shape, NPY_DOUBLE);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* d1 = s.days();
    const std::int64_t* d2 = e.days();
    const std::int64_t* d3 = with_maturity ? m.days() : nullptr;
    const npy_intp s1 = Broadcast::step(s, b.size), s2 = Broadcast::step(e, b.size);
    const npy_intp s3 = with_maturity ? Broadcast::step(m, b.size) : 0;
    auto* result = static_cast<double*>(PyArray_DATA(out));
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for_chunks(b.size, 65536, [&](std::int64_t begin, std::int64_t end_) {
        for (std::int64_t i = begin; i < end_; ++i) {
            const std::int64_t a = d1[i * s1], z = d2[i * s2];
            const std::int64_t mat = d3 == nullptr || d3[i * s3] == nat ? no_maturity : d3[i * s3] + epoch_serial;
            result[i] = a == nat || z == nat ? nan : quill::year_fraction(dc, a + epoch_serial, z + epoch_serial, mat);
        }
    });
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyMethodDef defs[] = {
    py::function<"year_fraction(start, end, day_count, maturity=None)\n--\n\n"
                 "The year fraction from `start` to `end` (broadcast) under `day_count`: a name,\n"
                 "\"ACT/365F\", \"ACT/360\", \"30/360\" (US bond basis), \"30E/360\" (Eurobond basis),\n"
                 "\"30E/360 ISDA\" or \"ACT/ACT ISDA\", or a quillander.DayCounter (Act365, Act360).\n"
                 "Under \"30E/360 ISDA\" an end on `maturity` keeps a February month end. Each\n"
                 "equals QuantLib's counterpart; an end before the start gives a negative\n"
                 "fraction. As float64; NaT gives NaN.",
                 &year_fraction>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_day_count_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
