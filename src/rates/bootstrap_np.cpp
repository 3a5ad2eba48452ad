// qn.bootstrap: discount curves from deposit rates and par swap rates, one
// curve or a scenario of curves per row of quotes, with the Jacobian of the
// node discount factors by the quotes on request.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"
#include "rates/bootstrap.hpp"
#include "rates/swap_np.hpp"

namespace quill::np {
namespace {

// One date (not NaT), as a serial.
struct OneDate {
    std::int32_t serial;
};

// Tenors: a sequence (a list, a tuple, an array) of texts or Tenors.
struct TenorList {
    std::vector<Tenor> tenors;
};

// Quotes: float64, one row or one row per scenario.
struct Quotes {
    py::Ref array;
    bool present = false;
    int ndim() const noexcept { return PyArray_NDIM(a()); }
    npy_intp rows() const noexcept { return ndim() == 2 ? PyArray_DIM(a(), 0) : 1; }
    npy_intp size() const noexcept { return PyArray_DIM(a(), ndim() - 1); }
    const double* row(npy_intp i) const noexcept {
        return static_cast<const double*>(PyArray_DATA(a())) + (ndim() == 2 ? i * size() : 0);
    }
    PyArrayObject* a() const noexcept { return reinterpret_cast<PyArrayObject*>(array.get()); }
};

bool load_tenors(PyObject* o, std::vector<Tenor>& out) {
    if (PyUnicode_Check(o) || Py_IS_TYPE(o, py::PyClass<Tenor>::type)) {
        py::cannot_convert(o, "list of tenors");
        return false;
    }
    py::Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (py::Ref item{PyIter_Next(it.get())}) {
        if (Py_IS_TYPE(item.get(), py::PyClass<Tenor>::type)) {
            out.push_back(reinterpret_cast<py::Obj<Tenor>*>(item.get())->value);
            continue;
        }
        std::string_view text;
        if (!py::load_text(item.get(), text)) return false;
        try {
            out.push_back(parse_tenor(text));
        } catch (const Error& e) {
            py::raise_error(e.message());
            return false;
        }
    }
    return !PyErr_Occurred();
}

bool load_quotes(PyObject* o, Quotes& q, const char* what) {
    q.array = py::Ref(PyArray_FROM_OTF(o, NPY_DOUBLE, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!q.array) return false;
    if (q.ndim() != 1 && q.ndim() != 2) {
        const std::string message = std::string(what) + " must have 1 dimension (one curve) or 2 (one curve a row), not " +
                                    std::to_string(q.ndim());
        py::raise_error(message);
        return false;
    }
    q.present = true;
    return true;
}

// Deposits: None, or a pair (tenors, rates).
struct Deposits {
    std::vector<Tenor> tenors;
    Quotes rates;
    bool present = false;
};

}  // namespace
}  // namespace quill::np

namespace quill::py {

template <>
struct Arg<np::OneDate> {
    np::OneDate v{};
    bool load(PyObject* o) {
        std::int64_t days;
        if (!np::object_days(o, days)) return false;
        if (days == np::nat) {
            raise_error("Curve date must be a date, not NaT");
            return false;
        }
        if (!np::valid_day(days)) {
            std::string message;
            const np::FirstError::Kind kind = np::out_of_range(days, message);
            PyErr_SetString(kind == np::FirstError::Kind::overflow ? PyExc_OverflowError : PyExc_ValueError,
                            message.c_str());
            return false;
        }
        v.serial = static_cast<std::int32_t>(days + np::epoch_serial);
        return true;
    }
    np::OneDate get() const { return v; }
};

template <>
struct Arg<np::TenorList> {
    np::TenorList v;
    bool load(PyObject* o) { return np::load_tenors(o, v.tenors); }
    np::TenorList get() { return std::move(v); }
};

template <>
struct Arg<np::Quotes> {
    np::Quotes v;
    bool load(PyObject* o) { return np::load_quotes(o, v, "Par rates"); }
    np::Quotes& get() { return v; }
};

template <>
struct Arg<np::Deposits> {
    np::Deposits v;
    static constexpr bool may_be_absent = true;
    bool load(PyObject* o) {
        if (o == Py_None) return true;
        Ref pair(PySequence_Fast(o, ""));
        if (!pair || PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%s' object is not a pair (tenors, rates)", Py_TYPE(o)->tp_name);
            return false;
        }
        v.present = true;
        return np::load_tenors(PySequence_Fast_GET_ITEM(pair.get(), 0), v.tenors) &&
               np::load_quotes(PySequence_Fast_GET_ITEM(pair.get(), 1), v.rates, "Deposit rates");
    }
    np::Deposits& get() { return v; }
};

}  // namespace quill::py

namespace quill::np {
namespace {

// Plans made lately, reused while the conventions, date, tenors and curve
// settings stay the same: a desk rebuilds the same curve from new quotes.
struct PlanKey {
    SwapConventions conv;
    std::int32_t curve_date;
    std::vector<Tenor> deposits, swaps;
    DayCounter day_counter;
    InterpType interp_type;

    static bool same(const std::vector<Tenor>& a, const std::vector<Tenor>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i].count != b[i].count || a[i].unit != b[i].unit) return false;
        }
        return true;
    }
    bool operator==(const PlanKey& o) const {
        return curve_date == o.curve_date && day_counter == o.day_counter && interp_type == o.interp_type &&
               same(deposits, o.deposits) && same(swaps, o.swaps) && conv == o.conv;
    }
};

// Touched with the interpreter lock held only.
std::shared_ptr<const CurveBootstrap> plan_for(PlanKey key) {
    static std::vector<std::pair<PlanKey, std::shared_ptr<const CurveBootstrap>>> recent;
    constexpr std::size_t kept = 8;
    for (std::size_t i = 0; i < recent.size(); ++i) {
        if (recent[i].first == key) {
            auto plan = recent[i].second;
            std::rotate(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(i),
                        recent.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            return plan;
        }
    }
    auto plan = std::make_shared<const CurveBootstrap>(key.conv, key.curve_date, key.deposits, key.swaps,
                                                       key.day_counter, key.interp_type);
    if (recent.size() == kept) recent.pop_back();
    recent.insert(recent.begin(), {std::move(key), plan});
    return plan;
}

std::string plural(std::size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

// Each tenor takes one quote.
void check_count(std::size_t quotes, std::size_t tenors, const char* kind, const char* quote) {
    if (quotes == tenors) return;
    if (quotes < tenors) {
        throw Error(std::string(kind) + " has no " + quote + ": " + plural(quotes, quote) + " for " +
                    plural(tenors, "tenor"));
    }
    throw Error(plural(quotes, quote) + " for " + plural(tenors, "tenor") + ": each tenor takes one");
}

PyObject* bootstrap(const SwapConventions& conv, OneDate curve_date, TenorList tenors, Quotes& par_rates,
                    Deposits& deposit_arg, py::Defaulted<DayCounter> day_counter, py::Defaulted<InterpType> interp_type,
                    py::Defaulted<bool> jacobian) {
    Deposits* deposits = deposit_arg.present ? &deposit_arg : nullptr;
    const std::vector<Tenor> none;
    const std::vector<Tenor>& deposit_tenors = deposits != nullptr ? deposits->tenors : none;
    const std::size_t k = deposit_tenors.size(), n = tenors.tenors.size();
    if (par_rates.size() != static_cast<npy_intp>(n)) {
        const std::size_t given = static_cast<std::size_t>(par_rates.size());
        check_count(given, n, given < n ? ("Swap " + tenors.tenors[given].to_string()).c_str() : "", "par rate");
    }
    if (deposits != nullptr && deposits->rates.size() != static_cast<npy_intp>(k)) {
        const std::size_t given = static_cast<std::size_t>(deposits->rates.size());
        check_count(given, k, given < k ? ("Deposit " + deposit_tenors[given].to_string()).c_str() : "", "rate");
    }
    const bool scenarios = par_rates.ndim() == 2 || (deposits != nullptr && deposits->rates.ndim() == 2);
    npy_intp m = par_rates.rows();
    if (deposits != nullptr && deposits->rates.ndim() == 2) {
        if (par_rates.ndim() == 2 && deposits->rates.rows() != m) {
            throw Error("Deposit rates (" + plural(static_cast<std::size_t>(deposits->rates.rows()), "row") +
                        ") and par rates (" + plural(static_cast<std::size_t>(m), "row") +
                        ") must give the same scenarios");
        }
        m = deposits->rates.rows();
    }
    const std::shared_ptr<const CurveBootstrap> plan =
        plan_for({conv, curve_date.serial, deposit_tenors, tenors.tenors, day_counter.value.value_or(DayCounter::Act365),
                  interp_type.value.value_or(InterpType::Geometric)});
    const std::size_t size = plan->size();
    const bool with_jacobian = jacobian.value.value_or(false);
    std::vector<double> dfs(static_cast<std::size_t>(m) * (size + 1));
    py::Ref jac;
    double* jac_data = nullptr;
    if (with_jacobian) {
        std::vector<npy_intp> shape{static_cast<npy_intp>(size), static_cast<npy_intp>(size)};
        if (scenarios) shape.insert(shape.begin(), m);
        jac = py::Ref(reinterpret_cast<PyObject*>(new_array(shape, NPY_DOUBLE)));
        jac_data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(jac.get())));
    }
    std::vector<std::string> errors(static_cast<std::size_t>(m));
    std::vector<std::optional<YieldCurve>> curves(static_cast<std::size_t>(m));
    const auto solve = [&](std::int64_t begin, std::int64_t end) {
        std::vector<double> quotes(size);
        for (std::int64_t s = begin; s < end; ++s) {
            if (deposits != nullptr) std::copy_n(deposits->rates.row(s), k, quotes.begin());
            std::copy_n(par_rates.row(s), n, quotes.begin() + static_cast<std::ptrdiff_t>(k));
            double* j = jac_data != nullptr ? jac_data + s * static_cast<std::int64_t>(size * size) : nullptr;
            try {
                double* row = dfs.data() + s * static_cast<std::int64_t>(size + 1);
                plan->solve(quotes.data(), row, j);
                curves[static_cast<std::size_t>(s)].emplace(plan->curve(row));
            } catch (const Error& e) {
                errors[static_cast<std::size_t>(s)] = e.message();
                if (j != nullptr) std::fill(j, j + size * size, std::numeric_limits<double>::quiet_NaN());
            }
        }
    };
    if (scenarios) {
        for_chunks(m, 8, solve);
    } else {
        solve(0, 1);
        if (!errors[0].empty()) throw Error(errors[0]);
    }
    const auto curve = [&](npy_intp s) -> PyObject* {
        if (!errors[static_cast<std::size_t>(s)].empty()) {
            py::Ref text(py::to_py(errors[static_cast<std::size_t>(s)]));
            return text ? PyObject_CallOneArg(PyExc_ValueError, text.get()) : nullptr;
        }
        return py::to_py(std::move(*curves[static_cast<std::size_t>(s)]));
    };
    py::Ref result;
    if (scenarios) {
        result = py::Ref(PyList_New(m));
        if (!result) throw py::PythonError{};
        for (npy_intp s = 0; s < m; ++s) {
            PyObject* c = curve(s);
            if (c == nullptr) throw py::PythonError{};
            PyList_SET_ITEM(result.get(), s, c);
        }
    } else {
        result = py::Ref(curve(0));
        if (!result) throw py::PythonError{};
    }
    if (!with_jacobian) return Py_NewRef(result.get());
    return PyTuple_Pack(2, result.get(), jac.get());
}

PyMethodDef defs[] = {
    py::function<"bootstrap(conv, curve_date, tenors, par_rates, deposits=None, day_counter=DayCounter.Act365, "
                 "interp_type=InterpType.Geometric, jacobian=False)\n--\n\n"
                 "The noded YieldCurve, dated `curve_date` (the trade date; swaps start at its\n"
                 "spot date), that prices every quote back: par rates of swaps of `tenors` under\n"
                 "`conv`, and `deposits`, a pair (tenors, rates) of simple rates on the floating\n"
                 "leg's day count from the spot date. A node at each instrument's last payment\n"
                 "date. Quotes of shape (m, n) give a list of m curves, a scenario's failure\n"
                 "being its ValueError in its place. With jacobian=True, also the derivatives of\n"
                 "the node discount factors (rows, after the curve date) by the quotes (columns:\n"
                 "deposit rates, then par rates): (curve, array) or (curves, array of m).",
                 &bootstrap>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_bootstrap(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
