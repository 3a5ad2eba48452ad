from harness import Case

SETUP = """
import numpy as np, QuantLib as ql, quillander as q, quillander_numpy as qn
rng = np.random.default_rng(16)
dates = np.datetime64("1990-01-01", "D") + rng.integers(0, 60 * 365, 10**6).astype("m8[D]")
holidays = np.unique(np.datetime64("1990-01-01", "D") + rng.integers(0, 60 * 365, 600).astype("m8[D]"))
week = q.Calendar("QD_WEEK")
A, S = q.BusDayAdj, q.StubType
start, end = q.Date(2025, 3, 31), q.Date(2055, 3, 31)
ql_start, ql_end, ql_cal, ql_3m = ql.Date(31, 3, 2025), ql.Date(31, 3, 2055), ql.WeekendsOnly(), ql.Period(3, ql.Months)
"""

CASES = [
    Case("qn.adjust(ModFollowing, holidays), 10^6", "qn.adjust(dates, week, A.ModFollowing, holidays)",
         "np.busday_offset(roll='modifiedfollowing')",
         "np.busday_offset(dates, 0, roll='modifiedfollowing', holidays=holidays)", SETUP, 1.0),
    Case("qn.adjust(Following), 10^6", "qn.adjust(dates, week, A.Following)", "np.busday_offset(roll='following')",
         "np.busday_offset(dates, 0, roll='following')", SETUP, 1.0),
    Case("qn.adjust(Preceding, holidays), 10^6", "qn.adjust(dates, week, A.Preceding, holidays)",
         "np.busday_offset(roll='preceding')", "np.busday_offset(dates, 0, roll='preceding', holidays=holidays)",
         SETUP, 1.0),
    Case("qn.schedule, 30Y quarterly, ModFollowing",
         "qn.schedule(start, end, '3M', week, A.ModFollowing, S.FrontShort)", "QuantLib Schedule, built and listed",
         "list(ql.Schedule(ql_start, ql_end, ql_3m, ql_cal, ql.ModifiedFollowing, ql.ModifiedFollowing, "
         "ql.DateGeneration.Backward, False))", SETUP, 0.1),
]
