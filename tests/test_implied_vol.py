"""implied_vol inverts BlackScholes.npv: prices come back from the vols it
returns, vols come back from the prices they make, and it agrees with vollib's
Let's Be Rational, for single options and for arrays alike."""
import itertools
import math
import os
import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest

import quillander as q
import quillander_numpy as qn
from support import raises

B = q.BlackScholes
PUT, CALL = q.PutCallFlag.Put, q.PutCallFlag.Call
FLAG_MESSAGE = "pc_flag ({}) must be 0 (PutCallFlag.Put) or 1 (PutCallFlag.Call)"


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def grid():
    """vol 1%..300%, tau 1 day..30 years, strikes -3..+3 standard deviations
    around the forward, calls and puts, several rates and yields."""
    vols = [0.01, 0.03, 0.1, 0.2, 0.35, 0.6, 1.0, 1.5, 2.2, 3.0]
    taus = [1 / 365, 7 / 365, 0.1, 0.5, 1.0, 3.0, 10.0, 30.0]
    sds = np.linspace(-3.0, 3.0, 13)
    carries = [(0.0, 0.0), (0.05, 0.02), (-0.01, 0.03), (0.12, 0.0)]
    rows = [(100.0, math.exp((r - y) * t + z * v * math.sqrt(t)) * 100.0, r, y, t, f, v)
            for v, t, z, (r, y), f in itertools.product(vols, taus, sds, carries, (0, 1))]
    cols = np.array(rows).T
    return (*cols[:5], cols[5].astype(np.int64), cols[6])


@pytest.fixture(scope="module")
def grid_case():
    spot, strike, rate, div, tau, flag, vol = grid()
    price = qn.npv(spot, strike, rate, div, tau, flag, vol)
    return spot, strike, rate, div, tau, flag, vol, price, qn.implied_vol(price, spot, strike, rate, div, tau, flag)


def scale_of(spot, strike, rate, div, tau):
    return spot * np.exp(-div * tau) + strike * np.exp(-rate * tau)


def test_grid_price_round_trip(grid_case):
    spot, strike, rate, div, tau, flag, vol, price, iv = grid_case
    assert not np.isnan(iv).any()  # every price on the grid has a solution, and it is found
    back = qn.npv(spot, strike, rate, div, tau, flag, iv)
    assert np.all(np.abs(back - price) <= 1e-14 * scale_of(spot, strike, rate, div, tau))


def test_grid_vol_round_trip(grid_case):
    spot, strike, rate, div, tau, flag, vol, price, iv = grid_case
    vega = qn.vega(spot, strike, rate, div, tau, flag, vol)
    meaningful = vega * vol >= 1e-6 * (spot + strike)
    assert meaningful.sum() > 0.8 * meaningful.size
    assert np.all(np.abs(iv[meaningful] / vol[meaningful] - 1.0) <= 1e-8)


def test_grid_scalar_path_is_the_ufunc_bit_for_bit(grid_case):
    spot, strike, rate, div, tau, flag, vol, price, iv = grid_case
    one_by_one = [qn.implied_vol(*(float(a[i]) for a in (price, spot, strike, rate, div, tau)), int(flag[i]))
                  for i in range(0, price.size, 7)]
    assert all(type(v) is float for v in one_by_one)
    assert np.array_equal(bits(one_by_one), bits(iv[::7]))


def test_random_options_all_converge():
    rng = np.random.default_rng(20240515)
    n = 10**6
    vol = np.exp(rng.uniform(math.log(0.01), math.log(3.0), n))
    tau = np.exp(rng.uniform(math.log(1 / 365), math.log(30.0), n))
    rate, div = rng.uniform(-0.02, 0.15, n), rng.uniform(0.0, 0.08, n)
    spot = np.exp(rng.uniform(math.log(1.0), math.log(1e4), n))
    strike = spot * np.exp((rate - div) * tau + rng.uniform(-3, 3, n) * vol * np.sqrt(tau))
    flag = rng.integers(0, 2, n)
    price = qn.npv(spot, strike, rate, div, tau, flag, vol)
    iv = qn.implied_vol(price, spot, strike, rate, div, tau, flag)
    assert np.isnan(iv).sum() == 0
    back = qn.npv(spot, strike, rate, div, tau, flag, iv)
    assert np.all(np.abs(back - price) <= 1e-14 * scale_of(spot, strike, rate, div, tau))
    vega = qn.vega(spot, strike, rate, div, tau, flag, vol)
    meaningful = vega * vol >= 1e-6 * (spot + strike)
    assert np.all(np.abs(iv[meaningful] / vol[meaningful] - 1.0) <= 1e-8)


def test_far_from_the_money_and_long_dated_options_converge():
    # The initial guess is fitted over ordinary options; far beyond them
    # (strikes 8 standard deviations out, 40 years, vol 0.1% to 500%) every
    # price with room between its bounds must still be solved.
    rng = np.random.default_rng(99)
    n = 300_000
    vol = np.exp(rng.uniform(math.log(1e-3), math.log(5.0), n))
    tau = np.exp(rng.uniform(math.log(1e-3), math.log(40.0), n))
    rate, div = rng.uniform(-0.05, 0.2, n), rng.uniform(-0.02, 0.1, n)
    spot = np.exp(rng.uniform(math.log(1e-2), math.log(1e5), n))
    strike = spot * np.exp((rate - div) * tau + rng.uniform(-8, 8, n) * vol * np.sqrt(tau))
    flag = rng.integers(0, 2, n)
    price = qn.npv(spot, strike, rate, div, tau, flag, vol)
    lower = qn.npv(spot, strike, rate, div, tau, flag, 0.0)
    upper = np.where(flag == 1, spot * np.exp(-div * tau), strike * np.exp(-rate * tau))
    room = (price > lower) & (price < upper)
    assert room.mean() > 0.9
    iv = qn.implied_vol(price, spot, strike, rate, div, tau, flag)
    assert not np.isnan(iv[room]).any()
    back = qn.npv(spot, strike, rate, div, tau, flag, iv)
    assert np.all((np.abs(back - price) <= 1e-14 * scale_of(spot, strike, rate, div, tau))[room])


def test_agrees_with_vollib_on_ordinary_options():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from vollib.black_scholes_merton.implied_volatility import implied_volatility
    rng = np.random.default_rng(7)
    for _ in range(300):
        spot, vol = rng.uniform(20, 200), rng.uniform(0.05, 1.0)
        tau, rate, div = rng.uniform(0.05, 5.0), rng.uniform(-0.01, 0.08), rng.uniform(0.0, 0.05)
        strike = spot * math.exp((rate - div) * tau + rng.uniform(-2, 2) * vol * math.sqrt(tau))
        flag = CALL if rng.integers(2) else PUT
        price = B.npv(spot, strike, rate, div, tau, flag, vol)
        theirs = implied_volatility(price, spot, strike, tau, rate, div, "c" if flag == CALL else "p")
        assert abs(qn.implied_vol(price, spot, strike, rate, div, tau, flag) - theirs) <= 1e-6


@pytest.mark.parametrize("flag", [CALL, PUT])
@pytest.mark.parametrize("strike", [60.0, 100.0, 150.0])
def test_price_at_the_discounted_intrinsic_value_gives_zero(flag, strike):
    rate, div, tau = 0.03, 0.01, 2.0
    intrinsic = B.npv(100.0, strike, rate, div, tau, flag, 0.0)
    v = qn.implied_vol(intrinsic, 100.0, strike, rate, div, tau, flag)
    assert type(v) is float and v == 0.0 and math.copysign(1.0, v) == 1.0
    assert math.isnan(qn.implied_vol(math.nextafter(intrinsic, -1.0), 100.0, strike, rate, div, tau, flag))
    above = qn.implied_vol(math.nextafter(intrinsic, math.inf) + 1e-9, 100.0, strike, rate, div, tau, flag)
    assert above > 0.0


@pytest.mark.parametrize("flag, bound", [(CALL, 100.0 * math.exp(-0.01 * 2.0)), (PUT, 120.0 * math.exp(-0.03 * 2.0))])
def test_price_at_the_upper_bound_gives_a_vol_that_prices_it(flag, bound):
    v = qn.implied_vol(bound, 100.0, 120.0, 0.03, 0.01, 2.0, flag)
    scale = 100.0 * math.exp(-0.01 * 2.0) + 120.0 * math.exp(-0.03 * 2.0)
    assert math.isfinite(v) and abs(B.npv(100.0, 120.0, 0.03, 0.01, 2.0, flag, v) - bound) <= 1e-14 * scale
    assert math.isnan(qn.implied_vol(math.nextafter(bound, math.inf), 100.0, 120.0, 0.03, 0.01, 2.0, flag))


NAN = math.nan
NO_SOLUTION = [
    pytest.param((101.0, 100.0, 100.0, 0.0, 0.0, 1.0, CALL), id="call above spot"),
    pytest.param((95.0, 100.0, 90.0, 0.03, 0.0, 1.0, PUT), id="put above discounted strike"),
    pytest.param((5.0, 100.0, 90.0, 0.0, 0.0, 1.0, CALL), id="call below intrinsic"),
    pytest.param((5.0, 100.0, 110.0, 0.0, 0.0, 1.0, PUT), id="put below intrinsic"),
    pytest.param((-1e-300, 100.0, 150.0, 0.0, 0.0, 1.0, CALL), id="negative price"),
    pytest.param((NAN, 100.0, 100.0, 0.0, 0.0, 1.0, CALL), id="NaN price"),
    pytest.param((5.0, 100.0, 100.0, 0.0, 0.0, 0.0, CALL), id="tau zero"),
    pytest.param((5.0, 100.0, 100.0, 0.0, 0.0, -1.0, CALL), id="tau negative"),
    pytest.param((5.0, -100.0, 100.0, 0.0, 0.0, 1.0, CALL), id="negative spot"),
    pytest.param((5.0, 100.0, -100.0, 0.0, 0.0, 1.0, PUT), id="negative strike"),
    pytest.param((5.0, NAN, 100.0, 0.0, 0.0, 1.0, CALL), id="NaN spot"),
    pytest.param((5.0, 100.0, NAN, 0.0, 0.0, 1.0, CALL), id="NaN strike"),
    pytest.param((5.0, 100.0, 100.0, NAN, 0.0, 1.0, CALL), id="NaN rate"),
    pytest.param((5.0, 100.0, 100.0, 0.0, NAN, 1.0, CALL), id="NaN yield"),
    pytest.param((5.0, 100.0, 100.0, 0.0, 0.0, NAN, CALL), id="NaN tau"),
    pytest.param((5.0, 100.0, 100.0, 0.0, 0.0, math.inf, CALL), id="infinite tau"),
    pytest.param((5.0, math.inf, 100.0, 0.0, 0.0, 1.0, CALL), id="infinite spot"),
    pytest.param((math.inf, 100.0, 100.0, 0.0, 0.0, 1.0, CALL), id="infinite price"),
    pytest.param((5.0, 0.0, 100.0, 0.0, 0.0, 1.0, CALL), id="zero spot, call above nothing"),
    pytest.param((50.0, 100.0, 0.0, 0.0, 0.0, 1.0, PUT), id="zero strike, put above nothing"),
]


@pytest.mark.parametrize("args", NO_SOLUTION)
def test_no_solution_is_nan_never_an_exception(args):
    v = qn.implied_vol(*args)
    assert type(v) is float and math.isnan(v)
    array = qn.implied_vol(*(np.array([a]) if i < 6 else np.array([int(a)]) for i, a in enumerate(args)))
    assert array.dtype == np.float64 and math.isnan(array[0])


def test_zero_spot_or_strike_at_the_bound_gives_zero():
    assert qn.implied_vol(0.0, 0.0, 100.0, 0.0, 0.0, 1.0, CALL) == 0.0
    assert qn.implied_vol(100.0, 100.0, 0.0, 0.0, 0.0, 1.0, CALL) == 0.0


@pytest.mark.parametrize("flag", [2, -1, 10**30, -(10**30)])
def test_bad_flag_raises_the_ufunc_error(flag):
    message = FLAG_MESSAGE.format(flag)
    raises(ValueError, message, lambda: qn.implied_vol(10.0, 100.0, 100.0, 0.0, 0.0, 1.0, flag))
    raises(ValueError, message, lambda: qn.implied_vol_ufunc(10.0, 100.0, 100.0, 0.0, 0.0, 1.0, flag))


@pytest.mark.parametrize("args", [("1", 100.0, 100.0, 0.0, 0.0, 1.0, 1), (1.0, 100.0, 100.0, 0.0, 0.0, 1.0, "c"),
                                  (1.0, 100.0, 100.0, 0.0, 0.0, 1.0)])
def test_wrong_types_raise_type_error(args):
    with pytest.raises(TypeError):
        qn.implied_vol(*args)


def test_scalar_inputs_and_result_types():
    price = B.npv(100.0, 110.0, 0.02, 0.01, 0.75, CALL, 0.3)
    v = qn.implied_vol(price, 100, 110, 0.02, 0.01, 0.75, CALL)
    assert type(v) is float and abs(v - 0.3) < 1e-12
    assert qn.implied_vol(price, 100, 110, 0.02, 0.01, 0.75, 1) == v
    # NumPy scalars and bools are NumPy's business: a NumPy scalar back.
    assert type(qn.implied_vol(np.float64(price), 100, 110, 0.02, 0.01, 0.75, 1)) is np.float64
    assert qn.implied_vol(np.float64(price), 100, 110, 0.02, 0.01, 0.75, True) == v


# Python ints beyond int64 are Python numbers too: converted as float() converts
# them, a float back; one too large for a float is the scalar binding's error,
# before a bad flag's.
TWO_70, STRIKE_70 = 2**70, 2**70 + 2**67
BIG_PRICE = B.npv(TWO_70, STRIKE_70, 0.02, 0.01, 0.75, CALL, 0.3)


@pytest.mark.parametrize("args", [
    pytest.param((BIG_PRICE, TWO_70, STRIKE_70, 0.02, 0.01, 0.75, 1), id="spot and strike 2**70"),
    pytest.param((BIG_PRICE, TWO_70, STRIKE_70, 0.02, 0.01, 0.75, CALL), id="with a PutCallFlag"),
    pytest.param((2**63 // 10, 2**63, 2**63 + 2**12, 0, 0, 1, 1), id="spot 2**63, all ints"),
    pytest.param((10.0, 100.0, 100.0, -2**70, 0.0, 1.0, 0), id="rate -2**70"),
    pytest.param((10.0, 100.0, 100.0, 0.0, 0.0, 2**64 - 1, 1), id="tau 2**64 - 1"),
    pytest.param((10.0, 100.0, 2**1024 - 2**970 - 1, 0.0, 0.0, 1.0, 0), id="strike rounding to the largest float"),
])
def test_python_ints_beyond_int64_give_a_float(args):
    got = qn.implied_vol(*args)
    want = qn.implied_vol(*(float(a) if i < 6 else a for i, a in enumerate(args)))
    assert type(got) is float and type(want) is float
    assert struct.pack("<d", got) == struct.pack("<d", want)


def test_python_ints_beyond_int64_give_back_the_vol():
    assert abs(qn.implied_vol(BIG_PRICE, TWO_70, STRIKE_70, 0.02, 0.01, 0.75, 1) - 0.3) < 1e-12


@pytest.mark.parametrize("big", [2**1024 - 2**970, -(10**400)], ids=["2**1024 - 2**970", "-10**400"])
@pytest.mark.parametrize("position", [0, 3, 5])
@pytest.mark.parametrize("flag", [1, 7])
def test_python_ints_too_large_for_a_float_raise_the_scalar_error(big, position, flag):
    with pytest.raises(OverflowError) as scalar:
        B.npv(*[big if i == max(position - 1, 0) else 1.0 for i in range(5)], CALL, 0.2)
    args = [10.0, 100.0, 100.0, 0.0, 0.0, 1.0, flag]
    args[position] = big
    raises(OverflowError, scalar.value.args[0], lambda: qn.implied_vol(*args))


def test_broadcasting_keywords_and_object_flags():
    spot, rate, div, tau = 100.0, 0.01, 0.0, 0.5
    strikes = np.linspace(80.0, 120.0, 9)
    flags = np.array([CALL, PUT], dtype=object)[:, None]
    prices = qn.npv(spot, strikes, rate, div, tau, flags, 0.25)
    iv = qn.implied_vol(prices, spot, strikes, rate, div, tau, flags)
    assert iv.shape == (2, 9) and np.allclose(iv, 0.25, rtol=0, atol=1e-12)
    out = np.full((2, 9), -1.0)
    where = np.arange(9) % 2 == 0
    assert qn.implied_vol(prices, spot, strikes, rate, div, tau, np.array([[1], [0]]), out=out, where=where) is out
    assert np.array_equal(bits(out[:, where]), bits(iv[:, where])) and np.all(out[:, ~where] == -1.0)


def test_thread_count_does_not_change_bits(grid_case):
    spot, strike, rate, div, tau, flag, vol, price, iv = grid_case
    before = qn.get_num_threads()
    try:
        qn.set_num_threads(1)
        assert np.array_equal(bits(qn.implied_vol(price, spot, strike, rate, div, tau, flag)), bits(iv))
    finally:
        qn.set_num_threads(before)


def test_dask_and_pandas_pass_through():
    da = pytest.importorskip("dask.array")
    pd = pytest.importorskip("pandas")
    strikes = np.linspace(70.0, 130.0, 31)
    prices = qn.npv(100.0, strikes, 0.02, 0.0, 1.0, 1, 0.2)
    expected = qn.implied_vol(prices, 100.0, strikes, 0.02, 0.0, 1.0, 1)
    lazy = qn.implied_vol(da.from_array(prices, chunks=8), 100.0, strikes, 0.02, 0.0, 1.0, 1)
    assert isinstance(lazy, da.Array)
    assert np.array_equal(bits(lazy.compute()), bits(expected))
    series = qn.implied_vol(pd.Series(prices, index=strikes), 100.0, strikes, 0.02, 0.0, 1.0, 1)
    assert isinstance(series, pd.Series) and list(series.index) == list(strikes)
    assert np.array_equal(bits(series.to_numpy()), bits(expected))


def mixed_options(n, seed):
    """Options of every kind: ordinary prices, the bounds and their neighbours,
    tiny time values, prices near the top, special values, zero spot or strike."""
    rng = np.random.default_rng(seed)
    vol = np.exp(rng.uniform(math.log(1e-3), math.log(5.0), n))
    tau = np.exp(rng.uniform(math.log(1e-3), math.log(40.0), n))
    rate, div = rng.uniform(-0.05, 0.2, n), rng.uniform(-0.02, 0.1, n)
    spot = np.exp(rng.uniform(math.log(1e-2), math.log(1e5), n))
    strike = spot * np.exp((rate - div) * tau + rng.uniform(-8, 8, n) * vol * np.sqrt(tau))
    strike[rng.random(n) < 0.02] = 100.0
    spot[strike == 100.0] = 100.0
    flag = rng.integers(0, 2, n)
    lower = qn.npv(spot, strike, rate, div, tau, flag, 0.0)
    upper = np.where(flag == 1, spot * np.exp(-div * tau), strike * np.exp(-rate * tau))
    choices = [qn.npv(spot, strike, rate, div, tau, flag, vol), lower, np.nextafter(lower, -1.0),
               np.nextafter(lower, np.inf), upper, np.nextafter(upper, np.inf),
               lower + (upper - lower) * rng.random(n), lower + (upper - lower) * 1e-12 * rng.random(n),
               upper - (upper - lower) * 1e-12 * rng.random(n)]
    price = np.choose(rng.integers(0, len(choices), n), choices)
    columns = [price, spot, strike, rate, div, tau]
    specials = np.array([0.0, -0.0, -1.0, math.nan, math.inf, -math.inf, 1e-300, 1e300])
    for column in columns:
        hit = rng.random(n) < 0.004
        column[hit] = rng.choice(specials, hit.sum())
    spot[rng.random(n) < 0.003] = 0.0
    strike[rng.random(n) < 0.003] = 0.0
    return (*columns, flag)


@pytest.mark.parametrize("layout", ["contiguous", "strided", "broadcast"])
def test_each_element_is_the_scalar_call(layout):
    # The array loops solve blocks of options together; each must still be the
    # single-option search's answer, whatever else shares its block.
    price, spot, strike, rate, div, tau, flag = mixed_options(30_000, 11)
    if layout == "strided":
        price, spot, strike, rate, div, tau, flag = (a[::3] for a in (price, spot, strike, rate, div, tau, flag))
    elif layout == "broadcast":  # scalars converted once for every block
        spot, rate, div = 100.0, 0.03, 0.01
        price = qn.npv(spot, strike, rate, div, tau, flag, 0.3)
    array = qn.implied_vol(price, spot, strike, rate, div, tau, flag)
    columns = np.broadcast_arrays(price, spot, strike, rate, div, tau)
    scalar = [qn.implied_vol(*(float(c[i]) for c in columns), int(flag[i])) for i in range(array.size)]
    assert np.array_equal(bits(array), bits(scalar))
    if layout != "broadcast":
        # every kind of answer is covered: none, zero at the lower bound, and a search
        assert np.isnan(array).sum() > 0.1 * array.size and (array == 0.0).sum() > 0.05 * array.size
        assert (array > 0.0).sum() > 0.5 * array.size


def test_output_over_its_own_input():
    # A block writes an option's answer while its neighbours are still being
    # read: in place and shifted, every element is still its own option's.
    price, spot, strike, rate, div, tau, flag = mixed_options(5_000, 13)
    want = qn.implied_vol(price, spot, strike, rate, div, tau, flag)
    same = price.copy()
    assert qn.implied_vol(same, spot, strike, rate, div, tau, flag, out=same) is same
    assert np.array_equal(bits(same), bits(want))
    shifted = np.concatenate([price, [0.0]])
    qn.implied_vol(shifted[:-1], spot, strike, rate, div, tau, flag, out=shifted[1:])
    assert np.array_equal(bits(shifted[1:]), bits(want))
    behind = np.concatenate([[0.0], tau])
    qn.implied_vol(price, spot, strike, rate, div, behind[1:], flag, out=behind[:-1])
    assert np.array_equal(bits(behind[:-1]), bits(want))


def test_two_lane_loops_give_the_same_bits(tmp_path):
    # Processors without AVX2 solve and price two options per vector instead
    # of four; the environment switch puts this one on that path.
    code = """
import sys, numpy as np, quillander_numpy as qn
sys.path.insert(0, {tests!r})
from test_implied_vol import mixed_options
price, spot, strike, rate, div, tau, flag = mixed_options(20_001, 21)
vol = np.abs(rate) * 7.0
vol[::5] = 0.0
tau[::7] = -tau[::7]
out = [qn.implied_vol(price, spot, strike, rate, div, tau, flag), *qn.get_metrics(spot, strike, rate, div, tau, flag, vol),
       qn.npv(spot, strike, rate, div, tau, flag, vol)]
np.save({path!r}, np.array(out))
"""
    results = []
    for disable in ("1", "0"):
        path = str(tmp_path / f"disable{disable}.npy")
        env = {**os.environ, "QUILLANDER_DISABLE_AVX2": disable}
        run = subprocess.run([sys.executable, "-c", code.format(tests=os.path.dirname(__file__), path=path)],
                             env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        results.append(np.load(path))
    two, four = results
    # the same bits, but for NaN's sign and payload, which the promise leaves open
    assert np.array_equal(np.isnan(two), np.isnan(four))
    assert np.array_equal(bits(two[~np.isnan(two)]), bits(four[~np.isnan(four)]))
