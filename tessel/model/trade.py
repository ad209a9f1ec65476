"""A fill: a quantity of one instrument changing hands at one price."""
import math
from operator import attrgetter

from tessel.model import _current
from tessel.model._current import environment_class
from tessel.model._ids import IdGenerator

_trade_ids = IdGenerator()


def _current_times():
    Environment = environment_class()
    if not Environment.has_instance():
        raise RuntimeError("a trade needs calendar_dt/trading_dt, and there is no current run to take them from")
    env = Environment.get_instance()
    if env.calendar_dt is None or env.trading_dt is None:
        raise RuntimeError("a trade needs calendar_dt/trading_dt, and the run has not reached a trading day")
    return env.calendar_dt, env.trading_dt


class Trade:
    # commission and tax are settable slots of their own (the matcher sets both on every fill).
    __slots__ = ("_exec_id", "_order_id", "_order_book_id", "_price", "_amount", "_side", "_position_effect",
                 "commission", "tax", "_close_today_amount", "_frozen_price", "_calendar_dt", "_trading_dt")

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect, order_book_id, commission=0.,
                        tax=0., trade_id=None, close_today_amount=0, frozen_price=0, calendar_dt=None,
                        trading_dt=None):
        price = float(price)
        amount = float(amount)
        if math.isnan(price) or price < 0:
            raise ValueError("trade price of {} must be a number >= 0, got {!r}".format(order_book_id, price))
        if math.isnan(amount) or amount < 0:
            raise ValueError("trade quantity of {} must be a number >= 0, got {!r}".format(order_book_id, amount))
        if calendar_dt is None or trading_dt is None:
            # _current_times, inlined for the run's environment being there and on a trading day.
            env = (_current._environment_class[0] if _current._environment_class else environment_class())._env
            if env is None or env.calendar_dt is None or env.trading_dt is None:
                env_calendar_dt, env_trading_dt = _current_times()
            else:
                env_calendar_dt, env_trading_dt = env.calendar_dt, env.trading_dt
            calendar_dt = env_calendar_dt if calendar_dt is None else calendar_dt
            trading_dt = env_trading_dt if trading_dt is None else trading_dt
        trade = cls()
        trade._exec_id = trade_id if trade_id is not None else next(_trade_ids._counter)  # IdGenerator.next
        trade._order_id = order_id
        trade._order_book_id = order_book_id
        trade._price = price
        trade._amount = amount
        trade._side = side
        trade._position_effect = position_effect
        trade.commission = commission
        trade.tax = tax
        trade._close_today_amount = close_today_amount
        trade._frozen_price = frozen_price
        trade._calendar_dt = calendar_dt
        trade._trading_dt = trading_dt
        return trade

    # Read through C getters: a fill is read by its order, the account, the position and the recorder.
    exec_id = property(attrgetter("_exec_id"))
    order_id = property(attrgetter("_order_id"))
    order_book_id = property(attrgetter("_order_book_id"))
    last_price = property(attrgetter("_price"))
    last_quantity = property(attrgetter("_amount"))
    side = property(attrgetter("_side"))
    position_effect = property(attrgetter("_position_effect"))
    datetime = property(attrgetter("_calendar_dt"))
    trading_datetime = property(attrgetter("_trading_dt"))
    close_today_amount = property(attrgetter("_close_today_amount"))
    frozen_price = property(attrgetter("_frozen_price"))

    @property
    def transaction_cost(self):
        return self.commission + self.tax

    def __repr__(self):
        return ("Trade(exec_id={}, order_id={}, order_book_id={!r}, side={}, position_effect={}, "
                "last_price={}, last_quantity={}, commission={}, tax={}, trading_datetime={})").format(
            self._exec_id, self._order_id, self._order_book_id, self._side, self._position_effect, self._price,
            self._amount, self.commission, self.tax, self._trading_dt)
