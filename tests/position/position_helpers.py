"""A small real run around fund positions.

The calendar is a bundle of January and February 2020 business days with
three holidays (New Year's Day, Friday 10 January and Tuesday 21 January), so
arrivals are counted across weekends and holidays.  Funds, bars, dividends
and splits live in simple stores implementing the engine's storage
interfaces and reach the position through the engine's data proxy.
"""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

from tessel.config import load_config
from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from tessel.data.base_data_source import BaseDataSource
from tessel.data.base_data_source.storage_interface import (
    AbstractDayBarStore, AbstractDividendStore, AbstractInstrumentStore, AbstractSimpleFactorStore)
from tessel.environment import Environment
from tessel.model import Instrument
from tessel.model.trade import Trade
from tessel.portfolio.account import Account
from tessel.utils.datetime_func import convert_date_to_int

import tessel_mod_fund.position as position_module

HOLIDAYS = {dt.date(2020, 1, 1), dt.date(2020, 1, 10), dt.date(2020, 1, 21)}
TRADING_DAYS = [d.date() for d in pd.bdate_range("2020-01-01", "2020-02-28") if d.date() not in HOLIDAYS]

DIVIDEND_FIELDS = [("book_closure_date", "<i8"), ("announcement_date", "<i8"),
                   ("dividend_cash_before_tax", "<f8"), ("ex_dividend_date", "<i8"),
                   ("payable_date", "<i8"), ("round_lot", "<f8")]
SPLIT_FIELDS = [("ex_date", "<i8"), ("split_factor", "<f8")]


def d(text):
    return dt.date.fromisoformat(text)


def date_int(day):
    return day.year * 10000 + day.month * 100 + day.day


class FundInstrumentStore(AbstractInstrumentStore):
    def __init__(self, entries):
        self._entries = {e["order_book_id"]: e for e in entries}

    @property
    def instrument_type(self):
        return INSTRUMENT_TYPE.PUBLIC_FUND

    @property
    def all_id_and_syms(self):
        return list(self._entries)

    def get_instruments(self, id_or_syms):
        keys = self._entries if id_or_syms is None else id_or_syms
        return [Instrument(dict(self._entries[k], type=INSTRUMENT_TYPE.PUBLIC_FUND))
                for k in keys if k in self._entries]


class BarStore(AbstractDayBarStore):
    def __init__(self):
        self.bars = {}
        self.calls = []

    def get_bars(self, order_book_id):
        self.calls.append(order_book_id)
        return self.bars.get(order_book_id)

    def get_date_range(self, order_book_id):
        b = self.bars[order_book_id]
        return int(b["datetime"][0]), int(b["datetime"][-1])


class DividendStore(AbstractDividendStore):
    def __init__(self):
        self.records = {}

    def get_dividend(self, order_book_id):
        return self.records.get(order_book_id)


class SplitStore(AbstractSimpleFactorStore):
    def __init__(self):
        self.factors = {}

    def get_factors(self, order_book_id):
        return self.factors.get(order_book_id)


class FundPlugin:
    """What the position needs of the plug-in object kept under mod_dict["fund"]."""

    def __init__(self, bar_store):
        self._bar_store = bar_store

    def get_bars(self, order_book_id):
        return self._bar_store.get_bars(order_book_id)


def nav_bars(days, closes, daily_profit=None):
    fields = [("datetime", "<u8"), ("open", "<f8"), ("close", "<f8"), ("prev_close", "<f8")]
    if daily_profit is not None:
        fields.append(("daily_profit", "<f8"))
    bars = np.empty(len(days), dtype=fields)
    bars["datetime"] = convert_date_to_int(pd.DatetimeIndex(days))
    closes = np.broadcast_to(np.asarray(closes, dtype=float), len(days))
    bars["open"] = bars["close"] = closes
    bars["prev_close"] = np.concatenate([[np.nan], closes[:-1]])
    if daily_profit is not None:
        bars["daily_profit"] = daily_profit
    return bars


def dividend_records(rows, fields=DIVIDEND_FIELDS):
    """rows: dicts of field values; book/ex/payable dates given as dates."""
    out = np.zeros(len(rows), dtype=fields)
    for i, row in enumerate(rows):
        for name, _ in fields:
            value = row.get(name, 1.0 if name == "round_lot" else 0)
            out[name][i] = date_int(value) if isinstance(value, dt.date) else value
    return out.view(np.recarray)


class Run:
    """Environment, stores, one stock account, and helpers to drive days and trades."""

    def __init__(self, env, bar_store, dividend_store, split_store):
        self.env = env
        self.bars = bar_store
        self.dividends = dividend_store
        self.splits = split_store
        self.account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, 1_000_000)

    def position(self, order_book_id="F1", init_quantity=0, init_price=None):
        return position_module.FundPosition(order_book_id, POSITION_DIRECTION.LONG, init_quantity, init_price)

    def at(self, day, hour=15):
        moment = dt.datetime(day.year, day.month, day.day, hour)
        self.env.calendar_dt = self.env.trading_dt = moment
        return moment

    def trade(self, day, order_book_id, side, effect, quantity, price):
        moment = self.at(day)
        return Trade.__from_create__(None, price, quantity, side, effect, order_book_id,
                                     calendar_dt=moment, trading_dt=moment)

    def subscribe(self, day, quantity, price=1.0, order_book_id="F1"):
        return self.trade(day, order_book_id, SIDE.BUY, POSITION_EFFECT.OPEN, quantity, price)

    def redeem(self, day, quantity, price=1.0, order_book_id="F1"):
        return self.trade(day, order_book_id, SIDE.SELL, POSITION_EFFECT.CLOSE, quantity, price)

    def next_day(self, day, n=1):
        return self.env.data_proxy.get_next_trading_date(day, n).date()
