"""Orders: what a strategy asks the broker to do."""
import math

from tessel.const import ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE
from tessel.model._current import environment_class
from tessel.model._ids import IdGenerator

_order_ids = IdGenerator()


class MarketOrder:
    type = ORDER_TYPE.MARKET

    def get_limit_price(self):
        return None

    def __repr__(self):
        return "MarketOrder()"


class LimitOrder:
    type = ORDER_TYPE.LIMIT

    def __init__(self, limit_price):
        limit_price = float(limit_price)
        if math.isnan(limit_price) or limit_price <= 0:
            raise ValueError("limit price must be a positive number, got {!r}".format(limit_price))
        self.limit_price = limit_price

    def get_limit_price(self):
        return self.limit_price

    def __repr__(self):
        return "LimitOrder({})".format(self.limit_price)


def _positive(value, what, order_book_id):
    value = float(value)
    if math.isnan(value) or value <= 0:
        raise ValueError("order {} of {} must be positive, got {!r}".format(what, order_book_id, value))
    return value


def _now():
    Environment = environment_class()
    if Environment.has_instance():
        env = Environment.get_instance()
        return env.calendar_dt, env.trading_dt
    return None, None


class Order:
    """An order of a quantity of units, or of a cash amount (fund subscriptions).

    A cash-amount order (``cash_amount`` set, ``quantity`` None) asks to spend
    that much; the matcher decides the units, and the order is filled by its
    first trade.
    """

    def __init__(self):
        self._order_id = None
        self._order_book_id = None
        self._quantity = None
        self._cash_amount = None
        self._side = None
        self._position_effect = None
        self._style = None
        self._status = ORDER_STATUS.PENDING_NEW
        self._filled_quantity = 0.0
        self._avg_price = 0.0
        self._transaction_cost = 0.0
        self._fee = 0
        self._message = ""
        self._calendar_dt = None
        self._trading_dt = None

    @classmethod
    def __from_create__(cls, order_book_id, quantity, side, style=None, position_effect=None, cash_amount=None):
        if not isinstance(order_book_id, str) or not order_book_id:
            raise ValueError("order_book_id must be a non-empty text, got {!r}".format(order_book_id))
        if side not in (SIDE.BUY, SIDE.SELL):
            raise ValueError("order side must be SIDE.BUY or SIDE.SELL, got {!r}".format(side))
        if cash_amount is not None:
            cash_amount = _positive(cash_amount, "cash amount", order_book_id)
        if quantity is None:
            if cash_amount is None:
                raise ValueError("order of {} needs a quantity or a cash amount".format(order_book_id))
        else:
            quantity = _positive(quantity, "quantity", order_book_id)
        if position_effect is None:
            position_effect = POSITION_EFFECT.OPEN if side == SIDE.BUY else POSITION_EFFECT.CLOSE
        order = cls()
        order._order_id = _order_ids.next()
        order._order_book_id = order_book_id
        order._quantity = quantity
        order._cash_amount = cash_amount
        order._side = side
        order._position_effect = position_effect
        order._style = style if style is not None else MarketOrder()
        order._calendar_dt, order._trading_dt = _now()
        return order

    # --- read-only fields -----------------------------------------------------------------
    order_id = property(lambda self: self._order_id)
    order_book_id = property(lambda self: self._order_book_id)
    quantity = property(lambda self: self._quantity)
    side = property(lambda self: self._side)
    position_effect = property(lambda self: self._position_effect)
    style = property(lambda self: self._style)
    status = property(lambda self: self._status)
    filled_quantity = property(lambda self: self._filled_quantity)
    avg_price = property(lambda self: self._avg_price)
    transaction_cost = property(lambda self: self._transaction_cost)
    message = property(lambda self: self._message)
    datetime = property(lambda self: self._calendar_dt)
    trading_datetime = property(lambda self: self._trading_dt)

    @property
    def type(self):
        return self._style.type

    @property
    def price(self):
        return self._style.get_limit_price()

    @property
    def amount(self):
        """Cash to spend for a cash-amount order, else None."""
        return self._cash_amount

    cash_amount = amount

    @property
    def unfilled_quantity(self):
        if self._quantity is None:
            return None
        return self._quantity - self._filled_quantity

    # The fee the order carries (fund orders are charged exactly this); set by
    # the matcher that prices the order.
    @property
    def fee(self):
        return self._fee

    @fee.setter
    def fee(self, value):
        self._fee = value

    def is_final(self):
        return self._status.is_final

    def is_active(self):
        return self._status == ORDER_STATUS.ACTIVE

    # --- transitions ----------------------------------------------------------------------
    def active(self):
        if self._status != ORDER_STATUS.PENDING_NEW:
            raise RuntimeError("order {} cannot become active from {}".format(self._order_id, self._status))
        self._status = ORDER_STATUS.ACTIVE

    def mark_rejected(self, reason):
        if self.is_final():
            return
        self._message = reason
        self._status = ORDER_STATUS.REJECTED

    def mark_cancelled(self, reason):
        if self.is_final():
            return
        self._message = reason
        self._status = ORDER_STATUS.CANCELLED

    def fill(self, trade):
        if self.is_final():
            raise RuntimeError("order {} is {} and cannot be filled".format(self._order_id, self._status))
        if trade.order_book_id != self._order_book_id:
            raise ValueError("trade of {} cannot fill order {} of {}".format(
                trade.order_book_id, self._order_id, self._order_book_id))
        qty = trade.last_quantity
        if self._quantity is not None and self._filled_quantity + qty > self._quantity + 1e-9:
            raise ValueError("trade of {} units overfills order {} ({} of {} filled)".format(
                qty, self._order_id, self._filled_quantity, self._quantity))
        new_filled = self._filled_quantity + qty
        if new_filled > 0:
            self._avg_price = (self._avg_price * self._filled_quantity + trade.last_price * qty) / new_filled
        self._filled_quantity = new_filled
        self._transaction_cost += trade.transaction_cost
        if self._quantity is None or self._filled_quantity >= self._quantity - 1e-9:
            self._status = ORDER_STATUS.FILLED

    def __repr__(self):
        return ("Order(order_id={}, order_book_id={!r}, side={}, position_effect={}, quantity={}, amount={}, "
                "status={}, filled_quantity={}, message={!r})").format(
            self._order_id, self._order_book_id, self._side, self._position_effect, self._quantity,
            self._cash_amount, self._status, self._filled_quantity, self._message)
