"""What a run writes down as it goes: the daily record, positions, trades and orders.

The recorder listens on the event bus and reads the portfolio once per day
after settlement; it never changes anything.  Every table is kept as
columns while the run goes: the position rows as one float array per
number, one list of ids and one day stamp per day; trades and orders as
float and integer arrays and, for their repeated values (days, ids, sides,
statuses, messages), codes into a table of the distinct values.  Each table
is built once at the end, so recording costs a few microseconds and a few
dozen bytes per row.
"""
import datetime as _dt
import weakref
from array import array
from enum import Enum

import numpy as np
import pandas as pd

from tessel import _native
from tessel.const import ORDER_STATUS, SIDE, CustomEnum
from tessel.core.events import EVENT
from tessel.model.trade import Trade

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

# What each column of the trades and orders tables is when its values are regular, and how it is kept.
_TRADE_KINDS = {"date": ("day", lambda: _Codes()), "order_book_id": ("text", lambda: _Codes()),
                "side": ("text", lambda: _Codes()), "position_effect": ("text", lambda: _Codes()),
                "price": ("float", lambda: _Floats()),
                "quantity": ("float", lambda: _Floats()),
                "fee": ("float", lambda: _Floats()),
                "cash_amount": ("float", lambda: _Floats()),
                "order_id": ("int", lambda: _Numbers("q", _INTS)), "trade_id": ("int", lambda: _Numbers("q", _INTS))}
_ORDER_KINDS = {"date": ("day", lambda: _Codes()), "order_id": ("int", lambda: _Numbers("q", _INTS)),
                "order_book_id": ("text", lambda: _Codes()), "side": ("text", lambda: _Codes()),
                "position_effect": ("text", lambda: _Codes()), "type": ("text", lambda: _Codes()),
                "quantity": ("float", lambda: _float_or_none()), "cash_amount": ("float", lambda: _float_or_none()),
                "limit_price": ("float", lambda: _float_or_none()),
                "filled_quantity": ("float", lambda: _Floats()),
                "avg_price": ("float", lambda: _Floats()),
                "fee": ("float", lambda: _Floats()),
                "status": ("text", lambda: _Codes()), "message": ("text", lambda: _Codes())}

# An order in one of these states changes no more.
_FINAL_STATUSES = (ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED)
_FILLED, _REJECTED, _CANCELLED = _FINAL_STATUSES
_BUY = SIDE.BUY

# Enumeration classes whose members' text is their value (str(member) as CustomEnum defines it), so the
# recorder reads the value instead of calling __str__; filled in as members are met.
_TEXT_IS_VALUE = {}


def _text(value):
    """``str(value)``; a member of one of the engine's enumerations gives its value without a call."""
    kind = type(value)
    plain = _TEXT_IS_VALUE.get(kind)
    if plain is None:
        plain = _TEXT_IS_VALUE[kind] = (isinstance(value, Enum) and isinstance(value, str) and
                                        kind.__str__ is _ENUM_TEXT)
    return value._value_ if plain else str(value)

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


# --- compact columns for the trades and orders tables ------------------------------------------

class _Irregular(Exception):
    """A value the compact form of its column does not keep; the column holds its values as they are."""


class _CodeTable(dict):
    """A ``str`` text, or ``(id(value),)`` for any other value -> its code; a key not seen yet gets the next
    code and its value (the text itself, else ``pending``) joins ``values``."""

    __slots__ = ("values", "pending")

    def __init__(self, values):
        super().__init__()
        self.values = values
        self.pending = None

    def __missing__(self, key):
        value = key if type(key) is str else self.pending
        code = self[key] = len(self.values)
        self.values.append(value)
        return code


class _Codes:
    """A column of repeated values (dates, ids, texts) as codes into a table of the distinct values.

    Texts of type ``str`` share a code with every equal text; any other
    value (a day stamp, None) is kept as that very object, found again by
    identity, so the table gives back exactly what was added.  A text
    already seen is coded without a call: ``codes.append(code_of[text])``
    (see _append_row).
    """

    __slots__ = ("codes", "values", "_code_of")

    def __init__(self):
        self.codes = array("i")
        self.values = []
        self._code_of = _CodeTable(self.values)

    def append(self, value):
        table = self._code_of
        if type(value) is str:
            self.codes.append(table[value])
        else:
            table.pending = value
            self.codes.append(table[(id(value),)])

    def __len__(self):
        return len(self.codes)

    def truncate(self, rows):
        del self.codes[rows:]

    def objects(self, order=None):
        """The column's values as an object array (in ``order``, an index array, when given)."""
        table = np.empty(len(self.values), dtype=object)
        for code, value in enumerate(self.values):
            table[code] = value
        codes = np.frombuffer(self.codes, dtype=np.int32) if len(self.codes) else np.empty(0, dtype=np.int32)
        return table[codes if order is None else codes[order]]

    def plain(self, kind):
        """Whether the table built from these values gives the column the dtype ``kind`` stands for.

        ``"text"``: all of type ``str``; ``"day"``: all tz-naive Timestamps
        of one unit.  Other mixes are left to the table of rows.
        """
        if kind == "text":
            return all(type(v) is str for v in self.values)
        return (all(type(v) is pd.Timestamp and v.tzinfo is None for v in self.values)
                and len({getattr(v, "unit", None) for v in self.values}) <= 1)


class _Numbers:
    """A column of numbers: float64 (None read as NaN) or int64, as values of exactly those kinds arrive.

    The first value of another kind turns it into a plain list of the
    values (floats already kept stay floats; a NaN stood for None).
    """

    __slots__ = ("_array", "_list", "_kinds", "_none")

    def __init__(self, typecode, kinds, none=False):
        self._array = array(typecode)
        self._list = None
        self._kinds = kinds
        self._none = none  # whether None is kept (as NaN)

    def append(self, value):
        if self._list is not None:
            self._list.append(value)
            return
        kind = type(value)
        try:
            if kind in self._kinds:
                self._array.append(value)
                return
            if value is None and self._none:
                self._array.append(_NAN)
                return
        except OverflowError:  # an int outside int64
            pass
        self._list = self._array.tolist()
        self._array = None
        self._list.append(value)

    def __len__(self):
        return len(self._array) if self._list is None else len(self._list)

    def truncate(self, rows):
        del (self._array if self._list is None else self._list)[rows:]

    @property
    def regular(self):
        return self._list is None

    def numbers(self, order=None):
        dtype = np.float64 if self._array.typecode == "d" else np.int64
        values = np.frombuffer(self._array, dtype=dtype) if len(self._array) else np.empty(0, dtype=dtype)
        return values.copy() if order is None else values[order]

    def objects(self, order=None):
        values = self._array.tolist() if self._list is None else self._list
        if order is None:
            return values
        return [values[i] for i in order.tolist()]


class _Floats(_Numbers):
    """A column of values that are floats by construction (``float(...)`` of something): appended in C."""

    __slots__ = ("append",)

    def __init__(self):
        super().__init__("d", _FLOATS)
        self.append = self._array.append


_NAN = float("nan")
_ENUM_TEXT = CustomEnum.__str__
_FLOATS = (float,)
_INTS = (int,)
_FLOAT_OR_INT = (float, int, np.float64)


def _float_or_none():
    return _Numbers("d", _FLOAT_OR_INT, none=True)


def _row_appenders(columns):
    """For each column: (its append, for a column of codes the append of its codes and its table, for a
    column of numbers the column)."""
    return tuple((column.append, column.codes.append, column._code_of, None) if isinstance(column, _Codes)
                 else (column.append, None, None, column) if type(column) is _Numbers
                 else (column.append, None, None, None) for column in columns)


def _append_row(appenders, values):
    """Appends one row of ``values`` to the columns of ``appenders`` (see _row_appenders)."""
    for (append, append_code, table, numbers), value in zip(appenders, values):
        if table is not None:
            # _Codes.append, without its call
            if type(value) is str:
                append_code(table[value])
            else:
                table.pending = value
                append_code(table[(id(value),)])
            continue
        elif numbers is not None and numbers._list is None:
            # _Numbers.append of a value of its kind (or None read as NaN), without its call
            if type(value) in numbers._kinds:
                try:
                    numbers._array.append(value)
                    continue
                except OverflowError:  # the column takes it as it is
                    pass
            elif value is None and numbers._none:
                numbers._array.append(_NAN)
                continue
        append(value)


def _table(columns, kinds, order=None):
    """The table of ``columns`` (name -> column) as the table of their rows would be.

    ``kinds`` names, for each column, what the table of rows makes of it
    when its values are regular: "float" (float64), "int" (int64), "text",
    "day".  Columns of those make the table directly; anything else (and
    no rows) is built from the rows, exactly as before columns were kept.
    """
    names = list(columns)
    rows = len(columns[names[0]])
    regular = rows > 0 and all(
        column.plain(kinds[name]) if isinstance(column, _Codes) else column.regular
        for name, column in columns.items())
    if not regular:
        values = [column.objects(order) if isinstance(column, _Numbers) else column.objects(order).tolist()
                  for column in columns.values()]
        return pd.DataFrame(list(zip(*values)), columns=names)
    data = {name: column.objects(order) if isinstance(column, _Codes) else column.numbers(order)
            for name, column in columns.items()}
    return pd.DataFrame(data, columns=names)


def position_rows(accounts, direct):
    """The positions part of a day's record, read from ``accounts`` (a list, in order).

    Returns (ids, number columns, sums): the ids of every position as a
    tuple, the columns quantity, receivable_quantity, last_price,
    market_value and equity as float64 bytes in the same order, and the
    sums of market value, receivable units, their value, receivable cash,
    dividends receivable and equity.  ``direct`` maps a position class to
    whether its fields may be read instead of its properties (filled on
    the way).  This is the reference of the native loop the recorder uses.
    """
    market_value = receivable_units = receivable_units_value = receivable_cash = dividend = equity_sum = 0.0
    ids = []
    add_id = ids.append
    day_numbers = tuple(array("d") for _ in _POSITION_NUMBERS)
    add_quantity, add_units_due, add_last_price, add_market_value, add_equity = (
        column.append for column in day_numbers)
    for account in accounts:
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
    return (tuple(ids), tuple(column.tobytes() for column in day_numbers),
            (market_value, receivable_units, receivable_units_value, receivable_cash, dividend, equity_sum))


def _column_of(values):
    """What a table makes of the column ``values`` (a list or an object array), as pandas infers it."""
    return pd.Series(np.asarray(values, dtype=object) if isinstance(values, list) else values,
                     dtype=None, copy=False).array


def _repeated_days(days, counts):
    """The positions table's date column: each day's stamp repeated for its rows, typed as the table types it.

    The type is inferred once from the days themselves and their values
    repeated from there, which gives what inferring it from every row does
    when the stamps are all tz-naive Timestamps of one unit (what the
    recorder writes); other stamps take the rows' way.
    """
    regular = (all(type(d) is pd.Timestamp and d.tzinfo is None for d in days)
               and len({getattr(d, "unit", None) for d in days}) <= 1)
    if regular:
        stamps = _column_of(days)
        if isinstance(stamps.dtype, np.dtype) and stamps.dtype.kind == "M":
            return np.repeat(stamps.to_numpy(), counts)
    rows = np.empty(len(days), dtype=object)
    rows[:] = days
    return np.repeat(rows, counts)


def _repeated_ids(blocks, rows):
    """The positions table's ids column from each day's tuple of ids (a day's tuple is often the day before's).

    All of type ``str``, the ids are typed once from their distinct values
    and the column is taken from those by index (the same column as typing
    every row gives, without a pass over millions of objects); others give
    the rows as an object array, which the table types itself.
    """
    codes = np.empty(rows, dtype=np.intp)
    code_of, start = {}, 0
    last, last_codes = None, None
    for block in blocks:
        if block is not last:  # a day shares the day before's tuple when its ids are the same
            last, last_codes = block, np.array(
                [code_of.setdefault(i, len(code_of)) if type(i) is str else -1 for i in block], dtype=np.intp)
        codes[start:start + len(block)] = last_codes
        start += len(block)
    distinct = list(code_of)
    if len(distinct) and (codes >= 0).all():
        column = _column_of(distinct)
        return column.take(codes)
    ids = np.empty(rows, dtype=object)
    start = 0
    for block in blocks:
        ids[start:start + len(block)] = block
        start += len(block)
    return ids


class DailyRecorder:
    def __init__(self, env):
        self._env = env
        self._daily = []
        self._dates = []
        # The positions table as columns: the stamp and the ids (in row order) of each recorded day
        # with positions.  A day whose ids are those of the day before shares its tuple, so a run that
        # holds the same funds keeps their ids once.
        self._position_days = []
        self._position_ids = []
        # Each number column as one bytes object of float64 values per recorded day; a day whose values
        # are those of the day before shares its object (quantities stay put between trades, units owed
        # are mostly none).
        self._position_numbers = tuple([] for _ in _POSITION_NUMBERS)
        self._positions = None  # the table, once built (see positions_frame)
        self._trades = {name: _TRADE_KINDS[name][1]() for name in TRADE_COLUMNS}
        self._trade_appends = _row_appenders(self._trades.values())
        # The rows of the orders table, as columns: an order gives its row at the end of the day it became
        # final (the order object can then go), the others when the table is built.  Rows are written in
        # that order; each keeps its order's place among the orders seen (the table's row order).
        self._orders = {name: _ORDER_KINDS[name][1]() for name in ORDER_COLUMNS}
        self._order_appends = _row_appenders(self._orders.values())
        self._order_places = array("q")
        self._orders_seen = 0
        self._live_orders = {}  # id(order) -> (its place among the orders seen, order), for orders held as objects
        # id(order) -> weak reference to the order, for orders whose row is written; an entry whose order
        # is gone stands for nothing (the id may be reused) and is dropped now and then (_forget_gone_orders).
        self._written_orders = {}
        self._written_orders_kept = 0  # entries left after the last sweep of the gone ones
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
        live = self._live_orders
        if key in live:
            return
        written = self._written_orders.get(key)
        if written is not None and written() is order:
            return
        live[key] = (self._orders_seen, order)
        self._orders_seen += 1

    def _write_final_orders(self):
        """Orders that reached a final state give their rows now; the rows no longer change."""
        live = self._live_orders
        written = self._written_orders
        final = []
        for key, (_, order) in live.items():
            status = order.status
            # The final members by identity; anything else as the membership test finds it.
            if status is _FILLED or status is _REJECTED or status is _CANCELLED or (
                    type(status) is not ORDER_STATUS and status in _FINAL_STATUSES):
                final.append(key)
        appenders, places = self._order_appends, self._order_places
        for key in final:
            place, order = live[key]
            try:
                written[key] = weakref.ref(order)
            except TypeError:  # not weakly referable: kept as it is
                continue
            _append_row(appenders, self._order_row(order))  # _add_order_row, without its call
            places.append(place)
            del live[key]
        if len(written) > 2 * self._written_orders_kept + 1000:
            self._forget_gone_orders()

    def _forget_gone_orders(self):
        """Drops the entries of written orders that no longer exist."""
        self._written_orders = {key: ref for key, ref in self._written_orders.items() if ref() is not None}
        self._written_orders_kept = len(self._written_orders)

    def _add_order_row(self, place, order):
        _append_row(self._order_appends, self._order_row(order))
        self._order_places.append(place)

    def _on_trade(self, event):
        trade = event.trade
        # Trade.transaction_cost, without its call for the engine's own trades
        cost = trade.commission + trade.tax if type(trade) is Trade else trade.transaction_cost
        price, quantity, fee = float(trade.last_price), float(trade.last_quantity), float(cost)
        # Signed cash the trade moves: paid at once for purchases; for sales
        # the proceeds, which may arrive days later (fund redemptions).
        value = price * quantity
        side = trade.side
        cash_amount = -(value + fee) if side is _BUY or (type(side) is not SIDE and side == _BUY) else value - fee
        effect = trade.position_effect
        texts = _TEXT_IS_VALUE
        dt = trade.trading_datetime
        # _DayStamps.of, inlined for a naive datetime
        stamp = self._stamps[dt] if type(dt) is _dt.datetime and dt.tzinfo is None else self._stamps.of(dt)
        _append_row(self._trade_appends, (
            stamp, trade.order_book_id,
            side._value_ if texts.get(type(side)) else _text(side),
            effect._value_ if texts.get(type(effect)) else _text(effect),
            price, quantity, fee, cash_amount, trade.order_id, trade.exec_id))

    # --- the day --------------------------------------------------------------------------
    def start(self):
        """Called before the first day: the cash the run starts with."""
        self._cash_at_day_start = float(self._env.portfolio.cash)

    def record_day(self, day):
        """Write down ``day`` (a ``datetime.date``) after its settlement."""
        portfolio = self._env.portfolio
        cash = float(portfolio.cash)
        stamp = pd.Timestamp(day)
        accounts = list(portfolio.accounts.values())
        if _native.ENABLED:
            ids, day_numbers, sums = _native._daycycle.record_positions(accounts, self._direct_reads, _reads_directly)
        else:
            ids, day_numbers, sums = position_rows(accounts, self._direct_reads)
        market_value, receivable_units, receivable_units_value, receivable_cash, dividend, equity_sum = sums
        if ids:
            blocks = self._position_ids
            self._position_days.append(stamp)
            blocks.append(blocks[-1] if blocks and blocks[-1] == ids else ids)
            for kept, values in zip(self._position_numbers, day_numbers):
                # Equal bytes are equal values, NaN and the sign of zero included.
                kept.append(kept[-1] if kept and kept[-1] == values else values)
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
        counts = [len(block) for block in self._position_ids]
        rows = sum(counts)
        # The numbers go straight into the one block the table keeps (a frame built from separate
        # columns would copy them into it once more): at a million rows and more that copy counts.
        numbers = np.empty((len(_POSITION_NUMBERS), rows))
        for row, days_values in zip(numbers, self._position_numbers):
            start = 0
            for values in days_values:
                stop = start + len(values) // 8
                row[start:stop] = np.frombuffer(values, dtype=np.float64)
                start = stop
            del days_values[:]
        frame = pd.DataFrame(numbers.T, columns=list(_POSITION_NUMBERS), copy=False)
        del numbers
        frame.insert(0, "order_book_id", _repeated_ids(self._position_ids, rows))
        frame.insert(0, "date", _repeated_days(self._position_days, counts))
        self._position_days, self._position_ids = [], []
        self._positions = frame
        return frame

    def trades_frame(self):
        return _table(self._trades, {name: kind for name, (kind, _) in _TRADE_KINDS.items()})

    def _order_row(self, order):
        side, effect, kind, status = order.side, order.position_effect, order.type, order.status
        texts = _TEXT_IS_VALUE
        dt = order.trading_datetime
        # _DayStamps.of, inlined for a naive datetime
        stamp = self._stamps[dt] if type(dt) is _dt.datetime and dt.tzinfo is None else self._stamps.of(dt)
        return (stamp, order.order_id, order.order_book_id,
                side._value_ if texts.get(type(side)) else _text(side),
                effect._value_ if texts.get(type(effect)) else _text(effect),
                kind._value_ if texts.get(type(kind)) else _text(kind),
                order.quantity, getattr(order, "cash_amount", None),
                order.price, float(order.filled_quantity), float(order.avg_price),
                float(order.transaction_cost or order.fee or 0.0),
                status._value_ if texts.get(type(status)) else _text(status), order.message or "")

    def orders_frame(self):
        """Every order seen, in first-seen order; orders still open give their rows as they stand now."""
        written = len(self._order_places)
        for place, order in self._live_orders.values():
            self._add_order_row(place, order)
        places = np.array(self._order_places, dtype=np.int64)
        order = None if (np.diff(places) > 0).all() else np.argsort(places, kind="stable")
        try:
            frame = _table(self._orders, {name: kind for name, (kind, _) in _ORDER_KINDS.items()}, order)
        finally:  # the open orders' rows go again: they may still change
            for column in self._orders.values():
                column.truncate(written)
            del self._order_places[written:]
        for column in ("quantity", "cash_amount", "limit_price"):
            frame[column] = frame[column].astype(float)
        return frame

    @property
    def total_value(self):
        """The total value of the last recorded day (NaN before the first)."""
        return self._daily[-1][_TOTAL_VALUE] if self._daily else float("nan")

    @property
    def trade_count(self):
        return len(self._trades["date"])
