"""Fixed-rate bonds over arrays: BondConventions as a value, the analytics'
round trips and limits, bad input, and the block forms' bits (QuantLib
cross-checks are in test_bonds_quantlib.py; pandas, xarray, Dask, out= and
where= in test_arrays_dispatch.py, which lists every twin)."""
import math
import pickle

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import raises

A, S = q.BusDayAdj, q.StubType
D = np.datetime64
DAY = np.timedelta64(1, "D")
CONV = qn.BondConventions()
TWINS = ["bond_accrued", "bond_dirty_price", "bond_clean_price", "bond_ytm", "bond_duration", "bond_convexity",
         "bond_dv01", "bond_dirty_price_from_curve", "bond_zspread"]
CURVE = q.YieldCurve.create_flat(q.Date(2000, 1, 1), q.DayCounter.Act365, 0.03)


def random_book(n, seed=1, zero_coupons=False):
    rng = np.random.default_rng(seed)
    start = D("1995-01-01") + rng.integers(0, 20000, n) * DAY
    maturity = start + rng.integers(92, 50 * 366, n) * DAY
    settle = start + (rng.random(n) * ((maturity - start) / DAY)).astype(np.int64) * DAY
    coupon = np.zeros(n) if zero_coupons else rng.uniform(0.0, 0.15, n)
    return settle, start, maturity, coupon


def args_of(name, settle, start, maturity, coupon, x):
    """The arguments of a twin: the conventions (and the curve), the terms, the price or yield."""
    head = (CONV, CURVE) if name in ("bond_dirty_price_from_curve", "bond_zspread") else (CONV,)
    tail = () if name in ("bond_accrued", "bond_dirty_price_from_curve") else (x,)
    return head + (settle, start, maturity, coupon) + tail


def price_or_yield(name):
    return 97.5 if name in ("bond_ytm", "bond_zspread") else 0.045


# ---------------------------------------------------------------- the conventions as a value

def test_conventions_defaults_and_parts():
    assert repr(CONV) == ("BondConventions(tenor='6M', day_count='ACT/ACT ICMA', cal=None, "
                          "bus_day_adj=BusDayAdj.Unadjusted, pay_adj=BusDayAdj.Following, "
                          "stub_type=StubType.FrontShort, end_of_month=False, settlement_days=0, ex_coupon_days=0, "
                          "face=100.0)")
    c = qn.BondConventions(q.Tenor("3M"), q.DayCounter.Act360, q.Calendar("QD_NONE"), A.ModFollowing, A.Preceding,
                           S.BackLong, True, 2, 7, 1000.0)
    assert (c.tenor, c.day_count, c.bus_day_adj, c.pay_adj, c.stub_type, c.end_of_month, c.settlement_days,
            c.ex_coupon_days, c.face, c.frequency) == ("3M", "ACT/360", A.ModFollowing, A.Preceding, S.BackLong,
                                                         True, 2, 7, 1000.0, 4)
    assert qn.BondConventions("1Y").frequency == qn.BondConventions("12M").frequency == 1
    with pytest.raises(AttributeError):
        c.face = 1.0


OTHERS = [dict(tenor="3M"), dict(day_count="30/360"), dict(cal=q.Calendar("QD_NONE")),
          dict(bus_day_adj=A.Following), dict(pay_adj=A.Unadjusted), dict(stub_type=S.BackShort),
          dict(end_of_month=True), dict(settlement_days=1), dict(ex_coupon_days=7), dict(face=1.0)]


@pytest.mark.parametrize("change", OTHERS, ids=[next(iter(c)) for c in OTHERS])
def test_conventions_equal_by_value(change):
    assert qn.BondConventions() == CONV and hash(qn.BondConventions()) == hash(CONV)
    other = qn.BondConventions(**change)
    assert other != CONV and not (other == CONV)
    assert pickle.loads(pickle.dumps(other)) == other
    assert repr(pickle.loads(pickle.dumps(other))) == repr(other)


def test_calendars_compare_by_their_days():
    holidays = ["2024-12-25", "2025-01-01"]
    a = qn.BondConventions(cal=np.busdaycalendar(holidays=holidays))
    b = qn.BondConventions(cal=np.busdaycalendar(holidays=holidays[::-1] + holidays))
    assert a == b and hash(a) == hash(b) and a != CONV
    assert a == qn.BondConventions(cal=qn.BusinessCalendar(holidays=holidays))
    # Saturday and Sunday weekends without holidays, said three ways.
    assert qn.BondConventions(cal=q.Calendar("QD_WEEK")) == qn.BondConventions(cal=np.busdaycalendar()) == \
        qn.BondConventions(cal=qn.BusinessCalendar())
    assert CONV.cal == qn.BusinessCalendar() and a.cal == qn.BusinessCalendar(holidays=holidays)
    back = pickle.loads(pickle.dumps(a))
    assert back == a
    assert qn.bond_accrued(back, D("2024-12-24"), D("2024-06-25"), D("2025-06-25"), 0.05) == \
        qn.bond_accrued(a, D("2024-12-24"), D("2024-06-25"), D("2025-06-25"), 0.05)


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(tenor="1W"), ValueError,
     "argument 'tenor': Coupon tenor (1W) must be a whole number of coupons a year: 1M, 2M, 3M, 4M, 6M, 12M or 1Y"),
    (dict(tenor="5M"), ValueError,
     "argument 'tenor': Coupon tenor (5M) must be a whole number of coupons a year: 1M, 2M, 3M, 4M, 6M, 12M or 1Y"),
    (dict(tenor="2B"), ValueError,
     "argument 'tenor': Coupon tenor (2B) must be a whole number of coupons a year: 1M, 2M, 3M, 4M, 6M, 12M or 1Y"),
    (dict(tenor="-6M"), ValueError,
     "argument 'tenor': Coupon tenor (-6M) must be a whole number of coupons a year: 1M, 2M, 3M, 4M, 6M, 12M or 1Y"),
    (dict(tenor=6), TypeError, "argument 'tenor': 'int' object cannot be converted to 'Tenor'"),
    (dict(day_count="ACT/ACT"), ValueError,
     "argument 'day_count': Unknown day count (ACT/ACT); use \"ACT/365F\", \"ACT/360\", \"30/360\", \"30E/360\", "
     "\"30E/360 ISDA\", \"ACT/ACT ISDA\" or \"ACT/ACT ICMA\""),
    (dict(day_count=q.DayCounter.Thirty360), ValueError,
     "argument 'day_count': DayCounter.Thirty360 does not say which 30/360 convention; name it: \"30/360\" (US bond "
     "basis), \"30E/360\" or \"30E/360 ISDA\""),
    (dict(day_count=365), TypeError, "argument 'day_count': 'int' object is not a DayCounter or a day-count name"),
    (dict(cal="QD_WEEK"), TypeError,
     "argument 'cal': 'str' object is not a Calendar, BusinessCalendar or numpy.busdaycalendar"),
    (dict(bus_day_adj=1), TypeError, "argument 'bus_day_adj': 'int' object cannot be converted to 'BusDayAdj'"),
    (dict(pay_adj=S.FrontShort), TypeError,
     "argument 'pay_adj': 'StubType' object cannot be converted to 'BusDayAdj'"),
    (dict(settlement_days=-1), ValueError,
     "argument 'settlement_days': Settlement days (-1) must be from 0 to 366 business days"),
    (dict(ex_coupon_days=400), ValueError,
     "argument 'ex_coupon_days': Ex-coupon days (400) must be from 0 to 366 business days"),
    (dict(settlement_days=1.0), TypeError, "argument 'settlement_days': 'float' object cannot be interpreted as an integer"),
    (dict(face=0.0), ValueError, "argument 'face': Face (0) must be positive and finite"),
    (dict(face=math.inf), ValueError, "argument 'face': Face (inf) must be positive and finite"),
    (dict(face=math.nan), ValueError, "argument 'face': Face (NaN) must be positive and finite"),
    (dict(fac=1.0), TypeError, "BondConventions.__new__() got an unexpected keyword argument 'fac'"),
])
def test_conventions_refused_naming_the_argument(kwargs, exc, message):
    raises(exc, message, lambda: qn.BondConventions(**kwargs))


@pytest.mark.parametrize("name, cal, tenor, eom, settlement_days, ex_coupon_days", [
    ("US Treasury", "XSIF", "6M", True, 1, 0),
    ("German Bund", "XECB", "1Y", False, 2, 0),
    ("UK Gilt", "XLON", "6M", False, 1, 7),
])
def test_presets(name, cal, tenor, eom, settlement_days, ex_coupon_days):
    c = qn.BondConventions.preset(name)
    assert c == qn.BondConventions(tenor, "ACT/ACT ICMA", qn.calendar(cal), A.Unadjusted, A.Following, S.FrontShort,
                                   eom, settlement_days, ex_coupon_days, 100.0)
    assert c.cal is qn.calendar(cal) or c.cal == qn.calendar(cal)
    assert pickle.loads(pickle.dumps(c)) == c


def test_unknown_preset():
    raises(ValueError, 'Unknown bond conventions (UST); use "US Treasury", "German Bund" or "UK Gilt"',
           lambda: qn.BondConventions.preset("UST"))


# ---------------------------------------------------------------- values

def test_the_guides_five_year_bond():
    # 4% semi-annual, settled 2 months into a coupon period.
    settle, start, maturity = D("2024-03-15"), D("2024-01-15"), D("2029-01-15")
    accrued = qn.bond_accrued(CONV, settle, start, maturity, 0.04)
    assert accrued == pytest.approx(2.0 * 60 / 182, abs=1e-14)  # 60 of the period's 182 days
    clean = qn.bond_clean_price(CONV, settle, start, maturity, 0.04, 0.04)
    dirty = qn.bond_dirty_price(CONV, settle, start, maturity, 0.04, 0.04)
    assert dirty - accrued == clean
    assert qn.bond_ytm(CONV, settle, start, maturity, 0.04, clean) == pytest.approx(0.04, abs=1e-15)
    # At par on a coupon date, a bullet paid on its coupon dates is worth its face;
    # paid on the business day after a weekend date (2028-01-15), a little less.
    on_dates = qn.BondConventions(pay_adj=A.Unadjusted)
    assert qn.bond_clean_price(on_dates, start, start, maturity, 0.04, 0.04) == pytest.approx(100.0, abs=1e-12)
    assert 99.999 < qn.bond_clean_price(CONV, start, start, maturity, 0.04, 0.04) < 100.0


@pytest.mark.parametrize("tenor", ["1M", "3M", "6M", "1Y"])
@pytest.mark.parametrize("day_count", ["ACT/ACT ICMA", "30/360", "ACT/365F"])
def test_yields_round_trip_from_minus_5_to_50_percent(tenor, day_count):
    conv = qn.BondConventions(tenor, day_count, np.busdaycalendar(holidays=["2030-12-25", "2031-01-01"]))
    settle, start, maturity, coupon = random_book(2000, seed=len(tenor) + len(day_count))
    coupon[::4] = 0.0  # zero-coupon bonds too
    y = np.linspace(-0.05, 0.5, len(settle))
    clean = qn.bond_clean_price(conv, settle, start, maturity, coupon, y)
    back = qn.bond_ytm(conv, settle, start, maturity, coupon, clean)
    assert np.max(np.abs(back - y)) <= 1e-12


def test_a_yield_search_ends_where_prices_stop_telling_yields_apart():
    # Monthly coupons for 28 more years near a zero yield: neighbouring yields
    # give prices that round alike, and the search stops there with a yield.
    conv = qn.BondConventions("1M", "ACT/ACT ICMA", np.busdaycalendar(holidays=["2030-12-25", "2031-01-01"]))
    terms = (conv, D("2045-02-22"), D("2033-03-01"), D("2073-11-30"), 0.03346170449780841)
    for price in (236.5633858400073, 236.56338584000727, 236.56338584000733):
        assert qn.bond_ytm(*terms, price) == pytest.approx(-0.008454227113556777, abs=1e-12)


def test_zero_coupon_bonds_have_closed_forms():
    settle, start, maturity = D("2024-05-15"), D("2020-05-15"), D("2030-05-15")
    conv = qn.BondConventions("6M", "ACT/ACT ICMA", None, A.Unadjusted, A.Unadjusted)
    for y in (-0.03, 0.0, 0.05, 0.4):
        price = qn.bond_clean_price(conv, settle, start, maturity, 0.0, y)
        assert price == pytest.approx(100 * (1 + y / 2) ** -12, rel=1e-14)
        assert qn.bond_duration(conv, settle, start, maturity, 0.0, y, kind="macaulay") == pytest.approx(6.0, rel=1e-14)
        assert qn.bond_duration(conv, settle, start, maturity, 0.0, y) == pytest.approx(6.0 / (1 + y / 2), rel=1e-14)
        assert qn.bond_convexity(conv, settle, start, maturity, 0.0, y) == \
            pytest.approx(6.0 * 6.5 / (1 + y / 2) ** 2, rel=1e-14)
    assert qn.bond_accrued(conv, settle, start, maturity, 0.0) == 0.0


@pytest.mark.parametrize("stub", [S.FrontShort, S.BackShort, S.FrontLong, S.BackLong])
def test_settling_on_a_coupon_date_accrues_nothing(stub):
    conv = qn.BondConventions("6M", "ACT/ACT ICMA", q.Calendar("QD_WEEK"), A.Following, A.Following, stub)
    settle, start, maturity, coupon = random_book(300, seed=4)
    for i in range(0, 300, 7):
        flows = qn.bond_cashflows(conv, start[i], maturity[i], coupon[i])
        dates = flows["payment_date"][:-1]
        assert np.all(qn.bond_accrued(conv, dates[:-1], start[i], maturity[i], coupon[i]) == 0.0)
        # The day before, the whole coupon is accrued but one day.
        before = qn.bond_accrued(conv, dates[1:-1] - DAY, start[i], maturity[i], coupon[i])
        assert np.all(before > 0) and np.all(before < flows["amount"][1:-2])


def test_an_ex_coupon_period_gives_the_coupon_to_the_seller():
    # A 4% semi-annual bond paying on 2025-03-07 (a Friday), 7 business days ex.
    conv = qn.BondConventions(ex_coupon_days=7, pay_adj=A.Unadjusted)
    start, maturity = D("2020-09-07"), D("2030-03-07")
    ex_date = D("2025-02-26")
    before, on = qn.bond_accrued(conv, [ex_date - DAY, ex_date], start, maturity, 0.04)
    assert before == pytest.approx(2.0 * 171 / 181, abs=1e-14)  # 171 of the period's 181 days
    assert on == pytest.approx(-2.0 * 9 / 181, abs=1e-14)  # the 9 days to the payment belong to the buyer
    dirty = qn.bond_dirty_price(conv, [ex_date - DAY, ex_date], start, maturity, 0.04, 0.04)
    assert 1.98 < dirty[0] - dirty[1] < 2.0  # the coupon left with the seller (its value nine days ahead)
    clean = qn.bond_clean_price(conv, [ex_date - DAY, ex_date], start, maturity, 0.04, 0.04)
    assert abs(clean[1] - clean[0]) < 5e-3  # clean prices jump by the discount on the coupon alone


def test_dv01_is_the_rise_for_a_basis_point_less():
    settle, start, maturity, coupon = random_book(2000, seed=9)
    y = np.full(2000, 0.05)
    dv01 = qn.bond_dv01(CONV, settle, start, maturity, coupon, y)
    rise = qn.bond_dirty_price(CONV, settle, start, maturity, coupon, y - 1e-4) - \
        qn.bond_dirty_price(CONV, settle, start, maturity, coupon, y)
    np.testing.assert_allclose(dv01, rise, rtol=0, atol=1e-12)
    assert np.all(dv01 > 0)
    # The duration's first-order figure and the convexity's second-order one.
    dirty = qn.bond_dirty_price(CONV, settle, start, maturity, coupon, y)
    first = qn.bond_duration(CONV, settle, start, maturity, coupon, y) * dirty * 1e-4
    second = 0.5 * qn.bond_convexity(CONV, settle, start, maturity, coupon, y) * dirty * 1e-8
    assert np.all(np.abs(dv01 - first - second) <= 0.05 * second + 1e-12)


def test_face_scales_every_amount():
    settle, start, maturity, coupon = random_book(500, seed=5)
    big = qn.BondConventions(face=1_000_000.0)
    for name in ("bond_accrued", "bond_dirty_price", "bond_dv01"):
        args = args_of(name, settle, start, maturity, coupon, 0.05)
        ours = getattr(qn, name)(big, *args[1:])
        theirs = getattr(qn, name)(*args)
        # DV01 is a difference of two prices: its last digits are theirs.
        np.testing.assert_allclose(ours, theirs * 10_000, rtol=1e-9 if name == "bond_dv01" else 1e-14, atol=0)
    np.testing.assert_allclose(qn.bond_ytm(big, settle, start, maturity, coupon, 950_000.0),
                               qn.bond_ytm(CONV, settle, start, maturity, coupon, 95.0), rtol=1e-12, atol=0)


def test_cash_flows_as_columns():
    flows = qn.bond_cashflows(CONV, D("2024-01-15"), D("2025-03-15"), 0.04)
    assert list(flows) == ["accrual_start", "accrual_end", "payment_date", "year_fraction", "amount"]
    np.testing.assert_array_equal(flows["accrual_start"], np.array(["2024-01-15", "2024-03-15", "2024-09-15", "NaT"],
                                                                   dtype="M8[D]"))
    np.testing.assert_array_equal(flows["accrual_end"], np.array(["2024-03-15", "2024-09-15", "2025-03-15", "NaT"],
                                                                 dtype="M8[D]"))
    # 2024-09-15 is a Sunday: paid the Monday after.
    np.testing.assert_array_equal(flows["payment_date"], np.array(["2024-03-15", "2024-09-16", "2025-03-17",
                                                                   "2025-03-17"], dtype="M8[D]"))
    # The short first period against its notional period, 2023-09-15 to 2024-03-15.
    np.testing.assert_array_equal(flows["year_fraction"], [60 / (182 * 2), 0.5, 0.5, np.nan])
    np.testing.assert_allclose(flows["amount"], [4 * 60 / 364, 2.0, 2.0, 100.0], rtol=1e-15)
    # At a zero yield the dirty price at the start is the sum of the payments.
    total = qn.bond_dirty_price(CONV, D("2024-01-15"), D("2024-01-15"), D("2025-03-15"), 0.04, 0.0)
    assert total == pytest.approx(flows["amount"].sum(), abs=1e-13)


def test_cash_flows_of_a_book():
    pd = pytest.importorskip("pandas")
    book = pd.DataFrame({"start": pd.to_datetime(["2024-01-15", "2024-02-01", "2020-06-30"]),
                         "maturity": pd.to_datetime(["2025-01-15", "2024-01-01", "2021-06-30"]),
                         "coupon": [0.04, 0.05, 0.0]})
    flows = pd.DataFrame(qn.bond_cashflows(CONV, book["start"], book["maturity"], book["coupon"]))
    assert list(flows.columns) == ["bond", "accrual_start", "accrual_end", "payment_date", "year_fraction", "amount"]
    assert list(flows["bond"]) == [0, 0, 0, 2, 2, 2]  # bond 1 matures before it starts: no rows
    assert flows.groupby("bond")["amount"].sum().to_dict() == pytest.approx({0: 104.0, 2: 100.0})
    raises(ValueError, "Bond maturity (2024-01-01) must be after its start (2024-02-01)",
           lambda: qn.bond_cashflows(CONV, D("2024-02-01"), D("2024-01-01"), 0.05))
    raises(ValueError, "Coupon (-0.01) must be positive or zero and finite",
           lambda: qn.bond_cashflows(CONV, D("2024-02-01"), D("2025-01-01"), -0.01))
    raises(TypeError, "argument 'conv': 'str' object cannot be converted to 'BondConventions'",
           lambda: qn.bond_cashflows("6M", D("2024-02-01"), D("2025-01-01"), 0.01))


def test_a_lone_stub_against_its_notional_period():
    # One short period, measured against the regular period it stands for:
    # back from the maturity for a front stub, on from the start for a back one.
    front = qn.bond_cashflows(CONV, D("2024-09-01"), D("2025-01-15"), 0.04)
    assert front["year_fraction"][0] == 136 / (184 * 2)  # 2024-07-15 to 2025-01-15
    back = qn.bond_cashflows(qn.BondConventions(stub_type=S.BackShort), D("2024-09-01"), D("2025-01-15"), 0.04)
    assert back["year_fraction"][0] == 136 / (181 * 2)  # 2024-09-01 to 2025-03-01


# ---------------------------------------------------------------- no value: NaN, element by element

NO_VALUE = [
    ("maturity before start", dict(start=D("2025-01-01"), maturity=D("2024-01-01"), settle=D("2024-06-01"))),
    ("maturity on start", dict(start=D("2024-01-01"), maturity=D("2024-01-01"), settle=D("2024-01-01"))),
    ("settled at maturity", dict(settle=D("2029-01-15"))),
    ("settled after maturity", dict(settle=D("2031-01-01"))),
    ("settled before start", dict(settle=D("2023-12-31"))),
    ("negative coupon", dict(coupon=-0.01)),
    ("NaN coupon", dict(coupon=math.nan)),
    ("infinite coupon", dict(coupon=math.inf)),
    ("NaT settlement", dict(settle=np.datetime64("NaT", "D"))),
    ("NaT maturity", dict(maturity=np.datetime64("NaT", "D"))),
    ("no stub off the grid", dict(conv=qn.BondConventions(stub_type=S.NoStub), maturity=D("2029-02-15"))),
    ("matured on its last payment", dict(conv=qn.BondConventions(bus_day_adj=A.Preceding), maturity=D("2028-01-16"),
                                         settle=D("2028-01-14"))),
]


@pytest.mark.parametrize("name", TWINS)
@pytest.mark.parametrize("case, change", NO_VALUE, ids=[c for c, _ in NO_VALUE])
def test_no_value_is_nan(name, case, change):
    terms = dict(conv=CONV, settle=D("2024-03-15"), start=D("2024-01-15"), maturity=D("2029-01-15"), coupon=0.04)
    terms.update(change)
    args = list(args_of(name, terms["settle"], terms["start"], terms["maturity"], terms["coupon"],
                        price_or_yield(name)))
    args[0] = terms["conv"]
    assert np.isnan(getattr(qn, name)(*args))


@pytest.mark.parametrize("name, x", [
    # A dirty price of nothing or less (the accrued interest is 2 * 60 / 182).
    ("bond_ytm", -2.0), ("bond_ytm", -2.0 * 60 / 182), ("bond_ytm", math.nan), ("bond_ytm", math.inf),
    ("bond_zspread", -2.0), ("bond_zspread", math.nan),
    ("bond_clean_price", -2.0), ("bond_clean_price", -2.5), ("bond_clean_price", math.nan),  # 1 + y/f <= 0
    ("bond_duration", -2.0), ("bond_convexity", -2.0), ("bond_dv01", -1.99995),
])
def test_prices_without_a_yield_and_yields_without_a_price(name, x):
    settle, start, maturity = D("2024-03-15"), D("2024-01-15"), D("2029-01-15")
    assert np.isnan(getattr(qn, name)(*args_of(name, settle, start, maturity, 0.04, x)))


def test_one_bad_bond_among_a_million_prices_the_others():
    settle, start, maturity, coupon = random_book(1_000_000, seed=11)
    maturity = np.minimum(maturity, start + 3650 * DAY)  # a ten-year universe keeps this quick
    settle = np.minimum(settle, maturity - DAY)
    start[123_456] = maturity[123_456]
    clean = qn.bond_clean_price(CONV, settle, start, maturity, coupon, 0.05)
    assert np.isnan(clean[123_456]) and np.count_nonzero(np.isnan(clean)) == 1
    for i in (0, 123_455, 123_457, 999_999):
        assert clean[i] == qn.bond_clean_price(CONV, settle[i], start[i], maturity[i], coupon[i], 0.05)


# ---------------------------------------------------------------- the twins' arguments

def test_argument_errors_name_the_argument():
    s, a, m = D("2024-03-15"), D("2024-01-15"), D("2029-01-15")
    raises(TypeError, "argument 'conv': 'str' object cannot be converted to 'BondConventions'",
           lambda: qn.bond_accrued("6M", s, a, m, 0.04))
    raises(TypeError, "argument 'curve': 'BondConventions' object cannot be converted to 'YieldCurve'",
           lambda: qn.bond_zspread(CONV, CONV, s, a, m, 0.04, 99.0))
    raises(ValueError, "argument 'kind': Duration kind ('effective') must be 'modified' or 'macaulay'",
           lambda: qn.bond_duration(CONV, s, a, m, 0.04, 0.05, kind="effective"))
    raises(ValueError, "argument 'kind': Duration kind (1) must be 'modified' or 'macaulay'",
           lambda: qn.bond_duration(CONV, s, a, m, 0.04, 0.05, 1))
    raises(TypeError, "bond_ytm() missing 1 required positional argument: 'clean_price'",
           lambda: qn.bond_ytm(CONV, s, a, m, 0.04))
    raises(ValueError, "Year (1898) must be >= 1899 (at index 1)",
           lambda: qn.bond_accrued(CONV, [s, D("1898-12-31")], a, m, 0.04))


def test_duration_kinds_by_element():
    s, a, m = D("2024-03-15"), D("2024-01-15"), D("2029-01-15")
    kinds = np.array(["modified", "macaulay", "modified"], dtype=object)
    got = qn.bond_duration(CONV, s, a, m, 0.04, 0.05, kinds)
    assert got[0] == got[2] == qn.bond_duration(CONV, s, a, m, 0.04, 0.05)
    assert got[1] == qn.bond_duration(CONV, s, a, m, 0.04, 0.05, kind="macaulay")
    raises(ValueError, "argument 'kind': Duration kind ('Macaulay') must be 'modified' or 'macaulay' (at index 1)",
           lambda: qn.bond_duration(CONV, s, a, m, 0.04, 0.05, np.array(["modified", "Macaulay"], dtype=object)))


def edge_book(n, seed):
    """Bonds on months' last days and their neighbours, settled anywhere (on
    coupon dates too), some running past the year 2300."""
    rng = np.random.default_rng(seed)
    month = D("1995-01") + rng.integers(0, 12 * 300, n) * np.timedelta64(1, "M")
    start = (month + np.timedelta64(1, "M")).astype("M8[D]") - rng.integers(1, 5, n) * DAY
    maturity = start + rng.integers(92, 50 * 366, n) * DAY
    maturity[::3] = (maturity[::3].astype("M8[M]") + np.timedelta64(1, "M")).astype("M8[D]") - DAY
    settle = start + (rng.random(n) * ((maturity - start) / DAY)).astype(np.int64) * DAY
    settle[::5] = np.minimum(start[::5] + 181 * DAY, maturity[::5] - DAY)
    return settle, start, maturity, rng.uniform(0.0, 0.15, n)


@pytest.mark.parametrize("tenor, f", [("1M", 12), ("3M", 4), ("6M", 2), ("1Y", 1)])
def test_accrued_inside_a_regular_period_is_its_days_over_the_periods_days_times_f(tenor, f):
    # Unadjusted coupon dates on a day of the month: every period between the
    # ends is 12 / f months, the reference period of ACT/ACT ICMA.
    conv = qn.BondConventions(tenor)
    _, start, maturity, coupon = edge_book(300, seed=f)
    flows = qn.bond_cashflows(conv, start, maturity, coupon)
    bond, a, b, pay = flows["bond"], flows["accrual_start"], flows["accrual_end"], flows["payment_date"]
    i = np.nonzero(~np.isnat(a[1:-1]))[0] + 1
    i = i[(bond[i - 1] == bond[i]) & ~np.isnat(a[i - 1]) & (bond[i + 1] == bond[i]) & ~np.isnat(a[i + 1])]
    lo = np.maximum(a[i], pay[i - 1]) + DAY  # after the last payment
    settle = lo + (np.random.default_rng(f).random(i.size) * ((b[i] - lo) / DAY)).astype(np.int64) * DAY
    got = qn.bond_accrued(conv, settle, start[bond[i]], maturity[bond[i]], coupon[bond[i]])
    days, period = ((settle - a[i]) / DAY).astype(float), ((b[i] - a[i]) / DAY).astype(float)
    np.testing.assert_array_equal(got, 100.0 * (coupon[bond[i]] * (days / (period * f))))
    assert i.size > 1000


@pytest.mark.parametrize("tenor", ["1M", "2M", "3M", "4M", "6M", "1Y"])
@pytest.mark.parametrize("pay_adj", [A.Unadjusted, A.Following, A.Preceding, A.ModFollowing])
def test_a_weekends_calendar_gives_the_bits_of_any_calendar_with_its_days(tenor, pay_adj):
    # Weekends alone are answered from the week's tables; a holiday long
    # before the bonds leaves the same business days to the general calendar.
    settle, start, maturity, coupon = edge_book(400, seed=len(tenor) + int(pay_adj))
    far = np.busdaycalendar(holidays=["1950-01-02"])
    for accrual, eom, ex_days in [(A.Unadjusted, False, 0), (A.Unadjusted, True, 0), (A.Following, False, 3)]:
        weekends = qn.BondConventions(tenor, "ACT/ACT ICMA", None, accrual, pay_adj, S.FrontShort, eom, 0, ex_days)
        general = qn.BondConventions(tenor, "ACT/ACT ICMA", far, accrual, pay_adj, S.FrontShort, eom, 0, ex_days)
        for name in TWINS:
            rest = args_of(name, settle, start, maturity, coupon, price_or_yield(name))[1:]
            fast, slow = getattr(qn, name)(weekends, *rest), getattr(qn, name)(general, *rest)
            np.testing.assert_array_equal(fast.view(np.int64), slow.view(np.int64), err_msg=name)


@pytest.mark.parametrize("name", TWINS)
def test_blocks_and_single_elements_give_the_same_bits(name):
    # where= takes the element path, an array of conventions one per bond, and
    # quillander Dates as objects: every route gives the block form's bits.
    settle, start, maturity, coupon = random_book(300, seed=13)
    x = price_or_yield(name)
    args = args_of(name, settle, start, maturity, coupon, x)
    fast = getattr(qn, name)(*args)
    mask = np.ones(300, dtype=bool)
    out = np.full(300, -1.0)
    slow = getattr(qn, name)(*args, where=mask, out=out)
    np.testing.assert_array_equal(fast.view(np.int64), slow.view(np.int64))
    many = (np.array([CONV] * 300, dtype=object),) + args[1:]
    np.testing.assert_array_equal(fast.view(np.int64), getattr(qn, name)(*many).view(np.int64))
    objects = [q.Date(str(d)) for d in settle[:20]]
    head = args[:2] if name in ("bond_dirty_price_from_curve", "bond_zspread") else args[:1]
    tail = args[len(head) + 4:]
    by_object = getattr(qn, name)(*head, objects, start[:20], maturity[:20], coupon[:20], *tail)
    np.testing.assert_array_equal(fast[:20].view(np.int64), by_object.view(np.int64))


@pytest.mark.parametrize("name", TWINS)
def test_results_do_not_depend_on_the_thread_count(name):
    settle, start, maturity, coupon = random_book(40_000, seed=19)
    args = args_of(name, settle, start, maturity, coupon, price_or_yield(name))
    previous = qn.set_num_threads(1)
    try:
        one = getattr(qn, name)(*args)
        qn.set_num_threads(2)
        two = getattr(qn, name)(*args)
    finally:
        qn.set_num_threads(previous)
    np.testing.assert_array_equal(one.view(np.int64), two.view(np.int64))
