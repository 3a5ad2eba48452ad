// PROVISIONAL (removed before the branch is ready): plain-value entry points
// to test the rates core before the array surface exists.
#include <chrono>
#include <vector>

#include "datetime/business_calendar.hpp"
#include "mkt_data/curve_description.hpp"
#include "mkt_data/yield_curve.hpp"
#include "numpy/twins.hpp"
#include "python/binding.hpp"
#include "python/ref.hpp"
#include "rates/bootstrap.hpp"
#include "rates/swap.hpp"

namespace quill::np {
namespace {

SwapConventions conv_of(PyObject* t) {
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 10) throw Error("conv tuple of 10");
    py::Arg<std::string_view> ft, fdc, lt, ldc;
    py::Arg<std::vector<Date>> hol;
    py::Arg<BusDayAdj> adj;
    py::Arg<StubType> stub;
    py::Arg<bool> eom;
    py::Arg<std::int32_t> spot, pay;
    PyObject* const* it = &PyTuple_GET_ITEM(t, 0);
    if (!(ft.load(it[0]) && fdc.load(it[1]) && lt.load(it[2]) && ldc.load(it[3]) && hol.load(it[4]) &&
          adj.load(it[5]) && stub.load(it[6]) && eom.load(it[7]) && spot.load(it[8]) && pay.load(it[9]))) {
        throw py::PythonError{};
    }
    std::vector<std::int32_t> h;
    for (const Date& d : hol.get()) h.push_back(d.serial());
    return SwapConventions::make(parse_tenor(ft.get()), day_count_from_name(fdc.get()), parse_tenor(lt.get()),
                                 day_count_from_name(ldc.get()), BusinessCalendar::from_holidays(0x1f, h), adj.get(),
                                 stub.get(), eom.get(), spot.get(), pay.get());
}

PyObject* legs(PyObject* conv,
               const Date& start, const Date& maturity) {
    const SwapConventions c = conv_of(conv);
    SwapLegs l;
    (void)make_legs(c, start.serial(), maturity.serial(), l);
    py::Ref out(PyList_New(0));
    for (const auto* leg : {&l.fixed, &l.floating}) {
        for (const SwapPeriod& p : *leg) {
            py::Ref t(Py_BuildValue("(iiiid)", leg == &l.fixed ? 0 : 1, p.start, p.end, p.pay, p.year_fraction));
            PyList_Append(out.get(), t.get());
        }
    }
    return Py_NewRef(out.get());
}

PyObject* values(PyObject* conv,
                 const YieldCurve& disc, const YieldCurve& fwd, const Date& start, const Date& maturity) {
    const SwapConventions c = conv_of(conv);
    SwapLegs l;
    (void)make_legs(c, start.serial(), maturity.serial(), l);
    const LegValues v = value_legs(l, disc.model(), fwd.model());
    return Py_BuildValue("(dd)", v.annuity, v.floating);
}

PyObject* gradient(PyObject* conv,
                   const YieldCurve& curve, const Date& start, const Date& maturity, double k) {
    const SwapConventions c = conv_of(conv);
    SwapLegs l;
    (void)make_legs(c, start.serial(), maturity.serial(), l);
    const CurveNodes nodes(curve.model());
    std::vector<double> g(nodes.size(), 0.0);
    add_npv_node_gradient(l, nodes, [&](std::int32_t d) { return nodes.at(d); }, k, PayerReceiverFlag::Payer, 1.0, g.data());
    return py::to_py(g);
}

PyObject* boot(PyObject* conv,
               const Date& today, std::vector<std::string_view> dep, std::vector<std::string_view> sw,
               std::vector<double> quotes, InterpType interp) {
    const SwapConventions c = conv_of(conv);
    std::vector<Tenor> d, s;
    for (auto t : dep) d.push_back(parse_tenor(t));
    for (auto t : sw) s.push_back(parse_tenor(t));
    const CurveBootstrap b(c, today.serial(), d, s, DayCounter::Act365, interp);
    if (quotes.size() != b.size()) throw Error("quotes");
    std::vector<double> dfs(b.size() + 1), jac(b.size() * b.size());
    b.solve(quotes.data(), dfs.data(), jac.data());
    py::Ref curve(py::to_py(b.curve(dfs.data())));
    py::Ref nodes(PyList_New(0));
    for (auto n : b.node_dates()) PyList_Append(nodes.get(), py::Ref(PyLong_FromLong(n)).get());
    return Py_BuildValue("(OOOO)", curve.get(), nodes.get(), py::Ref(py::to_py(dfs)).get(), py::Ref(py::to_py(jac)).get());
}

PyObject* boot_time(PyObject* conv, const Date& today, std::vector<std::string_view> sw, std::vector<double> quotes, std::int32_t reps, std::int32_t mode) {
    const SwapConventions c = conv_of(conv);
    std::vector<Tenor> d, s;
    for (auto t : sw) s.push_back(parse_tenor(t));
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < (mode & 1 ? reps : 0); ++i) { const CurveBootstrap b(c, today.serial(), d, s, DayCounter::Act365, InterpType::Geometric); }
    auto t1 = std::chrono::steady_clock::now();
    const CurveBootstrap b(c, today.serial(), d, s, DayCounter::Act365, InterpType::Geometric);
    std::vector<double> dfs(b.size() + 1), jac(b.size() * b.size());
    for (int i = 0; i < (mode & 2 ? reps : 0); ++i) b.solve(quotes.data(), dfs.data(), nullptr);
    auto t2 = std::chrono::steady_clock::now();
    for (int i = 0; i < (mode & 4 ? reps : 0); ++i) b.solve(quotes.data(), dfs.data(), jac.data());
    auto t3 = std::chrono::steady_clock::now();
    SwapLegs legs;
    const std::int32_t sp = spot_date(c, today.serial());
    for (int i = 0; i < (mode & 8 ? reps : 0); ++i) for (const Tenor& t : s) (void)make_legs(c, sp, swap_maturity(c, sp, t), legs);
    auto t4 = std::chrono::steady_clock::now();
    auto us = [&](auto a, auto b) { return std::chrono::duration<double, std::micro>(b - a).count() / reps; };
    return Py_BuildValue("(dddd)", us(t0, t1), us(t1, t2), us(t2, t3), us(t3, t4));
}

PyObject* roundtrip(const YieldCurve& curve) { return py::to_py(CurveDescription::of(curve).curve()); }

PyMethodDef defs[] = {
    py::function<"_h4_legs(conv, start, maturity)\n--\n\n", &legs>(),
    py::function<"_h4_values(conv, disc, fwd, start, maturity)\n--\n\n", &values>(),
    py::function<"_h4_gradient(conv, curve, start, maturity, k)\n--\n\n", &gradient>(),
    py::function<"_h4_boot(conv, today, dep, sw, quotes, interp)\n--\n\n", &boot>(),
    py::function<"_h4_boot_time(conv, today, sw, quotes, reps, mode)\n--\n\n", &boot_time>(),
    py::function<"_h4_roundtrip(curve)\n--\n\n", &roundtrip>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_h4_provisional(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
