"""Instructions per call, counted by valgrind's callgrind: a figure that does not
depend on machine noise. Each operation runs N times and 0 times in two
processes, inside a function; the difference of the totals divided by N, less
the same figure for an empty loop body, is the cost of one call.

    python bench/instructions.py [substring ...]
"""
from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import tempfile

N = 20000

SETUP = """
import math, datetime, quillander as q
d = q.Date(2024, 1, 15); e = q.Date(2024, 3, 1); pd = datetime.date(2024, 1, 15); one = datetime.timedelta(days=1)
Monday = q.Weekday.Monday
cal = q.Calendar("QD_WEEK"); dc = q.DayCounter.Act365
f2 = q.Interpolator([0.0, 1.0], [1.0, 2.0], q.InterpType.Linear, q.ExtrapType.Auto)
xs = [i / 1000 for i in range(10000)]
f10k = q.Interpolator(xs, [x * x for x in xs], q.InterpType.Linear, q.ExtrapType.Auto)
days = [round(i * 15000 / 49) for i in range(50)]
curve = q.YieldCurve.create_noded(d, dc, [d + n for n in days], [math.exp(-0.03 * n / 365) for n in days], q.InterpType.Geometric)
C = q.PutCallFlag.Call; B = q.BlackScholes
def wrong_type(f):
    try:
        f("x")
    except TypeError:
        pass
"""

OPS = [
    ("math.erf(0.3) [peer]", "math.erf(0.3)"),
    ("q.erf(0.3)", "q.erf(0.3)"),
    ("math.exp('x'), TypeError [peer]", "wrong_type(math.exp)"),
    ("q.exp('x'), TypeError", "wrong_type(q.exp)"),
    ("datetime.date.fromisoformat [peer]", "datetime.date.fromisoformat('2024-01-15')"),
    ("q.Date('2024-01-15')", "q.Date('2024-01-15')"),
    ("q.Date(2024, 1, 15)", "q.Date(2024, 1, 15)"),
    ("date + timedelta [peer]", "pd + one"),
    ("d + 1", "d + 1"),
    ("d.add_tenor('3M')", "d.add_tenor('3M')"),
    ("date.weekday() == 0 [peer]", "pd.weekday() == 0"),
    ("d.weekday() == Monday", "d.weekday() == Monday"),
    ("cal.is_business_day(d)", "cal.is_business_day(d)"),
    ("dc.get_dcf(d, e)", "dc.get_dcf(d, e)"),
    ("Interpolator.interpolate, 2 nodes", "f2.interpolate(0.5)"),
    ("Interpolator.interpolate, 10,000 nodes", "f10k.interpolate(4.321)"),
    ("YieldCurve.get_df, 50 nodes", "curve.get_df(e)"),
    ("BlackScholes.npv", "B.npv(100.0, 105.0, 0.05, 0.0, 1.0, C, 0.2)"),
    ("BlackScholes.get_metrics", "B.get_metrics(100.0, 105.0, 0.05, 0.0, 1.0, C, 0.2)"),
    ("BlackScholes.get_metrics_fd", "B.get_metrics_fd(100.0, 105.0, 0.05, 0.0, 1.0, C, 0.2)"),
]


def total_instructions(stmt: str, n: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        script = pathlib.Path(tmp, "op.py")
        script.write_text(SETUP + f"\ndef run(n):\n    for _ in range(n):\n        {stmt}\nrun({n})\n")
        out = pathlib.Path(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, str(script)],
                       check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        match = re.search(r"^summary:\s+(\d+)", out.read_text(), re.M)
        return int(match.group(1))


def main(argv: list[str]) -> int:
    ops = [op for op in OPS if not argv or any(a in op[0] for a in argv)]
    loop = (total_instructions("pass", N) - total_instructions("pass", 0)) / N
    print(f"| {'operation':<40} | {'instructions / call':>19} |")
    print(f"|{'-' * 42}|{'-' * 21}|")
    for name, stmt in ops:
        per_call = (total_instructions(stmt, N) - total_instructions(stmt, 0)) / N - loop
        print(f"| {name:<40} | {per_call:19.0f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
