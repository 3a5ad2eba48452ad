"""The array twins on 10^6 random options in the normal regime (calls), each
against its peer in the same run: the NumPy/SciPy closed form, the twins
themselves, scipy.special.erf, and a Python loop over the scalar method. Each
figure is for one call over the whole array. REPORTS adds the peak memory of
one call beside the sizes of its inputs and output."""
from __future__ import annotations

import tracemalloc

from harness import Case

SETUP = """
import os
import numpy as np
from scipy.special import ndtr, erf
import quillander as q, quillander_numpy as qn
rng = np.random.default_rng(42)
n = 1_000_000
S, K = rng.uniform(50.0, 150.0, n), rng.uniform(50.0, 150.0, n)
r, y = rng.uniform(0.0, 0.08, n), rng.uniform(0.0, 0.04, n)
T, vol = rng.uniform(0.05, 3.0, n), rng.uniform(0.05, 0.8, n)
flag = np.ones(n, dtype=np.int64)
x = rng.uniform(-4.0, 4.0, n)
def formula():
    sd = vol * np.sqrt(T)
    d1 = (np.log(S / K) + (r - y + 0.5 * vol * vol) * T) / sd
    return S * np.exp(-y * T) * ndtr(d1) - K * np.exp(-r * T) * ndtr(d1 - sd)
"""
LOOP = """
rows = list(zip(S.tolist(), K.tolist(), r.tolist(), y.tolist(), T.tolist(), vol.tolist()))
npv, call = q.BlackScholes.npv, q.PutCallFlag.Call
def loop():
    return [npv(s, k, rr, yy, t, call, v) for s, k, rr, yy, t, v in rows]
"""
THREADS = {"default threads": "qn.set_num_threads(len(os.sched_getaffinity(0)))",
           "1 thread": "qn.set_num_threads(1)"}
OPTIONS = "(S, K, r, y, T, flag, vol)"
GIVEN = "OPTS = (S, K, r, y, T, flag, vol)\nouts = tuple(np.empty(n) for _ in range(7))\n"
NUMPY_ALLOCATOR = "qn.Metrics(*qn.get_metrics_ufunc" + OPTIONS + ")"
KEEP = "from collections import deque\nkept = deque(maxlen=10)\nfor _ in range(11):\n    kept.append({})\n"


def setup(threads: str) -> str:
    return SETUP + THREADS[threads] + "\n"


CASES = [
    *(Case(f"qn.npv, 10^6 options ({t})", "qn.npv" + OPTIONS, "NumPy/SciPy formula (ndtr)", "formula()", setup(t),
           target)
      for t, target in (("default threads", 0.5), ("1 thread", 1.0))),
    Case("qn.get_metrics, 10^6 (default threads)", "qn.get_metrics" + OPTIONS, "qn.npv (default threads)",
         "qn.npv" + OPTIONS, setup("default threads"), 1.6),
    Case("qn.get_metrics, 10^6 (1 thread)", "qn.get_metrics" + OPTIONS, "qn.npv (1 thread)",
         "qn.npv" + OPTIONS, setup("1 thread")),
    # The same two into outputs made beforehand: the computation alone. Fresh
    # outputs cost the kernel's zeroing of their pages, 56 MB per get_metrics
    # call (in huge pages), where npv's one output is reused by the C library's
    # allocator from call to call.
    Case("qn.get_metrics, 10^6, out= (default threads)", "qn.get_metrics(*OPTS, out=outs)",
         "qn.npv, out= (default threads)", "qn.npv(*OPTS, out=outs[0])", setup("default threads") + GIVEN),
    # get_metrics' outputs over large books come from the module's own memory
    # (huge pages, freed outputs kept for the next ones); the peer is the same
    # ufunc with NumPy's allocator. Results freed at once, and the last ten
    # calls' results kept alive (the eleventh call before the timing frees
    # the first, so every timed call meets the steady state).
    Case("qn.get_metrics, 10^6, freed at once", "qn.get_metrics" + OPTIONS, "same ufunc, NumPy's allocator",
         NUMPY_ALLOCATOR, setup("default threads"), 1.0),
    Case("qn.get_metrics, 10^6, last 10 kept alive", "kept.append(qn.get_metrics" + OPTIONS + ")",
         "same ufunc, NumPy's allocator", f"kept.append({NUMPY_ALLOCATOR})", setup("default threads"), 1.0,
         own_setup=KEEP.format("qn.get_metrics" + OPTIONS), peer_setup=KEEP.format(NUMPY_ALLOCATOR)),
    Case("qn.erf, 10^6 values (1 thread)", "qn.erf(x)", "scipy.special.erf", "erf(x)", setup("1 thread"), 1.0),
    Case("loop over BlackScholes.npv, 10^6 options", "loop()", "qn.npv (1 thread)", "qn.npv" + OPTIONS,
         setup("1 thread") + LOOP),
]


def peak_memory() -> list[str]:
    """Peak bytes NumPy allocates during one call, inputs made beforehand."""
    namespace: dict[str, object] = {}
    exec(setup("default threads"), namespace)
    lines = []
    for label, stmt in (("qn.npv", "qn.npv" + OPTIONS), ("qn.get_metrics", "qn.get_metrics" + OPTIONS),
                        ("NumPy/SciPy formula", "formula()")):
        tracemalloc.start()
        result = eval(stmt, namespace)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        outputs = sum(a.nbytes for a in (result if isinstance(result, tuple) else (result,)))
        inputs = 7 * 8 * 1_000_000
        extra = peak - outputs
        lines.append(f"peak memory of {label}, 10^6 options: {peak / 1e6:.1f} MB allocated for {outputs / 1e6:.1f} MB "
                     f"of outputs; beyond the outputs {extra / 1e6:.2f} MB = {extra / (inputs + outputs):.1%} of "
                     f"inputs + outputs (target for the twins: 10%)")
        del result
    return lines


REPORTS = [peak_memory]
