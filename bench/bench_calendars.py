"""Market calendars, business-day arithmetic and day counts over arrays,
against NumPy's business-day functions with the same days, the NumPy
expression for 30/360, and the holidays package."""
import statistics
import subprocess
import sys

from harness import Case

SETUP = """
import numpy as np, quillander_numpy as qn
rng = np.random.default_rng(7)
dates = np.datetime64("2000-01-01", "D") + rng.integers(0, 50 * 365, 10**6)
ends = dates + rng.integers(0, 400, 10**6)
xnys = qn.calendar("XNYS", years=range(2000, 2052))
numpy_xnys = xnys.to_busdaycalendar()
def thirty_360(a, b):
    ya, yb, ma, mb = a.astype("M8[Y]"), b.astype("M8[Y]"), a.astype("M8[M]"), b.astype("M8[M]")
    da, db = (a - ma).astype(np.int64) + 1, (b - mb).astype(np.int64) + 1
    da = np.where(da == 31, 30, da)
    db = np.where((db == 31) & (da == 30), 30, db)
    years = (yb - ya).astype(np.int64)
    return (360 * years + 30 * ((mb - ma).astype(np.int64) - 12 * years) + (db - da)) / 360
"""

CASES = [
    Case("qn.add_business_days(dates, 2, XNYS), 10^6", "qn.add_business_days(dates, 2, xnys)",
         "np.busday_offset(2, roll='following')", "np.busday_offset(dates, 2, roll='following', busdaycal=numpy_xnys)",
         SETUP, 0.5),
    Case("qn.business_days_between, XNYS, 10^6", "qn.business_days_between(dates, ends, xnys)",
         "np.busday_count", "np.busday_count(dates, ends, busdaycal=numpy_xnys)", SETUP, 1.0),
    Case("qn.year_fraction(..., '30/360'), 10^6 pairs", "qn.year_fraction(dates, ends, '30/360')",
         "NumPy 30/360 on datetime64 fields", "thirty_360(dates, ends)", SETUP, 1.0),
    Case("qn.calendar('XNYS') after the first call", "qn.calendar('XNYS')", "(2 microseconds at most)", None,
         SETUP + "qn.calendar('XNYS')"),
]

# The first call of qn.calendar builds the market's days from the holidays
# package; each repeat runs in a fresh interpreter (the package imported and
# warmed up on another market first), the two sides in alternating order.
FIRST_CALL = """
import sys, time, holidays, quillander_numpy as qn
holidays.financial_holidays("XECB", years=range(2000, 2011)); qn.calendar("XECB", years=range(2000, 2011))
def peer():
    h = holidays.financial_holidays("XNYS", years=range(1899, 2101))
    return sorted(h)
def ours():
    return qn.calendar("XNYS")
order = [peer, ours] if sys.argv[1] == "0" else [ours, peer]
times = {}
for f in order:
    t = time.perf_counter(); f(); times[f.__name__] = time.perf_counter() - t
print(times["ours"], times["peer"])
"""


def calendar_first_call():
    ours, peer = [], []
    for i in range(8):
        out = subprocess.run([sys.executable, "-c", FIRST_CALL, str(i % 2)], capture_output=True, text=True,
                             check=True).stdout.split()
        ours.append(float(out[0]))
        peer.append(float(out[1]))
    o, p = statistics.median(ours) * 1e3, statistics.median(peer) * 1e3
    yield (f"qn.calendar('XNYS') first call (1899-2100): {o:.1f} ms; the holidays package building the same "
           f"years and listing its dates: {p:.1f} ms; ratio {o / p:.2f} (target 1.50)")


REPORTS = [calendar_first_call]
