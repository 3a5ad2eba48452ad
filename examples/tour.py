"""A guided tour of quillander: dates, calendars, day counts, curves, options, plots.

Run with `make demo`. Pictures are written to out/ (matplotlib's Agg backend is
used when there is no display).
"""
from __future__ import annotations

import datetime
import os
import pathlib
import pickle
import time

import numpy as np
import pandas as pd

import quillander as q
import quillander_numpy as qn

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def dates() -> None:
    section("Dates, tenors, calendars and day counts")
    d = q.Date("2024-01-31")
    print(f"{d!r}: serial {d.to_int()}, {d.weekday()}")
    for tenor in ("1D", "2W", "1M", "-25M", "1Y"):
        print(f"  {d} + {tenor:>4} -> {d.add_tenor(tenor)}")
    week = q.Calendar("QD_WEEK")
    saturday = q.Date(2024, 3, 2)
    print(f"{saturday} under {week!r}: weekend={saturday.is_weekend(week)}, "
          f"business day={saturday.is_business_day(week)}")
    start, end = q.Date(2024, 1, 1), q.Date(2025, 1, 1)
    for dc in (q.DayCounter.Act365, q.DayCounter.Act360):
        print(f"  {dc} from {start} to {end} ({end - start} days): {dc.get_dcf(start, end)!r}")


def curves() -> q.YieldCurve:
    section("Discount curves")
    today = q.Date(2024, 1, 15)
    flat = q.YieldCurve.create_flat(today, q.DayCounter.Act365, 0.05)
    tenors = ["0D", "3M", "6M", "1Y", "2Y", "5Y", "10Y"]
    nodes = [today.add_tenor(t) for t in tenors]
    dfs = [1.0, 0.9880, 0.9760, 0.9530, 0.9080, 0.7900, 0.6150]
    noded = q.YieldCurve.create_noded(today, q.DayCounter.Act365, nodes, dfs, q.InterpType.Geometric)
    print(f"{'date':<12} {'flat df':>10} {'noded df':>10} {'noded 3M fwd':>13}")
    for t in ["1M", "4M", "18M", "3Y", "7Y", "12Y"]:
        d = today.add_tenor(t)
        fwd = noded.get_fwd_rate(d, d.add_tenor("3M"))
        print(f"{str(d):<12} {flat.get_df(d):10.6f} {noded.get_df(d):10.6f} {fwd:13.6%}")
    print(f"overnight rate on the flat curve: {flat.get_overnight_rate(today):.7%} "
          "(simple, on the Act365 basis, from a 5% continuous rate)")
    return noded


def dates_in_arrays(curve: q.YieldCurve) -> None:
    section("Dates in arrays")
    mixed = [q.Date(2024, 2, 29), datetime.date(2024, 3, 1), np.datetime64("2024-03-02T18:30"), None]
    print(f"qn.to_datetime64 of a Date, a datetime.date, a datetime64[m] and None: {qn.to_datetime64(mixed)}")
    print(f"qn.to_int (serials, 1899-12-30 is 0): {qn.to_int(mixed[:3])}; qn.from_int back: {qn.from_int([45351, 2])}")

    column = pd.Series(pd.to_datetime(["2024-01-15", "2024-02-17", "NaT", "2024-03-31"]), name="settle")
    frame = column.to_frame()
    frame["maturity"] = qn.add_tenor(frame["settle"], "3M")
    frame["business day"] = qn.is_business_day(frame["settle"], q.Calendar("QD_WEEK"))
    frame["df"] = qn.get_df(curve, frame["maturity"])
    print("a pandas column through qn (NaT stays NaT, NaN as a float):")
    print(frame.to_string(index=False))

    # Coupons every 6 months, each the start date plus 6M x k (not chained, so
    # the 31st comes back after February), 5% a year on 100.
    start = q.Date(2023, 8, 31)
    pay = qn.add_tenor(start, [f"{6 * k}M" for k in range(1, 15)])
    cash = np.full(pay.size, 2.5)
    cash[-1] += 100.0
    dfs = qn.get_df(curve, pay)
    print(f"{'payment':<12} {'cash':>8} {'df':>10}")
    for d, c, df in list(zip(pay, cash, dfs))[:3] + list(zip(pay, cash, dfs))[-2:]:
        print(f"{str(d):<12} {c:8.2f} {df:10.6f}")
    same = all(df == curve.get_df(d) for d, df in zip(qn.to_dates(pay), dfs))
    print(f"price {float((cash * dfs).sum()):.4f} per 100; every df is curve.get_df's bits: {same}")

    n = 1_000_000
    many = np.datetime64("2024-01-15") + np.random.default_rng(1).integers(0, 30 * 365, n).astype("m8[D]")
    start_ns = time.perf_counter_ns()
    qn.get_df(curve, many)
    print(f"{n:,} cash-flow dates discounted by qn.get_df in {(time.perf_counter_ns() - start_ns) / 1e6:.1f} ms")


def bond(curve: q.YieldCurve) -> None:
    section("A bond's coupon schedule, with arrays")
    week, adj = q.Calendar("QD_WEEK"), q.BusDayAdj.ModFollowing
    issue, maturity = q.Date(2024, 3, 31), q.Date(2031, 3, 31)
    # Month ends stay month ends: each date is the anchor plus k x 6M, never chained.
    chained = [issue]
    for _ in range(3):
        chained.append(chained[-1].add_tenor("6M"))
    print("6M chained with add_tenor drifts:", ", ".join(str(d) for d in chained))
    dates = qn.schedule(issue, maturity, "6M", week, adj, q.StubType.FrontShort, end_of_month=True)
    print(f"qn.schedule, {adj}, end of month: {len(dates)} dates, {dates[0]} ... {dates[-1]}")
    print("  " + " ".join(str(d) for d in dates[:5]) + " ...")
    for stub in (q.StubType.FrontShort, q.StubType.FrontLong, q.StubType.BackShort, q.StubType.BackLong):
        odd = qn.schedule(q.Date(2024, 5, 15), maturity, "6M", week, adj, stub)
        print(f"  from 2024-05-15, {stub!s:<19}: {odd[0]} {odd[1]} {odd[2]} ... {odd[-2]} {odd[-1]}")

    # 5% a year paid semi-annually on 100, the principal with the last coupon.
    pay = dates[1:]
    cash = np.full(pay.size, 100 * 0.05 / 2)
    cash[-1] += 100.0
    dfs = qn.get_df(curve, pay)
    print(f"{'payment':<12} {'cash':>8} {'df':>10} {'present value':>14}")
    for d, c, df in list(zip(pay, cash, dfs))[-3:]:
        print(f"{str(d):<12} {c:8.2f} {df:10.6f} {c * df:14.6f}")
    same = all(df == curve.get_df(q.Date(str(d))) for d, df in zip(pay, dfs))
    print(f"price {float((cash * dfs).sum()):.4f} per 100 on {curve.get_curve_date()}; "
          f"each df equals curve.get_df of its date: {same}")


def market_calendars() -> None:
    section("Market calendars: T+2 and day counts")
    nyse = qn.calendar("XNYS")  # the holidays package's NYSE days, 1899-2100
    both = nyse | qn.calendar("XLON")  # a business day of both markets
    trades = np.array(["2025-07-02", "2025-11-26", "2025-12-24"], dtype="datetime64[D]")
    for label, cal in (("XNYS", nyse), ("XNYS | XLON", both)):
        settle = qn.add_business_days(trades, 2, cal)
        print(f"  T+2 under {label:<11}: " + ", ".join(f"{t} -> {s}" for t, s in zip(trades, settle)))
    start, ends = np.datetime64("2024-02-29"), np.array(["2024-08-31", "2025-02-28"], dtype="datetime64[D]")
    for name in ("ACT/360", "30/360", "30E/360", "ACT/ACT ISDA"):
        fractions = qn.year_fraction(start, ends, name)
        print(f"  {name:<12} from {start}: " + ", ".join(f"{e} {f:.6f}" for e, f in zip(ends, fractions)))
def bonds(curve: q.YieldCurve) -> pd.DataFrame:
    section("Fixed-rate bonds over arrays")
    # A Treasury note: semi-annual ACT/ACT ICMA, paid the business day after a
    # weekend coupon date, month ends kept; T+1.
    ust = qn.BondConventions.preset("US Treasury")
    settle, issued, maturity = np.datetime64("2025-02-18"), np.datetime64("2024-11-15"), np.datetime64("2034-11-15")
    price = 98 + 16 / 32
    ytm = qn.bond_ytm(ust, settle, issued, maturity, 0.0425, price)
    back = qn.bond_clean_price(ust, settle, issued, maturity, 0.0425, ytm)
    accrued = qn.bond_accrued(ust, settle, issued, maturity, 0.0425)
    print(f"4 1/4% 2034 at 98-16 on {settle}: yield {ytm:.6%}, back to {back:.10f}; accrued {accrued:.6f}")
    print(f"  modified duration {qn.bond_duration(ust, settle, issued, maturity, 0.0425, ytm):.4f}, "
          f"Macaulay {qn.bond_duration(ust, settle, issued, maturity, 0.0425, ytm, kind='macaulay'):.4f}, "
          f"convexity {qn.bond_convexity(ust, settle, issued, maturity, 0.0425, ytm):.3f}, "
          f"DV01 {qn.bond_dv01(ust, settle, issued, maturity, 0.0425, ytm):.5f}")

    # A 5-year 4% bond off the noded curve, at its start and 2 months later.
    conv = qn.BondConventions("6M", "ACT/ACT ICMA", q.Calendar("QD_WEEK"), q.BusDayAdj.ModFollowing,
                              q.BusDayAdj.ModFollowing)
    start = curve.get_curve_date()
    end, later = start.add_tenor("5Y"), start.add_tenor("2M")
    dirty = qn.bond_dirty_price_from_curve(conv, curve, later, start, end, 0.04)
    accrued = qn.bond_accrued(conv, later, start, end, 0.04)
    y = qn.bond_ytm(conv, later, start, end, 0.04, dirty - accrued)
    print(f"5-year 4% from {start}: {qn.bond_dirty_price_from_curve(conv, curve, start, start, end, 0.04):.4f} off "
          f"the curve; on {later} accrued {accrued:.6f}, clean {dirty - accrued:.4f}, yield {y:.4%}")

    # A universe of 10^5 bonds from a DataFrame: prices from yields near a
    # curve, rounded to 1/32; then yields, durations and DV01s back, one call each.
    rng = np.random.default_rng(7)
    n, today = 100_000, np.datetime64("2025-06-02")
    book = pd.DataFrame({"start": today - rng.integers(0, 3650, n).astype("m8[D]"),
                         "term": rng.choice(["2Y", "3Y", "5Y", "7Y", "10Y", "20Y", "30Y"], n),
                         "coupon": rng.integers(0, 25, n) * 0.0025})
    book["maturity"] = qn.add_tenor(book["start"], book["term"])
    book = book[book["maturity"] > today].reset_index(drop=True)
    years = (book["maturity"] - today) / pd.Timedelta(days=365.25)
    quoted = 0.035 + 0.01 * np.log1p(years) / np.log(31) + rng.normal(0, 0.001, len(book))
    terms = (ust, today, book["start"], book["maturity"], book["coupon"])
    book["price"] = (qn.bond_clean_price(*terms, quoted) * 32).round() / 32
    t0 = time.perf_counter()
    book["ytm"] = qn.bond_ytm(*terms, book["price"])
    t1 = time.perf_counter()
    book["duration"] = qn.bond_duration(*terms, book["ytm"])
    book["dv01"] = qn.bond_dv01(*terms, book["ytm"])
    print(f"{len(book)} bonds: yields from prices in {(t1 - t0) * 1e3:.0f} ms "
          f"({(t1 - t0) / len(book) * 1e9:.0f} ns a bond); by term:")
    terms_in_order = ["2Y", "3Y", "5Y", "7Y", "10Y", "20Y", "30Y"]
    print(book.groupby("term")[["ytm", "duration", "dv01"]].mean().loc[terms_in_order].round(4).to_string())
    flows = pd.DataFrame(qn.bond_cashflows(ust, book["start"][:3], book["maturity"][:3], book["coupon"][:3]))
    print(f"cash flows of the first 3 bonds: {len(flows)} rows, the first two:")
    print(flows.head(2).to_string(index=False))
    return book


def swaps_and_curves() -> None:
    section("Swaps: a SOFR curve from quotes, a book's value and its key-rate risk")
    sofr = qn.SwapConventions.preset("USD SOFR")
    print(f"USD SOFR: {sofr.fixed_tenor} {sofr.fixed_day_count} against {sofr.float_tenor} {sofr.float_day_count}, "
          f"{sofr.cal.name} calendar, spot T+{sofr.spot_lag}, payment lag {sofr.payment_lag}")
    trade = q.Date(2025, 3, 14)
    tenors = ["1W", "1M", "3M", "6M", "9M", "1Y", "18M", "2Y", "3Y", "5Y", "7Y", "10Y", "15Y", "30Y", "50Y"]
    quotes = np.array([4.31, 4.32, 4.30, 4.22, 4.13, 4.05, 3.92, 3.84, 3.76, 3.73, 3.76, 3.83, 3.93, 3.85, 3.60]) / 100
    start = time.perf_counter()
    curve, jac = qn.bootstrap(sofr, trade, tenors, quotes, jacobian=True)
    boot_us = (time.perf_counter() - start) * 1e6
    spot = qn.add_business_days(trade, sofr.spot_lag, sofr.cal)
    repriced = np.abs(qn.swap_par_rate(sofr, curve, spot, tenors) - quotes).max()
    print(f"15 quotes to 50 years -> a {len(tenors) + 1}-node curve with its Jacobian in {boot_us:.0f} us; "
          f"largest |par rate - quote| {repriced:.1e}")

    rng = np.random.default_rng(42)  # the user guide's book
    n = 10_000
    starts = qn.add_business_days(spot, rng.integers(0, 250, n), sofr.cal)
    ends = rng.choice(np.array(["1Y", "2Y", "3Y", "5Y", "7Y", "10Y", "15Y", "20Y", "30Y"], dtype=object), n)
    fixed = rng.uniform(0.03, 0.045, n)
    flags = rng.integers(0, 2, n)  # 0 payers of fixed, 1 receivers
    notionals = rng.choice([1e6, 5e6, 1e7, 5e7], n)
    start = time.perf_counter()
    npv = qn.swap_npv(sofr, curve, starts, ends, fixed, flags, notionals)
    npv_us = (time.perf_counter() - start) * 1e6
    start = time.perf_counter()
    key_rates = qn.swap_node_deltas(sofr, curve, starts, ends, fixed, flags, notionals).sum(axis=0) @ jac * 1e-4
    risk_ms = (time.perf_counter() - start) * 1e3

    def book_value(rates: np.ndarray) -> float:
        bumped = qn.bootstrap(sofr, trade, tenors, rates)
        assert isinstance(bumped, q.YieldCurve)
        return float(qn.swap_npv(sofr, bumped, starts, ends, fixed, flags, notionals).sum())

    start = time.perf_counter()
    bumped = np.array([(book_value(quotes + 1e-4 * e) - book_value(quotes - 1e-4 * e)) / 2 for e in np.eye(15)])
    bump_ms = (time.perf_counter() - start) * 1e3
    print(f"{n:,} swaps valued in {npv_us / n:.2f} us each: book value {npv.sum():,.0f} USD")
    print(f"key-rate DV01s from the Jacobian in {risk_ms:.1f} ms, by bumping each quote both ways and rebuilding "
          f"in {bump_ms:.0f} ms; DV01 {key_rates.sum():,.0f} USD")
    print(f"  {'quote':>5} {'Jacobian':>12} {'bump and rebuild':>17}")
    for t, a, b in zip(tenors, key_rates, bumped):
        if abs(a) > 1000:
            print(f"  {t:>5} {a:12,.0f} {b:17,.0f}")
    print(f"  largest difference {np.abs(key_rates - bumped).max():.2f} USD (second order in the 1 bp bump)")

    # Scenarios in one call, and a curve that travels to other processes.
    rows = quotes + rng.normal(0.0, 0.0005, (1000, 1))
    start = time.perf_counter()
    scenarios = qn.bootstrap(sofr, trade, tenors, rows)
    print(f"1,000 scenario curves in one call: {(time.perf_counter() - start) * 1e3:.0f} ms")
    assert isinstance(scenarios, list)
    desc = qn.CurveDescription(curve)
    back = pickle.loads(pickle.dumps(desc)).to_curve()
    days = np.datetime64("2025-03-14") + np.arange(0, 50 * 365)
    print(f"{desc!r} pickled and back: the same discount factors bit for bit, "
          f"{qn.get_df(back, days).tobytes() == qn.get_df(curve, days).tobytes()}")

    import matplotlib
    if not os.environ.get("DISPLAY"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    OUT.mkdir(exist_ok=True)
    days = np.datetime64("2025-03-14") + np.arange(1, 50 * 365)
    years = (days - np.datetime64("2025-03-14")).astype(int) / 365.0
    zero = -np.log(qn.get_df(curve, days)) / years
    overnight = qn.get_overnight_rate(curve, days)
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot(years, zero * 100, label="zero rate (continuous, Act365)")
    ax.plot(years, overnight * 100, linewidth=0.8, label="one-day forward rate (simple, Act365)")
    ax.set_xlabel(f"years from {trade}")
    ax.set_ylabel("rate (%)")
    ax.set_title("SOFR curve bootstrapped from 15 quotes, 1 week to 50 years")
    ax.legend()
    rates_png = OUT / "sofr_zero_and_forward_rates.png"
    fig.savefig(rates_png, dpi=100, bbox_inches="tight")
    plt.close(fig)
    fig, ax = plt.subplots(figsize=(8, 3.5))
    ax.bar(tenors, key_rates / 1e3)
    ax.axhline(0.0, color="0.5", linewidth=0.8)
    ax.set_xlabel("quoted swap")
    ax.set_ylabel("value change for +1 bp (thousand USD)")
    ax.set_title(f"Key-rate DV01s of {n:,} SOFR swaps, from one bootstrap and its Jacobian")
    dv01_png = OUT / "key_rate_dv01s.png"
    fig.savefig(dv01_png, dpi=100, bbox_inches="tight")
    plt.close(fig)
    for path in (rates_png, dv01_png):
        print(f"picture: {path}")


def options() -> None:
    section("Black-Scholes: closed form and finite differences")
    args = dict(spot=100.0, strike=105.0, rate=0.03, div_yield=0.01, tau=0.75, vol=0.2)
    for flag in (q.PutCallFlag.Call, q.PutCallFlag.Put):
        exact = q.BlackScholes.get_metrics(pc_flag=flag, **args)
        approx = q.BlackScholes.get_metrics_fd(pc_flag=flag, **args)
        assert exact is not None and approx is not None  # None only for negative inputs
        print(f"{flag}: S={args['spot']} K={args['strike']} r={args['rate']} q={args['div_yield']} "
              f"tau={args['tau']} vol={args['vol']}")
        print(f"  {'metric':<7} {'closed form':>16} {'finite diff.':>16} {'difference':>12}")
        for name in ("npv", "delta", "gamma", "vega", "theta", "rho_r", "rho_q"):
            a, b = getattr(exact, name), getattr(approx, name)
            print(f"  {name:<7} {a:16.10f} {b:16.10f} {b - a:12.2e}")
    print(repr(q.BlackScholes.get_metrics(100.0, 90.0, 0.05, 0.0, -1.0, q.PutCallFlag.Call, 0.2)),
          "(an expired call)")


def book() -> None:
    section("A book of options, with arrays")
    rng = np.random.default_rng(2024)
    n = 1_000_000
    spot = rng.uniform(50.0, 150.0, n)
    strike = rng.uniform(50.0, 150.0, n)
    rate = rng.uniform(0.0, 0.05, n)
    div_yield = rng.uniform(0.0, 0.03, n)
    tau = rng.uniform(0.05, 3.0, n)
    flag = rng.integers(0, 2, n)  # 0 puts, 1 calls
    vol = rng.uniform(0.1, 0.5, n)

    start = time.perf_counter()
    npv = qn.npv(spot, strike, rate, div_yield, tau, flag, vol)
    array_ns = (time.perf_counter() - start) / n * 1e9

    # The same prices one call at a time, on a slice of the book.
    m = 100_000
    columns = [c[:m].tolist() for c in (spot, strike, rate, div_yield, tau, vol)]
    flags = [q.PutCallFlag.Call if f else q.PutCallFlag.Put for f in flag[:m].tolist()]
    start = time.perf_counter()
    looped = [q.BlackScholes.npv(s, k, r, y, t, f, v) for s, k, r, y, t, f, v in zip(*columns[:5], flags, columns[5])]
    loop_ns = (time.perf_counter() - start) / m * 1e9
    same = bool((np.array(looped).view(np.uint64) == npv[:m].view(np.uint64)).all())
    print(f"{n:,} options priced by qn.npv in {array_ns:.1f} ns each ({qn.get_num_threads()} threads); "
          f"a Python loop over BlackScholes.npv takes {loop_ns:.0f} ns each")
    print(f"the first {m:,} prices equal the scalar calls bit for bit: {same}")
    metrics = qn.get_metrics(spot, strike, rate, div_yield, tau, flag, vol)
    print(f"book value {npv.sum():,.0f}, delta {metrics.delta.sum():,.0f}, vega {metrics.vega.sum():,.0f}")


def implied_vols() -> None:
    section("Implied volatilities: a smile back from market prices")
    spot, rate, div_yield, tau = 100.0, 0.03, 0.01, 0.5
    forward = spot * np.exp((rate - div_yield) * tau)
    strikes = np.linspace(60.0, 150.0, 46)
    # The smile the market prices come from: skewed, with curvature in log-moneyness.
    k = np.log(strikes / forward)
    smile = 0.22 - 0.12 * k + 0.35 * k * k
    flags = np.where(strikes < forward, 0, 1)  # out-of-the-money puts, then calls
    prices = qn.npv(spot, strikes, rate, div_yield, tau, flags, smile)
    vols = qn.implied_vol(prices, spot, strikes, rate, div_yield, tau, flags)
    for i in range(0, len(strikes), 9):
        kind = "put " if flags[i] == 0 else "call"
        print(f"K = {strikes[i]:6.1f} {kind}  price {prices[i]:9.5f}  implied vol {vols[i]:.10f}")
    print(f"largest |implied - smile| over the strip: {np.abs(vols - smile).max():.1e}")
    one = qn.implied_vol(float(prices[20]), spot, float(strikes[20]), rate, div_yield, tau, int(flags[20]))
    print(f"one option, plain numbers: {one!r} ({type(one).__name__}), the array's element bit for bit: "
          f"{one == vols[20]}")
    n = 1_000_000
    book = np.resize(prices, n), np.resize(strikes, n), np.resize(flags, n)
    start = time.perf_counter()
    qn.implied_vol(book[0], spot, book[1], rate, div_yield, tau, book[2])
    print(f"{n:,} implied vols in {time.perf_counter() - start:.2f} s")
    print("no solution is NaN, not an error:",
          qn.implied_vol(spot + 1.0, spot, 100.0, rate, div_yield, tau, q.PutCallFlag.Call))

    import matplotlib
    if not os.environ.get("DISPLAY"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    OUT.mkdir(exist_ok=True)
    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot(strikes, smile * 100.0, color="0.75", linewidth=4, label="smile the prices come from")
    ax.plot(strikes, vols * 100.0, "o", markersize=3, label="implied from the prices")
    ax.axvline(forward, color="0.5", linestyle=":", linewidth=1, label="forward")
    ax.set_xlabel("strike")
    ax.set_ylabel("implied volatility (%)")
    ax.set_title(f"Implied volatility smile, {tau:g} years (puts below the forward, calls above)")
    ax.legend()
    smile_png = OUT / "implied_vol_smile.png"
    fig.savefig(smile_png, dpi=100, bbox_inches="tight")
    plt.close(fig)
    print(f"picture: {smile_png}")


def pictures(curve: q.YieldCurve, book: pd.DataFrame) -> None:
    section("Pictures")
    import matplotlib
    if not os.environ.get("DISPLAY"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    OUT.mkdir(exist_ok=True)
    def call_value(spot: float) -> float:
        value = q.BlackScholes.npv(spot, 100.0, 0.03, 0.01, 0.5, q.PutCallFlag.Call, 0.2)
        return float("nan") if value is None else value

    q.plot_function(call_value, 50.0, 150.0, n=200, show=False, figsize=(7, 4), label="call, K=100, 6 months")
    q.plot_function(lambda s: max(s - 100.0, 0.0), 50.0, 150.0, n=200, show=False, label="payoff at expiry",
                    linestyle="--")
    plt.title("Option value against spot")
    plt.xlabel("spot")
    plt.ylabel("value")
    option_png = OUT / "option_value.png"
    plt.savefig(option_png, dpi=100, bbox_inches="tight")
    plt.close("all")

    today = curve.get_curve_date()
    # The curve counts Act365, so a year is 365 days from the curve date.
    q.plot_function(lambda years: curve.get_df(today + round(365.0 * years)), 0.0, 12.0, n=300, show=False,
                    figsize=(7, 4), label="noded curve, log-linear")
    plt.title("Discount factor against time")
    plt.xlabel(f"years from {today}")
    plt.ylabel("discount factor")
    curve_png = OUT / "discount_factors.png"
    plt.savefig(curve_png, dpi=100, bbox_inches="tight")
    plt.close("all")

    # Vega of a call over a grid of strikes and expiries: one broadcast call.
    strikes = np.linspace(60.0, 140.0, 161)
    expiries = np.linspace(0.02, 3.0, 150)[:, None]
    vega = qn.vega(100.0, strikes, 0.03, 0.01, expiries, q.PutCallFlag.Call, 0.2)
    fig, ax = plt.subplots(figsize=(7, 4.5))
    mesh = ax.pcolormesh(strikes, expiries[:, 0], vega, shading="auto", cmap="viridis")
    fig.colorbar(mesh, ax=ax, label="vega (per 1.00 of volatility)")
    ax.set_title("Vega of a call, spot 100, vol 20%")
    ax.set_xlabel("strike")
    ax.set_ylabel("years to expiry")
    vega_png = OUT / "vega_heat_map.png"
    fig.savefig(vega_png, dpi=100, bbox_inches="tight")
    plt.close("all")

    # The bond universe: yield against modified duration, coloured by coupon.
    fig, ax = plt.subplots(figsize=(7, 4.5))
    points = ax.scatter(book["duration"], book["ytm"] * 100, c=book["coupon"] * 100, s=1, alpha=0.4, cmap="viridis")
    fig.colorbar(points, ax=ax, label="coupon (%)")
    ax.set_title(f"{len(book):,} bonds: yield against modified duration")
    ax.set_xlabel("modified duration (years)")
    ax.set_ylabel("yield to maturity (%)")
    bonds_png = OUT / "bond_universe.png"
    fig.savefig(bonds_png, dpi=100, bbox_inches="tight")
    plt.close("all")
    for path in (option_png, curve_png, vega_png, bonds_png):
        print(f"wrote {path}")


def main() -> None:
    print(f"quillander {q.__version__}")
    dates()
    curve = curves()
    dates_in_arrays(curve)
    bond(curve)
    market_calendars()
    universe = bonds(curve)
    swaps_and_curves()
    options()
    book()
    implied_vols()
    pictures(curve, universe)


if __name__ == "__main__":
    main()
