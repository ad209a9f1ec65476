"""Time the daily cycle of many fund positions.

Builds a throw-away bundle of N business days, registers funds (a quarter of
them daily-accruing, with a daily profit on every bar), opens one position
per fund in a stock account, and runs every day: before_trading of the
account, today's price for each position, a few random subscriptions and
redemptions, then settlement.  Reports the time per position-day.

    PYTHONPATH=. python bench/bench_position.py --positions 200 --days 2500
"""
import datetime as dt
import random
import tempfile
import time
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
from tessel.utils.datetime_func import convert_date_to_int


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


@click.command()
@click.option("--positions", default=200, show_default=True, help="Number of fund positions.")
@click.option("--days", default=2500, show_default=True, help="Number of trading days.")
@click.option("--trades-per-day", default=5, show_default=True, help="Random fills per day.")
def main(positions, days, trades_per_day):
    with tempfile.TemporaryDirectory() as root:
        env, calendar, bars, ids = setup(positions, days, root)
        account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, 1e12)
        rng = random.Random(0)
        closes = {k: bars[k]["close"].tolist() for k in ids}
        for k in ids:  # every fund starts with units already received
            account.get_position(k)._quantity = account.get_position(k)._old_quantity = 10000.0

        in_cycle = 0.0
        started = time.perf_counter()
        # day 0 has no previous trading day for the dividend lookup
        for i in range(1, days - 10):
            day = calendar[i]
            moment = dt.datetime(day.year, day.month, day.day, 15)
            env.calendar_dt = env.trading_dt = moment
            t0 = time.perf_counter()
            account.before_trading(day)
            in_cycle += time.perf_counter() - t0
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
                t0 = time.perf_counter()
                account.apply_trade(trade)
                in_cycle += time.perf_counter() - t0
            t0 = time.perf_counter()
            account.settlement(day)
            in_cycle += time.perf_counter() - t0
        total = time.perf_counter() - started

    n = positions * (days - 11)
    click.echo("{} positions x {} days: {:.2f} s in total, {:.2f} s in the daily cycle "
               "({:.2f} us per position-day)".format(positions, days - 11, total, in_cycle, in_cycle / n * 1e6))


if __name__ == "__main__":
    main()
