"""Shared builders of the matcher tests: a small fund database and a market driver.

The database is imported from CSV files written here, through the data
client's own importer, so the fee tiers reach the matcher the way they do in
a real run: fees table -> fund object -> catalogue instrument.  The market
runs the engine's daily events itself (open, close with the broker's
matching, settlement) so a test can place orders on chosen days and look at
the cash right before and after the matching.
"""
import csv
import datetime as dt

import pandas as pd
import pytest

import vexdatac
from tessel.config import load_config
from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, ORDER_STATUS, SIDE
from tessel.core.events import EVENT, Event
from tessel.environment import MARKET_CLOSE, MARKET_OPEN, Environment
from tessel.mod import ModHandler
from tessel.model.order import Order
from vexdatac.importer import import_csv

# Every weekday is a trading day: calendar days held are then easy to count.
TRADING_DAYS = [d.date() for d in pd.bdate_range("2023-01-02", "2024-06-28")]
SPLIT_DAY = dt.date(2024, 1, 10)
NO_NAV_DAY = dt.date(2024, 1, 4)

EQUITY_FEES = ([(1_000_000, 0.015, None), (5_000_000, 0.010, None), (None, None, 1000)],
               [(7, 0.015), (365, 0.005), (730, 0.0025), (None, 0.0)])
MONEY_FEES = ([(None, 0.0, None)], [(None, 0.0)])

# id -> (fund type, NAV of a day, status limits (sub upper, sub lower, redeem lower), fees)
FUNDS = {
    "100001": ("Stock", lambda d: 1.2345, (None, 10, 10), EQUITY_FEES),
    "100003": ("Hybrid", lambda d: 1.0 + (d - TRADING_DAYS[0]).days / 1000, (None, None, None), EQUITY_FEES),
    "100004": ("Stock", lambda d: 12.5, (50_000, 1000, 100), EQUITY_FEES),
    "100005": ("Stock", lambda d: 2.0 if d < SPLIT_DAY else 1.0, (None, None, None), EQUITY_FEES),
    "100006": ("Money", lambda d: 1.0, (None, None, None), MONEY_FEES),
    "100007": ("Bond", lambda d: 1.05, (None, None, None), None),
    "100008": ("Stock", lambda d: 1.0, (None, None, None), EQUITY_FEES),  # pays DIVIDEND
}
# 100008's dividend: (book closure, ex-dividend, payable, per unit)
DIVIDEND = (dt.date(2024, 2, 5), dt.date(2024, 2, 6), dt.date(2024, 2, 8), 0.1)


def _write(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows([["" if v is None else v for v in row] for row in rows])


class Market:
    """The engine's day, run event by event; orders are placed at the close."""

    def __init__(self, env):
        self.env = env
        self.account = env.portfolio.get_account(DEFAULT_ACCOUNT_TYPE.STOCK)
        self.last_day = None
        self.cash_before = self.cash_after = None
        self.trades = []
        env.event_bus.add_listener(EVENT.TRADE, lambda event: self.trades.append(event.trade))

    @property
    def matcher(self):
        return self.env.broker.get_matcher(INSTRUMENT_TYPE.PUBLIC_FUND)

    def position(self, oid):
        return self.account.positions.get(oid)

    def _run_day(self, day, orders=()):
        env, publish = self.env, self.env.event_bus.publish_event
        env.calendar_dt = env.trading_dt = dt.datetime.combine(day, MARKET_OPEN)
        publish(Event(EVENT.BEFORE_TRADING, trading_date=day))
        env.calendar_dt = env.trading_dt = dt.datetime.combine(day, MARKET_CLOSE)
        placed = [env.broker.submit_order(make()) for make in orders]
        self.cash_before = self.account.cash
        publish(Event(EVENT.BAR, trading_date=day))
        self.cash_after = self.account.cash
        publish(Event(EVENT.AFTER_TRADING, trading_date=day))
        publish(Event(EVENT.SETTLEMENT, trading_date=day))
        publish(Event(EVENT.POST_SETTLEMENT, trading_date=day))
        self.last_day = day
        return placed

    def trade(self, day, *orders):
        """Run up to ``day`` and place ``orders`` (see subscribe/redeem) at its close; returns them."""
        assert day in TRADING_DAYS and (self.last_day is None or day > self.last_day)
        for d in TRADING_DAYS:
            if (self.last_day is None or d > self.last_day) and d < day:
                self._run_day(d)
        return self._run_day(day, orders)

    def cash_moved_by(self, amount):
        """Whether the day's matching changed the cash by exactly ``amount``."""
        return self.cash_after == self.cash_before + amount

    def filled_trade(self, order):
        """The one trade that filled ``order``."""
        assert order.status == ORDER_STATUS.FILLED, order.message
        (trade,) = [t for t in self.trades if t.order_id == order.order_id]
        return trade


def subscribe(oid, amount=None, units=None):
    return lambda: Order.__from_create__(oid, units, SIDE.BUY, cash_amount=amount)


def redeem(oid, units):
    return lambda: Order.__from_create__(oid, units, SIDE.SELL)
