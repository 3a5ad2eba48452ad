// Python surface of the bonds in the array module: BondConventions (a value
// shared by a book of bonds), the analytics as twins over the bond terms
// (conventions first), and bond_cashflows.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/float_text.hpp"
#include "datetime/business_calendar.hpp"
#include "datetime/business_calendar_np.hpp"
#include "datetime/day_count_np.hpp"
#include "datetime/calendar.hpp"
#include "datetime/dates_np.hpp"
#include "datetime/day_count.hpp"
#include "datetime/day_counter.hpp"
#include "datetime/tenor.hpp"
#include "enums/bus_day_adj.hpp"
#include "enums/stub_type.hpp"
#include "mkt_data/yield_curve.hpp"
#include "numpy/errors.hpp"
#include "numpy/twins.hpp"
#include "numpy/wrapper.hpp"
#include "python/ref.hpp"
#include "rates/bond.hpp"

namespace quill::py {

template <>
struct PyClass<BondConventions> {
    static constexpr const char* name = "BondConventions";
    static inline PyTypeObject* type = nullptr;
    static PyTypeObject* create();
    static PyTypeObject* get() { return type ? type : create(); }
};

}  // namespace quill::py

namespace quill::np {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- constructor arguments

struct CouponTenor {
    Tenor value;
};
struct DayCountName {
    DayCount value;
};
struct CalendarChoice {
    std::optional<BusinessCalendar> value;
};

// A ValueError naming the argument, as the binding names refused ones.
bool refuse(std::string_view name, const std::string& what) {
    py::raise_error(message::argument(name, what));
    return false;
}

}  // namespace

// Which duration: "modified" or "macaulay".
struct DurationKind {
    bool macaulay;
};

bool duration_kind(PyObject* o, DurationKind& kind) {
    if (PyUnicode_Check(o)) {
        if (PyUnicode_CompareWithASCIIString(o, "modified") == 0) {
            kind.macaulay = false;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(o, "macaulay") == 0) {
            kind.macaulay = true;
            return true;
        }
    }
    py::Ref text(PyObject_Repr(o));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) return false;
    py::raise_error(message::argument("kind", "Duration kind (" + std::string(utf8) + ") must be 'modified' or 'macaulay'"));
    return false;
}

template <>
struct Lane<DurationKind> {
    using Native = DurationKind;
    using Value = DurationKind;
    using Batched = DurationKind;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta*, std::string_view) { return &PyArray_ObjectDType; }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        const npy_intp count = op.step == 0 ? std::min<npy_intp>(op.n, 1) : op.n;
        DurationKind* target = out.converted<DurationKind>(op);
        for (npy_intp i = 0; i < count; ++i) {
            if (!duration_kind(op.item(i), target[i])) {
                (void)name;
                err.record_raised(i);
                return i;
            }
        }
        return op.n;
    }
    static Status status(DurationKind) noexcept { return Status::ok; }
    static DurationKind value(DurationKind k) noexcept { return k; }
    static DurationKind batched(DurationKind k) noexcept { return k; }
    static DurationKind pass(DurationKind k) noexcept { return k; }
    static FirstError::Kind refusal(DurationKind, std::string_view, std::string&) { return FirstError::Kind::value; }
    // One kind is checked before any array is made: its error carries no index.
    static bool check(PyObject* o, std::string_view) {
        DurationKind k;
        return duration_kind(o, k);
    }
};

}  // namespace quill::np

namespace quill::py {

// Text such as "6M" or a quillander.Tenor, of months that divide a year.
template <>
struct Arg<np::CouponTenor> {
    np::CouponTenor v;
    bool load(PyObject* o) {
        try {
            v.value = np::load_tenor(o);
            coupon_months(v.value);
            return true;
        } catch (const PythonError&) {
            return false;
        } catch (const Error& e) {
            return np::refuse("tenor", e.message());
        }
    }
    np::CouponTenor get() const { return v; }
};

// A day-count name ("ACT/ACT ICMA") or a quillander.DayCounter whose
// convention is one of them.
template <>
struct Arg<np::DayCountName> {
    np::DayCountName v;
    bool load(PyObject* o) {
        try {
            v.value = np::load_day_count(o);
            return true;
        } catch (const PythonError&) {
            return false;
        } catch (const Error& e) {
            return np::refuse("day_count", e.message());
        }
    }
    np::DayCountName get() const { return v; }
};

// None (weekends only), or any calendar the other twins take.
template <>
struct Arg<np::CalendarChoice> {
    np::CalendarChoice v;
    static constexpr bool may_be_absent = true;
    bool load(PyObject* o) { return o == Py_None || np::load_calendar(o, v.value); }
    np::CalendarChoice get() const { return v; }
};

}  // namespace quill::py

namespace quill::np {
namespace {

using py::Defaulted;
using py::Ref;

template <class T>
T or_default(const Defaulted<T>& d, T fallback) {
    return d.value ? *d.value : fallback;
}

BondConventions make_conventions(Defaulted<CouponTenor> tenor, Defaulted<DayCountName> day_count, CalendarChoice cal,
                                 Defaulted<BusDayAdj> bus_day_adj, Defaulted<BusDayAdj> pay_adj,
                                 Defaulted<StubType> stub_type, Defaulted<bool> end_of_month,
                                 Defaulted<std::int32_t> settlement_days, Defaulted<std::int32_t> ex_coupon_days,
                                 Defaulted<double> face) {
    const auto lag = [](const char* name, const char* what, std::int32_t days) {
        try {
            check_bond_lag(what, days);
        } catch (const Error& e) {
            throw Error(message::argument(name, e.message()));
        }
        return days;
    };
    const double f = or_default(face, 100.0);
    try {
        check_face(f);
    } catch (const Error& e) {
        throw Error(message::argument("face", e.message()));
    }
    return BondConventions(tenor.value ? tenor.value->value : Tenor{6, TenorUnit::M},
                           day_count.value ? day_count.value->value : DayCount::ActActIcma, std::move(cal.value),
                           or_default(bus_day_adj, BusDayAdj::Unadjusted), or_default(pay_adj, BusDayAdj::Following),
                           or_default(stub_type, StubType::FrontShort), or_default(end_of_month, false),
                           lag("settlement_days", "Settlement days", or_default(settlement_days, 0)),
                           lag("ex_coupon_days", "Ex-coupon days", or_default(ex_coupon_days, 0)), f);
}

const BondConventions& value_of(PyObject* o) { return reinterpret_cast<py::Obj<BondConventions>*>(o)->value; }

// Python's repr of a float ("100.0").
std::string float_repr(double x) {
    char* text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) throw py::PythonError{};
    std::string out(text);
    PyMem_Free(text);
    return out;
}

template <class E>
std::string enum_text(E e) {
    return std::string(EnumTraits<E>::name) + "." + std::string(EnumTraits<E>::variants[static_cast<std::size_t>(e)]);
}

std::string calendar_text(const BondConventions& c) {
    if (!c.calendar()) return "None";
    const CalendarDays& d = c.calendar()->content();
    if (!c.calendar()->name().empty()) return "<calendar " + c.calendar()->name() + ">";
    return "<calendar weekmask='" + weekmask_text(d.weekmask) + "', " + std::to_string(d.holidays.size()) + " holidays>";
}

std::string repr(const BondConventions& c) {
    return "BondConventions(tenor='" + c.tenor().to_string() + "', day_count='" +
           std::string(day_count_names[static_cast<std::size_t>(c.day_count())]) + "', cal=" + calendar_text(c) +
           ", bus_day_adj=" + enum_text(c.accrual_adj()) + ", pay_adj=" + enum_text(c.payment_adj()) +
           ", stub_type=" + enum_text(c.stub()) + ", end_of_month=" + (c.end_of_month() ? "True" : "False") +
           ", settlement_days=" + std::to_string(c.settlement_days()) +
           ", ex_coupon_days=" + std::to_string(c.ex_coupon_days()) + ", face=" + float_repr(c.face()) + ")";
}

std::string tenor_of(const BondConventions& c) { return c.tenor().to_string(); }
std::string day_count_of(const BondConventions& c) {
    return std::string(day_count_names[static_cast<std::size_t>(c.day_count())]);
}
BusDayAdj accrual_adj_of(const BondConventions& c) { return c.accrual_adj(); }
BusDayAdj payment_adj_of(const BondConventions& c) { return c.payment_adj(); }
StubType stub_of(const BondConventions& c) { return c.stub(); }
bool end_of_month_of(const BondConventions& c) { return c.end_of_month(); }
std::int32_t settlement_days_of(const BondConventions& c) { return c.settlement_days(); }
// The business days, for qn.add_business_days(trade, conv.settlement_days, conv.cal):
// made without one, Saturday and Sunday weekends.
BusinessCalendar calendar_of(const BondConventions& c) {
    return c.calendar() ? *c.calendar() : BusinessCalendar::from_holidays(0x1f, {});
}
std::int32_t ex_coupon_days_of(const BondConventions& c) { return c.ex_coupon_days(); }
double face_of(const BondConventions& c) { return c.face(); }
std::int32_t frequency_of(const BondConventions& c) { return c.frequency(); }

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    PyTypeObject* type = py::PyClass<BondConventions>::type;
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(a, type) || !Py_IS_TYPE(b, type)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value_of(a) == value_of(b);
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

Py_hash_t hash(PyObject* self) {
    const auto h = static_cast<Py_hash_t>(value_of(self).hash());
    return h == -1 ? -2 : h;
}


// Pickled as its parts, restored by the module's _bond_conventions.
PyObject* reduce(const BondConventions& c) {
    Ref module(PyImport_ImportModule("quillander_numpy"));
    Ref restore(module ? PyObject_GetAttrString(module.get(), "_bond_conventions") : nullptr);
    if (!restore) return nullptr;
    PyObject* cal = Py_None;
    Ref calendar;
    if (c.calendar()) {
        const CalendarDays& d = c.calendar()->content();
        Ref holidays(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.holidays.data()),
                                               static_cast<Py_ssize_t>(d.holidays.size() * sizeof(std::int32_t))));
        Ref extra(holidays ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.extra_days.data()),
                                                       static_cast<Py_ssize_t>(d.extra_days.size() * sizeof(std::int32_t)))
                           : nullptr);
        if (!extra) return nullptr;
        calendar = Ref(Py_BuildValue("(s#iOOii)", c.calendar()->name().data(),
                                     static_cast<Py_ssize_t>(c.calendar()->name().size()), static_cast<int>(d.weekmask),
                                     holidays.get(), extra.get(), d.first, d.last));
        if (!calendar) return nullptr;
        cal = calendar.get();
    }
    Ref args(Py_BuildValue("(ssOiiiOiid)", c.tenor().to_string().c_str(), day_count_of(c).c_str(), cal,
                           static_cast<int>(c.accrual_adj()), static_cast<int>(c.payment_adj()),
                           static_cast<int>(c.stub()), c.end_of_month() ? Py_True : Py_False, c.settlement_days(),
                           c.ex_coupon_days(), c.face()));
    if (!args) return nullptr;
    return PyTuple_Pack(2, restore.get(), args.get());
}

std::vector<std::int32_t> serials_of(PyObject* bytes) {
    if (!PyBytes_Check(bytes) || PyBytes_GET_SIZE(bytes) % sizeof(std::int32_t) != 0) {
        throw Error("BondConventions state: calendar days must be bytes of 32-bit serials");
    }
    std::vector<std::int32_t> v(static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(std::int32_t));
    if (!v.empty()) std::memcpy(v.data(), PyBytes_AS_STRING(bytes), v.size() * sizeof(std::int32_t));  // no null source
    return v;
}

template <class E>
E variant(std::int32_t i) {
    if (i < 0 || i >= static_cast<std::int32_t>(variant_count<E>())) {
        throw Error("BondConventions state: " + std::string(EnumTraits<E>::name) + " " + std::to_string(i) +
                    " is no variant");
    }
    return static_cast<E>(i);
}

BondConventions restore(std::string_view tenor, std::string_view day_count, PyObject* cal, std::int32_t accrual,
                        std::int32_t payment, std::int32_t stub, bool end_of_month, std::int32_t settlement_days,
                        std::int32_t ex_coupon_days, double face) {
    std::optional<BusinessCalendar> calendar;
    if (cal != Py_None) {
        const char* name = nullptr;
        Py_ssize_t length = 0;
        int weekmask = 0, first = 0, last = 0;
        PyObject *holidays = nullptr, *extra = nullptr;
        if (!PyTuple_Check(cal) || !PyArg_ParseTuple(cal, "s#iOOii", &name, &length, &weekmask, &holidays, &extra,
                                                     &first, &last)) {
            PyErr_Clear();
            throw Error("BondConventions state: the calendar must be its content");
        }
        CalendarDays d;
        d.weekmask = static_cast<std::uint8_t>(weekmask & 0x7f);
        d.holidays = serials_of(holidays);
        d.extra_days = serials_of(extra);
        d.first = first;
        d.last = last;
        calendar = BusinessCalendar::from_content(std::move(d), std::string(name, static_cast<std::size_t>(length)));
    }
    return BondConventions(parse_tenor(tenor), day_count_from_name(day_count), std::move(calendar),
                           variant<BusDayAdj>(accrual), variant<BusDayAdj>(payment), variant<StubType>(stub),
                           end_of_month, settlement_days, ex_coupon_days, face);
}

// ---------------------------------------------------------------- presets

struct Preset {
    const char* name;
    const char* calendar;  // the holidays package's market
    Tenor tenor;
    bool end_of_month;
    std::int32_t settlement_days, ex_coupon_days;
};

// Government bonds: ACT/ACT ICMA, accrual dates unadjusted, payments on the
// following business day, short front stubs, quoted per 100.
const Preset presets[] = {
    {"US Treasury", "XSIF", Tenor{6, TenorUnit::M}, true, 1, 0},
    {"German Bund", "XECB", Tenor{1, TenorUnit::Y}, false, 2, 0},
    {"UK Gilt", "XLON", Tenor{6, TenorUnit::M}, false, 1, 7},
};

BondConventions preset(std::string_view name) {
    for (const Preset& p : presets) {
        if (name != p.name) continue;
        Ref module(PyImport_ImportModule("quillander_numpy"));
        Ref cal(module ? PyObject_CallMethod(module.get(), "calendar", "s", p.calendar) : nullptr);
        std::optional<BusinessCalendar> days;
        if (!cal || !load_calendar(cal.get(), days)) throw py::PythonError{};
        return BondConventions(p.tenor, DayCount::ActActIcma, std::move(days), BusDayAdj::Unadjusted,
                               BusDayAdj::Following, StubType::FrontShort, p.end_of_month, p.settlement_days,
                               p.ex_coupon_days, 100.0);
    }
    throw Error("Unknown bond conventions (" + std::string(name) +
                "); use \"US Treasury\", \"German Bund\" or \"UK Gilt\"");
}

// ---------------------------------------------------------------- analytics

double accrued_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon) {
    return bond_accrued(c, settle.serial(), start.serial(), maturity.serial(), coupon);
}
double dirty_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon, double ytm) {
    return bond_dirty_price(c, settle.serial(), start.serial(), maturity.serial(), coupon, ytm);
}
double clean_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon, double ytm) {
    return bond_clean_price(c, settle.serial(), start.serial(), maturity.serial(), coupon, ytm);
}
double ytm_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon, double clean_price) {
    return bond_ytm(c, settle.serial(), start.serial(), maturity.serial(), coupon, clean_price);
}
double duration_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon, double ytm,
                   DurationKind kind) {
    return bond_duration(c, settle.serial(), start.serial(), maturity.serial(), coupon, ytm, kind.macaulay);
}
double convexity_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon, double ytm) {
    return bond_convexity(c, settle.serial(), start.serial(), maturity.serial(), coupon, ytm);
}
double dv01_at(const BondConventions& c, Date settle, Date start, Date maturity, double coupon, double ytm) {
    return bond_dv01(c, settle.serial(), start.serial(), maturity.serial(), coupon, ytm);
}
double curve_dirty_at(const BondConventions& c, const YieldCurve& curve, Date settle, Date start, Date maturity,
                      double coupon) {
    return bond_dirty_price_from_curve(c, curve.model(), settle.serial(), start.serial(), maturity.serial(), coupon);
}
double zspread_at(const BondConventions& c, const YieldCurve& curve, Date settle, Date start, Date maturity,
                  double coupon, double clean_price) {
    return bond_zspread(c, curve.model(), settle.serial(), start.serial(), maturity.serial(), coupon, clean_price);
}

// Blocks of bonds: the dates as serials, straight into the library's loop.
template <auto K, class... X>
struct BondBatch {
    static constexpr bool exists = true;
    static void run(std::size_t n, const BondConventions* const* c, const std::int32_t* settle,
                    const std::int32_t* start, const std::int32_t* maturity, const double* coupon, const X*... x,
                    double* const* out) {
        for (std::size_t i = 0; i < n; ++i) out[0][i] = K(*c[i], settle[i], start[i], maturity[i], coupon[i], x[i]...);
    }
};

double duration_kernel(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                       double coupon, double ytm, DurationKind kind) noexcept {
    return bond_duration(c, settle, start, maturity, coupon, ytm, kind.macaulay);
}

}  // namespace

template <>
struct Batch<&accrued_at> : BondBatch<&bond_accrued> {};
template <>
struct Batch<&dirty_at> : BondBatch<&bond_dirty_price, double> {};
template <>
struct Batch<&clean_at> : BondBatch<&bond_clean_price, double> {};
template <>
struct Batch<&ytm_at> : BondBatch<&bond_ytm, double> {};
template <>
struct Batch<&duration_at> : BondBatch<&duration_kernel, double, DurationKind> {};
template <>
struct Batch<&convexity_at> : BondBatch<&bond_convexity, double> {};
template <>
struct Batch<&dv01_at> : BondBatch<&bond_dv01, double> {};

namespace {

// ---------------------------------------------------------------- cash flows

// Terms as arrays: dates as days, coupons as float64, all of one broadcast shape.
struct Terms {
    DateArray start, maturity;
    Ref coupon;  // float64 array
};

PyObject* column(const std::vector<std::int64_t>& v, int type) {
    const npy_intp n = static_cast<npy_intp>(v.size());
    PyArrayObject* a = type == NPY_DATETIME ? new_days({n}) : new_array({n}, NPY_INT64);
    if (a == nullptr) return nullptr;
    if (n > 0) std::memcpy(PyArray_DATA(a), v.data(), v.size() * sizeof(std::int64_t));  // no rows: no source
    return reinterpret_cast<PyObject*>(a);
}

PyObject* column(const std::vector<double>& v) {
    PyArrayObject* a = new_array({static_cast<npy_intp>(v.size())}, NPY_DOUBLE);
    if (a == nullptr) return nullptr;
    if (!v.empty()) std::memcpy(PyArray_DATA(a), v.data(), v.size() * sizeof(double));
    return reinterpret_cast<PyObject*>(a);
}

bool is_array_like(PyObject* o) {
    return PyArray_Check(o) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) > 0 : !single(o);
}

PyObject* cashflows(const BondConventions& c, PyObject* start_arg, PyObject* maturity_arg, PyObject* coupon_arg) {
    const bool arrays = is_array_like(start_arg) || is_array_like(maturity_arg) || is_array_like(coupon_arg);
    py::Arg<DateArray> start, maturity;
    if (!start.load(start_arg)) {
        py::argument_error("start");
        return nullptr;
    }
    if (!maturity.load(maturity_arg)) {
        py::argument_error("maturity");
        return nullptr;
    }
    Ref coupon(PyArray_FROMANY(coupon_arg, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY));
    if (!coupon) {
        py::argument_error("coupon");
        return nullptr;
    }
    // One broadcast over the three.
    PyObject* parts[3] = {reinterpret_cast<PyObject*>(start.get().array()),
                          reinterpret_cast<PyObject*>(maturity.get().array()), coupon.get()};
    Ref iter(PyArray_MultiIterNew(3, parts[0], parts[1], parts[2]));
    if (!iter) return nullptr;
    auto* multi = reinterpret_cast<PyArrayMultiIterObject*>(iter.get());
    std::vector<std::int64_t> bond, accrual_start, accrual_end, payment;
    std::vector<double> fraction, amount;
    while (PyArray_MultiIter_NOTDONE(multi)) {
        const std::int64_t index = multi->index;
        std::int64_t s, m;
        double cp;
        std::memcpy(&s, PyArray_MultiIter_DATA(multi, 0), sizeof s);
        std::memcpy(&m, PyArray_MultiIter_DATA(multi, 1), sizeof m);
        std::memcpy(&cp, PyArray_MultiIter_DATA(multi, 2), sizeof cp);
        PyArray_MultiIter_NEXT(multi);
        std::vector<BondCashFlow> flows;
        try {
            if (s == nat || m == nat) throw Error("Bond start and maturity must be dates (not NaT)");
            flows = bond_cashflows(c, static_cast<std::int32_t>(s + epoch_serial), static_cast<std::int32_t>(m + epoch_serial), cp);
        } catch (const Error& e) {
            if (arrays) continue;  // a bond without cash flows has no rows
            py::raise_error(e.message());
            return nullptr;
        } catch (const Failure& e) {
            if (arrays) continue;
            py::raise_failure(e.message());
            return nullptr;
        }
        for (const BondCashFlow& f : flows) {
            bond.push_back(index);
            const bool redemption = std::isnan(f.year_fraction);
            accrual_start.push_back(redemption ? nat : f.accrual_start - epoch_serial);
            accrual_end.push_back(redemption ? nat : f.accrual_end - epoch_serial);
            payment.push_back(f.payment - epoch_serial);
            fraction.push_back(f.year_fraction);
            amount.push_back(f.amount);
        }
    }
    Ref out(PyDict_New());
    if (!out) return nullptr;
    const auto put = [&](const char* key, PyObject* value) {
        Ref v(value);
        return v && PyDict_SetItemString(out.get(), key, v.get()) == 0;
    };
    if (arrays && !put("bond", column(bond, NPY_INT64))) return nullptr;
    if (!put("accrual_start", column(accrual_start, NPY_DATETIME)) || !put("accrual_end", column(accrual_end, NPY_DATETIME)) ||
        !put("payment_date", column(payment, NPY_DATETIME)) || !put("year_fraction", column(fraction)) ||
        !put("amount", column(amount))) {
        return nullptr;
    }
    return Py_NewRef(out.get());
}

}  // namespace

}  // namespace quill::np

namespace quill::py {

PyTypeObject* PyClass<BondConventions>::create() {
    using namespace np;
    static PyGetSetDef attributes[] = {
        {"tenor", &getter<BondConventions, &tenor_of>, nullptr, nullptr, nullptr},
        {"day_count", &getter<BondConventions, &day_count_of>, nullptr, nullptr, nullptr},
        {"cal", &getter<BondConventions, &np::calendar_of>, nullptr, nullptr, nullptr},
        {"bus_day_adj", &getter<BondConventions, &accrual_adj_of>, nullptr, nullptr, nullptr},
        {"pay_adj", &getter<BondConventions, &payment_adj_of>, nullptr, nullptr, nullptr},
        {"stub_type", &getter<BondConventions, &stub_of>, nullptr, nullptr, nullptr},
        {"end_of_month", &getter<BondConventions, &end_of_month_of>, nullptr, nullptr, nullptr},
        {"settlement_days", &getter<BondConventions, &settlement_days_of>, nullptr, nullptr, nullptr},
        {"ex_coupon_days", &getter<BondConventions, &ex_coupon_days_of>, nullptr, nullptr, nullptr},
        {"face", &getter<BondConventions, &face_of>, nullptr, nullptr, nullptr},
        {"frequency", &getter<BondConventions, &frequency_of>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        static_method<"BondConventions",
                      "preset(name)\n--\n\n"
                      "The conventions of a market's government bonds: \"US Treasury\", \"German Bund\"\n"
                      "or \"UK Gilt\" (see the user guide for each one's calendar, settlement lag and\n"
                      "ex-coupon period).",
                      &np::preset>(),
        method<"BondConventions", "__reduce__($self)\n--\n\n", &np::reduce>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<BondConventions>(
        "quillander_numpy.BondConventions",
        Constructor<"BondConventions(tenor='6M', day_count='ACT/ACT ICMA', cal=None, "
                    "bus_day_adj=BusDayAdj.Unadjusted, pay_adj=BusDayAdj.Following, stub_type=StubType.FrontShort, "
                    "end_of_month=False, settlement_days=0, ex_coupon_days=0, face=100.0)\n--\n\n"
                    "The conventions a book of fixed-rate bonds shares: the coupon period (1M, 2M,\n"
                    "3M, 4M, 6M or 1Y), the accrual day count, the calendar (None: Saturday and\n"
                    "Sunday weekends, no holidays) and the rules moving accrual and payment dates\n"
                    "onto its business days, the stub, the end-of-month rule, the settlement lag\n"
                    "and the ex-coupon period in business days, and the face (what is repaid;\n"
                    "prices are per face). Immutable, equal and hashable by value, picklable.",
                    &np::make_conventions>{},
        {
            {Py_tp_getset, attributes},
            {Py_tp_methods, methods},
            {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<BondConventions, &np::repr>)},
            {Py_tp_richcompare, reinterpret_cast<void*>(&np::richcompare)},
            {Py_tp_hash, reinterpret_cast<void*>(&np::hash)},
        });
}

}  // namespace quill::py

namespace quill::np {

bool add_bond_twins(PyObject* m) {
    PyTypeObject* type = py::PyClass<BondConventions>::get();
    if (type == nullptr || !add(m, "BondConventions", reinterpret_cast<PyObject*>(type))) return false;
    // Pickle's way back, outside __all__.
    static PyMethodDef restore_def =
        py::function<"_bond_conventions(tenor, day_count, cal, bus_day_adj, pay_adj, stub_type, end_of_month, "
                     "settlement_days, ex_coupon_days, face)\n--\n\n"
                     "BondConventions from its pickled parts (for pickle only).",
                     &restore>();
    py::Ref module_name(PyModule_GetNameObject(m));
    if (!module_name) return false;
    py::Ref restore_function(PyCMethod_New(&restore_def, m, module_name.get(), nullptr));
    if (!restore_function || PyModule_AddObjectRef(m, "_bond_conventions", restore_function.get()) < 0) return false;
    static PyMethodDef defs[] = {
        py::function<"bond_cashflows(conv, start, maturity, coupon)\n--\n\n"
                     "Every coupon of each bond, then its redemption, as a dict of equal-length\n"
                     "arrays: accrual_start, accrual_end (NaT for the redemption), payment_date,\n"
                     "year_fraction (NaN for the redemption) and amount (per face); with a `bond`\n"
                     "column of indices into the broadcast terms when any term is an array (a\n"
                     "bond without coupons then has no rows; alone it is a ValueError).",
                     &cashflows>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return add_functions(m, defs) &&
           add_twin<"bond_accrued(conv, settle, start, maturity, coupon)\n--\n\n"
                    "Accrued interest of each bond at its settlement date, per face (negative in\n"
                    "an ex-coupon period); NaN where the bond has no value then.",
                    &accrued_at, TwinOptions{.grain = 8192}>(m) &&
           add_twin<"bond_dirty_price(conv, settle, start, maturity, coupon, ytm)\n--\n\n"
                    "Dirty price per face: every payment after settlement discounted at the yield\n"
                    "compounded at the coupon frequency over the day count's time to its date.",
                    &dirty_at, TwinOptions{.grain = 1024}>(m) &&
           add_twin<"bond_clean_price(conv, settle, start, maturity, coupon, ytm)\n--\n\n"
                    "Clean price per face: the dirty price less the accrued interest.",
                    &clean_at, TwinOptions{.grain = 1024}>(m) &&
           add_twin<"bond_ytm(conv, settle, start, maturity, coupon, clean_price)\n--\n\n"
                    "The yield whose clean price is `clean_price`; NaN where none exists.",
                    &ytm_at, TwinOptions{.grain = 256}>(m) &&
           add_twin<"bond_duration(conv, settle, start, maturity, coupon, ytm, kind='modified')\n--\n\n"
                    "Modified duration (-dP/dy over P, P the dirty price), or with\n"
                    "kind='macaulay' the time-weighted mean of the payments, in years.",
                    &duration_at, TwinOptions{.grain = 1024}>(m) &&
           add_twin<"bond_convexity(conv, settle, start, maturity, coupon, ytm)\n--\n\n"
                    "d2P/dy2 over P, P the dirty price.",
                    &convexity_at, TwinOptions{.grain = 1024}>(m) &&
           add_twin<"bond_dv01(conv, settle, start, maturity, coupon, ytm)\n--\n\n"
                    "The dirty price's rise, per face, when the yield falls by one basis point.",
                    &dv01_at, TwinOptions{.grain = 1024}>(m) &&
           add_twin<"bond_dirty_price_from_curve(conv, curve, settle, start, maturity, coupon)\n--\n\n"
                    "Dirty price per face off a YieldCurve: each payment after settlement times its\n"
                    "discount factor over that of the settlement date.",
                    &curve_dirty_at, TwinOptions{.grain = 1024}>(m) &&
           add_twin<"bond_zspread(conv, curve, settle, start, maturity, coupon, clean_price)\n--\n\n"
                    "The spread over the curve's continuously compounded zero rates at which the\n"
                    "bond's clean price is `clean_price`; NaN where none exists.",
                    &zspread_at, TwinOptions{.grain = 256}>(m);
}

}  // namespace quill::np
