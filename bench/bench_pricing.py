from harness import Case

SETUP = """
import math, QuantLib as ql, quillander as q
B, C = q.BlackScholes, q.PutCallFlag.Call
S, K, r, y, T, vol = 100.0, 105.0, 0.05, 0.02, 1.25, 0.2
fwd, sd, df = S * math.exp((r - y) * T), vol * math.sqrt(T), math.exp(-r * T)
payoff = ql.PlainVanillaPayoff(ql.Option.Call, K)
def ql_seven():
    c = ql.BlackCalculator(payoff, fwd, sd, df)
    return (c.value(), c.delta(S), c.gamma(S), c.vega(T), c.theta(S, T), c.rho(T), c.dividendRho(T))
"""
ARGS = "(S, K, r, y, T, C, vol)"
QL_GREEK = {"delta": "delta(S)", "gamma": "gamma(S)", "vega": "vega(T)", "theta": "theta(S, T)", "rho_r": "rho(T)",
            "rho_q": "dividendRho(T)"}

CASES = [
    Case("BlackScholes.npv", "B.npv" + ARGS, "ql.blackFormula", "ql.blackFormula(ql.Option.Call, K, fwd, sd, df)",
         SETUP),
    Case("BlackScholes.npv (peer from option inputs)", "B.npv" + ARGS, "ql.blackFormula + forward, stdDev, discount",
         "ql.blackFormula(ql.Option.Call, K, S * math.exp((r - y) * T), vol * math.sqrt(T), math.exp(-r * T))",
         SETUP),
    Case("BlackScholes.npv_impl (call floor, no maths)", "B.npv_impl(S, K, r, y, T, vol, vol)", "ql.blackFormula",
         "ql.blackFormula(ql.Option.Call, K, fwd, sd, df)", SETUP),
    *(Case(f"BlackScholes.{g}", f"B.{g}" + ARGS, f"ql.BlackCalculator(...).{m.split('(')[0]}",
           f"ql.BlackCalculator(payoff, fwd, sd, df).{m}", SETUP) for g, m in QL_GREEK.items()),
    Case("BlackScholes.get_metrics (seven numbers)", "B.get_metrics" + ARGS, "ql.BlackCalculator, seven numbers",
         "ql_seven()", SETUP, 0.1),
    Case("BlackScholes.get_metrics vs npv", "B.get_metrics" + ARGS, "BlackScholes.npv", "B.npv" + ARGS, SETUP, 1.5),
    Case("BlackScholes.get_metrics_fd", "B.get_metrics_fd" + ARGS, "BlackScholes.get_metrics",
         "B.get_metrics" + ARGS, SETUP),
]
