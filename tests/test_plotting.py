import math
import sys
import types

import pytest

import quillander as q

PLT_NAMES = ["figure", "plot", "legend", "tight_layout", "grid", "show"]


class Recorder(types.ModuleType):
    """A stand-in for matplotlib.pyplot that records every call in order."""

    def __init__(self):
        super().__init__("matplotlib.pyplot")
        self.calls = []
        for name in PLT_NAMES:
            setattr(self, name, self._recording(name))

    def _recording(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return object()
        return record

    def names(self):
        return [c[0] for c in self.calls]


@pytest.fixture
def plt(monkeypatch):
    fake = Recorder()
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", fake)
    return fake


def test_samples_exclude_the_upper_bound_and_keep_call_order(plt):
    seen = []
    assert q.plot_function(lambda x: seen.append(x) or x * 2, 0.0, 1.0, n=4, show=False) is None
    assert seen == [0.0, 0.25, 0.5, 0.75]
    assert plt.names() == ["plot", "tight_layout", "grid"]
    assert plt.calls[0][1] == ([0.0, 0.25, 0.5, 0.75], [0.0, 0.5, 1.0, 1.5])
    assert plt.calls[0][2] == {}
    assert plt.calls[2][1] == (True,)


def test_sample_points_follow_the_fixed_operation_order(plt):
    x0, x1, n = 0.1, 0.7, 7
    q.plot_function(lambda x: 0, x0, x1, n=n, grid=False, show=False)
    xs = plt.calls[0][1][0]
    assert xs == [(i * (x1 - x0)) / n + x0 for i in range(n)]


def test_defaults_draw_a_hundred_points_with_grid_and_show(plt):
    q.plot_function(math.sin, -1, 1)
    assert plt.names() == ["plot", "tight_layout", "grid", "show"]
    assert len(plt.calls[0][1][0]) == 100


def test_figure_first_with_a_fresh_plain_tuple(plt):
    class Size(tuple):
        pass

    calls_before_func = []
    q.plot_function(lambda x: calls_before_func.append(list(plt.names())) or 1, 0, 1, n=1,
                    figsize=Size((8, 4)), show=False)
    assert calls_before_func == [["figure"]]
    (name, args, kwargs) = plt.calls[0]
    assert (name, args) == ("figure", ())
    assert kwargs == {"figsize": (8, 4)} and type(kwargs["figsize"]) is tuple


@pytest.mark.parametrize("extra, legend", [({"label": "sin"}, True), ({"label": None}, True),
                                           ({"color": "red"}, False)])
def test_extra_keywords_go_to_plot_and_label_adds_a_legend(plt, extra, legend):
    q.plot_function(math.sin, 0, 1, n=2, grid=False, show=False, **extra)
    assert plt.calls[0][0] == "plot" and plt.calls[0][2] == extra
    expected = ["plot", "legend", "tight_layout"] if legend else ["plot", "tight_layout"]
    assert plt.names() == expected
    if legend:
        assert plt.calls[1][1] == ()
        assert plt.calls[1][2] == {"bbox_to_anchor": (1.03, 1.0), "loc": "upper left", "borderaxespad": 0.0}
        assert list(plt.calls[1][2]) == ["bbox_to_anchor", "loc", "borderaxespad"]


def test_zero_points_and_degenerate_ranges(plt):
    q.plot_function(lambda x: 1 / 0, 0, 1, n=0, show=False)
    assert plt.calls[0][1] == ([], [])
    assert plt.names() == ["plot", "tight_layout", "grid"]
    plt.calls.clear()
    q.plot_function(lambda x: x, 2.0, 2.0, n=3, grid=False, show=False)
    assert plt.calls[0][1][0] == [2.0, 2.0, 2.0]
    plt.calls.clear()
    q.plot_function(lambda x: x, 1.0, 0.0, n=2, grid=False, show=False)
    assert plt.calls[0][1][0] == [1.0, 0.5]


def test_int_results_become_floats(plt):
    q.plot_function(lambda x: 3, 0, 1, n=2, grid=False, show=False)
    ys = plt.calls[0][1][1]
    assert ys == [3.0, 3.0] and all(type(y) is float for y in ys)


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"figsize": [8, 4]}, TypeError, "argument 'figsize': 'list' object cannot be converted to 'PyTuple'"),
    ({"n": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"n": 2.0}, TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
    ({"grid": 1}, TypeError, "argument 'grid': 'int' object cannot be converted to 'PyBool'"),
    ({"show": None}, TypeError, "argument 'show': 'NoneType' object cannot be converted to 'PyBool'"),
])
def test_argument_errors_come_before_any_import(monkeypatch, kwargs, exc, message):
    monkeypatch.delitem(sys.modules, "matplotlib.pyplot", raising=False)
    monkeypatch.setattr(sys, "meta_path", [])  # any import attempt would now fail
    with pytest.raises(exc) as info:
        q.plot_function(math.sin, 0, 1, **kwargs)
    assert str(info.value) == message
    assert type(info.value) is exc


def test_non_numeric_bounds_and_too_many_arguments():
    with pytest.raises(TypeError, match=r"^argument 'x0': must be real number, not str$"):
        q.plot_function(math.sin, "0", 1)
    with pytest.raises(TypeError, match=r"^plot_function\(\) takes from 3 to 7 positional arguments but 8 were given$"):
        q.plot_function(math.sin, 0, 1, 2, True, True, None, 1)
    with pytest.raises(TypeError, match=r"^plot_function\(\) missing 2 required positional arguments: 'x0' and 'x1'$"):
        q.plot_function(math.sin)


class Boom(Exception):
    pass


def test_callable_errors_propagate_unchanged_and_nothing_is_plotted(plt):
    def f(x):
        if x > 0.4:
            raise Boom("from func")
        return x

    with pytest.raises(Boom, match="^from func$"):
        q.plot_function(f, 0, 1, n=4, figsize=(1, 2))
    assert plt.names() == ["figure"]  # what was drawn stays; no plot of partial data
    plt.calls.clear()
    with pytest.raises(TypeError, match="^must be real number, not str$"):
        q.plot_function(lambda x: "y", 0, 1, n=2)
    assert plt.calls == []


def test_matplotlib_errors_propagate(plt):
    def broken(*a, **k):
        raise Boom("tight")

    plt.tight_layout = broken
    with pytest.raises(Boom, match="^tight$"):
        q.plot_function(math.sin, 0, 1, n=1)
    assert plt.names() == ["plot"]


def test_missing_matplotlib_reports_the_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError):
        q.plot_function(math.sin, 0, 1)


def test_real_matplotlib_writes_a_png(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    q.plot_function(math.sin, 0.0, 6.3, n=50, show=False, figsize=(4, 3), label="sin")
    path = tmp_path / "sin.png"
    plt.savefig(path)
    plt.close("all")
    data = path.read_bytes()
    assert data.startswith(b"\x89PNG") and len(data) > 1000
