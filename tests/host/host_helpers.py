"""Small in-test data for the engine tests: a calendar with holidays and simple stores over it."""
import datetime as dt

import numpy as np
import pandas as pd

from tessel.data.base_data_source.storage_interface import (
    AbstractDayBarStore, AbstractDividendStore, AbstractInstrumentStore, AbstractSimpleFactorStore)
from tessel.model import Instrument
from tessel.const import INSTRUMENT_TYPE
from tessel.utils.datetime_func import convert_date_to_int

# January 2020 business days without New Year's Day and a Friday holiday
# (2020-01-10), so lookups cross both a holiday and weekends.
HOLIDAYS = {dt.date(2020, 1, 1), dt.date(2020, 1, 10)}
TRADING_DAYS = [d for d in pd.bdate_range("2020-01-01", "2020-01-31") if d.date() not in HOLIDAYS]


def write_bundle(path, days=TRADING_DAYS):
    path.mkdir(parents=True, exist_ok=True)
    (path / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in days))
    return path


class DictInstrumentStore(AbstractInstrumentStore):
    def __init__(self, instrument_type, entries):
        self._type = instrument_type
        self._entries = {e["order_book_id"]: e for e in entries}

    @property
    def instrument_type(self):
        return self._type

    @property
    def all_id_and_syms(self):
        return list(self._entries)

    def get_instruments(self, id_or_syms):
        keys = self._entries if id_or_syms is None else id_or_syms
        return [Instrument(dict(self._entries[k], type=self._type)) for k in keys if k in self._entries]


class ArrayBarStore(AbstractDayBarStore):
    def __init__(self, bars):
        self._bars = bars

    def get_bars(self, order_book_id):
        return self._bars.get(order_book_id)

    def get_date_range(self, order_book_id):
        b = self._bars[order_book_id]
        return int(b["datetime"][0]), int(b["datetime"][-1])


class RecordDividendStore(AbstractDividendStore):
    def __init__(self, records):
        self._records = records

    def get_dividend(self, order_book_id):
        return self._records.get(order_book_id)


class ArraySplitStore(AbstractSimpleFactorStore):
    def __init__(self, factors):
        self._factors = factors

    def get_factors(self, order_book_id):
        return self._factors.get(order_book_id)


def make_bars(days, closes, statuses=None):
    fields = [("datetime", "<u8"), ("open", "<f8"), ("close", "<f8"), ("prev_close", "<f8")]
    if statuses is not None:
        fields.append(("subscribe_status", "S10"))
    bars = np.empty(len(days), dtype=fields)
    bars["datetime"] = convert_date_to_int(pd.DatetimeIndex(days))
    bars["open"] = bars["close"] = closes
    bars["prev_close"] = np.concatenate([[np.nan], np.asarray(closes, dtype=float)[:-1]])
    if statuses is not None:
        bars["subscribe_status"] = statuses
    return bars


def at(env, day, hour=15):
    """Move the environment's clock to ``day`` (a date text) at ``hour``."""
    moment = pd.Timestamp(day).to_pydatetime().replace(hour=hour)
    env.calendar_dt = env.trading_dt = moment
    return moment


# --- a small market plug-in for whole runs (section lib "host_helpers") ----------------------
#
# Stocks "S1" (close 10, 11, 12, ...) and a deferred-settlement fund "F1"
# (close 1.00, 1.01, ...): units bought arrive the next trading day, cash
# from a sale two trading days later, as with fund subscriptions and
# redemptions.  "IDX" is an index (close 1000, 1010, ...) to benchmark with.
# Settings: ``fund_lag`` (strategy bar lag of the fund type),
# ``refuse_quantity`` (a validator refuses orders of exactly that many units).

S1_CLOSES = 10.0 + np.arange(len(TRADING_DAYS))
F1_CLOSES = 1.0 + 0.01 * np.arange(len(TRADING_DAYS))
IDX_CLOSES = 1000.0 + 10.0 * np.arange(len(TRADING_DAYS))
UNITS_DAYS, CASH_DAYS = 1, 2
# What the market's validator saw: (order_book_id, trading date, env.get_bar close).
VALIDATOR_SEEN = []
# Free for strategies of the tests to write into.
STRATEGY_SEEN = []


def _define_fund_position():
    from tessel.const import SIDE
    from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition

    class DeferredFundPosition(StockPosition):
        __instrument_types__ = (INSTRUMENT_TYPE.PUBLIC_FUND,)

        def __init__(self, order_book_id, direction, init_quantity=0, init_price=None):
            super().__init__(order_book_id, direction, init_quantity, init_price)
            self.subscribe_queue = []
            self.redeem_queue = []

        @property
        def receivable_quantity(self):
            return sum(q for _, q in self.subscribe_queue)

        @property
        def receivable_cash(self):
            return sum(v for _, v in self.redeem_queue)

        @property
        def quantity(self):
            return self._quantity - self.receivable_quantity

        @property
        def closable(self):
            return self.quantity

        @property
        def equity(self):
            return super().equity + self.receivable_cash

        def apply_trade(self, trade):
            cash = super().apply_trade(trade)
            proxy = self._env.data_proxy
            if trade.side == SIDE.BUY:
                arrival = proxy.get_next_trading_date(trade.trading_datetime, UNITS_DAYS).date()
                self.subscribe_queue.append((arrival, trade.last_quantity))
                return cash
            self.redeem_queue.append((proxy.get_next_trading_date(trade.trading_datetime, CASH_DAYS).date(), cash))
            return 0

        def before_trading(self, trading_date):
            delta = super().before_trading(trading_date)
            while self.subscribe_queue and self.subscribe_queue[0][0] <= trading_date:
                self.subscribe_queue.pop(0)
            while self.redeem_queue and self.redeem_queue[0][0] <= trading_date:
                delta += self.redeem_queue.pop(0)[1]
            return delta

    return DeferredFundPosition


class _QuantityValidator:
    def __init__(self, env, refuse_quantity):
        self._env = env
        self._refuse = refuse_quantity

    def validate_submission(self, order, account=None):
        VALIDATOR_SEEN.append((order.order_book_id, self._env.trading_dt.date(),
                               self._env.get_bar(order.order_book_id).close))
        if self._refuse is not None and order.quantity == self._refuse:
            return "test validator refuses orders of {} units".format(self._refuse)
        return None

    def validate_cancellation(self, order, account=None):
        return None


def load_mod():
    from tessel.core.events import EVENT
    from tessel.data.base_data_source import BaseDataSource
    from tessel.interface import AbstractMod
    from tessel.mod.tessel_mod_sys_simulation.matcher import DefaultStockMatcher

    class MarketMod(AbstractMod):
        def start_up(self, env, mod_config):
            base = env.config.base
            if env.data_source is None:
                env.set_data_source(BaseDataSource(base.data_bundle_path, {}, False, base.end_date))
            ds = env.data_source
            for instrument_type, ids, bars in (
                    (INSTRUMENT_TYPE.CS, ["S1"], {"S1": make_bars(TRADING_DAYS, S1_CLOSES)}),
                    (INSTRUMENT_TYPE.PUBLIC_FUND, ["F1"], {"F1": make_bars(TRADING_DAYS, F1_CLOSES)}),
                    (INSTRUMENT_TYPE.INDX, ["IDX"], {"IDX": make_bars(TRADING_DAYS, IDX_CLOSES)})):
                ds.register_instruments_store(DictInstrumentStore(instrument_type, [
                    {"order_book_id": i} for i in ids]))
                ds.register_day_bar_store(instrument_type, ArrayBarStore(bars))
            _define_fund_position()
            env.broker.register_matcher(INSTRUMENT_TYPE.PUBLIC_FUND, DefaultStockMatcher(env))
            env.add_frontend_validator(_QuantityValidator(env, mod_config.get("refuse_quantity")))
            lag = mod_config.get("fund_lag")
            if lag is not None:
                env.event_bus.add_listener(
                    EVENT.POST_SYSTEM_INIT, lambda event: env.set_strategy_bar_lag(INSTRUMENT_TYPE.PUBLIC_FUND, lag))

    VALIDATOR_SEEN.clear()
    STRATEGY_SEEN.clear()
    return MarketMod()


def market_config(bundle, market=None, **base):
    """Run configuration over the test bundle with the market plug-in (fund plug-in off, 0.1 % commission)."""
    return {"base": dict({"data_bundle_path": str(bundle), "start_date": "2020-01-02", "end_date": "2020-01-31",
                          "accounts": {"STOCK": 100000}}, **base),
            "mod": {"fund": {"enabled": False},
                    "sys_simulation": {"commission_rate": 0.001, "min_commission": 0, "tax_rate": 0},
                    "market": dict({"enabled": True, "lib": "host_helpers"}, **(market or {}))}}
