"""The daily backtest loop.

The loop only sequences; every rule lives in the parts it calls.  Each
trading day between ``base.start_date`` and ``base.end_date`` runs:

1. clock to the day's open; ``BEFORE_TRADING`` (accounts: arrivals,
   dividends, splits), then the strategy's ``before_trading``;
2. clock to the day's close; the strategy's ``handle_bar``; ``BAR``
   (accounts take the day's prices, the broker matches open orders);
3. ``AFTER_TRADING`` (unfilled day orders expire), the strategy's
   ``after_trading``;
4. ``SETTLEMENT`` (accounts close the day), ``POST_SETTLEMENT``, and the
   day's record of cash and total value.

Plug-ins start before the first day and are torn down after the last, also
when the run fails.
"""
import datetime as _dt
import os
import runpy

import pandas as pd

from tessel import api
from tessel.config import load_config
from tessel.core.events import EVENT, Event
from tessel.data.base_data_source import BaseDataSource
from tessel.environment import Environment
from tessel.mod import ModHandler
from tessel.portfolio import Portfolio
from tessel.utils.logger import system_log

OPEN_TIME = _dt.time(9, 30)
CLOSE_TIME = _dt.time(15, 0)


class Context:
    """The strategy's scratch space; also exposes the run's clock and portfolio."""

    def __init__(self, env):
        self._env = env

    @property
    def now(self):
        return self._env.calendar_dt

    @property
    def portfolio(self):
        return self._env.portfolio

    @property
    def config(self):
        return self._env.config


class BarDict:
    """``bar_dict[order_book_id]``: the instrument's bar at the current time."""

    def __init__(self, env):
        self._env = env

    def __getitem__(self, order_book_id):
        return self._env.get_bar(order_book_id)


class _NoOp:
    def __call__(self, *args):
        return None


def _load_strategy(strategy_file):
    if not os.path.isfile(strategy_file):
        raise ValueError("strategy file {} does not exist".format(strategy_file))
    namespace = runpy.run_path(strategy_file, init_globals=api.get_apis(), run_name="__strategy__")
    return {name: namespace.get(name) or _NoOp() for name in ("init", "before_trading", "handle_bar",
                                                            "after_trading")}


def _set_clock(env, day, time):
    moment = _dt.datetime.combine(day, time)
    env.calendar_dt = env.trading_dt = moment


def _setup(env):
    if env.data_source is None:
        base = env.config.base
        env.set_data_source(BaseDataSource(base.data_bundle_path, getattr(base, "future_info", {}),
                                           base.futures_time_series_trading_parameters, base.end_date))
    if env.portfolio is None:
        env.portfolio = Portfolio(env.config.base.accounts)
    if env.broker is None:
        from tessel.mod.tessel_mod_sys_simulation.simulation_broker import SimulationBroker

        env.set_broker(SimulationBroker(env, env.config.mod.get("sys_simulation", {})))


def run(config, strategy_file):
    """Backtest ``strategy_file`` under ``config`` (dict or YAML path); returns the result dict."""
    config = load_config(config)
    env = Environment(config)
    handler = ModHandler()
    handler.set_env(env)
    exception = None
    try:
        handler.start_up()
        _setup(env)
        bus = env.event_bus
        trading_days = env.data_proxy.get_trading_dates(config.base.start_date, config.base.end_date)
        if len(trading_days) == 0:
            raise ValueError("no trading day between base.start_date {} and base.end_date {}".format(
                config.base.start_date, config.base.end_date))
        _set_clock(env, trading_days[0].date(), OPEN_TIME)
        bus.publish_event(Event(EVENT.POST_SYSTEM_INIT))
        strategy = _load_strategy(strategy_file)
        context = Context(env)
        bar_dict = BarDict(env)
        strategy["init"](context)
        bus.publish_event(Event(EVENT.POST_USER_INIT))

        trades = []
        bus.add_listener(EVENT.TRADE, lambda e: trades.append(e.trade))
        records = []
        for ts in trading_days:
            day = ts.date()
            _set_clock(env, day, OPEN_TIME)
            bus.publish_event(Event(EVENT.BEFORE_TRADING, trading_date=day))
            strategy["before_trading"](context)
            _set_clock(env, day, CLOSE_TIME)
            strategy["handle_bar"](context, bar_dict)
            bus.publish_event(Event(EVENT.BAR, trading_date=day))
            bus.publish_event(Event(EVENT.AFTER_TRADING, trading_date=day))
            strategy["after_trading"](context)
            bus.publish_event(Event(EVENT.SETTLEMENT, trading_date=day))
            bus.publish_event(Event(EVENT.POST_SETTLEMENT, trading_date=day))
            records.append({"date": day, "cash": env.portfolio.cash, "total_value": env.portfolio.total_value})
        daily = pd.DataFrame.from_records(records).set_index("date")
        start_value = sum(float(v) for v in config.base.accounts.values())
        end_value = float(daily["total_value"].iloc[-1])
        return {
            "daily": daily,
            "trades": trades,
            "summary": {
                "start_date": trading_days[0].date(),
                "end_date": trading_days[-1].date(),
                "trading_days": len(trading_days),
                "start_value": start_value,
                "end_value": end_value,
                "total_return": end_value / start_value - 1 if start_value else float("nan"),
                "trades": len(trades),
            },
        }
    except BaseException as exc:
        exception = exc
        raise
    finally:
        code = 0 if exception is None else 1
        try:
            handler.tear_down(code, exception)
        except Exception:
            if exception is None:
                raise
            system_log.exception("tear_down failed after the run had already failed")
