import math

import numpy as np
import pytest

from quillander import ExtrapType as E, Interpolator, InterpType as I

NAN = math.nan
SORTED = "Need x-nodes to be sorted in ascending order and be unique"


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    kind = type(info.value)
    assert not isinstance(info.value, Exception) and f"{kind.__module__}.{kind.__name__}" == "pyo3_runtime.PanicException"
    return str(info.value)


def scan(xs, ys, kind, x):
    """Straightforward evaluation strictly inside: the segments tried in order."""
    for i in range(len(xs) - 1):
        if xs[i] < x <= xs[i + 1]:
            if kind == I.Linear:
                return (x - xs[i]) * ((ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i])) + ys[i]
            return math.pow(ys[i + 1] / ys[i], (x - xs[i]) / (xs[i + 1] - xs[i])) * ys[i]


@pytest.mark.parametrize("xs, ys, message", [
    ([], [], "Need at least 1 x-node to create an Interpolator"),
    ([1.0], [], "Need at least 1 y-node to create an Interpolator"),
    ([0, 1], [1], "Need x-nodes & y-nodes to have the same size"),
    ([0, 1, 1], [1, 2], "Need x-nodes & y-nodes to have the same size"),
    ([0, 1, 1], [1, 2, 3], SORTED), ([1, 0], [1, 2], SORTED), ([NAN, 0], [1, 2], SORTED), ([0, 2, 1.5], [0] * 3, SORTED),
])
@pytest.mark.parametrize("kind", [I.Linear, I.Geometric, I.CubicSpline])
def test_validation(xs, ys, message, kind):
    with pytest.raises(ValueError, match=f"^{message}$"):
        Interpolator(xs, ys, kind, E.Auto)


@pytest.mark.parametrize("args, message", [
    (("abc", [1], I.Linear, E.Auto), "argument 'nodes_x': Can't extract `str` to `Vec`"),
    (([], "abc", I.Linear, E.Auto), "argument 'nodes_y': Can't extract `str` to `Vec`"),
    (((x for x in [1.0]), [1], I.Linear, E.Auto), "argument 'nodes_x': 'generator' object cannot be converted to 'Sequence'"),
    (([1, "a"], [1, 2], I.Linear, E.Auto), "argument 'nodes_x': must be real number, not str"),
    (([1], [1], 0, E.Auto), "argument 'interp_type': 'int' object cannot be converted to 'InterpType'"),
    (([1], [1], I.Linear, I.Linear), "argument 'extrap_type': 'InterpType' object cannot be converted to 'ExtrapType'"),
    (([1], [1], I.Linear), "Interpolator.__new__() missing 1 required positional argument: 'extrap_type'"),
])
def test_bad_arguments(args, message):
    with pytest.raises(TypeError) as info:
        Interpolator(*args)
    assert str(info.value) == message
    ip = Interpolator(nodes_x=(0, 1), nodes_y=np.array([1.0, 2.0]), interp_type=I.Linear, extrap_type=E.Flat)
    with pytest.raises(TypeError, match="^argument 'x': must be real number, not str$"):
        ip.interpolate("0.5")
    assert ip.interpolate(x=0.5) == 1.5


def test_surface_and_getters():
    assert Interpolator.__text_signature__ == "(nodes_x, nodes_y, interp_type, extrap_type)"
    assert Interpolator.interpolate.__text_signature__ == "($self, x)"
    ip = Interpolator((0, 1, 2), [3, 4, 5], I.Geometric, E.Disabled)
    ip.get_nodes_x().append(9.0)
    ip.get_nodes_y()[0] = 7.0
    assert (ip.get_nodes_x(), ip.get_nodes_y()) == ([0.0, 1.0, 2.0], [3.0, 4.0, 5.0])
    assert ip.get_interp_type() == I.Geometric and ip.get_interp_type() is not I.Geometric
    assert ip.get_extrap_type() == E.Disabled and ip.get_extrap_type() is not ip.get_extrap_type()


@pytest.mark.parametrize("kind", [I.Linear, I.Geometric, I.CubicSpline, I.LogCubicSpline])
@pytest.mark.parametrize("extrap", [E.Auto, E.Flat, E.Disabled])
def test_single_node_is_constant(kind, extrap):
    ip = Interpolator([1.0], [5.0], kind, extrap)
    assert [ip.interpolate(x) for x in [1.0, -1e300, 100.0, math.inf, NAN]] == [5.0] * 5


@pytest.mark.parametrize("x, auto, flat, disabled", [
    (0.5, 5.0, 5.0, 5.0), (0, 0.0, 0.0, 0.0), (2, 20.0, 20.0, 20.0), (-1, -10.0, 0.0, NAN), (3, 30.0, 20.0, NAN),
    (math.inf, math.inf, 20.0, NAN), (-math.inf, -math.inf, 0.0, NAN),
])
def test_linear_extrapolation(x, auto, flat, disabled):
    for extrap, expected in [(E.Auto, auto), (E.Flat, flat), (E.Disabled, disabled)]:
        assert same(Interpolator([0, 1, 2], [0, 10, 20], I.Linear, extrap).interpolate(x), expected)
    assert math.isnan(Interpolator([0, 1, 2], [0, 10, 10], I.Linear, E.Auto).interpolate(math.inf))
    # An interior node is evaluated on the segment to its left.
    assert Interpolator([0, 0.5, 1], [0.9, 0.3, 0], I.Linear, E.Auto).interpolate(0.5) == 0.29999999999999993


def test_geometric():
    ip = Interpolator([0, 1], [1, math.e], I.Geometric, E.Auto)
    assert ip.interpolate(0.5) == math.sqrt(math.e) and math.isclose(ip.interpolate(-1), 1 / math.e, rel_tol=1e-15)
    right = Interpolator([0.0, 0.5, 2.0], [1.0, 0.9, 0.7], I.Geometric, E.Auto).interpolate(3.0)
    assert right == math.exp(math.log(0.7 / 0.9) / (2.0 - 0.5) * (3.0 - 2.0)) * 0.7
    assert math.isnan(Interpolator([0, 1], [1, -1], I.Geometric, E.Auto).interpolate(0.5))
    assert Interpolator([0, 1], [1, 0], I.Geometric, E.Auto).interpolate(0.5) == 0.0


@pytest.mark.parametrize("kind", [I.CubicSpline, I.LogCubicSpline])
def test_splines_build_but_fail_inside(kind):
    ip = Interpolator([0, 1, 2], [1, 2, 4], kind, E.Flat)
    assert [ip.interpolate(x) for x in (0, 2, -1, 5)] == [1.0, 4.0, 1.0, 4.0]
    assert math.isnan(Interpolator([0, 1, 2], [1, 2, 4], kind, E.Disabled).interpolate(-1))
    auto = Interpolator([0, 1, 2], [1, 2, 4], kind, E.Auto)
    for call in [lambda: ip.interpolate(0.5), lambda: ip.interpolate(NAN), lambda: auto.interpolate(3)]:
        assert panic_message(call) == "Interpolation Type is not supported (yet)"
    assert ip.interpolate(0) == 1.0  # still usable


@pytest.mark.parametrize("kind, name", [(I.Linear, "linear"), (I.Geometric, "geometric")])
@pytest.mark.parametrize("extrap", [E.Auto, E.Flat, E.Disabled])
def test_nan_x_fails(kind, name, extrap):
    ip = Interpolator([0, 1, 2], [1, 2, 4], kind, extrap)
    assert panic_message(lambda: ip.interpolate(NAN)) == f"Should never end up here ({name})"


@pytest.mark.parametrize("n", [2, 3, 17, 1000])
def test_random_tables_against_scan_and_numpy(n):
    rng = np.random.default_rng(n)
    xs = np.unique(rng.uniform(-50, 50, n))
    ys = rng.uniform(0.1, 3.0, len(xs))
    probes = np.concatenate([rng.uniform(xs[0], xs[-1], 400), xs[1:-1], np.nextafter(xs[:-1], np.inf)])
    probes = probes[(probes > xs[0]) & (probes < xs[-1])]
    for kind in (I.Linear, I.Geometric):
        ip = Interpolator(xs.tolist(), ys.tolist(), kind, E.Auto)
        assert [ip.interpolate(x) for x in probes.tolist()] == [scan(xs, ys, kind, x) for x in probes.tolist()]
    # numpy.interp evaluates the same formula off the nodes and gives y_k at a node.
    ip = Interpolator(xs.tolist(), ys.tolist(), I.Linear, E.Auto)
    ours = np.array([ip.interpolate(x) for x in probes.tolist()])
    ref = np.interp(probes, xs, ys)
    off = ~np.isin(probes, xs)
    assert np.array_equal(ours[off], ref[off])
    k = np.searchsorted(xs, probes[~off])
    assert np.all(np.abs(ours[~off] - ys[k]) <= 2 * np.spacing(np.maximum(ys[k], ys[k - 1])))
