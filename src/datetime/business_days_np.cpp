// Array forms of business-day arithmetic: T+n steps and business days
// between dates, under any calendar argument.
#include <string>

#include "datetime/business_calendar_np.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

// Whole numbers: int64, cast from other integer types; floats are refused.
struct IntArray : Operand {
    const std::int64_t* values() const noexcept { return data<std::int64_t>(); }
};

}  // namespace
}  // namespace quill::np

namespace quill::py {

template <>
struct Arg<np::IntArray> {
    np::IntArray v;
    bool load(PyObject* o) {
        Ref given(PyArray_FROM_O(o));
        if (!given) return false;
        auto* array = reinterpret_cast<PyArrayObject*>(given.get());
        if (PyArray_TYPE(array) == NPY_OBJECT) {
            // Python ints (of any size: too large ones overflow below), nothing else.
            Ref flat(PyArray_Ravel(array, NPY_CORDER));
            if (!flat) return false;
            auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
            const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(flat.get()));
            for (npy_intp i = 0; i < n; ++i) {
                if (!PyLong_Check(items[i]) && !PyArray_IsScalar(items[i], Integer)) {
                    cannot_convert(items[i], "int");
                    return false;
                }
            }
        } else if (!PyArray_ISINTEGER(array) && !PyArray_ISBOOL(array)) {
            if (PyArray_Check(o)) {
                Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
                if (dtype) PyErr_Format(PyExc_TypeError, "'ndarray' object of dtype %U cannot be converted to 'int'", dtype.get());
            } else {
                cannot_convert(o, "int");
            }
            return false;
        }
        const int cast = PyArray_TYPE(array) == NPY_OBJECT ? NPY_ARRAY_FORCECAST : 0;  // the items are checked ints
        PyObject* a =
            PyArray_FromAny(given.get(), PyArray_DescrFromType(NPY_INT64), 0, 0, NPY_ARRAY_CARRAY_RO | cast, nullptr);
        if (a == nullptr) return false;
        v.reset(reinterpret_cast<PyArrayObject*>(a));
        return true;
    }
    const np::IntArray& get() const { return v; }
};

}  // namespace quill::py

namespace quill::np {
namespace {

constexpr std::int64_t grain = 65536;

PyObject* add_business_days(const DateArray& dates, const IntArray& n, const CalendarArg& cal, HolidayList holidays) {
    const BusinessCalendar calendar = calendar_with(cal, std::move(holidays));
    const BusinessDays& days = calendar.days();
    DateArray& d = const_cast<DateArray&>(dates);
    IntArray& k = const_cast<IntArray&>(n);
    const Broadcast b{&d, &k};
    PyArrayObject* out = new_days(b.shape);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* in = d.days();
    const std::int64_t* steps = k.values();
    const npy_intp s1 = Broadcast::step(d, b.size), s2 = Broadcast::step(k, b.size);
    auto* result = static_cast<std::int64_t*>(PyArray_DATA(out));
    FirstError error;
    for_elements(b.size, grain, error, [&](std::int64_t i) {
        const std::int64_t day = in[i * s1];
        result[i] = day == nat ? nat : days.advance(static_cast<std::int32_t>(day + epoch_serial), steps[i * s2]) - epoch_serial;
    });
    if (error.any()) {
        error.raise(b.shape);
        throw py::PythonError{};
    }
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyObject* business_days_between(const DateArray& start, const DateArray& end, const CalendarArg& cal,
                                 HolidayList holidays) {
    const BusinessCalendar calendar = calendar_with(cal, std::move(holidays));
    const BusinessDays& days = calendar.days();
    DateArray& s = const_cast<DateArray&>(start);
    DateArray& e = const_cast<DateArray&>(end);
    const Broadcast b{&s, &e};
    PyArrayObject* out = new_array(b.shape, NPY_INT64);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* d1 = s.days();
    const std::int64_t* d2 = e.days();
    const npy_intp s1 = Broadcast::step(s, b.size), s2 = Broadcast::step(e, b.size);
    auto* result = static_cast<std::int64_t*>(PyArray_DATA(out));
    FirstError error;
    for_elements(b.size, grain, error, [&](std::int64_t i) {
        const std::int64_t a = d1[i * s1], z = d2[i * s2];
        if (a == nat || z == nat) throw Error("Business days between NaT and a date are not a number");
        result[i] = days.business_days_between(static_cast<std::int32_t>(a + epoch_serial),
                                               static_cast<std::int32_t>(z + epoch_serial));
    });
    if (error.any()) {
        error.raise(b.shape);
        throw py::PythonError{};
    }
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyMethodDef defs[] = {
    py::function<"add_business_days(dates, n, cal, holidays=None)\n--\n\n"
                 "Each date moved `n` business days of `cal` (a Calendar, BusinessCalendar or\n"
                 "numpy.busdaycalendar, less the one-off `holidays`) forward, or back for n < 0\n"
                 "(broadcast): T+2 settlement, T-1 fixing. From a non-business day the first step\n"
                 "lands on the nearest business day in the direction of travel; n = 0 rolls to\n"
                 "the following business day (QuantLib's Calendar.advance in days; numpy's\n"
                 "busday_offset with roll='preceding' for n > 0, 'following' otherwise). As\n"
                 "datetime64[D]; NaT stays NaT.",
                 &add_business_days>(),
    py::function<"business_days_between(start, end, cal, holidays=None)\n--\n\n"
                 "The business days of `cal` from `start` to `end` (broadcast), as\n"
                 "numpy.busday_count counts them: those in [start, end), or minus those in\n"
                 "(end, start] when end < start. As int64; NaT is a ValueError.",
                 &business_days_between>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_business_day_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
