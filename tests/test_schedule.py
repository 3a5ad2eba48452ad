"""Business-day adjustment and schedules of the array module, against
numpy.busday_offset and QuantLib's Schedule."""
import datetime
import itertools
import random

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import panic_message, raises

ql = pytest.importorskip("QuantLib")

A, S = q.BusDayAdj, q.StubType
WEEK, NONE = q.Calendar("QD_WEEK"), q.Calendar("QD_NONE")
ADJUSTMENTS = [  # ours, numpy's roll, QuantLib's convention
    (A.Following, "following", ql.Following),
    (A.Preceding, "preceding", ql.Preceding),
    (A.ModFollowing, "modifiedfollowing", ql.ModifiedFollowing),
    (A.Unadjusted, None, ql.Unadjusted),
]
TENORS = {"1M": (1, ql.Months), "3M": (3, ql.Months), "6M": (6, ql.Months), "1Y": (1, ql.Years), "2W": (2, ql.Weeks)}
D = np.datetime64


def DAYS(n):
    return np.timedelta64(n, "D")


def days(*texts):
    return np.array(texts, dtype="M8[D]")


def random_days(rng, n, lo="1950-01-01", hi="2100-12-31"):
    lo, hi = D(lo, "D").astype(np.int64), D(hi, "D").astype(np.int64)
    return rng.integers(lo, hi + 1, n).astype("M8[D]")


# ---------------------------------------------------------------- adjust

@pytest.mark.parametrize("cal, weekmask", [(WEEK, "1111100"), (NONE, "1111111")])
@pytest.mark.parametrize("with_holidays", [False, True])
def test_adjust_equals_busday_offset(cal, weekmask, with_holidays):
    rng = np.random.default_rng(16)
    dates = random_days(rng, 100_000)
    holidays = None
    if with_holidays:
        # Dense runs as well as scattered days, so rolls cross several holidays and month ends.
        runs = np.concatenate([d + np.arange(6).astype("m8[D]") for d in random_days(rng, 300)])
        holidays = np.concatenate([random_days(rng, 3000), runs, days("NaT")])
    for ours, roll, _ in ADJUSTMENTS[:3]:
        want = np.busday_offset(dates, 0, roll=roll, weekmask=weekmask,
                                holidays=[] if holidays is None else holidays[~np.isnat(holidays)])
        got = qn.adjust(dates, cal, ours, holidays)
        assert got.dtype == np.dtype("M8[D]")
        np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(qn.adjust(dates, cal, A.Unadjusted, holidays), dates)


def test_adjust_shapes_nat_and_date_likes():
    dates = days("2025-05-31", "NaT", "2025-06-01", "2025-06-02").reshape(2, 2)
    np.testing.assert_array_equal(qn.adjust(dates, WEEK, A.ModFollowing),
                                  days("2025-05-30", "NaT", "2025-06-02", "2025-06-02").reshape(2, 2))
    # One date in, one datetime64 out; Dates, datetime.date and lists of them are date-likes.
    assert qn.adjust(q.Date(2025, 5, 31), WEEK, A.Following) == D("2025-06-02")
    assert qn.adjust(datetime.date(2025, 5, 31), WEEK, A.Preceding) == D("2025-05-30")
    np.testing.assert_array_equal(
        qn.adjust([q.Date(2025, 12, 25), None], WEEK, A.Following, holidays=[datetime.date(2025, 12, 25)]),
        days("2025-12-26", "NaT"))
    assert qn.adjust(days(), WEEK, A.Following).shape == (0,)


@pytest.mark.parametrize("date, adj, holidays, want", [
    # Month ends: ModFollowing turns back, even past holidays at the month's end.
    ("2025-08-30", A.ModFollowing, [], "2025-08-29"),
    ("2025-08-29", A.ModFollowing, ["2025-08-29"], "2025-08-28"),
    ("2025-08-01", A.ModFollowing, ["2025-08-01"], "2025-08-04"),
    # A month without business days: the preceding one is in the month before.
    ("2025-02-10", A.ModFollowing, [str(D("2025-02-01") + DAYS(i)) for i in range(28)], "2025-01-31"),
    # The range's ends: ModFollowing never looks past 65535-12-31.
    ("65535-12-31", A.ModFollowing, ["65535-12-31"], "65535-12-30"),
    ("1899-01-01", A.Following, [], "1899-01-02"),  # a Sunday
])
def test_adjust_cases(date, adj, holidays, want):
    assert qn.adjust(D(date), WEEK, adj, np.array(holidays, dtype="M8[D]")) == D(want)


def test_adjust_past_the_date_range_is_an_internal_failure():
    # 1899-01-01 is a Sunday and nothing comes before it; 65535-12-31 a Tuesday.
    message = panic_message(lambda: qn.adjust(days("2024-01-01", "1899-01-01"), WEEK, A.Preceding))
    assert message.startswith("No business day on or before 1899-01-01") and message.endswith("(at index 1)")
    message = panic_message(lambda: qn.adjust(D("65535-12-31"), WEEK, A.Following, days("65535-12-31")))
    assert message.startswith("No business day on or after 65535-12-31")


def test_adjust_argument_errors():
    raises(TypeError, "argument 'cal': 'str' object is not a Calendar, BusinessCalendar or numpy.busdaycalendar",
           lambda: qn.adjust(days("2025-01-01"), "QD_WEEK", A.Following))
    raises(TypeError, "argument 'bus_day_adj': 'StubType' object cannot be converted to 'BusDayAdj' (at index 0)",
           lambda: qn.adjust(days("2025-01-01"), WEEK, S.NoStub))
    raises(TypeError, "argument 'holidays': 'int' object cannot be converted to 'Date' (at index 1)",
           lambda: qn.adjust(days("2025-01-01"), WEEK, A.Following, ["2025-01-01", 20250102]))
    raises(TypeError, "adjust() missing 1 required positional argument: 'bus_day_adj'",
           lambda: qn.adjust(days("2025-01-01"), WEEK))
    # A rule's integer value is the rule, as for every enumeration of the twins.
    assert qn.adjust(days("2025-01-04"), WEEK, 2) == qn.adjust(days("2025-01-04"), WEEK, A.Following)


# ---------------------------------------------------------------- schedules against QuantLib

def ql_date(d):
    d = D(d, "D").item()
    return ql.Date(d.day, d.month, d.year)


def from_ql(dates):
    return np.array([f"{d.year():04d}-{d.month():02d}-{d.dayOfMonth():02d}" for d in dates], dtype="M8[D]")


def ql_calendar(cal, holidays, name):
    if not len(holidays):
        return ql.WeekendsOnly() if cal is WEEK else ql.NullCalendar()
    bespoke = ql.BespokeCalendar(name)
    if cal is WEEK:
        bespoke.addWeekend(ql.Saturday)
        bespoke.addWeekend(ql.Sunday)
    for h in holidays:
        bespoke.addHoliday(ql_date(h))
    return bespoke


def ql_schedule(start, end, tenor, calendar, convention, backward, eom=False):
    n, unit = TENORS[tenor]
    rule = ql.DateGeneration.Backward if backward else ql.DateGeneration.Forward
    return ql.Schedule(ql_date(start), ql_date(end), ql.Period(n, unit), calendar, convention, convention, rule, eom)


def random_cases(seed, count):
    rng = random.Random(seed)
    for i in range(count):
        start = D("1990-01-01") + DAYS(rng.randrange(15000))
        end = start + DAYS(rng.choice([rng.randrange(1, 60), rng.randrange(1, 4000), rng.randrange(1, 12000)]))
        yield i, start, end, rng.choice(list(TENORS)), rng.choice([WEEK, NONE]), rng.choice(ADJUSTMENTS), rng


@pytest.mark.parametrize("stub, backward", [(S.FrontShort, True), (S.BackShort, False)])
def test_short_stubs_equal_quantlib(stub, backward):
    compared = 0
    for i, start, end, tenor, cal, (adj, _, convention), rng in random_cases(int(stub), 1500):
        holidays = random_days(np.random.default_rng(i), rng.choice([0, 0, 200]), "1990-01-01", "2040-01-01")
        try:
            want = from_ql(ql_schedule(start, end, tenor, ql_calendar(cal, holidays, f"h{i}"), convention, backward))
        except RuntimeError as e:  # QuantLib refuses a schedule that adjusts to one date
            assert "degenerate single date" in str(e)
            want = qn.adjust(end, cal, adj, holidays).reshape(1)
        got = qn.schedule(start, end, tenor, cal, adj, stub, holidays=holidays)
        np.testing.assert_array_equal(got, want, err_msg=f"{start} {end} {tenor} {cal} {adj}")
        compared += 1
    assert compared == 1500


@pytest.mark.parametrize("long, short, backward", [(S.FrontLong, S.FrontShort, True), (S.BackLong, S.BackShort, False)])
def test_long_stubs_are_short_ones_merged(long, short, backward):
    for i, start, end, tenor, cal, (adj, _, convention), rng in random_cases(int(long), 1000):
        unadjusted = list(ql_schedule(start, end, tenor, ql.NullCalendar(), ql.Unadjusted, backward))
        stubbed = not ql_schedule(start, end, tenor, ql.NullCalendar(), ql.Unadjusted, backward).isRegular(
            1 if backward else len(unadjusted) - 1)
        if stubbed and len(unadjusted) > 2:
            del unadjusted[1 if backward else -2]  # the short stub's other end
        want = np.unique(qn.adjust(from_ql(unadjusted), cal, adj))
        np.testing.assert_array_equal(qn.schedule(start, end, tenor, cal, adj, long), want)
        # Without a stub all three agree.
        if not stubbed:
            np.testing.assert_array_equal(qn.schedule(start, end, tenor, cal, adj, short), want)


def test_no_stub_is_the_forward_schedule_when_end_is_on_the_grid():
    for i, start, _, tenor, cal, (adj, _, convention), rng in random_cases(4, 500):
        n, unit = TENORS[tenor]
        k = rng.randrange(1, 40)
        end = from_ql([ql_date(start) + ql.Period(k * n, unit)])[0]
        want = from_ql(ql_schedule(start, end, tenor, ql_calendar(cal, [], ""), convention, False))
        np.testing.assert_array_equal(qn.schedule(start, end, tenor, cal, adj, S.NoStub), want)
        np.testing.assert_array_equal(qn.schedule(start, end, tenor, cal, adj, S.BackShort), want)


@pytest.mark.parametrize("stub, backward", [(S.FrontShort, True), (S.BackShort, False)])
def test_end_of_month_equals_quantlib_for_anchors_on_the_last_day(stub, backward):
    rng = random.Random(31)
    for i in range(1500):
        # The anchor on its month's last day, the other end anywhere (or on a month end too).
        month = D("1990-01", "M") + np.timedelta64(rng.randrange(600), "M")
        anchor = (month + np.timedelta64(1, "M")).astype("M8[D]") - DAYS(1)
        other = anchor + DAYS((-1 if backward else 1) * rng.randrange(1, 8000))
        if rng.random() < 0.3:
            other = (other.astype("M8[M]") + np.timedelta64(1, "M")).astype("M8[D]") - DAYS(1)
        if other == anchor:
            continue
        start, end = (other, anchor) if backward else (anchor, other)
        tenor = rng.choice(["1M", "3M", "6M", "1Y"])
        cal = rng.choice([WEEK, NONE])
        adj, _, convention = rng.choice(ADJUSTMENTS)
        want = from_ql(ql_schedule(start, end, tenor, ql_calendar(cal, [], ""), convention, backward, True))
        got = qn.schedule(start, end, tenor, cal, adj, stub, True)
        np.testing.assert_array_equal(got, want, err_msg=f"{start} {end} {tenor} {cal} {adj}")


@pytest.mark.parametrize("stub, backward", [(S.FrontShort, True), (S.BackShort, False)])
def test_end_of_month_equals_quantlib_with_holidays(stub, backward):
    # Anchors on month ends, on the last business days before them (holidays
    # and weekends at the month's end), and anywhere; QuantLib's calendar has
    # the same holidays.
    rng = random.Random(47 + backward)
    holidays = random_days(np.random.default_rng(47), 400, "1990-01-01", "2040-01-01")
    month_ends = (np.arange("1990-02", "2040-01", dtype="M8[M]").astype("M8[D]") - DAYS(1))
    holidays = np.concatenate([holidays, month_ends[::3], month_ends[::5] - DAYS(1)])
    calendars = {cal: ql_calendar(cal, holidays, f"eom{cal}{backward}") for cal in (WEEK, NONE)}
    compared = 0
    for i in range(1500):
        cal = rng.choice([WEEK, NONE])
        month_end = D(rng.choice(month_ends[12:-12]))
        anchor = rng.choice([month_end, qn.adjust(month_end, cal, A.Preceding, holidays),
                             month_end - DAYS(rng.randrange(1, 5)), month_end - DAYS(rng.randrange(5, 28))])
        other = anchor + DAYS((-1 if backward else 1) * rng.randrange(1, 6000))
        start, end = (other, anchor) if backward else (anchor, other)
        tenor = rng.choice(["1M", "3M", "6M", "1Y"])
        adj, _, convention = rng.choice(ADJUSTMENTS)
        got = qn.schedule(start, end, tenor, cal, adj, stub, True, holidays)
        try:
            want = from_ql(ql_schedule(start, end, tenor, calendars[cal], convention, backward, True))
        except RuntimeError as e:  # QuantLib refuses a schedule that adjusts to one date
            assert "degenerate single date" in str(e)
            continue
        np.testing.assert_array_equal(got, want, err_msg=f"{start} {end} {tenor} {cal} {adj}")
        compared += 1
    assert compared > 1400


def test_end_of_month_takes_the_last_business_day_as_a_month_end():
    # Friday 2020-02-28 is the last business day of its month (the 29th is a
    # Saturday): a month end under QD_WEEK, not under QD_NONE.
    week = qn.schedule(D("2019-02-28"), D("2020-02-28"), "3M", WEEK, A.Unadjusted, S.FrontShort, True)
    np.testing.assert_array_equal(week, days("2019-02-28", "2019-05-31", "2019-08-31", "2019-11-30", "2020-02-28"))
    none = qn.schedule(D("2019-02-28"), D("2020-02-28"), "3M", NONE, A.Unadjusted, S.FrontShort, True)
    np.testing.assert_array_equal(none, days("2019-02-28", "2019-05-28", "2019-08-28", "2019-11-28", "2020-02-28"))
    # 2013-03-28, the Thursday before Good Friday and Easter Monday: the month
    # ends are adjusted by the convention (June 30th 2013 is a Sunday).
    easter = days("2013-03-29", "2013-04-01")
    for adj, june in [(A.ModFollowing, "2013-06-28"), (A.Preceding, "2013-06-28"), (A.Following, "2013-07-01"),
                      (A.Unadjusted, "2013-06-30")]:
        got = qn.schedule(D("2013-03-28"), D("2014-03-28"), "3M", WEEK, adj, S.BackShort, True, easter)
        assert got[1] == D(june) and got[-1] == D("2014-03-28"), (adj, got)


# ---------------------------------------------------------------- schedules: rules and edges

def test_month_ends_do_not_drift():
    # Chained 6M steps from the 31st drift to the 30th; steps from the anchor do not.
    got = qn.schedule(q.Date(2025, 3, 31), q.Date(2030, 3, 31), "6M", WEEK, A.Unadjusted, S.NoStub)
    want = [f"{y}-{m}" for y in range(2025, 2030) for m in ("03-31", "09-30")] + ["2030-03-31"]
    np.testing.assert_array_equal(got, np.array(want, dtype="M8[D]"))
    # With the end-of-month rule a February anchor puts every date on its month's end.
    np.testing.assert_array_equal(
        qn.schedule(q.Date(2024, 2, 29), q.Date(2024, 8, 31), "2M", NONE, A.Unadjusted, S.NoStub, end_of_month=True),
        days("2024-02-29", "2024-04-30", "2024-06-30", "2024-08-31"))
    # Without it the day is clamped only where the month is short.
    np.testing.assert_array_equal(
        qn.schedule(q.Date(2024, 1, 31), q.Date(2024, 5, 31), "1M", NONE, A.Unadjusted, S.BackShort),
        days("2024-01-31", "2024-02-29", "2024-03-31", "2024-04-30", "2024-05-31"))


@pytest.mark.parametrize("stub, want", [
    (S.FrontShort, ["2025-01-15", "2025-03-31", "2025-09-30", "2026-03-31"]),
    (S.FrontLong, ["2025-01-15", "2025-09-30", "2026-03-31"]),
    (S.BackShort, ["2025-01-15", "2025-07-15", "2026-01-15", "2026-03-31"]),
    (S.BackLong, ["2025-01-15", "2025-07-15", "2026-03-31"]),
])
def test_each_stub(stub, want):
    got = qn.schedule(q.Date(2025, 1, 15), q.Date(2026, 3, 31), q.Tenor("6M"), NONE, A.Unadjusted, stub)
    np.testing.assert_array_equal(got, np.array(want, dtype="M8[D]"))


@pytest.mark.parametrize("stub", [S.FrontLong, S.BackLong])
def test_a_lone_short_period_stays(stub):
    # Shorter than one tenor: nothing to merge the stub into.
    np.testing.assert_array_equal(qn.schedule(D("2025-01-15"), D("2025-03-01"), "1Y", NONE, A.Unadjusted, stub),
                                  days("2025-01-15", "2025-03-01"))


def test_dates_that_coincide_after_adjustment_are_kept_once():
    # Daily dates over a weekend all roll to Monday.
    got = qn.schedule(D("2025-05-29"), D("2025-06-03"), "1D", WEEK, A.Following, S.NoStub)
    np.testing.assert_array_equal(got, days("2025-05-29", "2025-05-30", "2025-06-02", "2025-06-03"))
    # A weekend's two days make a one-date schedule.
    np.testing.assert_array_equal(qn.schedule(D("2025-05-31"), D("2025-06-01"), "1W", WEEK, A.Preceding,
                                              S.FrontShort), days("2025-05-30"))


@pytest.mark.parametrize("start, end, tenor, stub, first, last, size", [
    # Next to the range's ends: no step leaves the range, nothing loops.
    ("65530-06-30", "65535-12-31", "1Y", S.BackShort, "65530-06-30", "65535-12-31", 7),
    ("65535-12-30", "65535-12-31", "32767M", S.BackLong, "65535-12-30", "65535-12-31", 2),
    ("1899-01-01", "65535-12-31", "32767Y", S.FrontShort, "1899-01-01", "65535-12-31", 3),
    ("1899-01-01", "1899-03-01", "1D", S.FrontLong, "1899-01-01", "1899-03-01", 60),
    ("1899-01-01", "65535-12-31", "32767D", S.NoStub, None, None, None),
])
def test_range_edges(start, end, tenor, stub, first, last, size):
    call = lambda: qn.schedule(D(start), D(end), tenor, NONE, A.Unadjusted, stub)  # noqa: E731
    if size is None:
        raises(ValueError, f"Schedule end ({end}) is not a whole number of {tenor} periods after its start ({start}); "
                           "NoStub needs one", call)
        return
    got = call()
    assert (got[0], got[-1], got.size) == (D(first), D(last), size) and (np.diff(got) > DAYS(0)).all()


def test_a_whole_range_weekly_schedule():
    got = qn.schedule(D("1899-01-01"), D("65535-12-31"), "1W", WEEK, A.Following, S.FrontShort)
    span = 23242572 + 363  # days from the first valid date to the last
    assert got.size == span // 7 + 2 and got[0] == D("1899-01-02") and got[-1] == D("65535-12-31")
    np.testing.assert_array_equal(np.diff(got[1:]), DAYS(7))


def test_start_and_end_as_any_single_date_like():
    want = qn.schedule(q.Date(2025, 1, 15), q.Date(2026, 1, 15), "3M", WEEK, A.ModFollowing, S.NoStub)
    for start, end in [(datetime.date(2025, 1, 15), datetime.datetime(2026, 1, 15, 12)),
                       (D("2025-01-15"), D("2026-01-15T23:00")),
                       (np.array("2025-01-15", dtype="M8[D]"), q.Date(2026, 1, 15))]:
        np.testing.assert_array_equal(qn.schedule(start, end, "3M", WEEK, A.ModFollowing, S.NoStub), want)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    (("2025-01-15", "2026-01-15"), {}, TypeError, "argument 'start': 'str' object cannot be converted to 'Date'"),
    ((days("2025-01-15"), D("2026-01-15")), {}, TypeError,
     "argument 'start': 'ndarray' object cannot be converted to 'Date'"),
    ((D("2025-01-15"), [D("2026-01-15")]), {}, TypeError,
     "argument 'end': 'list' object cannot be converted to 'Date'"),
    ((D("NaT", "D"), D("2026-01-15")), {}, ValueError, "Schedule start (NaT) must be a date"),
    ((D("2025-01-15"), None), {}, ValueError, "Schedule end (NaT) must be a date"),
    ((D("2026-01-15"), D("2026-01-15")), {}, ValueError,
     "Schedule start (2026-01-15) must be before its end (2026-01-15)"),
    ((D("2026-01-16"), D("2026-01-15")), {}, ValueError,
     "Schedule start (2026-01-16) must be before its end (2026-01-15)"),
    ((D("2025-01-15"), D("2026-01-15")), {"tenor": "0M"}, ValueError, "Schedule tenor (0M) must be positive"),
    ((D("2025-01-15"), D("2026-01-15")), {"tenor": "-3M"}, ValueError, "Schedule tenor (-3M) must be positive"),
    ((D("2025-01-15"), D("2026-01-15")), {"tenor": "5B"}, ValueError,
     "Schedule tenor (5B) cannot be in business days; use D, W, M or Y"),
    ((D("2025-01-15"), D("2026-01-15")), {"tenor": "3m"}, ValueError,
     "Invalid tenor unit (m), can only have D, B, W, M, Y"),
    ((D("2025-01-15"), D("2026-01-15")), {"tenor": 3}, TypeError,
     "argument 'tenor': 'int' object cannot be converted to 'Tenor'"),
    ((D("2025-01-15"), D("2026-01-15")), {"cal": "QD_WEEK"}, TypeError,
     "argument 'cal': 'str' object is not a Calendar, BusinessCalendar or numpy.busdaycalendar"),
    ((D("2025-01-15"), D("2026-01-15")), {"bus_day_adj": 3}, TypeError,
     "argument 'bus_day_adj': 'int' object cannot be converted to 'BusDayAdj'"),
    ((D("2025-01-15"), D("2026-01-15")), {"stub_type": A.Following}, TypeError,
     "argument 'stub_type': 'BusDayAdj' object cannot be converted to 'StubType'"),
    ((D("2025-01-15"), D("2026-02-15")), {"stub_type": S.NoStub}, ValueError,
     "Schedule end (2026-02-15) is not a whole number of 3M periods after its start (2025-01-15); NoStub needs one"),
    ((D("2025-01-15"), D("2026-01-15")), {"end_of_month": None}, TypeError,
     "argument 'end_of_month': 'NoneType' object cannot be converted to 'PyBool'"),
])
def test_schedule_errors(args, kwargs, exc, message):
    given = dict(tenor="3M", cal=WEEK, bus_day_adj=A.Following, stub_type=S.FrontShort) | kwargs
    raises(exc, message, lambda: qn.schedule(*args, **given))


def test_adjust_over_threads_and_the_first_failure():
    rng = np.random.default_rng(7)
    dates = random_days(rng, 400_000, "1899-01-01", "1920-12-31")
    dates[dates == D("1899-01-01")] = D("1899-01-02")
    dates[[150_000, 390_000]] = D("1899-01-01")  # no business day before it: two chunks fail
    previous = qn.set_num_threads(1)
    try:
        one = qn.adjust(dates[:140_000], WEEK, A.ModFollowing, dates[::1000])
        message = panic_message(lambda: qn.adjust(dates, WEEK, A.Preceding))
    finally:
        qn.set_num_threads(previous)
    np.testing.assert_array_equal(qn.adjust(dates[:140_000], WEEK, A.ModFollowing, dates[::1000]), one)
    assert panic_message(lambda: qn.adjust(dates, WEEK, A.Preceding)) == message
    assert message.endswith("(at index 150000)")
