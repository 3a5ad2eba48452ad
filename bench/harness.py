"""Side-by-side timing of a quillander operation and its closest peer.

Each bench_*.py module in this folder defines CASES, a list of Case. Every case
is timed with a calibrated timeit loop; the figure is the median of several
repeats, in nanoseconds per call (or per item, where a statement does many),
and the ratio is quillander / peer (lower is better). Both statements of a case run in the same process, their repeats
alternating, so machine noise affects them alike.
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
    own_setup: str = ""    # set-up for the quillander statement alone, after `setup`
    peer_setup: str = ""   # set-up for the peer statement alone, after `setup`
    items: int = 1         # what one quillander statement does (bonds, say): figures are per item
    peer_items: int = 1    # what one peer statement does


def calibrated(stmt: str, setup: str, min_time: float = 0.05) -> tuple[timeit.Timer, int]:
    """A timer for stmt and the loop count that makes one run take min_time."""
    timer = timeit.Timer(stmt, setup=setup)
    number = 1
    while True:  # calibrate: grow the loop until one run takes min_time
        if timer.timeit(number) >= min_time:
            break
        number *= 2
    return timer, number


def measure(case: Case, repeat: int = 7) -> tuple[float, float | None]:
    """Median ns per call of ours and of the peer. Their runs alternate, so a
    stretch of machine noise falls on both sides rather than on one."""
    timers = [calibrated(case.stmt, case.setup + "\n" + case.own_setup)]
    if case.peer_stmt:
        timers.append(calibrated(case.peer_stmt, case.setup + "\n" + case.peer_setup))
    runs: list[list[float]] = [[] for _ in timers]
    for _ in range(repeat):
        for (timer, number), out in zip(timers, runs):
            out.append(timer.timeit(number) / number * 1e9)
    medians = [statistics.median(r) for r in runs]
    return medians[0] / case.items, (medians[1] / case.peer_items if len(medians) > 1 else None)
