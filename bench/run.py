"""Run every benchmark case (bench/bench_*.py) and print one table.

    python bench/run.py [substring ...]   # only cases whose name contains one
"""
from __future__ import annotations

import importlib
import pathlib
import platform
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import measure  # noqa: E402


def fraction(x: float) -> str:
    """Two decimals, four under 0.1 (ratios such as 0.01)."""
    return f"{x:6.2f}" if x >= 0.1 else f"{x:6.4f}"


def main(argv: list[str]) -> int:
    cases, reports = [], []
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        cases.extend(module.CASES)
        reports.extend(getattr(module, "REPORTS", []))  # figures that are not times, printed after the table
    if argv:
        cases = [c for c in cases if any(a in c.name for a in argv)]
    print(f"Python {platform.python_version()} on {platform.machine()} ({platform.processor() or 'unknown cpu'})")
    header = f"| {'operation':<44} | {'quillander ns':>13} | {'peer':<42} | {'peer ns':>9} | {'ratio':>6} | {'target':>6} |"
    print(header)
    print("|" + "|".join("-" * (len(p)) for p in header.split("|")[1:-1]) + "|")
    for case in cases:
        ours, theirs = measure(case)
        ratio = f"{fraction(ours / theirs)}" if theirs else "     -"
        peer_ns = f"{theirs:9.1f}" if theirs else "        -"
        target = f"{fraction(case.target)}" if case.target else "     -"
        print(f"| {case.name:<44} | {ours:13.1f} | {case.peer:<42} | {peer_ns} | {ratio} | {target} |", flush=True)
    for report in reports:
        if not argv or any(a in report.__name__.replace("_", " ") for a in argv):
            for line in report():
                print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
