import itertools
import math
import random
import struct
from decimal import Decimal

import pytest
import QuantLib as ql

import quillander as q

B, M = q.BlackScholes, q.BlackScholesMetrics
CALL, PUT = q.PutCallFlag.Call, q.PutCallFlag.Put
FIELDS = ("npv", "delta", "gamma", "vega", "theta", "rho_r", "rho_q")
NAN, INF, DAY = math.nan, math.inf, 0.0027397260273972603
PLAIN = "(spot, strike, rate, div_yield, tau, pc_flag, vol)"
DATED = "(spot, strike, rate, div_yield, eval_date, expiry_date, pc_flag, vol)"
IMPLS = {"npv": "(spot, strike, chi, df_r, df_q, cdf_d1, cdf_d2)", "delta": "(chi, df_q, cdf_d1)",
         "gamma": "(spot, vol, sqrt_tau, df_q, pdf_d1)", "vega": "(spot, sqrt_tau, df_q, pdf_d1)",
         "theta": "(spot, strike, rate, div_yield, vol, chi, sqrt_tau, df_r, df_q, pdf_d1, cdf_d1, cdf_d2)",
         "rho_r": "(strike, chi, tau, df_r, cdf_d2)", "rho_q": "(spot, chi, tau, df_q, cdf_d1)"}


def exact(x):  # the value with its sign of zero; NaNs alike whatever their sign bit
    return None if x is None else "nan" if math.isnan(x) else x.hex()


def fields(m):
    return None if m is None else tuple(getattr(m, f) for f in FIELDS)


def text(x):  # Python's shortest repr, written positionally
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    s = format(Decimal(repr(x)), "f")
    return s.rstrip("0").rstrip(".") if "." in s else s


GRID = list(itertools.product([0.0, 50.0, 100.0, 137.5, NAN, INF], [0.0, 100.0, 80.0, NAN, INF],
                              [0.0, 0.05, -0.01, NAN], [0.0, 0.03, INF],
                              [-1.0, -0.0, 0.0, 0.002, DAY, 1.5, NAN, INF], [PUT, CALL], [0.0, 1e-3, 0.2, NAN, INF]))
SAMPLE = random.Random(5).sample(GRID, 4000)


def test_class_surface():
    names = [n for n in vars(B) if not n.startswith("__")]
    assert names == ["get_metrics_with_dates", "get_metrics", "get_metrics_fd_with_dates", "get_metrics_fd"] + \
        [f"{m}{s}" for m in FIELDS for s in ("_with_dates", "", "_impl")]
    for name in names:
        sig = DATED if name.endswith("_with_dates") else IMPLS[name[:-5]] if name.endswith("_impl") else PLAIN
        assert (getattr(B, name).__text_signature__, getattr(B, name).__doc__) == (sig, None)
    for cls in (B, M):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
    m = B.get_metrics(100, 100, 0.05, 0.0, 1.0, CALL, 0.2)
    for attr in ("npv", "extra"):
        with pytest.raises(AttributeError):
            setattr(m, attr, 1.0)
    assert M.npv.__doc__ is None and m != B.get_metrics(100, 100, 0.05, 0.0, 1.0, CALL, 0.2)


@pytest.mark.parametrize("call, message", [
    (lambda: B.npv(1, 1, 0, 0), "BlackScholes.npv() missing 3 required positional arguments: 'tau', 'pc_flag', and 'vol'"),
    (lambda: B.npv(1, 1, 0, 0, 1, 1, 0.2), "argument 'pc_flag': 'int' object cannot be converted to 'PutCallFlag'"),
    (lambda: B.get_metrics("1", 1, 0, 0, 1, CALL, 0.2), "argument 'spot': must be real number, not str"),
    (lambda: B.rho_q_with_dates(1, 1, 0, 0, q.Date(2024, 1, 1), 45000, CALL, 0.2),
     "argument 'expiry_date': 'int' object cannot be converted to 'Date'"),
    (lambda: B.delta_impl(1, 2), "BlackScholes.delta_impl() missing 1 required positional argument: 'cdf_d1'"),
    (lambda: B.vega(1, 1, 0, 0, 1, CALL, 0.2, 1), "BlackScholes.vega() takes 7 positional arguments but 8 were given"),
    (lambda: B.vega(1, 1, 0, 0, 1, CALL, 0.2, tau=1), "BlackScholes.vega() got multiple values for argument 'tau'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("s, k, v", [(-1.0, 100, 0.2), (100, -1e-300, 0.2), (100, 100, -0.2), (-INF, 100, 0.2)])
def test_negative_spot_strike_or_vol_give_none(s, k, v):
    d, e = q.Date(2024, 1, 1), q.Date(2025, 1, 1)
    for name in ("get_metrics", "get_metrics_fd") + FIELDS:
        assert getattr(B, name)(s, k, 0.05, 0.0, 1.0, CALL, v) is None
        assert getattr(B, name + "_with_dates")(s, k, 0.05, 0.0, d, e, CALL, v) is None


def test_get_metrics_matches_single_methods_bit_for_bit():
    for args in SAMPLE:
        assert [exact(x) for x in fields(B.get_metrics(*args))] == [exact(getattr(B, f)(*args)) for f in FIELDS], args


@pytest.mark.parametrize("days", [-400, -1, 0, 1, 30, 365, 366, 3650])
def test_with_dates_equal_plain_form(days):
    d = q.Date(2024, 2, 29)
    e, tau = d + days, days / 365.0
    for s, k, r, y, _, flag, vol in SAMPLE[:150]:
        for name in ("get_metrics", "get_metrics_fd") + FIELDS:
            dated, plain = (getattr(B, name + "_with_dates")(s, k, r, y, d, e, flag, vol),
                            getattr(B, name)(s, k, r, y, tau, flag, vol))
            assert repr(dated) == repr(plain)


@pytest.mark.parametrize("args, expected", [
    ((100, 90, 0.05, 0.0, -1.0, CALL, 0.2), (0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.0)),  # expired
    ((100, 110, 0.05, 0.0, -1.0, PUT, 0.2), (-0.0, -0.0, 0.0, 0.0, 0.0, -0.0, 0.0)),
    ((100, 100, 0.05, 0.02, 0.0, CALL, 0.2), (0.0, 0.5, INF, 0.0, 0.0, 0.0, -0.0)),  # at expiry, at the money
    ((100, 100, 0.05, 0.02, 0.0, PUT, 0.2), (-0.0, -0.5, INF, 0.0, 0.0, -0.0, 0.0)),
    ((120, 100, 0.05, 0.02, 0.0, CALL, 0.2), (20.0, 1.0, 0.0, 0.0, 0.0, 0.0, -0.0)),
    ((100, 90, 0.05, 0.02, NAN, CALL, 0.2), (NAN,) * 7),
])
def test_regimes(args, expected):
    assert [exact(x) for x in fields(B.get_metrics(*args))] == [exact(x) for x in expected]


def test_zero_vol_and_zero_spot():
    m = B.get_metrics(100, 90, 0.05, 0.02, 2.0, CALL, 0.0)
    dr, dq = math.exp(-0.05 * 2), math.exp(-0.02 * 2)
    assert (m.npv, m.delta, m.gamma, m.vega) == (dq * 100 - dr * 90, dq, 0.0, 0.0)
    assert m.theta == 1.0 * (90 * (0.05 * (-1.0 * dr))) - 0.0 + 1.0 * (100 * (0.02 * (1.0 * dq)))
    assert B.npv(100, 110, 0.05, 0.02, 2.0, CALL, 0.0) == 0.0
    assert B.gamma(100, 100, 0.0, 0.0, 2.0, PUT, 0.0) == INF  # forward exactly at the strike
    # At a zero spot the density at d1 = -inf vanishes: gamma is 0, not 0/0.
    assert B.gamma(0.0, 100, 0.05, 0.0, 1.0, CALL, 0.2) == 0.0 == B.gamma_impl(0.0, 0.2, 1.0, 1.0, 0.0)


def test_impl_formulas():
    s, k, chi, dr, dq, c1, c2, p, st, v, r, y = 0.89, 0.81, 0.31, 0.97, 0.3, 0.54, 0.17, 0.24, 0.81, 0.01, 0.13, 0.53
    assert B.npv_impl(s, k, chi, dr, dq, c1, c2) == chi * ((s * dq) * c1 - (k * dr) * c2)
    assert B.delta_impl(-1.0, 0.98, 0.3) == (-1.0 * 0.98) * 0.3
    assert B.gamma_impl(s, v, st, dq, p) == (dq * p) / ((s * v) * st)
    assert (B.gamma_impl(s, 0.0, st, dq, p), B.gamma_impl(s, v, 0.0, dq, 0.0)) == (INF, 0.0)
    assert B.vega_impl(s, st, dq, p) == st * (s * (dq * p))
    assert B.theta_impl(s, k, r, y, v, chi, st, dr, dq, p, c1, c2) == \
        c2 * (k * (r * (-chi * dr))) - v * ((dq * s) * p) / (st * 2) + c1 * (s * (y * (dq * chi)))
    assert B.theta_impl(s, k, r, y, v, chi, 0.0, dr, dq, p, c1, c2) == 0.0
    assert B.rho_r_impl(k, chi, st, dr, c2) == (((k * chi) * st) * dr) * c2
    assert B.rho_q_impl(s, chi, st, dq, c1) == (((s * -chi) * st) * dq) * c1


def fd_expected(s, k, r, y, tau, flag, vol):
    """The finite-difference bump rules, replayed through npv."""
    def v(**kw):
        return B.npv(**dict(spot=s, strike=k, rate=r, div_yield=y, tau=tau, pc_flag=flag, vol=vol) | kw)
    v0, hv = v(), vol * 0.001
    vega = (v(vol=0.0001 + vol) - v0) / 0.0001 if vol <= 0.001 else (v(vol=hv + vol) - v(vol=vol - hv)) / (hv + hv)
    theta = 0.0 if tau < DAY else (v(tau=-DAY + tau) - v(tau=DAY + tau)) / 0.005479452054794521
    if s == 0:  # forward differences on the strike's scale
        h = 0.0001 * k
        up, up2 = v(spot=h), v(spot=h + h)
        gamma, delta = (v0 + (up2 - (up + up))) / (h * h), (up - v0) / h
    else:
        h = 0.0005 * s
        up, down = v(spot=h + s), v(spot=s - h)
        gamma, delta = (down + (up - (v0 + v0))) / (h * h), (up - down) / (h + h)
    hr, hq = 0.0001 if r == 0 else r * 0.001, 0.0001 if y == 0 else 0.001 * y
    return (v0, delta, INF if k == s and tau == 0 else gamma, vega, theta,
            (v(rate=hr + r) - v(rate=r - hr)) / (hr + hr), (v(div_yield=hq + y) - v(div_yield=y - hq)) / (hq + hq))


FD_GRID = list(itertools.product([0.0, 90.0, 100.0, 115.0], [100.0], [0.0, 0.05, -0.02], [0.0, 0.03],
                                 [0.5, 1.0, 3.0], [PUT, CALL], [0.25, 0.4]))


@pytest.mark.parametrize("args", FD_GRID[::5] + [
    (100, 100, 0.05, 0.0, 0.002, CALL, 0.2), (100, 100, 0.05, 0.0, DAY, PUT, 0.2), (100, 100, 0.05, 0.0, 0.0, PUT, 0.2),
    (100, 105, 0.05, 0.01, 1.0, CALL, 0.001), (100, 105, 0.05, 0.01, 1.0, CALL, 0.002), (100, 95, 0.0, 0.0, 1, PUT, 0.0),
])
def test_fd_bump_rules(args):
    assert [exact(x) for x in fields(B.get_metrics_fd(*args))] == [exact(x) for x in fd_expected(*args)]


@pytest.mark.parametrize("args", FD_GRID)
def test_fd_agrees_with_closed_form(args):
    for name, fd, cf in zip(FIELDS, fields(B.get_metrics_fd(*args)), fields(B.get_metrics(*args))):
        assert math.isclose(fd, cf, rel_tol=1e-5, abs_tol=1e-8), (name, fd, cf)


def test_fd_close_to_expiry():
    assert B.get_metrics_fd(100, 100, 0.05, 0.0, 0.002, CALL, 0.2).theta == 0.0
    assert B.get_metrics(100, 100, 0.05, 0.0, 0.002, CALL, 0.2).theta < -90
    assert B.get_metrics_fd(100, 100, 0.05, 0.0, 0.0, CALL, 0.2).gamma == INF


@pytest.mark.parametrize("args", list(itertools.product([90.0, 100.0, 112.5], [100.0], [0.05, -0.01], [0.0, 0.03],
                                                        [91, 365, 1000], [PUT, CALL], [0.15, 0.35])))
def test_quantlib_agreement(args):
    s, k, r, y, days, flag, vol = args
    today, dc = ql.Date(15, 1, 2024), ql.Actual365Fixed()
    ql.Settings.instance().evaluationDate = today
    curve = lambda x: ql.YieldTermStructureHandle(ql.FlatForward(today, x, dc))  # noqa: E731
    vols = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), vol, dc))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call if flag == CALL else ql.Option.Put, k),
                              ql.EuropeanExercise(today + days))
    option.setPricingEngine(ql.AnalyticEuropeanEngine(
        ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(s)), curve(y), curve(r), vols)))
    theirs = (option.NPV(), option.delta(), option.gamma(), option.vega(), option.theta(), option.rho(),
              option.dividendRho())
    ours = B.get_metrics_with_dates(s, k, r, y, q.Date(2024, 1, 15), q.Date(2024, 1, 15) + days, flag, vol)
    # The error function is good to about 1e-10 relative, so the normal cdf is off by up
    # to ~1e-10 absolute; a price is a difference of two terms of size spot and strike,
    # which turns that into an absolute error of ~1e-10 * (spot + strike) per year.
    scale = 1e-10 * (s + k) * max(1.0, days / 365)
    for name, a, b in zip(FIELDS, fields(ours), theirs):
        assert math.isclose(a, b, rel_tol=1e-9, abs_tol=scale), (name, a, b)


@pytest.mark.parametrize("s, k, r, y, tau, vol", [(100, 90, 0.05, 0.02, 1.0, 0.2), (80, 100, -0.01, 0.04, 2.5, 0.6),
                                                   (100, 100, 0.0, 0.0, 0.1, 0.05)])
def test_put_call_parity(s, k, r, y, tau, vol):
    c, p = (fields(B.get_metrics(s, k, r, y, tau, f, vol)) for f in (CALL, PUT))
    dr, dq = math.exp(-r * tau), math.exp(-y * tau)
    parity = (s * dq - k * dr, dq, 0.0, 0.0, None, k * tau * dr, -s * tau * dq)
    for name, a, b, want in zip(FIELDS, c, p, parity):
        assert want is None or math.isclose(a - b, want, rel_tol=1e-12, abs_tol=1e-12), name


def test_repr_float_text():
    # A call at expiry with strike 0 is worth its spot exactly: npv takes any value.
    rng = random.Random(11)
    spots = [0.1, 1e-7, 1e21, 5e-324, 123456789.125, 1.0, 0.25, 2.0**53, 1e22, 1e16, 1.7976931348623157e308, NAN, INF]
    spots += [x for x in (struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0] for _ in range(2000))
              if not math.isnan(x)]
    records = [B.get_metrics(x, 0.0, 0.0, 0.0, 0.0, CALL, 0.2) for x in spots]
    records += [B.get_metrics(*args) for args in SAMPLE[:500] + [(INF, 100, 0.0, 0.0, 1.0, CALL, 0.2)]]
    for m in records:
        assert repr(m) == "BlackScholesMetrics(" + ", ".join(f"{n}={text(getattr(m, n))}" for n in FIELDS) + ")"
    assert repr(records[0]) == "BlackScholesMetrics(npv=0.1, delta=1, gamma=0, vega=0, theta=0, rho_r=0, rho_q=-0)"
    assert repr(records[2]).startswith("BlackScholesMetrics(npv=1" + "0" * 21 + ", ")
    assert repr(B.get_metrics(100, 90, 0.05, 0, -1, CALL, 0.2)) == \
        "BlackScholesMetrics(npv=0, delta=0, gamma=0, vega=0, theta=0, rho_r=0, rho_q=-0)"
