"""A host engine and a fund data client that offer exactly the names the plug-in may rely on, and nothing else.

``install()`` puts modules named ``tessel...`` and ``vexdatac...`` into
``sys.modules`` in place of the real packages.  Each offers only the classes,
functions and attributes listed in the plug-in's host and data-client
contracts; every other name is missing, and a submodule the contracts do
not list cannot be imported.  So a plug-in that reaches for anything else
fails here with an AttributeError or ImportError.

Meant for a fresh interpreter (the plug-in must not have seen the real
engine yet): the contract tests run it in a subprocess.

Behaviour is the simplest that the contract's words allow: a position's
``apply_trade`` moves units and returns price x units (less the trade's
costs) as the cash change, the data proxy answers from the registered
stores, the bar of ``env.get_bar`` is the store's record of the current
trading day.
"""
import abc
import bisect
import datetime as _dt
import enum
import logging
import sys
import types

import numpy as np
import pandas as pd

_PACKAGES = ("tessel", "tessel.data", "tessel.data.base_data_source", "tessel.mod",
             "tessel.mod.tessel_mod_sys_accounts", "tessel.mod.tessel_mod_sys_simulation", "tessel.portfolio",
             "tessel.model", "tessel.core", "tessel.utils", "vexdatac", "vexdatac.share")


def _module(name, **attrs):
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    if name in _PACKAGES:
        module.__path__ = []  # a package whose unlisted submodules are never found
    sys.modules[name] = module
    parent, _, child = name.rpartition(".")
    if parent:
        setattr(sys.modules[parent], child, module)
    return module


# --- tessel.const, tessel.core.events --------------------------------------------------------------
class CustomEnum(str, enum.Enum):
    def __str__(self):
        return self.value


class INSTRUMENT_TYPE(CustomEnum):
    CS = "CS"
    PUBLIC_FUND = "PublicFund"


class SIDE(CustomEnum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(CustomEnum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class RUN_TYPE(CustomEnum):
    BACKTEST = "b"
    PAPER_TRADING = "p"


class DEFAULT_ACCOUNT_TYPE(CustomEnum):
    STOCK = "STOCK"
    FUTURE = "FUTURE"


class TRADING_CALENDAR_TYPE(CustomEnum):
    EXCHANGE = "EXCHANGE"


class EVENT(enum.Enum):
    POST_SYSTEM_INIT = "post_system_init"


# --- tessel.utils -----------------------------------------------------------------------------------
def _ymd(value, with_time):
    if isinstance(value, str):
        value = pd.Timestamp(value)
    if isinstance(value, _dt.date):
        day = value.year * 10000 + value.month * 100 + value.day
        if not with_time:
            return day
        return day * 1000000 + (value.hour * 10000 + value.minute * 100 + value.second
                                if isinstance(value, _dt.datetime) else 0)
    if isinstance(value, pd.Series):
        value = value.dt
    if not hasattr(value, "year"):
        value = pd.DatetimeIndex(value)
    year, month, day = (np.asarray(getattr(value, f), dtype=np.int64) for f in ("year", "month", "day"))
    out = year * 10000 + month * 100 + day
    if with_time:
        seconds = (np.asarray(value.hour, dtype=np.int64) * 10000 + np.asarray(value.minute, dtype=np.int64) * 100
                   + np.asarray(value.second, dtype=np.int64))
        out = out * 1000000 + seconds
    return out


def convert_date_to_int(value):
    return _ymd(value, True)


def convert_date_to_date_int(value):
    return _ymd(value, False)


system_log = logging.getLogger("minimal_host")


# --- tessel.interface, storage interfaces ------------------------------------------------------------
class AbstractMod(metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def start_up(self, env, mod_config):
        raise NotImplementedError

    def tear_down(self, code, exception=None):
        pass


class AbstractFrontendValidator(metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def validate_submission(self, order, account=None):
        raise NotImplementedError

    @abc.abstractmethod
    def validate_cancellation(self, order, account=None):
        raise NotImplementedError


class AbstractTransactionCostDecider(metaclass=abc.ABCMeta):
    pass


class AbstractDayBarStore(metaclass=abc.ABCMeta):
    pass


class AbstractInstrumentStore(metaclass=abc.ABCMeta):
    pass


class AbstractDividendStore(metaclass=abc.ABCMeta):
    pass


class AbstractSimpleFactorStore(metaclass=abc.ABCMeta):
    pass


# --- data source and proxy ------------------------------------------------------------------------------
class BaseDataSource:
    calendar = None  # DatetimeIndex of trading days, set by the test before start-up

    def __init__(self, path, future_info, futures_time_series_trading_parameters, end_date):
        self.args = (path, future_info, futures_time_series_trading_parameters, end_date)
        self.instrument_stores = []
        self.day_bar_stores = {}
        self.dividend_stores = {}
        self.split_stores = {}

    def register_instruments_store(self, store):
        self.instrument_stores.append(store)

    def register_day_bar_store(self, instrument_type, store):
        self.day_bar_stores[instrument_type] = store

    def register_dividend_store(self, instrument_type, store):
        self.dividend_stores[instrument_type] = store

    def register_split_store(self, instrument_type, store):
        self.split_stores[instrument_type] = store

    def get_trading_calendars(self):
        return {TRADING_CALENDAR_TYPE.EXCHANGE: BaseDataSource.calendar}


class DataProxy:
    def __init__(self, env):
        self._env = env

    def _source(self):
        return self._env.data_source

    def _days(self):
        return [ts.date() for ts in BaseDataSource.calendar]

    def instruments(self, order_book_id):
        for store in self._source().instrument_stores:
            for instrument in store.get_instruments([order_book_id]):
                return instrument
        return None

    def get_next_trading_date(self, date, n=1):
        days = self._days()
        pos = bisect.bisect_right(days, pd.Timestamp(date).date()) + int(n) - 1
        return pd.Timestamp(days[pos])

    def get_previous_trading_date(self, date, n=1):
        days = self._days()
        return pd.Timestamp(days[bisect.bisect_left(days, pd.Timestamp(date).date()) - n])

    def get_dividend_by_book_date(self, order_book_id, date):
        store = self._source().dividend_stores[self.instruments(order_book_id).type]
        table = store.get_dividend(order_book_id)
        if table is None or len(table) == 0:
            return None
        hit = table[table["book_closure_date"] == convert_date_to_date_int(date)]
        return hit if len(hit) else None

    def get_split_by_ex_date(self, order_book_id, date):
        store = self._source().split_stores[self.instruments(order_book_id).type]
        factors = store.get_factors(order_book_id)
        if factors is None or len(factors) == 0:
            return None
        hit = factors[factors["ex_date"] == convert_date_to_int(date)]
        return float(np.prod(hit["split_factor"])) if len(hit) else None


class _EventBus:
    def __init__(self):
        self.listeners = {}

    def add_listener(self, event, function):
        self.listeners.setdefault(event, []).append(function)


class Environment:
    _instance = None

    def __init__(self, config):
        Environment._instance = self
        self.config = config
        self.data_source = None
        self.broker = None
        self.event_bus = _EventBus()
        self.mod_dict = {}
        self.trading_dt = None
        self.data_proxy = None
        self.cost_deciders = {}
        self.validators = []

    @classmethod
    def get_instance(cls):
        return cls._instance

    def set_data_source(self, data_source):
        self.data_source = data_source
        self.data_proxy = DataProxy(self)

    def set_broker(self, broker):
        self.broker = broker

    def set_transaction_cost_decider(self, instrument_type, decider):
        self.cost_deciders[instrument_type] = decider

    def add_frontend_validator(self, validator, instrument_type):
        self.validators.append((validator, instrument_type))

    hidden_attributes = frozenset()  # instrument attributes this host does not hand out

    def get_instrument(self, order_book_id):
        instrument = self.data_proxy.instruments(order_book_id)
        if instrument is None or not self.hidden_attributes:
            return instrument
        return types.SimpleNamespace(**{name: getattr(instrument, name) for name in dir(instrument)
                                        if not name.startswith("_") and name not in self.hidden_attributes})

    def get_bar(self, order_book_id):
        store = self.data_source.day_bar_stores[self.get_instrument(order_book_id).type]
        bars = store.get_bars(order_book_id)
        hit = bars[bars["datetime"] == convert_date_to_int(self.trading_dt.date())]
        if not len(hit):
            return None
        # The host hands out status texts as texts, so they equal the status members.
        return types.SimpleNamespace(**{name: value.decode() if isinstance(value, bytes) else value
                                        for name, value in zip(hit.dtype.names, hit[0].tolist())})


class SimulationBroker:
    def __init__(self, env, config):
        self.env = env
        self.config = config
        self.matchers = {}

    def register_matcher(self, instrument_type, matcher):
        self.matchers[instrument_type] = matcher


# --- positions and trades ------------------------------------------------------------------------------
class Position:
    def __init__(self, order_book_id, direction, init_quantity=0, init_price=None):
        self._env = Environment.get_instance()
        self._quantity = init_quantity
        self._old_quantity = init_quantity
        self._logical_old_quantity = init_quantity
        self._avg_price = init_price or 0.0
        self._prev_close = init_price
        self._price = init_price

    def before_trading(self, trading_date):
        return 0


class StockPosition(Position):
    by_type = {}

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        for instrument_type in cls.__dict__.get("__instrument_types__", ()):
            StockPosition.by_type[instrument_type] = cls

    def __init__(self, order_book_id, direction, init_quantity=0, init_price=None):
        super().__init__(order_book_id, direction, init_quantity, init_price)
        self._dividend_receivable = None

    def get_state(self):
        return {"quantity": self._quantity, "avg_price": self._avg_price}

    def set_state(self, state):
        self._quantity = self._old_quantity = self._logical_old_quantity = state["quantity"]
        self._avg_price = state["avg_price"]

    def apply_trade(self, trade):
        cost = trade.commission + trade.tax
        value = trade.last_price * trade.last_quantity
        if trade.side == SIDE.BUY:
            self._quantity += trade.last_quantity
            return -value - cost
        self._quantity -= trade.last_quantity
        return value - cost

    @property
    def last_price(self):
        return self._price

    @property
    def prev_close(self):
        return self._prev_close

    @property
    def equity(self):
        receivable = self._dividend_receivable[1] if self._dividend_receivable else 0
        return self._quantity * self._price + receivable

    def mark_to(self, price):
        """The host's daily price update (what the contract calls last_price / prev_close)."""
        self._prev_close = self._price
        self._price = price


class StockPositionProxy:
    pass


class Trade:
    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect, order_book_id):
        trade = cls()
        trade.order_id, trade.last_price, trade.last_quantity = order_id, price, amount
        trade.side, trade.position_effect, trade.order_book_id = side, position_effect, order_book_id
        trade.trading_datetime = Environment.get_instance().trading_dt
        trade.commission = trade.tax = 0.0
        return trade


class Order:
    def __init__(self, order_book_id, side, fee=0.0):
        self.order_book_id, self.side, self.fee = order_book_id, side, fee


class Instrument:
    def __init__(self, dic):
        self.__dict__.update(dic)


# --- the fund data client ----------------------------------------------------------------------------------
class BadRequest(Exception):
    pass


class _Fund:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class FundData:
    """The tables the fake client serves, set by the test before start-up."""

    funds = []       # dicts: order_book_id, symbol, listed_date, de_listed_date, optional extras
    nav = {}         # id -> DataFrame indexed by date
    status = {}      # id -> DataFrame indexed by date (subscribe_status, redeem_status)
    dividends = []   # dicts: order_book_id, ex_dividend_date, book_closure_date, payable_date, dividend_before_tax
    splits = {}      # id -> [(ex date, ratio)]


def all_instruments():
    return pd.DataFrame({"order_book_id": [f["order_book_id"] for f in FundData.funds]})


def instruments(order_book_ids):
    wanted = set(order_book_ids)
    return [_Fund(**f) for f in FundData.funds if f["order_book_id"] in wanted]


def get_nav(order_book_id, start_date=None, end_date=None):
    return FundData.nav.get(order_book_id)


def get_transaction_status(order_book_id, start_date=None, end_date=None):
    frame = FundData.status.get(order_book_id)
    if frame is None:
        return None
    return frame.set_index(pd.Index([order_book_id] * len(frame), name="order_book_id"), append=True)


def get_dividend(order_book_ids):
    rows = [d for d in FundData.dividends if d["order_book_id"] in set(order_book_ids)]
    if not rows:
        return None
    frame = pd.DataFrame(rows)
    for column in ("ex_dividend_date", "book_closure_date", "payable_date"):
        frame[column] = pd.to_datetime(frame[column])
    return frame.set_index(["order_book_id", "ex_dividend_date"])


def get_split(order_book_id):
    rows = FundData.splits.get(order_book_id, [])
    return pd.DataFrame({"split_ratio": [r for _, r in rows]},
                        index=pd.DatetimeIndex([d for d, _ in rows], name="ex_dividend_date"))


def install():
    """Put the contract-only modules in place of the real engine and client."""
    for name in sys.modules:
        if name.split(".")[0] in ("tessel", "vexdatac", "tessel_mod_fund"):
            raise RuntimeError("install() must run before anything imports {}".format(name))
    for name in _PACKAGES:
        _module(name)
    _module("tessel.interface", AbstractMod=AbstractMod, AbstractFrontendValidator=AbstractFrontendValidator,
            AbstractTransactionCostDecider=AbstractTransactionCostDecider)
    _module("tessel.data.base_data_source.storage_interface", AbstractDayBarStore=AbstractDayBarStore,
            AbstractInstrumentStore=AbstractInstrumentStore, AbstractDividendStore=AbstractDividendStore,
            AbstractSimpleFactorStore=AbstractSimpleFactorStore)
    sys.modules["tessel.data.base_data_source"].BaseDataSource = BaseDataSource
    _module("tessel.environment", Environment=Environment)
    _module("tessel.mod.tessel_mod_sys_accounts.position_model", StockPosition=StockPosition,
            StockPositionProxy=StockPositionProxy)
    _module("tessel.portfolio.position", Position=Position)
    _module("tessel.model.trade", Trade=Trade)
    _module("tessel.model.order", Order=Order)
    _module("tessel.model.instrument", Instrument=Instrument)
    _module("tessel.const", INSTRUMENT_TYPE=INSTRUMENT_TYPE, SIDE=SIDE, POSITION_EFFECT=POSITION_EFFECT,
            RUN_TYPE=RUN_TYPE, DEFAULT_ACCOUNT_TYPE=DEFAULT_ACCOUNT_TYPE,
            TRADING_CALENDAR_TYPE=TRADING_CALENDAR_TYPE, CustomEnum=CustomEnum)
    _module("tessel.core.events", EVENT=EVENT)
    _module("tessel.utils.datetime_func", convert_date_to_int=convert_date_to_int,
            convert_date_to_date_int=convert_date_to_date_int)
    _module("tessel.utils.logger", system_log=system_log)
    _module("tessel.mod.tessel_mod_sys_simulation.simulation_broker", SimulationBroker=SimulationBroker)
    _module("vexdatac.fund", all_instruments=all_instruments, instruments=instruments, get_nav=get_nav,
            get_transaction_status=get_transaction_status, get_dividend=get_dividend, get_split=get_split)
    _module("vexdatac.share.errors", BadRequest=BadRequest)
