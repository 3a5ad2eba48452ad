"""Fixed-rate bonds against QuantLib: FixedRateBond on the same schedule, with
BondFunctions' prices, yields, durations and convexity, on 10^4 random bonds
under every day count, coupon frequency, stub, adjustment and calendar."""
import random

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn

ql = pytest.importorskip("QuantLib")

A, S = q.BusDayAdj, q.StubType
ADJ = [(A.Unadjusted, ql.Unadjusted), (A.Preceding, ql.Preceding), (A.Following, ql.Following),
       (A.ModFollowing, ql.ModifiedFollowing)]
FREQUENCY = {1: ql.Monthly, 2: ql.Bimonthly, 3: ql.Quarterly, 4: ql.EveryFourthMonth, 6: ql.Semiannual, 12: ql.Annual}
DAY_COUNTS = ["ACT/ACT ICMA", "ACT/365F", "ACT/360", "30/360", "30E/360", "30E/360 ISDA", "ACT/ACT ISDA"]
EPOCH = ql.Date(1, 1, 1970).serialNumber()
DAY = np.timedelta64(1, "D")


def ql_date(d):
    return ql.Date(int(np.datetime64(d, "D").astype(np.int64)) + EPOCH)


def ql_day_count(name, schedule):
    return {
        "ACT/ACT ICMA": lambda: ql.ActualActual(ql.ActualActual.ISMA, schedule),
        "ACT/365F": ql.Actual365Fixed,
        "ACT/360": ql.Actual360,
        "30/360": lambda: ql.Thirty360(ql.Thirty360.BondBasis),
        "30E/360": lambda: ql.Thirty360(ql.Thirty360.European),
        "30E/360 ISDA": lambda: ql.Thirty360(ql.Thirty360.ISDA, schedule.dates()[-1]),
        "ACT/ACT ISDA": lambda: ql.ActualActual(ql.ActualActual.ISDA),
    }[name]()


def add_months(d, n):
    """d plus n months, the day clamped to the month's length."""
    d = np.datetime64(d, "D")
    month = d.astype("M8[M]")
    day = (d - month.astype("M8[D]")).astype(int)
    target = month + np.timedelta64(n, "M")
    length = ((target + np.timedelta64(1, "M")).astype("M8[D]") - target.astype("M8[D]")).astype(int)
    return target.astype("M8[D]") + DAY * min(day, length - 1)


class Book:
    """Random bonds under one set of conventions, ours and QuantLib's."""

    def __init__(self, rng, holidays, ql_calendar, index):
        self.months = rng.choice([1, 2, 3, 4, 6, 6, 6, 12, 12])
        self.day_count = DAY_COUNTS[index % len(DAY_COUNTS)]
        self.acc, self.ql_acc = rng.choice(ADJ)
        self.pay, self.ql_pay = rng.choice(ADJ)
        self.stub = rng.choice([S.FrontShort, S.BackShort, S.FrontShort, S.FrontLong, S.BackLong])
        # End of month with the short stubs QuantLib's own rules make.
        self.eom = self.stub in (S.FrontShort, S.BackShort) and rng.random() < 0.4
        self.ex_days = rng.choice([0, 0, 3, 7])
        self.with_holidays = rng.random() < 0.7
        cal = np.busdaycalendar(holidays=holidays) if self.with_holidays else None
        self.ql_calendar = ql_calendar if self.with_holidays else ql.WeekendsOnly()
        self.conv = qn.BondConventions(f"{self.months}M", self.day_count, cal, self.acc, self.pay, self.stub, self.eom,
                                       0, self.ex_days, 100.0)

    def ql_schedule(self, start, maturity):
        tenor = ql.Period(self.months, ql.Months)
        backward = self.stub in (S.FrontShort, S.FrontLong)
        rule = ql.DateGeneration.Backward if backward else ql.DateGeneration.Forward
        first = next_to_last = ql.Date()
        if self.stub in (S.FrontLong, S.BackLong):
            # The long stub takes in the regular date next to its end: QuantLib
            # is told the date after it (or before it) as the first (last) one.
            step, anchor, limit = (-self.months, maturity, start) if backward else (self.months, start, maturity)
            months = abs(int((limit.astype("M8[M]") - anchor.astype("M8[M]")) / np.timedelta64(1, "M")))
            k = max(1, months // self.months)  # the first regular date at or past the limit: k or k + 1 steps
            while (add_months(anchor, step * k) > limit) if backward else (add_months(anchor, step * k) < limit):
                k += 1
            if add_months(anchor, step * k) == limit or k < 3:
                return None  # no stub, or a long one QuantLib's dates cannot say
            if backward:
                first = ql_date(add_months(anchor, step * (k - 2)))
            else:
                next_to_last = ql_date(add_months(anchor, step * (k - 2)))
        return ql.Schedule(ql_date(start), ql_date(maturity), tenor, self.ql_calendar, self.ql_acc, self.ql_acc, rule,
                           self.eom, first, next_to_last)

    def ql_bond(self, schedule, coupon):
        dc = ql_day_count(self.day_count, schedule)
        ex = ql.Period(self.ex_days, ql.Days) if self.ex_days else ql.Period()
        bond = ql.FixedRateBond(0, 100.0, schedule, [coupon], dc, self.ql_pay, 100.0, ql.Date(), self.ql_calendar, ex,
                                self.ql_calendar, ql.Unadjusted, False)
        return bond, dc


def random_terms(rng):
    start = np.datetime64("1995-01-01") + DAY * rng.randrange(20000)
    if rng.random() < 0.25:  # a month's last day
        start = add_months(start.astype("M8[M]").astype("M8[D]"), 1) - DAY
    maturity = start + DAY * rng.choice([rng.randrange(92, 400), rng.randrange(92, 50 * 366)])
    if rng.random() < 0.3:
        maturity = add_months(maturity.astype("M8[M]").astype("M8[D]"), 1) - DAY
    settle = start + DAY * rng.randrange(int((maturity - start) / DAY))
    if rng.random() < 0.1:
        settle = start
    coupon = rng.choice([0.0, rng.uniform(0, 0.15), rng.uniform(0, 0.15)])
    return start, maturity, settle, coupon, rng.uniform(-0.02, 0.25)


@pytest.fixture(scope="module")
def cross_check():
    """Ours and QuantLib's figures for about 10^4 bonds under 30 sets of conventions."""
    rng = random.Random(2025)
    holidays = np.unique(np.datetime64("1994-01-01") + DAY * np.array([rng.randrange(45000) for _ in range(1500)]))
    ql_calendar = ql.BespokeCalendar("bonds")
    ql_calendar.addWeekend(ql.Saturday)
    ql_calendar.addWeekend(ql.Sunday)
    for h in holidays:
        ql_calendar.addHoliday(ql_date(h))
    rows = {k: [] for k in ["accrued", "clean", "dirty", "modified", "macaulay", "convexity", "dv01", "ytm"]}
    skipped = 0
    for index in range(30):
        book = Book(rng, holidays, ql_calendar, index)
        terms, want = [], []
        while len(terms) < 360:
            start, maturity, settle, coupon, y = random_terms(rng)
            schedule = book.ql_schedule(start, maturity)
            if schedule is None or (book.day_count == "ACT/ACT ICMA" and len(schedule.dates()) == 2
                                    and not schedule.isRegular(1)):
                # QuantLib's ACT/ACT with a schedule measures a lone irregular
                # period against a period from its start's notional date to its
                # end's (test_a_lone_stub_against_its_notional_period).
                continue
            bond, dc = book.ql_bond(schedule, coupon)
            s, f = ql_date(settle), FREQUENCY[book.months]
            try:
                clean = ql.BondFunctions.cleanPrice(bond, y, dc, ql.Compounded, f, s)
                w = dict(accrued=ql.BondFunctions.accruedAmount(bond, s), clean=clean,
                         modified=ql.BondFunctions.duration(bond, y, dc, ql.Compounded, f, ql.Duration.Modified, s),
                         convexity=ql.BondFunctions.convexity(bond, y, dc, ql.Compounded, f, s),
                         dv01=ql.BondFunctions.cleanPrice(bond, y - 1e-4, dc, ql.Compounded, f, s) - clean)
            except RuntimeError as e:
                if "non tradable" in str(e):
                    # Settled on or after the last payment (an adjusted maturity
                    # before the stated one): no value for either.
                    assert np.isnan(qn.bond_clean_price(book.conv, settle, start, maturity, coupon, y))
                    continue
                # QuantLib's ACT/ACT with a schedule stops at the schedule's last
                # date (a payment moved past a weekend maturity has no time), and
                # its 30E/360 ISDA gives a backward step a negative time.
                assert "Dates out of range of schedule" in str(e) or "negative time" in str(e), str(e)
                skipped += 1
                continue
            w["dirty"] = clean + w["accrued"]
            w["macaulay"] = w["modified"] * (1 + y / (12 // book.months))  # QuantLib's Macaulay duration
            w["ytm"] = y
            terms.append((settle, start, maturity, coupon, y, clean))
            want.append(w)
        settle, start, maturity, coupon, y, clean = (np.array(c) for c in zip(*terms))
        c = book.conv
        got = dict(accrued=qn.bond_accrued(c, settle, start, maturity, coupon),
                   clean=qn.bond_clean_price(c, settle, start, maturity, coupon, y),
                   dirty=qn.bond_dirty_price(c, settle, start, maturity, coupon, y),
                   modified=qn.bond_duration(c, settle, start, maturity, coupon, y),
                   macaulay=qn.bond_duration(c, settle, start, maturity, coupon, y, kind="macaulay"),
                   convexity=qn.bond_convexity(c, settle, start, maturity, coupon, y),
                   dv01=qn.bond_dv01(c, settle, start, maturity, coupon, y),
                   ytm=qn.bond_ytm(c, settle, start, maturity, coupon, clean))
        for k in rows:
            rows[k].append((got[k], np.array([w[k] for w in want]), book, (settle, start, maturity, coupon, y)))
    return rows, skipped


@pytest.mark.parametrize("what, tolerance, relative", [
    ("accrued", 1e-12, False),
    ("clean", 1e-10, False),
    ("dirty", 1e-10, False),
    ("ytm", 1e-10, False),  # our yield of QuantLib's price
    ("modified", 1e-10, True),
    ("macaulay", 1e-10, True),
    ("convexity", 1e-10, True),
    ("dv01", 1e-10, False),  # against QuantLib's prices a basis point apart
])
def test_ten_thousand_bonds_against_quantlib(cross_check, what, tolerance, relative):
    rows, skipped = cross_check
    compared = 0
    for got, want, book, terms in rows[what]:
        scale = np.maximum(1.0, np.abs(want)) if relative else 1.0
        error = np.abs(got - want) / scale
        bad = np.flatnonzero(~(error <= tolerance))
        assert not len(bad), f"{what} {book.conv!r} {[t[bad[0]] for t in terms]} {got[bad[0]]} {want[bad[0]]}"
        compared += len(got)
    assert compared >= 10_000 and skipped < compared / 20


def test_yields_solved_as_quantlib_solves_them(cross_check):
    # QuantLib's own solver, tightened, on a part of the book: the same yield.
    rows, _ = cross_check
    for got, want, book, (settle, start, maturity, coupon, y) in rows["ytm"][::3]:
        for i in range(0, len(got), 12):
            schedule = book.ql_schedule(start[i], maturity[i])
            bond, dc = book.ql_bond(schedule, coupon[i])
            s, f = ql_date(settle[i]), FREQUENCY[book.months]
            clean = ql.BondFunctions.cleanPrice(bond, y[i], dc, ql.Compounded, f, s)
            theirs = ql.BondFunctions.bondYield(bond, ql.BondPrice(clean, ql.BondPrice.Clean), dc, ql.Compounded, f,
                                                s, 1e-14, 200, 0.05)
            ours = qn.bond_ytm(book.conv, settle[i], start[i], maturity[i], coupon[i], clean)
            assert abs(ours - theirs) <= 1e-10, (book.conv, settle[i], start[i], maturity[i], coupon[i], y[i])


@pytest.fixture(scope="module")
def curve():
    """A noded curve to 2100, ours and QuantLib's (log-linear discount factors)."""
    rng = np.random.default_rng(8)
    nodes = np.datetime64("1990-01-02") + np.cumsum(rng.integers(30, 900, 60)).astype("m8[D]")
    nodes = np.concatenate([[np.datetime64("1990-01-02")], nodes[nodes < np.datetime64("2099-01-01")],
                            [np.datetime64("2100-12-31")]])
    times = (nodes - nodes[0]) / np.timedelta64(365, "D")
    rates = 0.03 + 0.02 * np.sin(times / 7) + 0.005 * rng.standard_normal(len(times))
    dfs = np.exp(-rates * times)
    dfs[0] = 1.0
    ours = q.YieldCurve.create_noded(q.Date(str(nodes[0])), q.DayCounter.Act365, [q.Date(str(d)) for d in nodes],
                                     list(dfs), q.InterpType.Geometric)
    theirs = ql.DiscountCurve([ql_date(d) for d in nodes], list(dfs), ql.Actual365Fixed())
    return ours, ql.YieldTermStructureHandle(theirs), theirs


def test_prices_and_zspreads_off_a_curve_against_quantlib(cross_check, curve):
    ours, handle, theirs = curve
    rows, _ = cross_check
    compared = 0
    for got, want, book, (settle, start, maturity, coupon, y) in rows["clean"][::2]:
        for i in range(0, len(got), 6):
            schedule = book.ql_schedule(start[i], maturity[i])
            bond, dc = book.ql_bond(schedule, coupon[i])
            s = ql_date(settle[i])
            dirty = ql.CashFlows.npv(bond.cashflows(), handle, False, s, s)
            mine = qn.bond_dirty_price_from_curve(book.conv, ours, settle[i], start[i], maturity[i], coupon[i])
            assert abs(mine - dirty) <= 1e-10, (book.conv, settle[i], start[i], maturity[i], coupon[i])
            clean = dirty - ql.BondFunctions.accruedAmount(bond, s) - 3.0  # a spread above the curve
            try:
                spread = ql.BondFunctions.zSpread(bond, ql.BondPrice(clean, ql.BondPrice.Clean), theirs,
                                                  ql.Continuous, ql.NoFrequency, s, 1e-15, 200, 0.01)
            except RuntimeError as e:  # QuantLib's bracket search stepped where its curve has no rate
                assert "positive compound factor required" in str(e)
                continue
            mine = qn.bond_zspread(book.conv, ours, settle[i], start[i], maturity[i], coupon[i], clean)
            assert abs(mine - spread) <= 1e-10, (book.conv, settle[i], start[i], maturity[i], coupon[i])
            compared += 1
    assert compared > 800


def test_cash_flows_are_quantlibs(cross_check):
    rows, _ = cross_check
    for got, want, book, (settle, start, maturity, coupon, y) in rows["accrued"][::4]:
        for i in range(0, len(got), 40):
            schedule = book.ql_schedule(start[i], maturity[i])
            bond, _ = book.ql_bond(schedule, coupon[i])
            flows = qn.bond_cashflows(book.conv, start[i], maturity[i], coupon[i])
            coupons = [ql.as_fixed_rate_coupon(c) for c in bond.cashflows()[:-1]]
            assert list(flows["accrual_start"][:-1]) == [np.datetime64(c.accrualStartDate().ISO()) for c in coupons]
            assert list(flows["accrual_end"][:-1]) == [np.datetime64(c.accrualEndDate().ISO()) for c in coupons]
            assert list(flows["payment_date"]) == [np.datetime64(c.date().ISO()) for c in bond.cashflows()]
            np.testing.assert_allclose(flows["amount"], [c.amount() for c in bond.cashflows()], rtol=0, atol=1e-12)


# The government bond presets against QuantLib's own set-up of each market:
# its calendar, settlement lag, coupon frequency and ex-coupon period.
PRESETS = {
    "US Treasury": (ql.UnitedStates(ql.UnitedStates.GovernmentBond), ql.Semiannual, True, ql.Period()),
    "German Bund": (ql.TARGET(), ql.Annual, False, ql.Period()),
    "UK Gilt": (ql.UnitedKingdom(ql.UnitedKingdom.Exchange), ql.Semiannual, False, ql.Period(7, ql.Days)),
}
# The holidays package's SIFMA days and QuantLib's government bond calendar
# differ on these (Good Fridays of payroll releases, the day after 11 September 2001).
CALENDARS_DIFFER = {np.datetime64(d) for d in ("2001-09-12", "2034-04-07", "2037-04-03")}


@pytest.mark.parametrize("name", list(PRESETS))
def test_presets_are_quantlibs_markets(name):
    conv = qn.BondConventions.preset(name)
    calendar, frequency, eom, ex_period = PRESETS[name]
    rng = random.Random(name)
    rows = []
    while len(rows) < 300:
        start = np.datetime64("2003-01-01") + DAY * rng.randrange(8000)
        maturity = add_months(start, 12 * rng.randrange(2, 31))
        trade = start + DAY * rng.randrange(int((maturity - start) / DAY) - 10)
        schedule = ql.Schedule(ql_date(start), ql_date(maturity), ql.Period(frequency), calendar, ql.Unadjusted,
                               ql.Unadjusted, ql.DateGeneration.Backward, eom)
        dc = ql.ActualActual(ql.ActualActual.ISMA, schedule)
        coupon, y = rng.uniform(0.0, 0.1), rng.uniform(-0.01, 0.12)
        bond = ql.FixedRateBond(conv.settlement_days, 100.0, schedule, [coupon], dc, ql.Following, 100.0,
                                ql_date(start), calendar, ex_period, calendar, ql.Unadjusted, False)
        paid = {np.datetime64(c.date().ISO()) for c in bond.cashflows()}
        if paid & CALENDARS_DIFFER:
            continue
        settle = bond.settlementDate(ql_date(trade))
        if not ql.BondFunctions.isTradable(bond, settle):
            continue
        try:
            clean = ql.BondFunctions.cleanPrice(bond, y, dc, ql.Compounded, frequency, settle)
        except RuntimeError as e:  # a maturity on a weekend paid after it: no time under QuantLib's ACT/ACT
            assert "Dates out of range of schedule" in str(e), str(e)
            continue
        rows.append((trade, np.datetime64(settle.ISO()), start, maturity, coupon, y, clean,
                     ql.BondFunctions.accruedAmount(bond, settle)))
    trade, settle, start, maturity, coupon, y, clean, accrued = (np.array(c) for c in zip(*rows))
    assert (qn.add_business_days(trade, conv.settlement_days, conv.cal) == settle).all()
    np.testing.assert_allclose(qn.bond_accrued(conv, settle, start, maturity, coupon), accrued, rtol=0, atol=1e-10)
    np.testing.assert_allclose(qn.bond_clean_price(conv, settle, start, maturity, coupon, y), clean, rtol=0, atol=1e-10)
    np.testing.assert_allclose(qn.bond_ytm(conv, settle, start, maturity, coupon, clean), y, rtol=0, atol=1e-10)
    if name == "UK Gilt":
        assert (accrued < 0).any()  # some settled inside an ex-coupon period
