"""Time the daily cycle of many fund positions.

Two measurements, both in CPU seconds of the running thread (the machine is
shared, so wall time would count other jobs too):

- with the engine: builds a throw-away bundle of N business days, registers
  funds (a quarter of them daily-accruing, with a daily profit on every
  bar), opens one position per fund in a stock account, and runs every day:
  before_trading of the account, today's price for each position, a few
  random subscriptions and redemptions, then settlement.  Reports the time
  per position-day, the engine's own share included.
- the position's own work: the same kind of cycle on FundPosition objects
  alone, every question the position asks the engine answered by doubles
  from prepared dictionaries (the set-up of bench_stores.py's position
  case).  The doubles' own cost is timed alone and subtracted.

    PYTHONPATH=. python bench/bench_position.py --positions 200 --days 2500
"""
import datetime as dt
import os
import platform
import random
import sys
import tempfile
import time
import types
from pathlib import Path

import click
import numpy as np
import pandas as pd

from tessel.config import load_config
from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, POSITION_EFFECT, SIDE
from tessel.data.base_data_source import BaseDataSource
from tessel.data.base_data_source.storage_interface import AbstractDayBarStore, AbstractInstrumentStore
from tessel.environment import Environment
from tessel.model import Instrument
from tessel.model.trade import Trade
from tessel.portfolio.account import Account
from tessel.portfolio.position import Position
from tessel.utils.datetime_func import convert_date_to_int

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_stores import FreeDataProxy, make_env, trading_calendar  # noqa: E402

clock = time.thread_time


class Funds(AbstractInstrumentStore):
    def __init__(self, n):
        self._ids = ["F{:04d}".format(i) for i in range(n)]

    @property
    def instrument_type(self):
        return INSTRUMENT_TYPE.PUBLIC_FUND

    @property
    def all_id_and_syms(self):
        return list(self._ids)

    def get_instruments(self, id_or_syms):
        keys = self._ids if id_or_syms is None else id_or_syms
        return [Instrument({"order_book_id": k, "symbol": k, "type": INSTRUMENT_TYPE.PUBLIC_FUND,
                            "accrued_daily": int(k[1:]) % 4 == 0}) for k in keys if k in self._ids]


class Bars(AbstractDayBarStore):
    def __init__(self, bars):
        self._bars = bars

    def get_bars(self, order_book_id):
        return self._bars[order_book_id]

    def get_date_range(self, order_book_id):
        b = self._bars[order_book_id]
        return int(b["datetime"][0]), int(b["datetime"][-1])


class Plugin:
    def __init__(self, store):
        self._store = store

    def get_bars(self, order_book_id):
        return self._store.get_bars(order_book_id)


def setup(n_positions, n_days, root):
    days = pd.bdate_range("2010-01-04", periods=n_days)
    bundle = Path(root) / "bundle"
    bundle.mkdir()
    (bundle / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in days))
    env = Environment(load_config({
        "base": {"data_bundle_path": str(bundle), "start_date": str(days[0].date()),
                 "end_date": str(days[-1].date())},
    }))
    ds = BaseDataSource(str(bundle), {}, False, env.config.base.end_date)
    env.set_data_source(ds)
    funds = Funds(n_positions)
    rng = np.random.default_rng(0)
    bars = {}
    for order_book_id in funds.all_id_and_syms:
        b = np.zeros(n_days, dtype=[("datetime", "<u8"), ("close", "<f8"), ("daily_profit", "<f8")])
        b["datetime"] = convert_date_to_int(days)
        b["close"] = np.round(1.0 + np.cumsum(rng.normal(0, 0.002, n_days)), 4)
        b["daily_profit"] = rng.uniform(0.3, 0.6, n_days)
        bars[order_book_id] = b
    store = Bars(bars)
    ds.register_instruments_store(funds)
    ds.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, store)
    env.mod_dict["fund"] = Plugin(store)
    import tessel_mod_fund.position  # noqa: F401  (makes FundPosition serve public funds)
    return env, [d.date() for d in days], bars, funds.all_id_and_syms


def own_work(n_positions, n_days, trades_per_day, repeat):
    """Per position-day CPU seconds of the cycle and of the doubles alone."""
    from tessel_mod_fund.position import FundPosition

    with tempfile.TemporaryDirectory() as root:
        calendar = trading_calendar()
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
        trades = {}
        for t in range(1, n_days - 10):
            for _ in range(trades_per_day):
                k, buy = rng.randrange(n_positions), rng.random() < 0.6
                moment = dt.datetime(days[t].year, days[t].month, days[t].day, 15)
                side, effect = (SIDE.BUY, POSITION_EFFECT.OPEN) if buy else (SIDE.SELL, POSITION_EFFECT.CLOSE)
                trade = Trade.__from_create__(None, prices[ids[k]][t], 100.0, side, effect, ids[k],
                                              calendar_dt=moment, trading_dt=moment)
                trades.setdefault(t, []).append((k, buy, trade))

        def cycle():
            positions = [FundPosition(i, POSITION_EFFECT.OPEN) for i in ids]
            for p in positions:
                p._quantity = p._old_quantity = p._logical_old_quantity = 10000.0
            elapsed = 0.0
            for t in range(1, n_days - 10):
                day = days[t]
                t0 = clock()
                for p in positions:
                    p.before_trading(day)
                elapsed += clock() - t0
                for k, p in enumerate(positions):
                    p.update_last_price(prices[ids[k]][t])
                t0 = clock()
                for k, buy, trade in trades.get(t, ()):
                    p = positions[k]
                    if buy or p.quantity > 100:
                        p.apply_trade(trade)
                for p in positions:
                    p.settlement(day)
                elapsed += clock() - t0
            return elapsed

        # What the position asks the engine per position-day, answered by
        # the doubles, timed alone: the base class's before_trading, the
        # environment, the previous trading day, the dividend and split
        # look-ups and the instrument behind the accrual flag.
        proxy = env.data_proxy
        base_before = Position.before_trading
        get_instance = Environment.get_instance

        def host_only():
            p = FundPosition(ids[0], POSITION_EFFECT.OPEN)
            elapsed = 0.0
            for t in range(1, n_days - 10):
                day = days[t]
                t0 = clock()
                for i in ids:
                    base_before(p, day)
                    get_instance()
                    last = proxy.get_previous_trading_date(day)
                    proxy.get_dividend_by_book_date(i, last)
                    proxy.get_split_by_ex_date(i, day)
                    env.get_instrument(i)
                t1 = clock()
                for i in ids:  # the loop alone, which is not the engine's
                    pass
                elapsed += 2 * t1 - t0 - clock()
            return elapsed

        cycle_s = min(cycle() for _ in range(repeat))
        host_s = min(host_only() for _ in range(repeat))
    n = n_positions * (n_days - 11)
    return cycle_s / n, host_s / n


@click.command()
@click.option("--positions", default=200, show_default=True, help="Number of fund positions.")
@click.option("--days", default=2500, show_default=True, help="Number of trading days.")
@click.option("--trades-per-day", default=5, show_default=True, help="Random fills per day.")
@click.option("--repeat", default=3, show_default=True, help="Rounds of the own-work cycle (best counts).")
def main(positions, days, trades_per_day, repeat):
    click.echo("machine: {}, {} cores, Python {}; load average {:.1f}".format(
        platform.machine(), os.cpu_count(), platform.python_version(), os.getloadavg()[0]))
    cycle, host = own_work(positions, days, trades_per_day, repeat)
    own = (cycle - host) * 1e6
    click.echo("own work: {} positions x {} days, {} trades a day: cycle {:.2f} us, engine doubles {:.2f} us, "
               "position's own work {:.2f} us per position-day (target <= 2 us: {})".format(
                   positions, days - 11, trades_per_day, cycle * 1e6, host * 1e6, own,
                   "meets" if own <= 2 else "MISSES"))
    with tempfile.TemporaryDirectory() as root:
        env, calendar, bars, ids = setup(positions, days, root)
        account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, 1e12)
        rng = random.Random(0)
        closes = {k: bars[k]["close"].tolist() for k in ids}
        for k in ids:  # every fund starts with units already received
            account.get_position(k)._quantity = account.get_position(k)._old_quantity = 10000.0

        in_cycle = 0.0
        started = clock()
        # day 0 has no previous trading day for the dividend lookup
        for i in range(1, days - 10):
            day = calendar[i]
            moment = dt.datetime(day.year, day.month, day.day, 15)
            env.calendar_dt = env.trading_dt = moment
            t0 = clock()
            account.before_trading(day)
            in_cycle += clock() - t0
            for k, position in account.positions.items():
                position.update_last_price(closes[k][i])
            for _ in range(trades_per_day):
                k = rng.choice(ids)
                position = account.get_position(k)
                price = closes[k][i]
                if position.quantity > 100 and rng.random() < 0.5:
                    side, effect, units = SIDE.SELL, POSITION_EFFECT.CLOSE, 100.0
                else:
                    side, effect, units = SIDE.BUY, POSITION_EFFECT.OPEN, 100.0
                trade = Trade.__from_create__(None, price, units, side, effect, k,
                                              calendar_dt=moment, trading_dt=moment)
                t0 = clock()
                account.apply_trade(trade)
                in_cycle += clock() - t0
            t0 = clock()
            account.settlement(day)
            in_cycle += clock() - t0
        total = clock() - started

    n = positions * (days - 11)
    click.echo("with the engine: {} positions x {} days: {:.2f} CPU s in total, {:.2f} CPU s in the daily cycle "
               "({:.2f} us per position-day)".format(positions, days - 11, total, in_cycle, in_cycle / n * 1e6))
    day_closes(positions, days, repeat)


def day_closes(positions, days, repeat):
    """The day's closes of every holding from their float64 columns: the native read against item() per column."""
    from operator import methodcaller

    from tessel import _native
    if not _native.ENABLED:
        click.echo("day closes: TESSEL_NATIVE=0, skipped")
        return
    rng = np.random.default_rng(5)
    columns = [rng.random(days) for _ in range(positions)]
    assert _native._daycycle.day_items(columns, days // 2) == [c.item(days // 2) for c in columns]

    def native():
        for day in range(days):
            _native._daycycle.day_items(columns, day)

    def plain():
        for day in range(days):
            list(map(methodcaller("item", day), columns))

    best = {native: float("inf"), plain: float("inf")}
    for _ in range(repeat):
        for run in (native, plain):
            t0 = clock()
            run()
            best[run] = min(best[run], clock() - t0)
    n = positions * days
    click.echo("day closes: {} columns x {} days: native {:.3f} us, item() per column {:.3f} us per position-day "
               "({:.1f}x)".format(positions, days, best[native] / n * 1e6, best[plain] / n * 1e6,
                                  best[plain] / best[native]))


if __name__ == "__main__":
    main()
