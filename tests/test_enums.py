import operator

import numpy as np
import pytest

import quillander as q
from support import Index

ENUMS = {
    "TenorUnit": ["D", "B", "W", "M", "Y"],
    "Weekday": ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"],
    "StubType": ["FrontShort", "FrontLong", "BackShort", "BackLong", "NoStub"],
    "BusDayAdj": ["Unadjusted", "Preceding", "Following", "ModFollowing"],
    "ExtrapType": ["Auto", "Flat", "Disabled"],
    "InterpType": ["Linear", "Geometric", "CubicSpline", "LogCubicSpline"],
    "PayerReceiverFlag": ["Payer", "Receiver"],
    "PutCallFlag": ["Put", "Call"],
    "DayCounter": ["Act365", "Act360", "Thirty360"],
}
VARIANTS = [(cls, name, value) for cls, names in ENUMS.items() for value, name in enumerate(names)]
ORDERING = [operator.lt, operator.le, operator.gt, operator.ge]


class BadIndex:
    def __index__(self):
        raise RuntimeError("never reported")


@pytest.mark.parametrize("cls_name, name, value", VARIANTS)
def test_variant(cls_name, name, value):
    cls = getattr(q, cls_name)
    x = getattr(cls, name)
    assert type(x) is cls
    assert x is getattr(cls, name)  # created once, stored on the class
    assert repr(x) == str(x) == format(x, "") == f"{cls_name}.{name}"
    assert int(x) == value and type(int(x)) is int
    assert x == value and value == x and not (x != value)
    assert x == Index(value) and x == np.int64(value) and x == np.uint8(value)
    assert x != value + 1 and x != -1 and x != 255
    assert bool(x) is True


@pytest.mark.parametrize("cls_name", ENUMS)
def test_class_pattern(cls_name):
    cls = getattr(q, cls_name)
    members = [getattr(cls, n) for n in ENUMS[cls_name]]
    own = [k for k in vars(cls) if not k.startswith("__")]
    extra_methods = ["get_dcf", "get_dcf_act365", "get_dcf_act360", "get_dcf_30360"] if cls_name == "DayCounter" else []
    assert own == extra_methods + ENUMS[cls_name]
    assert cls.__hash__ is None
    for a in members:
        assert [a == b for b in members] == [a is b for b in members]
        assert [a != b for b in members] == [a is not b for b in members]
        for attribute in ("name", "value", "__index__", "__iter__", "__len__"):
            assert not hasattr(a, attribute)
    with pytest.raises(TypeError):
        iter(cls)
    with pytest.raises(TypeError):
        len(cls)


@pytest.mark.parametrize("cls_name", [c for c in ENUMS if c != "DayCounter"])
@pytest.mark.parametrize("args", [(), (0,), ("x",)])
def test_no_constructor(cls_name, args):
    with pytest.raises(TypeError) as info:
        getattr(q, cls_name)(*args)
    assert type(info.value) is TypeError and info.value.args == ("No constructor defined",)


@pytest.mark.parametrize("cls_name, name, value", VARIANTS[::2])
def test_unhashable(cls_name, name, value):
    x = getattr(getattr(q, cls_name), name)
    for make in (hash, lambda v: {v}, lambda v: {v: 1}):
        with pytest.raises(TypeError, match=f"^unhashable type: 'builtins.{cls_name}'$"):
            make(x)


@pytest.mark.parametrize("other", [
    0.0, 0.5, None, "0", b"\x00", [0], (0,), 1j, 2**70, -2**70, 2**63, -2**63 - 1, BadIndex(), object(),
], ids=repr)
def test_equality_never_raises(other):
    x = q.StubType.FrontShort
    assert (x == other) is False and (other == x) is False
    assert (x != other) is True and (other != x) is True


@pytest.mark.parametrize("left, right, equal", [
    (q.Weekday.Monday, 0, True), (q.Weekday.Monday, 0.0, False), (q.StubType.FrontLong, True, True),
    (q.StubType.FrontShort, False, True), (q.PutCallFlag.Call, 2**70, False), (q.PutCallFlag.Call, 1, True),
    (q.TenorUnit.D, q.StubType.FrontShort, False), (q.DayCounter.Act365, q.ExtrapType.Auto, False),
    (q.Weekday.Sunday, 2**63 - 1, False), (q.Weekday.Sunday, -2**63, False), (q.Weekday.Sunday, 6 + 2**64, False),
    (q.TenorUnit.B, np.int8(1), True), (q.TenorUnit.B, np.float64(1.0), False),
])
def test_equality(left, right, equal):
    assert (left == right) is equal and (right == left) is equal
    assert (left != right) is (not equal) and (right != left) is (not equal)


@pytest.mark.parametrize("op", ORDERING)
@pytest.mark.parametrize("other", [q.InterpType.Geometric, q.InterpType.Linear, 1, 0.5, None])
def test_ordering_is_refused(op, other):
    with pytest.raises(TypeError, match="not supported between instances of 'builtins.InterpType' and"):
        op(q.InterpType.Linear, other)
    with pytest.raises(TypeError):
        op(other, q.InterpType.Linear)


def test_direct_comparison_returns_not_implemented():
    x = q.Weekday.Monday
    assert x.__eq__(1.5) is NotImplemented and x.__lt__(0) is NotImplemented and x.__lt__(x) is NotImplemented
    assert x.__eq__(0) is True and x.__ne__(q.Weekday.Monday) is False


@pytest.mark.parametrize("convert", [operator.index, float, complex, range, lambda x: [0, 1, 2][x], hex])
def test_not_an_integer(convert):
    with pytest.raises(TypeError):
        convert(q.TenorUnit.W)
    assert int(q.TenorUnit.W) == 2


def test_results_are_new_objects_equal_to_the_class_attribute():
    monday = q.Date(2024, 1, 15).weekday()
    assert monday == q.Weekday.Monday and monday is not q.Weekday.Monday
    unit = q.Tenor("3M").unit
    assert unit == q.TenorUnit.M and unit is not q.TenorUnit.M
    assert q.DayCounter("Act360") == q.DayCounter.Act360 and q.DayCounter("Act360") is not q.DayCounter.Act360


def test_enumeration_arguments_accept_only_instances():
    d = q.Date(2024, 1, 15)
    with pytest.raises(TypeError, match="^argument 'cal': 'Weekday' object cannot be converted to 'Calendar'$"):
        d.is_weekend(q.Weekday.Saturday)
    with pytest.raises(TypeError, match="^argument 'date1': 'int' object cannot be converted to 'Date'$"):
        q.DayCounter.get_dcf(q.DayCounter.Act365, 1, d)
    with pytest.raises(TypeError, match="^descriptor 'get_dcf' for 'builtins.DayCounter' objects doesn't apply to a 'int' object$"):
        q.DayCounter.get_dcf(0, d, d)

