"""Side-by-side timing of a quillander operation and its closest peer.

Each bench_*.py module in this folder defines CASES, a list of Case. Every case
is timed with a calibrated timeit loop; the figure is the median of several
repeats, in nanoseconds per call, and the ratio is quillander / peer (lower is
better). Both statements of a case run in the same process, one after the
other, so machine noise affects them alike.
"""
from __future__ import annotations

import statistics
import timeit
from dataclasses import dataclass, field


@dataclass
class Case:
    name: str              # what is measured, e.g. "Date from text"
    stmt: str              # the quillander statement
    peer: str              # the peer's label, e.g. "datetime.date.fromisoformat"
    peer_stmt: str | None  # the peer statement (None: no peer, absolute figure only)
    setup: str = ""        # shared set-up code, run once per timer
    target: float | None = None  # the ratio we aim to stay under, shown for reference
    notes: list[str] = field(default_factory=list)


def per_call_ns(stmt: str, setup: str, repeat: int = 7, min_time: float = 0.05) -> float:
    timer = timeit.Timer(stmt, setup=setup)
    number = 1
    while True:  # calibrate: grow the loop until one run takes min_time
        if timer.timeit(number) >= min_time:
            break
        number *= 2
    runs = timer.repeat(repeat=repeat, number=number)
    return statistics.median(runs) / number * 1e9


def measure(case: Case) -> tuple[float, float | None]:
    ours = per_call_ns(case.stmt, case.setup)
    theirs = per_call_ns(case.peer_stmt, case.setup) if case.peer_stmt else None
    return ours, theirs
