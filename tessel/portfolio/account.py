"""An account: cash plus positions, kept in step with trades and the daily cycle."""
from operator import attrgetter

from tessel import _native
from tessel.const import POSITION_DIRECTION
from tessel.model._current import environment_class


class Account:
    def __init__(self, account_type, total_cash):
        self._type = account_type
        self._total_cash = float(total_cash)
        self._positions = {}

    @property
    def type(self):
        return self._type

    # C getters: the matchers and the strategy functions read both for every order.
    cash = property(attrgetter("_total_cash"))
    positions = property(attrgetter("_positions"),
                         doc="order_book_id -> position (the account's own dict; do not modify).")

    @property
    def market_value(self):
        return sum(p.market_value for p in self._positions.values())

    @property
    def total_value(self):
        return self._total_cash + sum(p.equity for p in self._positions.values())

    def _env(self):
        return environment_class().get_instance()

    def get_position(self, order_book_id, direction=POSITION_DIRECTION.LONG):
        """The position of ``order_book_id``, created empty (of the class serving its type) if absent."""
        try:
            return self._positions[order_book_id]
        except KeyError:
            pass
        from tessel.portfolio.position import Position

        instrument = self._env().get_instrument(order_book_id)
        if instrument is None:
            raise ValueError("unknown instrument {!r}".format(order_book_id))
        position = Position.get_class(instrument.type)(order_book_id, direction)
        self._positions[order_book_id] = position
        return position

    def get_position_proxy(self, order_book_id):
        from tessel.portfolio.position import PositionProxy

        position = self.get_position(order_book_id)
        instrument = self._env().get_instrument(order_book_id)
        return PositionProxy.get_class(instrument.type)(position)

    # --- cash changes ---------------------------------------------------------------------
    def apply_trade(self, trade):
        order_book_id = trade.order_book_id
        try:
            position = self._positions[order_book_id]  # get_position's common case, inlined
        except KeyError:
            position = self.get_position(order_book_id)
        self._total_cash += position.apply_trade(trade)

    def before_trading(self, trading_date):
        for position in list(self._positions.values()):
            self._total_cash += position.before_trading(trading_date)

    def update_last_prices(self):
        """Every position takes the close of its bar at the current trading time (kept when there is none)."""
        positions = self._positions
        if not positions:
            return
        env = self._env()
        closes = self._closes_now(env, list(positions))
        if closes is None:
            for order_book_id, position in positions.items():
                position.update_last_price(env.get_bar(order_book_id).close)
            return
        from tessel.portfolio.position import Position

        plain = Position.update_last_price
        if _native.ENABLED:
            _native._daycycle.apply_closes(list(positions.values()), closes, plain)
            return
        for position, price in zip(list(positions.values()), closes):
            if type(position).update_last_price is plain:
                # Position.update_last_price, inlined: a NaN price keeps the last one.
                if price == price:
                    position._last_price = price
            else:
                position.update_last_price(price)

    @staticmethod
    def _closes_now(env, order_book_ids):
        """The closes ``env.get_bar`` would give for all ids, from one batch; None when only bar by bar works."""
        Environment = environment_class()
        if type(env).get_bar is not Environment.get_bar or env.data_proxy is None or env.trading_dt is None:
            return None
        get_closes = getattr(env.data_proxy, "get_closes", None)
        if get_closes is None:
            return None
        return get_closes(order_book_ids, env.trading_dt)

    def settlement(self, trading_date):
        for position in list(self._positions.values()):
            self._total_cash += position.settlement(trading_date)
        # A position with nothing held and nothing owed either way is closed.
        for order_book_id in [k for k, p in self._positions.items() if self._is_empty(p)]:
            del self._positions[order_book_id]

    @staticmethod
    def _is_empty(position):
        if position._quantity != 0 or getattr(position, "_dividend_receivable", None):
            return False
        for queue in ("subscribe_queue", "redeem_queue"):
            if getattr(position, queue, None):
                return False
        return True

    # --- persistence ----------------------------------------------------------------------
    def get_state(self):
        return {
            "type": str(self._type),
            "total_cash": self._total_cash,
            "positions": {k: p.get_state() for k, p in self._positions.items()},
        }

    def set_state(self, state):
        self._total_cash = float(state["total_cash"])
        self._positions = {}
        for order_book_id, pos_state in state.get("positions", {}).items():
            position = self.get_position(order_book_id, pos_state.get("direction", POSITION_DIRECTION.LONG))
            position.set_state(pos_state)

    def __repr__(self):
        return "Account(type={}, cash={}, total_value={})".format(self._type, self._total_cash, self.total_value)


# The daily loops over the positions run natively; the definitions above are the reference.
PYTHON_DEFINITIONS = _native.install("account", Account)
