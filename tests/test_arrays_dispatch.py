"""Every twin whose result has its inputs' shape behaves as a ufunc does, listed
from the module (a twin added later is covered): pandas Series and DataFrame
columns keep their index, xarray objects their coordinates, Dask arrays stay
lazy and give one NumPy call's bits, out= and where= work, and a failed call
leaves out= as it was. Each case is compared with the same twin's call on
plain NumPy arrays (whose elements the other test files compare with the
scalar calls)."""
import math
import pickle
import re

import numpy as np
import pandas as pd
import pytest

import quillander as q
import quillander_numpy as qn
from support import MAX_SERIAL, MIN_SERIAL, raises

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")

B = q.BlackScholes
N = 7
TODAY = q.Date(2024, 1, 15)
CURVE = q.YieldCurve.create_noded(TODAY, q.DayCounter.Act365, [TODAY, TODAY + 365, TODAY + 3650], [1.0, 0.96, 0.7],
                                  q.InterpType.Geometric)
INTERP = q.Interpolator([0.0, 1.0, 3.0], [1.0, 0.5, 0.25], q.InterpType.Linear, q.ExtrapType.Flat)
DAYS = np.datetime64("2024-01-15") + np.array([3, 40, 400, 0, 1000, 77, 2900]).astype("m8[D]")
RNG = np.random.default_rng(22)

# A sample of each parameter by its name: N elements of the twin's ordinary inputs.
SAMPLES = {
    "x": np.linspace(-0.9, 0.9, N), "spot": np.linspace(80.0, 120.0, N), "strike": np.linspace(90.0, 110.0, N)[::-1],
    "rate": np.full(N, 0.03), "div_yield": np.linspace(0.0, 0.02, N), "tau": np.linspace(0.1, 2.0, N),
    "vol": np.linspace(0.1, 0.4, N), "pc_flag": np.array([1, 0, 1, 1, 0, 0, 1]), "price": np.linspace(1.0, 7.0, N),
    "chi": np.array([1.0, -1.0] * 3 + [1.0]), "df_r": np.linspace(0.9, 1.0, N), "df_q": np.linspace(0.95, 1.0, N),
    "cdf_d1": np.linspace(0.1, 0.9, N), "cdf_d2": np.linspace(0.05, 0.85, N), "pdf_d1": np.linspace(0.1, 0.4, N),
    "sqrt_tau": np.linspace(0.3, 1.5, N), "dates": DAYS, "start": DAYS, "end": DAYS[::-1],
    "eval_date": np.full(N, np.datetime64("2024-01-15")), "expiry_date": DAYS + np.timedelta64(30, "D"),
    "serials": np.arange(N) * 1000 + 40000, "t": "3M", "curve": CURVE, "dc": q.DayCounter.Act360, "interp": INTERP,
    "cal": q.Calendar("QD_WEEK"), "bus_day_adj": q.BusDayAdj.ModFollowing, "holidays": ["2024-02-26", "2027-04-16"],
    "n": np.array([2, -1, 0, 5, 1, -3, 40]), "day_count": "30E/360 ISDA", "maturity": DAYS[::-1],
}
# Bonds: the conventions, and terms settled after their starts.
SAMPLES.update({"conv": qn.BondConventions(), "kind": "macaulay", "settle": DAYS + np.timedelta64(30, "D"),
                "maturity": DAYS + np.timedelta64(3650, "D"), "coupon": np.linspace(0.0, 0.1, N),
                "ytm": np.linspace(0.01, 0.08, N), "clean_price": np.linspace(90.0, 110.0, N)})
# Swaps: their own conventions under the same parameter name, two-year swaps.
FAMILY_SAMPLES = {"swap_": {"conv": qn.SwapConventions.preset("USD SOFR"), "maturity": DAYS + np.timedelta64(730, "D"),
                            "fixed_rate": np.linspace(0.01, 0.05, N), "pay_rec": np.array([0, 1, 1, 0, 1, 0, 0]),
                            "notional": np.linspace(1.0, 1e6, N), "forecast_curve": CURVE}}
RECEIVERS = {"curve", "dc", "interp", "cal", "t", "bus_day_adj", "holidays", "day_count", "conv", "kind",
             "forecast_curve"}
# A value of the parameter refused by every twin taking it, at one element.
BAD = {"pc_flag": 7, "serials": 2**40, "dates": np.datetime64("1800-01-01"), "start": np.datetime64("1800-01-01"),
       "end": np.datetime64("1800-01-01"), "eval_date": np.datetime64("1800-01-01"),
       "expiry_date": np.datetime64("1800-01-01"), "settle": np.datetime64("1800-01-01")}


def is_twin(f):
    return isinstance(f, np.ufunc) or "**ufunc_kwargs" in (getattr(f, "__text_signature__", None) or "")


TWINS = [n for n in qn.__all__ if is_twin(getattr(qn, n))]


def params(name):
    """The twin's parameters: its own signature, or its scalar counterpart's."""
    text = getattr(qn, name).__text_signature__ if not isinstance(getattr(qn, name), np.ufunc) else None
    if text is None:
        base = name.removesuffix("_ufunc")
        scalar = getattr(q, base, None) or getattr(B, base, None) or getattr(qn, base)
        text = scalar.__text_signature__
    names = [p.strip().split("=")[0] for p in text.strip("()").split(",")]
    return [p for p in names if p and p not in ("/", "**ufunc_kwargs", "$self")]


def samples(name):
    """The samples by parameter name, a family's own (the swaps' conv) first."""
    own = next((v for prefix, v in FAMILY_SAMPLES.items() if name.startswith(prefix)), {})
    return {**SAMPLES, **own}


def inputs(name):
    return [samples(name)[p] for p in params(name)]


def first_array(name):
    """The index of the parameter given as a Series, DataArray or Dask array."""
    return next(k for k, p in enumerate(params(name)) if p not in RECEIVERS)


def outcome(call):
    """The result, or the exception's class and message."""
    try:
        return call()
    except BaseException as e:  # noqa: BLE001 - twins that always fail fail the same way
        return (type(e), str(e))


def columns(result):
    return list(result) if isinstance(result, tuple) else [result]


def assert_same(got, want):
    """Bit for bit (NaN and NaT where NaN and NaT), or the same exception."""
    if isinstance(want, tuple) and want and isinstance(want[0], type):
        assert got == want
        return
    assert len(columns(got)) == len(columns(want))
    for g, w in zip(columns(got), columns(want)):
        g, w = np.asarray(g), np.asarray(w)
        assert g.shape == w.shape and g.dtype == w.dtype, (g.dtype, w.dtype)
        assert g.tobytes() == w.tobytes() or (np.isnan(g) == np.isnan(w)).all() and \
            (g[~np.isnan(g)].tobytes() == w[~np.isnan(w)].tobytes())


def test_the_list_of_twins_is_complete():
    assert len(TWINS) >= 56
    for name in TWINS:
        assert all(p in samples(name) for p in params(name)), (name, params(name))
    assert {"get_df", "npv", "to_int", "add_tenor", "get_metrics_with_dates", "interpolate"} <= set(TWINS)
    assert type(qn.npv) is np.ufunc and type(qn.erf) is np.ufunc


@pytest.mark.parametrize("name", TWINS)
def test_series_and_dataframe_columns_keep_their_index(name):
    args = inputs(name)
    k = first_array(name)
    want = outcome(lambda: getattr(qn, name)(*args))
    index = pd.Index([f"row{i}" for i in range(N)], name="trade")
    frame = pd.DataFrame({"given": args[k]}, index=index)
    for column in (pd.Series(args[k], index=index, name="given"), frame["given"]):
        got = outcome(lambda: getattr(qn, name)(*args[:k], column, *args[k + 1:]))
        if isinstance(want, tuple) and isinstance(want[0], type):
            assert got == want
            continue
        for g in columns(got):
            assert type(g) is pd.Series and g.index.equals(index)
        # pandas holds datetime64 in seconds at the finest: the same days.
        assert_same(tuple(g.to_numpy().astype(np.asarray(w).dtype) for g, w in zip(columns(got), columns(want))),
                    tuple(columns(want)))
    if not (isinstance(want, tuple) and isinstance(want[0], type)):
        frame["result"] = columns(getattr(qn, name)(*args[:k], frame["given"], *args[k + 1:]))[0]
        assert_same(frame["result"].to_numpy().astype(np.asarray(columns(want)[0]).dtype), columns(want)[0])


@pytest.mark.parametrize("name", TWINS)
def test_xarray_objects_keep_their_coordinates(name):
    args = inputs(name)
    k = first_array(name)
    want = outcome(lambda: getattr(qn, name)(*args))
    given = xr.DataArray(args[k], dims="trade", coords={"trade": np.arange(N) * 10}, attrs={"units": "x"})
    got = outcome(lambda: getattr(qn, name)(*args[:k], given, *args[k + 1:]))
    if isinstance(want, tuple) and isinstance(want[0], type):
        assert got == want
        return
    for g in columns(got):
        assert type(g) is xr.DataArray and g.dims == ("trade",) and g.coords["trade"].values.tolist() == \
            (np.arange(N) * 10).tolist()
    # xarray holds datetime64 in nanoseconds: the same days.
    assert_same(tuple(g.values.astype(np.asarray(w).dtype) for g, w in zip(columns(got), columns(want))),
                tuple(columns(want)))


# The ufuncs of several outputs go to Dask through their module functions
# (get_metrics for get_metrics_ufunc): Dask applies no such ufunc itself.
@pytest.mark.parametrize("dask_backed", [False, True], ids=["dask", "dask inside xarray"])
@pytest.mark.parametrize("name", [n for n in TWINS if not (isinstance(getattr(qn, n), np.ufunc) and getattr(qn, n).nout > 1)])
def test_dask_arrays_stay_lazy_and_give_the_bits_of_one_call(name, dask_backed):
    args = inputs(name)
    k = first_array(name)
    want = outcome(lambda: getattr(qn, name)(*args))
    lazy = da.from_array(args[k], chunks=3)
    given = xr.DataArray(lazy, dims="trade") if dask_backed else lazy
    got = outcome(lambda: getattr(qn, name)(*args[:k], given, *args[k + 1:]))
    if isinstance(got, tuple) and got and isinstance(got[0], type):
        # Refused when the graph is made or when it runs, with the same error.
        assert got == want
        return
    for g in columns(got):
        data = g.data if dask_backed else g
        assert isinstance(data, da.Array) and data.chunks == ((3, 3, 1),)
    import dask
    computed = outcome(lambda: dask.compute(*columns(got), scheduler="sync"))
    if isinstance(want, tuple) and isinstance(want[0], type):
        assert computed[0] is want[0] and computed[1].startswith(want[1].split(" (at index")[0])
        return
    assert_same(tuple(np.asarray(c).astype(np.asarray(w).dtype) for c, w in zip(computed, columns(want))),
                tuple(columns(want)))


@pytest.mark.parametrize("name", TWINS)
def test_out_and_where(name):
    args = inputs(name)
    want = outcome(lambda: getattr(qn, name)(*args))
    if isinstance(want, tuple) and isinstance(want[0], type):
        return
    outs = tuple(np.full(N, 7, dtype=np.asarray(c).dtype) for c in columns(want))
    before = tuple(o.copy() for o in outs)
    got = getattr(qn, name)(*args, out=outs if len(outs) > 1 else outs[0])
    assert all(g is o for g, o in zip(columns(got), outs))
    assert_same(tuple(outs), tuple(columns(want)))
    mask = np.array([True, False, True, True, False, False, True])
    outs = tuple(b.copy() for b in before)
    getattr(qn, name)(*args, out=outs if len(outs) > 1 else outs[0], where=mask)
    for o, b, w in zip(outs, before, columns(want)):
        assert_same(o[mask], np.asarray(w)[mask])
        assert_same(o[~mask], b[~mask])
    # Into every other element of a larger array: the results land where asked.
    wide = tuple(np.full(2 * N, 7, dtype=o.dtype) for o in outs)
    getattr(qn, name)(*args, out=tuple(w[::2] for w in wide) if len(wide) > 1 else wide[0][::2])
    for w, c in zip(wide, columns(want)):
        assert_same(w[::2], np.asarray(c))
        assert_same(w[1::2], np.full(N, 7, dtype=w.dtype))


def refused_call(name):
    """The twin's arguments with element 4 of one argument refused."""
    names = params(name)
    args = [np.array(a, copy=True) if isinstance(a, np.ndarray) else a for a in inputs(name)]
    for k, p in enumerate(names):
        if p in BAD:
            args[k] = args[k].astype(np.asarray(BAD[p]).dtype if p == "serials" else args[k].dtype)
            args[k][4] = BAD[p]
            return args, p
    k = next(k for k, p in enumerate(names) if p not in RECEIVERS)
    args[k] = np.array(list(args[k][:4]) + ["x"] + list(args[k][5:]), dtype=object)
    return args, names[k]


@pytest.mark.parametrize("name", TWINS)
def test_a_failed_call_leaves_out_as_it_was(name):
    args, _ = refused_call(name)
    plain = outcome(lambda: getattr(qn, name)(*inputs(name)))
    dtypes = [np.asarray(c).dtype for c in columns(plain)] if not isinstance(plain, tuple) or \
        not isinstance(plain[0], type) else [np.float64]
    nout = len(columns(plain)) if len(dtypes) > 1 or not isinstance(plain, tuple) else \
        (7 if "metrics" in name else 1)
    outs = tuple(np.full(N, 7, dtype=dtypes[0] if len(dtypes) == 1 else d) for d in dtypes * (nout // len(dtypes)))
    before = tuple(o.copy() for o in outs)
    with pytest.raises(BaseException):
        getattr(qn, name)(*args, out=outs if len(outs) > 1 else outs[0])
    for o, b in zip(outs, before):
        assert o.tobytes() == b.tobytes()


WRAPPED = [n for n in TWINS if not isinstance(getattr(qn, n), np.ufunc) and n not in
           ("get_metrics", "get_metrics_fd", "implied_vol")]
# Twins that refuse every element (a convention not implemented, as the scalar method).
REFUSING = {"get_dcf_30360"}


@pytest.mark.parametrize("name", sorted(set(WRAPPED) - REFUSING))
def test_errors_name_the_argument_and_the_element(name):
    args, param = refused_call(name)
    with pytest.raises(BaseException) as info:
        getattr(qn, name)(*args)
    message = str(info.value)
    assert message.endswith(" (at index 4)"), message
    if isinstance(info.value, TypeError):
        assert message.startswith(f"argument '{param}': ")
    # In C order of the broadcast result whatever the memory order.
    grid = [np.asfortranarray(np.broadcast_to(np.asarray(a).reshape(-1, 1)[:6], (6, 2)))
            if isinstance(a, np.ndarray) and a.ndim == 1 else a for a in args]
    with pytest.raises(BaseException) as info:
        getattr(qn, name)(*grid)
    assert str(info.value).endswith(" (at index (4, 0))"), str(info.value)


@pytest.mark.parametrize("name", WRAPPED)
def test_bound_by_name_as_the_scalar_method(name):
    names = params(name)
    args = inputs(name)
    assert_same(outcome(lambda: getattr(qn, name)(**dict(zip(names, args)))), outcome(lambda: getattr(qn, name)(*args)))
    raises(TypeError, f"{name}() got an unexpected keyword argument 'nonsense'",
           lambda: getattr(qn, name)(*args, nonsense=1))
    # The last parameter without a default (bond_duration's kind has one).
    text = getattr(qn, name).__text_signature__
    last = max(k for k, p in enumerate(names) if f"{p}=" not in text.replace(" ", ""))
    raises(TypeError, f"{name}() missing 1 required positional argument: '{names[last]}'",
           lambda: getattr(qn, name)(*args[:last]))
    assert pickle.loads(pickle.dumps(getattr(qn, name))) is getattr(qn, name)


# One value of each argument: a NumPy scalar out, the same bits as the array
# call's element, whatever kind of number or date each is given as.
@pytest.mark.parametrize("flag", [1, 1.0, True, np.int64(1), np.float64(1.0), np.uint8(1), q.PutCallFlag.Call])
@pytest.mark.parametrize("expiry", [TODAY + 30, np.datetime64("2024-02-14"), "array"])
def test_single_values_give_the_element_of_the_array_call(flag, expiry):
    dates = np.array([np.datetime64("2024-02-14")] * 2)
    whole = qn.npv_with_dates(np.array([101.0, 99.0]), 100.0, 0.03, 0.01, TODAY, dates, np.array([1, 1]), 0.2)
    one = qn.npv_with_dates(101.0, 100.0, 0.03, 0.01, TODAY, dates[:1] if expiry == "array" else expiry, flag, 0.2)
    assert type(one) is (np.ndarray if expiry == "array" else np.float64)
    assert_same(np.asarray(one).ravel()[0], whole[0])


# ---------------------------------------------------------------- receivers and dates as objects


def test_a_receiver_given_alone_is_refused_before_any_array_is_made():
    raises(TypeError, "argument 'curve': 'Calendar' object cannot be converted to 'YieldCurve'",
           lambda: qn.get_df(q.Calendar("QD_WEEK"), DAYS))
    raises(TypeError, "argument 'dc': 'int' object cannot be converted to 'DayCounter'",
           lambda: qn.get_dcf(1, DAYS, DAYS))
    raises(ValueError, "Invalid tenor string (xQ), need to be of the form '<count><unit>'",
           lambda: qn.add_tenor(np.array(["NaT"], dtype="M8[D]"), "xQ"))


def test_an_array_of_receivers_meets_an_array_of_dates():
    flat = q.YieldCurve.create_flat(TODAY, q.DayCounter.Act360, 0.02)
    curves = np.array([CURVE, flat, CURVE], dtype=object)
    got = qn.get_df(curves[:, None], DAYS[None, :3])
    want = [[c.get_df(d) for d in qn.to_dates(DAYS[:3])] for c in curves]
    assert_same(got, np.array(want))
    assert_same(qn.get_df(curves, DAYS[:3], where=[True, False, True], out=np.zeros(3))[1], np.float64(0.0))
    raises(TypeError, "argument 'curve': 'str' object cannot be converted to 'YieldCurve' (at index 1)",
           lambda: qn.get_df(np.array([CURVE, "flat"], dtype=object), DAYS[:2]))


def test_object_columns_of_dates_from_pandas():
    column = pd.Series([pd.Timestamp("2024-02-29"), pd.NaT, None, TODAY, np.datetime64("2025-01-01T13:00")],
                       dtype=object, index=list("abcde"))
    got = qn.get_df(CURVE, column)
    assert type(got) is pd.Series and list(got.index) == list("abcde")
    want = [CURVE.get_df(q.Date(2024, 2, 29)), math.nan, math.nan, CURVE.get_df(TODAY), CURVE.get_df(q.Date(2025, 1, 1))]
    assert_same(got.to_numpy(), np.array(want))
    assert qn.to_int(column.iloc[[0, 3]]).tolist() == [45351, TODAY.to_int()]


@pytest.mark.parametrize("unit", ["D", "h", "m", "s", "ms", "us", "ns", "W", "M", "Y"])
def test_datetime64_of_every_unit_floored_to_days(unit):
    instants = np.array(["1969-12-31T23:59:59", "1970-01-01T00:00:00", "2024-02-29T12:00:00", "1899-01-09T00:00:00"],
                        dtype="M8[s]").astype(f"M8[{unit}]")
    days = instants.astype("M8[D]")  # NumPy's own flooring
    np.testing.assert_array_equal(qn.to_datetime64(instants), days)
    np.testing.assert_array_equal(qn.to_int(instants[::-1]), qn.to_int(days[::-1]))
    many = np.repeat(instants, 5000)
    np.testing.assert_array_equal(qn.add_tenor(many, "1M"), qn.add_tenor(np.repeat(days, 5000), "1M"))


@pytest.mark.parametrize("unit, out", [("D", "D"), ("W", "D"), ("M", "D"), ("h", "s"), ("s", "s"), ("ns", "s")])
def test_dates_out_in_days_or_in_seconds_after_a_finer_unit(unit, out):
    days = DAYS.astype(f"M8[{unit}]")
    for got in (qn.add_tenor(days, "1M"), qn.from_int(qn.to_int(days)) if unit == "D" else qn.add_tenor(days, "0D")):
        assert got.dtype == np.dtype(f"M8[{out}]")
    np.testing.assert_array_equal(qn.add_tenor(days, "1M"), qn.add_tenor(days.astype("M8[D]"), "1M"))
    assert qn.to_datetime64(days).dtype == np.dtype("M8[D]")  # always days
    assert qn.add_tenor(days.astype(object) if unit == "D" else list(qn.to_dates(days)), "1M").dtype == np.dtype("M8[D]")
    # pandas holds seconds as they are: no conversion of the result.
    column = pd.Series(days.astype("M8[ns]"))
    assert qn.add_tenor(column, "3M").dtype == np.dtype("M8[s]")


# ---------------------------------------------------------------- integers


INTEGER_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


def refusal(serial):
    """The scalar constructor's refusal of the date of this serial, by NumPy's own calendar."""
    if serial > MAX_SERIAL:
        return OverflowError, "out of range integral type conversion attempted"
    days = serial - 25569
    year = int(str(np.datetime64(days, "D").astype("M8[Y]"))) if days > -(2**50) else -1
    if year < 0:
        return OverflowError, "out of range integral type conversion attempted"
    return ValueError, f"Year ({year}) must be >= 1899"


@pytest.mark.parametrize("dtype", INTEGER_DTYPES)
def test_from_int_over_every_integer_dtype(dtype):
    info = np.iinfo(dtype)
    values = [v for v in (info.min, info.max, 0, MIN_SERIAL, MAX_SERIAL, MIN_SERIAL - 1, MAX_SERIAL + 1)
              if info.min <= v <= info.max]
    for value in values:
        for given, suffix in ((np.array([0, value], dtype=dtype), " (at index 1)"), (dtype(value), "")):
            if MIN_SERIAL <= value <= MAX_SERIAL:
                assert qn.to_int(qn.from_int(given)).tolist() == np.asarray(given).astype(np.int64).tolist()
                continue
            kind, message = refusal(int(value))
            raises(kind, message + suffix, lambda: qn.from_int(given))


@pytest.mark.parametrize("value", [2**64 - 1, 2**63, 2**70, -2**63 - 1, -2**70, 2**63 - 1, -2**63, MAX_SERIAL + 1,
                                   MIN_SERIAL - 1, -700000])
@pytest.mark.parametrize("kind", ["python int", "in a list", "object array", "numpy scalar"])
def test_from_int_refuses_every_serial_out_of_range_the_same_way(value, kind):
    if kind == "numpy scalar" and not -2**63 <= value < 2**64:
        pytest.skip("no NumPy integer holds it")
    given = {"python int": lambda: value, "in a list": lambda: [45306, value],
             "object array": lambda: np.array([45306, value], dtype=object),
             "numpy scalar": lambda: np.uint64(value) if value >= 2**63 else np.int64(value)}[kind]()
    exc, message = refusal(value)
    raises(exc, message + ("" if kind in ("python int", "numpy scalar") else " (at index 1)"), lambda: qn.from_int(given))


# ---------------------------------------------------------------- faults the loops must not have


def test_the_lowest_failing_index_wins_across_chunks_on_two_threads():
    n = 1 << 18
    flags = np.ones(n, dtype=np.int64)
    flags[(1 << 16) - 3] = 5  # near the end of the earlier chunk
    flags[(1 << 16) + 11] = 6
    flags[n - 1] = 9
    dates = np.full(n, np.datetime64("2024-03-01"))
    dates[(1 << 15) - 2] = np.datetime64("1800-01-01")
    dates[(1 << 15) + 5] = np.datetime64("70000-01-01")
    spot = np.linspace(50.0, 150.0, n)
    previous = qn.set_num_threads(2)
    try:
        for _ in range(25):
            raises(ValueError, "pc_flag (5) must be 0 (PutCallFlag.Put) or 1 (PutCallFlag.Call)",
                   lambda: qn.npv(spot, 100.0, 0.03, 0.0, 1.0, flags, 0.2))
            raises(ValueError, f"Year (1800) must be >= 1899 (at index {(1 << 15) - 2})",
                   lambda: qn.get_df(q.YieldCurve.create_flat(TODAY, q.DayCounter.Act365, 0.01), dates))
            raises(ValueError, f"pc_flag (5) must be 0 (PutCallFlag.Put) or 1 (PutCallFlag.Call) (at index {(1 << 16) - 3})",
                   lambda: qn.npv_with_dates(spot, 100.0, 0.03, 0.0, TODAY, TODAY + 30, flags, 0.2))
    finally:
        qn.set_num_threads(previous)


@pytest.mark.parametrize("twin", ["get_fwd_df", "get_fwd_rate"])
@pytest.mark.parametrize("bad_end", ["start", "end"])
def test_the_day_table_of_two_dates_refuses_a_pair_with_one_bad_end(twin, bad_end):
    spline = q.YieldCurve.create_noded(TODAY, q.DayCounter.Act365, [TODAY, TODAY + 100], [1.0, 0.99],
                                       q.InterpType.CubicSpline)
    starts = np.full(3000, qn.to_datetime64(TODAY))
    ends = np.full(3000, qn.to_datetime64(TODAY + 100))  # both nodes: the spline answers there
    (starts if bad_end == "start" else ends)[1234] = qn.to_datetime64(TODAY + 50)
    scalar = getattr(spline, twin)
    message = str(outcome(lambda: scalar(*qn.to_dates(np.array([starts[1234], ends[1234]]))))[1])
    assert_same(getattr(qn, twin)(spline, starts[:1000], ends[:1000]),
                np.full(1000, scalar(TODAY, TODAY + 100)))
    with pytest.raises(BaseException) as info:
        getattr(qn, twin)(spline, starts, ends)
    assert type(info.value).__name__ == "PanicException" and str(info.value) == message + " (at index 1234)"


@pytest.mark.parametrize("name", ["npv", "get_metrics", "get_metrics_ufunc", "npv_with_dates", "implied_vol",
                                  "get_metrics_with_dates"])
def test_block_forms_write_into_outputs_that_are_not_contiguous(name):
    n = 1000
    args = [np.resize(a, n) if isinstance(a, np.ndarray) else a for a in inputs(name)]
    want = columns(getattr(qn, name)(*args))
    for layout in ("every other", "column of 2-d"):
        if layout == "every other":
            bases = [np.full(2 * n, -7.0) for _ in want]
            outs = [b[::2] for b in bases]
        else:
            bases = [np.full((n, 3), -7.0) for _ in want]
            outs = [b[:, 1] for b in bases]
        getattr(qn, name)(*args, out=tuple(outs) if len(outs) > 1 else outs[0])
        for base, out, w in zip(bases, outs, want):
            assert_same(out.copy(), w)
            untouched = base[1::2] if layout == "every other" else base[:, [0, 2]]
            assert (untouched == -7.0).all()


def test_metrics_of_a_dask_column_mixed_with_numpy_arrays():
    n = 100_000
    spot = np.linspace(50.0, 150.0, n)
    strike = np.full(n, 100.0)
    flags = np.resize(np.array([0, 1, 1]), n)
    for name in ("get_metrics", "get_metrics_fd", "get_metrics_with_dates"):
        tail = (TODAY, TODAY + 200) if "dates" in name else (0.5,)
        lazy = getattr(qn, name)(da.from_array(spot, chunks=25_000), strike, 0.03, 0.01, *tail, flags, 0.2)
        assert all(isinstance(c, da.Array) for c in lazy)
        want = getattr(qn, name)(spot, strike, 0.03, 0.01, *tail, flags, 0.2)
        for c, w in zip(lazy, want):
            assert_same(c.compute(scheduler="threads"), w)
    # A Dask column of flags for a ufunc: Dask finds the dtype by a trial call.
    lazy = qn.npv(spot, strike, 0.03, 0.01, 0.5, da.from_array(flags.astype(np.float64), chunks=30_000), 0.2)
    assert isinstance(lazy, da.Array)
    assert_same(lazy.compute(), qn.npv(spot, strike, 0.03, 0.01, 0.5, flags, 0.2))


def test_doc_signatures_show_the_ufunc_keywords():
    for name in WRAPPED:
        f = getattr(qn, name)
        assert f.__text_signature__.endswith(", **ufunc_kwargs)")  # defaults (holidays=None) shown before it
        assert re.match(rf"^{name}\(", f.__doc__) is None  # the signature line is not repeated in the help text


def test_callers_on_several_threads_each_get_their_own_index():
    """The loop position and the failing element are the calling thread's."""
    import threading
    n = 50_000
    results = {}

    def call(k):
        dates = np.full(n, np.datetime64("2024-03-01"))
        dates[1000 * k + 7] = np.datetime64("1800-01-01")
        for _ in range(20):
            try:
                qn.get_df(CURVE, dates.reshape(-1, 10))
            except ValueError as e:
                results.setdefault(k, set()).add(str(e))
    threads = [threading.Thread(target=call, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(4):
        flat = 1000 * k + 7
        assert results[k] == {f"Year (1800) must be >= 1899 (at index ({flat // 10}, {flat % 10}))"}
