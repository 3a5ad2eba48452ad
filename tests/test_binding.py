"""The shared binding layer: argument binding, conversions and their messages,
exercised through the callables of the module."""
import numpy as np
import pytest

import quillander as q
from support import Index, raises

D = q.Date
d = D(2024, 1, 15)
dc = q.DayCounter.Act365
week = q.Calendar("QD_WEEK")


class Floaty:
    def __float__(self):
        return 0.5


class SubTypeError(TypeError):
    pass


class Raising:
    """__index__ and __float__ raise the exception it was given."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __index__


# ---------------------------------------------------------------- binding messages

@pytest.mark.parametrize("call, message", [
    (lambda: q.exp(1, 2), "exp() takes 1 positional arguments but 2 were given"),
    (lambda: q.erf_inv(1, 2, 3), "erf_inv() takes 1 positional arguments but 3 were given"),
    (lambda: D.days_in_month(2024, 2, 3), "Date.days_in_month() takes 2 positional arguments but 3 were given"),
    (lambda: d.days_in_month(2024, 2, 3, 4), "Date.days_in_month() takes 2 positional arguments but 4 were given"),
    (lambda: d.add_tenor("1M", "2M"), "Date.add_tenor() takes 1 positional arguments but 2 were given"),
    (lambda: dc.get_dcf(d, d, d), "DayCounter.get_dcf() takes 2 positional arguments but 3 were given"),
    (lambda: q.Tenor("1M", "x"), "Tenor.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: q.Calendar.__new__(q.Calendar, "QD_WEEK", 1), "Calendar.__new__() takes 1 positional arguments but 2 were given"),
    # Too many positional arguments is found before any keyword problem.
    (lambda: q.exp(1, 2, y=3), "exp() takes 1 positional arguments but 2 were given"),
])
def test_too_many_positional(call, message):
    raises(TypeError, message, call)


@pytest.mark.parametrize("call, message", [
    (lambda: q.exp(1, x=1), "exp() got multiple values for argument 'x'"),
    (lambda: D.days_in_month(2024, year=2), "Date.days_in_month() got multiple values for argument 'year'"),
    (lambda: dc.get_dcf(d, date1=d), "DayCounter.get_dcf() got multiple values for argument 'date1'"),
    (lambda: q.Tenor("1M", s="2M"), "Tenor.__new__() got multiple values for argument 's'"),
    (lambda: q.Tenor.__new__(q.Tenor, "1M", s="2M"), "Tenor.__new__() got multiple values for argument 's'"),
    (lambda: q.exp(y=1), "exp() got an unexpected keyword argument 'y'"),
    (lambda: q.exp(X=1), "exp() got an unexpected keyword argument 'X'"),
    (lambda: q.exp(**{"é": 1}), "exp() got an unexpected keyword argument 'é'"),
    (lambda: d.is_weekend(calendar=week), "Date.is_weekend() got an unexpected keyword argument 'calendar'"),
    (lambda: D(year=2024), "Date.__new__() got an unexpected keyword argument 'year'"),
    (lambda: D(2024, 1, 1, py_args=1), "Date.__new__() got an unexpected keyword argument 'py_args'"),
    (lambda: D.__new__(D, "2024-01-01", x=1), "Date.__new__() got an unexpected keyword argument 'x'"),
    (lambda: q.DayCounter(name="Act365"), "DayCounter.__new__() got an unexpected keyword argument 'name'"),
    # Keywords are judged in the order given, and before missing arguments.
    (lambda: D.days_in_month(2024, z=1, year=3), "Date.days_in_month() got an unexpected keyword argument 'z'"),
    (lambda: D.days_in_month(2024, year=3, z=1), "Date.days_in_month() got multiple values for argument 'year'"),
    (lambda: D.days_in_month(z=1), "Date.days_in_month() got an unexpected keyword argument 'z'"),
])
def test_keyword_errors(call, message):
    raises(TypeError, message, call)


@pytest.mark.parametrize("call, message", [
    (lambda: q.exp(), "exp() missing 1 required positional argument: 'x'"),
    (lambda: D.days_in_month(2024), "Date.days_in_month() missing 1 required positional argument: 'month'"),
    (lambda: D.days_in_month(month=2), "Date.days_in_month() missing 1 required positional argument: 'year'"),
    (lambda: D.days_in_month(), "Date.days_in_month() missing 2 required positional arguments: 'year' and 'month'"),
    (lambda: dc.get_dcf(), "DayCounter.get_dcf() missing 2 required positional arguments: 'date1' and 'date2'"),
    (lambda: dc.get_dcf_30360(_date2=d), "DayCounter.get_dcf_30360() missing 1 required positional argument: '_date1'"),
    (lambda: q.Calendar(), "Calendar.__new__() missing 1 required positional argument: 's'"),
    (lambda: q.Calendar.__new__(q.Calendar), "Calendar.__new__() missing 1 required positional argument: 's'"),
])
def test_missing_arguments(call, message):
    raises(TypeError, message, call)


def test_no_argument_methods_use_cpythons_check():
    raises(TypeError, "Date.year() takes no arguments (1 given)", lambda: d.year(1))
    with pytest.raises(TypeError):
        d.to_str(x=1)


# The "from <r> to <n>" form and lists of three or more missing names need
# callables with defaults or many parameters; they arrive with plot_function
# and the pricer, and are checked here once those exist.
PLOT_SIGNATURE = "(func, x0, x1, n=100, grid=True, show=True, figsize=None, **py_kwargs)"


@pytest.mark.skipif(q.plot_function.__text_signature__ != PLOT_SIGNATURE, reason="plot_function not built yet")
def test_forms_with_defaults_and_three_names():
    raises(TypeError, "plot_function() takes from 3 to 7 positional arguments but 8 were given",
           lambda: q.plot_function(abs, 0, 1, 2, 3, 4, 5, 6))
    raises(TypeError, "plot_function() missing 3 required positional arguments: 'func', 'x0', and 'x1'",
           lambda: q.plot_function())
    raises(TypeError, "plot_function() missing 2 required positional arguments: 'x0' and 'x1'",
           lambda: q.plot_function(abs, n=3))


@pytest.mark.skipif(not hasattr(q.BlackScholes, "npv"), reason="pricer not built yet")
def test_missing_three_names_on_a_static_method():
    raises(TypeError, "BlackScholes.npv() missing 3 required positional arguments: 'tau', 'pc_flag', and 'vol'",
           lambda: q.BlackScholes.npv(100.0, 100.0, 0.05, 0.0))


@pytest.mark.parametrize("callable_, signature", [
    (D.days_in_month, "(year, month)"), (D.is_leap_year, "(year)"), (D.add_tenor, "($self, t)"),
    (D.year, "($self)"), (q.DayCounter.get_dcf_30360, "($self, _date1, _date2)"),
    (q.Calendar.is_business_day, "($self, date)"), (q.exp, "(x)"),
])
def test_text_signatures(callable_, signature):
    assert callable_.__text_signature__ == signature
    assert callable_.__doc__ is None  # empty body


def test_static_methods_bind_on_class_and_instance():
    assert D.days_in_month(2024, 2) == d.days_in_month(year=2024, month=2) == 29
    assert D.is_leap_year(year=2000) is True
    assert d.add_tenor(t="1M").to_str() == "2024-02-15"
    assert dc.get_dcf(date2=D(2024, 1, 1), date1=D(2025, 1, 1)) == -366 / 365.0


# ---------------------------------------------------------------- double conversion

@pytest.mark.parametrize("arg, expected", [
    (1.5, 1.5), (2, 2.0), (True, 1.0), (False, 0.0), (Index(3), 3.0), (Floaty(), 0.5),
    (np.float64(0.25), 0.25), (np.int64(-4), -4.0), (2**53 + 1, float(2**53)), (float("inf"), float("inf")),
])
def test_double_accepts(arg, expected):
    assert q.pow2(arg) == expected * expected


@pytest.mark.parametrize("arg, exc_type, message", [
    ("1", TypeError, "argument 'x': must be real number, not str"),
    (None, TypeError, "argument 'x': must be real number, not NoneType"),
    (1j, TypeError, "argument 'x': must be real number, not complex"),
    # CPython prints the type's internal name for the module's own classes.
    (d, TypeError, "argument 'x': must be real number, not builtins.Date"),
    (2**1024, OverflowError, "int too large to convert to float"),
    (Raising(TypeError("bad float")), TypeError, "argument 'x': bad float"),
])
def test_double_refuses(arg, exc_type, message):
    raises(exc_type, message, lambda: q.exp(arg))


# ---------------------------------------------------------------- integer conversions

@pytest.mark.parametrize("year, month, expected", [
    (2024, 2, 29), (True, 2, 28), (Index(2000), Index(2), 29), (np.int64(1900), np.uint8(2), 28),
    (0, 2, 29), (65535, 12, 31), (2024, True, 31),
])
def test_small_integers_accept(year, month, expected):
    assert D.days_in_month(year, month) == expected


@pytest.mark.parametrize("args, exc_type, message", [
    ((2024.0, 2), TypeError, "argument 'year': 'float' object cannot be interpreted as an integer"),
    ((2024, "2"), TypeError, "argument 'month': 'str' object cannot be interpreted as an integer"),
    ((2024, None), TypeError, "argument 'month': 'NoneType' object cannot be interpreted as an integer"),
    ((d, 2), TypeError, "argument 'year': 'builtins.Date' object cannot be interpreted as an integer"),
    ((q.TenorUnit.W, 2), TypeError, "argument 'year': 'builtins.TenorUnit' object cannot be interpreted as an integer"),
    ((Index("x"), 2), TypeError, "argument 'year': __index__ returned non-int (type str)"),
    # Target range, then the signed 32-bit range checked by the layer itself.
    ((-1, 2), OverflowError, "out of range integral type conversion attempted"),
    ((65536, 2), OverflowError, "out of range integral type conversion attempted"),
    ((2024, 256), OverflowError, "out of range integral type conversion attempted"),
    ((2024, -1), OverflowError, "out of range integral type conversion attempted"),
    ((2**31 - 1, 2), OverflowError, "out of range integral type conversion attempted"),
    ((-2**31, 2), OverflowError, "out of range integral type conversion attempted"),
    ((2**31, 2), OverflowError, "Python int too large to convert to C long"),
    ((-2**31 - 1, 2), OverflowError, "Python int too large to convert to C long"),
    ((2**63, 2), OverflowError, "Python int too large to convert to C long"),
    ((Index(2**40), 2), OverflowError, "Python int too large to convert to C long"),
    # Parameters convert in order: the first failure wins.
    ((70000, "x"), OverflowError, "out of range integral type conversion attempted"),
    (("x", 300), TypeError, "argument 'year': 'str' object cannot be interpreted as an integer"),
])
def test_small_integers_refuse(args, exc_type, message):
    raises(exc_type, message, lambda: D.days_in_month(*args))


@pytest.mark.parametrize("exc", [SubTypeError("sub"), ValueError("value"), KeyError("key"), OverflowError("big")],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("call", [lambda a: D.days_in_month(a, 2), lambda a: q.exp(a)], ids=["int", "double"])
def test_only_exact_type_errors_get_the_prefix(exc, call):
    with pytest.raises(BaseException) as info:
        call(Raising(exc))
    assert info.value is exc


def test_exact_type_error_gets_the_prefix():
    raises(TypeError, "argument 'year': index broke", lambda: D.is_leap_year(Raising(TypeError("index broke"))))


# ---------------------------------------------------------------- text and class instances

class Text(str):
    pass


@pytest.mark.parametrize("arg, message", [
    (3, "argument 't': 'int' object cannot be converted to 'PyString'"),
    (b"1M", "argument 't': 'bytes' object cannot be converted to 'PyString'"),
    (q.Tenor("1M"), "argument 't': 'Tenor' object cannot be converted to 'PyString'"),
    (None, "argument 't': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_text_refuses(arg, message):
    raises(TypeError, message, lambda: d.add_tenor(arg))


def test_text_accepts_str_subclasses():
    assert d.add_tenor(Text("1M")).to_str() == "2024-02-15"
    assert q.Calendar(Text("QD_NONE")).get_name() == "QD_NONE"


@pytest.mark.parametrize("call", [
    lambda s: d.add_tenor(s), lambda s: q.Tenor(s), lambda s: q.Calendar(s), lambda s: q.DayCounter(s),
    lambda s: D(s),
])
@pytest.mark.parametrize("text", ["\ud800", "3M\udfff", "2024-01-\udc0015"])
def test_lone_surrogates_raise_unicode_encode_error(call, text):
    with pytest.raises(UnicodeEncodeError) as info:
        call(text)
    assert type(info.value) is UnicodeEncodeError
    assert info.value.reason == "surrogates not allowed"


class Nested:
    class Inner:
        pass


@pytest.mark.parametrize("arg, message", [
    (None, "argument 'cal': 'NoneType' object cannot be converted to 'Calendar'"),
    ("QD_WEEK", "argument 'cal': 'str' object cannot be converted to 'Calendar'"),
    (d, "argument 'cal': 'Date' object cannot be converted to 'Calendar'"),
    (q.DayCounter.Act365, "argument 'cal': 'DayCounter' object cannot be converted to 'Calendar'"),
    # The type's qualified name, not its plain name.
    (Nested.Inner(), "argument 'cal': 'Nested.Inner' object cannot be converted to 'Calendar'"),
])
def test_class_instances_refuse(arg, message):
    raises(TypeError, message, lambda: d.is_weekend(arg))


@pytest.mark.parametrize("call, message", [
    (lambda: week.is_business_day(1), "argument 'date': 'int' object cannot be converted to 'Date'"),
    (lambda: week.is_business_day(d.get_ymd()), "argument 'date': 'YearMonthDay' object cannot be converted to 'Date'"),
    (lambda: dc.get_dcf(d, "2024-01-01"), "argument 'date2': 'str' object cannot be converted to 'Date'"),
])
def test_date_arguments_refuse(call, message):
    raises(TypeError, message, call)


# ---------------------------------------------------------------- results

def test_result_types():
    assert type(d.year()) is int and type(d.to_int()) is int
    assert D.is_leap_year(2024) is True and D.is_leap_year(2023) is False
    assert type(d.to_str()) is str and type(dc.get_dcf(d, d)) is float
    assert week.is_weekend(d) is False


@pytest.mark.parametrize("make", [
    lambda: d.get_ymd(), lambda: d + 0, lambda: d.add_tenor("0D"), lambda: d.weekday(),
    lambda: q.Tenor("1M").unit,
])
def test_class_results_are_new_objects(make):
    assert make() is not make()


def test_library_error_is_value_error_with_the_message():
    err = raises(ValueError, "Unknown calendar name (nope)", lambda: q.Calendar("nope"))
    assert err.__cause__ is None
