"""Curves from quotes and swaps over arrays, against QuantLib: a 15-instrument SOFR
curve (OISRateHelpers and PiecewiseLogLinearDiscount), its re-bootstrap after one
quote moves, scenario curves in one call, and a swap book against QuantLib's
OvernightIndexedSwap built and valued one swap at a time."""
import statistics
import time

from harness import Case

SETUP = """
import os
import numpy as np, QuantLib as ql, quillander as q, quillander_numpy as qn
# All the machine's cores, whatever thread count an earlier case left set.
qn.set_num_threads(len(os.sched_getaffinity(0)))
sofr = qn.SwapConventions.preset("USD SOFR")
tenors = ["1W", "1M", "3M", "6M", "9M", "1Y", "18M", "2Y", "3Y", "5Y", "7Y", "10Y", "15Y", "30Y", "50Y"]
quotes = np.array([4.31, 4.32, 4.30, 4.22, 4.13, 4.05, 3.92, 3.84, 3.76, 3.73, 3.76, 3.83, 3.93, 3.85, 3.60]) / 100
trade = q.Date(2025, 3, 14)
# Sixty-four trade dates: more than the plans qn.bootstrap keeps, so every call makes its schedules.
trades = [trade + k for k in range(64)]
counter = iter(range(10**12))
rows = quotes + np.random.default_rng(1).normal(0.0, 0.0005, (1000, 1))

cal = ql.BespokeCalendar("XSIF")
cal.addWeekend(ql.Saturday)
cal.addWeekend(ql.Sunday)
for d in sofr.cal.holidays.astype(object):
    cal.addHoliday(ql.Date(d.day, d.month, d.year))
today = ql.Date(14, 3, 2025)
ql.Settings.instance().evaluationDate = today
index = ql.OvernightIndex("SOFR", 0, ql.USDCurrency(), cal, ql.Actual360())
def helpers(values):
    return [ql.OISRateHelper(2, ql.Period(t), ql.QuoteHandle(v), index, ql.YieldTermStructureHandle(), False, 2,
                             ql.Following, ql.Annual, cal) for t, v in zip(tenors, values)]
def quantlib_curve():
    curve = ql.PiecewiseLogLinearDiscount(today, helpers([ql.SimpleQuote(r) for r in quotes]), ql.Actual365Fixed())
    return curve.discount(1.0)
live = [ql.SimpleQuote(r) for r in quotes]
live_curve = ql.PiecewiseLogLinearDiscount(today, helpers(live), ql.Actual365Fixed())
live_curve.discount(1.0)
def quantlib_rebootstrap():
    live[7].setValue(quotes[7] + 1e-6 * (next(counter) % 2))
    return live_curve.discount(1.0)
def ours_one_moved():
    moved = quotes.copy()
    moved[7] += 1e-6 * (next(counter) % 2)
    return qn.bootstrap(sofr, trade, tenors, moved)
def single_calls():
    return [qn.bootstrap(sofr, trade, tenors, row) for row in rows]
"""

CASES = [
    Case("qn.bootstrap, 15 quotes, new schedules", "qn.bootstrap(sofr, trades[next(counter) % 64], tenors, quotes)",
         "QuantLib helpers, curve, first discount", "quantlib_curve()", SETUP, 0.01),
    Case("qn.bootstrap, 15 quotes, one quote moved", "ours_one_moved()",
         "QuantLib re-bootstrap, one quote moved", "quantlib_rebootstrap()", SETUP, 0.1),
    Case("qn.bootstrap, 10^3 scenarios in one call", "qn.bootstrap(sofr, trade, tenors, rows)",
         "10^3 single qn.bootstrap calls", "single_calls()", SETUP, 0.5),
]

BOOK = """
rng = np.random.default_rng(5)
n = 100_000
spot = qn.add_business_days(np.datetime64("2025-03-14"), 2, sofr.cal)
starts = qn.add_business_days(spot, rng.integers(0, 250, n), sofr.cal)
ends = rng.choice(np.array(["1Y", "2Y", "3Y", "5Y", "7Y", "10Y", "15Y", "20Y", "30Y"], dtype=object), n)
fixed = rng.uniform(0.03, 0.045, n)
flags = rng.integers(0, 2, n)
curve = qn.bootstrap(sofr, trade, tenors, quotes)
handle = ql.YieldTermStructureHandle(live_curve)
on = ql.OvernightIndex("SOFR", 0, ql.USDCurrency(), cal, ql.Actual360(), handle)
engine = ql.DiscountingSwapEngine(handle)
def quantlib_swap(i):
    s = starts[i].astype(object)
    start = ql.Date(s.day, s.month, s.year)
    schedule = ql.Schedule(start, start + ql.Period(ends[i]), ql.Period(ql.Annual), cal, ql.ModifiedFollowing,
                           ql.ModifiedFollowing, ql.DateGeneration.Backward, False)
    swap = ql.OvernightIndexedSwap(ql.Swap.Payer if flags[i] == 0 else ql.Swap.Receiver, 1e6, schedule, fixed[i],
                                   ql.Actual360(), on, 0.0, 2, ql.Following, cal)
    swap.setPricingEngine(engine)
    return swap.NPV()
"""


def swap_book():
    """qn.swap_npv over 10^5 random swaps against QuantLib building and valuing
    each swap, per swap; the repeats of the two sides alternate."""
    scope = {}
    exec(SETUP + BOOK, scope)
    np, qn = scope["np"], scope["qn"]
    args = [scope[k] for k in ("sofr", "curve", "starts", "ends", "fixed", "flags")]
    ours, theirs = [], []
    for repeat in range(5):
        t = time.perf_counter()
        qn.swap_npv(*args, 1e6)
        ours.append((time.perf_counter() - t) / 1e5 * 1e9)
        sample = range(repeat * 200, repeat * 200 + 200)
        t = time.perf_counter()
        for i in sample:
            scope["quantlib_swap"](i)
        theirs.append((time.perf_counter() - t) / 200 * 1e9)
    a, b = statistics.median(ours), statistics.median(theirs)
    del np
    return [
        "",
        "Swaps, per swap (qn.swap_npv over 10^5 random SOFR swaps of 1 to 30 years, default threads; QuantLib builds",
        "and values each OvernightIndexedSwap on the same curve):",
        f"| qn.swap_npv, 10^5 swaps | {a:9.0f} ns a swap | QuantLib OvernightIndexedSwap | {b:9.0f} ns a swap "
        f"| ratio {a / b:6.4f} | target 0.0050 |",
    ]


REPORTS = [swap_book]
