"""No call leaks, on its success path or its error paths.

Each case runs thousands of times after a warm-up, and three things must not
grow: the Python heap as tracemalloc sees it (every PyObject_Malloc), the C
heap as glibc's mallinfo2 sees it (the library's own C++ allocations), and the
reference counts of the arguments, the receivers and every class of the module
(a lost or an extra reference on any of them shows up exactly). The resident
set size is reported beside them.
"""
import contextlib
import ctypes
import gc
import math
import os
import pickle
import sys
import tracemalloc
import types

import pytest

import quillander as q

SANITIZED = "libasan" in open("/proc/self/maps").read()
N = 2000 if SANITIZED else 5000
FIGURES = {}

# ---------------------------------------------------------------- measures


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except AttributeError:
    _mallinfo2 = None


def c_heap():
    """Bytes in use by malloc, or None where it cannot tell (sanitizers replace malloc)."""
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd or None


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


CLASSES = [getattr(q, name) for name in q.__all__ if isinstance(getattr(q, name), type)]


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def repeat(fn, n):
    for _ in range(n):
        try:
            fn()
        except BaseException:  # noqa: BLE001 - error paths are measured too
            pass

# ---------------------------------------------------------------- arguments


class OwnError(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise OwnError("no float")


class IndexRaises:
    def __index__(self):
        raise OwnError("no index")


class IterRaises:
    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise OwnError("no iteration")

    def __len__(self):
        raise OwnError("no length")


class FloatIs:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class SubTypeError(TypeError):
    pass


class Raising:
    """__index__ and __float__ raise the given TypeError class."""

    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __index__(self):
        raise self.exc_type("from __index__")

    __float__ = __index__


class Index:
    def __index__(self):
        return 7


def fake_pyplot(fail_on=None):
    plt = types.ModuleType("matplotlib.pyplot")
    for name in ["figure", "plot", "legend", "tight_layout", "grid", "show"]:
        if name == fail_on:
            def refuse(*a, **k):
                raise OwnError("pyplot refused")
            setattr(plt, name, refuse)
        else:
            setattr(plt, name, lambda *a, **k: None)
    return plt


def sampler(fail_after=None):
    calls = [0]

    def f(x):
        calls[0] += 1
        if fail_after is not None and calls[0] % (fail_after + 1) == 0:
            raise OwnError("sampling stopped")
        return math.sin(x)
    return f


# Runtime-made objects: not immortal, so their reference counts move.
X = float("0.3")
BIG = 10**30
TEXT = "".join(["3", "M"])
DATE_TEXT = "".join(["2024-", "01-15"])
SURROGATE = "".join(["3", "\udc80"])
D1 = q.Date(2024, 1, 15)
D2 = D1 + 200
LAST = q.Date(65535, 12, 31)
CAL = q.Calendar("QD_WEEK")
ACT365 = q.DayCounter("Act365")
THIRTY = q.DayCounter("Thirty360")
LINEAR, CUBIC = q.InterpType.Linear, q.InterpType.CubicSpline
AUTO = q.ExtrapType.Auto
CALL = q.PutCallFlag.Call
XS = [0.0, 0.5, 2.0]
YS = [1.0, 0.8, 0.5]
UNSORTED = [1.0, 0.0]
INTERP = q.Interpolator(XS, YS, LINEAR, AUTO)
INTERP_CUBIC = q.Interpolator(XS, YS, CUBIC, AUTO)
NODES = [D1, D1 + 100, D1 + 400]
DFS = [1.0, 0.99, 0.95]
FLAT = q.YieldCurve.create_flat(D1, ACT365, X)
FLAT_LAST = q.YieldCurve.create_flat(LAST, ACT365, X)
FLAT_30 = q.YieldCurve.create_flat(D1, THIRTY, X)
NODED = q.YieldCurve.create_noded(D1, ACT365, NODES, DFS, LINEAR)
NODED_CUBIC = q.YieldCurve.create_noded(D1, ACT365, NODES, DFS, CUBIC)
METRICS = q.BlackScholes.get_metrics(100.0, 95.0, 0.05, 0.01, 1.0, CALL, 0.2)
FLOAT_RAISES, INDEX_RAISES, ITER_RAISES, FLOAT_IS = FloatRaises(), IndexRaises(), IterRaises(), FloatIs(0.25)
SIZE = (8.0, 4.0)
LABEL = "".join(["si", "n"])
FIRST = q.Date(1899, 1, 1)
MONDAY = q.Weekday.Monday
TENOR = q.Tenor(TEXT)
RAISING_TYPE, RAISING_SUB, INDEX = Raising(TypeError), Raising(SubTypeError), Index()
WATCHED = [X, BIG, TEXT, DATE_TEXT, SURROGATE, D1, D2, LAST, CAL, ACT365, THIRTY, LINEAR, CUBIC, AUTO, CALL, XS,
           YS, UNSORTED, INTERP, INTERP_CUBIC, NODES, DFS, FLAT, FLAT_LAST, FLAT_30, NODED, NODED_CUBIC, METRICS,
           FLOAT_RAISES, INDEX_RAISES, ITER_RAISES, FLOAT_IS, SIZE, LABEL, FIRST, MONDAY, TENOR, RAISING_TYPE,
           RAISING_SUB, INDEX]

BS = q.BlackScholes
PLAIN = (100.0, 95.0, 0.05, 0.01, X, CALL, 0.2)
DATED = (100.0, 95.0, 0.05, 0.01, D1, D2, CALL, 0.2)
IMPL = {"npv_impl": 7, "delta_impl": 3, "gamma_impl": 5, "vega_impl": 4, "theta_impl": 12, "rho_r_impl": 5,
        "rho_q_impl": 5}
FUNCTIONS = [getattr(q, n) for n in ("exp", "ln", "log10", "log2", "pow2", "sqrt", "sin", "cos", "tan", "erf", "erfc",
                                     "erf_inv", "erfc_inv")]


BS_CALLS = ([(getattr(BS, name), PLAIN) for name in ("npv", "delta", "gamma", "vega", "theta", "rho_r", "rho_q",
                                                    "get_metrics", "get_metrics_fd")]
            + [(getattr(BS, name + "_with_dates"), DATED) for name in ("npv", "delta", "gamma", "vega", "theta",
                                                                       "rho_r", "rho_q", "get_metrics",
                                                                       "get_metrics_fd")]
            + [(getattr(BS, name), (X,) * count) for name, count in IMPL.items()])


def every_black_scholes_method():
    for method, args in BS_CALLS:
        method(*args)


PYPLOT = {}  # the stand-in for matplotlib.pyplot each plotting case runs with


def with_pyplot(name, plt, fn):
    PYPLOT[name] = plt
    return {name: fn}


@contextlib.contextmanager
def pyplot_installed(name):
    """Installed once around a whole case: changing sys.modules per call would itself allocate."""
    if name not in PYPLOT:
        yield
        return
    saved = sys.modules.pop("matplotlib.pyplot", None)
    sys.modules["matplotlib.pyplot"] = PYPLOT[name]
    try:
        yield
    finally:
        del sys.modules["matplotlib.pyplot"]
        if saved is not None:
            sys.modules["matplotlib.pyplot"] = saved


SAMPLE = sampler()
STOPS = sampler(fail_after=3)

SUCCESS = {
    "Date from ints": lambda: q.Date(2024, 1, 15),
    "Date from text": lambda: q.Date(DATE_TEXT),
    "Date methods": lambda: (D1.year(), D1.to_int(), D1.to_str(), D1.get_ymd(), D1.weekday(), repr(D1),
                             D1.is_weekend(CAL), D1.is_business_day(cal=CAL), q.Date.days_in_month(2024, 2)),
    "Date operators": lambda: (D1 + 31, D2 - D1, D1.add_tenor(TEXT)),
    "Tenor": lambda: (q.Tenor(TEXT).unit, q.Tenor(TEXT).count, repr(q.Tenor(TEXT))),
    "Calendar": lambda: (q.Calendar("QD_NONE").get_name(), CAL.is_business_day(D1), repr(CAL)),
    "DayCounter": lambda: (q.DayCounter("Act360"), ACT365.get_dcf(D1, D2), ACT365.get_dcf_act360(date1=D1, date2=D2)),
    "enums": lambda: (CALL == 1, CALL != CALL, int(LINEAR), repr(AUTO), CALL == FLOAT_IS, CALL == BIG),
    "Interpolator construction": lambda: q.Interpolator(XS, tuple(YS), LINEAR, AUTO),
    "Interpolator queries": lambda: (INTERP.interpolate(X), INTERP.interpolate(x=FLOAT_IS), INTERP.get_nodes_x(),
                                     INTERP.get_nodes_y(), INTERP.get_interp_type(), INTERP.get_extrap_type()),
    "flat curve": lambda: (q.YieldCurve.create_flat(D1, ACT365, X), FLAT.get_df(D2), FLAT.get_fwd_df(D1, D2),
                           FLAT.get_overnight_rate(D2), FLAT.get_fwd_rate(D1, D2), FLAT.get_curve_date(),
                           FLAT.get_dc()),
    "noded curve": lambda: (q.YieldCurve.create_noded(D1, ACT365, NODES, DFS, LINEAR), NODED.get_df(D2),
                            NODED.get_fwd_df(D1, D2), NODED.get_overnight_rate(D2), NODED.get_fwd_rate(D1, D2)),
    "Black-Scholes": every_black_scholes_method,
    "metrics record": lambda: (METRICS.npv, METRICS.delta, METRICS.gamma, METRICS.vega, METRICS.theta,
                               METRICS.rho_r, METRICS.rho_q, repr(METRICS)),
    "functions": lambda: [f(X) for f in FUNCTIONS] + [f(x=FLOAT_IS) for f in FUNCTIONS],
    "functions of ints": lambda: (q.exp(1), q.exp(x=INDEX), q.sqrt(True)),
    "Date from yyyymmdd": lambda: q.Date("20240115"),
    "Date + __index__": lambda: D1 + INDEX,
    "Date static methods": lambda: (q.Date.days_in_month(2024, 2), D1.is_leap_year(year=2024)),
    "weekday comparison": lambda: (D1.weekday() == MONDAY, MONDAY == 0, MONDAY != 2**70, MONDAY == 0.5),
    "add_tenor forms": lambda: (D1.add_tenor("-2D"), D1.add_tenor(t="1Y"), D1.add_tenor("-1W")),
    "Tenor text forms": lambda: (str(TENOR), repr(TENOR)),
    **with_pyplot("plot_function", fake_pyplot(), lambda: q.plot_function(SAMPLE, 0.0, X, n=5, figsize=SIZE,
                                                                         label=LABEL, color=TEXT)),
}

ERRORS = {
    # binding
    "missing argument": lambda: BS.npv(100.0, 95.0, 0.05, 0.01),
    "too many arguments": lambda: q.exp(X, X),
    "unexpected keyword": lambda: INTERP.interpolate(X, y=X),
    "argument given twice": lambda: q.Interpolator(XS, YS, LINEAR, AUTO, nodes_x=XS),
    "Date keyword": lambda: q.Date(2024, month=1),
    "no constructor": lambda: q.YieldCurve(X, key=X),
    "no-argument method given one": lambda: D1.year(X),
    # conversion
    "wrong type": lambda: D1.is_weekend(D1),
    "float from a str": lambda: q.erf(TEXT),
    "int too large": lambda: q.Date.days_in_month(BIG, 1),
    "int out of range": lambda: q.Date(2024, 256, 1),
    "lone surrogate": lambda: q.Tenor(SURROGATE),
    "str for a list": lambda: q.Interpolator(TEXT, YS, LINEAR, AUTO),
    "generator for a list": lambda: q.YieldCurve.create_noded(D1, ACT365, (d for d in NODES), DFS, LINEAR),
    "bad list item": lambda: q.Interpolator(XS, [1.0, TEXT, 2.0], LINEAR, AUTO),
    "__float__ raises": lambda: BS.npv(100.0, FLOAT_RAISES, 0.05, 0.01, X, CALL, 0.2),
    "__index__ raises": lambda: q.Date.is_leap_year(INDEX_RAISES),
    "__iter__ raises": lambda: q.Interpolator(ITER_RAISES, YS, LINEAR, AUTO),
    "list item's __float__ raises": lambda: q.Interpolator([0.0, FLOAT_RAISES], YS, LINEAR, AUTO),
    "operator refused": lambda: D1 + TEXT,
    "Date signature": lambda: q.Date(X, D1),
    # library errors
    "Calendar name": lambda: q.Calendar(TEXT),
    "Date text": lambda: q.Date(TEXT),
    "Tenor text": lambda: q.Tenor(DATE_TEXT),
    "Interpolator validation": lambda: q.Interpolator(UNSORTED, UNSORTED, LINEAR, AUTO),
    "noded curve validation": lambda: q.YieldCurve.create_noded(D1, ACT365, NODES, YS, LINEAR),
    "negative spot": lambda: BS.get_metrics_fd(-1.0, 95.0, 0.05, 0.01, X, CALL, 0.2),
    "Date signature with a float": lambda: q.Date(2024.0, 1, 1),
    "Date validation": lambda: q.Date(2024, 2, 30),
    "Date text length": lambda: q.Date("2024-1-15"),
    "Date text parse": lambda: q.Date("2024-01-1a"),
    "Date surrogate": lambda: q.Date("2024-01-\ud815"),
    "Date + float": lambda: D1 + X,
    "Date + huge int": lambda: D1 + BIG,
    "Date - int": lambda: D1 - 1,
    "Calendar name with a NUL": lambda: q.Calendar("QD_\x00WEEK"),
    "DayCounter name": lambda: q.DayCounter("act365"),
    "DayCounter argument before the convention": lambda: ACT365.get_dcf_30360(1, D2),
    "Tenor empty": lambda: q.Tenor(""),
    "add_tenor of an int": lambda: D1.add_tenor(3),
    "add_tenor unit": lambda: D1.add_tenor("3X"),
    "add_tenor count": lambda: D1.add_tenor(" 3M"),
    "prefixed TypeError": lambda: q.Date.days_in_month(2024.0, 2),
    "__index__ raising TypeError": lambda: q.Date.days_in_month(RAISING_TYPE, 2),
    "__index__ raising a TypeError subclass": lambda: q.Date.days_in_month(RAISING_SUB, 2),
    "__float__ raising TypeError": lambda: q.exp(RAISING_TYPE),
    "int32 overflow": lambda: q.Date.days_in_month(2**31, 2),
    "multiple values": lambda: q.Date.days_in_month(2024, year=2),
    "enumeration constructor": lambda: q.StubType(),
    "enumeration hash": lambda: hash(MONDAY),
    "enumeration ordering": lambda: MONDAY < MONDAY,
    # internal failures
    "invalid month": lambda: q.Date.days_in_month(2024, 13),
    "date out of range": lambda: LAST + 1,
    "date before the start": lambda: FIRST + (-1),
    "add_tenor before 1899": lambda: D1.add_tenor("-200Y"),
    "add_tenor outside 16 bits": lambda: D1.add_tenor("-32768Y"),
    "business-day tenor": lambda: D1.add_tenor("1B"),
    "Thirty360": lambda: THIRTY.get_dcf(D1, D2),
    "get_dcf_30360": lambda: ACT365.get_dcf_30360(D1, D2),
    "Thirty360 curve": lambda: FLAT_30.get_df(D2),
    "Thirty360 noded curve": lambda: q.YieldCurve.create_noded(D1, THIRTY, NODES, DFS, LINEAR),
    "cubic interpolation": lambda: INTERP_CUBIC.interpolate(X),
    "cubic curve": lambda: NODED_CUBIC.get_df(D2),
    "overnight rate on the last date": lambda: FLAT_LAST.get_overnight_rate(LAST),
    "NaN interpolation": lambda: INTERP.interpolate(math.nan),
    # plot_function
    "plot keywords then bad n": lambda: q.plot_function(SAMPLE, 0.0, 1.0, n=TEXT, label=LABEL),
    "plot figsize list": lambda: q.plot_function(SAMPLE, 0.0, 1.0, figsize=XS),
    **with_pyplot("plot callable stops", fake_pyplot(),
                  lambda: q.plot_function(STOPS, 0.0, 1.0, n=8, label=LABEL)),
    **with_pyplot("plot callable returns a str", fake_pyplot(), lambda: q.plot_function(lambda x: TEXT, 0.0, 1.0)),
    **with_pyplot("pyplot refuses", fake_pyplot("legend"),
                  lambda: q.plot_function(SAMPLE, 0.0, 1.0, n=3, figsize=SIZE, label=LABEL)),
    **with_pyplot("pyplot missing", None, lambda: q.plot_function(SAMPLE, 0.0, 1.0)),
}

# ---------------------------------------------------------------- the array module

qn = pytest.importorskip("quillander_numpy")
np = pytest.importorskip("numpy")
QN_FUNCTIONS = [getattr(qn, n) for n in ("exp", "ln", "log10", "log2", "pow2", "sqrt", "sin", "cos", "tan", "erf",
                                         "erfc", "erf_inv", "erfc_inv")]
QN_PUBLIC = [getattr(qn, n) for n in qn.__all__]
SPOTS = np.linspace(80.0, 120.0, 16)
FLAG_INTS = np.array([0, 1] * 8)
FLAG_OBJECTS = np.array([CALL, 0] * 8, dtype=object)
BAD_FLAGS = np.array([1] * 15 + [2])
WRONG_FLAG_OBJECTS = np.array([CALL, MONDAY], dtype=object)
HUGE_FLAG_OBJECTS = np.array([CALL, BIG], dtype=object)
OUT = np.empty(16)
OUTS = tuple(np.empty(16) for _ in range(7))
MASK = np.array([True, False] * 8)
WIDE = np.linspace(0.5, 1.5, 40_000)  # enough for several chunks on the worker threads
WIDE_BAD_FLAGS = np.ones(9000, dtype=np.int64)
WIDE_BAD_FLAGS[[0, 8999]] = 3
TEXTS = np.array(["1.0", "2.0"])
TOO_LONG = np.ones(5)
HUGE = np.broadcast_to(0.0, (2**40,))
WATCHED += [*QN_PUBLIC, SPOTS, FLAG_INTS, FLAG_OBJECTS, BAD_FLAGS, WRONG_FLAG_OBJECTS, HUGE_FLAG_OBJECTS, OUT,
            *OUTS, MASK, WIDE, WIDE_BAD_FLAGS, TEXTS, TOO_LONG, HUGE]


def on_threads(n, fn):
    def call():
        previous = qn.set_num_threads(n)
        try:
            return fn()
        finally:
            qn.set_num_threads(previous)
    return call


SUCCESS.update({
    "array functions": lambda: [f(SPOTS) for f in QN_FUNCTIONS] + [f(X) for f in QN_FUNCTIONS],
    "array pricing": lambda: (qn.npv(SPOTS, 100.0, 0.05, 0.01, X, FLAG_INTS, 0.2), qn.theta(*PLAIN),
                              qn.get_metrics(SPOTS, 100.0, 0.05, 0.01, X, 1, 0.2),
                              qn.get_metrics_fd(SPOTS, 100.0, 0.05, 0.01, X, FLAG_INTS, 0.2),
                              qn.delta(-1.0, 100.0, 0.05, 0.01, X, 1, 0.2)),
    "array pricing with flag objects": lambda: (qn.vega(SPOTS, 100.0, 0.05, 0.01, X, FLAG_OBJECTS, 0.2),
                                                qn.get_metrics(*PLAIN)),
    "array out= and where=": lambda: (qn.rho_r(SPOTS, 100.0, 0.05, 0.01, X, 1, 0.2, out=OUT, where=MASK),
                                      qn.get_metrics(SPOTS, 100.0, 0.05, 0.01, X, 1, 0.2, out=OUTS)),
    "array closing formulas": lambda: [getattr(qn, n)(*(SPOTS,) * count) for n, count in IMPL.items()],
    "array thread settings": lambda: (qn.set_num_threads(qn.get_num_threads()), qn.set_num_threads(n=INDEX)),
    "array loops on worker threads": on_threads(2, lambda: (qn.rho_q_impl(WIDE, WIDE, X, WIDE, WIDE),
                                                            qn.erfc(WIDE))),
})

ERRORS.update({
    "array pc_flag value": lambda: qn.npv(SPOTS, 100.0, 0.05, 0.01, X, BAD_FLAGS, 0.2),
    "array pc_flag of another class": lambda: qn.npv(SPOTS[:2], 100.0, 0.05, 0.01, X, WRONG_FLAG_OBJECTS, 0.2),
    "array pc_flag int too large": lambda: qn.gamma(SPOTS[:2], 100.0, 0.05, 0.01, X, HUGE_FLAG_OBJECTS, 0.2),
    "array pc_flag float": lambda: qn.npv(SPOTS, 100.0, 0.05, 0.01, X, X, 0.2),
    "array metrics pc_flag value": lambda: qn.get_metrics_fd(SPOTS, 100.0, 0.05, 0.01, X, BAD_FLAGS, 0.2),
    "array metrics arguments": lambda: qn.get_metrics(X, X),
    "array metrics keyword": lambda: qn.get_metrics(*PLAIN, out=OUT),
    "array text": lambda: qn.erf(TEXTS),
    "array shapes": lambda: qn.npv(SPOTS, TOO_LONG, 0.05, 0.01, X, 1, 0.2),
    "array thread count": lambda: qn.set_num_threads(0),
    "array error on worker threads": on_threads(2, lambda: qn.npv(1.0, 1.0, 0.0, 0.0, 1.0, WIDE_BAD_FLAGS, 0.2)),
    "array too large": lambda: qn.npv(HUGE, 100.0, 0.05, 0.01, X, 1, 0.2),
})


# ---------------------------------------------------------------- market calendars

import pickle  # noqa: E402

HOLIDAY_TEXTS = ["2025-12-25", "2025-12-26", None]
XECB = qn.calendar("XECB", years=range(2020, 2031))
XNYS_1950 = qn.calendar("XNYS", years=range(1950, 1953))
CAL_DAYS = np.arange("2024-01-01", "2024-03-01", dtype="M8[D]")
OUTSIDE = np.array(["2024-01-02", "2031-01-02"], dtype="M8[D]")
NUMPY_CAL = np.busdaycalendar(holidays=HOLIDAY_TEXTS[:2])
WATCHED += [HOLIDAY_TEXTS, XECB, XNYS_1950, CAL_DAYS, OUTSIDE, NUMPY_CAL]

SUCCESS.update({
    "business calendars": lambda: (qn.BusinessCalendar("1111100", HOLIDAY_TEXTS) | XECB, NUMPY_CAL | XECB,
                                   hash(XECB), repr(XNYS_1950), XECB.holidays, XECB.range, XECB == XNYS_1950,
                                   pickle.loads(pickle.dumps(XNYS_1950)), XECB.to_busdaycalendar()),
    "market calendar looked up": lambda: (qn.calendar("XECB", years=range(2020, 2031)), qn.calendar("XECB")),
    "business-day arithmetic": lambda: (qn.add_business_days(CAL_DAYS, 2, XECB, HOLIDAY_TEXTS),
                                        qn.business_days_between(CAL_DAYS, CAL_DAYS[::-1], NUMPY_CAL),
                                        qn.year_fraction(CAL_DAYS, CAL_DAYS[0], "30E/360 ISDA", CAL_DAYS)),
})

ERRORS.update({
    "date outside a calendar's range": lambda: qn.add_business_days(OUTSIDE, 1, XECB),
    "unknown market calendar": lambda: qn.calendar("XNYSE"),
    "market calendar years": lambda: qn.calendar("XECB", years=[1990, "x"]),
    "weekmask without business days": lambda: qn.BusinessCalendar("0000000"),
    "holiday text": lambda: qn.BusinessCalendar(holidays=["2025-13-01"]),
    "calendar argument": lambda: qn.add_business_days(CAL_DAYS, 1, HOLIDAY_TEXTS),
    "worked weekend days to numpy": lambda: XNYS_1950.to_busdaycalendar(),
    "disjoint joins": lambda: XNYS_1950 | XECB,
    "day-count name": lambda: qn.year_fraction(CAL_DAYS, CAL_DAYS, "ACT/365"),
})


# Bonds: the conventions, each analytic, cash flows, their refusals.
BOND = qn.BondConventions("6M", "ACT/ACT ICMA", np.busdaycalendar(holidays=["2024-12-25"]), q.BusDayAdj.Unadjusted,
                          q.BusDayAdj.Following, q.StubType.FrontShort, True, 1, 7, 100.0)
BOND_SETTLE = np.array(["2024-03-15", "2024-12-24", "NaT", "2031-01-01"], dtype="M8[D]")
BOND_TERMS = (np.datetime64("2020-06-30"), np.datetime64("2030-06-30"), np.array([0.04, 0.0, 0.05, 0.04]))
BOND_CURVE = q.YieldCurve.create_flat(D1, ACT365, 0.03)
WATCHED += [BOND, BOND_SETTLE, *BOND_TERMS, BOND_CURVE]
SUCCESS.update({
    "bond conventions": lambda: (qn.BondConventions(), qn.BondConventions("3M", "30/360", CAL), BOND == BOND,
                                 hash(BOND), repr(BOND), BOND.cal if hasattr(BOND, "cal") else None),
    "bond pickle": lambda: pickle.loads(pickle.dumps(BOND)),
    "bond analytics": lambda: [getattr(qn, n)(BOND, BOND_SETTLE, *BOND_TERMS, *x) for n, x in [
        ("bond_accrued", ()), ("bond_dirty_price", (X,)), ("bond_clean_price", (X,)), ("bond_ytm", (99.0,)),
        ("bond_duration", (X,)), ("bond_convexity", (X,)), ("bond_dv01", (X,))]],
    "bond duration kinds": lambda: qn.bond_duration(BOND, BOND_SETTLE, *BOND_TERMS, X, np.array(["macaulay"] * 4,
                                                                                                dtype=object)),
    "bond curve": lambda: (qn.bond_dirty_price_from_curve(BOND, BOND_CURVE, BOND_SETTLE, *BOND_TERMS),
                           qn.bond_zspread(BOND, BOND_CURVE, BOND_SETTLE, *BOND_TERMS, 99.0)),
    "bond cash flows": lambda: (qn.bond_cashflows(BOND, *BOND_TERMS), qn.bond_cashflows(BOND, BOND_TERMS[0],
                                                                                       BOND_TERMS[1], X)),
})
ERRORS.update({
    "bond conventions refused": lambda: qn.BondConventions(TEXT, face=X - 1),
    "bond conventions day count": lambda: qn.BondConventions(day_count=THIRTY),
    "bond conventions calendar": lambda: qn.BondConventions(cal=TEXT),
    "bond duration kind": lambda: qn.bond_duration(BOND, BOND_SETTLE, *BOND_TERMS, X, kind=TEXT),
    "bond receiver": lambda: qn.bond_accrued(CAL, BOND_SETTLE, *BOND_TERMS),
    "bond curve of 30/360": lambda: qn.bond_dirty_price_from_curve(BOND, FLAT_30, BOND_SETTLE, *BOND_TERMS),
    "bond cash flows refused": lambda: qn.bond_cashflows(BOND, BOND_TERMS[1], BOND_TERMS[0], X),
})

# ---------------------------------------------------------------- swaps and curves from quotes

SOFR = qn.SwapConventions.preset("USD SOFR")
SWAP_TENORS = ["1M", "6M", "1Y", "2Y", "5Y", "10Y"]
SWAP_QUOTES = np.array([0.043, 0.042, 0.04, 0.039, 0.038, 0.039])
SWAP_ROWS = np.vstack([SWAP_QUOTES, SWAP_QUOTES + 1e-4, np.where(np.arange(6) == 3, -5.0, SWAP_QUOTES)])
SOFR_CURVE = qn.bootstrap(SOFR, q.Date(2025, 3, 14), SWAP_TENORS, SWAP_QUOTES)
SWAP_STARTS = np.datetime64("2025-03-18", "D") + np.arange(0, 320, 20)
SWAP_ENDS = np.array(["1Y", "3Y", "7Y", "2030-03-18"] * 4, dtype=object)
SWAP_BAD_ENDS = np.array(["1Y", "3Q"], dtype=object)
DEPOSITS = (["1W"], [0.043])
WATCHED += [SOFR, SWAP_TENORS, SWAP_QUOTES, SWAP_ROWS, SOFR_CURVE, SWAP_STARTS, SWAP_ENDS, SWAP_BAD_ENDS, DEPOSITS]

SUCCESS.update({
    "swap conventions": lambda: (qn.SwapConventions("6M", q.DayCounter.Act360, "3M", "30/360", XECB),
                                 pickle.loads(pickle.dumps(SOFR)), repr(SOFR), hash(SOFR), SOFR.cal,
                                 qn.SwapConventions.preset("EUR ESTR")),
    "swaps over arrays": lambda: (qn.swap_npv(SOFR, SOFR_CURVE, SWAP_STARTS, SWAP_ENDS, 0.04, FLAG_INTS, 1e6),
                                  qn.swap_par_rate(SOFR, SOFR_CURVE, SWAP_STARTS, "5Y", SOFR_CURVE),
                                  qn.swap_annuity(SOFR, SOFR_CURVE, SWAP_STARTS[0], "10Y")),
    "swap cash flows and deltas": lambda: (qn.swap_cashflows(SOFR, SWAP_STARTS[:3], "2Y", 0.04, 1, 1e6, SOFR_CURVE),
                                           qn.swap_node_deltas(SOFR, SOFR_CURVE, SWAP_STARTS, SWAP_ENDS, 0.04, 0)),
    "bootstrap": lambda: (qn.bootstrap(SOFR, q.Date(2025, 3, 14), SWAP_TENORS, SWAP_QUOTES, deposits=DEPOSITS,
                                       jacobian=True),
                          qn.bootstrap(SOFR, q.Date(2025, 3, 14), SWAP_TENORS, SWAP_ROWS, jacobian=True)),
    "curve descriptions": lambda: (pickle.loads(pickle.dumps(qn.CurveDescription(SOFR_CURVE))).to_curve(),
                                   repr(qn.CurveDescription(SOFR_CURVE)), qn.CurveDescription(SOFR_CURVE).node_dates),
})

ERRORS.update({
    "swap conventions part": lambda: qn.SwapConventions(fixed_tenor="1B"),
    "swap conventions day count": lambda: qn.SwapConventions(float_day_count="ACT/ACT"),
    "swap maturity tenor": lambda: qn.swap_npv(SOFR, SOFR_CURVE, SWAP_STARTS[:2], SWAP_BAD_ENDS, 0.04, 0),
    "swap curve argument": lambda: qn.swap_par_rate(SOFR, SOFR, SWAP_STARTS, "1Y"),
    "bootstrap with no curve": lambda: qn.bootstrap(SOFR, q.Date(2025, 3, 14), SWAP_TENORS, SWAP_ROWS[2]),
    "bootstrap tenor order": lambda: qn.bootstrap(SOFR, q.Date(2025, 3, 14), SWAP_TENORS[::-1], SWAP_QUOTES),
    "bootstrap quote count": lambda: qn.bootstrap(SOFR, q.Date(2025, 3, 14), SWAP_TENORS, SWAP_QUOTES[:4]),
    "node deltas on a flat curve": lambda: qn.swap_node_deltas(SOFR, FLAT, SWAP_STARTS, "1Y", 0.04, 0),
})


@pytest.mark.parametrize("name", list(SUCCESS) + list(ERRORS))
def test_repeated_calls_do_not_grow(name):
    with pyplot_installed(name):
        measure(name, SUCCESS.get(name) or ERRORS[name])


def growth(fn, heap):
    """How much `heap` grew over N calls; the smallest of three windows, so that
    a one-off allocation by the interpreter (a table resizing, which under the
    sanitizers' slower runs can fall in two windows running) is not taken for
    a leak, while a real leak shows in every window."""
    sizes = [heap()]
    for _ in range(3):
        repeat(fn, N)
        gc.collect()
        sizes.append(heap())
    return min(b - a for a, b in zip(sizes, sizes[1:]))


def python_heap():
    return tracemalloc.get_traced_memory()[0]


def measure(name, fn):
    repeat(fn, 300)  # caches, free lists and first-use creations settle
    gc.collect()
    watched = WATCHED + CLASSES
    counts = refcounts(watched)

    tracemalloc.start()
    python_growth = growth(fn, python_heap)
    tracemalloc.stop()
    rss_before = rss()
    c_growth = growth(fn, c_heap) if c_heap() is not None else None
    rss_growth = rss() - rss_before

    moved = [(repr(o)[:40], b, a) for o, b, a in zip(watched, counts, refcounts(watched)) if a != b]
    assert not moved, f"reference counts moved: {moved}"
    assert python_growth < N, f"{python_growth} bytes over {N} calls"
    if c_growth is not None:
        assert c_growth < 64 * 1024, f"{c_growth} bytes over {N} calls"
    FIGURES[name] = (python_growth, c_growth, rss_growth)


def test_resident_size_settles():
    """All cases together, three rounds: the last one may not grow the process."""
    cases = {**SUCCESS, **ERRORS}
    sizes = []
    for _ in range(3):
        for name, fn in cases.items():
            with pyplot_installed(name):
                repeat(fn, 500)
        gc.collect()
        sizes.append(rss())
    FIGURES["all cases, last round"] = (None, None, sizes[2] - sizes[1])
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        assert sizes[2] - sizes[1] < 256 * 1024


@pytest.fixture(scope="module", autouse=True)
def report_figures(request):
    yield
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    if not FIGURES or reporter is None or capture is None:
        return

    def worst(i):
        values = [f[i] for f in FIGURES.values() if f[i] is not None]
        return max(values) if values else "n/a"

    with capture.global_and_fixture_disabled():
        reporter.write_line(f"\nleaks: {len(FIGURES)} cases x {N} calls; largest growth: Python heap {worst(0)} B, "
                            f"C heap {worst(1)} B, RSS {worst(2)} B")
        if request.config.getoption("verbose") > 0:
            for name, (py, c, r) in FIGURES.items():
                reporter.write_line(f"  {name}: python {py} B, c heap {c} B, rss {r} B")
