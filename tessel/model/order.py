"""Orders: what a strategy asks the broker to do."""
import math
from operator import attrgetter

from tessel.const import ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE
from tessel.model import _current
from tessel.model._current import environment_class
from tessel.model._ids import IdGenerator
from tessel.model.trade import Trade as _Trade

_order_ids = IdGenerator()

_BUY, _SELL = SIDE.BUY, SIDE.SELL
_OPEN, _CLOSE = POSITION_EFFECT.OPEN, POSITION_EFFECT.CLOSE
_PENDING_NEW, _ACTIVE, _FILLED = ORDER_STATUS.PENDING_NEW, ORDER_STATUS.ACTIVE, ORDER_STATUS.FILLED
# The final statuses, found by hash: a member is then matched by identity, without calling its __eq__.
_FINAL = frozenset((ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED))


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


def _is_final(status):
    """``status.is_final``; an order status member is looked up without a call."""
    if type(status) is ORDER_STATUS:
        return status in _FINAL
    return status.is_final


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
        # The fee the order carries (fund orders are charged exactly this); set by the matcher that
        # prices the order.  A plain attribute: the matcher sets it and the cost decider reads it for
        # every order.
        self.fee = 0
        self._message = ""
        self._calendar_dt = None
        self._trading_dt = None

    @classmethod
    def __from_create__(cls, order_book_id, quantity, side, style=None, position_effect=None, cash_amount=None):
        if not isinstance(order_book_id, str) or not order_book_id:
            raise ValueError("order_book_id must be a non-empty text, got {!r}".format(order_book_id))
        if side is not _BUY and side is not _SELL and side not in (SIDE.BUY, SIDE.SELL):
            raise ValueError("order side must be SIDE.BUY or SIDE.SELL, got {!r}".format(side))
        # _positive, inlined for a float that is a number > 0
        if cash_amount is not None:
            if type(cash_amount) is float and cash_amount > 0:
                pass
            else:
                cash_amount = _positive(cash_amount, "cash amount", order_book_id)
        if quantity is None:
            if cash_amount is None:
                raise ValueError("order of {} needs a quantity or a cash amount".format(order_book_id))
        elif type(quantity) is float and quantity > 0:
            pass
        else:
            quantity = _positive(quantity, "quantity", order_book_id)
        if position_effect is None:
            position_effect = _OPEN if side is _BUY or side == SIDE.BUY else _CLOSE
        order_id = next(_order_ids._counter)  # IdGenerator.next, without its call
        if style is None:
            style = MarketOrder()
        # The current run's times (_now, inlined: one order after another is created).
        env = (_current._environment_class[0] if _current._environment_class else environment_class())._env
        if env is None:
            calendar_dt = trading_dt = None
        else:
            calendar_dt, trading_dt = env.calendar_dt, env.trading_dt
        if cls is Order:
            # What Order() and the assignments below make, as one dictionary.
            order = _new_object(Order)
            order.__dict__ = {
                "_order_id": order_id, "_order_book_id": order_book_id, "_quantity": quantity,
                "_cash_amount": cash_amount, "_side": side, "_position_effect": position_effect, "_style": style,
                "_status": _PENDING_NEW, "_filled_quantity": 0.0, "_avg_price": 0.0, "_transaction_cost": 0.0,
                "fee": 0, "_message": "", "_calendar_dt": calendar_dt, "_trading_dt": trading_dt}
            return order
        order = cls()
        order._order_id = order_id
        order._order_book_id = order_book_id
        order._quantity = quantity
        order._cash_amount = cash_amount
        order._side = side
        order._position_effect = position_effect
        order._style = style
        order._calendar_dt, order._trading_dt = calendar_dt, trading_dt
        return order

    # --- read-only fields -----------------------------------------------------------------
    # Read through C getters: the broker, the matchers and the recorder read them for every order.
    order_id = property(attrgetter("_order_id"))
    order_book_id = property(attrgetter("_order_book_id"))
    quantity = property(attrgetter("_quantity"))
    side = property(attrgetter("_side"))
    position_effect = property(attrgetter("_position_effect"))
    style = property(attrgetter("_style"))
    status = property(attrgetter("_status"))
    filled_quantity = property(attrgetter("_filled_quantity"))
    avg_price = property(attrgetter("_avg_price"))
    transaction_cost = property(attrgetter("_transaction_cost"))
    message = property(attrgetter("_message"))
    datetime = property(attrgetter("_calendar_dt"))
    trading_datetime = property(attrgetter("_trading_dt"))

    type = property(attrgetter("_style.type"))

    @property
    def price(self):
        style = self._style
        # A market order has no limit price: MarketOrder.get_limit_price, without its call.
        return None if type(style) is MarketOrder else style.get_limit_price()

    amount = property(attrgetter("_cash_amount"), doc="Cash to spend for a cash-amount order, else None.")
    cash_amount = amount

    @property
    def unfilled_quantity(self):
        if self._quantity is None:
            return None
        return self._quantity - self._filled_quantity

    def is_final(self):
        return _is_final(self._status)

    def is_active(self):
        return self._status == ORDER_STATUS.ACTIVE

    # --- transitions ----------------------------------------------------------------------
    def active(self):
        status = self._status
        if status is not _PENDING_NEW and status != ORDER_STATUS.PENDING_NEW:
            raise RuntimeError("order {} cannot become active from {}".format(self._order_id, self._status))
        self._status = ORDER_STATUS.ACTIVE

    def mark_rejected(self, reason):
        if _is_final(self._status):
            return
        self._message = reason
        self._status = ORDER_STATUS.REJECTED

    def mark_cancelled(self, reason):
        if _is_final(self._status):
            return
        self._message = reason
        self._status = ORDER_STATUS.CANCELLED

    def fill(self, trade):
        status = self._status
        if (status in _FINAL) if type(status) is ORDER_STATUS else status.is_final:
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
        # Trade.transaction_cost, without its call for the engine's own trades
        self._transaction_cost += trade.commission + trade.tax if type(trade) is _Trade else trade.transaction_cost
        if self._quantity is None or self._filled_quantity >= self._quantity - 1e-9:
            self._status = _FILLED

    def __repr__(self):
        return ("Order(order_id={}, order_book_id={!r}, side={}, position_effect={}, quantity={}, amount={}, "
                "status={}, filled_quantity={}, message={!r})").format(
            self._order_id, self._order_book_id, self._side, self._position_effect, self._quantity,
            self._cash_amount, self._status, self._filled_quantity, self._message)


_new_object = object.__new__
