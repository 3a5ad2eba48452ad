from harness import Case

SETUP = """
import math, numpy as np, pandas as pd, quillander as q, quillander_numpy as qn
rng = np.random.default_rng(7)
dates = np.datetime64("2000-01-01", "D") + rng.integers(0, 60 * 365, 10**6)
index = pd.DatetimeIndex(dates)
three_months = pd.DateOffset(months=3)
week = q.Calendar("QD_WEEK")
today = q.Date(2024, 1, 15)
curve_date = np.datetime64("2024-01-15", "D")
def noded(count, interp=q.InterpType.Geometric):
    days = [round(i * 15000 / (count - 1)) for i in range(count)]
    dfs = [math.exp(-0.03 * d / 365 - 0.0001 * (d / 365) ** 2) for d in days]
    curve = q.YieldCurve.create_noded(today, q.DayCounter.Act365, [today + d for d in days], dfs, interp)
    return curve, np.array(days) / 365, np.log(dfs)
c8, times8, logs8 = noded(8)
c50, _, _ = noded(50)
c5000, _, _ = noded(5000)
few = dates[:10**4]
column = pd.Series(dates, index=pd.RangeIndex(10**6, name="trade"))
values = column.to_numpy()
"""

CASES = [
    Case("qn.add_tenor(dates, '3M'), 10^6 dates", "qn.add_tenor(dates, '3M')", "DatetimeIndex + DateOffset(months=3)",
         "index + three_months", SETUP, 0.1),
    Case("qn.is_business_day(dates, QD_WEEK), 10^6", "qn.is_business_day(dates, week)", "numpy.is_busday(dates)",
         "np.is_busday(dates)", SETUP, 1.0),
    Case("qn.get_df, 8-node log-linear, 10^6 dates", "qn.get_df(c8, dates)", "exp(interp(t, node times, log dfs))",
         "np.exp(np.interp((dates - curve_date).astype(np.float64) / 365, times8, logs8))", SETUP, 1.0),
    Case("qn.get_df, 5000 vs 50 nodes, 10^6 dates", "qn.get_df(c5000, dates)", "qn.get_df, 50 nodes",
         "qn.get_df(c50, dates)", SETUP, 1.5),
    Case("qn.get_df, 8 nodes, 10^4 dates (no table)", "qn.get_df(c8, few)", "exp(interp(...)), 10^4 dates",
         "np.exp(np.interp((few - curve_date).astype(np.float64) / 365, times8, logs8))", SETUP),
    Case("qn.to_int(datetime64[D]), 10^6", "qn.to_int(dates)", "dates.astype(np.int64)", "dates.astype(np.int64)",
         SETUP, 2.0),
    Case("qn.get_dcf(Act365, today, dates), 10^6", "qn.get_dcf(q.DayCounter.Act365, today, dates)",
         "(dates - curve_date).astype(np.float64) / 365", "(dates - curve_date).astype(np.float64) / 365", SETUP),
    Case("qn.weekday(dates), 10^6", "qn.weekday(dates)", "DatetimeIndex.dayofweek", "index.dayofweek", SETUP),
    # A pandas column keeps its index at the cost of pandas' own dispatch only.
    Case("qn.get_df(c8, Series), 10^6 dates", "qn.get_df(c8, column)", "qn.get_df(c8, Series.to_numpy())",
         "qn.get_df(c8, values)", SETUP, 1.1),
    Case("qn.add_tenor(Series, '3M'), 10^6 dates", "qn.add_tenor(column, '3M')", "qn.add_tenor(Series.to_numpy(), '3M')",
         "qn.add_tenor(values, '3M')", SETUP, 1.1),
]
