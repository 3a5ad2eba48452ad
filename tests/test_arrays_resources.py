"""What the array loops take from the system. Threads: a loop runs with the
worker threads the system lets it start, down to the calling thread alone, and
every element keeps its bits; the thread setting has bounds. Memory: the
large outputs' blocks, kept when freed for the next outputs, are never handed
out twice and carry nothing over.

The refusals are provoked in a fresh interpreter: by the pool's test hook
(QUILLANDER_TEST_THREAD_STARTS=k lets k workers start and refuses the rest as
the system does) and by a real address-space limit just above what the process
holds, which leaves no room for many 8 MB thread stacks."""
import os
import subprocess
import sys
from collections import deque

import numpy as np
import pytest

import quillander_numpy as qn
from support import raises

BOUND = max(256, len(os.sched_getaffinity(0)))

# Inputs and outputs made before any limit; the loops write into the outputs,
# so that a call under an address-space limit allocates nothing large.
INPUTS = """
import hashlib
import numpy as np
import quillander_numpy as qn
n = 1 << 18
rng = np.random.default_rng(5)
S, K = rng.uniform(50.0, 150.0, n), rng.uniform(50.0, 150.0, n)
r, y, T = rng.uniform(-0.01, 0.08, n), rng.uniform(0.0, 0.04, n), rng.uniform(0.01, 5.0, n)
flag, vol, x = rng.integers(0, 2, n), rng.uniform(0.05, 0.9, n), rng.uniform(-0.99, 0.99, n)
outs = [np.empty(n) for _ in range(10)]


def work():
    qn.npv(S, K, r, y, T, flag, vol, out=outs[0])
    qn.get_metrics(S, K, r, y, T, flag, vol, out=tuple(outs[1:8]))
    qn.implied_vol(outs[0], S, K, r, y, T, flag, out=outs[8])
    qn.erf_inv(x, out=outs[9])


def digest():
    h = hashlib.sha256()
    for o in outs:
        h.update(o)
    return h.hexdigest()
"""

CHILD = INPUTS + """
import os, resource, sys
threads, margin = int(sys.argv[1]), int(sys.argv[2])


def tasks():
    return len(os.listdir("/proc/self/task"))


def vm_size():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))


before = tasks()
qn.set_num_threads(threads)
if margin >= 0:
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + margin, resource.RLIM_INFINITY))
work()
first = digest()
work()  # the refused starts are tried again, and refused again
if margin >= 0:
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(tasks() - before, first, digest())
"""


@pytest.fixture(scope="module")
def expected():
    namespace = {}
    exec(INPUTS, namespace)
    previous = qn.set_num_threads(1)
    try:
        namespace["work"]()
    finally:
        qn.set_num_threads(previous)
    return namespace["digest"]()


@pytest.mark.parametrize("threads, starts, margin, workers", [
    pytest.param(8, "0", -1, range(0, 1), id="no worker starts"),
    pytest.param(8, "2", -1, range(2, 3), id="two of seven workers start"),
    pytest.param(BOUND, "", 64 << 20, range(1, BOUND - 1), id="address-space limit"),
])
def test_refused_thread_starts_leave_the_caller_to_finish(expected, threads, starts, margin, workers):
    if margin >= 0 and "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's shadow memory does not live under an address-space limit")
    env = {**os.environ, "QUILLANDER_TEST_THREAD_STARTS": starts}
    child = subprocess.run([sys.executable, "-c", CHILD, str(threads), str(margin)], env=env, capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    started, first, second = child.stdout.split()
    assert int(started) in workers
    assert first == second == expected


@pytest.mark.parametrize("n, exc, message", [
    (0, ValueError, "Number of threads (0) must be >= 1"),
    (-(2**31), ValueError, f"Number of threads ({-(2**31)}) must be >= 1"),
    (BOUND + 1, ValueError, f"Number of threads ({BOUND + 1}) must be <= {BOUND}"),
    (2**31 - 1, ValueError, f"Number of threads ({2**31 - 1}) must be <= {BOUND}"),
    (2**31, OverflowError, "Python int too large to convert to C long"),
])
def test_thread_setting_bounds(n, exc, message):
    previous = qn.get_num_threads()
    raises(exc, message, lambda: qn.set_num_threads(n))
    assert qn.get_num_threads() == previous
    try:
        assert qn.set_num_threads(BOUND) == previous and qn.get_num_threads() == BOUND
    finally:
        qn.set_num_threads(previous)


def test_freed_large_outputs_serve_later_calls_never_two_arrays_at_once():
    """Ten calls' results alive at a time, others freed in and out of order, two
    sizes sharing one block length: no live array's memory is handed out again
    (each keeps its own call's bits to the end), and a reused block resizes
    like any other."""
    live = deque(maxlen=10)
    for k in range(16):
        n = 600_000 - k % 2  # 4.8 MB outputs, whole 4 KB pages of the same count
        spot = np.linspace(50.0, 150.0, n)
        vol = 0.1 + 0.03 * k
        got = qn.get_metrics(spot, 100.0, 0.05, 0.01, 1.0, k % 2, vol)
        want = qn.get_metrics_ufunc(spot, 100.0, 0.05, 0.01, 1.0, k % 2, vol)  # NumPy's own allocator
        assert all(g.tobytes() == w.tobytes() for g, w in zip(got, want))
        live.append((got, [w.view(np.uint64).sum(dtype=np.uint64) for w in want]))
        if k % 3 == 2:
            del live[len(live) // 2]
        addresses = [a.ctypes.data for result, _ in live for a in result]
        assert len(set(addresses)) == len(addresses)
    for result, sums in live:
        assert [a.view(np.uint64).sum(dtype=np.uint64) for a in result] == sums
    column = live[-1][0].vega
    before = column.copy()
    column.resize(column.size + 100_000, refcheck=False)
    assert column[:before.size].tobytes() == before.tobytes()
