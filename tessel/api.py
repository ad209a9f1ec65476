"""Functions a strategy file can call by name.

The run injects every function registered here into the strategy's global
namespace.  Plug-ins add their own (a fund plug-in its subscription and
redemption calls) with ``export_as_api`` from their start-up code or a
``POST_SYSTEM_INIT`` listener; registration before the strategy is loaded
is enough.
"""
from tessel.const import SIDE
from tessel.environment import Environment
from tessel.model.order import LimitOrder, MarketOrder, Order
from tessel.utils.logger import user_log

_API = {}


def export_as_api(func, name=None):
    _API[name or func.__name__] = func
    return func


def get_apis():
    return dict(_API)


@export_as_api
def submit_order(order):
    """Hand ``order`` to the broker; returns it (active, filled later, or rejected with a message)."""
    return Environment.get_instance().broker.submit_order(order)


@export_as_api
def order_shares(order_book_id, amount, price=None):
    """Buy (``amount`` > 0) or sell (< 0) units; a ``price`` makes it a limit order."""
    if amount == 0:
        raise ValueError("order_shares of {}: amount must not be 0".format(order_book_id))
    side = SIDE.BUY if amount > 0 else SIDE.SELL
    style = LimitOrder(price) if price is not None else MarketOrder()
    return submit_order(Order.__from_create__(order_book_id, abs(amount), side, style))


@export_as_api
def cancel_order(order):
    return Environment.get_instance().broker.cancel_order(order)


@export_as_api
def get_open_orders():
    return Environment.get_instance().broker.get_open_orders()


@export_as_api
def get_position(order_book_id):
    """Read-only view of the holding of ``order_book_id``."""
    env = Environment.get_instance()
    return env.get_account(order_book_id).get_position_proxy(order_book_id)


export_as_api(user_log, "logger")
