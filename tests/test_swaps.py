"""Swaps over arrays: conventions and their market presets, NPV, par rate, annuity, cash flows and node
deltas, against QuantLib's OvernightIndexedSwap and VanillaSwap."""
import datetime
import pickle

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import raises

ql = pytest.importorskip("QuantLib")

A, S, PR = q.BusDayAdj, q.StubType, q.PayerReceiverFlag
TODAY = q.Date(2025, 3, 14)
TENORS = ["1W", "1M", "3M", "6M", "9M", "1Y", "18M", "2Y", "3Y", "5Y", "7Y", "10Y", "15Y", "30Y", "50Y"]
RATES = 0.03 + 0.0007 * np.arange(15)
QL_DAY_COUNTS = {"ACT/360": ql.Actual360(), "ACT/365F": ql.Actual365Fixed(),
                 "30/360": ql.Thirty360(ql.Thirty360.BondBasis), "30E/360": ql.Thirty360(ql.Thirty360.European)}


def ql_date(d):
    d = np.datetime64(d, "D").astype(object) if not isinstance(d, q.Date) else datetime.date(d.year(), d.month(), d.day())
    return ql.Date(d.day, d.month, d.year)


def ql_calendar(cal):
    """A QuantLib calendar with the very business days of a BusinessCalendar."""
    bespoke = ql.BespokeCalendar("same days")
    for w, flag in enumerate(cal.weekmask):
        if flag == "0":
            bespoke.addWeekend([ql.Monday, ql.Tuesday, ql.Wednesday, ql.Thursday, ql.Friday, ql.Saturday,
                                ql.Sunday][w])
    for d in cal.holidays.astype(object):
        bespoke.addHoliday(ql.Date(d.day, d.month, d.year))
    return bespoke


@pytest.fixture(scope="module")
def sofr():
    return qn.SwapConventions.preset("USD SOFR")


@pytest.fixture(scope="module")
def curve(sofr):
    return qn.bootstrap(sofr, TODAY, TENORS, RATES)


# ---------------------------------------------------------------- conventions


def test_conventions_defaults_repr_equality_and_pickling():
    c = qn.SwapConventions()
    assert repr(c) == ("SwapConventions(fixed_tenor='1Y', fixed_day_count='ACT/360', float_tenor='1Y', "
                       "float_day_count='ACT/360', cal=BusinessCalendar(weekmask='1111100', 0 holidays), "
                       "bus_day_adj=BusDayAdj.ModFollowing, stub_type=StubType.FrontShort, end_of_month=False, "
                       "spot_lag=2, payment_lag=0)")
    other = qn.SwapConventions("6M", q.DayCounter.Act365, q.Tenor("3M"), "30E/360 ISDA", q.Calendar("QD_NONE"),
                               A.Following, S.BackLong, True, 0, 3)
    assert (other.fixed_tenor, other.fixed_day_count, other.float_tenor, other.float_day_count) == (
        "6M", "ACT/365F", "3M", "30E/360 ISDA")
    assert (other.bus_day_adj, other.stub_type, other.end_of_month, other.spot_lag, other.payment_lag) == (
        A.Following, S.BackLong, True, 0, 3)
    assert other.cal == qn.BusinessCalendar(weekmask="1111111")
    for conv in (c, other, qn.SwapConventions.preset("EUR ESTR")):
        back = pickle.loads(pickle.dumps(conv))
        assert back == conv and hash(back) == hash(conv) and repr(back) == repr(conv)
    assert c == qn.SwapConventions(cal=np.busdaycalendar()) and c != other and hash(c) != hash(other)
    with pytest.raises(AttributeError):
        c.spot_lag = 1


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(fixed_tenor="1B"), ValueError,
     "argument 'fixed_tenor': Fixed-leg tenor (1B) cannot be in business days; use D, W, M or Y"),
    (dict(float_tenor="0M"), ValueError, "argument 'float_tenor': Floating-leg tenor (0M) must be positive"),
    (dict(spot_lag=-1), ValueError, "argument 'spot_lag': Spot lag (-1) must be 0 or more business days"),
    (dict(payment_lag=-2), ValueError, "argument 'payment_lag': Payment lag (-2) must be 0 or more business days"),
    (dict(fixed_tenor="1Q"), ValueError, "argument 'fixed_tenor': Invalid tenor unit (Q), can only have D, B, W, M, Y"),
    (dict(fixed_day_count="ACT/ACT"), ValueError,
     "argument 'fixed_day_count': "
     'Unknown day count (ACT/ACT); use "ACT/365F", "ACT/360", "30/360", "30E/360", "30E/360 ISDA", '
     '"ACT/ACT ISDA" or "ACT/ACT ICMA"'),
    (dict(float_day_count=q.DayCounter.Thirty360), ValueError,
     "argument 'float_day_count': "
     'DayCounter.Thirty360 does not say which 30/360 convention; name it: "30/360" (US bond basis), "30E/360" '
     'or "30E/360 ISDA"'),
    (dict(float_day_count=360), TypeError, "argument 'float_day_count': 'int' object is not a DayCounter or a "
                                           "day-count name"),
    (dict(cal="XNYS"), TypeError, "argument 'cal': 'str' object is not a Calendar, BusinessCalendar or "
                                  "numpy.busdaycalendar"),
    (dict(bus_day_adj=1), TypeError, "argument 'bus_day_adj': 'int' object cannot be converted to 'BusDayAdj'"),
])
def test_conventions_refuse_bad_parts(kwargs, exc, message):
    raises(exc, message, lambda: qn.SwapConventions(**kwargs))


# The market data's calendars against QuantLib's overnight indexes: the
# holidays package follows SIFMA, whose early-close Good Fridays are US
# Government Securities business days, while QuantLib's SOFR calendar closes
# every Good Friday; and QuantLib keeps 2001-09-12 open.
SOFR_DIFFERENCES = {"2001-09-12": True, **{d: False for d in (
    "2007-04-06", "2010-04-02", "2012-04-06", "2015-04-03", "2021-04-02", "2023-04-07", "2026-04-03")}}


@pytest.mark.parametrize("name, index, day_count, spot_lag, payment_lag, differences", [
    ("USD SOFR", ql.Sofr, "ACT/360", 2, 2, SOFR_DIFFERENCES),
    ("EUR ESTR", ql.Estr, "ACT/360", 2, 1, {}),
    ("GBP SONIA", ql.Sonia, "ACT/365F", 0, 0, {}),
])
def test_presets_follow_the_markets_indexes_in_quantlib(name, index, day_count, spot_lag, payment_lag, differences):
    conv = qn.SwapConventions.preset(name)
    assert conv is qn.SwapConventions.preset(name)  # made once
    assert (conv.fixed_tenor, conv.float_tenor, conv.bus_day_adj, conv.stub_type, conv.end_of_month) == (
        "1Y", "1Y", A.ModFollowing, S.FrontShort, False)
    assert (conv.fixed_day_count, conv.float_day_count, conv.spot_lag, conv.payment_lag) == (
        day_count, day_count, spot_lag, payment_lag)
    ix = index()
    assert QL_DAY_COUNTS[day_count].name() == ix.dayCounter().name()
    days = np.arange("2000-01-01", "2034-01-01", dtype="datetime64[D]")
    ours = np.is_busday(days, busdaycal=conv.cal.to_busdaycalendar())
    theirs = np.array([ix.fixingCalendar().isBusinessDay(ql_date(d)) for d in days.astype(object)])
    found = {str(d): bool(t) for d, t in zip(days[ours != theirs], theirs[ours != theirs])}
    assert found == {d: t for d, t in differences.items() if d < "2034"}


def test_unknown_preset():
    raises(ValueError, 'Unknown swap conventions (JPY TONA); use "USD SOFR", "EUR ESTR" or "GBP SONIA"',
           lambda: qn.SwapConventions.preset("JPY TONA"))


# ---------------------------------------------------------------- values against QuantLib


def random_book(rng, n, cal):
    """Swaps starting on business days from spot to about a year later, 1 month to 12 years long."""
    offsets = np.sort(rng.integers(2, 260, n))
    starts = np.busday_offset(np.datetime64("2025-03-14"), offsets, roll="following", busdaycal=cal.to_busdaycalendar())
    maturities = starts + rng.integers(30, 365 * 12, n)
    return starts, maturities, rng.uniform(-0.01, 0.08, n), rng.integers(0, 2, n), rng.uniform(1.0, 1e8, n)


@pytest.fixture(scope="module")
def ql_curves(sofr, curve):
    ql.Settings.instance().evaluationDate = ql_date(TODAY)
    d = qn.CurveDescription(curve)
    dates = [ql_date(x) for x in d.node_dates.astype(object)]
    discount = ql.YieldTermStructureHandle(ql.DiscountCurve(dates, list(d.discount_factors), ql.Actual365Fixed()))
    nodes = [TODAY + k for k in (0, 30, 200, 400, 900, 2000, 4000, 6000)]
    dfs = [1.0, 0.9971, 0.982, 0.963, 0.915, 0.83, 0.69, 0.57]
    forecast = q.YieldCurve.create_noded(TODAY, q.DayCounter.Act365, nodes, dfs, q.InterpType.Geometric)
    ql_forecast = ql.DiscountCurve([ql_date(n) for n in nodes], dfs, ql.Actual365Fixed())
    ql_forecast.enableExtrapolation()
    return discount, forecast, ql.YieldTermStructureHandle(ql_forecast)


def test_overnight_index_swaps_against_quantlib(sofr, curve, ql_curves):
    rng = np.random.default_rng(1)
    discount, _, _ = ql_curves
    cal = ql_calendar(sofr.cal)
    index = ql.OvernightIndex("SOFR", 0, ql.USDCurrency(), cal, ql.Actual360(), discount)
    engine = ql.DiscountingSwapEngine(discount)
    starts, maturities, rates, flags, notionals = random_book(rng, 5000, sofr.cal)
    npv = qn.swap_npv(sofr, curve, starts, maturities, rates, flags, notionals)
    par = qn.swap_par_rate(sofr, curve, starts, maturities)
    annuity = qn.swap_annuity(sofr, curve, starts, maturities)
    theirs = np.empty((3, len(starts)))
    for i, (s, m, k, f, n) in enumerate(zip(starts, maturities, rates, flags, notionals)):
        schedule = ql.Schedule(ql_date(s), ql_date(m), ql.Period(ql.Annual), cal, ql.ModifiedFollowing,
                               ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
        swap = ql.OvernightIndexedSwap(ql.Swap.Payer if f == 0 else ql.Swap.Receiver, n, schedule, k,
                                       ql.Actual360(), index, 0.0, 2, ql.Following, cal)
        swap.setPricingEngine(engine)
        theirs[:, i] = swap.NPV(), swap.fairRate(), abs(swap.fixedLegBPS()) / n / 1e-4
    assert np.max(np.abs(npv - theirs[0]) / notionals) < 1e-10
    assert np.max(np.abs(par - theirs[1])) < 1e-12
    assert np.max(np.abs(annuity - theirs[2])) < 1e-12


def test_term_swaps_on_a_separate_forecast_curve_against_quantlib(curve, ql_curves):
    rng = np.random.default_rng(2)
    discount, forecast, ql_forecast = ql_curves
    cal = qn.calendar("XECB")
    engine = ql.DiscountingSwapEngine(discount)
    fixed_dcs = ["30/360", "30E/360", "ACT/360", "ACT/365F"]
    starts, maturities, rates, flags, notionals = random_book(rng, 5000, cal)
    worst_npv = worst_par = 0.0
    for j, fixed_dc in enumerate(fixed_dcs):
        conv = qn.SwapConventions("1Y", fixed_dc, "6M", "ACT/360", cal, spot_lag=2)
        index = ql.IborIndex("6M", ql.Period("6M"), 2, ql.EURCurrency(), ql_calendar(cal), ql.ModifiedFollowing, False,
                             ql.Actual360(), ql_forecast)
        part = slice(j, None, len(fixed_dcs))
        npv = qn.swap_npv(conv, curve, starts[part], maturities[part], rates[part], flags[part],
                          notionals[part], forecast_curve=forecast)
        par = qn.swap_par_rate(conv, curve, starts[part], maturities[part], forecast)
        for s, m, k, f, n, ours, our_par in zip(starts[part], maturities[part], rates[part], flags[part],
                                                notionals[part], npv, par):
            sched = [ql.Schedule(ql_date(s), ql_date(m), ql.Period(p), index.fixingCalendar(), ql.ModifiedFollowing,
                                 ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
                     for p in (ql.Annual, ql.Semiannual)]
            swap = ql.VanillaSwap(ql.Swap.Payer if f == 0 else ql.Swap.Receiver, n, sched[0], k,
                                  QL_DAY_COUNTS[fixed_dc], sched[1], index, 0.0, ql.Actual360())
            swap.setPricingEngine(engine)
            worst_npv = max(worst_npv, abs(ours - swap.NPV()) / n)
            worst_par = max(worst_par, abs(our_par - swap.fairRate()))
    assert worst_npv < 1e-10 and worst_par < 1e-12


@pytest.mark.parametrize("tenor, period", [("1Y", ql.Annual), ("6M", ql.Semiannual), ("3M", ql.Quarterly)])
@pytest.mark.parametrize("stub, rule", [(S.FrontShort, ql.DateGeneration.Backward),
                                        (S.BackShort, ql.DateGeneration.Forward)])
def test_act_act_icma_fixed_legs_are_quantlibs(tenor, period, stub, rule):
    """Each period against a regular one; a stub against the tenor before its end or after its start."""
    rng = np.random.default_rng(4)
    cal = qn.calendar("XECB")
    conv = qn.SwapConventions(tenor, "ACT/ACT ICMA", "6M", "ACT/360", cal, stub_type=stub)
    starts = np.busday_offset(np.datetime64("2025-03-20"), rng.integers(0, 300, 150), roll="following",
                              busdaycal=cal.to_busdaycalendar())
    ends = starts + rng.integers(60, 3650, 150)
    flows = qn.swap_cashflows(conv, starts, ends, 0.05, PR.Payer)
    same_days = ql_calendar(cal)
    for k, (s, m) in enumerate(zip(starts, ends)):
        ours = flows["year_fraction"][(flows["swap"] == k) & (flows["leg"] == "fixed")]
        schedule = ql.Schedule(ql_date(s), ql_date(m), ql.Period(period), same_days, ql.ModifiedFollowing,
                               ql.ModifiedFollowing, rule, False)
        leg = ql.FixedRateLeg(schedule, ql.ActualActual(ql.ActualActual.ISMA), [1.0], [0.05])
        assert list(ours) == [ql.as_fixed_rate_coupon(c).accrualPeriod() for c in leg]


# ---------------------------------------------------------------- array behaviour


TWINS = {
    "swap_npv": lambda conv, curve, start, maturity: qn.swap_npv(conv, curve, start, maturity, 0.031, PR.Payer, 1e6),
    "swap_par_rate": lambda conv, curve, start, maturity: qn.swap_par_rate(conv, curve, start, maturity),
    "swap_annuity": lambda conv, curve, start, maturity: qn.swap_annuity(conv, curve, start, maturity),
}


@pytest.mark.parametrize("name", TWINS)
def test_twins_match_their_single_swaps_bit_for_bit(sofr, curve, name):
    rng = np.random.default_rng(3)
    starts = np.datetime64("2025-03-18") + rng.integers(-400, 500, 3000)
    maturities = starts + np.where(rng.random(3000) < 0.2, rng.integers(-5, 300, 3000), rng.integers(-5, 365 * 40, 3000))
    maturities[::97] = np.datetime64("NaT", "D")
    twin = TWINS[name]
    many = twin(sofr, curve, starts, maturities)  # one book: discount factors looked up by day
    one = np.array([twin(sofr, curve, s, m) for s, m in zip(starts[::29], maturities[::29])])
    assert one.tobytes() == many[::29].tobytes()
    # Nothing exists without a swap (maturity not after start) nor, for the floating leg, once a period
    # has begun on or before the curve date.
    nan = np.isnan(many)
    assert np.array_equal(nan[np.isnat(maturities)], np.ones(np.isnat(maturities).sum(), bool))
    assert nan[~np.isnat(maturities) & (maturities <= starts)].all()
    today = np.datetime64("2025-03-14")
    live = ~np.isnat(maturities) & (maturities > starts + np.timedelta64(7, "D"))
    if name != "swap_annuity":
        assert nan[live & (starts < today) & (maturities > today + np.timedelta64(7, "D"))].all()
    assert not nan[live & (starts >= today)].any()
    # A swap whose every payment is past is worth nothing, and has no par rate.
    past = live & (maturities < today - np.timedelta64(7, "D"))
    assert past.sum() > 10
    assert (np.isnan(many[past]) if name == "swap_par_rate" else many[past] == 0.0).all()


@pytest.mark.parametrize("name", TWINS)
def test_twins_keep_pandas_xarray_and_dask_and_take_out_and_where(sofr, curve, name):
    pd = pytest.importorskip("pandas")
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    twin = TWINS[name]
    starts = np.datetime64("2025-03-18") + np.arange(40) * 9
    tenors = np.array(["1Y", "2Y", "5Y", "10Y"] * 10, dtype=object)
    expected = twin(sofr, curve, starts, tenors)
    series = twin(sofr, curve, pd.Series(starts, index=[f"s{i}" for i in range(40)]), tenors)
    assert type(series) is pd.Series and list(series.index[:2]) == ["s0", "s1"]
    assert series.to_numpy().tobytes() == expected.tobytes()
    array = twin(sofr, curve, xr.DataArray(starts, dims="trade", coords={"trade": np.arange(40)}), tenors)
    assert type(array) is xr.DataArray and array.dims == ("trade",)
    assert array.to_numpy().tobytes() == expected.tobytes()
    lazy = twin(sofr, curve, da.from_array(starts, chunks=13), tenors)
    assert isinstance(lazy, da.Array) and lazy.compute().tobytes() == expected.tobytes()
    out = np.full(40, -1.0)
    mask = np.arange(40) % 3 == 0
    if name == "swap_npv":
        qn.swap_npv(sofr, curve, starts, tenors, 0.031, PR.Payer, 1e6, out=out, where=mask)
    else:
        getattr(qn, name)(sofr, curve, starts, tenors, out=out, where=mask)
    assert out[mask].tobytes() == expected[mask].tobytes() and (out[~mask] == -1.0).all()


def test_maturities_as_tenors_or_dates_and_flags_as_numbers(sofr, curve):
    start = np.datetime64("2025-03-18")
    by_tenor = qn.swap_npv(sofr, curve, start, ["3M", q.Tenor("10Y")], 0.03, [PR.Receiver, 1], [1.0, 2.0])
    by_date = qn.swap_npv(sofr, curve, start, [np.datetime64("2025-06-18"), q.Date(2035, 3, 18)], 0.03, 1.0,
                          np.array([1.0, 2.0]))
    assert by_tenor.tobytes() == by_date.tobytes()
    payer = qn.swap_npv(sofr, curve, start, "10Y", 0.03, PR.Payer)
    assert payer == -qn.swap_npv(sofr, curve, start, "10Y", 0.03, PR.Receiver)
    par = qn.swap_par_rate(sofr, curve, start, "10Y")
    assert abs(qn.swap_npv(sofr, curve, start, "10Y", par, PR.Payer, 1e8)) < 1e-6


@pytest.mark.parametrize("call, exc, message", [
    (lambda c, y: qn.swap_npv(c, y, "2025-03-18", "10Y", 0.03, 0), TypeError,
     "argument 'start': 'str' object cannot be converted to 'Date'"),
    (lambda c, y: qn.swap_npv(c, y, q.Date(2025, 3, 18), "10Q", 0.03, 0), ValueError,
     "Invalid tenor unit (Q), can only have D, B, W, M, Y"),
    (lambda c, y: qn.swap_npv(c, y, q.Date(2025, 3, 18), 3.5, 0.03, 0), TypeError,
     "argument 'maturity': 'float' object is not a date or a tenor"),
    (lambda c, y: qn.swap_npv(c, y, q.Date(2025, 3, 18), "1Y", 0.03, 2), ValueError,
     "pay_rec (2) must be 0 (PayerReceiverFlag.Payer) or 1 (PayerReceiverFlag.Receiver)"),
    (lambda c, y: qn.swap_par_rate(c, c, q.Date(2025, 3, 18), "1Y"), TypeError,
     "argument 'curve': 'SwapConventions' object cannot be converted to 'YieldCurve'"),
    (lambda c, y: qn.swap_annuity(y, y, q.Date(2025, 3, 18), "1Y"), TypeError,
     "argument 'conv': 'YieldCurve' object cannot be converted to 'SwapConventions'"),
    (lambda c, y: qn.swap_par_rate(c, y, [q.Date(2025, 3, 18), q.Date(2100, 3, 18)], "5Y"), ValueError,
     "Date (2105-03-18) is outside the calendar's range (1996-01-01 to 2100-12-31) (at index 1)"),
])
def test_swap_twins_refuse_bad_arguments(sofr, curve, call, exc, message):
    raises(exc, message, lambda: call(sofr, curve))


# ---------------------------------------------------------------- cash flows and deltas


def test_cash_flows_are_quantlibs_legs_and_add_up_to_the_npv(sofr, curve, ql_curves):
    discount, _, _ = ql_curves
    start, end = np.datetime64("2025-03-18"), np.datetime64("2031-09-30")
    flows = qn.swap_cashflows(sofr, start, end, 0.034, PR.Payer, 1e6, curve=curve)
    assert list(flows) == ["leg", "accrual_start", "accrual_end", "payment_date", "year_fraction", "rate", "amount",
                           "discount_factor", "present_value"]
    assert len({len(v) for v in flows.values()}) == 1
    cal = ql_calendar(sofr.cal)
    index = ql.OvernightIndex("SOFR", 0, ql.USDCurrency(), cal, ql.Actual360(), discount)
    schedule = ql.Schedule(ql_date(start), ql_date(end), ql.Period(ql.Annual), cal, ql.ModifiedFollowing,
                           ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
    swap = ql.OvernightIndexedSwap(ql.Swap.Payer, 1e6, schedule, 0.034, ql.Actual360(), index, 0.0, 2, ql.Following,
                                   cal)
    legs = [(ql.as_fixed_rate_coupon(c), -1.0, "fixed") for c in swap.leg(0)]
    legs += [(ql.as_floating_rate_coupon(c), 1.0, "floating") for c in swap.leg(1)]
    assert list(flows["leg"]) == [leg for _, _, leg in legs]
    for k, (c, sign, _) in enumerate(legs):
        assert (ql_date(flows["accrual_start"][k]), ql_date(flows["accrual_end"][k]),
                ql_date(flows["payment_date"][k])) == (c.accrualStartDate(), c.accrualEndDate(), c.date())
        assert flows["year_fraction"][k] == c.accrualPeriod()
        assert abs(flows["amount"][k] - sign * c.amount()) < 1e-8
        assert abs(flows["rate"][k] - c.rate()) < 1e-13
        assert abs(flows["discount_factor"][k] - discount.discount(c.date())) < 1e-15
    npv = qn.swap_npv(sofr, curve, start, end, 0.034, PR.Payer, 1e6)
    assert flows["present_value"].sum() == pytest.approx(npv, rel=1e-13)


def test_cash_flows_of_a_book_and_without_a_curve(sofr):
    flows = qn.swap_cashflows(sofr, np.datetime64("2025-03-18"), ["6M", "2Y"], [0.03, 0.04], PR.Receiver, 100.0)
    assert list(flows["swap"]) == [0, 0, 1, 1, 1, 1]
    assert list(flows["leg"]) == ["fixed", "floating", "fixed", "fixed", "floating", "floating"]
    assert flows["amount"][0] == 100.0 * 0.03 * flows["year_fraction"][0] > 0  # received
    assert np.isnan(flows["amount"][1]) and np.isnan(flows["present_value"]).all()
    assert "swap" not in qn.swap_cashflows(sofr, np.datetime64("2025-03-18"), "2Y", 0.03, 0)


def test_node_deltas_are_the_derivatives_of_the_npv(sofr, curve):
    d = qn.CurveDescription(curve)
    starts = np.datetime64("2025-03-18") + np.array([0, 31, 200, 700])
    maturities = np.array(["18M", "7Y", "30Y", "51Y"], dtype=object)
    args = (starts, maturities, [0.02, 0.03, 0.04, 0.05], [0, 1, 0, 1], [1e6, 2e6, 3e6, 4e6])
    deltas = qn.swap_node_deltas(sofr, curve, *args)
    assert deltas.shape == (4, len(TENORS))

    def npv(dfs):
        dates = [q.Date(x.year, x.month, x.day) for x in d.node_dates.astype(object)]
        bumped = q.YieldCurve.create_noded(TODAY, q.DayCounter.Act365, dates, list(dfs), q.InterpType.Geometric)
        return qn.swap_npv(sofr, bumped, *args)

    for k in range(1, len(TENORS) + 1):
        def central(h):
            up, down = d.discount_factors.copy(), d.discount_factors.copy()
            up[k] += h
            down[k] -= h
            return (npv(up) - npv(down)) / (2 * h)

        fd = (4 * central(5e-7) - central(1e-6)) / 3
        assert np.allclose(deltas[:, k - 1], fd, rtol=1e-7, atol=1e-3)


def test_node_deltas_of_a_book_are_those_of_its_swaps(sofr, curve):
    rng = np.random.default_rng(9)
    starts = np.datetime64("2025-03-18") + rng.integers(0, 300, 200)
    ends = rng.choice(np.array(["6M", "2Y", "10Y", "30Y"], dtype=object), 200)
    flags = rng.integers(0, 2, 200)
    book = qn.swap_node_deltas(sofr, curve, starts, ends, 0.035, flags, 1e6)  # places found once a day
    alone = np.array([qn.swap_node_deltas(sofr, curve, s, e, 0.035, f, 1e6) for s, e, f in zip(starts, ends, flags)])
    assert book.tobytes() == alone.tobytes()


def test_node_deltas_need_a_noded_curve(sofr):
    flat = q.YieldCurve.create_flat(TODAY, q.DayCounter.Act365, 0.03)
    raises(ValueError, "Sensitivities to node discount factors need a noded curve; this one is flat",
           lambda: qn.swap_node_deltas(sofr, flat, np.datetime64("2025-03-18"), "1Y", 0.03, 0))
