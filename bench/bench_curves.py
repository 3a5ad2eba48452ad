from harness import Case

SETUP = """
import math, QuantLib as ql, quillander as q
today = q.Date(2024, 1, 15)
qtoday = ql.Date(15, 1, 2024)
ql.Settings.instance().evaluationDate = qtoday
def noded(count):
    days = [round(i * 15000 / (count - 1)) for i in range(count)]
    dfs = [math.exp(-0.03 * d / 365) for d in days]
    ours = q.YieldCurve.create_noded(today, q.DayCounter.Act365, [today + d for d in days], dfs, q.InterpType.Geometric)
    theirs = ql.DiscountCurve([qtoday + d for d in days], dfs, ql.Actual365Fixed())
    theirs.enableExtrapolation()
    return ours, theirs
c50, ql50 = noded(50)
c5000, ql5000 = noded(5000)
flat = q.YieldCurve.create_flat(today, q.DayCounter.Act365, 0.03)
qlflat = ql.FlatForward(qtoday, 0.03, ql.Actual365Fixed(), ql.Continuous)
d = today + 4321
e = d + 91
qd = qtoday + 4321
qe = qd + 91
act365 = ql.Actual365Fixed()
"""

CASES = [
    Case("YieldCurve.get_df flat", "flat.get_df(d)", "FlatForward.discount", "qlflat.discount(qd)", SETUP),
    Case("YieldCurve.get_fwd_rate flat", "flat.get_fwd_rate(d, e)", "FlatForward.forwardRate(...).rate()",
         "qlflat.forwardRate(qd, qe, act365, ql.Simple).rate()", SETUP),
    Case("YieldCurve.get_df noded, 50 nodes", "c50.get_df(d)", "DiscountCurve.discount, 50 nodes", "ql50.discount(qd)",
         SETUP, 0.2),
    Case("YieldCurve.get_fwd_rate noded, 50 nodes", "c50.get_fwd_rate(d, e)", "DiscountCurve.forwardRate(...).rate()",
         "ql50.forwardRate(qd, qe, act365, ql.Simple).rate()", SETUP),
    Case("YieldCurve.get_df noded, 5000 vs 50 nodes", "c5000.get_df(d)", "quillander get_df, 50 nodes", "c50.get_df(d)",
         SETUP, 1.5),
]
