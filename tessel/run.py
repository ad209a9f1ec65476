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
   day's record (cash, values, receivables, positions).

Plug-ins start before the first day and are torn down after the last, also
when the run fails.  ``run`` returns a :class:`~tessel.result.RunResult`.
"""
import datetime as _dt
import gc
import inspect
import os
import runpy
import sys
import traceback

import numpy as np
import pandas as pd

from tessel import api
from tessel.config import load_config, load_default_config, unknown_plugin_keys
from tessel.const import INSTRUMENT_TYPE, ORDER_STATUS, TRADING_CALENDAR_TYPE
from tessel.core.events import EVENT, Event
from tessel.data.base_data_source import BaseDataSource
from tessel.data.nav_window import outside_fund_data
from tessel.environment import MARKET_CLOSE, MARKET_OPEN, Environment
from tessel.mod import ModHandler
from tessel.model.order import _order_ids
from tessel.model.trade import _trade_ids
from tessel.portfolio import Portfolio
from tessel.recorder import DailyRecorder
from tessel.result import RunResult, compute_summary
from tessel.utils.datetime_func import convert_date_to_int
from tessel.utils.logger import system_log
from tessel.utils.memory import release_free_memory

# Kept for callers that imported the clock times from here.
OPEN_TIME = MARKET_OPEN
CLOSE_TIME = MARKET_CLOSE

STRATEGY_HOOKS = ("init", "before_trading", "handle_bar", "after_trading")


class StrategyLoadError(ValueError):
    """The strategy file is missing or cannot be loaded; the message names the file and line."""


class StrategyExitError(RuntimeError):
    """The strategy called ``sys.exit()`` during the run; the message names the file and line."""


# The arguments the run passes to each hook.
HOOK_ARGUMENTS = {"init": ("context",), "before_trading": ("context",), "handle_bar": ("context", "bar_dict"),
                  "after_trading": ("context",)}


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

    @property
    def params(self):
        """The run's parameters (``params:``, ``--param``): a read-only dict, empty when none are given."""
        params = self.__dict__.get("_params")
        if params is None:
            from tessel.params import Params

            params = self.__dict__["_params"] = Params(self._env.config.get("params") or {})
        return params


class BarDict:
    """``bar_dict[order_book_id]``: the instrument's latest bar the strategy may see.

    That is today's bar, or an earlier one for instrument types whose prices
    are seen with a lag (``Environment.set_strategy_bar_lag``).
    """

    def __init__(self, env):
        self._env = env

    def __getitem__(self, order_book_id):
        return self._env.get_strategy_bar(order_book_id)


def _no_op(*args):
    return None


def describe_failure(exc, strategy):
    """One line on a failed run: where in the strategy file it failed when it did, and the exception."""
    where = _strategy_frame_line(exc.__traceback__, strategy)
    text = "{}: {}".format(type(exc).__name__, exc)
    if where:
        return "strategy {} line {} (in {}) raised {}".format(strategy, where[0], where[1], text)
    return "run failed: {}".format(text)


def _strategy_frame_line(tb, strategy_file):
    """The last (line, function) of the traceback ``tb`` inside ``strategy_file``, or None."""
    target = os.path.abspath(strategy_file)
    found = None
    for frame in traceback.extract_tb(tb):
        if os.path.abspath(frame.filename) == target:
            found = (frame.lineno, frame.name)
    return found


def check_strategy_file(strategy_file):
    """Fail early, naming file and line, when the strategy file is missing or not valid Python."""
    if not os.path.isfile(strategy_file):
        raise StrategyLoadError("strategy file {} does not exist".format(strategy_file))
    try:
        with open(strategy_file, "rb") as f:
            source = f.read()
        compile(source, strategy_file, "exec")
    except SyntaxError as exc:
        raise StrategyLoadError("strategy file {} line {}: {}: {}".format(
            strategy_file, exc.lineno, type(exc).__name__, exc.msg)) from None
    except (OSError, ValueError) as exc:
        raise StrategyLoadError("cannot read strategy file {}: {}".format(strategy_file, exc)) from None


def _load_strategy(strategy_file):
    check_strategy_file(strategy_file)
    try:
        namespace = runpy.run_path(strategy_file, init_globals=api.get_apis(), run_name="__strategy__")
    except SystemExit as exc:
        raise StrategyLoadError("strategy file {}{} called sys.exit({}) while loading; a strategy cannot end "
                                "the run that way".format(strategy_file, _line_text(exc, strategy_file),
                                                          _exit_code_text(exc))) from exc
    except Exception as exc:
        raise StrategyLoadError("strategy file {}{} failed to load: {}: {}".format(
            strategy_file, _line_text(exc, strategy_file), type(exc).__name__, exc)) from exc
    hooks = {}
    for name in STRATEGY_HOOKS:
        hook = namespace.get(name)
        if hook is not None and not callable(hook):
            raise StrategyLoadError("strategy file {}: '{}' must be a function, got {}".format(
                strategy_file, name, type(hook).__name__))
        if hook is not None:
            _check_hook_arguments(strategy_file, name, hook)
        hooks[name] = hook or _no_op
    return hooks


def _line_text(exc, strategy_file):
    where = _strategy_frame_line(exc.__traceback__, strategy_file)
    return " line {}".format(where[0]) if where else ""


def _exit_code_text(exc):
    return "" if exc.code is None else repr(exc.code)


def _check_hook_arguments(strategy_file, name, hook):
    """A hook that cannot take the run's arguments is refused at load time, with its file and line."""
    try:
        signature = inspect.signature(hook)
    except (TypeError, ValueError):  # no signature to check (some built-in callables)
        return
    expected = HOOK_ARGUMENTS[name]
    try:
        signature.bind(*expected)
    except TypeError:
        code = getattr(hook, "__code__", None)
        if code is None:
            where = ""
        elif os.path.abspath(code.co_filename) == os.path.abspath(strategy_file):
            where = " line {}".format(code.co_firstlineno)
        else:
            where = " ({} line {})".format(code.co_filename, code.co_firstlineno)
        raise StrategyLoadError("strategy file {}{}: {}{} must take ({}), the arguments the run passes".format(
            strategy_file, where, name, signature, ", ".join(expected))) from None


def _strategy_exit(exc, strategy_file):
    where = _strategy_frame_line(exc.__traceback__, strategy_file)
    if where is None:
        return StrategyExitError("the run was ended by sys.exit({}) outside the strategy file {}".format(
            _exit_code_text(exc), strategy_file))
    return StrategyExitError("strategy file {} line {} (in {}) called sys.exit({}); a strategy cannot end the "
                             "run that way".format(strategy_file, where[0], where[1], _exit_code_text(exc)))


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


def _trading_days(env):
    base = env.config.base
    cal = env.data_source.get_trading_calendars()[TRADING_CALENDAR_TYPE.EXCHANGE]
    first, last = cal[0].date(), cal[-1].date()
    where = getattr(env.data_source, "_path", None)
    bundle = "the bundle {} covers".format(where) if where else "the bundle covers"
    for key, value in (("base.start_date", base.start_date), ("base.end_date", base.end_date)):
        if not first <= value <= last:
            raise ValueError("{} {} lies outside the trading calendar: {} {} to {}".format(
                key, value, bundle, first, last))
    days = env.data_proxy.get_trading_dates(base.start_date, base.end_date)
    if len(days) == 0:
        raise ValueError("no trading day between base.start_date {} and base.end_date {}".format(
            base.start_date, base.end_date))
    return days


# What the benchmark's prices are: a fund's total return, or an instrument's bar close.
TOTAL_RETURN = "total return (adjusted NAV)"
BAR_CLOSE = "close"


def _fund_total_return(order_book_id):
    """(YYYYMMDDhhmmss stamps, adjusted NAV) of a public fund, or None when the fund data has none."""
    import vexdatac.fund

    frame = vexdatac.fund.get_nav(order_book_id, start_date="20050104", end_date="29991231")
    if frame is None or len(frame) == 0 or "adjusted_net_value" not in frame.columns:
        return None
    prices = frame["adjusted_net_value"].to_numpy(dtype=float)
    if not np.isfinite(prices).any():
        return None
    return np.asarray(convert_date_to_int(pd.DatetimeIndex(frame.index)), dtype=np.int64), prices


def _benchmark_prices(env, benchmark):
    """(stamps, prices, basis) of the benchmark, or None without one.

    A public fund is measured by its adjusted NAV, the total return with
    every distribution reinvested, whatever NAV the strategy trades at: its
    unit NAV falls on every dividend and split, which its holder does not
    lose.  Any other instrument is measured by its day bars' close.
    """
    if not benchmark:
        return None
    instrument = env.get_instrument(benchmark)
    if instrument is None:
        raise ValueError("base.benchmark: unknown instrument {!r}".format(benchmark))
    if getattr(instrument, "type", None) == INSTRUMENT_TYPE.PUBLIC_FUND:
        total_return = _fund_total_return(benchmark)
        if total_return is not None:
            return total_return + (TOTAL_RETURN,)
        system_log.warning("benchmark %s has no adjusted NAV; it is measured by its bars' close", benchmark)
    bars = env.data_proxy.get_bars(benchmark)
    if bars is None or len(bars) == 0:
        system_log.warning("benchmark %s has no bars; benchmark figures will be empty", benchmark)
        return np.empty(0, dtype=np.int64), np.empty(0), BAR_CLOSE
    return bars["datetime"].astype(np.int64), bars["close"].astype(float), BAR_CLOSE


def _benchmark_series(prices, trading_days):
    """(price on each trading day or NaN, price before the first day or None)."""
    stamps, values = (prices[0], prices[1]) if prices is not None else (np.empty(0, dtype=np.int64), None)
    if len(stamps) == 0:
        return pd.Series(np.nan, index=trading_days, name="benchmark"), None
    keys = convert_date_to_int(pd.DatetimeIndex(trading_days))
    pos = np.searchsorted(stamps, keys)
    inside = pos < len(stamps)
    hit = np.zeros(len(keys), dtype=bool)
    hit[inside] = stamps[pos[inside]] == keys[inside]
    close = np.full(len(keys), np.nan)
    close[hit] = values[pos[hit]]
    before = int(pos[0]) - 1 if len(pos) else -1
    base = float(values[before]) if before >= 0 else None
    return pd.Series(close, index=pd.DatetimeIndex(trading_days, name="date"), name="benchmark"), base


def describe_order(order):
    """``order 3: SELL 100 units of 000001`` / ``order 1: BUY 000002 for 10,000.00``, for log lines."""
    side = str(order.side)
    amount = getattr(order, "cash_amount", None)
    if amount is not None:
        return "order {}: {} {} for {:,.2f}".format(order.order_id, side, order.order_book_id, amount)
    units = "{:,.4f}".format(float(order.quantity)).rstrip("0").rstrip(".")
    return "order {}: {} {} units of {}".format(order.order_id, side, units, order.order_book_id)


def _log_order_outcome(event):
    """Refusals show up in the log as they happen, not only in the orders table after the run."""
    order = getattr(event, "order", None)
    if order is None:
        return
    if order.status == ORDER_STATUS.REJECTED:
        system_log.warning("%s rejected: %s", describe_order(order), (order.message or "").strip())
    elif order.status == ORDER_STATUS.CANCELLED:
        system_log.info("%s cancelled: %s", describe_order(order), (order.message or "").strip())


def _warn_delisted_holdings(env, last_day):
    """Say which holdings outlived their instrument: they are valued at their last price to the end."""
    for account in env.portfolio.accounts.values():
        for order_book_id, position in account.positions.items():
            if not position.quantity:
                continue  # only cash or units still owed to it: nothing is stuck
            delisted = getattr(env.get_instrument(order_book_id), "de_listed_date", None)
            if delisted is None:
                continue
            if isinstance(delisted, _dt.datetime):
                delisted = delisted.date()
            elif not isinstance(delisted, _dt.date):
                delisted = pd.Timestamp(delisted).date()
            if delisted >= last_day:
                continue
            system_log.warning("%s is still held at the end of the run but was delisted on %s: its %s units keep "
                               "their last price (worth %s) and no order could trade them after its last bar",
                               order_book_id, delisted, "{:,.4f}".format(position.quantity).rstrip("0").rstrip("."),
                               "{:,.2f}".format(position.equity))


def _tune_collector():
    """Collect cyclic garbage less eagerly for the day loop; returns the function that puts things back.

    What the loop allocates lives on (bars, positions, the recorded rows) and holds hardly any cycles,
    yet every full collection walks all of it.  What exists before the loop is set aside (frozen) and
    the generations' thresholds are raised; afterwards both are as they were.
    """
    if not gc.isenabled():
        return lambda: None
    thresholds = gc.get_threshold()
    # Objects someone else froze stay as they are: only a freeze of our own is undone.
    freeze = gc.get_freeze_count() == 0
    if freeze:
        gc.freeze()
    gc.set_threshold(max(thresholds[0], 10_000), max(thresholds[1], 50), max(thresholds[2], 50))

    def restore():
        gc.set_threshold(*thresholds)
        if freeze:
            gc.unfreeze()

    return restore


def _progress(days, enabled, label="backtest"):
    if not enabled:
        return days, None
    from tqdm import tqdm

    bar = tqdm(days, total=len(days), unit="day", desc=label, file=sys.stderr, leave=False,
               dynamic_ncols=True)
    return bar, bar


def _check_accounts_plugin(config):
    """Fund orders need the accounts plug-in: without it they fill and charge fees while cash never moves."""
    mods = config.mod
    if mods.get("fund", {}).get("enabled", False) and not mods.get("sys_accounts", {}).get("enabled", False):
        raise ValueError("mod.sys_accounts.enabled is false, but the fund plug-in (mod.fund) books its "
                         "subscriptions, redemptions, fees and dividends on the accounts that sys_accounts keeps: "
                         "switch sys_accounts on, or the fund plug-in off (mod.fund.enabled: false)")


def run(config, strategy_file, progress=False, title=None):
    """Backtest ``strategy_file`` under ``config`` (dict or YAML path); returns a :class:`RunResult`.

    ``progress`` shows a progress bar over the trading days on stderr.
    """
    config = load_config(config)
    # A broken strategy file is reported before any plug-in loads its data.
    check_strategy_file(strategy_file)
    _check_accounts_plugin(config)
    env = Environment(config)
    _order_ids.reset()
    _trade_ids.reset()
    for key in unknown_plugin_keys(config):
        section = key.split(".")[1]
        system_log.warning("%s is not a setting of the plug-in and is ignored (its settings: %s)", key,
                           ", ".join(load_default_config()["mod"][section]))
    handler = ModHandler()
    handler.set_env(env)
    exception = None
    registered_apis = api.snapshot()
    try:
        handler.start_up()
        _setup(env)
        bus = env.event_bus
        trading_days = _trading_days(env)
        # Said once the dates are known to be good, and before anything of the strategy runs.
        outside = outside_fund_data(config, "run")
        if outside:
            system_log.warning("%s", outside)
        benchmark_id = config.base.get("benchmark")
        benchmark_prices = _benchmark_prices(env, benchmark_id)
        recorder = DailyRecorder(env)
        recorder.start()
        for event_type in (EVENT.ORDER_CREATION_REJECT, EVENT.ORDER_UNSOLICITED_UPDATE):
            bus.add_listener(event_type, _log_order_outcome)
        _set_clock(env, trading_days[0].date(), MARKET_OPEN)
        bus.publish_event(Event(EVENT.POST_SYSTEM_INIT))
        strategy = _load_strategy(strategy_file)
        context = Context(env)
        bar_dict = BarDict(env)
        strategy["init"](context)
        bus.publish_event(Event(EVENT.POST_USER_INIT))

        before_trading, handle_bar, after_trading = (strategy["before_trading"], strategy["handle_bar"],
                                                     strategy["after_trading"])
        publish = bus.publish_event
        start_value = sum(float(v) for v in config.base.accounts.values())
        days, bar = _progress(trading_days, progress, os.path.basename(strategy_file))
        restore_collector = _tune_collector()
        try:
            for ts in days:
                day = ts.date()
                _set_clock(env, day, MARKET_OPEN)
                publish(Event(EVENT.BEFORE_TRADING, trading_date=day))
                before_trading(context)
                _set_clock(env, day, MARKET_CLOSE)
                handle_bar(context, bar_dict)
                publish(Event(EVENT.BAR, trading_date=day))
                publish(Event(EVENT.AFTER_TRADING, trading_date=day))
                after_trading(context)
                publish(Event(EVENT.SETTLEMENT, trading_date=day))
                publish(Event(EVENT.POST_SETTLEMENT, trading_date=day))
                recorder.record_day(day)
                if bar is not None:
                    # The simulated day and the return so far; tqdm redraws at most ~10 times a second.
                    bar.set_postfix_str("{} {:+.2%}".format(day, recorder.total_value / start_value - 1.0)
                                        if start_value else str(day), refresh=False)
        finally:
            restore_collector()
            if bar is not None:
                bar.close()

        _warn_delisted_holdings(env, trading_days[-1].date())
        # The bars were for the days just run: let them go before the tables take their memory.
        release = getattr(env.data_proxy, "release_bars", None)
        if release is not None:
            release()
    except SystemExit as exc:
        # sys.exit() in a strategy would end the process with status 0 and no report: a failure, not an exit.
        exception = _strategy_exit(exc, strategy_file)
        raise exception from exc
    except BaseException as exc:
        exception = exc
        raise
    finally:
        api.restore(registered_apis)
        code = 0 if exception is None else 1
        try:
            handler.tear_down(code, exception)
        except Exception:
            if exception is None:
                raise
            system_log.exception("tear_down failed after the run had already failed")

    # The tables are built once the plug-ins are down, so what they held is free for them.  Bars and
    # plug-in data were freed between objects the run keeps: the trim returns those pages first.
    release_free_memory()
    daily = recorder.daily_frame()
    trades = recorder.trades_frame()
    orders = recorder.orders_frame()
    benchmark, benchmark_base = (None, None)
    if benchmark_id:
        benchmark, benchmark_base = _benchmark_series(benchmark_prices, trading_days)
    summary = compute_summary(daily, start_value, trades, config.base.risk_free_rate,
                              None if benchmark is None else benchmark.to_numpy(), benchmark_base,
                              benchmark_id, orders=orders)
    return RunResult(daily=daily, positions=recorder.positions_frame(), trades=trades,
                     orders=orders, summary=summary, benchmark=benchmark,
                     benchmark_base=benchmark_base,
                     benchmark_basis=benchmark_prices[2] if benchmark_prices else None,
                     title=title if title is not None else os.path.basename(strategy_file))
