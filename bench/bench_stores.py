"""Time the native fund stores and the fund position against plain pandas.

Each case builds one set of random data, checks that the native operation
and a straightforward pandas/Python version of the same documented
behaviour give the same result on it, then times both on that data in this
run (best of --repeat rounds each, interleaved) and prints the ratio.

- payouts: first get_dividend for 2,000 funds out of a 60,000-row dividend
  table (20,000 funds).  Both sides make the same calendar calls to the
  host (one per record); their cost is measured and reported on its own.
- catalog: a 20,000-fund catalogue, construction plus get_instruments of
  every fund by id and by symbol.
- bars: day bars of 200 funds x 3,000 dates with status and limit columns,
  built from the joined NAV/status frames.
- daily-profit: the daily-profit table of 200 money-market funds x 3,000
  calendar days.
- position: the fund position's own work in the daily cycle
  (before_trading and settlement of every position, a few trades a day),
  with the host answered by doubles whose calls cost next to nothing; the
  doubles' own cost is timed alone and subtracted.

    PYTHONPATH=. python bench/bench_stores.py [--case payouts] [--repeat 3]
"""
import datetime as dt
import gc
import os
import platform
import random
import sys
import tempfile
import time
import types
import warnings
from functools import lru_cache
from pathlib import Path

import click
import numpy as np
import pandas as pd

import vexdatac.fund
from tessel.config import load_config
from tessel.const import INSTRUMENT_TYPE, POSITION_EFFECT, SIDE, TRADING_CALENDAR_TYPE
from tessel.data.base_data_source import BaseDataSource
from tessel.environment import Environment
from tessel.model.instrument import Instrument
from tessel.model.trade import Trade
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int

# The plain pandas versions the store tests compare with.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "data"))
from bar_reference import assert_same_bars, reference_bars  # noqa: E402
from store_reference import ReferenceCatalog, reference_dividend  # noqa: E402

CALENDAR_START, CALENDAR_END = "2005-01-04", "2026-12-31"


def trading_calendar(seed=1):
    """Business days with a few random holidays, like an exchange calendar."""
    days = pd.bdate_range(CALENDAR_START, CALENDAR_END)
    rng = np.random.default_rng(seed)
    return days[rng.random(len(days)) > 0.04]


def make_env(root, calendar):
    bundle = Path(root) / "bundle"
    bundle.mkdir(exist_ok=True)
    (bundle / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in calendar))
    env = Environment(load_config({"base": {"data_bundle_path": str(bundle), "start_date": str(calendar[0].date()),
                                            "end_date": str(calendar[-1].date())}}))
    env.set_data_source(BaseDataSource(str(bundle), {}, False, env.config.base.end_date))
    return env


def best_of(repeat, *runs):
    """Best CPU time of each callable over `repeat` interleaved rounds.

    CPU time of this process, not wall time: the machine is shared, and a
    round that waits for the processor would otherwise count the wait."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for k, run in enumerate(runs):
            t0 = time.process_time()
            run()
            best[k] = min(best[k], time.process_time() - t0)
    return best


def best_of_collected(repeat, *runs):
    """best_of, each run starting right after a full garbage collection.

    For runs that keep many new objects: the collector's full passes then
    fall at the same point of every run instead of into whichever run
    happens to cross the threshold first.  The collection itself is not
    timed."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for k, run in enumerate(runs):
            watching = gc.callbacks[:]  # a caller timing the collector sees only the runs' own passes
            gc.callbacks.clear()
            gc.collect()
            gc.callbacks.extend(watching)
            t0 = time.process_time()
            run()
            best[k] = min(best[k], time.process_time() - t0)
    return best


def patch_service(**answers):
    for name, fn in answers.items():
        setattr(vexdatac.fund, name, fn)


def report(name, native_s, reference_s, target, unit, count, extra=""):
    ratio = reference_s / native_s
    verdict = "meets" if ratio >= target else "MISSES"
    click.echo(f"{name:13s} native {native_s / count * 1e6:9.2f} us/{unit}  pandas {reference_s / count * 1e6:9.2f} "
               f"us/{unit}  ratio {ratio:6.1f}x  (target >= {target}x: {verdict}){extra}")


# --- payout history ------------------------------------------------------------------------------------------

class PandasPayoutHistory:
    """The dividend store written plainly from its documented behaviour."""

    DATA_TYPE = [("book_closure_date", "<i8"), ("announcement_date", "<i8"), ("dividend_cash_before_tax", "<f8"),
                 ("ex_dividend_date", "<i8"), ("payable_date", "<i8"), ("round_lot", "<f8")]

    def __init__(self):
        ins_df = vexdatac.fund.all_instruments()
        self._env = Environment.get_instance()
        df = vexdatac.fund.get_dividend(ins_df["order_book_id"].tolist())
        df = df.reset_index("ex_dividend_date")
        for column in ("ex_dividend_date", "book_closure_date", "payable_date"):
            df[column] = convert_date_to_date_int(df[column].dt)
        df["announcement_date"] = df["book_closure_date"]
        df["round_lot"] = 1.0
        df["dividend_cash_before_tax"] = df["dividend_before_tax"]
        self.dividend_df = df[[name for name, _ in self.DATA_TYPE]]

    @lru_cache(2048)
    def get_dividend(self, order_book_id):
        return reference_dividend(self.dividend_df, order_book_id, self._env.data_proxy)


def case_payouts(root, repeat):
    from tessel_mod_fund.data import VexdataPayoutHistory

    calendar = trading_calendar()
    env = make_env(root, calendar)
    rng = np.random.default_rng(2)
    n_funds, n_rows, n_asked = 20_000, 60_000, 2_000
    ids = [f"{i:06d}" for i in range(n_funds)]
    owner = rng.integers(0, n_funds, n_rows)
    days = pd.date_range("2006-01-01", "2025-12-31")
    book = days[rng.integers(0, len(days), n_rows)]
    index = pd.MultiIndex.from_arrays([np.array(ids, dtype=object)[owner], book + pd.Timedelta(days=1)],
                                      names=["order_book_id", "ex_dividend_date"])
    dividends = pd.DataFrame({"book_closure_date": book, "payable_date": book + pd.Timedelta(days=3),
                              "dividend_before_tax": np.round(rng.uniform(0.01, 0.5, n_rows), 4)}, index=index)
    patch_service(all_instruments=lambda: pd.DataFrame({"order_book_id": ids}),
                  get_dividend=lambda order_book_ids: dividends)
    asked = [ids[i] for i in rng.choice(n_funds, n_asked, replace=False)]

    native, reference = VexdataPayoutHistory(), PandasPayoutHistory()
    for i in asked[:200]:
        a, b = native.get_dividend(i), reference.get_dividend(i)
        assert a.dtype == b.dtype and type(a) is type(b) and a.tolist() == b.tolist(), i
    records = sum(len(reference.get_dividend(i)) for i in asked)

    def first_calls(store_cls):
        def run():
            store = store_cls()
            for i in asked:
                store.get_dividend(i)
        return run

    def build(store_cls):
        return lambda: store_cls()

    proxy = env.data_proxy
    texts = [str(d) for i in asked for d in reference.get_dividend(i)["announcement_date"]]

    def host_calls():
        for text in texts:
            int(proxy.get_next_trading_date(text, n=-1).strftime("%Y%m%d"))

    native_s, reference_s, native_build, reference_build, host_s = best_of(
        repeat, first_calls(VexdataPayoutHistory), first_calls(PandasPayoutHistory),
        build(VexdataPayoutHistory), build(PandasPayoutHistory), host_calls)
    click.echo(f"payouts: {n_rows:,} dividend rows of {n_funds:,} funds; {n_asked:,} funds asked, {records:,} records, "
               f"one host calendar call per record on each side ({host_s / n_asked * 1e6:.1f} us per fund)")
    report("payouts", native_s - native_build, reference_s - reference_build, 50, "fund", n_asked)


# --- fund catalogue ------------------------------------------------------------------------------------------

def case_catalog(root, repeat):
    from tessel_mod_fund.data import FundCatalogStore

    make_env(root, trading_calendar())
    rng = random.Random(3)
    n = 20_000
    raws = []
    for i in range(n):
        attrs = {"order_book_id": f"{i:06d}", "symbol": f"Fund {i}", "amc": f"AMC {i % 150}",
                 "fund_type": rng.choice(["Stock", "Bond", "Hybrid", "Money"]), "fund_manager": "M",
                 "benchmark": "CSI 300", "establishment_date": dt.datetime(2010, 1, 1), "latest_size": 1e9,
                 "min_investment": 1000.0, "issuer": "I", "trustee": "T", "exchange": None,
                 "listed_date": dt.datetime(2010, 1, 4) if i % 3 else None,
                 "de_listed_date": None if i % 7 else dt.datetime(2020, 6, 30)}
        if i % 4 == 0:
            attrs["accrued_daily"] = True
        raws.append(types.SimpleNamespace(**attrs))
    ids = [r.order_book_id for r in raws]
    symbols = [r.symbol for r in raws]
    patch_service(all_instruments=lambda: pd.DataFrame({"order_book_id": ids}),
                  instruments=lambda order_book_ids: raws)

    def run(make):
        def go():
            store = make()
            return list(store.get_instruments(ids)), list(store.get_instruments(symbols))
        return go

    reference = run(lambda: ReferenceCatalog(vexdatac.fund))
    for a, b in zip(*(sum(go(), []) for go in (run(FundCatalogStore), reference))):
        assert a.__dict__ == b.__dict__ and a.type == b.type and a.accrued_daily == b.accrued_daily
    from tessel_mod_fund.data.fund_catalog import FundCatalogEntry
    copies = [dict(r.__dict__) for r in raws]

    def host_construction():  # the host's instrument constructor, which both sides call for every entry
        # the entries are kept, as the timed sides keep theirs
        return [FundCatalogEntry(dic) for dic in copies], [FundCatalogEntry(dic) for dic in copies]

    # Both sides keep 40,000 new objects per round, so the interpreter's
    # cyclic garbage collector runs during the timed rounds; its time is
    # part of each side's figure and shown on its own.
    collecting = {"since": None, "seconds": 0.0}

    def on_collect(phase, info):
        if phase == "start":
            collecting["since"] = time.process_time()
        elif collecting["since"] is not None:
            collecting["seconds"] += time.process_time() - collecting["since"]

    gc.callbacks.append(on_collect)
    try:
        native_s, reference_s, host_s = best_of_collected(repeat, run(FundCatalogStore), reference,
                                                          host_construction)
    finally:
        gc.callbacks.remove(on_collect)
    rounds = 3 * repeat
    click.echo(f"catalog: {n:,} funds, construction + get_instruments by id and by symbol (equal entries checked); "
               f"the host's instrument constructor alone {host_s / n * 1e6:.2f} us per fund on each side; "
               f"garbage collection {collecting['seconds'] / rounds / n * 1e6:.2f} us per fund in an average round")
    report("catalog", native_s, reference_s, 3, "fund", n)
    report("  -host", native_s - host_s, reference_s - host_s, 3, "fund", n, "  (host constructor subtracted)")
    # Both sides pay the host's constructor for every entry; a store whose own work cost nothing at
    # all would still take that long, which bounds the whole operation's ratio.
    click.echo(f"  ceiling: a store with no work of its own would run {reference_s / host_s:.1f}x the plain code")


# --- NAV day bars --------------------------------------------------------------------------------------------

def case_bars(root, repeat):
    from tessel_mod_fund.data.nav_day_bars import VexdataNavDayBars

    calendar = trading_calendar()
    env = make_env(root, calendar)
    rng = np.random.default_rng(4)
    n_funds, n_dates = 200, 3000
    dates = calendar[:n_dates]
    statuses = np.array(["Open", "Suspended", "Close", "Limited"], dtype=object)
    frames, instruments = {}, {}
    for k in range(n_funds):
        fid = f"{k:06d}"
        nav = np.round(1 + np.cumsum(rng.normal(0, 0.01, n_dates)), 4)
        nav[rng.random(n_dates) < 0.01] = np.nan
        accrued = k % 5 == 0
        data = {"unit_net_value": nav, "adjusted_net_value": nav * 1.1}
        if accrued:
            data["daily_profit"] = rng.uniform(0.3, 0.6, n_dates)
            data["weekly_yield"] = rng.uniform(1.5, 2.5, n_dates)
        data["subscribe_upper_limit"] = np.where(rng.random(n_dates) < 0.1, 1e6, np.nan)
        data["subscribe_lower_limit"] = 10.0
        data["redeem_lower_limit"] = 1.0
        data["subscribe_status"] = statuses[rng.integers(0, 4, n_dates)]
        data["redeem_status"] = statuses[rng.integers(0, 4, n_dates)]
        frames[fid] = pd.DataFrame(data, index=pd.DatetimeIndex(dates, name="datetime"))
        instruments[fid] = Instrument({"order_book_id": fid, "accrued_daily": accrued, "exchange": None})
    env.get_instrument = instruments.get

    class PreparedFrames(VexdataNavDayBars):
        """The store with its NAV/status frames already loaded and joined: only the building is timed."""

        def _get_nav(self, order_book_id):
            return frames[order_book_id]

    ids = list(frames)
    for i in ids:
        assert_same_bars(PreparedFrames("unit").get_bars(i),
                         reference_bars(frames[i], "unit_net_value", instruments[i].accrued_daily))

    def native():
        store = PreparedFrames("unit")  # a new store each round: its cache does not help
        for i in ids:
            store.get_bars(i)

    def reference():
        for i in ids:
            reference_bars(frames[i], "unit_net_value", instruments[i].accrued_daily)

    def reference_keeping():  # the same, its arrays kept as the documented cache keeps them
        kept = []
        for i in ids:
            kept.append(reference_bars(frames[i], "unit_net_value", instruments[i].accrued_daily))

    def host_conversion():  # the host's date conversion, which both sides call once per fund
        for i in ids:
            convert_date_to_int(frames[i].index)

    # The store keeps every fund's bars (its cache), so each array is new
    # memory; the reference drops each one and reuses the same memory.
    # What that alone costs: arrays of the same layout written in full,
    # kept (as the store keeps them) or dropped (as the reference does).
    layout = PreparedFrames("unit").get_bars(ids[0]).dtype

    def written(keep):
        def go():
            kept = []
            for _ in ids:
                bars = np.empty(n_dates, dtype=layout)
                bars.view(np.uint8)[:] = 0
                if keep:
                    kept.append(bars)
        return go

    native_s, reference_s, host_s, kept_s, dropped_s, keeping_s = best_of(
        repeat, native, reference, host_conversion, written(True), written(False), reference_keeping)
    click.echo(f"bars: {n_funds} funds x {n_dates:,} dates with status and limit columns (identical arrays checked); "
               f"the host's date conversion alone {host_s / n_funds * 1e6:.0f} us per fund on each side; "
               f"writing a kept array {kept_s / n_funds * 1e6:.0f} us per fund, a dropped one "
               f"{dropped_s / n_funds * 1e6:.0f} us")
    report("bars", native_s, reference_s, 5, "fund", n_funds)
    report("  -host", native_s - host_s, reference_s - host_s, 5, "fund", n_funds, "  (host date conversion subtracted)")
    report("  kept", native_s, keeping_s, 5, "fund", n_funds,
           "  (the reference keeping its arrays too, as a cached store must)")


# --- daily-profit table --------------------------------------------------------------------------------------

def pandas_daily_profit(bars, trading_dates):
    df = pd.DataFrame({"datetime": bars["datetime"], "daily_profit": bars["daily_profit"]})
    with warnings.catch_warnings():
        # pandas 3 warns that parsing numbers with a format will change
        warnings.simplefilter("ignore")
        df["datetime"] = pd.to_datetime(df["datetime"] // 1000000, format="%Y%m%d")
    df = pd.merge_asof(df, trading_dates, left_on="datetime", right_on="trading_date", direction="forward")
    df = df.groupby("trading_date", as_index=False).agg({"daily_profit": "sum"})
    df["trading_date"] = df["trading_date"].apply(convert_date_to_date_int)
    return df.to_records(index=False)


def case_daily_profit(root, repeat):
    import tessel_mod_fund.position as pm

    calendar = trading_calendar()
    env = make_env(root, calendar)
    rng = np.random.default_rng(5)
    n_funds, n_days = 200, 3000
    days = pd.date_range("2010-01-01", periods=n_days)
    bars = {}
    for k in range(n_funds):
        b = np.zeros(n_days, dtype=[("datetime", "<u8"), ("close", "<f8"), ("daily_profit", "<f8")])
        b["datetime"] = convert_date_to_int(days)
        b["close"] = 1.0
        b["daily_profit"] = rng.uniform(0.3, 0.6, n_days)
        bars[f"{k:06d}"] = b
    env.mod_dict["fund"] = types.SimpleNamespace(get_bars=bars.__getitem__)
    trading_dates = pd.DataFrame({"trading_date": env.data_source.get_trading_calendars()[
        TRADING_CALENDAR_TYPE.EXCHANGE]})
    # merge_asof wants both keys in one datetime resolution: the calendar is
    # given the one pd.to_datetime produces for the bar dates, once.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        parsed = pd.to_datetime(pd.Series([20100104]), format="%Y%m%d").dtype
    trading_dates["trading_date"] = trading_dates["trading_date"].astype(parsed)
    for i in list(bars)[:20]:
        a, b = pm._get_daily_profit(i), pandas_daily_profit(bars[i], trading_dates)
        assert a.dtype == b.dtype and a["trading_date"].tolist() == b["trading_date"].tolist(), i
        np.testing.assert_allclose(a["daily_profit"], b["daily_profit"], rtol=1e-13)

    def native():
        pm._get_daily_profit.cache_clear()  # every fund a first call; the calendar table stays cached
        for i in bars:
            pm._get_daily_profit(i)

    def reference():
        for i in bars:
            pandas_daily_profit(bars[i], trading_dates)

    native_s, reference_s = best_of(repeat, native, reference)
    click.echo(f"daily-profit: {n_funds} money-market funds x {n_days:,} calendar days (equal tables checked)")
    report("daily-profit", native_s, reference_s, 20, "fund", n_funds)


# --- position daily cycle ------------------------------------------------------------------------------------

class FreeDataProxy:
    """Answers the position's host questions from prepared dictionaries."""

    def __init__(self, previous, instruments):
        self._previous = previous
        self._instruments = instruments
        self.get_previous_trading_date = previous.__getitem__
        self.instruments = instruments.__getitem__

    def get_dividend_by_book_date(self, order_book_id, date):
        return None

    def get_split_by_ex_date(self, order_book_id, date):
        return None


def case_position(root, repeat):
    from tessel_mod_fund.position import FundPosition

    calendar = trading_calendar()
    n_positions, n_days, trades_per_day = 200, 2500, 5
    env = make_env(root, calendar)
    env.config.mod.fund = types.SimpleNamespace(subscription_receiving_days=1, redemption_receiving_days=3,
                                                fund_nav_type="unit")
    days = [d.date() for d in calendar[:n_days]]
    ids = [f"F{k:04d}" for k in range(n_positions)]
    instruments = {i: Instrument({"order_book_id": i, "symbol": i, "type": INSTRUMENT_TYPE.PUBLIC_FUND,
                                  "accrued_daily": False}) for i in ids}
    real_proxy = env.data_proxy
    previous = {d: p for d, p in zip(days[1:], days)}
    next_dates = {}
    for d in days[:-10]:
        for n in (1, 3):  # the receiving days of units and of cash
            next_dates[(d, n)] = real_proxy.get_next_trading_date(d, n=n)
    env.data_proxy = FreeDataProxy(previous, instruments)
    env.data_proxy.get_next_trading_date = lambda when, n=1: next_dates[(when.date(), n)]
    env.get_instrument = instruments.__getitem__

    rng = random.Random(0)
    prices = {i: np.round(1 + np.cumsum(np.random.default_rng(k).normal(0, 0.002, n_days)), 4).tolist()
              for k, i in enumerate(ids)}
    plan = []  # (day index, position index, buy?) of every trade, drawn once
    for t in range(1, n_days - 10):
        for _ in range(trades_per_day):
            plan.append((t, rng.randrange(n_positions), rng.random() < 0.6))

    def trade_for(k, t, buy):
        moment = dt.datetime(days[t].year, days[t].month, days[t].day, 15)
        side, effect = (SIDE.BUY, POSITION_EFFECT.OPEN) if buy else (SIDE.SELL, POSITION_EFFECT.CLOSE)
        return Trade.__from_create__(None, prices[ids[k]][t], 100.0, side, effect, ids[k],
                                     calendar_dt=moment, trading_dt=moment)

    trades = {}
    for t, k, buy in plan:
        trades.setdefault(t, []).append((k, buy, trade_for(k, t, buy)))

    def cycle():
        positions = [FundPosition(i, POSITION_EFFECT.OPEN) for i in ids]
        for p in positions:
            p._quantity = p._old_quantity = p._logical_old_quantity = 10000.0
        elapsed = 0.0
        for t in range(1, n_days - 10):
            day = days[t]
            t0 = time.perf_counter()
            for p in positions:
                p.before_trading(day)
            elapsed += time.perf_counter() - t0
            for k, p in enumerate(positions):
                p.update_last_price(prices[ids[k]][t])
            t0 = time.perf_counter()
            for k, buy, trade in trades.get(t, ()):
                p = positions[k]
                if buy or p.quantity > 100:
                    p.apply_trade(trade)
            for p in positions:
                p.settlement(day)
            elapsed += time.perf_counter() - t0
        return elapsed

    # What the position asks the host per position-day, answered by the
    # doubles, timed alone: the base class's before_trading, the
    # environment, the previous trading day, the dividend and split
    # look-ups and the instrument behind the accrual flag.
    from tessel.portfolio.position import Position
    proxy = env.data_proxy
    base_before = Position.before_trading
    get_instance = Environment.get_instance

    def host_only():
        p = FundPosition(ids[0], POSITION_EFFECT.OPEN)
        elapsed = 0.0
        for t in range(1, n_days - 10):
            day = days[t]
            t0 = time.perf_counter()
            for i in ids:
                base_before(p, day)
                get_instance()
                last = proxy.get_previous_trading_date(day)
                proxy.get_dividend_by_book_date(i, last)
                proxy.get_split_by_ex_date(i, day)
                env.get_instrument(i)
            t1 = time.perf_counter()
            for i in ids:  # the loop alone, which is not the host's
                pass
            elapsed += 2 * t1 - t0 - time.perf_counter()
        return elapsed

    cycle_s = min(cycle() for _ in range(repeat))
    host_s = min(host_only() for _ in range(repeat))
    n = n_positions * (n_days - 11)
    click.echo(f"position: {n_positions} positions x {n_days - 11:,} days, {trades_per_day} trades a day; "
               f"host doubles cost {host_s / n * 1e6:.2f} us per position-day")
    own = (cycle_s - host_s) / n * 1e6
    verdict = "meets" if own <= 2 else "MISSES"
    click.echo(f"position      cycle {cycle_s / n * 1e6:6.2f} us/position-day, own work {own:6.2f} "
               f"us/position-day  (target <= 2 us: {verdict})")


CASES = {"payouts": case_payouts, "catalog": case_catalog, "bars": case_bars, "daily-profit": case_daily_profit,
         "position": case_position}


@click.command()
@click.option("--case", "cases", multiple=True, type=click.Choice(list(CASES)), help="only these cases")
@click.option("--repeat", default=3, show_default=True, help="timed rounds per side (best counts)")
def main(cases, repeat):
    click.echo(f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
               f"pandas {pd.__version__}, numpy {np.__version__}; load average {os.getloadavg()[0]:.1f}")
    saved = {name: getattr(vexdatac.fund, name) for name in ("all_instruments", "instruments", "get_dividend")}
    try:
        for name in cases or CASES:
            with tempfile.TemporaryDirectory() as root:
                CASES[name](root, repeat)
    finally:
        patch_service(**saved)


if __name__ == "__main__":
    main()
