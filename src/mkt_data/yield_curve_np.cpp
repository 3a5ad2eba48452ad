// Array forms of the YieldCurve queries. A query of one date depends on the
// day alone, so when the dates span fewer days than there are elements the
// library is asked once per day of the span and the answers are looked up.
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "datetime/dates_np.hpp"
#include "mkt_data/yield_curve.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

double df_at(const YieldCurve& c, Date d) { return c.model().df(d); }
double overnight_at(const YieldCurve& c, Date d) { return c.model().overnight_rate(d); }
double fwd_df_at(const YieldCurve& c, Date start, Date end) { return c.model().fwd_df(start, end); }
double fwd_rate_at(const YieldCurve& c, Date start, Date end) { return c.model().fwd_rate(start, end); }

double df(const CurveModel& m, const Date& d) { return m.df(d); }
double overnight_rate(const CurveModel& m, const Date& d) { return m.overnight_rate(d); }

// One library answer per day of [first, last], or a mark where the library
// failed (the element that needs it then asks the library itself, which fails
// again, with its own exception).
class DayTable {
public:
    template <class F>
    DayTable(std::int64_t first, std::int64_t last, F&& f) : first_(first), values_(last - first + 1), ok_(last - first + 1) {
        parallel_for(static_cast<std::int64_t>(values_.size()), 1024, [&](std::int64_t begin, std::int64_t end) {
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

// Worth a table: every day valid, and the span small beside the number of
// elements asking.
bool tabulate(std::int64_t first, std::int64_t last, std::int64_t asking) {
    return first >= min_days && last <= max_days && last - first + 1 <= asking / 2;
}

}  // namespace

// A query of one date, `Query(model, date)`.
template <auto K, double (*Query)(const CurveModel&, const Date&)>
struct OneDateBlock {
    static constexpr bool exists = true;
    using V = View<K>;
    struct State {
        std::optional<DayTable> table;
    };
    static State prepare(const V& v, std::int64_t n) {
        State s;
        std::int64_t first, last;
        if (day_span(v.template in<1>(), n, first, last) && tabulate(first, last, n)) {
            const CurveModel& model = v.template receiver<0>().model();
            s.table.emplace(first, last, [&](const Date& d) { return Query(model, d); });
        }
        return s;
    }
    static std::int64_t run(const State& s, const V& v, std::int64_t begin, std::int64_t end) {
        const CurveModel& model = v.template receiver<0>().model();
        const Column<std::int64_t> days = v.template in<1>();
        const OutColumn<double> out = v.template out<0, double>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            if (d == nat) {
                out.set(i, nan_value);
            } else if (s.table) {
                if (!s.table->ok(d)) return i;
                out.set(i, (*s.table)[d]);
            } else {
                if (!valid_day(d)) return i;
                try {
                    out.set(i, Query(model, date_of_days(d)));
                } catch (const Error&) {
                    return i;
                } catch (const Failure&) {
                    return i;
                }
            }
        }
        return end;
    }
};

template <>
struct Block<&df_at> : OneDateBlock<&df_at, &df> {};
template <>
struct Block<&overnight_at> : OneDateBlock<&overnight_at, &overnight_rate> {};

// A query of two dates. With a table of discount factors the library's
// formula is applied to them in its own order: fwd_df is df(end) / df(start);
// fwd_rate is (df(start) / df(end) - 1) over the 32-bit day difference
// divided by the basis. A pair is looked up only when both its ends are.
template <auto K, bool Rate>
struct TwoDateBlock {
    static constexpr bool exists = true;
    using V = View<K>;
    struct State {
        std::optional<DayTable> table;
        double basis = 0.0;
    };
    static State prepare(const V& v, std::int64_t n) {
        State s;
        const CurveModel& model = v.template receiver<0>().model();
        if constexpr (Rate) {
            try {
                s.basis = day_count_basis(model.day_counter());
            } catch (const Failure&) {
                return s;  // every pair fails, as the library does, one at a time
            }
        }
        std::int64_t first1, last1, first2, last2;
        const bool any1 = day_span(v.template in<1>(), n, first1, last1);
        const bool any2 = day_span(v.template in<2>(), n, first2, last2);
        if (!any1 && !any2) return s;
        const std::int64_t first = std::min(any1 ? first1 : first2, any2 ? first2 : first1);
        const std::int64_t last = std::max(any1 ? last1 : last2, any2 ? last2 : last1);
        if (tabulate(first, last, 2 * n)) s.table.emplace(first, last, [&](const Date& d) { return model.df(d); });
        return s;
    }
    static std::int64_t run(const State& s, const V& v, std::int64_t begin, std::int64_t end) {
        const CurveModel& model = v.template receiver<0>().model();
        const Column<std::int64_t> starts = v.template in<1>();
        const Column<std::int64_t> ends = v.template in<2>();
        const OutColumn<double> out = v.template out<0, double>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t a = starts[i], z = ends[i];
            if (a == nat || z == nat) {
                out.set(i, nan_value);
            } else if (s.table) {
                if (!s.table->ok(a) || !s.table->ok(z)) return i;
                if constexpr (Rate) {
                    const auto days = static_cast<std::int32_t>(z - a);
                    out.set(i, ((*s.table)[a] / (*s.table)[z] - 1.0) / (static_cast<double>(days) / s.basis));
                } else {
                    out.set(i, (*s.table)[z] / (*s.table)[a]);
                }
            } else {
                if (!valid_day(a) || !valid_day(z)) return i;
                try {
                    out.set(i, Rate ? model.fwd_rate(date_of_days(a), date_of_days(z))
                                    : model.fwd_df(date_of_days(a), date_of_days(z)));
                } catch (const Error&) {
                    return i;
                } catch (const Failure&) {
                    return i;
                }
            }
        }
        return end;
    }
};

template <>
struct Block<&fwd_df_at> : TwoDateBlock<&fwd_df_at, false> {};
template <>
struct Block<&fwd_rate_at> : TwoDateBlock<&fwd_rate_at, true> {};

bool add_yield_curve_twins(PyObject* m) {
    return add_twin<"get_df(curve, dates)\n--\n\n"
                    "curve.get_df of each date, as float64; NaT gives NaN.",
                    &df_at>(m) &&
           add_twin<"get_fwd_df(curve, start, end)\n--\n\n"
                    "curve.get_fwd_df of each pair of dates (broadcast), as float64; NaT gives NaN.",
                    &fwd_df_at>(m) &&
           add_twin<"get_overnight_rate(curve, dates)\n--\n\n"
                    "curve.get_overnight_rate of each date, as float64; NaT gives NaN.",
                    &overnight_at>(m) &&
           add_twin<"get_fwd_rate(curve, start, end)\n--\n\n"
                    "curve.get_fwd_rate of each pair of dates (broadcast), as float64; NaT gives NaN.",
                    &fwd_rate_at>(m);
}

}  // namespace quill::np
