"""The market's day counts over arrays, against QuantLib's day counters bit
for bit, and against the scalar module's DayCounter."""
import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import raises

ql = pytest.importorskip("QuantLib")

NAMES = ["ACT/365F", "ACT/360", "30/360", "30E/360", "30E/360 ISDA", "ACT/ACT ISDA"]


def ql_date(d):
    return ql.Date(d.day, d.month, d.year)


def random_pairs(n, seed):
    """Dates over 1901-2199 (QuantLib's range), biased to the days the
    conventions treat apart: 31sts, ends of February in leap and common years;
    ends before starts too."""
    rng = np.random.default_rng(seed)
    lo, hi = np.datetime64("1901-01-01").astype(np.int64), np.datetime64("2198-01-01").astype(np.int64)
    start = rng.integers(lo, hi, n)
    end = start + rng.integers(-900, 4000, n)
    month_ends = (np.arange("1901-02", "2198-01", dtype="M8[M]").astype("M8[D]") - np.timedelta64(1, "D")).astype(
        np.int64)
    februaries = month_ends[1::12]
    for target, share in ((start, 0), (end, 1)):
        pick = rng.random(n)
        target[pick < 0.15] = rng.choice(month_ends, (pick < 0.15).sum())
        target[(pick >= 0.15) & (pick < 0.25)] = rng.choice(februaries, ((pick >= 0.15) & (pick < 0.25)).sum())
    return start.astype("M8[D]"), np.clip(end, lo, hi).astype("M8[D]")


def ql_counter(name, maturity=None):
    return {"ACT/365F": ql.Actual365Fixed(), "ACT/360": ql.Actual360(),
            "30/360": ql.Thirty360(ql.Thirty360.BondBasis), "30E/360": ql.Thirty360(ql.Thirty360.European),
            "30E/360 ISDA": ql.Thirty360(ql.Thirty360.ISDA, maturity) if maturity else ql.Thirty360(ql.Thirty360.ISDA),
            "ACT/ACT ISDA": ql.ActualActual(ql.ActualActual.ISDA)}[name]


@pytest.fixture(scope="module")
def pairs():
    start, end = random_pairs(100_000, seed=3)
    dates = {}  # QuantLib's dates made once per day
    to_ql = [[dates.setdefault(d, ql_date(d)) for d in x.tolist()] for x in (start, end)]
    return start, end, *to_ql


@pytest.mark.parametrize("name", NAMES)
def test_each_day_count_equals_quantlib_bit_for_bit(name, pairs):
    start, end, ql_start, ql_end = pairs
    got = qn.year_fraction(start, end, name)
    assert got.dtype == np.float64
    fraction = ql_counter(name).yearFraction
    want = np.array(list(map(fraction, ql_start, ql_end)))
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


def test_thirty_e_isda_keeps_a_february_end_on_the_maturity():
    start, end = random_pairs(5_000, seed=11)
    # Half the ends are the maturity (their own), the others a date of their own.
    maturity = np.where(np.arange(end.size) % 2 == 0, end, start)
    got = qn.year_fraction(start, end, "30E/360 ISDA", maturity)
    want = np.array([ql_counter("30E/360 ISDA", ql_date(m)).yearFraction(ql_date(a), ql_date(b))
                     for a, b, m in zip(start.tolist(), end.tolist(), maturity.tolist())])
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))
    # 2024-02-29 to 2025-02-28: a maturity keeps the 28th, else it counts as the 30th.
    a, b = np.datetime64("2024-02-29"), np.datetime64("2025-02-28")
    assert qn.year_fraction(a, b, "30E/360 ISDA") == 1.0
    assert qn.year_fraction(a, b, "30E/360 ISDA", b) == 358 / 360
    assert qn.year_fraction(a, b, "30E/360 ISDA", None) == 1.0


def test_day_counters_of_the_scalar_module_give_its_bits():
    start, end = random_pairs(20_000, seed=5)
    for dc, name in [(q.DayCounter.Act365, "ACT/365F"), (q.DayCounter.Act360, "ACT/360")]:
        got = qn.year_fraction(start, end, dc)
        np.testing.assert_array_equal(got.view(np.int64), qn.year_fraction(start, end, name).view(np.int64))
        np.testing.assert_array_equal(got.view(np.int64), qn.get_dcf(dc, start, end).view(np.int64))


def test_shapes_nat_and_date_likes():
    start = np.array(["2024-01-31", "NaT"], dtype="M8[D]").reshape(2, 1)
    got = qn.year_fraction(start, [q.Date(2024, 3, 31), q.Date(2024, 2, 29), None], "30/360")
    assert got.shape == (2, 3) and np.isnan(got[1]).all() and np.isnan(got[0, 2])
    assert got[0, :2].tolist() == [60 / 360, 29 / 360]
    assert type(qn.year_fraction(q.Date(2024, 1, 1), q.Date(2025, 1, 1), "ACT/ACT ISDA")) is np.float64


@pytest.mark.parametrize("day_count, exc, message", [
    ("ACT/365", ValueError, 'Unknown day count (ACT/365); use "ACT/365F", "ACT/360", "30/360", "30E/360", '
                            '"30E/360 ISDA", "ACT/ACT ISDA" or "ACT/ACT ICMA"'),
    ("act/360", ValueError, 'Unknown day count (act/360); use "ACT/365F", "ACT/360", "30/360", "30E/360", '
                            '"30E/360 ISDA", "ACT/ACT ISDA" or "ACT/ACT ICMA"'),
    ("ACT/ACT ICMA", ValueError, 'Day count ACT/ACT ICMA needs a reference period; use "ACT/365F", "ACT/360", '
                                 '"30/360", "30E/360", "30E/360 ISDA" or "ACT/ACT ISDA"'),
    (q.DayCounter.Thirty360, ValueError, 'DayCounter.Thirty360 does not say which 30/360 convention; name it: '
                                         '"30/360" (US bond basis), "30E/360" or "30E/360 ISDA"'),
    (360, TypeError, "argument 'day_count': 'int' object is not a DayCounter or a day-count name"),
])
def test_day_count_errors(day_count, exc, message):
    raises(exc, message, lambda: qn.year_fraction(q.Date(2024, 1, 1), q.Date(2025, 1, 1), day_count))
