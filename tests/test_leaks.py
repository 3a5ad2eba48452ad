"""Every success and error path of the module, run many times, leaves memory
and reference counts flat.

Two instruments: tracemalloc sees every Python object and buffer (they come
from PyObject_Malloc/PyMem_Malloc) but not C++ allocations, which use malloc;
the resident set size (/proc/self/statm) sees both, at page granularity."""
import gc
import os
import sys
import tracemalloc
from itertools import repeat

import pytest

import quillander as q

D = q.Date
d, e = D(2024, 1, 15), D(2024, 3, 1)
week = q.Calendar("QD_WEEK")
tenor = q.Tenor("3M")
act365, thirty = q.DayCounter.Act365, q.DayCounter.Thirty360
monday = q.Weekday.Monday
TEXT, BAD_TEXT, SURROGATE, TENOR_TEXT = "2024-01-15", "2024-01-1a", "2024-01-\ud815", "3M"
NONE = None


class SubTypeError(TypeError):
    pass


class Raising:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __index__(self):
        raise self.exc_type("from __index__")

    __float__ = __index__


class Index:
    def __index__(self):
        return 7


raising_type, raising_sub, index = Raising(TypeError), Raising(SubTypeError), Index()
try:
    D.days_in_month(2024, 13)
except BaseException as exc:  # noqa: B036
    PANIC = type(exc)

SUCCESS = {
    "Date(y, m, d)": lambda: D(2024, 1, 15),
    "Date(text)": lambda: D(TEXT),
    "Date(yyyymmdd)": lambda: D("20240115"),
    "d + n": lambda: d + 1,
    "d + __index__": lambda: d + index,
    "d - d": lambda: d - e,
    "accessors": lambda: (d.year(), d.month(), d.day(), d.to_int(), d.get_ymd()),
    "text forms": lambda: (d.to_str(), str(d), repr(d)),
    "static methods": lambda: (D.days_in_month(2024, 2), d.is_leap_year(year=2024)),
    "weekday": lambda: d.weekday() == monday,
    "calendar": lambda: (d.is_business_day(week), d.is_weekend(cal=week), week.is_weekend(d), week.get_name(),
                         repr(week)),
    "new calendar": lambda: q.Calendar("QD_NONE"),
    "add_tenor": lambda: (d.add_tenor(TENOR_TEXT), d.add_tenor("-2D"), d.add_tenor(t="1Y"), d.add_tenor("-1W")),
    "Tenor": lambda: (q.Tenor(TENOR_TEXT), tenor.count, tenor.unit, str(tenor), repr(tenor)),
    "DayCounter": lambda: (q.DayCounter("Act360"), act365.get_dcf(d, e), act365.get_dcf(date2=e, date1=d),
                           thirty.get_dcf_act360(d, e)),
    "enumerations": lambda: (repr(monday), int(monday), monday == 0, monday != 2**70, monday == 0.5,
                             monday == q.TenorUnit.D, monday == index),
    "functions": lambda: (q.exp(1.5), q.exp(1), q.exp(x=index), q.sqrt(True)),
}

ERRORS = {
    "Date signature": lambda: D(),
    "Date signature repr": lambda: D(2024.0, 1, 1),
    "Date validation": lambda: D(2024, 2, 30),
    "Date overflow": lambda: D(70000, 1, 1),
    "Date text length": lambda: D("2024-1-15"),
    "Date text parse": lambda: D(BAD_TEXT),
    "Date surrogate": lambda: D(SURROGATE),
    "Date keyword": lambda: D(year=2024),
    "d + float": lambda: d + 1.5,
    "d + huge": lambda: d + 2**40,
    "d - int": lambda: d - 1,
    "d + n past the end": lambda: D(65535, 12, 31) + 1,
    "d + n before the start": lambda: D(1899, 1, 1) + (-1),
    "days_in_month failure": lambda: D.days_in_month(2024, 13),
    "prefixed TypeError": lambda: D.days_in_month(2024.0, 2),
    "index raising TypeError": lambda: D.days_in_month(raising_type, 2),
    "index raising subclass": lambda: D.days_in_month(raising_sub, 2),
    "float raising": lambda: q.exp(raising_type),
    "int32 overflow": lambda: D.days_in_month(2**31, 2),
    "target overflow": lambda: D.days_in_month(2024, 256),
    "missing": lambda: D.days_in_month(2024),
    "too many": lambda: D.days_in_month(2024, 2, 3),
    "multiple values": lambda: D.days_in_month(2024, year=2),
    "unexpected keyword": lambda: q.exp(y=1),
    "real number": lambda: q.exp("1"),
    "add_tenor type": lambda: d.add_tenor(3),
    "add_tenor unit": lambda: d.add_tenor("3X"),
    "add_tenor string": lambda: d.add_tenor(" 3M"),
    "add_tenor business days": lambda: d.add_tenor("1B"),
    "add_tenor before 1899": lambda: d.add_tenor("-200Y"),
    "add_tenor outside 16 bits": lambda: d.add_tenor("-32768Y"),
    "Tenor": lambda: q.Tenor(""),
    "Calendar name": lambda: q.Calendar("QD_\x00WEEK"),
    "Calendar argument": lambda: d.is_weekend(NONE),
    "DayCounter name": lambda: q.DayCounter("act365"),
    "DayCounter not implemented": lambda: thirty.get_dcf(d, e),
    "DayCounter 30360": lambda: act365.get_dcf_30360(d, e),
    "DayCounter argument": lambda: act365.get_dcf_30360(1, e),
    "no constructor": lambda: q.StubType(),
    "unhashable": lambda: hash(monday),
    "ordering": lambda: monday < monday,
}

WATCHED = [D, q.YearMonthDay, q.Calendar, q.Tenor, q.DayCounter, q.Weekday, q.TenorUnit, q.StubType, d, e, week,
           tenor, act365, thirty, monday, PANIC, TEXT, BAD_TEXT, SURROGATE, TENOR_TEXT, raising_type, raising_sub, index]


def run(path, n):
    for _ in repeat(None, n):
        try:
            path()
        except BaseException:  # noqa: B036 - internal failures are part of the paths
            pass


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts():
    return [sys.getrefcount(o) for o in WATCHED]


PATHS = list(SUCCESS.items()) + list(ERRORS.items())


@pytest.mark.parametrize("name, path", PATHS, ids=[name for name, _ in PATHS])
def test_traced_memory_and_references_stay_flat(name, path):
    run(path, 2000)
    gc.collect()
    counts = refcounts()
    tracemalloc.start()
    try:
        run(path, 1000)
        before = tracemalloc.get_traced_memory()[0]
        run(path, 20000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 4096, f"{name}: {grown} bytes more after 20000 calls"
    assert refcounts() == counts


def test_resident_memory_stays_flat():
    for _, path in PATHS:
        run(path, 5000)
    gc.collect()
    before = resident_bytes()
    for _, path in PATHS:
        run(path, 100000)
    gc.collect()
    grown = resident_bytes() - before
    # One leaked 32-byte block per call on any single path would add 3.2 MB.
    assert grown < 1 << 20, f"resident set grew by {grown} bytes"
