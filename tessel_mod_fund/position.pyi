"""Fund position with subscription and redemption queues (compiled module)."""
import datetime as _dt
from datetime import date as date, datetime as datetime
from functools import lru_cache as lru_cache
from typing import Any

import pandas as pd

from tessel.const import (INSTRUMENT_TYPE as INSTRUMENT_TYPE, POSITION_EFFECT as POSITION_EFFECT, SIDE as SIDE,
                          TRADING_CALENDAR_TYPE as TRADING_CALENDAR_TYPE)
from tessel.environment import Environment as Environment
from tessel.mod.tessel_mod_sys_accounts.position_model import (StockPosition as StockPosition,
                                                               StockPositionProxy as StockPositionProxy)
from tessel.model.trade import Trade as Trade
from tessel.portfolio.position import Position as Position
from tessel.utils.datetime_func import convert_date_to_date_int as convert_date_to_date_int

class _LruCached:
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def cache_clear(self) -> None: ...
    def cache_info(self) -> tuple[int, int, int | None, int]: ...

# (arrival datetime, units) or (arrival datetime, cash); a restored state may
# hold two-element lists instead of tuples.
_QueueEntry = tuple[_dt.datetime, float] | list[Any]

class _CachedProperty(property):
    fget: _LruCached  # type: ignore[assignment]

class FundPosition(StockPosition):
    """
    _quantity: 预期持仓份额 = 已到账份额 + 未到账份额
    _old_quantity: _logical_old_quantity + 今日对昨仓的操作
    _logical_old_quantity: 今日开盘时已到账的份额
    """

    __instrument_types__: tuple[INSTRUMENT_TYPE, ...]
    subscription_receiving_days: int
    redemption_receiving_days: int
    _able_dividend: Any
    subscribe_queue: list[_QueueEntry]
    redeem_queue: list[_QueueEntry]
    fund_dividend_reinvestment: bool
    accrued_daily: bool | None
    _env: Environment
    def __init__(self, order_book_id: str, direction: Any, init_quantity: float = 0,
                 init_price: float | None = None) -> None: ...
    @property
    def equity(self) -> float:
        """净值 = 预期持仓金额 + 赎回金额"""
    def get_state(self) -> dict[str, Any]: ...
    def set_state(self, state: dict[str, Any]) -> None: ...
    def apply_trade(self, trade: Trade) -> float: ...
    def before_trading(self, trading_date: _dt.date) -> float: ...
    def _date_to_datetime(self, trading_date: _dt.date) -> _dt.datetime: ...
    def _handle_dividend_book_closure(self, trading_date: _dt.date, data_proxy: Any) -> None: ...
    def _deal_dividend_reinvestment(self, trading_date: _dt.date) -> None: ...
    def _handle_dividend_payable(self, trading_date: _dt.date) -> float: ...
    def _handle_subscribe_units(self, trading_date: _dt.date) -> None:
        """将延期到账的份额增加到账户中"""
    def _handle_redeem_value(self, trading_date: _dt.date) -> float: ...
    def _handle_accrued_daily_fund_dividend(self, trading_date: _dt.date) -> int: ...
    # read-only; its getter is LRU-cached (2 positions): `_accrued_fund.fget.cache_clear()`
    _accrued_fund: _CachedProperty
    def _handle_split(self, trading_date: _dt.date, data_proxy: Any) -> None: ...
    @property
    def receivable_quantity(self) -> float:
        """未到账份额"""
    @property
    def receivable_cash(self) -> float:
        """未到账金额"""
    @property
    def quantity(self) -> float:
        """已到账份额 = 预期持有份额 - 未到账份额"""
    @property
    def closable(self) -> float: ...
    @property
    def today_closable(self) -> float: ...
    def settlement(self, trading_date: _dt.date) -> int: ...

class FundPositionProxy(StockPositionProxy):
    __instrument_types__: tuple[INSTRUMENT_TYPE, ...]
    @property
    def type(self) -> INSTRUMENT_TYPE: ...

# () -> DataFrame with one column "trading_date" (the exchange calendar); LRU, 1 entry
_get_trading_dates: _LruCached
# (order_book_id) -> record array of (trading_date <i8 YYYYMMDD, daily_profit <f8); LRU, 1024 funds
_get_daily_profit: _LruCached
