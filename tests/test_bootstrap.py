"""Curves from quotes: qn.bootstrap against QuantLib's PiecewiseLogLinearDiscount over OISRateHelpers and
DepositRateHelpers, its Jacobian against Richardson-extrapolated central differences, scenarios, bad
quotes; curve descriptions that travel and come back the very same curve."""
import pickle

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import raises
from test_swaps import TENORS, TODAY, ql_calendar, ql_date

ql = pytest.importorskip("QuantLib")

PRESETS = ["USD SOFR", "EUR ESTR", "GBP SONIA"]
QL_DC = {"ACT/360": ql.Actual360(), "ACT/365F": ql.Actual365Fixed()}


def quotes(rng, n=len(TENORS)):
    """A random but plausible set of par rates: a level and a random walk along the tenors."""
    return rng.uniform(-0.01, 0.06) + np.cumsum(rng.normal(0.0, 0.003, n))


def spot_of(conv, trade):
    """T + spot lag business days, the first step from a holiday landing on the next business day."""
    return np.busday_offset(np.datetime64(trade, "D"), conv.spot_lag, roll="preceding" if conv.spot_lag else "following",
                            busdaycal=conv.cal.to_busdaycalendar())


def ql_curve(conv, trade, tenors, rates, deposits=None):
    """QuantLib's curve over the same instruments, its accuracy tightened."""
    ql.Settings.instance().evaluationDate = ql_date(trade)
    cal = ql_calendar(conv.cal)
    dc = QL_DC[conv.float_day_count]
    index = ql.OvernightIndex("ON", 0, ql.USDCurrency(), cal, dc)
    helpers = []
    for t, r in zip(*(deposits or ((), ()))):
        helpers.append(ql.DepositRateHelper(ql.QuoteHandle(ql.SimpleQuote(r)), ql.Period(t), conv.spot_lag, cal,
                                            ql.ModifiedFollowing, False, dc))
    helpers += [ql.OISRateHelper(conv.spot_lag, ql.Period(t), ql.QuoteHandle(ql.SimpleQuote(float(r))), index,
                                 ql.YieldTermStructureHandle(), False, conv.payment_lag, ql.Following, ql.Annual, cal,
                                 ql.Period("0D"), 0.0, ql.Pillar.LastRelevantDate, ql.Date(), ql.RateAveraging.Compound,
                                 False) for t, r in zip(tenors, rates)]
    curve = ql.PiecewiseLogLinearDiscount(ql_date(trade), helpers, ql.Actual365Fixed(), ql.IterativeBootstrap(1e-16))
    curve.enableExtrapolation()
    return curve, index


@pytest.mark.parametrize("preset", PRESETS)
def test_overnight_curves_against_quantlib(preset):
    conv = qn.SwapConventions.preset(preset)
    rng = np.random.default_rng(PRESETS.index(preset))
    for trial in range(4):
        trade = TODAY + int(rng.integers(0, 3000))
        rates = quotes(rng)
        ours = qn.CurveDescription(qn.bootstrap(conv, trade, TENORS, rates))
        theirs, index = ql_curve(conv, trade, TENORS, rates)
        assert [ql_date(d) for d in ours.node_dates] == list(theirs.dates())
        dfs = np.array([theirs.discount(d) for d in theirs.dates()])
        assert np.max(np.abs(ours.discount_factors / dfs - 1.0)) < 1e-12
        # QuantLib's own swaps on our curve are at par.
        handle = ql.YieldTermStructureHandle(ql.DiscountCurve([ql_date(d) for d in ours.node_dates],
                                                              list(ours.discount_factors), ql.Actual365Fixed()))
        on = ql.OvernightIndex("ON", 0, ql.USDCurrency(), index.fixingCalendar(), index.dayCounter(), handle)
        spot = ql_date(spot_of(conv, np.datetime64(f"{trade.year():04}-{trade.month():02}-{trade.day():02}")))
        for tenor, rate in zip(TENORS, rates):
            schedule = ql.Schedule(spot, spot + ql.Period(tenor), ql.Period(ql.Annual), on.fixingCalendar(),
                                   ql.ModifiedFollowing, ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
            swap = ql.OvernightIndexedSwap(ql.Swap.Payer, 1.0, schedule, rate, on.dayCounter(), on, 0.0,
                                           conv.payment_lag, ql.Following, on.fixingCalendar())
            swap.setPricingEngine(ql.DiscountingSwapEngine(handle))
            assert abs(swap.fairRate() - rate) < 1e-10


def test_deposits_and_swaps_against_quantlib():
    conv = qn.SwapConventions.preset("USD SOFR")
    deposits = (["1W", "1M", "3M"], [0.0401, 0.0405, 0.0410])
    tenors, rates = TENORS[4:], 0.039 + 0.0004 * np.arange(11)
    ours = qn.CurveDescription(qn.bootstrap(conv, TODAY, tenors, rates, deposits=deposits))
    theirs, _ = ql_curve(conv, TODAY, tenors, rates, deposits)
    assert [ql_date(d) for d in ours.node_dates] == list(theirs.dates())
    assert np.max(np.abs(ours.discount_factors / [theirs.discount(d) for d in theirs.dates()] - 1.0)) < 1e-12


@pytest.mark.parametrize("interp", [q.InterpType.Geometric, q.InterpType.Linear])
@pytest.mark.parametrize("day_counter", [q.DayCounter.Act365, q.DayCounter.Act360])
def test_curves_price_their_quotes_back(interp, day_counter):
    conv = qn.SwapConventions("1Y", "30/360", "3M", "ACT/360", qn.calendar("XECB"), spot_lag=2, payment_lag=1)
    rng = np.random.default_rng(7)
    deposits = (["1M", "2M"], [0.021, 0.0215])
    rates = quotes(rng, 13)
    curve = qn.bootstrap(conv, TODAY, TENORS[2:], rates, deposits=deposits, day_counter=day_counter,
                         interp_type=interp)
    d = qn.CurveDescription(curve)
    assert (d.day_counter, d.interp_type) == (day_counter, interp)
    spot = spot_of(conv, "2025-03-14")
    assert np.max(np.abs(qn.swap_par_rate(conv, curve, spot, TENORS[2:]) - rates)) < 1e-12
    ends = np.busday_offset(qn.add_tenor(spot, np.array(deposits[0])), 0, roll="modifiedfollowing",
                            busdaycal=conv.cal.to_busdaycalendar())
    implied = (qn.get_fwd_df(curve, ends, spot) - 1.0) / ((ends - spot).astype(int) / 360.0)
    assert np.max(np.abs(implied - deposits[1])) < 1e-12


# New plans on trade dates around month ends, a year end and holidays: each
# lays its instruments' dates out afresh, deposits among the swaps.
@pytest.mark.parametrize("preset", PRESETS)
def test_plans_on_many_trade_dates_price_their_quotes_back(preset):
    conv = qn.SwapConventions.preset(preset)
    deposits = (["1W", "1M", "3M"], [0.0401, 0.0405, 0.0410])
    tenors, rates = TENORS[4:], 0.039 + 0.0004 * np.arange(11)
    busdays = conv.cal.to_busdaycalendar()
    for trade in np.concatenate([np.arange("2024-12-20", "2025-01-06", dtype="M8[D]"),
                                 np.arange("2025-02-25", "2025-03-04", dtype="M8[D]"),
                                 np.arange("2028-02-26", "2028-03-02", dtype="M8[D]")]):
        curve = qn.bootstrap(conv, trade, tenors, rates, deposits=deposits)
        spot = spot_of(conv, trade)
        assert np.max(np.abs(qn.swap_par_rate(conv, curve, spot, tenors) - rates)) < 1e-12, trade
        ends = np.busday_offset(qn.add_tenor(spot, np.array(deposits[0])), 0, roll="modifiedfollowing",
                                busdaycal=busdays)
        basis = 365.0 if conv.float_day_count == "ACT/365F" else 360.0
        implied = (qn.get_fwd_df(curve, ends, spot) - 1.0) / ((ends - spot).astype(int) / basis)
        assert np.max(np.abs(implied - deposits[1])) < 1e-12, trade


# Steep, inverted and deeply negative curves: long first Newton steps on the
# long segments, before the short ones the series takes.
@pytest.mark.parametrize("interp", [q.InterpType.Geometric, q.InterpType.Linear])
@pytest.mark.parametrize("rates", [np.linspace(0.40, 0.01, len(TENORS)), np.linspace(-0.02, 0.045, len(TENORS)),
                                   np.full(len(TENORS), -0.04)], ids=["inverted", "steep", "negative"])
def test_steep_curves_price_their_quotes_back(interp, rates):
    conv = qn.SwapConventions.preset("USD SOFR")
    curve = qn.bootstrap(conv, TODAY, TENORS, rates, interp_type=interp)
    spot = spot_of(conv, "2025-03-14")
    assert np.max(np.abs(qn.swap_par_rate(conv, curve, spot, TENORS) - rates)) < 1e-12


def richardson(f, h):
    return (4.0 * (f(h / 2) - f(-h / 2)) / h - (f(h) - f(-h)) / (2 * h)) / 3.0


@pytest.mark.parametrize("interp", [q.InterpType.Geometric, q.InterpType.Linear])
def test_jacobian_against_central_differences(interp):
    conv = qn.SwapConventions.preset("EUR ESTR")
    deposits = (["1W", "1M"], np.array([0.0301, 0.0303]))
    rates = 0.031 + 0.0006 * np.arange(len(TENORS) - 2)
    curve, jac = qn.bootstrap(conv, TODAY, TENORS[2:], rates, deposits=deposits, interp_type=interp, jacobian=True)
    assert jac.shape == (15, 15)
    everything = np.concatenate([deposits[1], rates])

    def dfs(bumped):
        return qn.CurveDescription(qn.bootstrap(conv, TODAY, TENORS[2:], bumped[2:], deposits=(deposits[0], bumped[:2]),
                                                interp_type=interp)).discount_factors[1:]

    for k in range(15):
        column = richardson(lambda h: dfs(everything + h * np.eye(15)[k]), 1e-4)
        assert np.max(np.abs(column - jac[:, k])) < 1e-8


def test_scenarios_equal_single_curves_bit_for_bit():
    conv = qn.SwapConventions.preset("GBP SONIA")
    rng = np.random.default_rng(11)
    rows = np.array([quotes(rng) for _ in range(6)])
    rows[3, 7] = -5.0  # no curve
    curves, jacs = qn.bootstrap(conv, TODAY, TENORS, rows, jacobian=True)
    assert len(curves) == 6 and jacs.shape == (6, 15, 15)
    days = np.datetime64("2025-03-14") + np.arange(0, 20000, 7)
    for row, curve, jac in zip(rows, curves, jacs):
        if isinstance(curve, ValueError):
            assert str(curve) == ("Swap 2Y (par rate -5) admits no curve: no positive, finite discount factor on "
                                  "2027-03-15 prices it")
            assert np.isnan(jac).all()
            raises(ValueError, str(curve), lambda: qn.bootstrap(conv, TODAY, TENORS, row))
            continue
        single, single_jac = qn.bootstrap(conv, TODAY, TENORS, row, jacobian=True)
        assert qn.get_df(curve, days).tobytes() == qn.get_df(single, days).tobytes()
        assert jac.tobytes() == single_jac.tobytes()
        assert qn.CurveDescription(curve) == qn.CurveDescription(single)
    # Deposit rates may be one row for all scenarios, or one a scenario.
    both = qn.bootstrap(conv, TODAY, TENORS[3:], rows[:2, 3:], deposits=(["1M", "2M"], [0.03, 0.031]))
    each = qn.bootstrap(conv, TODAY, TENORS[3:], rows[:2, 3:], deposits=(["1M", "2M"], [[0.03, 0.031]] * 2))
    assert [qn.CurveDescription(c) for c in both] == [qn.CurveDescription(c) for c in each]


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((TENORS, np.full(14, 0.03)), {}, ValueError, "Swap 50Y has no par rate: 14 par rates for 15 tenors"),
    ((TENORS[:3], np.full(4, 0.03)), {}, ValueError, "4 par rates for 3 tenors: each tenor takes one"),
    ((["1Y", "6M"], [0.03, 0.03]), {}, ValueError,
     "Swap 6M (last payment 2025-09-22) does not end after swap 1Y (last payment 2026-03-20): tenors must increase"),
    ((["2Y", "24M"], [0.03, 0.03]), {}, ValueError,
     "Swap 24M (last payment 2027-03-22) does not end after swap 2Y (last payment 2027-03-22): tenors must increase"),
    ((["1Y", "2Y"], [0.03, -5.0]), {}, ValueError,
     "Swap 2Y (par rate -5) admits no curve: no positive, finite discount factor on 2027-03-22 prices it"),
    ((["1Y"], [np.inf]), {}, ValueError, "Swap 1Y: par rate (inf) is not finite"),
    ((["1Y"], [0.03]), dict(deposits=(["3M", "6M"], [0.03])), ValueError,
     "Deposit 6M has no rate: 1 rate for 2 tenors"),
    ((["1Y"], [0.03]), dict(deposits=(["1M"], [-30.0])), ValueError,
     "Deposit 1M (rate -30) admits no curve: no positive, finite discount factor on 2025-04-21 prices it"),
    ((["1Y"], [0.03]), dict(deposits=(["6M", "3M"], [0.03, 0.03])), ValueError,
     "Deposit 3M (last payment 2025-06-18) does not end after deposit 6M (last payment 2025-09-18): tenors must "
     "increase"),
    ((["1Y"], [0.03]), dict(deposits=(["0D"], [0.03])), ValueError,
     "Deposit 0D: tenor must be positive"),
    ((["1Y"], [0.03]), dict(day_counter=q.DayCounter.Thirty360), ValueError,
     "Curve day counter (Thirty360) has no day basis to measure the nodes with; use Act365 or Act360"),
    ((["1Y"], [0.03]), dict(interp_type=q.InterpType.LogCubicSpline), ValueError,
     "Interpolation type (LogCubicSpline) cannot be solved for; use Linear or Geometric"),
    (([], []), {}, ValueError, "A curve needs at least one quote"),
    ((["1Y"], [[[0.03]]]), {}, ValueError, "Par rates must have 1 dimension (one curve) or 2 (one curve a row), not 3"),
    (("1Y", [0.03]), {}, TypeError, "argument 'tenors': 'str' object cannot be converted to 'list of tenors'"),
    ((["1Y"], ["x"]), {}, ValueError, "could not convert string to float: 'x'"),
    ((["1Y"], [0.03]), dict(deposits=["1M"]), TypeError,
     "argument 'deposits': 'list' object is not a pair (tenors, rates)"),
])
def test_bad_quotes_name_the_instrument(args, kwargs, exc, message):
    conv = qn.SwapConventions.preset("USD SOFR")
    raises(exc, message, lambda: qn.bootstrap(conv, TODAY, *args, **kwargs))


def test_curve_date_refusals():
    conv = qn.SwapConventions()
    raises(ValueError, "Curve date must be a date, not NaT", lambda: qn.bootstrap(conv, np.datetime64("NaT", "D"), ["1Y"],
                                                                                   [0.03]))
    raises(TypeError, "argument 'curve_date': 'str' object cannot be converted to 'Date'",
           lambda: qn.bootstrap(conv, "2025-03-14", ["1Y"], [0.03]))


# ---------------------------------------------------------------- descriptions


def described(curve):
    d = qn.CurveDescription(curve)
    back = pickle.loads(pickle.dumps(d))
    return d, back, back.to_curve()


@pytest.mark.parametrize("interp", [q.InterpType.Geometric, q.InterpType.Linear])
def test_noded_descriptions_come_back_bit_for_bit(interp):
    conv = qn.SwapConventions.preset("USD SOFR")
    curve = qn.bootstrap(conv, TODAY, TENORS, 0.03 + 0.0007 * np.arange(15), day_counter=q.DayCounter.Act360,
                         interp_type=interp)
    d, back, again = described(curve)
    assert back == d and hash(back) == hash(d) and type(again) is q.YieldCurve
    assert (d.kind, d.day_counter, d.interp_type, d.flat_rate) == ("noded", q.DayCounter.Act360, interp, None)
    assert d.curve_date == np.datetime64("2025-03-14") and d.node_dates[0] == d.curve_date
    assert len(d.node_dates) == len(d.discount_factors) == 16 and d.discount_factors[0] == 1.0
    assert repr(d) == (f"CurveDescription(noded, 2025-03-14, DayCounter.Act360, 16 nodes to 2075-03-20, "
                       f"{interp!s})")
    days = np.datetime64("2024-01-01") + np.arange(0, 25000)
    for query in (qn.get_df, qn.get_overnight_rate):
        assert query(again, days).tobytes() == query(curve, days).tobytes()


def test_flat_descriptions_and_inequality():
    flat = q.YieldCurve.create_flat(TODAY, q.DayCounter.Act365, 0.1 + 0.2)
    d, back, again = described(flat)
    assert (d.kind, d.flat_rate, d.node_dates, d.discount_factors, d.interp_type) == ("flat", 0.1 + 0.2, None, None,
                                                                                        None)
    assert repr(d) == "CurveDescription(flat, 2025-03-14, DayCounter.Act365, rate 0.30000000000000004)"
    days = np.datetime64("2025-01-01") + np.arange(0, 20000, 3)
    assert qn.get_df(again, days).tobytes() == qn.get_df(flat, days).tobytes()
    other = qn.CurveDescription(q.YieldCurve.create_flat(TODAY, q.DayCounter.Act365, 0.3))
    assert other != d and (d == 1) is False
    raises(TypeError, "argument 'curve': 'float' object cannot be converted to 'YieldCurve'",
           lambda: qn.CurveDescription(0.3))
    raises(ValueError, "First discount factor (0.5) must be equal to 1.0",
           lambda: qn._curve_description(1, TODAY.to_int(), 0, np.array([TODAY.to_int(), TODAY.to_int() + 70], np.int32).tobytes(),
                                         np.array([0.5, 0.4]).tobytes(), 1))
