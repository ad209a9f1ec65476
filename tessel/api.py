"""Functions a strategy file can call by name.

The run injects every function registered here into the strategy's global
namespace.  Plug-ins add their own (a fund plug-in its subscription and
redemption calls) with ``export_as_api`` from their start-up code or a
``POST_SYSTEM_INIT`` listener; registration before the strategy is loaded
is enough.
"""
import math
import numbers

import numpy as np

from tessel.const import SIDE
from tessel.environment import Environment
from tessel.model.order import LimitOrder, MarketOrder, Order
from tessel.utils.datetime_func import convert_date_to_int
from tessel.utils.logger import user_log

_API = {}


def export_as_api(func, name=None):
    _API[name or func.__name__] = func
    return func


def get_apis():
    return dict(_API)


def snapshot():
    """The registry as it is now, for :func:`restore`."""
    return dict(_API)


def restore(saved):
    """Put the registry back as :func:`snapshot` found it.

    A run restores it when it ends, so the functions a plug-in registered
    for one run (the fund functions, say) are not offered to the next run,
    which may not load that plug-in.
    """
    _API.clear()
    _API.update(saved)


@export_as_api
def submit_order(order):
    """Hand ``order`` to the broker; returns it (active, filled later, or rejected with a message)."""
    if not isinstance(order, Order):
        raise TypeError("submit_order: expected an Order, got {!r}".format(order))
    return Environment.get_instance().broker.submit_order(order)


@export_as_api
def order_shares(order_book_id, amount, price=None):
    """Buy (``amount`` > 0) or sell (< 0) units; a ``price`` makes it a limit order."""
    if isinstance(amount, bool) or not isinstance(amount, numbers.Real) or not math.isfinite(amount):
        raise TypeError("order_shares of {}: amount must be a finite number of units, got {!r}".format(
            order_book_id, amount))
    if amount == 0:
        raise ValueError("order_shares of {}: amount must not be 0".format(order_book_id))
    if price is not None and (isinstance(price, bool) or not isinstance(price, numbers.Real)):
        raise TypeError("order_shares of {}: price must be a number (a limit) or None, got {!r}".format(
            order_book_id, price))
    side = SIDE.BUY if amount > 0 else SIDE.SELL
    style = LimitOrder(price) if price is not None else MarketOrder()
    return submit_order(Order.__from_create__(order_book_id, abs(amount), side, style))


@export_as_api
def cancel_order(order):
    """Cancel ``order`` while it is open; False when a validator refuses it."""
    if not isinstance(order, Order):
        raise TypeError("cancel_order: expected an Order, got {!r}".format(order))
    return Environment.get_instance().broker.cancel_order(order)


@export_as_api
def get_open_orders():
    return Environment.get_instance().broker.get_open_orders()


@export_as_api
def get_position(order_book_id):
    """Read-only view of the holding of ``order_book_id``."""
    env = Environment.get_instance()
    return env.get_account(order_book_id).get_position_proxy(order_book_id)


@export_as_api
def history_bars(order_book_id, bar_count, field=None):
    """The last ``bar_count`` bars of ``order_book_id`` the strategy may see now, oldest first.

    ``field`` names one bar field (a 1-D array of its values), a list of
    fields (a structured array of those), or None (every field).  Fewer
    bars come back when the history is shorter.  Instruments whose prices
    are published after the day's cut-off are seen with their lag (see
    ``Environment.set_strategy_bar_lag``), and before the close today's bar
    is never included.
    """
    if not isinstance(order_book_id, str):
        # A list or other collection would be looked up as several ids at once.
        raise TypeError("history_bars: order book id must be a text, got {!r}".format(order_book_id))
    if isinstance(bar_count, bool) or not isinstance(bar_count, (int, np.integer)) or bar_count < 1:
        raise ValueError("history_bars of {}: bar_count must be a whole number >= 1, got {!r}".format(
            order_book_id, bar_count))
    env = Environment.get_instance()
    if env.get_instrument(order_book_id) is None:
        raise ValueError("history_bars: unknown instrument {!r}".format(order_book_id))
    bars = env.data_proxy.get_bars(order_book_id)
    if bars is None:
        bars = np.empty(0, dtype=[("datetime", "<u8")])
    names = bars.dtype.names or ()
    wanted = [field] if isinstance(field, str) else field
    if wanted is not None:
        missing = [f for f in wanted if f not in names]
        if missing:
            raise ValueError("history_bars of {}: no field {} (fields: {})".format(
                order_book_id, ", ".join(repr(f) for f in missing), ", ".join(names)))
    visible = env.get_strategy_visible_date(order_book_id)
    if visible is None or len(bars) == 0:
        end = 0
    else:
        # Bars are keyed YYYYMMDDhhmmss; every bar dated on or before the visible day is visible.
        end = int(np.searchsorted(bars["datetime"], convert_date_to_int(visible) + 235959, side="right"))
    window = bars[max(0, end - int(bar_count)):end]
    if isinstance(field, str):
        return window[field].copy()
    if field is None:
        return window.copy()
    return window[list(field)].copy()


export_as_api(user_log, "logger")
