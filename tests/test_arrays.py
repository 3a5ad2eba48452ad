"""quillander_numpy: every element of every twin carries the bits of the scalar
quillander call with the same inputs (NaN where the scalar gives NaN or None),
whatever the shapes, strides, dtypes and thread count; bad input raises what
NumPy users expect."""
import hashlib
import itertools
import math
import os
import pickle
import signal
import struct
import threading
import time
import warnings

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import raises
from test_functions import BOUNDS, EDGES, EXACT, cases

B = q.BlackScholes
FLAGS = (q.PutCallFlag.Put, q.PutCallFlag.Call)
FIELDS = ("npv", "delta", "gamma", "vega", "theta", "rho_r", "rho_q")
FUNCTIONS = ("exp", "ln", "log10", "log2", "pow2", "sqrt", "sin", "cos", "tan", "erf", "erfc", "erf_inv", "erfc_inv")
IMPL_ARITY = {"npv_impl": 7, "delta_impl": 3, "gamma_impl": 5, "vega_impl": 4, "theta_impl": 12, "rho_r_impl": 5,
              "rho_q_impl": 5}
NAN, INF, DAY = math.nan, math.inf, 0.0027397260273972603
ARGS = (100.0, 95.0, 0.05, 0.01, 1.0, 1, 0.2)
FLAG_MESSAGE = "pc_flag ({}) must be 0 (PutCallFlag.Put) or 1 (PutCallFlag.Call)"


# ---------------------------------------------------------------- helpers

def nan_for_none(values):
    return np.array([NAN if v is None else v for v in values], dtype=np.float64)


def scalar_metric(name):
    """The scalar twin of a metric twin, as a function of rows with int flags."""
    if name in FIELDS:
        method = getattr(B, name)
        return lambda rows: nan_for_none([method(s, k, r, y, t, FLAGS[f], v) for s, k, r, y, t, f, v in rows])
    method = getattr(B, name)  # get_metrics / get_metrics_fd: seven columns

    def seven(rows):
        records = [method(s, k, r, y, t, FLAGS[f], v) for s, k, r, y, t, f, v in rows]
        return [nan_for_none([None if m is None else getattr(m, field) for m in records]) for field in FIELDS]
    return seven


def assert_bits(got, want, inputs=()):
    """Every element has want's bits, or is NaN where want is NaN."""
    got, want = np.asarray(got), np.asarray(want, dtype=np.float64)
    assert got.dtype == np.float64 and got.shape == want.shape
    got, want = np.ascontiguousarray(got).ravel(), np.ascontiguousarray(want).ravel()
    nan = np.isnan(want)
    bad = np.flatnonzero(np.where(nan, ~np.isnan(got), got.view(np.uint64) != want.view(np.uint64)))
    if bad.size:
        i = bad[0]
        row = tuple(np.broadcast_to(a, want.shape).ravel()[i] for a in inputs)
        pytest.fail(f"{bad.size} of {want.size} elements differ; first at {i} {row}: "
                    f"got {got[i]!r} ({got[i].hex()}), want {want[i]!r} ({want[i].hex()})")


def rows_of(columns):
    return list(zip(*(np.asarray(c).tolist() for c in columns)))


# ---------------------------------------------------------------- inputs across every regime

SPOT_SPECIALS = [0.0, -0.0, NAN, INF, -INF, -5.0, 5e-324, 1e-300, 1e300]
RATE_SPECIALS = [0.0, -0.0, NAN, INF, -INF, -0.05, 1e-300]
TAU_SPECIALS = [0.0, -0.0, -1.0, -1e-300, NAN, INF, -INF, DAY, 0.002, 2 * DAY, 5e-324, 1e-12]
VOL_SPECIALS = [0.0, -0.0, NAN, INF, -INF, -0.2, 0.001, 0.0001, 0.002, 1e-12, 50.0]


def regime_inputs(n, seed):
    """Option inputs where each argument is, element by element, either an
    ordinary value or one of the special ones (about 40% of the rows are
    entirely ordinary), with spot equal to strike in some rows."""
    rng = np.random.default_rng(seed)

    def mix(ordinary, specials, p=0.15):
        out = ordinary
        pick = rng.random(n) < p
        out[pick] = rng.choice(np.array(specials), int(pick.sum()))
        return out

    spot = mix(rng.uniform(1.0, 200.0, n), SPOT_SPECIALS)
    strike = mix(rng.uniform(1.0, 200.0, n), SPOT_SPECIALS)
    at_money = rng.random(n) < 0.05
    strike[at_money] = spot[at_money]
    rate = mix(rng.normal(0.03, 0.03, n), RATE_SPECIALS)
    div_yield = mix(rng.uniform(0.0, 0.05, n), RATE_SPECIALS)
    tau = mix(rng.exponential(1.0, n), TAU_SPECIALS)
    flag = rng.integers(0, 2, n)
    vol = mix(rng.uniform(0.01, 1.0, n), VOL_SPECIALS)
    return spot, strike, rate, div_yield, tau, flag, vol


MILLIONS = 2_000_000
SAMPLE = 150_000


@pytest.fixture(scope="module")
def regimes():
    inputs = regime_inputs(MILLIONS, seed=20240613)
    index = np.random.default_rng(7).choice(MILLIONS, SAMPLE, replace=False)
    return inputs, index, rows_of(a[index] for a in inputs)


@pytest.mark.parametrize("name", FIELDS)
def test_metric_twins_match_the_scalar_calls_on_millions_of_inputs(regimes, name):
    inputs, index, rows = regimes
    got = getattr(qn, name)(*inputs)
    assert got.shape == (MILLIONS,)
    assert_bits(got[index], scalar_metric(name)(rows), [a[index] for a in inputs])


@pytest.mark.parametrize("name", ["get_metrics", "get_metrics_fd"])
def test_all_metrics_twins_match_the_scalar_records(regimes, name):
    inputs, index, rows = regimes
    got = getattr(qn, name)(*inputs)
    assert type(got) is qn.Metrics
    want = scalar_metric(name)(rows)
    for field, column, expected in zip(FIELDS, got, want):
        assert column is getattr(got, field)
        assert_bits(column[index], expected, [a[index] for a in inputs])
    # On every element: the record's fields are the single twins' results, its npv the closed form.
    npv = qn.npv(*inputs)
    assert_bits(got.npv, npv, inputs)
    if name == "get_metrics":
        for field in FIELDS[1:]:
            assert_bits(getattr(got, field), getattr(qn, field)(*inputs), inputs)


def special_grid():
    """Every combination of the special values the scalar tests use, and more."""
    axes = ([0.0, -0.0, 50.0, 100.0, 137.5, -1.0, NAN, INF, -INF], [0.0, 100.0, 80.0, -1e-300, NAN, INF],
            [0.0, 0.05, -0.01, NAN, -INF], [0.0, 0.03, INF], [-1.0, -0.0, 0.0, 0.002, DAY, 1.5, NAN, INF, -INF],
            [0, 1], [0.0, -0.0, 1e-3, 0.2, -0.2, NAN, INF])
    rows = list(itertools.product(*axes))
    columns = [np.array(c) for c in zip(*rows)]
    columns[5] = columns[5].astype(np.int64)
    return columns, rows


GRID_COLUMNS, GRID_ROWS = special_grid()


@pytest.mark.parametrize("name", FIELDS + ("get_metrics", "get_metrics_fd"))
def test_every_special_value_combination(name):
    got = getattr(qn, name)(*GRID_COLUMNS)
    want = scalar_metric(name)(GRID_ROWS)
    if name in FIELDS:
        got, want = [got], [want]
    for column, expected in zip(got, want):
        assert_bits(column, expected, GRID_COLUMNS)


# The scalar tests' fixed records, bit for bit (negative zeros included).
@pytest.mark.parametrize("args, expected", [
    ((100, 90, 0.05, 0.0, -1.0, 1, 0.2), (0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.0)),  # expired
    ((100, 110, 0.05, 0.0, -1.0, 0, 0.2), (-0.0, -0.0, 0.0, 0.0, 0.0, -0.0, 0.0)),
    ((100, 100, 0.05, 0.02, 0.0, 1, 0.2), (0.0, 0.5, INF, 0.0, 0.0, 0.0, -0.0)),  # at expiry, at the money
    ((100, 100, 0.05, 0.02, 0.0, 0, 0.2), (-0.0, -0.5, INF, 0.0, 0.0, -0.0, 0.0)),
    ((120, 100, 0.05, 0.02, 0.0, 1, 0.2), (20.0, 1.0, 0.0, 0.0, 0.0, 0.0, -0.0)),
    ((100, -1.0, 0.05, 0.0, 1.0, 1, 0.2), (NAN,) * 7),  # the scalar gives None
    ((-1e-300, 100, 0.05, 0.0, 1.0, 1, 0.2), (NAN,) * 7),
    ((100, 100, 0.05, 0.0, 1.0, 1, -0.2), (NAN,) * 7),
])
def test_fixed_records(args, expected):
    got = qn.get_metrics(*args)
    assert_bits(np.array(got), expected)
    assert_bits([getattr(qn, f)(*args) for f in FIELDS], expected)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_twins_match_the_scalar_calls(name):
    rng = np.random.default_rng(abs(hash(name)) % 2**32)
    n = 1_000_000
    edges = np.array(BOUNDS)
    fixed = np.concatenate([
        [x for _, x, _ in cases(EDGES) + cases(EXACT)],
        [0.0, -0.0, NAN, -NAN, INF, -INF, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1.0,
         -1.0, 2.0, 0.5, 1e-300, 1 - 2**-53, 1 + 2**-52, 2 - 2**-52],
        edges, -edges, np.nextafter(edges, -INF), np.nextafter(edges, INF), -np.nextafter(edges, INF)])
    wide = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-320, 308.2, n)
    x = np.concatenate([fixed, rng.uniform(-120, 120, n), wide, rng.uniform(-1.5, 2.5, n)])
    got = getattr(qn, name)(x)
    index = np.concatenate([np.arange(fixed.size), rng.choice(x.size, 250_000, replace=False)])
    scalar = getattr(q, name)
    assert_bits(got[index], [scalar(v) for v in x[index].tolist()], [x[index]])


@pytest.mark.parametrize("name, arity", IMPL_ARITY.items())
def test_closing_formula_twins(name, arity):
    rng = np.random.default_rng(arity)
    n = 100_000
    columns = []
    for _ in range(arity):
        c = rng.normal(0.0, 2.0, n)
        pick = rng.random(n) < 0.2
        c[pick] = rng.choice(np.array([0.0, -0.0, NAN, INF, -INF, 1.0, -1.0]), int(pick.sum()))
        columns.append(c)
    scalar = getattr(B, name)
    assert_bits(getattr(qn, name)(*columns), [scalar(*row) for row in rows_of(columns)], columns)


# ---------------------------------------------------------------- behaving as ufuncs do

def test_module_surface():
    first = ["__version__", "set_num_threads", "get_num_threads", *FUNCTIONS, "Metrics", "get_metrics_ufunc",
             "get_metrics_fd_ufunc", "get_metrics", "get_metrics_fd", *(n for f in FIELDS for n in (f, f + "_impl"))]
    assert qn.__all__[:len(first)] == first  # the twins of later domains follow
    assert len(set(qn.__all__)) == len(qn.__all__) and all(hasattr(qn, n) for n in qn.__all__)
    for name in [*FUNCTIONS, *FIELDS, *IMPL_ARITY, "get_metrics_ufunc", "get_metrics_fd_ufunc"]:
        ufunc = getattr(qn, name)
        assert type(ufunc) is np.ufunc and ufunc.__name__ == name
        assert pickle.loads(pickle.dumps(ufunc)) is ufunc
    assert (qn.npv.nin, qn.npv.nout, qn.get_metrics_ufunc.nout, qn.erf.nin) == (7, 1, 7, 1)
    assert qn.Metrics._fields == FIELDS and qn.Metrics.__module__ == "quillander_numpy"
    for name in ("get_metrics", "get_metrics_fd", "Metrics", "set_num_threads"):
        assert pickle.loads(pickle.dumps(getattr(qn, name))) is getattr(qn, name)
    assert qn.get_metrics.__text_signature__ == "(spot, strike, rate, div_yield, tau, pc_flag, vol, /, **ufunc_kwargs)"
    assert qn.set_num_threads.__text_signature__ == "(n)"


def test_scalars_in_give_scalars_out():
    value = qn.npv(*ARGS)
    assert type(value) is np.float64
    assert struct.pack("<d", value) == struct.pack("<d", B.npv(*ARGS[:5], q.PutCallFlag.Call, ARGS[6]))
    assert type(qn.erf(0.5)) is np.float64 and qn.erf(0.5) == q.erf(0.5)
    metrics = qn.get_metrics(*ARGS)
    assert type(metrics) is qn.Metrics and all(type(v) is np.float64 for v in metrics)
    assert type(qn.npv(*map(np.float64, ARGS[:5]), q.PutCallFlag.Call, np.array(0.2))) is np.float64


def test_broadcasting_strides_and_flag_kinds():
    spot = np.linspace(60.0, 140.0, 12).reshape(3, 4)[:, ::-1]  # non-contiguous
    strike = np.array([[90.0], [100.0], [110.0]])
    flags = np.array([q.PutCallFlag.Call, 0, q.PutCallFlag.Put, 1], dtype=object)  # objects and ints mixed
    tau = np.array([0.5, 0.0, -1.0, 2.0])[::-1]
    got = qn.get_metrics(spot, strike, 0.05, 0.01, tau, flags, 0.25)
    shape = (3, 4)
    cols = [np.broadcast_to(a, shape).ravel() for a in (spot, strike, 0.05, 0.01, tau, [1, 0, 0, 1], 0.25)]
    for column, expected in zip(got, scalar_metric("get_metrics")(rows_of(cols))):
        assert column.shape == shape
        assert_bits(column.ravel(), expected)
    for flag_form in ([q.PutCallFlag.Call, q.PutCallFlag.Put], np.array([1, 0], dtype=np.int8), [True, False]):
        assert_bits(qn.delta(100.0, 100.0, 0.05, 0.0, 1.0, flag_form, 0.2),
                    [B.delta(100.0, 100.0, 0.05, 0.0, 1.0, f, 0.2) for f in (FLAGS[1], FLAGS[0])])


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int32, np.int64, np.uint8, np.bool_, np.longdouble])
def test_other_real_dtypes_are_cast_to_float64(dtype):
    x = np.array([0, 1, 2, 3, 0.5, -1.25, 100], dtype=np.float64).astype(dtype)
    as_float = [float(np.float64(v)) for v in x]
    assert_bits(qn.erf(x), [q.erf(v) for v in as_float])
    assert_bits(qn.vega(x, 1.0, 0.01, 0.0, 1.0, 1, 0.3), [B.vega(v, 1.0, 0.01, 0.0, 1.0, FLAGS[1], 0.3) for v in as_float])


def test_out_and_where():
    spot = np.array([80.0, 90.0, 100.0, 110.0, -1.0])
    out = np.full(5, 7.0)
    result = qn.npv(spot, 100.0, 0.05, 0.0, 1.0, 1, 0.2, out=out)
    assert result is out
    assert_bits(out, [B.npv(s, 100.0, 0.05, 0.0, 1.0, FLAGS[1], 0.2) for s in spot.tolist()])
    strided = np.full(10, 7.0)
    mask = np.array([True, False, True, False, True])
    qn.npv(spot, 100.0, 0.05, 0.0, 1.0, 1, 0.2, out=strided[::2], where=mask)
    want = [B.npv(s, 100.0, 0.05, 0.0, 1.0, FLAGS[1], 0.2) if m else 7.0 for s, m in zip(spot.tolist(), mask)]
    assert_bits(strided[::2], want)
    assert_bits(strided[1::2], [7.0] * 5)
    outs = tuple(np.full(5, 7.0) for _ in FIELDS)
    got = qn.get_metrics(spot, 100.0, 0.05, 0.0, 1.0, 1, 0.2, out=outs, where=mask)
    assert type(got) is qn.Metrics and all(a is b for a, b in zip(got, outs))
    for field, column in zip(FIELDS, outs):
        scalar = getattr(B, field)
        assert_bits(column, [scalar(s, 100.0, 0.05, 0.0, 1.0, FLAGS[1], 0.2) if m else 7.0
                             for s, m in zip(spot.tolist(), mask)])
    empty = qn.get_metrics_fd(np.empty((0, 3)), 1.0, 0.0, 0.0, 1.0, 1, 0.2)
    assert all(c.shape == (0, 3) and c.dtype == np.float64 for c in empty)


def test_outputs_written_over_their_inputs():
    """In place (NumPy hands the loop the same memory) or shifted (NumPy copies)."""
    x = np.linspace(-3.0, 3.0, 100_001)
    want = qn.erf(x)
    inputs = regime_inputs(100_001, seed=17)
    previous = qn.set_num_threads(2)
    try:
        y = x.copy()
        assert_bits(qn.erf(y, out=y), want)
        y = x.copy()
        qn.erf(y[:-1], out=y[1:])
        assert_bits(y[1:], want[:-1])
        for name in FIELDS:
            expected = getattr(qn, name)(*inputs)
            for j in (0, 1, 2, 3, 4, 6):
                copies = [a.copy() for a in inputs]
                assert_bits(getattr(qn, name)(*copies, out=copies[j]), expected)
    finally:
        qn.set_num_threads(previous)


# All seven outputs must be read from inputs that none of them has overwritten yet.
def test_all_metrics_written_over_their_inputs():
    inputs = regime_inputs(10_000, seed=18)
    expected = qn.get_metrics(*inputs)
    wrong = []
    for k in range(7):
        for j in (0, 1, 2, 3, 4, 6):
            copies = [a.copy() for a in inputs]
            outs = [np.empty(10_000) for _ in FIELDS]
            outs[k] = copies[j]
            got = qn.get_metrics(*copies, out=tuple(outs))
            same = [np.array_equal(np.isnan(a), np.isnan(b)) and np.array_equal(a[~np.isnan(b)].view(np.uint64),
                                                                                b[~np.isnan(b)].view(np.uint64))
                    for a, b in zip(got, expected)]
            if not all(same):
                wrong.append((FIELDS[k], j))
    assert wrong == [], f"(output over input number): {wrong}"


# The scalar calls never report floating-point flags, and neither may the loops:
# when NumPy casts an input through its buffers (another dtype, more than one
# dimension, not contiguous) it reads the flags after the loop has run.
@pytest.mark.parametrize("name, args", [("ln", ()), ("tan", ()), ("npv", (100.0, 0.05, 0.0, 1.0, 1, 0.2)),
                                        ("get_metrics_ufunc", (100.0, 0.05, 0.0, 1.0, 1, 0.2))])
@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.longdouble])
def test_no_floating_point_errors_whatever_the_input_dtype(name, args, dtype):
    x = np.array([[0.0, INF], [0.0, 1.0], [-0.0, 2.0]], dtype=dtype).T
    with np.errstate(all="raise"):
        got = getattr(qn, name)(x, *args)
    for column, want in zip(got if name.startswith("get_") else [got],
                            qn.get_metrics_ufunc(x.astype(np.float64), *args) if name.startswith("get_")
                            else [getattr(qn, name)(x.astype(np.float64), *args)]):
        assert_bits(column, want)


# ---------------------------------------------------------------- bad input

def test_pc_flag_values_other_than_put_and_call_are_refused():
    def npv(flag):
        return lambda: qn.npv(100.0, 100.0, 0.05, 0.0, 1.0, flag, 0.2)
    for flag, shown in [(2, "2"), (-1, "-1"), (np.array([0, 1, 2, 1]), "2"), (np.array([[1], [-7]]), "-7"),
                        (np.array([1, 2**40], dtype=object), str(2**40)),
                        (np.array([q.PutCallFlag.Call, 3], dtype=object), "3"),
                        (np.array([2**70], dtype=object), str(2**70)), (np.array([2], dtype=np.uint8), "2")]:
        raises(ValueError, FLAG_MESSAGE.format(shown), npv(flag))
        raises(ValueError, FLAG_MESSAGE.format(shown), lambda: qn.get_metrics_fd(1.0, 1.0, 0.0, 0.0, 1.0, flag, 0.2))
    # The first bad element is named, whichever thread meets which first.
    flags = np.ones(400_000, dtype=np.int64)
    flags[[12_345, 250_000, 399_999]] = [5, 6, 7]
    previous = qn.set_num_threads(4)
    try:
        raises(ValueError, FLAG_MESSAGE.format(5), npv(flags))
    finally:
        qn.set_num_threads(previous)
    for flag, kind in [(q.Weekday.Monday, "Weekday"), (None, "NoneType"), (np.array([1, 0.5], dtype=object), "float"),
                       (np.array([1, "1"], dtype=object), "str"), ("1", "str"), (np.array([1 + 0j]), "complex")]:
        raises(TypeError, f"argument 'pc_flag': '{kind}' object cannot be converted to 'PutCallFlag'", npv(flag))


# A column of flags that once held NaN is float64: 0.0 and 1.0 are the flags,
# any other value is refused as the integer would be.
@pytest.mark.parametrize("flags", [1.0, np.array([0.0, 1.0, 1.0]), np.array([1.0, 0.0], dtype=np.float32), np.float64(0.0),
                                   np.array([-0.0, 1.0])])
def test_float_flags_holding_zero_or_one(flags):
    as_int = np.asarray(flags).astype(np.int64)
    for name in ("npv", "gamma", "get_metrics_ufunc", "implied_vol_ufunc"):
        args = (5.0,) * (name == "implied_vol_ufunc") + (100.0, 95.0, 0.05, 0.01, 1.0)
        tail = () if name == "implied_vol_ufunc" else (0.2,)
        got, want = getattr(qn, name)(*args, flags, *tail), getattr(qn, name)(*args, as_int, *tail)
        for a, b in zip(got if isinstance(got, tuple) else [got], want if isinstance(want, tuple) else [want]):
            assert_bits(a, b)


@pytest.mark.parametrize("flags, shown", [(0.5, "0.5"), (np.array([1.0, 2.0]), "2"), (np.array([0.0, np.nan]), "NaN"),
                                          (np.array([1.0, -1.0, 7.0]), "-1"), (np.inf, "inf")])
def test_float_flags_of_other_values_are_refused(flags, shown):
    raises(ValueError, FLAG_MESSAGE.format(shown), lambda: qn.npv(100.0, 100.0, 0.05, 0.0, 1.0, flags, 0.2))
    raises(ValueError, FLAG_MESSAGE.format(shown), lambda: qn.get_metrics(100.0, 100.0, 0.05, 0.0, 1.0, flags, 0.2))


# Every value other than 0 and 1 is refused as itself, also a Python int beyond
# int64 (not NumPy's OverflowError) and a uint64 from 2**63 on (not its wrapped
# int64 value).
@pytest.mark.parametrize("flag, shown", [(2**70, str(2**70)), (-2**64, str(-2**64)),
                                         (np.array([1, 2**63], dtype=np.uint64), str(2**63)),
                                         (np.uint64(2**64 - 1), str(2**64 - 1))])
def test_pc_flag_out_of_int64_range_is_named(flag, shown):
    raises(ValueError, FLAG_MESSAGE.format(shown), lambda: qn.npv(100.0, 100.0, 0.05, 0.0, 1.0, flag, 0.2))


# What NumPy cannot read as float64 is read element by element as the scalar
# binding reads a float: an object array of numbers works, anything else is
# the scalar module's TypeError naming the argument.
@pytest.mark.parametrize("bad, kind", [("1.0", "str"), (1j, "complex"), (np.array([b"1"]), "bytes"),
                                       (np.datetime64("2024-01-01"), "datetime.date"),
                                       (np.array([1.5, "x"], dtype=object), "str"), (None, "NoneType")])
def test_wrong_dtypes_raise_the_scalar_type_errors(bad, kind):
    raises(TypeError, f"argument 'x': must be real number, not {kind}", lambda: qn.erf(bad))
    raises(TypeError, f"argument 'tau': must be real number, not {kind}", lambda: qn.vega(100.0, 100.0, 0.05, 0.0, bad, 1, 0.2))
    if isinstance(bad, (str, complex, type(None))):  # the scalar module's own words
        raises(TypeError, f"argument 'x': must be real number, not {kind}", lambda: q.erf(bad))


def test_object_arrays_of_numbers_are_read_as_the_scalar_binding_reads_them():
    from support import Index

    class Real:
        def __float__(self):
            return 0.25
    values = [1.0, 2, np.float32(0.5), Real(), True, Index(3)]
    assert_bits(qn.erf(np.array(values, dtype=object)), [q.erf(v) for v in values])


def test_shapes_arity_and_huge_outputs():
    with pytest.raises(ValueError, match=r"^operands could not be broadcast together with shapes \(3,\) \(4,\) "):
        qn.npv(np.ones(3), np.ones(4), 0.05, 0.0, 1.0, 1, 0.2)
    with pytest.raises(ValueError, match="^operands could not be broadcast together"):
        qn.get_metrics(np.ones(3), 1.0, 0.05, 0.0, 1.0, np.array([0, 1]), 0.2)
    raises(TypeError, "npv() takes from 7 to 8 positional arguments but 6 were given",
           lambda: qn.npv(*ARGS[:6]))
    raises(TypeError, "npv() got an unexpected keyword argument 'spot'", lambda: qn.npv(*ARGS, spot=1.0))
    for name in ("get_metrics", "get_metrics_fd"):
        raises(TypeError, f"{name}() takes from 7 to 14 positional arguments but 1 was given",
               lambda: getattr(qn, name)(1.0))
        raises(TypeError, f"{name}() takes from 7 to 14 positional arguments but 15 were given",
               lambda: getattr(qn, name)(*range(15)))
    huge = np.broadcast_to(0.0, (2**40,))
    for call in (lambda: qn.erf(huge), lambda: qn.npv(huge, *ARGS[1:]), lambda: qn.get_metrics(*ARGS[:6], huge)):
        with pytest.raises(MemoryError):
            call()


@pytest.mark.parametrize("n", [3, 600_000, 1_048_576])  # small outputs; 4.8 MB; exactly 8 MB
def test_all_metrics_outputs_are_ordinary_arrays(n):
    from numpy._core.multiarray import get_handler_name
    spot = np.linspace(50.0, 150.0, n)
    got = qn.get_metrics(spot, 100.0, 0.05, 0.01, 1.0, 1, 0.2)
    assert get_handler_name() == get_handler_name(np.empty(n)) == "default_allocator"
    expected = qn.npv(spot, 100.0, 0.05, 0.01, 1.0, 1, 0.2)
    column = got.npv
    assert column.flags.owndata and column.flags.writeable and column.ctypes.data % 16 == 0
    assert_bits(pickle.loads(pickle.dumps(column)), expected)
    kept = n
    for size in (2 * n, n // 2, 10, n):  # grow and shrink in place, across the large-block threshold
        column.resize(size, refcheck=False)
        kept = min(kept, size)
        assert_bits(column[:kept], expected[:kept])
    column[:] = 1.0
    assert_bits(got.delta, qn.delta(spot, 100.0, 0.05, 0.01, 1.0, 1, 0.2))  # no two outputs share memory
    del got, column
    # A refused call keeps its own error and leaves NumPy's allocator as it was.
    raises(ValueError, FLAG_MESSAGE.format(2), lambda: qn.get_metrics(spot, 100.0, 0.05, 0.01, 1.0, 2, 0.2))
    assert get_handler_name() == "default_allocator"


# ---------------------------------------------------------------- threads

def test_thread_setting():
    assert qn.get_num_threads() == len(os.sched_getaffinity(0))
    previous = qn.get_num_threads()
    try:
        assert qn.set_num_threads(3) == previous and qn.get_num_threads() == 3
        assert qn.set_num_threads(n=1) == 3 and qn.get_num_threads() == 1
        for n in (0, -4):
            raises(ValueError, f"Number of threads ({n}) must be >= 1", lambda: qn.set_num_threads(n))
        raises(TypeError, "argument 'n': 'float' object cannot be interpreted as an integer",
               lambda: qn.set_num_threads(2.0))
        assert qn.get_num_threads() == 1
    finally:
        qn.set_num_threads(previous)


def test_results_do_not_depend_on_the_thread_count(regimes):
    inputs = [a[:300_001] for a in regimes[0]]
    x = inputs[0]
    previous = qn.get_num_threads()
    results = []
    try:
        for n in (1, 2, 4, 7):
            qn.set_num_threads(n)
            results.append([*qn.get_metrics(*inputs), *qn.get_metrics_fd(*inputs), qn.npv(*inputs), qn.erf(x),
                            qn.erfc_inv(x), qn.delta(*inputs[:5], inputs[5].astype(object), inputs[6]),
                            qn.vega(*inputs[:5], q.PutCallFlag.Put, inputs[6])])
    finally:
        qn.set_num_threads(previous)
    for other in results[1:]:
        for a, b in zip(results[0], other):
            assert_bits(b, a)


def os_threads():
    return len(os.listdir("/proc/self/task"))


def test_one_pool_serves_every_loop_and_concurrent_callers(regimes):
    """The pool's threads are made once; callers on several Python threads at
    once (one gets the pool, the others run inline) get one caller's bits."""
    inputs = [a[:100_000] for a in regimes[0]]
    previous = qn.set_num_threads(4)
    try:
        expected = qn.get_metrics(*inputs)
        before = os_threads()
        for _ in range(20):
            qn.npv(*inputs)
        assert os_threads() == before
        got = [None] * 6
        callers = [threading.Thread(target=lambda k=k: got.__setitem__(k, qn.get_metrics(*inputs))) for k in range(6)]
        for t in callers:
            t.start()
        for t in callers:
            t.join()
    finally:
        qn.set_num_threads(previous)
    for metrics in got:
        for column, want in zip(metrics, expected):
            assert_bits(column, want)


def test_loops_release_the_interpreter_lock():
    """While one thread prices, another keeps running Python code: it is never
    held up for more than a fraction of the pricing call."""
    inputs = regime_inputs(400_000, seed=3)
    previous = qn.set_num_threads(1)
    seen = []
    try:
        worker = threading.Thread(target=lambda: seen.append(qn.get_metrics_fd(*inputs)))
        start = time.perf_counter()
        worker.start()
        gaps, last = [], time.perf_counter()
        while worker.is_alive():
            now = time.perf_counter()
            gaps.append(now - last)
            last = now
        worker.join()
        elapsed = time.perf_counter() - start
    finally:
        qn.set_num_threads(previous)
    assert seen and elapsed > 0.05
    assert max(gaps) < elapsed / 2, (max(gaps), elapsed)


def price_digest(inputs):
    digest = hashlib.sha256()
    for column in qn.get_metrics(*inputs):
        digest.update(np.ascontiguousarray(column).tobytes())
    return digest.digest()


def in_child(fn, timeout=60.0):
    """fn() in a forked child; returns the few bytes it gave (no more than a
    pipe holds), failing rather than hanging if the child never ends."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            data = fn()
            with os.fdopen(write_end, "wb") as f:
                f.write(data)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read_end)
            pytest.fail("the forked child did not finish")
        time.sleep(0.01)
    with os.fdopen(read_end, "rb") as f:
        data = f.read()
    assert os.waitstatus_to_exitcode(status) == 0
    return data


def test_pricing_after_fork():
    inputs = regime_inputs(200_000, seed=11)
    previous = qn.set_num_threads(2)
    try:
        expected = price_digest(inputs)  # the pool exists now
        assert in_child(lambda: price_digest(inputs)) == expected
        # A fork in the middle of another thread's loop: the child builds a pool of its own.
        stop = threading.Event()

        def busy():
            while not stop.is_set():
                qn.get_metrics(*inputs)
        thread = threading.Thread(target=busy)
        thread.start()
        try:
            for _ in range(5):
                assert in_child(lambda: price_digest(inputs)) == expected
        finally:
            stop.set()
            thread.join()
    finally:
        qn.set_num_threads(previous)
