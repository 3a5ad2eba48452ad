import calendar
import datetime
import random

import pytest

import quillander as q
from support import EPOCH, MAX_SERIAL, MIN_SERIAL, panic_message, raises

D = q.Date
STRING_ERROR = "Invalid tenor string ({}), need to be of the form '<count><unit>'"
UNIT_ERROR = "Invalid tenor unit ({}), can only have D, B, W, M, Y"


def fields(d):
    return d.year(), d.month(), d.day()


# ---------------------------------------------------------------- parsing

@pytest.mark.parametrize("text, count, unit, shown", [
    ("3M", 3, "M", "3M"), ("+7W", 7, "W", "7W"), ("007D", 7, "D", "7D"), ("-0D", 0, "D", "0D"), ("0W", 0, "W", "0W"),
    ("-5D", -5, "D", "-5D"), ("32767D", 32767, "D", "32767D"), ("-32768Y", -32768, "Y", "-32768Y"),
    ("1B", 1, "B", "1B"), ("+0000000000000000012Y", 12, "Y", "12Y"), ("-032768M", -32768, "M", "-32768M"),
])
def test_valid_tenors(text, count, unit, shown):
    t = q.Tenor(text)
    assert t.count == count and type(t.count) is int
    assert t.unit == getattr(q.TenorUnit, unit) and type(t.unit) is q.TenorUnit
    assert t.unit is not getattr(q.TenorUnit, unit) and t.unit is not t.unit
    assert str(t) == shown and repr(t) == f"Tenor('{shown}')"


@pytest.mark.parametrize("text, message", [
    ("32768D", STRING_ERROR), ("-32769D", STRING_ERROR), ("99999999999999999999D", STRING_ERROR),
    ("M", STRING_ERROR), ("3", STRING_ERROR), ("+M", STRING_ERROR), ("-D", STRING_ERROR), (" 3M", STRING_ERROR),
    ("3M ", STRING_ERROR), ("3 M", STRING_ERROR), ("", STRING_ERROR), ("1_0D", STRING_ERROR), ("--1D", STRING_ERROR),
    ("+-1D", STRING_ERROR), ("3MM", STRING_ERROR), ("xQ", STRING_ERROR), ("３M", STRING_ERROR), ("é", STRING_ERROR),
    ("xé", STRING_ERROR), ("\x00M", STRING_ERROR), ("1.5M", STRING_ERROR), ("0x1D", STRING_ERROR), ("٣M", STRING_ERROR),
    ("3m", UNIT_ERROR), ("3Q", UNIT_ERROR), ("3d", UNIT_ERROR), ("3é", UNIT_ERROR), ("3€", UNIT_ERROR),
    ("3😀", UNIT_ERROR), ("3\x00", UNIT_ERROR), ("0 ", UNIT_ERROR), ("-32768X", UNIT_ERROR),
])
def test_invalid_tenors(text, message):
    unit = text[-1] if text else ""
    expected = message.format(text if message is STRING_ERROR else unit)
    raises(ValueError, expected, lambda: q.Tenor(text))
    raises(ValueError, expected, lambda: D(2024, 1, 15).add_tenor(text))


@pytest.mark.parametrize("arg, type_name", [(3, "int"), (None, "NoneType"), (b"3M", "bytes")])
def test_tenor_text_must_be_str(arg, type_name):
    raises(TypeError, f"argument 's': '{type_name}' object cannot be converted to 'PyString'", lambda: q.Tenor(arg))


def test_tenor_object():
    t = q.Tenor(s="3M")
    for attribute in ("count", "unit"):
        with pytest.raises(AttributeError):
            setattr(t, attribute, 1)
    assert (q.Tenor("3M") == q.Tenor("3M")) is False and t == t and hash(t) == hash(t)
    with pytest.raises(TypeError):
        t < t
    raises(TypeError, "argument 't': 'Tenor' object cannot be converted to 'PyString'",
           lambda: D(2024, 1, 1).add_tenor(t))


# ---------------------------------------------------------------- arithmetic examples

@pytest.mark.parametrize("start, tenor, result", [
    ((2024, 2, 28), "2D", (2024, 3, 1)), ((2024, 2, 28), "-1W", (2024, 2, 21)),
    ((2024, 1, 31), "1M", (2024, 2, 29)), ((2023, 1, 31), "1M", (2023, 2, 28)), ((2024, 3, 31), "-1M", (2024, 2, 29)),
    ((2024, 1, 15), "-1M", (2023, 12, 15)), ((2024, 1, 15), "-13M", (2022, 12, 15)),
    ((2024, 12, 15), "1M", (2025, 1, 15)), ((2024, 1, 31), "-25M", (2021, 12, 31)),
    ((2024, 2, 29), "1Y", (2025, 2, 28)), ((2024, 2, 29), "4Y", (2028, 2, 29)), ((2024, 2, 29), "12M", (2025, 2, 28)),
    ((2024, 4, 30), "1M", (2024, 5, 30)), ((2024, 1, 15), "0M", (2024, 1, 15)), ((2024, 1, 15), "-0Y", (2024, 1, 15)),
    ((1900, 1, 1), "-12M", (1899, 1, 1)), ((2024, 1, 1), "32767M", (4754, 8, 1)),
    ((2024, 1, 1), "32767Y", (34791, 1, 1)), ((65535, 12, 31), "-32768W", (64907, 12, 27)),
    ((65535, 12, 1), "-32768M", (62805, 4, 1)), ((1899, 1, 1), "32767W", (2526, 12, 29)),
    ((65535, 11, 30), "1M", (65535, 12, 30)), ((2000, 2, 29), "-100Y", (1900, 2, 28)),
])
def test_add_tenor_examples(start, tenor, result):
    d = D(*start)
    assert fields(d.add_tenor(tenor)) == result
    assert fields(d) == start


@pytest.mark.parametrize("start, tenor, message", [
    ((2024, 1, 1), "-200Y", "Year (1824) must be >= 1899"),
    ((2024, 1, 1), "-2024Y", "Year (0) must be >= 1899"),
    ((1899, 6, 1), "-6M", "Year (1898) must be >= 1899"),
    ((1899, 1, 1), "-1D", "Year (1898) must be >= 1899"),
    ((1899, 1, 1), "-1W", "Year (1898) must be >= 1899"),
    ((2024, 1, 1), "1B", "Cannot add TenorUnit::B without a calendar input"),
    ((2024, 1, 1), "0B", "Cannot add TenorUnit::B without a calendar input"),
    ((2024, 1, 1), "-5B", "Cannot add TenorUnit::B without a calendar input"),
    # Results that no 16-bit year (or month total) can hold.
    ((65535, 1, 1), "1Y", "Year (65536) of 65535-01-01 plus 1Y is outside 0 to 65535"),
    ((65535, 12, 1), "1M", "Year (65536) of 65535-12-01 plus 1M is outside 0 to 65535"),
    ((2024, 1, 1), "-2025Y", "Year (-1) of 2024-01-01 plus -2025Y is outside 0 to 65535"),
    ((2024, 1, 1), "-32768Y", "Year (-30744) of 2024-01-01 plus -32768Y is outside 0 to 65535"),
    ((2024, 1, 1), "-32768M", "Year (-707) of 2024-01-01 plus -32768M is outside 0 to 65535"),
    ((2024, 2, 1), "32767M", "Month total (32768) of 2024-02-01 plus 32767M is outside 16 bits"),
    ((65000, 12, 1), "32767M", "Month total (32778) of 65000-12-01 plus 32767M is outside 16 bits"),
])
def test_add_tenor_internal_failures(start, tenor, message):
    assert message in panic_message(lambda: D(*start).add_tenor(tenor))


@pytest.mark.parametrize("start, tenor", [((65535, 12, 31), "1D"), ((65535, 12, 31), "32767W"), ((65535, 1, 1), "365D")])
def test_add_tenor_after_the_last_date_fails(start, tenor):
    assert "65535-12-31" in panic_message(lambda: D(*start).add_tenor(tenor))


def test_ill_formed_tenor_is_reported_before_business_days():
    raises(ValueError, UNIT_ERROR.format("b"), lambda: D(2024, 1, 1).add_tenor("1b"))


# ---------------------------------------------------------------- against independent computations

def expected_add(d, n, unit):
    """(year, month, day) of d plus the tenor, or None where no date results."""
    y, m, day = fields(d)
    if unit in "DW":
        serial = d.to_int() + n * (7 if unit == "W" else 1)
        if not MIN_SERIAL <= serial <= MAX_SERIAL:
            return None
        shift = max(0, (serial - 2958465 + 146096) // 146097)  # datetime ends at 9999-12-31
        p = datetime.date.fromordinal(serial + EPOCH - 146097 * shift)
        return p.year + 400 * shift, p.month, p.day
    if unit == "M":
        if (m - 1) + n > 32767:  # the month total is held in 16 bits
            return None
        carry, r = divmod((m - 1) + n, 12)
        y, m = y + carry, r + 1
    else:
        y += n
    if not 1899 <= y <= 65535:
        return None
    return y, m, min(day, calendar.monthrange(y, m)[1])


def random_dates(rng, k):
    base = D(1899, 1, 1)
    near = [base + rng.randint(0, 2958465 + 363) for _ in range(k)]  # to 9999-12-31
    far = [base + rng.randint(0, MAX_SERIAL - MIN_SERIAL) for _ in range(k // 10)]
    month_ends = [D(y, m, calendar.monthrange(y, m)[1]) for y, m in
                  ((rng.randint(1899, 9999), rng.randint(1, 12)) for _ in range(k // 5))]
    return near + far + month_ends


def random_count(rng):
    kind = rng.random()
    if kind < 0.5:
        return rng.randint(-40, 40)
    if kind < 0.8:
        return rng.randint(-1500, 1500)
    return rng.randint(-32768, 32767)


@pytest.mark.parametrize("unit", "DWMY")
def test_add_tenor_against_datetime_and_monthrange(unit):
    rng = random.Random(f"tenor-{unit}")
    failures = successes = 0
    for d in random_dates(rng, 6000):
        n = random_count(rng)
        want = expected_add(d, n, unit)
        text = f"{n:+d}{unit}" if rng.random() < 0.3 else f"{n}{unit}"
        if want is None:
            panic_message(lambda: d.add_tenor(text))
            failures += 1
            continue
        got = d.add_tenor(text)
        assert fields(got) == want, (d, text)
        assert got.to_int() == D(*want).to_int()
        if want[0] <= 9999:
            assert got.to_int() == datetime.date(*want).toordinal() - EPOCH
        successes += 1
    assert successes > 5000 and failures > 0


@pytest.mark.parametrize("n", [1, -1, 2, 7, -30, 100, 2729, -2730])
def test_years_equal_twelve_months(n):
    rng = random.Random(n)
    for _ in range(300):
        d = D(1899, 1, 1) + rng.randint(365 * 2731, 365 * 60000)
        assert d.add_tenor(f"{n}Y").to_int() == d.add_tenor(f"{12 * n}M").to_int()


ql = pytest.importorskip("QuantLib")
QL_UNITS = {"M": ql.Months, "Y": ql.Years, "W": ql.Weeks, "D": ql.Days}


@pytest.mark.parametrize("unit", "MYWD")
def test_add_tenor_against_quantlib(unit):
    rng = random.Random(f"ql-{unit}")
    first, last = D(1901, 1, 1).to_int(), D(2199, 12, 31).to_int()
    compared = 0
    for _ in range(4000):
        d = D(1899, 12, 30) + rng.randint(first, last)
        span = {"M": 600, "Y": 50, "W": 2000, "D": 20000}[unit]
        n = rng.randint(-span, span)
        got = d.add_tenor(f"{n}{unit}") if expected_add(d, n, unit) else None
        if got is None or not first <= got.to_int() <= last:
            continue
        ref = ql.Date(d.day(), d.month(), d.year()) + ql.Period(n, QL_UNITS[unit])
        assert fields(got) == (ref.year(), ref.month(), ref.dayOfMonth()), (d, n, unit)
        compared += 1
    assert compared > 2500


def test_quantlib_clamps_month_ends_the_same_way():
    for start, n in [((2024, 1, 31), 1), ((2023, 1, 31), 1), ((2024, 3, 31), -1), ((2024, 4, 30), 1),
                     ((2024, 2, 29), 12), ((2100, 1, 31), 1)]:
        ref = ql.Date(start[2], start[1], start[0]) + ql.Period(f"{n}M")
        assert fields(D(*start).add_tenor(f"{n}M")) == (ref.year(), ref.month(), ref.dayOfMonth())
