"""The thirteen module functions against math, SciPy and fixed values."""
import math
import sys

import numpy as np
import pytest
from scipy import special

import quillander as q

ERF_DOCS = {
    "erf": "`erf` calculates the error function at `x`.",
    "erfc": "`erfc` calculates the complementary error function\nat `x`.",
    "erf_inv": "`erf_inv` calculates the inverse error function\nat `x`.",
    "erfc_inv": "`erfc_inv` calculates the complementary inverse\nerror function at `x`.",
}
ALL = ["exp", "ln", "log10", "log2", "pow2", "sqrt", "sin", "cos", "tan", *ERF_DOCS]
# Where the pieces of the erf/erfc approximation start; erfc is zero from 110.
BOUNDS = [0.0, 1e-10, 0.5, 0.75, 1.25, 2.25, 3.5, 5.25, 8.0, 11.5, 17.0, 24.0, 38.0, 60.0, 85.0, 110.0]


def cases(table):
    return [(n, float(x), float(e)) for n, x, e in (case.split() for case in table.split("|"))]


def rel_err(ours, ref):
    return np.abs(np.asarray(ours) - ref) / np.abs(ref)


def test_surface():
    assert q.__all__[-13:] == ALL
    for name in ALL:
        f = getattr(q, name)
        assert (f.__text_signature__, f.__doc__) == ("(x)", ERF_DOCS.get(name))
        assert f(x=0.25) == f(0.25) == f(np.float32(0.25)) and f(True) == f(1) == f(1.0)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("1",), {}, TypeError, "argument 'x': must be real number, not str"),
        ((None,), {}, TypeError, "argument 'x': must be real number, not NoneType"),
        ((10**400,), {}, OverflowError, "int too large to convert to float"),
        ((), {}, TypeError, "{}() missing 1 required positional argument: 'x'"),
        ((1, 2), {}, TypeError, "{}() takes 1 positional arguments but 2 were given"),
        ((1,), {"x": 1}, TypeError, "{}() got multiple values for argument 'x'"),
        ((), {"y": 1}, TypeError, "{}() got an unexpected keyword argument 'y'"),
    ],
)
def test_bad_arguments(name, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        getattr(q, name)(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message.format(name)


@pytest.mark.parametrize("name, ref", [("exp", math.exp), ("ln", math.log), ("log10", math.log10),
                                       ("log2", math.log2), ("sin", math.sin), ("cos", math.cos),
                                       ("tan", math.tan), ("sqrt", math.sqrt), ("pow2", lambda x: x * x)])
def test_elementary_against_math(name, ref):
    for x in np.geomspace(1e-300, 700, 300).tolist():
        assert math.isclose(getattr(q, name)(x), ref(x), rel_tol=4.5e-16, abs_tol=0.0), x


# Domain edges give IEEE results and never raise (math would).
EDGES = """pow2 3 9 | pow2 -2 4 | pow2 1e200 inf | exp 1000 inf | exp -inf 0 | ln 0 -inf | log10 0 -inf | sqrt -0.0 -0.0
    | sqrt -1 nan | ln -1 nan | log10 -1 nan | log2 -1 nan | sin inf nan | cos -inf nan | tan inf nan
    | erf 0 0 | erf -0.0 0 | erf inf 1 | erf -inf -1 | erf 6 1 | erf 109.9 1 | erf -1e308 -1 | erf nan nan
    | erfc 0 1 | erfc -0.0 1 | erfc inf 0 | erfc -inf 2 | erfc 30 0 | erfc 110 0 | erfc nan nan
    | erf_inv 0 0 | erf_inv -0.0 0 | erf_inv 1 inf | erf_inv 1.5 inf | erf_inv 100 inf | erf_inv -1 -inf
    | erf_inv nan nan | erfc_inv 1 0 | erfc_inv 0 inf | erfc_inv -3 inf | erfc_inv 2 -inf | erfc_inv nan nan"""


@pytest.mark.parametrize("name, x, expected", cases(EDGES))
def test_edges(name, x, expected):
    result = getattr(q, name)(x)
    assert math.isnan(result) if math.isnan(expected) else (result, math.copysign(1, result)) == (
        expected, math.copysign(1, expected))


def test_erf_erfc_sweep_every_piece():
    pieces = [np.linspace(lo, hi, 4000, endpoint=False) for lo, hi in zip(BOUNDS, BOUNDS[1:])]
    edges = np.concatenate([BOUNDS, np.nextafter(BOUNDS, -1), np.nextafter(BOUNDS, 200)])
    pos = np.concatenate(pieces + [edges, np.linspace(110, 200, 50)])
    xs = np.concatenate([pos[pos > 0], -pos[pos > 0]]).tolist()
    erf, erfc = np.array([q.erf(x) for x in xs]), np.array([q.erfc(x) for x in xs])
    assert rel_err(erf, [math.erf(x) for x in xs]).max() < 2e-10
    ref = np.array([math.erfc(x) for x in xs])
    normal = ref >= sys.float_info.min  # relative error means nothing among subnormals
    assert rel_err(erfc[normal], ref[normal]).max() < 2e-10
    assert np.all((erfc[~normal] >= 0) & (erfc[~normal] < sys.float_info.min))
    # erf is odd bit for bit.
    half = len(xs) // 2
    assert np.array_equal((-erf[:half]).view(np.uint64), erf[half:].view(np.uint64))
    assert q.erfc(-1) == 2 - q.erfc(1) and q.erfc(-0.25) == 1 + q.erf(0.25)


# The evaluation order is fixed, so these hold to the last bit: a point in each
# piece of the approximation and in each reachable branch of the inverse.
EXACT = """erf 1e-11 1.1283791670955126e-11 | erf 0.3 0.3286267594591274 | erf 0.6 0.6038560908110528
    | erf 1.0 0.8427007929427149 | erf 1.7 0.9837904585914692 | erf 3.0 0.9999779095029997
    | erfc 0.3 0.6713732405408726 | erfc 1.0 0.15729920705728503 | erfc 3.0 2.2090497000350018e-05
    | erfc 4.0 1.541725790065934e-08 | erfc 6.0 2.1519736713630078e-17 | erfc 9.0 4.137031746410786e-37
    | erfc 13.0 1.739557315343627e-75 | erfc 20.0 5.3958656116575216e-176 | erfc 25.0 8.300172570789256e-274
    | erfc -0.3 1.3286267594591274 | erfc -1.0 1.842700792942715 | erf_inv 0.3 0.2724627147267544
    | erf_inv 0.5 0.4769362762044699 | erf_inv -0.5 -0.4769362762044699 | erf_inv 0.6 0.5951160814499948
    | erf_inv -0.9 -1.1630871536766743 | erfc_inv 1.5 -0.4769362762044699 | erfc_inv 1e-05 3.1234132743408747
    | erfc_inv 1e-20 6.601580622355143 | erfc_inv 1e-200 21.374783049026256 | erfc_inv 1e-300 26.209469960516124"""


@pytest.mark.parametrize("name, x, expected", cases(EXACT))
def test_exact_values(name, x, expected):
    assert getattr(q, name)(x) == expected


def test_inverses():
    rng = np.random.default_rng(11)
    ys = np.concatenate([rng.uniform(-1, 1, 20000), 1 - np.geomspace(1e-16, 0.5, 300), np.geomspace(1e-300, 0.5, 300)])
    ys = np.concatenate([ys, -ys])
    xs = np.array([q.erf_inv(y) for y in ys.tolist()])
    assert np.array_equal(xs[: len(xs) // 2], -xs[len(xs) // 2:])
    assert rel_err([math.erf(x) for x in xs], ys).max() < 1e-15  # the exact erf takes it back
    assert rel_err([q.erf(x) for x in xs], ys).max() < 2e-10  # ours carries its own error
    assert rel_err(xs, special.erfinv(ys)).max() < 1e-14
    ps = np.concatenate([rng.uniform(0, 2, 20000), np.geomspace(1e-300, 1, 600), 2 - np.geomspace(1e-15, 1, 200)])
    ps = ps[ps != 1]
    xs = np.array([q.erfc_inv(p) for p in ps.tolist()])
    assert rel_err(xs, special.erfcinv(ps)).max() < 1e-14
    assert rel_err([q.erfc(x) for x in xs], ps).max() < 2e-10
    # erfc's relative condition number grows like 2x^2.
    assert np.all(rel_err([math.erfc(x) for x in xs], ps) < 1e-15 * (1 + 2 * xs**2))
