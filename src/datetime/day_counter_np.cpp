// Array forms of the four DayCounter methods.
#include <limits>
#include <optional>

#include "datetime/day_counter.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

enum class Basis { own, act365, act360, thirty360 };

// year_fraction of each pair; NaT on either side gives NaN. A convention
// without a basis fails at the first pair of dates, as the scalar call does.
template <Basis B>
PyObject* dcf(const DayCounter& dc, const DateArray& start, const DateArray& end) {
    DateArray& s = const_cast<DateArray&>(start);
    DateArray& e = const_cast<DateArray&>(end);
    const Broadcast b{&s, &e};
    PyArrayObject* out = new_array(b.shape, NPY_DOUBLE);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const DayCounter convention = B == Basis::own        ? dc
                                  : B == Basis::act365   ? DayCounter::Act365
                                  : B == Basis::act360   ? DayCounter::Act360
                                                         : DayCounter::Thirty360;
    std::optional<double> basis;
    try {
        basis = day_count_basis(convention);
    } catch (const Failure&) {
    }
    const std::int64_t* d1 = s.days();
    const std::int64_t* d2 = e.days();
    const npy_intp s1 = Broadcast::step(s, b.size), s2 = Broadcast::step(e, b.size);
    auto* result = static_cast<double*>(PyArray_DATA(out));
    if (basis) {
        // Nothing can fail: a plain loop.
        const double divisor = *basis;
        for_chunks(b.size, 65536, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t a = d1[i * s1], z = d2[i * s2];
                const std::int32_t days = static_cast<std::int32_t>(z - a);
                result[i] = a == nat || z == nat ? std::numeric_limits<double>::quiet_NaN()
                                                 : static_cast<double>(days) / divisor;
            }
        });
        return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
    }
    FirstError error;
    for_elements(b.size, 65536, error, [&](std::int64_t i) {
        const std::int64_t a = d1[i * s1], z = d2[i * s2];
        if (a == nat || z == nat) {
            result[i] = std::numeric_limits<double>::quiet_NaN();
            return;
        }
        (void)day_count_basis(convention);  // fails as the library fails
        result[i] = std::numeric_limits<double>::quiet_NaN();
    });
    if (error.any()) error.raise(b.shape);
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyMethodDef defs[] = {
    py::function<"get_dcf(dc, start, end)\n--\n\n"
                 "dc.get_dcf of each pair of dates (broadcast), as float64; NaT gives NaN.",
                 &dcf<Basis::own>>(),
    py::function<"get_dcf_act365(dc, start, end)\n--\n\ndc.get_dcf_act365 of each pair of dates, as get_dcf.",
                 &dcf<Basis::act365>>(),
    py::function<"get_dcf_act360(dc, start, end)\n--\n\ndc.get_dcf_act360 of each pair of dates, as get_dcf.",
                 &dcf<Basis::act360>>(),
    py::function<"get_dcf_30360(dc, start, end)\n--\n\n"
                 "dc.get_dcf_30360 of each pair of dates: not implemented, as the scalar method.",
                 &dcf<Basis::thirty360>>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_day_counter_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
