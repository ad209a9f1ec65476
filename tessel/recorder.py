"""What a run writes down as it goes: the daily record, positions, trades and orders.

The recorder listens on the event bus and reads the portfolio once per day
after settlement; it never changes anything.  The position rows are kept
as columns (one float array per number, one list of ids, one day stamp per
day) and the other rows as plain tuples during the run; each table is built
once at the end, so recording costs a few microseconds and a few dozen bytes
per day and position.
"""
import datetime as _dt
import weakref
from array import array

import numpy as np
import pandas as pd

from tessel.const import ORDER_STATUS, SIDE
from tessel.core.events import EVENT

DAILY_COLUMNS = ("cash", "market_value", "receivable_units", "receivable_units_value", "receivable_cash",
                 "dividend_receivable", "total_value", "cash_change")
_TOTAL_VALUE = DAILY_COLUMNS.index("total_value")
POSITION_COLUMNS = ("date", "order_book_id", "quantity", "receivable_quantity", "last_price", "market_value",
                    "equity")
_POSITION_NUMBERS = POSITION_COLUMNS[2:]
TRADE_COLUMNS = ("date", "order_book_id", "side", "position_effect", "price", "quantity", "fee", "cash_amount",
                 "order_id", "trade_id")
ORDER_COLUMNS = ("date", "order_id", "order_book_id", "side", "position_effect", "type", "quantity",
                 "cash_amount", "limit_price", "filled_quantity", "avg_price", "fee", "status", "message")

# An order in one of these states changes no more.
_FINAL_STATUSES = (ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED)

# Events that carry an order; listening to all of them finds orders that a
# plug-in handles without the usual submission path as well.
_ORDER_EVENTS = (EVENT.ORDER_PENDING_NEW, EVENT.ORDER_CREATION_PASS, EVENT.ORDER_CREATION_REJECT,
                 EVENT.ORDER_UNSOLICITED_UPDATE, EVENT.ORDER_CANCELLATION_PASS, EVENT.TRADE)


def _number(value):
    return 0.0 if value is None else float(value)


def _reads_directly(cls):
    """Whether the recorder may read positions of ``cls`` from their fields instead of their properties.

    True when the class keeps the engine's own ``last_price``,
    ``market_value`` and ``dividend_receivable`` (what they compute is then
    known) and has ``receivable_quantity`` and ``receivable_cash`` as
    properties of the class, which no instance attribute can stand in for.
    """
    from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition
    from tessel.portfolio.position import Position

    def data_descriptor(name):
        found = next((c.__dict__[name] for c in cls.__mro__ if name in c.__dict__), None)
        return found is not None and hasattr(type(found), "__set__")

    return (getattr(cls, "last_price", None) is Position.last_price and
            getattr(cls, "market_value", None) is Position.market_value and
            getattr(cls, "dividend_receivable", None) is StockPosition.dividend_receivable and
            all(data_descriptor(name) for name in ("receivable_quantity", "receivable_cash", "equity", "quantity")))


def _day(dt):
    return None if dt is None else pd.Timestamp(dt.date() if hasattr(dt, "date") else dt)


class _DayStamps(dict):
    """``_day`` of naive ``datetime.datetime`` values, made once per value (a day's orders share their time)."""

    def __missing__(self, dt):
        stamp = self[dt] = _day(dt)
        return stamp

    def of(self, dt):
        # Aware times are left to _day: equal instants in two zones can fall on two dates.
        if type(dt) is _dt.datetime and dt.tzinfo is None:
            return self[dt]
        return _day(dt)


class DailyRecorder:
    def __init__(self, env):
        self._env = env
        self._daily = []
        self._dates = []
        # The positions table as columns: the stamp and the ids (in row order) of each recorded day
        # with positions, then one entry per row.  A day whose ids are those of the day before shares
        # its tuple, so a run that holds the same funds keeps their ids once.
        self._position_days = []
        self._position_ids = []
        self._position_numbers = tuple(array("d") for _ in _POSITION_NUMBERS)
        self._positions = None  # the table, once built (see positions_frame)
        self._trades = []
        # Every order seen, in first-seen order: the order itself while it may still change, and from the
        # end of the day it became final its row of the orders table (the order object can then go).
        self._orders = []
        self._live_orders = {}  # id(order) -> (its place in _orders, order), for orders held as objects
        # id(order) -> order, for orders whose row is written, as long as something else keeps them.
        self._written_orders = weakref.WeakValueDictionary()
        self._cash_at_day_start = None
        self._stamps = _DayStamps()
        # position class -> whether its prices and dividend receivable can be read from its fields
        self._direct_reads = {}
        bus = env.event_bus
        bus.add_listener(EVENT.TRADE, self._on_trade)
        for event_type in _ORDER_EVENTS:
            bus.add_listener(event_type, self._on_order_event)

    # --- events ---------------------------------------------------------------------------
    def _on_order_event(self, event):
        order = getattr(event, "order", None)
        if order is None:
            return
        key = id(order)
        if key in self._live_orders or self._written_orders.get(key) is order:
            return
        self._live_orders[key] = (len(self._orders), order)
        self._orders.append(order)

    def _write_final_orders(self):
        """Orders that reached a final state give their rows now; the rows no longer change."""
        live = self._live_orders
        for key in [k for k, (_, order) in live.items() if order.status in _FINAL_STATUSES]:
            place, order = live[key]
            try:
                self._written_orders[key] = order
            except TypeError:  # not weakly referable: kept as it is
                continue
            self._orders[place] = self._order_row(order)
            del live[key]

    def _on_trade(self, event):
        trade = event.trade
        price, quantity, fee = float(trade.last_price), float(trade.last_quantity), float(trade.transaction_cost)
        # Signed cash the trade moves: paid at once for purchases; for sales
        # the proceeds, which may arrive days later (fund redemptions).
        value = price * quantity
        cash_amount = -(value + fee) if trade.side == SIDE.BUY else value - fee
        self._trades.append((self._stamps.of(trade.trading_datetime), trade.order_book_id, str(trade.side),
                             str(trade.position_effect), price, quantity, fee, cash_amount, trade.order_id,
                             trade.exec_id))

    # --- the day --------------------------------------------------------------------------
    def start(self):
        """Called before the first day: the cash the run starts with."""
        self._cash_at_day_start = float(self._env.portfolio.cash)

    def record_day(self, day):
        """Write down ``day`` (a ``datetime.date``) after its settlement."""
        portfolio = self._env.portfolio
        cash = float(portfolio.cash)
        market_value = receivable_units = receivable_units_value = receivable_cash = dividend = equity_sum = 0.0
        stamp = pd.Timestamp(day)
        ids = []
        add_id = ids.append
        add_quantity, add_units_due, add_last_price, add_market_value, add_equity = (
            column.append for column in self._position_numbers)
        direct = self._direct_reads
        for account in portfolio.accounts.values():
            for order_book_id, position in account.positions.items():
                cls = type(position)
                plain = direct.get(cls)
                if plain is None:
                    plain = direct[cls] = _reads_directly(cls)
                if plain:
                    try:
                        # What the properties below read, without their calls (see _reads_directly).
                        price = position._last_price
                        if price is None:
                            price = position._prev_close
                            if price is None:
                                price = position._avg_price
                        last_price = float(price)
                        value = position.receivable_quantity
                        units_due = 0.0 if value is None else float(value)
                        equity = float(position.equity)
                        mv = float(position._quantity * price)
                        value = position.receivable_cash
                        cash_due = 0.0 if value is None else float(value)
                        value = position._dividend_receivable
                        value = value[1] if value else 0
                        dividend_due = 0.0 if value is None else float(value)
                        quantity = float(position.quantity)
                    except AttributeError:
                        plain = False
                if not plain:
                    last_price = float(position.last_price)
                    units_due = _number(getattr(position, "receivable_quantity", 0))
                    equity = float(position.equity)
                    mv = float(position.market_value)
                    cash_due = _number(getattr(position, "receivable_cash", 0))
                    dividend_due = _number(getattr(position, "dividend_receivable", 0))
                    quantity = float(position.quantity)
                market_value += mv
                receivable_units += units_due
                receivable_units_value += units_due * last_price
                receivable_cash += cash_due
                dividend += dividend_due
                equity_sum += equity
                add_id(order_book_id)
                add_quantity(quantity)
                add_units_due(units_due)
                add_last_price(last_price)
                add_market_value(mv)
                add_equity(equity)
        if ids:
            blocks = self._position_ids
            self._position_days.append(stamp)
            day_ids = tuple(ids)
            blocks.append(blocks[-1] if blocks and blocks[-1] == day_ids else day_ids)
        if self._live_orders:
            self._write_final_orders()
        total_value = cash + equity_sum
        self._dates.append(stamp)
        self._daily.append((cash, market_value, receivable_units, receivable_units_value, receivable_cash, dividend,
                            total_value, cash - self._cash_at_day_start))
        self._cash_at_day_start = cash

    # --- tables ---------------------------------------------------------------------------
    def daily_frame(self):
        index = pd.DatetimeIndex(self._dates, name="date")
        return pd.DataFrame(self._daily, index=index, columns=list(DAILY_COLUMNS), dtype=float)

    def positions_frame(self):
        """The positions table: one row per position and recorded day.

        Built once: the columns recorded so far are moved into the table and
        released as they go (a position row is then held once, not twice), and
        later calls return the same table.  Days recorded afterwards are not in
        it.
        """
        if self._positions is not None:
            return self._positions
        if not self._position_ids:
            return pd.DataFrame([], columns=list(POSITION_COLUMNS))
        days = np.empty(len(self._position_days), dtype=object)
        days[:] = self._position_days
        counts = [len(block) for block in self._position_ids]
        rows = sum(counts)
        # The numbers go straight into the one block the table keeps (a frame built from separate
        # columns would copy them into it once more): at a million rows and more that copy counts.
        numbers = np.empty((len(_POSITION_NUMBERS), rows))
        for row, values in zip(numbers, self._position_numbers):
            row[:] = np.frombuffer(values, dtype=np.float64)
            del values[:]
        frame = pd.DataFrame(numbers.T, columns=list(_POSITION_NUMBERS), copy=False)
        del numbers
        ids = np.empty(rows, dtype=object)
        start = 0
        for block in self._position_ids:
            ids[start:start + len(block)] = block
            start += len(block)
        frame.insert(0, "order_book_id", ids)
        frame.insert(0, "date", np.repeat(days, counts))
        self._position_days, self._position_ids = [], []
        self._positions = frame
        return frame

    def trades_frame(self):
        return pd.DataFrame(self._trades, columns=list(TRADE_COLUMNS))

    def _order_row(self, order):
        return (self._stamps.of(order.trading_datetime), order.order_id, order.order_book_id, str(order.side),
                str(order.position_effect), str(order.type), order.quantity, getattr(order, "cash_amount", None),
                order.price, float(order.filled_quantity), float(order.avg_price),
                float(order.transaction_cost or order.fee or 0.0), str(order.status), order.message or "")

    def orders_frame(self):
        rows = [row if type(row) is tuple else self._order_row(row) for row in self._orders]
        frame = pd.DataFrame(rows, columns=list(ORDER_COLUMNS))
        for column in ("quantity", "cash_amount", "limit_price"):
            frame[column] = frame[column].astype(float)
        return frame

    @property
    def total_value(self):
        """The total value of the last recorded day (NaN before the first)."""
        return self._daily[-1][_TOTAL_VALUE] if self._daily else float("nan")

    @property
    def trade_count(self):
        return len(self._trades)
