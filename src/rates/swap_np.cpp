// The array module's swaps: the SwapConventions class and its market
// presets, swap values over arrays (ufunc-like), a swap's cash flows and its
// NPV's derivatives by node discount factor.
#include "rates/swap_np.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "datetime/business_calendar_np.hpp"
#include "datetime/day_count_np.hpp"
#include "datetime/day_counter.hpp"
#include "mkt_data/yield_curve.hpp"
#include "numpy/errors.hpp"
#include "numpy/twins.hpp"
#include "core/float_text.hpp"
#include "numpy/wrapper.hpp"
#include "python/ref.hpp"

namespace quill::np {

bool object_maturity(PyObject* o, std::int64_t& code) {
    if (Py_IS_TYPE(o, py::PyClass<Tenor>::type)) {
        code = code_of(reinterpret_cast<py::Obj<Tenor>*>(o)->value);
        return true;
    }
    if (PyUnicode_Check(o)) {
        std::string_view text;
        if (!py::load_text(o, text)) return false;
        code = code_of(parse_tenor(text));  // the parser's Error names the text
        return true;
    }
    if (!object_days(o, code)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' object is not a date or a tenor", Py_TYPE(o)->tp_name);
        return false;
    }
    return true;
}

bool Lane<Maturity>::check(PyObject* o, std::string_view name) {
    // Dates are judged by the loop; text as a tenor's is.
    return !PyUnicode_Check(o) || Lane<Tenor>::check(o, name);
}

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// A day count: a name ("30E/360") or a quillander.DayCounter of one.
struct DayCountArg {
    DayCount value;
};

// A coupon tenor: text or a quillander.Tenor.
struct TenorArg {
    Tenor value;
};

}  // namespace
}  // namespace quill::np

namespace quill::py {

// A conventions part converted by `Load`: the library's error is the part's ValueError.
template <class A, auto Load>
struct PartArg {
    A v;
    bool load(PyObject* o) {
        try {
            v.value = Load(o);
            return true;
        } catch (const PythonError&) {
            return false;
        } catch (const Error& e) {
            raise_error(e.message());
            return false;
        }
    }
    A get() const { return v; }
    static constexpr bool names_value_errors = true;
};

template <>
struct Arg<np::DayCountArg> : PartArg<np::DayCountArg, &np::load_day_count> {};
template <>
struct Arg<np::TenorArg> : PartArg<np::TenorArg, &np::load_tenor> {};

// ---------------------------------------------------------------- the class

namespace {

using np::DayCountArg;
using np::TenorArg;

[[noreturn]] void python_error() { throw PythonError{}; }
PyObject* checked(PyObject* o) {
    if (o == nullptr) python_error();
    return o;
}

const SwapConventions& value_of(PyObject* o) { return reinterpret_cast<Obj<SwapConventions>*>(o)->value; }

// No calendar: Saturday and Sunday weekends, no holidays.
const BusinessCalendar& weekends() {
    static const BusinessCalendar cal = BusinessCalendar::from_holidays(0x1f, {});
    return cal;
}

SwapConventions construct(Defaulted<TenorArg> fixed_tenor, Defaulted<DayCountArg> fixed_day_count,
                          Defaulted<TenorArg> float_tenor, Defaulted<DayCountArg> float_day_count,
                          std::optional<np::CalendarArg> cal, Defaulted<BusDayAdj> bus_day_adj,
                          Defaulted<StubType> stub_type, Defaulted<bool> end_of_month, Defaulted<std::int32_t> spot_lag,
                          Defaulted<std::int32_t> payment_lag) {
    const Tenor year{1, TenorUnit::Y};
    const Tenor fixed = fixed_tenor.value ? fixed_tenor.value->value : year;
    const Tenor floating = float_tenor.value ? float_tenor.value->value : year;
    // Each part's refusal names its argument.
    const auto named = [](const char* name, auto check) {
        try {
            check();
        } catch (const Error& e) {
            throw Error(np::message::argument(name, e.message()));
        }
    };
    named("fixed_tenor", [&] { check_swap_tenor(fixed, "Fixed-leg tenor"); });
    named("float_tenor", [&] { check_swap_tenor(floating, "Floating-leg tenor"); });
    named("spot_lag", [&] { check_swap_lag(spot_lag.value.value_or(2), "Spot lag"); });
    named("payment_lag", [&] { check_swap_lag(payment_lag.value.value_or(0), "Payment lag"); });
    return SwapConventions::make(
        fixed,
        fixed_day_count.value ? fixed_day_count.value->value : DayCount::Act360,
        floating,
        float_day_count.value ? float_day_count.value->value : DayCount::Act360,
        cal && cal->value ? *cal->value : weekends(), bus_day_adj.value.value_or(BusDayAdj::ModFollowing),
        stub_type.value.value_or(StubType::FrontShort), end_of_month.value.value_or(false), spot_lag.value.value_or(2),
        payment_lag.value.value_or(0));
}

std::string day_count_text(DayCount dc) { return std::string(day_count_names[static_cast<std::size_t>(dc)]); }
template <class E>
std::string enum_text(E e) {
    return std::string(EnumTraits<E>::name) + "." + std::string(EnumTraits<E>::variants[static_cast<std::size_t>(e)]);
}

std::string fixed_tenor_of(const SwapConventions& c) { return c.fixed_tenor.to_string(); }
std::string fixed_day_count_of(const SwapConventions& c) { return day_count_text(c.fixed_day_count); }
std::string float_tenor_of(const SwapConventions& c) { return c.float_tenor.to_string(); }
std::string float_day_count_of(const SwapConventions& c) { return day_count_text(c.float_day_count); }
BusinessCalendar cal_of(const SwapConventions& c) { return c.cal; }
BusDayAdj adj_of(const SwapConventions& c) { return c.bus_day_adj; }
StubType stub_of(const SwapConventions& c) { return c.stub_type; }
bool eom_of(const SwapConventions& c) { return c.end_of_month; }
std::int32_t spot_lag_of(const SwapConventions& c) { return c.spot_lag; }
std::int32_t payment_lag_of(const SwapConventions& c) { return c.payment_lag; }

PyObject* repr(const SwapConventions& c) {
    Ref cal(checked(to_py(BusinessCalendar(c.cal))));
    Ref cal_text(checked(PyObject_Repr(cal.get())));
    std::string_view cal_repr;
    if (!load_text(cal_text.get(), cal_repr)) python_error();
    const std::string text =
        "SwapConventions(fixed_tenor='" + c.fixed_tenor.to_string() + "', fixed_day_count='" +
        day_count_text(c.fixed_day_count) + "', float_tenor='" + c.float_tenor.to_string() + "', float_day_count='" +
        day_count_text(c.float_day_count) + "', cal=" + std::string(cal_repr) + ", bus_day_adj=" +
        enum_text(c.bus_day_adj) + ", stub_type=" + enum_text(c.stub_type) +
        ", end_of_month=" + (c.end_of_month ? "True" : "False") + ", spot_lag=" + std::to_string(c.spot_lag) +
        ", payment_lag=" + std::to_string(c.payment_lag) + ")";
    return to_py(text);
}

// Pickled as its parts (the calendar pickles itself), restored by the
// module's _swap_conventions.
PyObject* reduce(const SwapConventions& c) {
    Ref module(checked(PyImport_ImportModule("quillander_numpy")));
    Ref restore(checked(PyObject_GetAttrString(module.get(), "_swap_conventions")));
    Ref cal(checked(to_py(BusinessCalendar(c.cal))));
    Ref args(checked(Py_BuildValue("(ssssOiiiii)", c.fixed_tenor.to_string().c_str(),
                                   day_count_text(c.fixed_day_count).c_str(), c.float_tenor.to_string().c_str(),
                                   day_count_text(c.float_day_count).c_str(), cal.get(), static_cast<int>(c.bus_day_adj),
                                   static_cast<int>(c.stub_type), c.end_of_month ? 1 : 0, c.spot_lag, c.payment_lag)));
    return PyTuple_Pack(2, restore.get(), args.get());
}

SwapConventions restore(std::string_view fixed_tenor, std::string_view fixed_day_count, std::string_view float_tenor,
                        std::string_view float_day_count, np::CalendarArg cal, std::int32_t adj, std::int32_t stub,
                        std::int32_t eom, std::int32_t spot_lag, std::int32_t payment_lag) {
    const auto in = [](std::int32_t v, std::size_t n, const char* what) {
        if (v < 0 || static_cast<std::size_t>(v) >= n) throw Error(std::string("SwapConventions state: bad ") + what);
        return v;
    };
    return SwapConventions::make(
        parse_tenor(fixed_tenor), day_count_from_name(fixed_day_count), parse_tenor(float_tenor),
        day_count_from_name(float_day_count), *cal.value,
        static_cast<BusDayAdj>(in(adj, variant_count<BusDayAdj>(), "adjustment")),
        static_cast<StubType>(in(stub, variant_count<StubType>(), "stub type")), eom != 0, spot_lag, payment_lag);
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    PyTypeObject* type = PyClass<SwapConventions>::type;
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(a, type) || !Py_IS_TYPE(b, type)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value_of(a) == value_of(b);
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

Py_hash_t hash(PyObject* self) {
    const auto h = static_cast<Py_hash_t>(value_of(self).hash());
    return h == -1 ? -2 : h;
}

// ---------------------------------------------------------------- presets

struct Preset {
    const char* name;
    const char* calendar;  // the holidays package's market
    DayCount day_count;
    std::int32_t spot_lag, payment_lag;
};

// Overnight-index swaps, annual on both legs, modified following, short front stubs.
constexpr Preset presets[] = {
    {"USD SOFR", "XSIF", DayCount::Act360, 2, 2},
    {"EUR ESTR", "XECB", DayCount::Act360, 2, 1},
    {"GBP SONIA", "XLON", DayCount::Act365F, 0, 0},
};

std::string preset_names() {
    std::string out;
    for (std::size_t i = 0; i < std::size(presets); ++i) {
        if (i > 0) out += i + 1 == std::size(presets) ? " or " : ", ";
        out += std::string("\"") + presets[i].name + "\"";
    }
    return out;
}

PyObject* preset(std::string_view name) {
    static PyObject* made[std::size(presets)] = {};
    for (std::size_t i = 0; i < std::size(presets); ++i) {
        if (name != presets[i].name) continue;
        if (made[i] == nullptr) {
            const Preset& p = presets[i];
            Ref module(checked(PyImport_ImportModule("quillander_numpy")));
            Ref cal(checked(PyObject_CallMethod(module.get(), "calendar", "s", p.calendar)));
            std::optional<BusinessCalendar> c;
            if (!np::load_calendar(cal.get(), c)) python_error();
            const Tenor year{1, TenorUnit::Y};
            made[i] = checked(to_py(SwapConventions::make(year, p.day_count, year, p.day_count, *c,
                                                          BusDayAdj::ModFollowing, StubType::FrontShort, false,
                                                          p.spot_lag, p.payment_lag)));  // kept
        }
        return Py_NewRef(made[i]);
    }
    throw Error("Unknown swap conventions (" + std::string(name) + "); use " + preset_names());
}

PyMethodDef restore_def = py::function<"_swap_conventions(fixed_tenor, fixed_day_count, float_tenor, float_day_count, "
                                       "cal, adj, stub, eom, spot_lag, payment_lag)\n--\n\n",
                                       &restore>();

}  // namespace

PyTypeObject* PyClass<SwapConventions>::create() {
    static PyGetSetDef attributes[] = {
        {"fixed_tenor", &getter<SwapConventions, &fixed_tenor_of>, nullptr, nullptr, nullptr},
        {"fixed_day_count", &getter<SwapConventions, &fixed_day_count_of>, nullptr, nullptr, nullptr},
        {"float_tenor", &getter<SwapConventions, &float_tenor_of>, nullptr, nullptr, nullptr},
        {"float_day_count", &getter<SwapConventions, &float_day_count_of>, nullptr, nullptr, nullptr},
        {"cal", &getter<SwapConventions, &cal_of>, nullptr, nullptr, nullptr},
        {"bus_day_adj", &getter<SwapConventions, &adj_of>, nullptr, nullptr, nullptr},
        {"stub_type", &getter<SwapConventions, &stub_of>, nullptr, nullptr, nullptr},
        {"end_of_month", &getter<SwapConventions, &eom_of>, nullptr, nullptr, nullptr},
        {"spot_lag", &getter<SwapConventions, &spot_lag_of>, nullptr, nullptr, nullptr},
        {"payment_lag", &getter<SwapConventions, &payment_lag_of>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        static_method<"SwapConventions",
                      "preset(name)\n--\n\n"
                      "The conventions of a market's overnight-index swaps: \"USD SOFR\", \"EUR ESTR\"\n"
                      "or \"GBP SONIA\" (see the user guide for each one's calendar, day count and lags).",
                      &preset>(),
        method<"SwapConventions", "__reduce__($self)\n--\n\n", &reduce>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<SwapConventions>(
        "quillander_numpy.SwapConventions",
        Constructor<"SwapConventions(fixed_tenor='1Y', fixed_day_count='ACT/360', float_tenor='1Y', "
                    "float_day_count='ACT/360', cal=None, bus_day_adj=BusDayAdj.ModFollowing, "
                    "stub_type=StubType.FrontShort, end_of_month=False, spot_lag=2, payment_lag=0)\n--\n\n"
                    "How a market's swaps are made: each leg's coupon tenor and day count, the\n"
                    "calendar (None: Saturday and Sunday weekends, no holidays) and adjustment of\n"
                    "the schedule dates, the stub, the end-of-month rule, the spot lag (business\n"
                    "days from trade to start) and the payment lag (business days from a period's\n"
                    "end to its payment). Immutable, equal and hashable by its parts, picklable.",
                    &construct>{},
        {
            {Py_tp_getset, attributes},
            {Py_tp_methods, methods},
            {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<SwapConventions, &repr>)},
            {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
            {Py_tp_hash, reinterpret_cast<void*>(&hash)},
        });
}

}  // namespace quill::py

// ---------------------------------------------------------------- swaps over arrays

namespace quill::np {
namespace {

// The legs of one swap, made in memory each thread keeps.
const SwapLegs* legs_of(const SwapConventions& conv, Date start, const Maturity& maturity) {
    thread_local SwapLegs legs;
    const std::int32_t end = maturity.end(conv, start.serial());
    if (end <= start.serial() || !make_legs(conv, start.serial(), end, legs)) return nullptr;  // no swap
    return &legs;
}

// A curve's discount factor of each day of [first, last], each the curve's
// own answer (a day it cannot answer is marked, and asked again when needed,
// failing as it fails).
class DfTable {
public:
    DfTable(const CurveModel& model, std::int32_t first, std::int32_t last)
        : model_(model), first_(first), values_(static_cast<std::size_t>(last - first + 1)), ok_(values_.size()) {
        parallel_for(static_cast<std::int64_t>(values_.size()), 1024, [this](std::int64_t begin, std::int64_t end) {
            for (std::int64_t k = begin; k < end; ++k) {
                try {
                    values_[static_cast<std::size_t>(k)] = model_.df(Date::from_serial(first_ + k));
                    ok_[static_cast<std::size_t>(k)] = 1;
                } catch (const Error&) {
                } catch (const Failure&) {
                }
            }
        });
    }
    double operator()(std::int32_t d) const {
        const auto k = static_cast<std::size_t>(static_cast<std::uint32_t>(d - first_));
        if (k < values_.size() && ok_[k]) return values_[k];
        return model_.df(Date::from_serial(d));
    }

private:
    const CurveModel& model_;
    std::int32_t first_;
    std::vector<double> values_;
    std::vector<unsigned char> ok_;
};

struct CurveDfs {
    const CurveModel& model;
    double operator()(std::int32_t d) const { return model.df(Date::from_serial(d)); }
};

template <class Discount, class Forecast>
LegValues values_of(const SwapLegs& legs, const CurveModel& discount, const CurveModel& forecast, const Discount& d,
                    const Forecast& f) {
    return value_legs(legs, discount.curve_date().serial(), forecast.curve_date().serial(), d, f);
}

LegValues values_at(const SwapLegs& legs, const YieldCurve& curve, const YieldCurve* forecast_curve) {
    const CurveModel& forecast = forecast_curve != nullptr ? forecast_curve->model() : curve.model();
    return values_of(legs, curve.model(), forecast, CurveDfs{curve.model()}, CurveDfs{forecast});
}

std::optional<double> npv_at(const SwapConventions& conv, const YieldCurve& curve, Date start, Maturity maturity,
                             double fixed_rate, PayerReceiverFlag pay_rec, double notional,
                             const YieldCurve* forecast_curve) {
    const SwapLegs* legs = legs_of(conv, start, maturity);
    if (legs == nullptr) return std::nullopt;
    return swap_npv(values_at(*legs, curve, forecast_curve), fixed_rate, pay_rec, notional);
}

std::optional<double> par_rate_at(const SwapConventions& conv, const YieldCurve& curve, Date start, Maturity maturity,
                                  const YieldCurve* forecast_curve) {
    const SwapLegs* legs = legs_of(conv, start, maturity);
    if (legs == nullptr) return std::nullopt;
    return swap_par_rate(values_at(*legs, curve, forecast_curve));
}

std::optional<double> annuity_at(const SwapConventions& conv, const YieldCurve& curve, Date start, Maturity maturity) {
    const SwapLegs* legs = legs_of(conv, start, maturity);
    if (legs == nullptr) return std::nullopt;
    return values_at(*legs, curve, nullptr).annuity;
}

}  // namespace

// Over a book on one curve, the curves' discount factors are looked up by
// day when the book asks for more of them than its span has days.
enum class SwapValue { npv, par_rate, annuity };

template <auto K, SwapValue What, int Forecast>
struct SwapBlock {
    static constexpr bool exists = true;
    using V = View<K>;
    struct State {
        std::optional<DfTable> discount, forecast;
    };
    static const YieldCurve* forecast_of(const V& v) {
        if constexpr (Forecast < 0) {
            return nullptr;
        } else {
            return v.template receiver<Forecast>();
        }
    }
    static State prepare(const V& v, std::int64_t n) {
        State s;
        if (n < 64) return s;
        const SwapConventions& conv = v.template receiver<0>();
        const Column<std::int64_t> starts = v.template in<2>();
        const Column<std::int64_t> maturities = v.template in<3>();
        std::int64_t last = std::numeric_limits<std::int64_t>::min();
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t a = starts[i], m = maturities[i];
            if (a == nat || m == nat || !valid_day(a) || (m < tenor_code && !valid_day(m))) continue;
            try {
                last = std::max<std::int64_t>(last, Lane<Maturity>::pass(m).end(conv, static_cast<std::int32_t>(a + epoch_serial)));
            } catch (const Error&) {
            } catch (const Failure&) {
            }
        }
        // Payments come a few business days after the last accrual end.
        last += 31 + 2 * static_cast<std::int64_t>(conv.payment_lag);
        const CurveModel& discount = v.template receiver<1>().model();
        const std::int64_t first = discount.curve_date().serial();
        if (last <= first || last - first > 16 * n || last > Date::max_serial) return s;
        s.discount.emplace(discount, static_cast<std::int32_t>(first), static_cast<std::int32_t>(last));
        const YieldCurve* f = forecast_of(v);
        if (f != nullptr && &f->model() != &discount) {
            const std::int64_t ff = f->model().curve_date().serial();
            if (last > ff) s.forecast.emplace(f->model(), static_cast<std::int32_t>(ff), static_cast<std::int32_t>(last));
        }
        return s;
    }
    static std::int64_t run(const State& s, const V& v, std::int64_t begin, std::int64_t end) {
        if (!s.discount) return begin;  // element by element
        const SwapConventions& conv = v.template receiver<0>();
        const CurveModel& discount = v.template receiver<1>().model();
        const YieldCurve* f = forecast_of(v);
        const CurveModel& forecast = f != nullptr ? f->model() : discount;
        const DfTable& dt = *s.discount;
        const DfTable& ft = s.forecast ? *s.forecast : dt;
        const bool own_forecast = f == nullptr || &forecast == &discount || s.forecast.has_value();
        const Column<std::int64_t> starts = v.template in<2>();
        const Column<std::int64_t> maturities = v.template in<3>();
        const OutColumn<double> out = v.template out<0, double>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t a = starts[i], m = maturities[i];
            if (a == nat || m == nat) {
                out.set(i, nan_value);
                continue;
            }
            if (!valid_day(a) || (m < tenor_code && !valid_day(m))) return i;
            try {
                const SwapLegs* legs = legs_of(conv, date_of_days(a), Lane<Maturity>::pass(m));
                if (legs == nullptr) {
                    out.set(i, nan_value);
                    continue;
                }
                const LegValues lv = own_forecast ? values_of(*legs, discount, forecast, dt, ft)
                                                  : values_of(*legs, discount, forecast, dt, CurveDfs{forecast});
                if constexpr (What == SwapValue::npv) {
                    const Column<double> rates = v.template in<4>();
                    const Column<std::int64_t> flags = v.template in<5>();
                    const Column<double> notionals = v.template in<6>();
                    out.set(i, swap_npv(lv, rates[i], static_cast<PayerReceiverFlag>(flags[i]), notionals[i]));
                } else if constexpr (What == SwapValue::par_rate) {
                    out.set(i, swap_par_rate(lv));
                } else {
                    out.set(i, lv.annuity);
                }
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
struct Block<&npv_at> : SwapBlock<&npv_at, SwapValue::npv, 7> {};
template <>
struct Block<&par_rate_at> : SwapBlock<&par_rate_at, SwapValue::par_rate, 4> {};
template <>
struct Block<&annuity_at> : SwapBlock<&annuity_at, SwapValue::annuity, -1> {};

namespace {

// ---------------------------------------------------------------- whole books

// A swap book's terms broadcast together and flattened (C order): each
// operand read as its twins read it.
struct Book {
    std::vector<npy_intp> shape;
    npy_intp size = 1;
    std::vector<std::int64_t> start, maturity;  // days; maturities as Lane<Maturity> codes
    std::vector<double> fixed_rate, notional;
    std::vector<std::int64_t> pay_rec;
};

// The operand as an array of objects or datetime64[D] days (a new reference).
PyObject* date_operand(PyObject* o) {
    py::Ref given(PyArray_FROM_O(o));
    if (!given) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(given.get());
    if (PyArray_TYPE(a) == NPY_DATETIME) {
        PyArray_Descr* descr = days_descr();
        if (descr == nullptr) return nullptr;
        Py_INCREF(descr);  // stolen
        return PyArray_FromAny(given.get(), descr, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
    }
    return PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0, NPY_ARRAY_CARRAY_RO, nullptr);
}

template <class T, class Read>
bool read_flat(PyObject* array, std::vector<T>& out, const char* name, Read&& read) {
    py::Ref flat(PyArray_FromAny(array, nullptr, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_ENSURECOPY, nullptr));
    if (!flat) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(flat.get());
    const npy_intp n = PyArray_SIZE(a);
    out.resize(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
        try {
            if (!read(a, i, out[static_cast<std::size_t>(i)])) {
                py::argument_error(name);
                return false;
            }
        } catch (const Error& e) {
            py::raise_error(e.message());
            return false;
        }
    }
    return true;
}

PyObject* item_of(PyArrayObject* a, npy_intp i) {
    PyObject* o;
    std::memcpy(&o, PyArray_BYTES(a) + i * static_cast<npy_intp>(sizeof(PyObject*)), sizeof o);
    return o == nullptr ? Py_None : o;
}

bool day_of(PyArrayObject* a, npy_intp i, std::int64_t& d) {
    if (PyArray_TYPE(a) == NPY_DATETIME) {
        std::memcpy(&d, PyArray_BYTES(a) + i * static_cast<npy_intp>(sizeof d), sizeof d);
        return true;
    }
    return object_days(item_of(a, i), d);
}

bool maturity_of(PyArrayObject* a, npy_intp i, std::int64_t& d) {
    if (PyArray_TYPE(a) == NPY_DATETIME) return day_of(a, i, d);
    return object_maturity(item_of(a, i), d);
}

bool flag_of(PyArrayObject* a, npy_intp i, std::int64_t& v) {
    PyObject* o = item_of(a, i);
    if (Lane<PayerReceiverFlag>::instance(o, v)) return true;
    if (PyFloat_Check(o)) {
        const double x = PyFloat_AS_DOUBLE(o);
        if (x != 0.0 && x != 1.0) throw Error("pay_rec (" + float_text(x) + ") must be " + variants_text<PayerReceiverFlag>());
        v = static_cast<std::int64_t>(x);
        return true;
    }
    const long x = PyLong_AsLong(o);
    if (x == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        py::cannot_convert(o, "PayerReceiverFlag");
        return false;
    }
    if (x != 0 && x != 1) throw Error("pay_rec (" + std::to_string(x) + ") must be " + variants_text<PayerReceiverFlag>());
    v = x;
    return true;
}

bool double_of(PyArrayObject* a, npy_intp i, double& v) {
    std::memcpy(&v, PyArray_BYTES(a) + i * static_cast<npy_intp>(sizeof v), sizeof v);
    return true;
}

// Reads and broadcasts the terms; false with the exception set.
bool load_book(PyObject* start, PyObject* maturity, PyObject* fixed_rate, PyObject* pay_rec, PyObject* notional,
               Book& book) {
    py::Ref s(date_operand(start));
    py::Ref m(s ? date_operand(maturity) : nullptr);
    py::Ref f(m ? PyArray_FROM_OTF(fixed_rate, NPY_DOUBLE, NPY_ARRAY_FORCECAST) : nullptr);
    py::Ref p(f ? PyArray_FromAny(pay_rec, PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr) : nullptr);
    py::Ref n(p ? PyArray_FROM_OTF(notional, NPY_DOUBLE, NPY_ARRAY_FORCECAST) : nullptr);
    if (!n) return false;
    static PyObject* broadcast = [] {
        py::Ref numpy(PyImport_ImportModule("numpy"));
        return numpy ? PyObject_GetAttrString(numpy.get(), "broadcast_arrays") : nullptr;  // kept
    }();
    if (broadcast == nullptr) return false;
    py::Ref arrays(PyObject_CallFunctionObjArgs(broadcast, s.get(), m.get(), f.get(), p.get(), n.get(), nullptr));
    if (!arrays) return false;
    PyObject* first = PySequence_GetItem(arrays.get(), 0);
    if (first == nullptr) return false;
    py::Ref keep(first);
    auto* a0 = reinterpret_cast<PyArrayObject*>(first);
    book.shape.assign(PyArray_DIMS(a0), PyArray_DIMS(a0) + PyArray_NDIM(a0));
    book.size = PyArray_SIZE(a0);
    const auto item = [&](Py_ssize_t k) { return py::Ref(PySequence_GetItem(arrays.get(), k)); };
    return read_flat(item(0).get(), book.start, "start", &day_of) &&
           read_flat(item(1).get(), book.maturity, "maturity", &maturity_of) &&
           read_flat(item(2).get(), book.fixed_rate, "fixed_rate", &double_of) &&
           read_flat(item(3).get(), book.pay_rec, "pay_rec", &flag_of) &&
           read_flat(item(4).get(), book.notional, "notional", &double_of);
}

// The legs of swap i of a book, or null for no swap (NaT, maturity not
// after start); Error for a date out of range.
const SwapLegs* book_legs(const SwapConventions& conv, const Book& book, npy_intp i) {
    const std::int64_t s = book.start[static_cast<std::size_t>(i)], m = book.maturity[static_cast<std::size_t>(i)];
    if (s == nat || m == nat) return nullptr;
    for (const std::int64_t d : {s, m}) {
        if (d < tenor_code && !valid_day(d)) {
            std::string message;
            (void)out_of_range(d, message);
            throw Error(message);
        }
    }
    return legs_of(conv, date_of_days(s), Lane<Maturity>::pass(m));
}

PyObject* node_deltas(const SwapConventions& conv, const YieldCurve& curve, PyObject* start, PyObject* maturity,
                      PyObject* fixed_rate, PyObject* pay_rec, py::Defaulted<PyObject*> notional_arg) {
    py::Ref one(PyFloat_FromDouble(1.0));
    Book book;
    if (!load_book(start, maturity, fixed_rate, pay_rec, notional_arg.value.value_or(one.get()), book)) {
        throw py::PythonError{};
    }
    const CurveNodes curve_nodes(curve.model());
    const std::size_t nodes = curve_nodes.size();
    // Over a book, each day's place among the nodes is found once.
    std::int64_t last = curve_nodes.curve_date();
    for (npy_intp i = 0; i < book.size; ++i) {
        const std::int64_t s = book.start[static_cast<std::size_t>(i)], m = book.maturity[static_cast<std::size_t>(i)];
        if (s == nat || m == nat || !valid_day(s)) continue;
        if (m >= tenor_code) {  // a bound on the end date
            const Tenor t = tenor_of(m);
            const std::int64_t days = t.unit == TenorUnit::Y ? 366 * std::int64_t{t.count} : t.unit == TenorUnit::M
                                          ? 31 * std::int64_t{t.count} : t.unit == TenorUnit::W ? 7 * std::int64_t{t.count}
                                          : std::int64_t{t.count};
            last = std::max(last, s + epoch_serial + days);
        } else {
            last = std::max(last, m + epoch_serial);
        }
    }
    last += 31 + 2 * static_cast<std::int64_t>(conv.payment_lag);
    const std::int64_t first = curve_nodes.curve_date();
    std::vector<CurveNodes::At> table;
    if (book.size >= 64 && last - first < 16 * book.size && last <= Date::max_serial) {
        table.resize(static_cast<std::size_t>(last - first + 1));
        for_chunks(static_cast<npy_intp>(table.size()), 1024, [&](std::int64_t b, std::int64_t e) {
            for (std::int64_t k = b; k < e; ++k) table[static_cast<std::size_t>(k)] = curve_nodes.at(static_cast<std::int32_t>(first + k));
        });
    }
    const auto at = [&](std::int32_t d) {
        const auto k = static_cast<std::uint64_t>(static_cast<std::int64_t>(d) - first);
        return k < table.size() ? table[k] : curve_nodes.at(d);
    };
    std::vector<npy_intp> shape = book.shape;
    shape.push_back(static_cast<npy_intp>(nodes));
    PyArrayObject* out = new_array(shape, NPY_DOUBLE);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    auto* grad = static_cast<double*>(PyArray_DATA(out));
    FirstError error;
    for_chunks(book.size, 64, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            double* row = grad + i * static_cast<std::int64_t>(nodes);
            std::fill(row, row + nodes, 0.0);
            try {
                const SwapLegs* legs = book_legs(conv, book, i);
                if (legs == nullptr) {
                    std::fill(row, row + nodes, nan_value);
                    continue;
                }
                add_npv_node_gradient(*legs, curve_nodes, at, book.fixed_rate[static_cast<std::size_t>(i)],
                                      static_cast<PayerReceiverFlag>(book.pay_rec[static_cast<std::size_t>(i)]),
                                      book.notional[static_cast<std::size_t>(i)], row);
            } catch (const Error& e) {
                error.record(i, FirstError::Kind::value, e.message());
                return;
            }
        }
    });
    if (error.any()) error.raise(book.shape);
    if (PyErr_Occurred()) throw py::PythonError{};
    return Py_NewRef(keep.get());
}

// A curve or None (or not given).
const YieldCurve* optional_curve(const py::Defaulted<PyObject*>& arg, const char* name) {
    PyObject* o = arg.value.value_or(Py_None);
    if (o == Py_None) return nullptr;
    const YieldCurve* curve = Receiver<YieldCurve>::from(o);
    if (curve == nullptr) {
        py::cannot_convert(o, "YieldCurve");
        py::argument_error(name);
        throw py::PythonError{};
    }
    return curve;
}

struct Flow {
    std::int64_t swap;
    bool fixed;
    std::int32_t start, end, pay;
    double year_fraction, rate, amount, df, pv;
};

PyObject* column_days(const std::vector<Flow>& flows, std::int32_t Flow::*field) {
    PyArrayObject* a = new_days({static_cast<npy_intp>(flows.size())});
    auto* d = static_cast<std::int64_t*>(PyArray_DATA(a));
    for (std::size_t i = 0; i < flows.size(); ++i) d[i] = flows[i].*field - epoch_serial;
    return reinterpret_cast<PyObject*>(a);
}

PyObject* column_doubles(const std::vector<Flow>& flows, double Flow::*field) {
    PyArrayObject* a = new_array({static_cast<npy_intp>(flows.size())}, NPY_DOUBLE);
    auto* d = static_cast<double*>(PyArray_DATA(a));
    for (std::size_t i = 0; i < flows.size(); ++i) d[i] = flows[i].*field;
    return reinterpret_cast<PyObject*>(a);
}

PyObject* cashflows(const SwapConventions& conv, PyObject* start, PyObject* maturity, PyObject* fixed_rate,
                    PyObject* pay_rec, py::Defaulted<PyObject*> notional_arg, py::Defaulted<PyObject*> curve_arg,
                    py::Defaulted<PyObject*> forecast_arg) {
    const YieldCurve* curve = optional_curve(curve_arg, "curve");
    const YieldCurve* forecast_curve = optional_curve(forecast_arg, "forecast_curve");
    py::Ref one(PyFloat_FromDouble(1.0));
    Book book;
    if (!load_book(start, maturity, fixed_rate, pay_rec, notional_arg.value.value_or(one.get()), book)) {
        throw py::PythonError{};
    }
    const CurveModel* discount = curve != nullptr ? &curve->model() : nullptr;
    const CurveModel* forecast = forecast_curve != nullptr ? &forecast_curve->model() : discount;
    std::vector<Flow> flows;
    for (npy_intp i = 0; i < book.size; ++i) {
        const SwapLegs* legs;
        try {
            legs = book_legs(conv, book, i);
        } catch (const Error& e) {
            raise_at(FirstError::Kind::value, e.message(), i, book.shape);
        }
        if (legs == nullptr) continue;
        const double notional = book.notional[static_cast<std::size_t>(i)];
        const double sign = book.pay_rec[static_cast<std::size_t>(i)] == 0 ? 1.0 : -1.0;  // a payer receives floating
        const std::int32_t today = discount != nullptr ? discount->curve_date().serial() : 0;
        const auto df = [&](std::int32_t d) {
            return discount == nullptr || d <= today ? nan_value : discount->df(Date::from_serial(d));
        };
        const auto pv = [&](double amount, std::int32_t d) {
            return discount == nullptr ? nan_value : d <= today ? 0.0 : amount * discount->df(Date::from_serial(d));
        };
        for (const SwapPeriod& p : legs->fixed) {
            const double rate = book.fixed_rate[static_cast<std::size_t>(i)];
            const double amount = -sign * notional * rate * p.year_fraction;
            flows.push_back({i, true, p.start, p.end, p.pay, p.year_fraction, rate, amount, df(p.pay), pv(amount, p.pay)});
        }
        for (const SwapPeriod& p : legs->floating) {
            double rate = nan_value;
            if (forecast != nullptr && p.start >= forecast->curve_date().serial()) {
                rate = (forecast->df(Date::from_serial(p.start)) / forecast->df(Date::from_serial(p.end)) - 1.0) /
                       p.year_fraction;
            }
            const double amount = sign * notional * rate * p.year_fraction;
            flows.push_back({i, false, p.start, p.end, p.pay, p.year_fraction, rate, amount, df(p.pay),
                             p.pay <= today && discount != nullptr ? 0.0 : pv(amount, p.pay)});
        }
    }
    py::Ref result(PyDict_New());
    if (!result) throw py::PythonError{};
    const auto put = [&](const char* key, PyObject* value) {
        py::Ref v(value);
        if (!v || PyDict_SetItemString(result.get(), key, v.get()) < 0) throw py::PythonError{};
    };
    if (!book.shape.empty()) {
        PyArrayObject* a = new_array({static_cast<npy_intp>(flows.size())}, NPY_INT64);
        auto* d = static_cast<std::int64_t*>(PyArray_DATA(a));
        for (std::size_t k = 0; k < flows.size(); ++k) d[k] = flows[k].swap;
        put("swap", reinterpret_cast<PyObject*>(a));
    }
    {
        py::Ref fixed(PyUnicode_FromString("fixed")), floating(PyUnicode_FromString("floating"));
        PyArrayObject* a = new_array({static_cast<npy_intp>(flows.size())}, NPY_OBJECT);
        auto** d = static_cast<PyObject**>(PyArray_DATA(a));
        for (std::size_t k = 0; k < flows.size(); ++k) d[k] = Py_NewRef(flows[k].fixed ? fixed.get() : floating.get());
        put("leg", reinterpret_cast<PyObject*>(a));
    }
    put("accrual_start", column_days(flows, &Flow::start));
    put("accrual_end", column_days(flows, &Flow::end));
    put("payment_date", column_days(flows, &Flow::pay));
    put("year_fraction", column_doubles(flows, &Flow::year_fraction));
    put("rate", column_doubles(flows, &Flow::rate));
    put("amount", column_doubles(flows, &Flow::amount));
    put("discount_factor", column_doubles(flows, &Flow::df));
    put("present_value", column_doubles(flows, &Flow::pv));
    return Py_NewRef(result.get());
}

PyMethodDef book_defs[] = {
    py::function<"swap_cashflows(conv, start, maturity, fixed_rate, pay_rec, notional=1.0, curve=None, "
                 "forecast_curve=None)\n--\n\n"
                 "Every coupon of the swaps (terms broadcast as in swap_npv), fixed leg then\n"
                 "floating leg, as a dict of equal-length arrays: swap (the swap's index in the\n"
                 "flattened terms, when they are arrays), leg, accrual_start, accrual_end,\n"
                 "payment_date, year_fraction, rate, amount (signed: received positive), and\n"
                 "with a curve discount_factor and present_value (0 for a payment on or before\n"
                 "the curve date, so that a swap's values add up to its swap_npv). Floating rates\n"
                 "are projected from forecast_curve (by default curve): NaN without one.",
                 &cashflows>(),
    py::function<"swap_node_deltas(conv, curve, start, maturity, fixed_rate, pay_rec, notional=1.0)\n--\n\n"
                 "The derivative of each swap's NPV by the discount factor of each node of the\n"
                 "noded `curve` after its date (`curve` discounting and forecasting), in the\n"
                 "terms' broadcast shape plus one axis of nodes. With a bootstrap's Jacobian J,\n"
                 "deltas @ J gives the NPVs' derivatives by the quotes.",
                 &node_deltas>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_swap_twins(PyObject* m) {
    PyTypeObject* type = py::PyClass<SwapConventions>::get();
    if (type == nullptr || !add(m, "SwapConventions", reinterpret_cast<PyObject*>(type))) return false;
    py::Ref name(PyModule_GetNameObject(m));
    if (!name) return false;
    py::Ref restore(PyCMethod_New(&py::restore_def, m, name.get(), nullptr));
    if (!restore || PyModule_AddObjectRef(m, "_swap_conventions", restore.get()) < 0) return false;
    return add_twin<"swap_npv(conv, curve, start, maturity, fixed_rate, pay_rec, notional=1.0, forecast_curve=None)"
                    "\n--\n\n"
                    "The value on the curve date of each swap from `start` (its effective date) to\n"
                    "`maturity` (its unadjusted end date, or a tenor from `start`), paying\n"
                    "(PayerReceiverFlag.Payer) or receiving `fixed_rate` on `notional` against the\n"
                    "floating leg, which `forecast_curve` (by default `curve`) projects and `curve`\n"
                    "discounts. NaN where maturity is not after start, or where a floating period\n"
                    "has begun on or before the curve date (its rate needs fixings).",
                    &npv_at>(m) &&
           add_twin<"swap_par_rate(conv, curve, start, maturity, forecast_curve=None)\n--\n\n"
                    "The fixed rate at which each swap is worth nothing: the floating leg's value\n"
                    "over the annuity. NaN as for swap_npv.",
                    &par_rate_at>(m) &&
           add_twin<"swap_annuity(conv, curve, start, maturity)\n--\n\n"
                    "Each swap's fixed-leg annuity per unit notional: the sum of its periods'\n"
                    "year fractions times the discount factors of their payment dates (periods\n"
                    "paid on or before the curve date left out). NaN where maturity is not after\n"
                    "start.",
                    &annuity_at>(m) &&
           add_functions(m, book_defs);
}

}  // namespace quill::np
