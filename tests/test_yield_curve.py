import math
import random

import pytest

import quillander as q

ql = pytest.importorskip("QuantLib")

D = q.Date
YC = q.YieldCurve
Act365, Act360, Thirty360 = q.DayCounter.Act365, q.DayCounter.Act360, q.DayCounter.Thirty360
Linear, Geometric = q.InterpType.Linear, q.InterpType.Geometric

TODAY = D(2024, 1, 15)


def to_ql(d):
    return ql.Date(d.day(), d.month(), d.year())


def ql_dc(dc):
    return ql.Actual365Fixed() if dc == Act365 else ql.Actual360()


def rel(a, b):
    return abs(a - b) / max(abs(b), 1e-300)


def noded(dc=Act365, interp=Linear, days=(0, 100), dfs=(1.0, 0.99)):
    return YC.create_noded(TODAY, dc, [TODAY + n for n in days], list(dfs), interp)


# ---------------------------------------------------------------- flat curve

@pytest.mark.parametrize("dc", [Act365, Act360])
@pytest.mark.parametrize("rate", [0.05, -0.01, 0.0, 0.25])
def test_flat_curve_matches_quantlib(dc, rate):
    curve = YC.create_flat(TODAY, dc, rate)
    ql.Settings.instance().evaluationDate = to_ql(TODAY)
    ref = ql.FlatForward(to_ql(TODAY), rate, ql_dc(dc), ql.Continuous)
    rng = random.Random(7)
    for _ in range(300):
        d1 = TODAY + rng.randint(0, 20000)
        # Periods of half a year or more: over shorter ones df(s)/df(e) - 1 cancels
        # and both libraries' last-bit differences in exp grow past 1e-13.
        d2 = d1 + rng.randint(180, 4000)
        assert rel(curve.get_df(d1), ref.discount(to_ql(d1))) <= 1e-15
        want = ref.forwardRate(to_ql(d1), to_ql(d2), ql_dc(dc), ql.Simple).rate()
        if want != 0.0:
            assert rel(curve.get_fwd_rate(d1, d2), want) <= 1e-13
        else:
            assert curve.get_fwd_rate(d1, d2) == 0.0


def test_flat_curve_values_around_the_curve_date():
    curve = YC.create_flat(TODAY, Act365, 0.05)
    assert curve.get_df(TODAY) == 1.0
    assert curve.get_df(TODAY + 365) == math.exp(-0.05)
    assert curve.get_df(TODAY + (-1)) == math.exp((-1 / 365) * -0.05) > 1.0
    assert curve.get_fwd_df(TODAY + 10, TODAY + 10) == 1.0
    assert math.isnan(curve.get_fwd_rate(TODAY + 10, TODAY + 10))


@pytest.mark.parametrize("dc, basis", [(Act365, 365.0), (Act360, 360.0)])
def test_overnight_rate_is_simple_on_the_basis(dc, basis):
    curve = YC.create_flat(TODAY, dc, 0.05)
    for d in (TODAY, TODAY + 1000, TODAY + (-50)):
        df_d, df_n = curve.get_df(d), curve.get_df(d + 1)
        assert curve.get_overnight_rate(d) == (df_d / df_n - 1) / (1 / basis)
    assert curve.get_overnight_rate(TODAY) == pytest.approx((math.exp(0.05 / basis) - 1) * basis, rel=1e-12)


def test_forward_rate_over_a_negative_period_uses_the_same_formula():
    curve = YC.create_flat(TODAY, Act360, 0.03)
    s, e = TODAY + 200, TODAY + 100
    assert curve.get_fwd_rate(s, e) == (curve.get_df(s) / curve.get_df(e) - 1) / ((e - s) / 360.0)


def test_flat_thirty360_fails_only_when_queried():
    curve = YC.create_flat(TODAY, Thirty360, 0.05)
    assert curve.get_dc() == Thirty360 and str(curve.get_curve_date()) == "2024-01-15"
    for call in (lambda: curve.get_df(TODAY), lambda: curve.get_fwd_df(TODAY, TODAY + 1),
                 lambda: curve.get_overnight_rate(TODAY), lambda: curve.get_fwd_rate(TODAY, TODAY + 1)):
        with pytest.raises(BaseException, match="^not implemented$") as info:
            call()
        assert type(info.value).__name__ == "PanicException"


def test_overnight_rate_on_the_last_date_fails():
    curve = YC.create_flat(D(65535, 12, 30), Act365, 0.01)
    assert curve.get_overnight_rate(D(65535, 12, 30)) > 0
    with pytest.raises(BaseException) as info:
        curve.get_overnight_rate(D(65535, 12, 31))
    assert type(info.value).__name__ == "PanicException"


# ---------------------------------------------------------------- noded curve

def test_linear_noded_curve_continues_the_straight_line():
    curve = noded()
    assert curve.get_df(TODAY) == 1.0
    assert curve.get_df(TODAY + 100) == 0.99
    assert curve.get_df(TODAY + 50) == pytest.approx(0.995, abs=1e-15)
    assert curve.get_df(TODAY + 200) == pytest.approx(0.98, abs=1e-15)
    assert curve.get_df(TODAY + (-100)) == pytest.approx(1.01, abs=1e-15)


def test_geometric_noded_curve_is_log_linear():
    curve = noded(interp=Geometric)
    assert curve.get_df(TODAY + 50) == pytest.approx(math.sqrt(0.99), rel=1e-15)


def random_nodes(rng, count):
    days = sorted(rng.sample(range(1, 15000), count - 1))
    dfs, df = [1.0], 1.0
    for _ in days:
        df *= math.exp(-rng.uniform(0.0, 0.1))
        dfs.append(df)
    return [0] + days, dfs


@pytest.mark.parametrize("dc", [Act365, Act360])
def test_geometric_noded_curve_matches_quantlib_discount_curve(dc):
    rng = random.Random(11)
    days, dfs = random_nodes(rng, 12)
    curve = noded(dc, Geometric, days, dfs)
    ref = ql.DiscountCurve([to_ql(TODAY + n) for n in days], dfs, ql_dc(dc))
    ref.enableExtrapolation()
    for n in list(range(0, 16000, 37)) + days:
        d = TODAY + n
        assert rel(curve.get_df(d), ref.discount(to_ql(d))) <= 1e-13, n
    # QuantLib stops at its reference date; before it the first segment continues.
    basis = 365.0 if dc == Act365 else 360.0
    t1 = days[1] / basis
    for n in range(-400, 0, 7):
        want = math.exp(math.log(dfs[1] / dfs[0]) / t1 * (n / basis)) * dfs[0]
        assert curve.get_df(TODAY + n) == pytest.approx(want, rel=1e-14)


def test_linear_noded_curve_matches_independent_interpolation():
    rng = random.Random(5)
    days, dfs = random_nodes(rng, 20)
    curve = noded(Act360, Linear, days, dfs)
    times = [n / 360.0 for n in days]

    def expected(t):
        if t <= times[0]:
            i = 0
        elif t > times[-1]:
            i = len(times) - 2
        else:
            i = next(k for k in range(len(times) - 1) if times[k] < t <= times[k + 1])
        slope = (dfs[i + 1] - dfs[i]) / (times[i + 1] - times[i])
        return dfs[i] + slope * (t - times[i])

    for n in range(-300, 15500, 41):
        assert curve.get_df(TODAY + n) == pytest.approx(expected(n / 360.0), rel=1e-14, abs=1e-15)


def test_noded_queries_share_the_formulas():
    curve = noded(Act360, Geometric, (0, 90, 400), (1.0, 0.99, 0.95))
    s, e = TODAY + 30, TODAY + 300
    assert curve.get_fwd_df(s, e) == curve.get_df(e) / curve.get_df(s)
    assert curve.get_fwd_rate(s, e) == (curve.get_df(s) / curve.get_df(e) - 1) / ((e - s) / 360.0)
    assert curve.get_overnight_rate(s) == (curve.get_df(s) / curve.get_df(s + 1) - 1) / (1 / 360.0)


def test_getters_return_new_objects():
    curve = noded(Act360)
    a, b = curve.get_curve_date(), curve.get_curve_date()
    assert a is not b and a.to_int() == b.to_int() == TODAY.to_int()
    assert curve.get_dc() == Act360 and curve.get_dc() is not Act360


def test_node_years_around_the_serial_origin_are_accepted():
    start = D(1899, 6, 1)
    curve = YC.create_noded(start, Act365, [start, D(1899, 12, 29), D(1899, 12, 31), D(1900, 3, 1)],
                            [1.0, 0.99, 0.98, 0.97], Linear)
    assert curve.get_df(D(1899, 12, 31)) == pytest.approx(0.98, rel=1e-15)


# ---------------------------------------------------------------- validation

def expect_value_error(message, *args):
    with pytest.raises(ValueError) as info:
        YC.create_noded(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("days, dfs, n, m", [((0,), (1.0,), 1, 1), ((0, 1, 2), (1.0, 0.9), 3, 2), ((), (), 0, 0)])
def test_size_message(days, dfs, n, m):
    expect_value_error(f"Node dates ({n}) and discount factors ({m}) must have the same size & must have at least size 2",
                       TODAY, Act365, [TODAY + k for k in days], list(dfs), Linear)


def test_first_node_message_uses_the_date_text():
    expect_value_error("First node date (2024-01-16) must be equal to the curve date (2024-01-15)",
                       TODAY, Act365, [TODAY + 1, TODAY + 2], [1.0, 0.9], Linear)


@pytest.mark.parametrize("first, text", [(0.99, "0.99"), (2.0, "2"), (float("nan"), "NaN"), (1e-7, "0.0000001"),
                                         (-0.0, "-0"), (float("inf"), "inf")])
def test_first_discount_factor_message_uses_the_float_text(first, text):
    expect_value_error(f"First discount factor ({text}) must be equal to 1.0",
                       TODAY, Act365, [TODAY, TODAY + 2], [first, 0.9], Linear)


@pytest.mark.parametrize("days", [(0, 5, 5), (0, 10, 3), (0, -1)])
def test_order_message(days):
    expect_value_error("Node dates must be sorted in ascending order and be unique",
                       TODAY, Act365, [TODAY + k for k in days], [1.0] * len(days), Linear)


def test_checks_run_in_order_before_the_day_counter():
    # sizes beat everything, even Thirty360
    expect_value_error("Node dates (1) and discount factors (2) must have the same size & must have at least size 2",
                       TODAY, Thirty360, [TODAY + 1], [0.5, 0.4], Linear)
    # first node beats the first discount factor and the order
    expect_value_error("First node date (2024-01-25) must be equal to the curve date (2024-01-15)",
                       TODAY, Act365, [TODAY + 10, TODAY + 5], [0.5, 0.4], Linear)
    expect_value_error("First discount factor (0.5) must be equal to 1.0",
                       TODAY, Act365, [TODAY, TODAY], [0.5, 0.4], Linear)
    with pytest.raises(BaseException, match="^not implemented$") as info:
        YC.create_noded(TODAY, Thirty360, [TODAY, TODAY + 1], [1.0, 0.9], Linear)
    assert type(info.value).__name__ == "PanicException"


def test_discount_factors_after_the_first_are_not_validated():
    curve = noded(days=(0, 10, 20), dfs=(1.0, -0.5, float("nan")))
    assert curve.get_df(TODAY + 10) == -0.5


def test_spline_curves_build_but_fail_inside():
    curve = noded(interp=q.InterpType.CubicSpline)
    assert curve.get_df(TODAY) == 1.0 and curve.get_df(TODAY + 100) == 0.99
    with pytest.raises(BaseException, match=r"^Interpolation Type is not supported \(yet\)$"):
        curve.get_df(TODAY + 50)


@pytest.mark.parametrize("call, message", [
    (lambda: YC.create_noded(TODAY, Act365, "abc", [1.0], Linear), "argument 'node_dates': Can't extract `str` to `Vec`"),
    (lambda: YC.create_noded(TODAY, Act365, (d for d in [TODAY]), [1.0], Linear),
     "argument 'node_dates': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: YC.create_noded(TODAY, Act365, [TODAY, 3], [1.0, 1.0], Linear),
     "argument 'node_dates': 'int' object cannot be converted to 'Date'"),
    (lambda: YC.create_noded(TODAY, Act365, [TODAY], [1.0, "x"], Linear),
     "argument 'discount_factors': must be real number, not str"),
    (lambda: YC.create_noded(TODAY, "Act365", [TODAY], [1.0], Linear),
     "argument 'dc': 'str' object cannot be converted to 'DayCounter'"),
    (lambda: YC.create_noded(TODAY, Act365, [TODAY], [1.0], 0),
     "argument 'interp_type': 'int' object cannot be converted to 'InterpType'"),
    (lambda: YC.create_flat("2024-01-15", Act365, 0.05), "argument 'curve_date': 'str' object cannot be converted to 'Date'"),
    (lambda: YC.create_flat(TODAY, Act365, None), "argument 'flat_rate': must be real number, not NoneType"),
    (lambda: YC.create_flat(TODAY, Act365, 0.05).get_fwd_rate(TODAY, end_date=1),
     "argument 'end_date': 'int' object cannot be converted to 'Date'"),
    (lambda: YC.create_flat(TODAY, Act365), "YieldCurve.create_flat() missing 1 required positional argument: 'flat_rate'"),
    (lambda: YC(), "No constructor defined"),
])
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_doc_strings_and_keywords():
    assert YC.create_noded.__text_signature__ == "(curve_date, dc, node_dates, discount_factors, interp_type)"
    assert YC.get_fwd_rate.__text_signature__ == "($self, start_date, end_date)"
    assert YC.__doc__ is None
    curve = YC.create_flat(dc=Act365, flat_rate=0.02, curve_date=TODAY)
    assert curve.get_fwd_rate(end_date=TODAY + 30, start_date=TODAY) == curve.get_fwd_rate(TODAY, TODAY + 30)
