import datetime
import random

import pytest

import quillander as q
from support import panic_message

D = q.Date
DC = q.DayCounter
Act365, Act360, Thirty360 = DC.Act365, DC.Act360, DC.Thirty360
METHODS = ["get_dcf", "get_dcf_act365", "get_dcf_act360", "get_dcf_30360"]


def panics_not_implemented(call):
    assert panic_message(call) == "not implemented"


def pydate(d):
    return datetime.date(d.year(), d.month(), d.day())


@pytest.mark.parametrize("name", ["Act365", "Act360", "Thirty360"])
def test_construction(name):
    dc = DC(name)
    assert dc == getattr(DC, name) and dc is not getattr(DC, name)
    assert repr(dc) == str(dc) == f"DayCounter.{name}"
    assert DC(s=name) == dc


@pytest.mark.parametrize("name", ["act365", "ACT365", "Act365 ", " Act360", "", "Thirty 360", "30360", "Act\x00365",
                                  "Act/365", "Act36５"])
def test_unknown_names(name):
    with pytest.raises(ValueError) as info:
        DC(name)
    assert type(info.value) is ValueError and info.value.args == (f"Unknown day-counter name ({name})",)


@pytest.mark.parametrize("arg, type_name", [(0, "int"), (None, "NoneType"), (Act365, "DayCounter")])
def test_name_must_be_text(arg, type_name):
    with pytest.raises(TypeError, match=f"^argument 's': '{type_name}' object cannot be converted to 'PyString'$"):
        DC(arg)


@pytest.mark.parametrize("method, receiver, expected", [
    ("get_dcf", Act365, 1.0027397260273974), ("get_dcf", Act360, 1.0166666666666666),
    ("get_dcf_act365", Thirty360, 1.0027397260273974), ("get_dcf_act360", Thirty360, 1.0166666666666666),
    ("get_dcf_act365", Act360, 1.0027397260273974), ("get_dcf_act360", Act365, 1.0166666666666666),
])
def test_one_leap_year(method, receiver, expected):
    assert getattr(receiver, method)(D(2024, 1, 1), D(2025, 1, 1)) == expected


def test_negative_and_zero_fractions():
    a, b = D(2024, 3, 1), D(2024, 1, 31)
    assert Act365.get_dcf_act360(a, b) == -0.08333333333333333
    assert Act365.get_dcf_act365(a, b) == -0.0821917808219178
    for dc in (Act365, Act360):
        zero = dc.get_dcf(a, a)
        assert zero == 0.0 and str(zero) == "0.0"  # a positive zero


def test_fractions_equal_day_differences_exactly():
    rng = random.Random(365)
    base = D(1899, 1, 1)
    last = D(9999, 12, 31).to_int() + 363
    for _ in range(20000):
        a, b = base + rng.randint(0, last), base + rng.randint(0, last)
        days = (pydate(b) - pydate(a)).days
        assert Act365.get_dcf(a, b) == days / 365.0 == Act360.get_dcf_act365(a, b)
        assert Act360.get_dcf(a, b) == days / 360.0 == Thirty360.get_dcf_act360(a, b)


def test_extreme_span():
    first, last = D(1899, 1, 1), D(65535, 12, 31)
    days = last - first
    assert Act365.get_dcf(first, last) == days / 365.0
    assert Act360.get_dcf(last, first) == -days / 360.0


def test_keyword_arguments():
    a, b = D(2024, 1, 1), D(2024, 7, 1)
    assert Act365.get_dcf(date2=b, date1=a) == Act365.get_dcf(a, b) == 182 / 365.0
    assert Act360.get_dcf_act360(a, date2=b) == 182 / 360.0
    panics_not_implemented(lambda: Act365.get_dcf_30360(_date2=b, _date1=a))


@pytest.mark.parametrize("receiver", [Act365, Act360, Thirty360])
def test_thirty360_is_not_implemented(receiver):
    a, b = D(2024, 1, 1), D(2024, 7, 1)
    panics_not_implemented(lambda: receiver.get_dcf_30360(a, b))
    if receiver == Thirty360:
        panics_not_implemented(lambda: receiver.get_dcf(a, b))
        panics_not_implemented(lambda: DC("Thirty360").get_dcf(a, b))


@pytest.mark.parametrize("call, message", [
    # Both dates are converted before the convention is looked at.
    (lambda d: Act365.get_dcf_30360(1, d), "argument '_date1': 'int' object cannot be converted to 'Date'"),
    (lambda d: Act365.get_dcf_30360(d, None), "argument '_date2': 'NoneType' object cannot be converted to 'Date'"),
    (lambda d: Thirty360.get_dcf(d, "x"), "argument 'date2': 'str' object cannot be converted to 'Date'"),
    (lambda d: Thirty360.get_dcf("x", "y"), "argument 'date1': 'str' object cannot be converted to 'Date'"),
    (lambda d: Act360.get_dcf_act360(d, d.get_ymd()), "argument 'date2': 'YearMonthDay' object cannot be converted to 'Date'"),
    (lambda d: Thirty360.get_dcf(d), "DayCounter.get_dcf() missing 1 required positional argument: 'date2'"),
    (lambda d: Thirty360.get_dcf_30360(), "DayCounter.get_dcf_30360() missing 2 required positional arguments: '_date1' and '_date2'"),
    (lambda d: Act365.get_dcf_act365(d, d, d), "DayCounter.get_dcf_act365() takes 2 positional arguments but 3 were given"),
    (lambda d: Act365.get_dcf(d, d, date3=d), "DayCounter.get_dcf() got an unexpected keyword argument 'date3'"),
    (lambda d: Act365.get_dcf_30360(d, date1=d), "DayCounter.get_dcf_30360() got an unexpected keyword argument 'date1'"),
    (lambda d: DC.get_dcf(Act365, d, 1.0), "argument 'date2': 'float' object cannot be converted to 'Date'"),
    (lambda d: DC.get_dcf(1, d, d), "descriptor 'get_dcf' for 'builtins.DayCounter' objects doesn't apply to a 'int' object"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(D(2024, 1, 1))
    assert type(info.value) is TypeError and info.value.args == (message,)


@pytest.mark.parametrize("method", METHODS)
def test_signatures(method):
    params = "_date1, _date2" if method == "get_dcf_30360" else "date1, date2"
    assert getattr(DC, method).__text_signature__ == f"($self, {params})"
    assert DC.__text_signature__ == "(s)"
