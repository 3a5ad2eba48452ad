// PROVISIONAL probe surface for the bond core (to be replaced by the twins).
#include <optional>
#include <string>
#include <vector>

#include "datetime/business_calendar.hpp"
#include "datetime/dates_np.hpp"
#include "mkt_data/yield_curve.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"
#include "rates/bond.hpp"

namespace quill::np {
namespace {

BondConventions conventions(std::string_view spec, const DateArray& holidays) {
    // "tenor|day count|acc|pay|stub|eom|ex_days|face"
    std::vector<std::string> parts;
    std::string cur;
    for (char ch : spec) {
        if (ch == '|') { parts.push_back(cur); cur.clear(); } else { cur += ch; }
    }
    parts.push_back(cur);
    std::vector<std::int32_t> h;
    for (npy_intp i = 0; i < holidays.size(); ++i) {
        if (holidays.days()[i] != nat) h.push_back(static_cast<std::int32_t>(holidays.days()[i] + epoch_serial));
    }
    std::optional<BusinessCalendar> cal;
    if (!h.empty()) cal = BusinessCalendar::from_holidays(0x1f, h);
    return BondConventions(parse_tenor(parts[0]), day_count_from_name(parts[1]), cal,
                           static_cast<BusDayAdj>(std::stoi(parts[2])), static_cast<BusDayAdj>(std::stoi(parts[3])),
                           static_cast<StubType>(std::stoi(parts[4])), parts[5] == "1", 0, std::stoi(parts[6]),
                           std::stod(parts[7]));
}

PyObject* probe(std::int32_t what, std::string_view spec, const DateArray& holidays,
                const DateArray& settle, const DateArray& start, const DateArray& maturity, const FloatArray& coupon,
                const FloatArray& x) {
    const BondConventions c = conventions(spec, holidays);
    DateArray& s = const_cast<DateArray&>(settle);
    DateArray& a = const_cast<DateArray&>(start);
    DateArray& m = const_cast<DateArray&>(maturity);
    FloatArray& cp = const_cast<FloatArray&>(coupon);
    FloatArray& xv = const_cast<FloatArray&>(x);
    const Broadcast b{&s, &a, &m, &cp, &xv};
    PyArrayObject* out = new_array(b.shape, NPY_DOUBLE);
    auto* r = static_cast<double*>(PyArray_DATA(out));
    const npy_intp ss = Broadcast::step(s, b.size), sa = Broadcast::step(a, b.size), sm = Broadcast::step(m, b.size),
                   sc = Broadcast::step(cp, b.size), sx = Broadcast::step(xv, b.size);
    for_chunks(b.size, 512, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const auto se = static_cast<std::int32_t>(s.days()[i * ss] + epoch_serial);
            const auto st = static_cast<std::int32_t>(a.days()[i * sa] + epoch_serial);
            const auto ma = static_cast<std::int32_t>(m.days()[i * sm] + epoch_serial);
            const double co = cp.values()[i * sc], v = xv.values()[i * sx];
            double y = 0;
            switch (what) {
                case 0: y = bond_accrued(c, se, st, ma, co); break;
                case 1: y = bond_dirty_price(c, se, st, ma, co, v); break;
                case 2: y = bond_clean_price(c, se, st, ma, co, v); break;
                case 3: y = bond_ytm(c, se, st, ma, co, v); break;
                case 4: y = bond_duration(c, se, st, ma, co, v, false); break;
                case 5: y = bond_duration(c, se, st, ma, co, v, true); break;
                case 6: y = bond_convexity(c, se, st, ma, co, v); break;
                case 7: y = bond_dv01(c, se, st, ma, co, v); break;
            }
            r[i] = y;
        }
    });
    return finish(out);
}

PyObject* curve_probe(std::int32_t what, std::string_view spec, const DateArray& holidays, const YieldCurve& curve, const DateArray& settle,
                      const DateArray& start, const DateArray& maturity, const FloatArray& coupon, const FloatArray& x) {
    const BondConventions c = conventions(spec, holidays);
    DateArray& s = const_cast<DateArray&>(settle);
    DateArray& a = const_cast<DateArray&>(start);
    DateArray& m = const_cast<DateArray&>(maturity);
    FloatArray& cp = const_cast<FloatArray&>(coupon);
    FloatArray& xv = const_cast<FloatArray&>(x);
    const Broadcast b{&s, &a, &m, &cp, &xv};
    PyArrayObject* out = new_array(b.shape, NPY_DOUBLE);
    auto* r = static_cast<double*>(PyArray_DATA(out));
    const npy_intp ss = Broadcast::step(s, b.size), sa = Broadcast::step(a, b.size), sm = Broadcast::step(m, b.size),
                   sc = Broadcast::step(cp, b.size), sx = Broadcast::step(xv, b.size);
    for (std::int64_t i = 0; i < b.size; ++i) {
        const auto se = static_cast<std::int32_t>(s.days()[i * ss] + epoch_serial);
        const auto st = static_cast<std::int32_t>(a.days()[i * sa] + epoch_serial);
        const auto ma = static_cast<std::int32_t>(m.days()[i * sm] + epoch_serial);
        const double co = cp.values()[i * sc], v = xv.values()[i * sx];
        r[i] = what == 0 ? bond_dirty_price_from_curve(c, curve.model(), se, st, ma, co)
                         : bond_zspread(c, curve.model(), se, st, ma, co, v);
    }
    return finish(out);
}

PyObject* cf_probe(std::string_view spec, const DateArray& holidays,
                   std::int32_t start, std::int32_t maturity, double coupon) {
    const BondConventions c = conventions(spec, holidays);
    const std::vector<BondCashFlow> flows = bond_cashflows(c, start, maturity, coupon);
    PyObject* list = PyList_New(0);
    for (const BondCashFlow& f : flows) {
        PyObject* t = Py_BuildValue("(iiidd)", f.accrual_start, f.accrual_end, f.payment, f.year_fraction, f.amount);
        PyList_Append(list, t);
        Py_DECREF(t);
    }
    return list;
}

PyMethodDef defs[] = {
    py::function<"_bond_probe(what, spec, holidays, settle, start, maturity, coupon, x)\n--\n\n",
                 &probe>(),
    py::function<"_bond_curve_probe(what, spec, holidays, curve, settle, start, maturity, coupon, x)\n--\n\n",
                 &curve_probe>(),
    py::function<"_bond_cf_probe(spec, holidays, start, maturity, coupon)\n--\n\n",
                 &cf_probe>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_bond_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
