"""Several threads calling the same objects and functions at once get what one
thread gets.

The calls share dates, calendars, day counters, interpolators, curves and
enumeration values, and run the error paths as well as the successful ones.
Some arguments give the interpreter away in the middle of a call (their
`__float__` or `__index__` sleeps), so other threads run while a call is half
way through converting its arguments, and the switch interval is made tiny.
"""
import math
import os
import struct
import subprocess
import sys
import threading
import time
import types

import quillander as q

THREADS = 8
ROUNDS = 15


class Yields:
    """A number that lets other threads run while it is being converted."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        time.sleep(0)
        return float(self.v)

    def __index__(self):
        time.sleep(0)
        return int(self.v)

    def __repr__(self):
        return f"Yields({self.v!r})"


class OwnError(Exception):
    pass


class Refuses:
    def __float__(self):
        time.sleep(0)
        raise OwnError("refused")


def fingerprint(v):
    if isinstance(v, float):
        return ("float", "nan" if math.isnan(v) else struct.pack("<d", v))
    if isinstance(v, (list, tuple)):
        return tuple(fingerprint(x) for x in v)
    if isinstance(v, q.Date):
        return ("Date", v.to_int(), repr(v))
    if isinstance(v, q.YieldCurve):
        return ("YieldCurve", repr(v.get_curve_date()), repr(v.get_dc()), fingerprint(v.get_df(v.get_curve_date() + 90)))
    if isinstance(v, q.Interpolator):
        return ("Interpolator", fingerprint(v.get_nodes_x()), fingerprint(v.get_nodes_y()), repr(v.get_interp_type()))
    if v is None or isinstance(v, (bool, int, str)):
        return v
    return (type(v).__name__, repr(v))


def outcome(fn):
    try:
        return fingerprint(fn())
    except BaseException as e:  # noqa: BLE001 - errors are results too
        return ("raise", type(e).__name__, str(e))


D1 = q.Date(2024, 1, 15)
D2 = D1 + 400
CAL = q.Calendar("QD_WEEK")
DC = q.DayCounter.Act360
NODES = [D1, D1 + 100, D1 + 400]
LINEAR = q.Interpolator([0.0, 1.0, 3.0], [1.0, 0.5, 0.2], q.InterpType.Linear, q.ExtrapType.Auto)
GEOMETRIC = q.Interpolator([0.0, 1.0, 3.0], [1.0, 0.5, 0.2], q.InterpType.Geometric, q.ExtrapType.Flat)
CUBIC = q.Interpolator([0.0, 1.0, 3.0], [1.0, 0.5, 0.2], q.InterpType.CubicSpline, q.ExtrapType.Auto)
FLAT = q.YieldCurve.create_flat(D1, DC, 0.03)
NODED = q.YieldCurve.create_noded(D1, q.DayCounter.Act365, NODES, [1.0, 0.99, 0.95], q.InterpType.Geometric)
CALL, PUT = q.PutCallFlag.Call, q.PutCallFlag.Put
BS = q.BlackScholes


class Drawing:
    """matplotlib.pyplot for every thread at once, recording per thread."""

    def __init__(self):
        self.local = threading.local()
        self.module = types.ModuleType("matplotlib.pyplot")
        for name in ["figure", "plot", "legend", "tight_layout", "grid", "show"]:
            setattr(self.module, name, self.recorder(name))

    def recorder(self, name):
        def record(*args, **kwargs):
            time.sleep(0)
            self.local.calls.append((name, fingerprint(list(args)), sorted(kwargs)))
        return record

    def plot(self, *args, **kwargs):
        self.local.calls = []
        q.plot_function(*args, **kwargs)
        return self.local.calls


DRAWING = Drawing()


def workload(i):
    """Calls whose results depend on i, so threads do not all ask the same thing at the same time."""
    k = i % 7
    d = D1 + 37 * k
    x = 0.1 + 0.2 * k
    return [
        lambda: q.Date(2024, 1 + k, 10 + k),
        lambda: q.Date(f"2024-0{1 + k}-1{k}"),
        lambda: q.Date(Yields(2024), 2, 30),
        lambda: (d.add_tenor(f"{k}M"), d + Yields(k), d - D1, d.weekday(), d.is_weekend(CAL)),
        lambda: d.add_tenor("1B"),
        lambda: (q.Tenor(f"-{k}W").count, q.Tenor(f"{k}Y").unit, repr(q.Tenor(f"{k}D"))),
        lambda: q.Tenor(f"{k}Q"),
        lambda: (CAL.is_business_day(d), q.Calendar("QD_NONE").is_weekend(d), repr(CAL)),
        lambda: q.Calendar(f"QD_{k}"),
        lambda: (DC.get_dcf(D1, d), DC.get_dcf_act365(date1=d, date2=D2), q.DayCounter("Act365") == 0),
        lambda: q.DayCounter.Thirty360.get_dcf(D1, d),
        lambda: (LINEAR.interpolate(Yields(x)), GEOMETRIC.interpolate(x * 5), LINEAR.interpolate(-x)),
        lambda: CUBIC.interpolate(x),
        lambda: q.Interpolator([0.0, x, 2.0], (1.0, Yields(0.5), 0.25), q.InterpType.Linear, q.ExtrapType.Flat),
        lambda: q.Interpolator([x, 0.0], [1.0, 2.0], q.InterpType.Linear, q.ExtrapType.Flat),
        lambda: (FLAT.get_df(d), FLAT.get_fwd_df(D1, d), FLAT.get_overnight_rate(d), FLAT.get_fwd_rate(D1, d)),
        lambda: (NODED.get_df(d), NODED.get_fwd_rate(d, D2), NODED.get_overnight_rate(d), NODED.get_dc()),
        lambda: q.YieldCurve.create_noded(D1, DC, [D1, d + 1, D2 + 1], [1.0, Yields(1), 0.9], q.InterpType.Linear),
        lambda: q.YieldCurve.create_noded(D1, DC, [D1, D2], [0.99, 0.9], q.InterpType.Linear),
        lambda: q.YieldCurve.create_flat(d, q.DayCounter.Act365, Yields(k)),
        lambda: BS.get_metrics(100.0, 90.0 + k, 0.05, 0.01, x, CALL, Yields(0.2)),
        lambda: BS.get_metrics_fd(100.0, 90.0 + k, 0.05, 0.01, x, PUT, 0.2),
        lambda: BS.get_metrics_fd_with_dates(100.0, 110.0, 0.02, 0.0, D1, d, CALL, 0.3),
        lambda: (BS.npv_with_dates(100.0, 95.0, 0.05, 0.0, D1, d, PUT, 0.25), BS.theta(100.0, 95.0, 0.05, 0.0, x,
                                                                                     CALL, 0.2)),
        lambda: BS.npv(-1.0, 95.0, 0.05, 0.0, x, CALL, 0.2),
        lambda: BS.delta(100.0, 95.0, 0.05, 0.0, x, CALL, Refuses()),
        lambda: BS.gamma(100.0, 95.0, 0.05, 0.0, x, 1, 0.2),
        lambda: [f(Yields(x)) for f in (q.exp, q.ln, q.erf, q.erfc, q.erf_inv, q.erfc_inv, q.sqrt, q.tan)],
        lambda: q.erf("x"),
        lambda: q.Date.days_in_month(2024, Yields(12 + k)),
        lambda: (q.Weekday.Monday == Yields(k), q.InterpType.Linear != k, int(q.StubType.NoStub)),
        lambda: DRAWING.plot(lambda t: (time.sleep(0), math.sin(t * k))[1], 0.0, x, n=4, figsize=(4, k),
                             label=f"f{k}"),
        lambda: DRAWING.plot(lambda t: Refuses(), 0.0, 1.0, n=3),
    ]


def run_all(first, rounds):
    results = {}
    for r in range(rounds):
        for i in range(first + r, first + r + 7):
            for j, call in enumerate(workload(i)):
                results.setdefault((i % 7, j), set()).add(outcome(call))
    return results


def test_threads_get_what_one_thread_gets():
    saved_module = sys.modules.pop("matplotlib.pyplot", None)
    sys.modules["matplotlib.pyplot"] = DRAWING.module
    saved_interval = sys.getswitchinterval()
    try:
        alone = run_all(0, 1)
        assert all(len(v) == 1 for v in alone.values())
        barrier = threading.Barrier(THREADS)
        seen = [None] * THREADS

        def worker(t):
            barrier.wait()
            seen[t] = run_all(t, ROUNDS)

        sys.setswitchinterval(1e-6)
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(saved_interval)
        del sys.modules["matplotlib.pyplot"]
        if saved_module is not None:
            sys.modules["matplotlib.pyplot"] = saved_module
    for results in seen:
        assert results == alone


FIRST_FAILURES = """
import threading, time
import quillander as q

class Late:
    def __index__(self):
        time.sleep(0.001)
        return 13

kinds = []
barrier = threading.Barrier(8)

def fail():
    barrier.wait()
    try:
        q.Date.days_in_month(2024, Late())
    except BaseException as e:
        kinds.append(type(e))

threads = [threading.Thread(target=fail) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert len(kinds) == 8 and len(set(kinds)) == 1, kinds
assert kinds[0].__module__ == "pyo3_runtime" and kinds[0].__name__ == "PanicException"
"""


def test_first_internal_failures_from_many_threads_share_one_class():
    """In a fresh process, where the failure class does not exist yet."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(q.__file__)] + sys.path))
    subprocess.run([sys.executable, "-c", FIRST_FAILURES], env=env, check=True, timeout=120)
