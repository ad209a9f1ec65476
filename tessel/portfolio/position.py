"""Positions: one account's holding of one instrument in one direction.

Position classes register themselves by the instrument types they serve:
a subclass that names ``__instrument_types__`` becomes, when its class is
created, the class used for those types (the most recently created one
wins).  That is how a plug-in makes its own position class serve its
instruments: creating the class is enough.
"""
import math

from tessel import _native
from tessel.environment import Environment


class _TypeRegistry:
    def __init__(self, kind):
        self._kind = kind
        self._classes = {}

    def record(self, cls):
        for instrument_type in cls.__dict__.get("__instrument_types__", ()) or ():
            self._classes[instrument_type] = cls

    def get(self, instrument_type):
        try:
            return self._classes[instrument_type]
        except KeyError:
            raise ValueError("no {} class serves instrument type {}".format(self._kind, instrument_type)) from None

    def __contains__(self, instrument_type):
        return instrument_type in self._classes


class Position:
    _registry = _TypeRegistry("position")

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if "__instrument_types__" in cls.__dict__:
            Position._registry.record(cls)

    @classmethod
    def get_class(cls, instrument_type):
        """The position class serving ``instrument_type`` (the last one created for it)."""
        return Position._registry.get(instrument_type)

    def __init__(self, order_book_id, direction, init_quantity=0, init_price=None):
        self._env = Environment.get_instance()
        self._order_book_id = order_book_id
        self._direction = direction
        self._quantity = init_quantity
        self._old_quantity = init_quantity
        self._logical_old_quantity = init_quantity
        self._avg_price = init_price if init_price is not None else 0.0
        self._prev_close = None
        self._last_price = None
        self._trade_cost = 0.0
        self._transaction_cost = 0.0

    # --- identity -------------------------------------------------------------------------
    @property
    def order_book_id(self):
        return self._order_book_id

    @property
    def direction(self):
        return self._direction

    # --- quantities -----------------------------------------------------------------------
    @property
    def quantity(self):
        return self._quantity

    @property
    def old_quantity(self):
        return self._old_quantity

    @property
    def today_quantity(self):
        return self._quantity - self._old_quantity

    @property
    def closable(self):
        return self._quantity

    @property
    def today_closable(self):
        return self._quantity - self._old_quantity

    # --- prices and values ----------------------------------------------------------------
    @property
    def avg_price(self):
        return self._avg_price

    @property
    def last_price(self):
        if self._last_price is not None:
            return self._last_price
        if self._prev_close is not None:
            return self._prev_close
        return self._avg_price

    @property
    def prev_close(self):
        return self._prev_close if self._prev_close is not None else self.last_price

    def update_last_price(self, price):
        # A missing price (no bar today, NaN NAV) keeps the last known one.
        if price is None:
            return
        price = float(price)
        if not math.isnan(price):
            self._last_price = price

    @property
    def market_value(self):
        # The expected quantity (_quantity), not the overridable ``quantity``,
        # so subclasses that hide units from trading still value them.
        if type(self).last_price is _LAST_PRICE:
            return self._quantity * _last_price_of(self)
        return self._quantity * self.last_price

    @property
    def equity(self):
        if type(self).last_price is _LAST_PRICE:
            return self._quantity * _last_price_of(self)
        return self._quantity * self.last_price

    @property
    def trading_pnl(self):
        return self.equity - self._quantity * self.prev_close

    @property
    def transaction_cost(self):
        return self._transaction_cost

    # --- daily cycle ----------------------------------------------------------------------
    def before_trading(self, trading_date):
        """Start of a trading day: yesterday's last price becomes the previous close.

        Until today's first price arrives the position is valued at that
        previous close, so an adjustment of ``_prev_close`` before the bar
        (a split) is reflected in the valuation at once.  Returns the change
        of the account's cash (none here).
        """
        # The property, inlined where it is this class's own: every position runs this every morning.
        if type(self).last_price is _LAST_PRICE:
            last = self._last_price
            if last is None:
                last = self._prev_close
                if last is None:
                    last = self._avg_price
            self._prev_close = last
        else:
            self._prev_close = self.last_price
        self._last_price = None
        return 0

    def apply_trade(self, trade):
        raise NotImplementedError("{} cannot apply trades".format(type(self).__name__))

    def settlement(self, trading_date):
        """End of a trading day: today's holding becomes yesterday's. Returns the cash change."""
        self._old_quantity = self._logical_old_quantity = self._quantity
        self._trade_cost = 0.0
        self._transaction_cost = 0.0
        return 0

    # --- persistence ----------------------------------------------------------------------
    def get_state(self):
        return {
            "order_book_id": self._order_book_id,
            "direction": self._direction,
            "old_quantity": self._old_quantity,
            "logical_old_quantity": self._logical_old_quantity,
            "today_quantity": self._quantity - self._old_quantity,
            "avg_price": self._avg_price,
            "trade_cost": self._trade_cost,
            "transaction_cost": self._transaction_cost,
            "prev_close": self._prev_close,
            "last_price": self._last_price,
        }

    def set_state(self, state):
        old_quantity = state.get("old_quantity", 0)
        self._old_quantity = old_quantity
        self._logical_old_quantity = state.get("logical_old_quantity", old_quantity)
        self._quantity = old_quantity + state.get("today_quantity", 0)
        self._avg_price = state.get("avg_price", 0.0)
        self._trade_cost = state.get("trade_cost", 0.0)
        self._transaction_cost = state.get("transaction_cost", 0.0)
        self._prev_close = state.get("prev_close")
        self._last_price = state.get("last_price")

    def __repr__(self):
        return "{}(order_book_id={!r}, direction={}, quantity={}, avg_price={})".format(
            type(self).__name__, self._order_book_id, self._direction, self._quantity, self._avg_price)


# The daily-cycle methods and valuation properties run natively; the definitions above are the reference.
PYTHON_DEFINITIONS = _native.install("position", Position)

# The plain last-price property; positions whose class keeps it are read through _last_price_of.
_LAST_PRICE = Position.last_price


def _last_price_of(position):
    """``Position.last_price`` of ``position`` without the property call (for classes that keep it)."""
    last = position._last_price
    if last is not None:
        return last
    last = position._prev_close
    return last if last is not None else position._avg_price


class PositionProxy:
    """Read-only view of a position for strategies; registered by instrument type like positions."""

    _registry = _TypeRegistry("position proxy")

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        if "__instrument_types__" in cls.__dict__:
            PositionProxy._registry.record(cls)

    @classmethod
    def get_class(cls, instrument_type):
        return PositionProxy._registry.get(instrument_type)

    def __init__(self, position):
        self._position = position

    @property
    def order_book_id(self):
        return self._position.order_book_id

    @property
    def direction(self):
        return self._position.direction

    def __repr__(self):
        return "{}(order_book_id={!r}, quantity={})".format(
            type(self).__name__, self.order_book_id, self._position.quantity)
