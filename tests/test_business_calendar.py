"""Business calendars as values and the markets' calendars, against the
holidays package day by day, QuantLib's NYSE and TARGET calendars, and
numpy's business-day functions."""
import datetime
import pickle

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import panic_message, raises

holidays = pytest.importorskip("holidays")
ql = pytest.importorskip("QuantLib")

DAY = np.timedelta64(1, "D")
WEEK = q.Calendar("QD_WEEK")


def days(*texts):
    return np.array(texts, dtype="M8[D]")


def business(dates, cal):
    """Whether each date is a business day, as a count of one day."""
    return qn.business_days_between(dates, dates + DAY, cal) == 1


def random_days(rng, n, lo="1990-01-01", hi="2030-12-31"):
    lo, hi = np.datetime64(lo, "D").astype(np.int64), np.datetime64(hi, "D").astype(np.int64)
    return rng.integers(lo, hi + 1, n).astype("M8[D]")


# ---------------------------------------------------------------- market calendars against the package

def package_working_days(name, first, last):
    """is_working_day of every day of the years, from the package's own data
    (and its is_weekend day by day where a market's weekend changes)."""
    h = holidays.financial_holidays(name, years=range(first, last + 1))
    dates = np.arange(f"{first}-01-01", f"{last + 1}-01-01", dtype="M8[D]")
    weekday = (dates.astype(np.int64) + 3) % 7  # 1970-01-01 was a Thursday
    if type(h)._get_weekend is holidays.HolidayBase._get_weekend:
        off = np.isin(weekday, list(h.weekend))
    else:
        off = np.array([h.is_weekend(d) for d in dates.tolist()])
    listed = np.isin(dates, np.array(list(h.keys()), dtype="M8[D]"))
    worked = np.isin(dates, np.array(list(h.weekend_workdays), dtype="M8[D]"))
    return dates, np.where(off, worked, ~listed), h


@pytest.mark.parametrize("name", sorted(holidays.list_supported_financial()))
def test_every_market_calendar_equals_the_package_day_by_day(name):
    cal = qn.calendar(name)
    first, last = (d.item().year for d in cal.range)
    cls = type(holidays.financial_holidays(name))
    assert (first, last) == (max(cls.start_year, 1899), cls.end_year)
    dates, want, h = package_working_days(name, first, last)
    np.testing.assert_array_equal(business(dates, cal), want)
    # The package's own question on a sample of days.
    sample = np.random.default_rng(len(name)).choice(dates.size, 300)
    assert [h.is_working_day(d) for d in dates[sample].tolist()] == want[sample].tolist()
    # Looked up once: the same object again.
    assert qn.calendar(name) is cal and cal.name == name


@pytest.mark.parametrize("name, theirs", [("XNYS", lambda: ql.UnitedStates(ql.UnitedStates.NYSE)),
                                          ("XECB", ql.TARGET)])
def test_nyse_and_target_equal_quantlib_2000_to_2040(name, theirs):
    # The two sources agree on every day of these years (special closings
    # such as 2001-09-11..14, 2012-10-29..30 and national days of mourning
    # included); a later difference would show here with its dates.
    cal, theirs = qn.calendar(name, years=range(2000, 2041)), theirs()
    dates = np.arange("2000-01-01", "2041-01-01", dtype="M8[D]")
    want = np.array([theirs.isBusinessDay(ql.Date(d.day, d.month, d.year)) for d in dates.tolist()])
    differ = dates[business(dates, cal) != want]
    assert differ.tolist() == []


def test_nyse_saturday_sessions_are_business_days_on_weekend_days():
    cal = qn.calendar("XNYS")
    # Saturdays were trading days until 1952 (but in the summers' "Closed Saturdays").
    assert business(days("1952-05-24", "1952-05-31", "1952-10-04"), cal).tolist() == [True, False, False]
    assert cal.weekmask == "1111100" and cal.extra_days[-1] == np.datetime64("1952-05-24")
    assert repr(cal) == ("BusinessCalendar('XNYS', weekmask='1111100', 2116 holidays, "
                         "2475 business days on weekends, 1899-01-01 to 2100-12-31)")
    raises(ValueError, "BusinessCalendar XNYS has 2475 business days on weekend days (the first 1899-01-07), "
                       "which numpy.busdaycalendar cannot hold", cal.to_busdaycalendar)
    # From 1953 on NumPy can hold it: the same days either way.
    later = qn.calendar("XNYS", years=range(1953, 2101))
    numpy_cal = later.to_busdaycalendar()
    dates = np.arange("1953-01-01", "2101-01-01", dtype="M8[D]")
    np.testing.assert_array_equal(np.is_busday(dates, busdaycal=numpy_cal), business(dates, later))
    assert qn.BusinessCalendar(numpy_cal.weekmask, numpy_cal.holidays) == qn.BusinessCalendar(holidays=later.holidays)


def test_years_and_their_errors():
    cal = qn.calendar("XECB", years=2024)
    assert cal.range == (np.datetime64("2024-01-01"), np.datetime64("2024-12-31"))
    assert qn.calendar("XECB", years={2030, 2024, 2027}).range[1] == np.datetime64("2030-12-31")
    assert qn.calendar("XECB", years=range(2024, 2025)) is qn.calendar("XECB", years=[2024])
    assert qn.calendar("XECB", years=2024) != qn.calendar("XECB", years=2025)
    raises(ValueError, "Years (1990 to 2000) must be within XECB's (1999 to 2100)",
           lambda: qn.calendar("XECB", years=range(1990, 2001)))
    raises(ValueError, "Years (none) must name at least one year", lambda: qn.calendar("XECB", years=[]))
    raises(TypeError, "argument 'years': 'float' object cannot be converted to 'years'",
           lambda: qn.calendar("XECB", years=2024.0))
    raises(TypeError, "argument 'years': 'str' object cannot be converted to 'year'",
           lambda: qn.calendar("XECB", years=["2024"]))
    raises(TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'", lambda: qn.calendar(1))
    with pytest.raises(ValueError) as info:
        qn.calendar("NYSEX")
    names = ", ".join(sorted(holidays.list_supported_financial()))
    assert info.value.args == (f"Unknown calendar (NYSEX); the holidays package's financial calendars are {names}",)


@pytest.mark.parametrize("call", [
    lambda cal, d: qn.add_business_days(d, 1, cal),
    lambda cal, d: qn.add_business_days(d, -1, cal),
    lambda cal, d: qn.business_days_between(d, np.datetime64("2024-06-03"), cal),
    lambda cal, d: qn.business_days_between(np.datetime64("2024-06-03"), d, cal),
])
def test_dates_outside_a_calendars_range_are_errors(call):
    cal = qn.calendar("XECB", years=range(2020, 2025))
    raises(ValueError, "Date (2025-01-02) is outside the calendar's range (2020-01-01 to 2024-12-31) (at index 1)",
           lambda: call(cal, days("2024-01-02", "2025-01-02")))
    raises(ValueError, "Date (2019-12-30) is outside the calendar's range (2020-01-01 to 2024-12-31) (at index 0)",
           lambda: call(cal, days("2019-12-30")))


def test_steps_that_leave_the_range():
    cal = qn.calendar("XECB", years=range(2020, 2025))
    raises(ValueError, "Date 2024-12-31 plus 1 business day is outside the calendar's range "
                       "(2020-01-01 to 2024-12-31) (at index 0)",
           lambda: qn.add_business_days(days("2024-12-31"), 1, cal))
    raises(ValueError, "Date 2020-01-03 minus 3 business days is outside the calendar's range "
                       "(2020-01-01 to 2024-12-31) (at index 0)",
           lambda: qn.add_business_days(days("2020-01-03"), -3, cal))
    # Counting up to the day after the range examines only days inside it.
    assert qn.business_days_between(np.datetime64("2024-12-20"), np.datetime64("2025-01-01"), cal) == 6
    assert qn.business_days_between(np.datetime64("2020-01-10"), np.datetime64("2019-12-31"), cal) == -7


# ---------------------------------------------------------------- the value

def test_construction_forms_and_equality():
    plain = qn.BusinessCalendar()
    assert plain == qn.BusinessCalendar("Mon Tue Wed Thu Fri") == qn.BusinessCalendar([1, 1, 1, 1, 1, 0, 0])
    assert plain.weekmask == "1111100" and plain.holidays.size == 0 and plain.range is None and plain.name is None
    # Holidays in every form numpy.busday_offset takes, and more; weekend days
    # and NaT change nothing, repeats count once.
    given = qn.BusinessCalendar(holidays=[
        "2025-12-25", datetime.date(2025, 12, 26), np.datetime64("2026-01-01T09:30"), q.Date(2025, 12, 26),
        datetime.datetime(2026, 4, 3, 23, 59), None, np.datetime64("NaT", "D"), "2025-12-27"])
    np.testing.assert_array_equal(given.holidays, days("2025-12-25", "2025-12-26", "2026-01-01", "2026-04-03"))
    same = qn.BusinessCalendar(holidays={np.datetime64("2026-04-03"), np.datetime64("2026-01-01"),
                                         np.datetime64("2025-12-26"), np.datetime64("2025-12-25")})
    assert given == same and hash(given) == hash(same) and len({given, same, plain}) == 2
    assert given != plain and given != "calendar" and not (given == WEEK)
    assert repr(given) == "BusinessCalendar(weekmask='1111100', 4 holidays)"
    assert repr(qn.BusinessCalendar("1111110", ["2025-01-01"])) == "BusinessCalendar(weekmask='1111110', 1 holiday)"


def test_the_holidays_packages_objects_are_holiday_lists():
    h = holidays.financial_holidays("XNYS", years=[2024, 2025])
    cal = qn.BusinessCalendar(holidays=h)
    np.testing.assert_array_equal(cal.holidays, np.array(sorted(h), dtype="M8[D]"))
    np.testing.assert_array_equal(business(np.arange("2024-01-01", "2026-01-01", dtype="M8[D]"), cal),
                                  np.is_busday(np.arange("2024-01-01", "2026-01-01", dtype="M8[D]"),
                                               holidays=list(h)))


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"weekmask": "0000000"}, ValueError, "Weekmask (0000000) must have at least one business day"),
    ({"weekmask": [0] * 7}, ValueError, "Weekmask (0000000) must have at least one business day"),
    ({"weekmask": "111110"}, ValueError, 'Weekmask (111110) must be seven characters 0 or 1, Monday first, '
                                         'or weekday names such as "Mon Tue Wed Thu Fri"'),
    ({"weekmask": "Mon Tue Mon"}, ValueError, 'Weekmask (Mon Tue Mon) must be seven characters 0 or 1, Monday '
                                              'first, or weekday names such as "Mon Tue Wed Thu Fri"'),
    ({"weekmask": [1, 1, 1]}, ValueError, "Weekmask (3 flags) must have seven flags, Monday first"),
    ({"weekmask": 31}, TypeError, "argument 'weekmask': 'int' object cannot be converted to 'weekmask'"),
    ({"weekmask": [1, 1, 1, 1, 1, 0, "0"]}, TypeError,
     "argument 'weekmask': 'str' object cannot be converted to 'weekmask flag'"),
    ({"holidays": "2025-12-25"}, TypeError, "argument 'holidays': 'str' object cannot be converted to 'list of dates'"),
    ({"holidays": 20251225}, TypeError, "argument 'holidays': 'int' object is not iterable"),
    ({"holidays": ["2025-12-25", 20251225]}, TypeError,
     "argument 'holidays': 'int' object cannot be converted to 'Date' (at index 1)"),
    ({"holidays": ["25/12/2025"]}, ValueError, "argument 'holidays': '25/12/2025' is not an ISO date (at index 0)"),
])
def test_construction_errors(kwargs, exc, message):
    raises(exc, message, lambda: qn.BusinessCalendar(**kwargs))


def test_joins():
    a = qn.BusinessCalendar("1111100", ["2025-12-25", "2025-12-26"])
    b = qn.BusinessCalendar("1111110", ["2025-12-25", "2026-01-01"])
    both = a | b
    assert both.weekmask == "1111100" and both == b | a
    np.testing.assert_array_equal(both.holidays, days("2025-12-25", "2025-12-26", "2026-01-01"))
    # Either side may be a quillander.Calendar or a numpy.busdaycalendar.
    assert a | WEEK == a and WEEK | a == a and a | q.Calendar("QD_NONE") == a
    assert (np.busdaycalendar("1111110", ["2026-01-01"]) | a) == a | qn.BusinessCalendar("1111110", ["2026-01-01"])
    with pytest.raises(TypeError):
        a | "XNYS"
    # A market's worked Saturdays stay business days only where both work them.
    nyse, none = qn.calendar("XNYS", years=range(1950, 1953)), qn.BusinessCalendar("1111111")
    assert (nyse | none) == nyse and (nyse | a).extra_days.size == 0
    # A join covers the days both cover.
    ecb = qn.calendar("XECB", years=range(1999, 2100))
    assert (nyse | qn.calendar("XNYS", years=range(1951, 1960))).range == (np.datetime64("1951-01-01"),
                                                                           np.datetime64("1952-12-31"))
    raises(ValueError, "The calendars cover no common day (1950-01-01 to 1952-12-31 and 1999-01-01 to 2099-12-31)",
           lambda: nyse | ecb)
    raises(ValueError, "Weekmask (0000000) must have at least one business day",
           lambda: qn.BusinessCalendar("1110000") | qn.BusinessCalendar("0001111"))


def test_join_of_three_markets_is_the_package_days_of_each():
    names = ["XNYS", "XECB", "XLON"]
    cals = [qn.calendar(n, years=range(2000, 2041)) for n in names]
    joined = cals[0] | cals[1] | cals[2]
    assert joined.name == "XNYS | XECB | XLON"
    dates = np.arange("2000-01-01", "2041-01-01", dtype="M8[D]")
    np.testing.assert_array_equal(business(dates, joined), np.logical_and.reduce([business(dates, c) for c in cals]))


def test_pickling_keeps_the_days():
    for cal in (qn.calendar("XNYS"), qn.BusinessCalendar("1111110", ["2025-12-25"]),
                qn.calendar("XECB") | qn.calendar("XNYS")):
        back = pickle.loads(pickle.dumps(cal))
        assert back == cal and hash(back) == hash(cal) and repr(back) == repr(cal) and back.range == cal.range
        np.testing.assert_array_equal(back.extra_days, cal.extra_days)


def test_calendars_are_immutable():
    cal = qn.BusinessCalendar(holidays=["2025-12-25"])
    with pytest.raises(AttributeError):
        cal.weekmask = "1111111"
    cal.holidays[0] = np.datetime64("2000-01-03")  # a copy
    assert cal.holidays[0] == np.datetime64("2025-12-25")
    with pytest.raises(TypeError):
        type("Sub", (qn.BusinessCalendar,), {})


# ---------------------------------------------------------------- business-day arithmetic against numpy

@pytest.mark.parametrize("weekmask", ["1111100", "1010101", "0000011", "1111111", "0100000"])
def test_add_business_days_and_counts_equal_numpy(weekmask):
    rng = np.random.default_rng(int(weekmask, 2))
    holiday_list = random_days(rng, 2000)
    runs = np.concatenate([h + np.arange(9).astype("m8[D]") for h in random_days(rng, 100)])
    holiday_list = np.concatenate([holiday_list, runs])
    numpy_cal = np.busdaycalendar(weekmask, holiday_list)
    dates = random_days(rng, 100_000, "1985-01-01", "2035-12-31")
    n = rng.integers(-30, 31, dates.size)
    n[:2000] = rng.integers(-3000, 3001, 2000)  # long strides, counted rather than stepped
    want = np.where(n > 0, np.busday_offset(dates, n, roll="preceding", busdaycal=numpy_cal),
                    np.busday_offset(dates, n, roll="following", busdaycal=numpy_cal))
    ends = dates + rng.integers(-400, 400, dates.size).astype("m8[D]")
    counts = np.busday_count(dates, ends, busdaycal=numpy_cal)
    ours = qn.BusinessCalendar(weekmask, holiday_list)
    for cal, extra in [(ours, None), (numpy_cal, None), (qn.BusinessCalendar(weekmask), holiday_list)]:
        got = qn.add_business_days(dates, n, cal, extra)
        assert got.dtype == np.dtype("M8[D]")
        np.testing.assert_array_equal(got, want)
        np.testing.assert_array_equal(qn.business_days_between(dates, ends, cal, extra), counts)


def test_add_business_days_is_quantlibs_advance():
    cal = qn.calendar("XECB", years=range(2000, 2041))
    theirs = ql.TARGET()
    rng = np.random.default_rng(3)
    dates = random_days(rng, 3000, "2001-01-01", "2039-12-31")
    n = rng.integers(-40, 41, dates.size)
    got = qn.add_business_days(dates, n, cal)
    for d, k, g in zip(dates.tolist(), n.tolist(), got.tolist()):
        want = theirs.advance(ql.Date(d.day, d.month, d.year), int(k), ql.Days)
        assert (want.year(), want.month(), want.dayOfMonth()) == (g.year, g.month, g.day), (d, k)


def test_business_day_steps_broadcast_and_keep_nat():
    cal = qn.BusinessCalendar(holidays=["2025-12-25", "2025-12-26"])
    trade = days("2025-12-23", "2025-12-24", "NaT").reshape(3, 1)
    got = qn.add_business_days(trade, [-1, 0, 1, 2], cal)  # (3, 1) by (4,)
    assert got.shape == (3, 4)
    np.testing.assert_array_equal(got[:2], days("2025-12-22", "2025-12-23", "2025-12-24", "2025-12-29",
                                                "2025-12-23", "2025-12-24", "2025-12-29", "2025-12-30").reshape(2, 4))
    assert np.isnat(got[2]).all()
    # One date in, one datetime64 out; a quillander.Calendar with one-off holidays.
    assert qn.add_business_days(q.Date(2025, 12, 24), 1, WEEK, ["2025-12-25", "2025-12-26"]) == \
        np.datetime64("2025-12-29")
    assert qn.business_days_between(q.Date(2025, 12, 22), datetime.date(2026, 1, 5), cal) == 8
    raises(ValueError, "Cannot convert NaT to a count of business days (at index 1)",
           lambda: qn.business_days_between(days("2025-12-22", "NaT"), days("2025-12-24"), cal))


def test_add_business_days_errors():
    cal = qn.BusinessCalendar()
    raises(TypeError, "argument 'n': 'float' object cannot be interpreted as an integer (at index 0)",
           lambda: qn.add_business_days(days("2025-01-01"), 1.0, cal))
    raises(TypeError, "argument 'cal': 'str' object is not a Calendar, BusinessCalendar or numpy.busdaycalendar",
           lambda: qn.add_business_days(days("2025-01-01"), 1, "XNYS"))
    # An array of calendars, one an element, holds BusinessCalendars.
    raises(TypeError, "argument 'cal': 'Calendar' object cannot be converted to 'BusinessCalendar' (at index 1)",
           lambda: qn.add_business_days(days("2025-01-03"), 1, [cal, WEEK]))
    assert qn.add_business_days(days("2025-01-03"), 1, [cal, qn.BusinessCalendar("1111110")]).tolist() == [
        datetime.date(2025, 1, 6), datetime.date(2025, 1, 4)]
    raises(TypeError, "argument 'holidays': 'int' object is not iterable",
           lambda: qn.add_business_days(days("2025-01-01"), 1, cal, 20250101))
    # Past the last representable date, and more business days than there are days.
    assert panic_message(lambda: qn.add_business_days(days("65535-12-29"), 3, cal)) == \
        "Date 65535-12-29 plus 3 business days is after 65535-12-31, the last representable date (at index 0)"
    assert panic_message(lambda: qn.add_business_days(days("2025-01-01"), -(2 ** 62), cal)).startswith(
        "Date 2025-01-01 minus 4611686018427387904 business days is before 1899-01-01")


def test_long_runs_of_holidays_are_crossed_at_once():
    # Every day of 2025 a holiday, and Sundays the only business weekday.
    year = np.arange("2025-01-01", "2026-01-01", dtype="M8[D]")
    cal = qn.BusinessCalendar("0000001", year)
    assert qn.add_business_days(days("2024-12-31"), [1, 2], cal).tolist() == [
        datetime.date(2026, 1, 4), datetime.date(2026, 1, 11)]
    assert qn.add_business_days(days("2026-01-03"), -1, cal) == np.datetime64("2024-12-29")
    assert qn.business_days_between(np.datetime64("2024-12-01"), np.datetime64("2026-02-01"), cal) == 9
    # A million business days on from 1900: counted, not stepped.
    far = qn.add_business_days(days("1900-01-01"), 1_000_000, qn.BusinessCalendar())
    assert np.busday_count(np.datetime64("1900-01-01"), far[0]) == 1_000_000


# ---------------------------------------------------------------- every calendar argument, every array kind

def test_the_three_calendar_kinds_give_the_same_answers():
    rng = np.random.default_rng(12)
    dates = random_days(rng, 50_000, "1990-01-01", "2030-12-31")
    dates[::97] = np.datetime64("NaT", "D")
    holiday_list = random_days(rng, 500)
    kinds = [WEEK, qn.BusinessCalendar(holidays=holiday_list[:0]), np.busdaycalendar()]
    for cal in kinds:
        for extra in (None, holiday_list):
            want = np.is_busday(dates[~np.isnat(dates)], holidays=[] if extra is None else extra)
            got = qn.is_business_day(dates, cal, extra)
            np.testing.assert_array_equal(got[~np.isnat(dates)], want)
            assert not got[np.isnat(dates)].any()
            for adj, roll in [(q.BusDayAdj.ModFollowing, "modifiedfollowing"), (q.BusDayAdj.Preceding, "preceding")]:
                rolled = qn.adjust(dates, cal, adj, extra)
                np.testing.assert_array_equal(rolled[~np.isnat(dates)], np.busday_offset(
                    dates[~np.isnat(dates)], 0, roll=roll, holidays=[] if extra is None else extra))
        np.testing.assert_array_equal(qn.is_weekend(dates, cal), qn.is_weekend(dates, WEEK))
    # A market calendar and NumPy's of the same days.
    nyse = qn.calendar("XNYS", years=range(1990, 2031))
    np.testing.assert_array_equal(qn.is_business_day(dates, nyse), qn.is_business_day(dates, nyse.to_busdaycalendar()))


def test_is_weekend_answers_from_the_weekmask():
    nyse = qn.calendar("XNYS", years=range(1950, 1953))
    saturday_session = days("1952-05-24")
    assert qn.is_weekend(saturday_session, nyse).tolist() == [True]
    assert qn.is_business_day(saturday_session, nyse).tolist() == [True]
    raises(ValueError, "Date (1953-01-03) is outside the calendar's range (1950-01-01 to 1952-12-31) (at index 1)",
           lambda: qn.is_weekend(days("1952-12-27", "1953-01-03"), nyse))
    raises(ValueError, "Date (1953-01-02) is outside the calendar's range (1950-01-01 to 1952-12-31)",
           lambda: qn.is_business_day(np.datetime64("1953-01-02"), nyse))


TWINS = {  # name: its arguments around the dates
    "is_business_day": lambda d: (d, qn.calendar("XECB")),
    "is_weekend": lambda d: (d, qn.BusinessCalendar("1111110")),
    "adjust": lambda d: (d, qn.calendar("XECB"), q.BusDayAdj.ModFollowing),
    "add_business_days": lambda d: (d, 2, qn.calendar("XECB")),
    "business_days_between": lambda d: (np.datetime64("2015-06-30"), d, qn.calendar("XECB")),
    "year_fraction": lambda d: (d, np.datetime64("2030-06-30"), "30E/360 ISDA"),
}


@pytest.mark.parametrize("name", sorted(TWINS))
def test_twins_over_pandas_xarray_dask_out_and_where(name):
    pd = pytest.importorskip("pandas")
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    twin = getattr(qn, name)
    dates = random_days(np.random.default_rng(4), 2000, "2001-01-01", "2029-12-31")
    whole = twin(*TWINS[name](dates))
    # pandas keeps the index, xarray the coordinates, Dask stays lazy.
    series = pd.Series(dates, index=np.arange(dates.size) * 3)
    got = twin(*TWINS[name](series))
    assert isinstance(got, pd.Series) and (got.index == series.index).all()
    np.testing.assert_array_equal(got.to_numpy(), whole)
    array = xr.DataArray(dates, dims="t", coords={"t": np.arange(dates.size)})
    got = twin(*TWINS[name](array))
    assert isinstance(got, xr.DataArray) and got.dims == ("t",)
    np.testing.assert_array_equal(got.values, whole)
    lazy = twin(*TWINS[name](da.from_array(dates, chunks=300)))
    assert isinstance(lazy, da.Array)
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), whole)
    # out= is filled, where= leaves the rest alone.
    out = np.zeros_like(whole)
    assert twin(*TWINS[name](dates), out=out) is out
    np.testing.assert_array_equal(out, whole)
    mask = np.arange(dates.size) % 3 == 0
    kept = np.zeros_like(whole)
    twin(*TWINS[name](dates), out=kept, where=mask)
    np.testing.assert_array_equal(kept[mask], whole[mask])
    assert (kept[~mask] == np.zeros_like(whole)[~mask]).all()


def test_calendars_travel_to_dask_workers():
    distributed = pytest.importorskip("dask.distributed")
    da = pytest.importorskip("dask.array")
    dates = random_days(np.random.default_rng(8), 5000, "2001-01-01", "2029-12-31")
    cal = qn.calendar("XNYS") | qn.calendar("XLON")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        lazy = qn.add_business_days(da.from_array(dates, chunks=1000), 2, cal, holidays=["2010-06-01"])
        got = client.compute(lazy).result()
    np.testing.assert_array_equal(got, qn.add_business_days(dates, 2, cal, ["2010-06-01"]))
