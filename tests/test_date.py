import datetime
import operator
import sys

import pytest

import quillander as q
from support import EPOCH, MAX_SERIAL, MIN_SERIAL, panic_message, raises

D = q.Date
LAST_9999 = datetime.date.max.toordinal() - EPOCH  # 9999-12-31
CYCLE = 146097  # days in 400 Gregorian years
SIGNATURES = "Expected the following signatures: (year: int, month: int, day: int) or (yyyymmdd: str), but have "


def panics(fragment, call):
    message = panic_message(call)
    assert fragment in message
    return message


def fields(d):
    return d.year(), d.month(), d.day()


def reference_fields(serial):
    """(year, month, day) of a serial by datetime, shifted by whole 400-year
    cycles where datetime's range ends."""
    shift = max(0, -(-(serial + EPOCH - datetime.date.max.toordinal()) // CYCLE))
    p = datetime.date.fromordinal(serial + EPOCH - shift * CYCLE)
    return p.year + 400 * shift, p.month, p.day


# ---------------------------------------------------------------- serial <-> fields

def test_every_date_to_9999_agrees_with_datetime():
    base = D(1899, 12, 30)
    by_fields = operator.attrgetter("year", "month", "day")
    first, last = datetime.date(1899, 1, 1).toordinal(), datetime.date(9999, 12, 31).toordinal()
    chunk = 1 << 17
    for lo in range(first, last + 1, chunk):
        ordinals = range(lo, min(lo + chunk, last + 1))
        serials = range(ordinals.start - EPOCH, ordinals.stop - EPOCH)
        expected = list(map(by_fields, map(datetime.date.fromordinal, ordinals)))
        dates = list(map(base.__add__, serials))  # serial -> fields
        ys, ms, ds = list(map(D.year, dates)), list(map(D.month, dates)), list(map(D.day, dates))
        assert list(zip(ys, ms, ds)) == expected
        assert list(map(D.to_int, dates)) == list(serials)
        assert list(map(D.to_int, map(D, ys, ms, ds))) == list(serials)  # fields -> serial


def round_trip(serials):
    base = D(1899, 12, 30)
    dates = list(map(base.__add__, serials))
    ys, ms, ds = list(map(D.year, dates)), list(map(D.month, dates)), list(map(D.day, dates))
    assert list(map(D.to_int, map(D, ys, ms, ds))) == list(serials)
    return list(zip(ys, ms, ds))


@pytest.mark.parametrize("serials", [
    range(LAST_9999, LAST_9999 + 2 * CYCLE),  # 9999-12-31 and the two 400-year cycles after it
    range(MAX_SERIAL - CYCLE, MAX_SERIAL + 1),  # the last cycle, up to 65535-12-31
    range(LAST_9999, MAX_SERIAL + 1, 29),  # the rest, strided
], ids=["after-9999", "last-cycle", "strided"])
def test_round_trip_beyond_9999(serials):
    got = round_trip(serials)
    for serial in (serials[0], serials[len(serials) // 2], serials[-1]):
        assert got[serials.index(serial)] == reference_fields(serial)
    # The calendar repeats every 400 years: each date equals its image one cycle earlier.
    earlier = round_trip(range(serials.start - CYCLE, serials.stop - CYCLE, serials.step))
    assert got == [(y + 400, m, d) for y, m, d in earlier]


@pytest.mark.parametrize("ymd, serial", [
    ((1899, 12, 30), 0), ((1899, 12, 31), 1), ((1900, 1, 1), 2), ((1970, 1, 1), 25569), ((2000, 1, 1), 36526),
    ((2024, 2, 29), 45351), ((1899, 1, 1), -363), ((65535, 12, 31), 23242572), ((1900, 2, 28), 60),
    ((1900, 3, 1), 61), ((10000, 1, 1), 2958466), ((9999, 12, 31), 2958465),
])
def test_known_serials(ymd, serial):
    assert D(*ymd).to_int() == serial
    assert fields(D(1899, 12, 30) + serial) == ymd


# ---------------------------------------------------------------- construction from integers

@pytest.mark.parametrize("args, message", [
    ((1900, 2, 29), "Day (29) must be between 1 and 28, for year 1900 and month 2"),
    ((2023, 2, 29), "Day (29) must be between 1 and 28, for year 2023 and month 2"),
    ((2024, 4, 31), "Day (31) must be between 1 and 30, for year 2024 and month 4"),
    ((2024, 1, 0), "Day (0) must be between 1 and 31, for year 2024 and month 1"),
    ((2024, 2, 255), "Day (255) must be between 1 and 29, for year 2024 and month 2"),
    ((1898, 12, 31), "Year (1898) must be >= 1899"),
    ((1850, 13, 40), "Year (1850) must be >= 1899"),
    ((0, 0, 0), "Year (0) must be >= 1899"),
    ((2024, 0, 1), "Month (0) must be between 1 and 12"),
    ((2024, 13, 0), "Month (13) must be between 1 and 12"),
    ((True, 1, 1), "Year (1) must be >= 1899"),
])
def test_validation_messages(args, message):
    raises(ValueError, message, lambda: D(*args))


@pytest.mark.parametrize("args", [(70000, 1, 1), (-1, 1, 1), (2024, 256, 1), (2024, 1, -1), (65536, 13, 40)])
def test_out_of_field_range_is_overflow(args):
    raises(OverflowError, "out of range integral type conversion attempted", lambda: D(*args))


@pytest.mark.parametrize("args", [(2**31, 1, 1), (2024, 2**40, 1), (1850, 1, -2**63)])
def test_out_of_long_range_is_overflow(args):
    raises(OverflowError, "Python int too large to convert to C long", lambda: D(*args))


def test_integer_forms():
    class Int(int):
        pass

    assert fields(D(2000, 2, 29)) == (2000, 2, 29)
    assert fields(D(Int(2024), True, Int(31))) == (2024, 1, 31)
    assert fields(D(65535, 12, 31)) == (65535, 12, 31)


@pytest.mark.parametrize("args, shown", [
    ((), "()"), ((20240115,), "(20240115,)"), ((2024, 1), "(2024, 1)"), ((2024, 1, 1, 1), "(2024, 1, 1, 1)"),
    ((2024.0, 1, 1), "(2024.0, 1, 1)"), ((b"20240115",), "(b'20240115',)"), ((None,), "(None,)"),
    (("2024", "01", "15"), "('2024', '01', '15')"), ((2024, 1, 1.0), "(2024, 1, 1.0)"),
])
def test_wrong_signature(args, shown):
    raises(ValueError, SIGNATURES + shown, lambda: D(*args))


def test_index_objects_are_not_ints_for_the_constructor():
    class Index:
        def __index__(self):
            return 2024

        def __repr__(self):
            return "Index()"

    raises(ValueError, SIGNATURES + "(Index(), 1, 1)", lambda: D(Index(), 1, 1))


def test_keywords_are_refused():
    raises(TypeError, "Date.__new__() got an unexpected keyword argument 'year'", lambda: D(year=2024, month=1, day=1))
    raises(TypeError, "Date.__new__() got an unexpected keyword argument 's'", lambda: D(s="2024-01-01"))


# ---------------------------------------------------------------- construction from text

@pytest.mark.parametrize("text, ymd", [
    ("2024-01-15", (2024, 1, 15)), ("20240115", (2024, 1, 15)), ("2024/01/15", (2024, 1, 15)),
    ("2024x01y15", (2024, 1, 15)), ("2024-+1-15", (2024, 1, 15)), ("2024-01-+1", (2024, 1, 1)),
    ("2024\x0001\x0015", (2024, 1, 15)), ("1899-01-01", (1899, 1, 1)), ("9999-12-31", (9999, 12, 31)),
])
def test_text_accepted(text, ymd):
    assert fields(D(text)) == ymd


@pytest.mark.parametrize("text, message", [
    ("2024-1-15", "Need length of date string (9) to be 8 or 10"),
    ("", "Need length of date string (0) to be 8 or 10"),
    ("2024-01-015", "Need length of date string (11) to be 8 or 10"),
    ("2024-01-1é", "Need length of date string (11) to be 8 or 10"),  # ten characters, eleven bytes
    ("２０２４0115", "Need length of date string (16) to be 8 or 10"),
    ("2024-01-1a", "Unable to parse date string (2024-01-1a) into integers"),
    ("202é-01-0", "Unable to parse date string (202é-01-0) into integers"),  # é straddles the year field
    ("2024é1é5", "Unable to parse date string (2024é1é5) into integers"),
    ("2024-0é-1", "Unable to parse date string (2024-0é-1) into integers"),
    ("2024- 1-15", "Unable to parse date string (2024- 1-15) into integers"),
    ("2024-01--1", "Unable to parse date string (2024-01--1) into integers"),
    ("++240115", "Unable to parse date string (++240115) into integers"),
    ("2024-++-15", "Unable to parse date string (2024-++-15) into integers"),
    ("abcd-ef-gh", "Unable to parse date string (abcd-ef-gh) into integers"),
    ("2024-0\x00-15", "Unable to parse date string (2024-0\x00-15) into integers"),
    ("+024-01-15", "Year (24) must be >= 1899"),
    ("+2024011", "Year (202) must be >= 1899"),
    ("00000101", "Year (0) must be >= 1899"),
    ("2024-13-01", "Month (13) must be between 1 and 12"),
    ("2024-00-01", "Month (0) must be between 1 and 12"),
    ("20240230", "Day (30) must be between 1 and 29, for year 2024 and month 2"),
    ("1900-02-29", "Day (29) must be between 1 and 28, for year 1900 and month 2"),
])
def test_text_refused(text, message):
    raises(ValueError, message, lambda: D(text))


def test_text_accepts_str_subclass():
    class Text(str):
        pass

    assert D(Text("2024-01-15")).to_int() == 45306


# ---------------------------------------------------------------- static methods

@pytest.mark.parametrize("year, leap", [(1900, False), (2000, True), (0, True), (2024, True), (2023, False),
                                        (65535, False), (65532, True), (1600, True), (2100, False)])
def test_is_leap_year(year, leap):
    assert D.is_leap_year(year) is leap


def test_days_in_month_all_months():
    import calendar
    for year in (0, 1800, 1900, 2000, 2023, 2024, 9999, 65535):
        for month in range(1, 13):
            expected = calendar.monthrange(year or 2000, month)[1]
            assert D.days_in_month(year, month) == expected


@pytest.mark.parametrize("month", [0, 13, 255])
def test_days_in_month_bad_month_is_internal_failure(month):
    message = panics("", lambda: D.days_in_month(2024, month))
    assert message == f"Invalid month ({month}), need to be betwen 1 and 12"


def test_static_methods_through_instance():
    d = D(2024, 1, 15)
    assert d.days_in_month(2024, 2) == 29 and d.is_leap_year(1900) is False
    raises(OverflowError, "out of range integral type conversion attempted", lambda: D.is_leap_year(70000))
    raises(TypeError, "argument 'year': 'float' object cannot be interpreted as an integer",
           lambda: D.is_leap_year(2024.0))


# ---------------------------------------------------------------- accessors and text

def test_accessors():
    d = D(2024, 3, 5)
    assert (d.year(), d.month(), d.day(), d.to_int()) == (2024, 3, 5, 45356)
    assert D(1899, 1, 1).to_int() == -363
    ymd = d.get_ymd()
    assert type(ymd) is q.YearMonthDay
    assert [n for n in dir(ymd) if not n.startswith("__")] == []
    assert repr(ymd).startswith("<builtins.YearMonthDay object at 0x")


@pytest.mark.parametrize("ymd, text", [
    ((2024, 1, 5), "2024-01-05"), ((1899, 12, 30), "1899-12-30"), ((10000, 2, 29), "10000-02-29"),
    ((10000, 1, 1), "10000-01-01"), ((65535, 12, 31), "65535-12-31"), ((2024, 12, 31), "2024-12-31"),
])
def test_text_forms(ymd, text):
    d = D(*ymd)
    assert str(d) == d.to_str() == text
    assert repr(d) == f"Date('{text}')"
    assert f"{d}" == text


# ---------------------------------------------------------------- operators

@pytest.mark.parametrize("start, n, result", [
    ((2024, 1, 31), 1, (2024, 2, 1)), ((2024, 3, 1), -1, (2024, 2, 29)), ((2024, 1, 1), 0, (2024, 1, 1)),
    ((1899, 1, 2), -1, (1899, 1, 1)), ((65535, 12, 30), 1, (65535, 12, 31)),
    ((1899, 1, 1), MAX_SERIAL - MIN_SERIAL, (65535, 12, 31)), ((65535, 12, 31), MIN_SERIAL - MAX_SERIAL, (1899, 1, 1)),
    ((2024, 1, 1), True, (2024, 1, 2)),
])
def test_add_days(start, n, result):
    d = D(*start)
    assert fields(d + n) == result
    assert fields(d) == start


def test_add_index_object_and_augmented_assignment():
    class Index:
        def __index__(self):
            return 31

    d = e = D(2024, 1, 1)
    d += Index()
    assert fields(d) == (2024, 2, 1) and fields(e) == (2024, 1, 1)


@pytest.mark.parametrize("start, n, fragment", [
    ((1899, 1, 1), -1, "Year (1898) must be >= 1899"),
    ((1899, 1, 1), -1000, "Year (1896) must be >= 1899"),
    ((2024, 1, 1), -2**31, "Year (-5877587) must be >= 1899"),
    ((65535, 12, 31), 1, ""),
    ((2024, 1, 1), 2**31 - 1, ""),
])
def test_add_outside_range_is_internal_failure(start, n, fragment):
    panics(fragment, lambda: D(*start) + n)


def test_failure_year_matches_the_proleptic_calendar():
    # Far before 1899 the message still names the true Gregorian year.
    for n in (-2**31, -10**9, -5 * 10**6):
        serial = 45292 + n
        expected = reference_fields(serial % CYCLE)[0] + 400 * (serial // CYCLE)
        panics(f"Year ({expected}) must be >= 1899", lambda: D(2024, 1, 1) + n)


@pytest.mark.parametrize("expr", [
    lambda d: d + 2**31, lambda d: d + (-2**31 - 1), lambda d: d + 2**40, lambda d: d + 1.0, lambda d: d + "1",
    lambda d: d + None, lambda d: 1 + d, lambda d: d + d, lambda d: d - 1, lambda d: 1 - d, lambda d: d - 1.0,
    lambda d: d * 2, lambda d: -d, lambda d: d < d, lambda d: d >= d, lambda d: int(d), lambda d: float(d),
    lambda d: d + q.Tenor("1D"),
])
def test_unsupported_operations(expr):
    with pytest.raises(TypeError) as info:
        expr(D(2024, 1, 1))
    assert type(info.value) is TypeError


def test_unsupported_operand_message_names_the_type():
    raises(TypeError, "unsupported operand type(s) for +: 'builtins.Date' and 'float'", lambda: D(2024, 1, 1) + 1.0)
    raises(TypeError, "unsupported operand type(s) for -: 'builtins.Date' and 'int'", lambda: D(2024, 1, 1) - 1)


def test_add_index_raising_is_not_implemented():
    class Bad:
        def __index__(self):
            raise ValueError("nope")

    raises(TypeError, "unsupported operand type(s) for +: 'builtins.Date' and 'Bad'", lambda: D(2024, 1, 1) + Bad())


def test_reflected_add_from_the_other_operand():
    class Days:
        def __radd__(self, other):
            return ("radd", other.to_str())

    assert D(2024, 1, 1) + Days() == ("radd", "2024-01-01")


@pytest.mark.parametrize("a, b, days", [
    ((2024, 3, 1), (2024, 2, 1), 29), ((2024, 2, 1), (2024, 3, 1), -29), ((2024, 1, 1), (2024, 1, 1), 0),
    ((65535, 12, 31), (1899, 1, 1), MAX_SERIAL - MIN_SERIAL), ((1899, 1, 1), (65535, 12, 31), MIN_SERIAL - MAX_SERIAL),
])
def test_subtract_dates(a, b, days):
    result = D(*a) - D(*b)
    assert type(result) is int and result == days


def test_identity_semantics():
    a, b = D(2024, 1, 5), D(2024, 1, 5)
    assert (a == b) is False and (a != b) is True and (a == a) is True
    assert hash(a) == hash(a) and len({a, b}) == 2


def test_size_is_no_larger_than_datetime_date():
    assert sys.getsizeof(D(2024, 1, 15)) <= sys.getsizeof(datetime.date(2024, 1, 15))
