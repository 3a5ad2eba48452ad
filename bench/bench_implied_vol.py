from harness import Case

SETUP = """
import math, quillander as q, quillander_numpy as qn
from vollib.black_scholes_merton.implied_volatility import implied_volatility
B, C = q.BlackScholes, q.PutCallFlag.Call
S, K, r, y, T, vol = 100.0, 105.0, 0.05, 0.02, 1.25, 0.2
p = B.npv(S, K, r, y, T, C, vol)
"""
# A million options spread over the usual ranges: vol 5%..100%, one week to
# ten years, strikes within two standard deviations of the forward.
ARRAYS = """
import numpy as np, quillander_numpy as qn
rng = np.random.default_rng(0)
n = 10**6
vol = np.exp(rng.uniform(np.log(0.05), np.log(1.0), n))
T = np.exp(rng.uniform(np.log(7 / 365), np.log(10.0), n))
r, y = rng.uniform(-0.01, 0.1, n), rng.uniform(0.0, 0.05, n)
S = np.full(n, 100.0)
K = S * np.exp((r - y) * T + rng.uniform(-2.0, 2.0, n) * vol * np.sqrt(T))
f = rng.integers(0, 2, n)
p = qn.npv(S, K, r, y, T, f, vol)
"""

CASES = [
    Case("qn.implied_vol (one option)", "qn.implied_vol(p, S, K, r, y, T, C)", "BlackScholes.npv",
         "B.npv(S, K, r, y, T, C, vol)", SETUP, 3.0),
    Case("qn.implied_vol (one option) vs vollib", "qn.implied_vol(p, S, K, r, y, T, C)",
         "vollib implied_volatility (Let's Be Rational)", "implied_volatility(p, S, K, T, r, y, 'c')", SETUP, 0.02),
    # Both sides with the same threads: the setting is pinned for each row.
    *(Case(f"qn.implied_vol, 10^6 options ({label})", "qn.implied_vol(p, S, K, r, y, T, f)", f"qn.npv, same arrays",
           "qn.npv(S, K, r, y, T, f, vol)", ARRAYS + threads + "\n", 3.0)
      for label, threads in (("default threads", "import os; qn.set_num_threads(len(os.sched_getaffinity(0)))"),
                             ("1 thread", "qn.set_num_threads(1)"))),
]
