import datetime

import pytest

import quillander as q
from support import EPOCH

D = q.Date
NONE, WEEK = q.Calendar("QD_NONE"), q.Calendar("QD_WEEK")


def test_weekday_and_calendars_agree_with_datetime_for_every_date_to_9999():
    base = D(1899, 12, 30)
    first, last = datetime.date(1899, 1, 1).toordinal(), datetime.date(9999, 12, 31).toordinal()
    chunk = 1 << 17
    for lo in range(first, last + 1, chunk):
        ordinals = range(lo, min(lo + chunk, last + 1))
        expected = list(map(datetime.date.weekday, map(datetime.date.fromordinal, ordinals)))
        dates = list(map(base.__add__, range(ordinals.start - EPOCH, ordinals.stop - EPOCH)))
        assert list(map(int, map(D.weekday, dates))) == expected
        weekend = [w >= 5 for w in expected]
        business = [w < 5 for w in expected]
        assert list(map(WEEK.is_weekend, dates)) == weekend
        assert list(map(WEEK.is_business_day, dates)) == business
        assert [d.is_weekend(WEEK) for d in dates] == weekend
        assert [d.is_business_day(WEEK) for d in dates] == business
        assert not any(map(NONE.is_weekend, dates)) and all(map(NONE.is_business_day, dates))


def test_calendars_beyond_9999():
    # The weekday repeats every 7 days and every 400 years (146097 days = 20871 weeks).
    for d in (D(10000, 1, 1), D(23456, 7, 8), D(65535, 12, 31)):
        e = d + (-146097 * ((d.year() - 2000) // 400))
        assert d.weekday() == int(e.weekday()) == datetime.date(e.year(), e.month(), e.day()).weekday()
        assert d.is_weekend(WEEK) is (int(d.weekday()) >= 5) and d.is_business_day(NONE) is True


@pytest.mark.parametrize("ymd, weekday", [
    ((1899, 12, 30), "Saturday"), ((1899, 12, 31), "Sunday"), ((1900, 1, 1), "Monday"), ((1899, 1, 1), "Sunday"),
    ((2024, 2, 29), "Thursday"), ((2024, 3, 2), "Saturday"), ((2024, 3, 4), "Monday"), ((65535, 12, 31), "Tuesday"),
])
def test_weekday_examples(ymd, weekday):
    d = D(*ymd)
    w = d.weekday()
    assert w == getattr(q.Weekday, weekday) and w is not getattr(q.Weekday, weekday)
    assert d.is_weekend(WEEK) is (weekday in ("Saturday", "Sunday"))
    assert d.is_business_day(WEEK) is (weekday not in ("Saturday", "Sunday"))
    assert d.is_weekend(NONE) is False and d.is_business_day(NONE) is True


@pytest.mark.parametrize("name", ["QD_NONE", "QD_WEEK"])
def test_construction_and_text(name):
    cal = q.Calendar(name)
    assert cal.get_name() == name and type(cal.get_name()) is str
    assert repr(cal) == str(cal) == f"Calendar('{name}')"
    assert q.Calendar(s=name).get_name() == name


@pytest.mark.parametrize("name", [
    "QD_WEEK ", " QD_WEEK", "QD_Week", "qd_week", "qd_none", "", "QD_WEEKEND", "QD_NON", "QD_\x00WEEK", "QD_WEEK\x00",
    "ＱD_WEEK", "NONE",
])
def test_unknown_names(name):
    with pytest.raises(ValueError) as info:
        q.Calendar(name)
    assert type(info.value) is ValueError and info.value.args == (f"Unknown calendar name ({name})",)


@pytest.mark.parametrize("arg, type_name", [(None, "NoneType"), (1, "int"), (b"QD_WEEK", "bytes"), (WEEK, "Calendar")])
def test_name_must_be_text(arg, type_name):
    with pytest.raises(TypeError, match=f"^argument 's': '{type_name}' object cannot be converted to 'PyString'$"):
        q.Calendar(arg)


def test_calendars_compare_and_hash_by_identity():
    a, b = q.Calendar("QD_WEEK"), q.Calendar("QD_WEEK")
    assert (a == b) is False and (a != b) is True and a == a
    assert {a: 1, b: 2}[a] == 1
    with pytest.raises(TypeError):
        a < b


@pytest.mark.parametrize("call, message", [
    (lambda: WEEK.is_business_day(1), "argument 'date': 'int' object cannot be converted to 'Date'"),
    (lambda: WEEK.is_weekend("2024-01-01"), "argument 'date': 'str' object cannot be converted to 'Date'"),
    (lambda: WEEK.is_weekend(), "Calendar.is_weekend() missing 1 required positional argument: 'date'"),
    (lambda: D(2024, 1, 1).is_business_day("QD_WEEK"), "argument 'cal': 'str' object cannot be converted to 'Calendar'"),
    (lambda: D(2024, 1, 1).is_weekend(cal=None), "argument 'cal': 'NoneType' object cannot be converted to 'Calendar'"),
    (lambda: WEEK.get_name(1), "Calendar.get_name() takes no arguments (1 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


def test_keyword_arguments():
    d = D(2024, 3, 2)
    assert WEEK.is_weekend(date=d) is True and d.is_weekend(cal=WEEK) is True
    assert d.is_business_day(cal=NONE) is True
