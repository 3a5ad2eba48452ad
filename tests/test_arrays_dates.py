"""Dates in arrays: conversions, tenors, calendars, day counts, interpolation,
curves and the dated Black-Scholes twins of quillander_numpy.

Each twin is checked element by element against the scalar quillander call,
bit for bit; the calendar arithmetic is checked over every day of the range
against NumPy's own datetime64 arithmetic, which nobody here wrote.
"""
import datetime
import math
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest

import quillander as q
import quillander_numpy as qn
from support import MAX_SERIAL, MIN_SERIAL, panic_message, raises

EPOCH = np.datetime64("1899-12-30", "D")
ALL_SERIALS = np.arange(MIN_SERIAL, MAX_SERIAL + 1, dtype=np.int64)
CHUNK = 1 << 22


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def scalar_floats(values):
    return np.array([math.nan if v is None else v for v in values], dtype=np.float64)


def assert_same_floats(got, want):
    assert got.shape == want.shape
    np.testing.assert_array_equal(bits(got), bits(want))


@pytest.fixture(scope="module")
def sample():
    """Serials spread over the range, its edges and the days around leap days."""
    rng = np.random.default_rng(14)
    edges = [MIN_SERIAL, MIN_SERIAL + 1, -1, 0, 1, 2, 59, 60, 61, 36526, 45351, MAX_SERIAL - 1, MAX_SERIAL]
    near = rng.integers(0, 80000, 3000)
    far = rng.integers(MIN_SERIAL, MAX_SERIAL + 1, 3000)
    return np.unique(np.concatenate([edges, near, far]))


def dates_of(serials):
    return [q.Date(2000, 1, 1) + int(s - 36526) for s in serials]


# ---------------------------------------------------------------- conversions, every day


def test_serials_and_datetime64_agree_on_every_day():
    days = qn.from_int(ALL_SERIALS)
    assert days.dtype == np.dtype("M8[D]")
    np.testing.assert_array_equal(days, EPOCH + ALL_SERIALS.astype("m8[D]"))
    np.testing.assert_array_equal(qn.to_int(days), ALL_SERIALS)
    np.testing.assert_array_equal(qn.weekday(days), (ALL_SERIALS - 2) % 7)
    np.testing.assert_array_equal(qn.to_datetime64(days), days)


def test_conversions_match_the_scalar_date(sample):
    dates = dates_of(sample)
    assert [d.to_int() for d in dates] == sample.tolist()
    np.testing.assert_array_equal(qn.to_int(dates), sample)
    back = qn.to_dates(qn.from_int(sample))
    assert [(d.year(), d.month(), d.day()) for d in back] == [(d.year(), d.month(), d.day()) for d in dates]
    assert qn.weekday(dates).tolist() == [int(d.weekday()) for d in dates]


def months_later(days, n):
    """datetime64[D] plus n months by NumPy's month arithmetic, clamped to the month's end."""
    months = days.astype("M8[M]")
    day = (days - months.astype("M8[D]")).astype(np.int64)
    target = months + np.timedelta64(n, "M")
    start = target.astype("M8[D]")
    length = ((target + np.timedelta64(1, "M")).astype("M8[D]") - start).astype(np.int64)
    return start + np.minimum(day, length - 1)


@pytest.mark.parametrize("tenor, months", [("1M", 1), ("3M", 3), ("-1M", -1), ("-13M", -13), ("1Y", 12)])
def test_month_tenors_on_every_day(tenor, months):
    low, high = qn.from_int(MIN_SERIAL), qn.from_int(MAX_SERIAL)
    for begin in range(0, ALL_SERIALS.size, CHUNK):
        days = qn.from_int(ALL_SERIALS[begin:begin + CHUNK])
        want = months_later(days, months)
        inside = (want >= low) & (want <= high)
        np.testing.assert_array_equal(qn.add_tenor(days[inside], tenor), want[inside])


@pytest.mark.parametrize("tenor, step", [("-1D", -1), ("2W", 14), ("-32768D", -32768)])
def test_day_and_week_tenors_on_every_day(tenor, step):
    days = qn.from_int(ALL_SERIALS)
    inside = (ALL_SERIALS + step >= MIN_SERIAL) & (ALL_SERIALS + step <= MAX_SERIAL)
    np.testing.assert_array_equal(qn.add_tenor(days[inside], tenor), days[inside] + np.timedelta64(step, "D"))


@pytest.mark.parametrize("tenor", ["1M", "3M", "-1M", "1Y", "-25M", "12M", "0M", "5D", "-1W", "32767M"])
def test_add_tenor_matches_the_scalar_call(sample, tenor):
    dates = dates_of(sample)
    want, keep = [], []
    for i, d in enumerate(dates):
        try:
            want.append(d.add_tenor(tenor).to_int())
            keep.append(i)
        except BaseException:  # noqa: BLE001 - the failing ones are checked below
            pass
    got = qn.to_int(qn.add_tenor(qn.from_int(sample[keep]), tenor))
    assert got.tolist() == want
    # Repeated days take the per-day route; the answers are the same.
    repeated = np.repeat(qn.from_int(sample[keep][:50]), 40)
    np.testing.assert_array_equal(qn.add_tenor(repeated, tenor), np.repeat(qn.from_int(want[:50]), 40))


@pytest.mark.parametrize("serial, tenor", [(MIN_SERIAL, "-1D"), (MIN_SERIAL + 20, "-1M"), (MAX_SERIAL, "1D"),
                                           (MAX_SERIAL - 20, "1M"), (45306, "-200Y"), (45306, "1B"),
                                           (MAX_SERIAL, "32767Y"), (45306, "-32768M")])
def test_add_tenor_fails_as_the_scalar_call_with_the_index(serial, tenor):
    scalar = panic_message(lambda: q.Date(2000, 1, 1).__add__(int(serial - 36526)).add_tenor(tenor))
    days = qn.from_int([0, serial, serial])
    days[0] = np.datetime64("NaT", "D")  # skipped, as NaT never fails
    assert panic_message(lambda: qn.add_tenor(days, tenor)) == scalar + " (at index 1)"
    many = np.repeat(days, 10)
    assert panic_message(lambda: qn.add_tenor(many, tenor)) == scalar + " (at index 10)"


# ---------------------------------------------------------------- what counts as dates


def test_date_likes_of_every_kind_give_the_same_days():
    want = np.array(["2024-01-15", "NaT", "1899-01-01", "65535-12-31"], dtype="M8[D]")
    inputs = [
        [q.Date(2024, 1, 15), None, q.Date(1899, 1, 1), q.Date(65535, 12, 31)],
        [datetime.date(2024, 1, 15), pd.NaT, datetime.date(1899, 1, 1), datetime.date(9999, 12, 31)],
        want,
        want.astype("M8[s]") + np.array([3600 * 23, 0, 1, 86399]).astype("m8[s]"),
        list(want),
        (datetime.datetime(2024, 1, 15, 23, 59), np.datetime64("NaT", "D"), np.datetime64("1899-01-01T12", "h"),
         q.Date(65535, 12, 31)),
    ]
    for given in inputs:
        got = qn.to_datetime64(given)
        if isinstance(given[-1], datetime.date) and not isinstance(given[-1], q.Date):
            got[-1] = want[-1]  # datetime.date stops at 9999
        np.testing.assert_array_equal(got, want)


def test_datetime64_units_are_floored_to_days():
    instants = np.array(["1969-12-31T23:00", "1899-01-01T00:00", "1970-01-01T00:00"], dtype="M8[m]")
    assert qn.to_int(instants).tolist() == [25568, MIN_SERIAL, 25569]
    assert qn.to_int(np.array(["2024-02", "2024"], dtype="M8[M]")).tolist() == [45323, 45292]
    assert qn.to_int(np.array(["2024-01-01"], dtype="M8[W]")).tolist() == [qn.to_int(np.datetime64("2023-12-28"))]


def test_pandas_columns():
    column = pd.Series(pd.to_datetime(["2024-01-15 10:30", None, "2024-03-02 00:00"]), index=[7, 8, 9])
    days = qn.to_datetime64(column)
    assert type(days) is pd.Series and days.index.equals(column.index)
    assert days.to_numpy().astype("M8[D]").tolist() == [datetime.date(2024, 1, 15), None, datetime.date(2024, 3, 2)]
    # Time zones: the date on the clock of that zone, as Timestamp.date() gives it.
    zoned = pd.Series(pd.to_datetime(["2024-01-15 23:30", "2024-01-16 00:30"])).dt.tz_localize("Asia/Tokyo")
    assert qn.to_int(zoned).tolist() == [q.Date(2024, 1, 15).to_int(), q.Date(2024, 1, 16).to_int()]
    assert qn.is_business_day(column, q.Calendar("QD_WEEK")).tolist() == [True, False, False]
    frame = pd.DataFrame({"d": column})
    frame["serial"] = qn.get_dcf(q.DayCounter.Act365, q.Date(2024, 1, 1), frame["d"])
    assert frame["serial"].iloc[0] == q.DayCounter.Act365.get_dcf(q.Date(2024, 1, 1), q.Date(2024, 1, 15))


def test_shapes_and_scalars():
    d = q.Date(2024, 2, 29)
    assert type(qn.to_int(d)) is np.int64 and qn.to_int(d) == 45351
    assert type(qn.add_tenor(d, "1M")) is np.datetime64
    assert type(qn.get_df(q.YieldCurve.create_flat(d, q.DayCounter.Act365, 0.05), d)) is np.float64
    assert qn.to_dates(d).to_int() == 45351 and qn.to_dates(np.datetime64("NaT", "D")) is None
    grid = qn.from_int(np.arange(6).reshape(2, 3) + 45351)
    assert qn.weekday(grid).shape == (2, 3)
    nested = qn.to_dates(grid)
    assert [[x.to_int() for x in row] for row in nested] == (np.arange(6).reshape(2, 3) + 45351).tolist()
    assert qn.to_int([]).shape == (0,) and qn.add_tenor(np.array([], dtype="M8[D]"), "1B").shape == (0,)
    # Broadcasting, as NumPy broadcasts.
    col, row = qn.from_int([[45351], [45352]]), qn.from_int([45351, 45381, 45411])
    assert qn.get_dcf(q.DayCounter.Act360, col, row).shape == (2, 3)
    assert qn.add_tenor(col, ["1M", "2M", "3M"]).shape == (2, 3)
    # NumPy's message: the receiver and the where= mask are operands too.
    raises(ValueError, "operands could not be broadcast together with shapes () (2,) (3,) () ",
           lambda: qn.get_dcf(q.DayCounter.Act360, row[:2], row))


@pytest.mark.parametrize("call, exc, message", [
    (lambda: qn.to_int(5), TypeError, "argument 'dates': 'int' object cannot be converted to 'Date'"),
    (lambda: qn.to_int("2024-01-15"), TypeError, "argument 'dates': 'str' object cannot be converted to 'Date'"),
    (lambda: qn.to_int([q.Date(2024, 1, 1), "2024-01-02"]), TypeError,
     "argument 'dates': 'str' object cannot be converted to 'Date' (at index 1)"),
    (lambda: qn.to_int([[q.Date(2024, 1, 1), 3.5]]), TypeError,
     "argument 'dates': 'float' object cannot be converted to 'Date' (at index (0, 1))"),
    (lambda: qn.to_int(np.arange(3)), TypeError,
     "argument 'dates': 'int' object cannot be converted to 'Date' (at index 0)"),
    (lambda: qn.to_int(np.array(["2024-01-01", "1898-12-31"], dtype="M8[D]")), ValueError,
     "Year (1898) must be >= 1899 (at index 1)"),
    (lambda: qn.to_int(datetime.date(1000, 1, 1)), ValueError, "Year (1000) must be >= 1899"),
    (lambda: qn.to_int(np.array(["70000-01-01"], dtype="M8[D]")), OverflowError,
     "out of range integral type conversion attempted (at index 0)"),
    (lambda: qn.to_int(np.array(["-0100-01-01"], dtype="M8[D]")), OverflowError,
     "out of range integral type conversion attempted (at index 0)"),
    (lambda: qn.to_int(np.array(["2024-01-01", "NaT"], dtype="M8[D]")), ValueError,
     "Cannot convert NaT to a serial (at index 1)"),
    (lambda: qn.weekday([None]), ValueError, "Cannot convert NaT to a weekday (at index 0)"),
    (lambda: qn.from_int([0, MIN_SERIAL - 1]), ValueError, "Year (1898) must be >= 1899 (at index 1)"),
    (lambda: qn.from_int(MAX_SERIAL + 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: qn.from_int(np.array([1.0])), TypeError,
     "argument 'serials': 'float' object cannot be interpreted as an integer (at index 0)"),
    (lambda: qn.from_int([1, 2.5]), TypeError,
     "argument 'serials': 'float' object cannot be interpreted as an integer (at index 1)"),
    (lambda: qn.to_int(), TypeError, "to_int() missing 1 required positional argument: 'dates'"),
    (lambda: qn.add_tenor(q.Date(2024, 1, 1), "3X"), ValueError, "Invalid tenor unit (X), can only have D, B, W, M, Y"),
    (lambda: qn.add_tenor([q.Date(2024, 1, 1)], ["1M", "M"]), ValueError,
     "Invalid tenor string (M), need to be of the form '<count><unit>' (at index 1)"),
    (lambda: qn.add_tenor(q.Date(2024, 1, 1), 3), TypeError, "argument 't': 'int' object cannot be converted to 'PyString'"),
    (lambda: qn.is_business_day([q.Date(2024, 1, 1)], "QD_WEEK"), TypeError,
     "argument 'cal': 'str' object is not a Calendar, BusinessCalendar or numpy.busdaycalendar"),
    (lambda: qn.get_dcf(1, q.Date(2024, 1, 1), q.Date(2024, 1, 1)), TypeError,
     "argument 'dc': 'int' object cannot be converted to 'DayCounter'"),
    (lambda: qn.interpolate(1.0, 1.0), TypeError, "argument 'interp': 'float' object cannot be converted to 'Interpolator'"),
    (lambda: qn.interpolate([q.Interpolator([0.0, 1.0], [0.0, 1.0], q.InterpType.Linear, q.ExtrapType.Flat), 1.0], 0.5),
     TypeError, "argument 'interp': 'float' object cannot be converted to 'Interpolator' (at index 1)"),
    (lambda: qn.get_df(1, q.Date(2024, 1, 1)), TypeError, "argument 'curve': 'int' object cannot be converted to 'YieldCurve'"),
    (lambda: qn.get_df(q.YieldCurve.create_flat(q.Date(2024, 1, 1), q.DayCounter.Act365, 0.0), date=1), TypeError,
     "get_df() got an unexpected keyword argument 'date'"),
])
def test_bad_input_raises_the_scalar_apis_exceptions(call, exc, message):
    raises(exc, message, call)


def test_a_bad_tenor_text_is_refused_before_any_date_is_looked_at():
    raises(ValueError, "Invalid tenor string (xQ), need to be of the form '<count><unit>'",
           lambda: qn.add_tenor(np.array(["NaT"], dtype="M8[D]"), "xQ"))


# ---------------------------------------------------------------- twins against the scalar calls


@pytest.mark.parametrize("name", ["QD_WEEK", "QD_NONE"])
def test_calendar_twins(sample, name):
    cal = q.Calendar(name)
    dates = dates_of(sample)
    days = qn.from_int(sample)
    assert qn.is_business_day(days, cal).tolist() == [d.is_business_day(cal) for d in dates]
    assert qn.is_weekend(days, cal).tolist() == [d.is_weekend(cal) for d in dates]
    nat = np.array(["NaT"], dtype="M8[D]")
    assert qn.is_business_day(nat, cal).tolist() == np.is_busday(nat).tolist() == [False]
    assert qn.is_weekend(nat, cal).tolist() == [False]


def test_business_days_agree_with_numpy_on_every_day():
    days = qn.from_int(ALL_SERIALS)
    week = q.Calendar("QD_WEEK")
    np.testing.assert_array_equal(qn.is_business_day(days, week), np.is_busday(days))
    np.testing.assert_array_equal(qn.is_weekend(days, week), ~np.is_busday(days))


@pytest.mark.parametrize("method", ["get_dcf", "get_dcf_act365", "get_dcf_act360"])
@pytest.mark.parametrize("dc", [q.DayCounter.Act365, q.DayCounter.Act360, q.DayCounter.Thirty360])
def test_day_count_twins(sample, method, dc):
    rng = np.random.default_rng(1)
    ends = rng.permutation(sample)
    days1, days2 = qn.from_int(sample), qn.from_int(ends)
    scalar = getattr(dc, method)
    if method == "get_dcf" and dc == q.DayCounter.Thirty360:
        holes = days1.copy()
        holes[:3] = np.datetime64("NaT", "D")
        message = panic_message(lambda: scalar(q.Date(2024, 1, 1), q.Date(2024, 1, 2)))
        assert panic_message(lambda: getattr(qn, method)(dc, holes, days2)) == message + " (at index 3)"
        return
    want = [scalar(a, b) for a, b in zip(dates_of(sample), dates_of(ends))]
    assert_same_floats(getattr(qn, method)(dc, days1, days2), np.array(want))
    assert math.isnan(getattr(qn, method)(dc, np.datetime64("NaT", "D"), days1[0]))
    assert panic_message(lambda: qn.get_dcf_30360(dc, days1[:2], days2[:2])) == "not implemented (at index 0)"


INTERPOLATORS = [
    ([0.0, 1.0, 2.0, 4.0], [0.0, 10.0, 15.0, 40.0], q.InterpType.Linear),
    ([0.0, 0.5, 3.0], [1.0, 0.97, 0.8], q.InterpType.Geometric),
    ([1.0], [5.0], q.InterpType.Linear),
]


@pytest.mark.parametrize("xs, ys, kind", INTERPOLATORS)
@pytest.mark.parametrize("extrap", [q.ExtrapType.Auto, q.ExtrapType.Flat, q.ExtrapType.Disabled])
def test_interpolate_twin(xs, ys, kind, extrap):
    interp = q.Interpolator(xs, ys, kind, extrap)
    x = np.concatenate([np.linspace(-2, 6, 3001), xs, [np.inf, -np.inf, 1e300]])
    assert_same_floats(qn.interpolate(interp, x), np.array([interp.interpolate(v) for v in x]))
    assert_same_floats(qn.interpolate(interp, x.tolist()), np.array([interp.interpolate(v) for v in x]))


def test_interpolate_failures_carry_the_index():
    linear = q.Interpolator([0.0, 1.0], [0.0, 1.0], q.InterpType.Linear, q.ExtrapType.Auto)
    assert panic_message(lambda: qn.interpolate(linear, [0.5, 0.2, np.nan])) == \
        "Should never end up here (linear) (at index 2)"
    spline = q.Interpolator([0.0, 1.0], [0.0, 1.0], q.InterpType.CubicSpline, q.ExtrapType.Flat)
    assert qn.interpolate(spline, [0.0, 1.0, 5.0]).tolist() == [0.0, 1.0, 1.0]
    assert panic_message(lambda: qn.interpolate(spline, np.array([[0.0, 1.0], [0.5, 2.0]]))) == \
        "Interpolation Type is not supported (yet) (at index (1, 0))"
    raises(TypeError, "argument 'x': must be real number, not str", lambda: qn.interpolate(linear, "1"))


TODAY = q.Date(2024, 1, 15)


def curves():
    nodes = [0, 30, 91, 365, 730, 1826, 3652, 10957]
    dfs = [1.0] + [math.exp(-0.03 * n / 365 - 1e-4 * (n / 365) ** 2) for n in nodes[1:]]
    made = {f"flat {dc}": q.YieldCurve.create_flat(TODAY, dc, 0.05) for dc in (q.DayCounter.Act365, q.DayCounter.Act360)}
    for kind in (q.InterpType.Linear, q.InterpType.Geometric):
        made[f"noded {kind}"] = q.YieldCurve.create_noded(TODAY, q.DayCounter.Act365, [TODAY + n for n in nodes], dfs,
                                                          kind)
    return made


@pytest.mark.parametrize("name, curve", curves().items())
@pytest.mark.parametrize("repeat", [1, 6], ids=["distinct days", "repeated days"])
def test_curve_twins(name, curve, repeat):
    serials = np.repeat(TODAY.to_int() + np.arange(-400, 12000, 7), repeat)
    days = qn.from_int(serials)
    dates = dates_of(serials)
    shifted = np.roll(days, 13)
    later = qn.to_dates(shifted)
    assert_same_floats(qn.get_df(curve, days), np.array([curve.get_df(d) for d in dates]))
    assert_same_floats(qn.get_overnight_rate(curve, days), np.array([curve.get_overnight_rate(d) for d in dates]))
    assert_same_floats(qn.get_fwd_df(curve, days, shifted),
                       np.array([curve.get_fwd_df(a, b) for a, b in zip(dates, later)]))
    with np.errstate(all="ignore"):
        assert_same_floats(qn.get_fwd_rate(curve, days, shifted),
                           np.array([curve.get_fwd_rate(a, b) for a, b in zip(dates, later)]))
    assert np.isnan(qn.get_fwd_rate(curve, [None, TODAY], [TODAY, None])).all()


@pytest.mark.parametrize("query", ["get_df", "get_overnight_rate"])
def test_curve_failures_carry_the_index(query):
    thirty = q.YieldCurve.create_flat(TODAY, q.DayCounter.Thirty360, 0.05)
    for n in (3, 300):
        days = qn.from_int(np.full(n, TODAY.to_int()))
        days[0] = np.datetime64("NaT", "D")
        assert panic_message(lambda: getattr(qn, query)(thirty, days)) == "not implemented (at index 1)"
    spline = q.YieldCurve.create_noded(TODAY, q.DayCounter.Act365, [TODAY, TODAY + 100], [1.0, 0.99],
                                       q.InterpType.CubicSpline)
    message = panic_message(lambda: getattr(spline, query)(TODAY + 50))
    assert panic_message(lambda: getattr(qn, query)(spline, [None, TODAY + 50])) == message + " (at index 1)"
    assert panic_message(lambda: qn.get_fwd_df(spline, TODAY, [TODAY + 100, TODAY + 50])) == message + " (at index 1)"
    last = qn.from_int([MAX_SERIAL])
    flat = q.YieldCurve.create_flat(TODAY, q.DayCounter.Act365, 0.05)
    assert panic_message(lambda: qn.get_overnight_rate(flat, last)) == \
        panic_message(lambda: flat.get_overnight_rate(q.Date(65535, 12, 31))) + " (at index 0)"


DATED = ["npv", "delta", "gamma", "vega", "theta", "rho_r", "rho_q"]


@pytest.fixture(scope="module")
def options():
    rng = np.random.default_rng(3)
    n = 2000
    spot = np.where(rng.random(n) < 0.05, -1.0, rng.uniform(50, 150, n))
    vol = np.where(rng.random(n) < 0.05, 0.0, rng.uniform(0.05, 0.6, n))
    expiry = TODAY.to_int() + rng.integers(-30, 1500, n)
    expiry[:5] = TODAY.to_int()
    flags = np.where(rng.random(n) < 0.5, 1, 0)
    return spot, vol, qn.from_int(expiry), dates_of(expiry), flags


@pytest.mark.parametrize("name", DATED)
def test_dated_black_scholes_twins(options, name):
    spot, vol, expiry, dates, flags = options
    scalar = getattr(q.BlackScholes, name + "_with_dates")
    pcs = [q.PutCallFlag.Call if f else q.PutCallFlag.Put for f in flags]
    want = scalar_floats([scalar(s, 100.0, 0.03, 0.01, TODAY, e, p, v) for s, e, p, v in zip(spot, dates, pcs, vol)])
    got = getattr(qn, name + "_with_dates")(spot, 100.0, 0.03, 0.01, TODAY, expiry, flags, vol)
    assert_same_floats(got, want)
    holes = expiry.copy()
    holes[::2] = np.datetime64("NaT", "D")
    masked = getattr(qn, name + "_with_dates")(spot, 100.0, 0.03, 0.01, TODAY, holes, flags, vol)
    assert np.isnan(masked[::2]).all()
    assert_same_floats(masked[1::2], want[1::2])


@pytest.mark.parametrize("name", ["get_metrics", "get_metrics_fd"])
def test_dated_metrics_twins(options, name):
    spot, vol, expiry, dates, flags = options
    scalar = getattr(q.BlackScholes, name + "_with_dates")
    records = [scalar(s, 100.0, 0.03, 0.01, TODAY, e, q.PutCallFlag.Call, v) for s, e, v in zip(spot, dates, vol)]
    got = getattr(qn, name + "_with_dates")(spot, 100.0, 0.03, 0.01, TODAY, expiry, q.PutCallFlag.Call, vol)
    assert type(got) is qn.Metrics
    for field in got._fields:
        assert_same_floats(getattr(got, field), scalar_floats([None if r is None else getattr(r, field) for r in records]))
    one = getattr(qn, name + "_with_dates")(100.0, 100.0, 0.03, 0.01, TODAY, None, q.PutCallFlag.Call, 0.0)
    assert all(type(v) is np.float64 and math.isnan(v) for v in one)


def test_dated_twins_with_a_nat_and_a_zero_vol_still_give_nan():
    # gamma at zero vol would be a finite 0.0 for a NaN time; a NaT gives NaN.
    out = qn.gamma_with_dates(100.0, 105.0, 0.05, 0.0, TODAY, [None, TODAY + 30], q.PutCallFlag.Call, 0.0)
    assert math.isnan(out[0]) and out[1] == q.BlackScholes.gamma_with_dates(100.0, 105.0, 0.05, 0.0, TODAY, TODAY + 30,
                                                                            q.PutCallFlag.Call, 0.0)


# ---------------------------------------------------------------- threads and memory


def test_results_do_not_depend_on_the_thread_count():
    days = qn.from_int(np.arange(0, 400000) * 37 % 700000)
    curve = curves()["noded InterpType.Geometric"]
    previous = qn.set_num_threads(1)
    try:
        one = [qn.add_tenor(days, "3M"), qn.get_df(curve, days), qn.weekday(days)]
    finally:
        qn.set_num_threads(previous)
    many = [qn.add_tenor(days, "3M"), qn.get_df(curve, days), qn.weekday(days)]
    for a, b in zip(one, many):
        np.testing.assert_array_equal(a.view(np.uint64) if a.dtype == np.float64 else a,
                                      b.view(np.uint64) if b.dtype == np.float64 else b)


def test_no_leaks_on_success_or_error_paths():
    curve = curves()["noded InterpType.Linear"]
    days = qn.from_int(np.arange(45000, 45100))
    objects = [q.Date(2024, 1, 1), datetime.date(2024, 1, 1), None]
    calls = [
        lambda: qn.get_df(curve, days), lambda: qn.to_dates(days), lambda: qn.to_int(objects[:2]),
        lambda: qn.add_tenor(objects, ["1M", "2M", "3M"]), lambda: qn.to_int(objects + ["x"]),
        lambda: qn.add_tenor(days, "1B"), lambda: qn.from_int([MAX_SERIAL + 1]), lambda: qn.get_df(curve, 5),
        lambda: qn.npv_with_dates(100.0, 100.0, 0.0, 0.0, TODAY, [None, TODAY], q.PutCallFlag.Call, 0.2),
    ]
    counts = [sys.getrefcount(o) for o in objects + [curve, days]]

    def run(n):
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except BaseException:  # noqa: BLE001 - the error paths are measured too
                    pass

    run(200)
    tracemalloc.start()
    run(10)
    before = tracemalloc.get_traced_memory()[0]
    run(1000)
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 20000, grown
    assert [sys.getrefcount(o) for o in objects + [curve, days]] == counts
