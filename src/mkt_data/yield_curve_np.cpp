// Array forms of the YieldCurve queries. A query of one date depends on the
// day alone, so when the dates span fewer days than there are elements the
// library is asked once per day of the span and the answers are looked up.
#include <algorithm>
#include <limits>
#include <vector>

#include "mkt_data/yield_curve.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// One library answer per day of [first, first + size), or a mark where the
// library failed (the element that needs it then asks the library itself,
// which fails again, with its own exception).
class DayTable {
public:
    template <class F>
    DayTable(std::int64_t first, std::int64_t last, F&& f) : first_(first), values_(last - first + 1), ok_(last - first + 1) {
        for_chunks(static_cast<npy_intp>(values_.size()), 1024, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t k = begin; k < end; ++k) {
                try {
                    values_[k] = f(date_of_days(first_ + k));
                    ok_[k] = 1;
                } catch (const Error&) {
                } catch (const Failure&) {
                }
            }
        });
    }
    bool ok(std::int64_t day) const noexcept { return ok_[day - first_] != 0; }
    double operator[](std::int64_t day) const noexcept { return values_[day - first_]; }

private:
    std::int64_t first_;
    std::vector<double> values_;
    std::vector<unsigned char> ok_;
};

// The span of the valid days of the operands, or false when all are NaT.
bool span(std::initializer_list<const DateArray*> operands, std::int64_t& first, std::int64_t& last) {
    first = max_days + 1;
    last = min_days - 1;
    for (const DateArray* o : operands) {
        std::int64_t lo, hi;
        if (!day_span(o->days(), o->size(), lo, hi)) continue;
        first = std::min(first, lo);
        last = std::max(last, hi);
    }
    return first <= last;
}

// Worth a table: the span is small beside the number of elements.
bool tabulate(std::int64_t first, std::int64_t last, npy_intp elements) {
    return last - first + 1 <= elements / 2;
}

// A query of one date: `query(model, date)`, looked up by day when that is cheaper.
template <double (*Query)(const CurveModel&, const Date&)>
PyObject* one_date(const YieldCurve& curve, const DateArray& dates) {
    const CurveModel& model = curve.model();
    PyArrayObject* out = new_array(dates.shape(), NPY_DOUBLE);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* days = dates.days();
    auto* result = static_cast<double*>(PyArray_DATA(out));
    const npy_intp n = dates.size();
    FirstError error;
    std::int64_t first, last;
    if (span({&dates}, first, last) && tabulate(first, last, n)) {
        const DayTable table(first, last, [&](const Date& d) { return Query(model, d); });
        for_elements(n, 65536, error, [&](std::int64_t i) {
            const std::int64_t d = days[i];
            if (d == nat) {
                result[i] = nan_value;
            } else {
                result[i] = table.ok(d) ? table[d] : Query(model, date_of_days(d));
            }
        });
    } else {
        for_elements(n, 4096, error, [&](std::int64_t i) {
            const std::int64_t d = days[i];
            result[i] = d == nat ? nan_value : Query(model, date_of_days(d));
        });
    }
    if (error.any()) error.raise(dates.shape());
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

double df(const CurveModel& m, const Date& d) { return m.df(d); }
double overnight_rate(const CurveModel& m, const Date& d) { return m.overnight_rate(d); }

PyObject* get_df(const YieldCurve& curve, const DateArray& dates) { return one_date<&df>(curve, dates); }
PyObject* get_overnight_rate(const YieldCurve& curve, const DateArray& dates) {
    return one_date<&overnight_rate>(curve, dates);
}

enum class Pair { fwd_df, fwd_rate };

// A query of two dates (broadcast). With a table of discount factors the
// library's formula is applied to them in its own order: fwd_df is
// df(end) / df(start); fwd_rate is (df(start) / df(end) - 1) over the 32-bit
// day difference divided by the basis.
template <Pair P>
PyObject* two_dates(const YieldCurve& curve, const DateArray& start, const DateArray& end) {
    DateArray& s = const_cast<DateArray&>(start);
    DateArray& e = const_cast<DateArray&>(end);
    const Broadcast b{&s, &e};
    const CurveModel& model = curve.model();
    PyArrayObject* out = new_array(b.shape, NPY_DOUBLE);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* d1 = s.days();
    const std::int64_t* d2 = e.days();
    const npy_intp s1 = Broadcast::step(s, b.size), s2 = Broadcast::step(e, b.size);
    auto* result = static_cast<double*>(PyArray_DATA(out));
    auto scalar = [&](std::int64_t a, std::int64_t z) {
        return P == Pair::fwd_df ? model.fwd_df(date_of_days(a), date_of_days(z))
                                 : model.fwd_rate(date_of_days(a), date_of_days(z));
    };
    FirstError error;
    std::int64_t first, last;
    double basis = 0.0;
    bool has_basis = true;
    try {
        basis = day_count_basis(model.day_counter());
    } catch (const Failure&) {
        has_basis = false;
    }
    if (has_basis && span({&s, &e}, first, last) && tabulate(first, last, 2 * b.size)) {
        const DayTable table(first, last, [&](const Date& d) { return model.df(d); });
        for_elements(b.size, 65536, error, [&](std::int64_t i) {
            const std::int64_t a = d1[i * s1], z = d2[i * s2];
            if (a == nat || z == nat) {
                result[i] = nan_value;
            } else if (!table.ok(a) || !table.ok(z)) {
                result[i] = scalar(a, z);
            } else if constexpr (P == Pair::fwd_df) {
                result[i] = table[z] / table[a];
            } else {
                const std::int32_t days = static_cast<std::int32_t>(z - a);
                result[i] = (table[a] / table[z] - 1.0) / (static_cast<double>(days) / basis);
            }
        });
    } else {
        for_elements(b.size, 4096, error, [&](std::int64_t i) {
            const std::int64_t a = d1[i * s1], z = d2[i * s2];
            result[i] = a == nat || z == nat ? nan_value : scalar(a, z);
        });
    }
    if (error.any()) error.raise(b.shape);
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyMethodDef defs[] = {
    py::function<"get_df(curve, dates)\n--\n\n"
                 "curve.get_df of each date, as float64; NaT gives NaN.",
                 &get_df>(),
    py::function<"get_fwd_df(curve, start, end)\n--\n\n"
                 "curve.get_fwd_df of each pair of dates (broadcast), as float64; NaT gives NaN.",
                 &two_dates<Pair::fwd_df>>(),
    py::function<"get_overnight_rate(curve, dates)\n--\n\n"
                 "curve.get_overnight_rate of each date, as float64; NaT gives NaN.",
                 &get_overnight_rate>(),
    py::function<"get_fwd_rate(curve, start, end)\n--\n\n"
                 "curve.get_fwd_rate of each pair of dates (broadcast), as float64; NaT gives NaN.",
                 &two_dates<Pair::fwd_rate>>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_yield_curve_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
