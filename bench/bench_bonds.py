"""Fixed-rate bonds over arrays against QuantLib's per-bond calls: 10^5 random
bonds (maturities 3 months to 50 years, coupons 0 to 15%, settled anywhere in
their life; semi-annual, ACT/ACT ICMA, payments on the following business day)
in one call of each twin, beside QuantLib's FixedRateBond and BondFunctions
(the same conventions, ActualActual(ISMA, schedule)) on 2000 of them, one call
per bond. Figures are per bond."""
from __future__ import annotations

from harness import Case

N, PEER = 100_000, 2_000
BOOK = f"""
import numpy as np, quillander_numpy as qn
rng = np.random.default_rng(25)
n = {N}
start = np.datetime64("2000-01-01") + rng.integers(0, 9000, n).astype("m8[D]")
maturity = start + rng.integers(92, 50 * 365, n).astype("m8[D]")
# Maturities on weekdays: QuantLib's ACT/ACT with a schedule gives no time past
# the schedule's last date, where a weekend maturity's payment falls.
maturity = np.busday_offset(maturity, 0, roll="forward")
settle = start + (rng.random(n) * ((maturity - start) / np.timedelta64(1, "D"))).astype(np.int64).astype("m8[D]")
coupon = rng.uniform(0.0, 0.15, n)
ytm = rng.uniform(0.0, 0.10, n)
conv = qn.BondConventions()
clean = qn.bond_clean_price(conv, settle, start, maturity, coupon, ytm)
"""
SETUP = BOOK + f"""
import QuantLib as ql
epoch = ql.Date(1, 1, 1970).serialNumber()
cal = ql.WeekendsOnly()
def qd(d):
    return ql.Date(int(d.astype(np.int64)) + epoch)
bonds = []
for i in range({PEER}):
    schedule = ql.Schedule(qd(start[i]), qd(maturity[i]), ql.Period(6, ql.Months), cal, ql.Unadjusted,
                           ql.Unadjusted, ql.DateGeneration.Backward, False)
    dc = ql.ActualActual(ql.ActualActual.ISMA, schedule)
    bonds.append((ql.FixedRateBond(0, 100.0, schedule, [float(coupon[i])], dc, ql.Following), dc, qd(settle[i]),
                  float(ytm[i]), ql.BondPrice(float(clean[i]), ql.BondPrice.Clean)))
BF, C, SA = ql.BondFunctions, ql.Compounded, ql.Semiannual
"""
ONE, TWO = "qn.set_num_threads(1)\n", "qn.set_num_threads(2)\n"
TERMS = "conv, settle, start, maturity, coupon"

CASES = [
    Case("qn.bond_accrued, 10^5 bonds (1 thread)", f"qn.bond_accrued({TERMS})", "QuantLib accruedAmount, per bond",
         "[BF.accruedAmount(b, s) for b, dc, s, y, p in bonds]", SETUP + ONE, 0.01, items=N, peer_items=PEER),
    Case("qn.bond_clean_price, 10^5 bonds (1 thread)", f"qn.bond_clean_price({TERMS}, ytm)",
         "QuantLib cleanPrice, per bond", "[BF.cleanPrice(b, y, dc, C, SA, s) for b, dc, s, y, p in bonds]",
         SETUP + ONE, 0.01, items=N, peer_items=PEER),
    Case("qn.bond_ytm, 10^5 bonds (1 thread)", f"qn.bond_ytm({TERMS}, clean)", "QuantLib bondYield, per bond",
         "[BF.bondYield(b, p, dc, C, SA, s) for b, dc, s, y, p in bonds]", SETUP + ONE, 0.01, items=N,
         peer_items=PEER),
    Case("qn.bond_duration, 10^5 bonds (1 thread)", f"qn.bond_duration({TERMS}, ytm)",
         "QuantLib duration (Modified), per bond",
         "[BF.duration(b, y, dc, C, SA, ql.Duration.Modified, s) for b, dc, s, y, p in bonds]", SETUP + ONE,
         items=N, peer_items=PEER),
    # Both cores against one: each statement's set-up sets its thread count
    # before each of its timed runs.
    *(Case(f"qn.{name}, 10^5 bonds (2 threads)", f"qn.{name}({TERMS}{extra})", "the same on 1 thread",
           f"qn.{name}({TERMS}{extra})", BOOK, 0.6, own_setup=TWO, peer_setup=ONE, items=N, peer_items=N)
      for name, extra in (("bond_accrued", ""), ("bond_clean_price", ", ytm"), ("bond_ytm", ", clean"))),
]
