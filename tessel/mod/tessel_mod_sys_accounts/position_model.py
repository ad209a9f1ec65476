"""Positions of the stock account: stocks, ETFs and LOFs."""
import datetime as _dt

from tessel import _native
from tessel.const import INSTRUMENT_TYPE, POSITION_EFFECT, SIDE
from tessel.model.trade import Trade
from tessel.portfolio.position import _LAST_PRICE, Position, PositionProxy

_BUY, _SELL = SIDE.BUY, SIDE.SELL
_OPEN, _CLOSE = POSITION_EFFECT.OPEN, POSITION_EFFECT.CLOSE

# The instrument types whose positions and proxies this module serves.
_STOCK_TYPES = (INSTRUMENT_TYPE.CS, INSTRUMENT_TYPE.ETF, INSTRUMENT_TYPE.LOF)

# Quantities are floats (fund units have fractions); a sale may exceed the
# holding by no more than float noise.
_QUANTITY_EPS = 1e-8


class StockPosition(Position):
    __instrument_types__ = _STOCK_TYPES

    def __init__(self, order_book_id, direction, init_quantity=0, init_price=None):
        super().__init__(order_book_id, direction, init_quantity, init_price)
        # None, or (payable date, cash) of a dividend booked but not yet paid.
        self._dividend_receivable = None

    @property
    def dividend_receivable(self):
        return self._dividend_receivable[1] if self._dividend_receivable else 0

    @property
    def equity(self):
        # Position.equity plus the dividend receivable, read directly where the
        # class keeps the plain properties (every position, every day).
        cls = type(self)
        if cls.last_price is _LAST_PRICE:
            # _last_price_of, inlined
            last = self._last_price
            if last is None:
                last = self._prev_close
                if last is None:
                    last = self._avg_price
            value = self._quantity * last
        else:
            value = self._quantity * self.last_price
        if cls.dividend_receivable is _DIVIDEND_RECEIVABLE:
            receivable = self._dividend_receivable
            return value + (receivable[1] if receivable else 0)
        return value + self.dividend_receivable

    # --- trades ---------------------------------------------------------------------------
    def apply_trade(self, trade):
        """Book ``trade``; returns the change of the account's cash."""
        effect = trade.position_effect
        qty = trade.last_quantity
        price = trade.last_price
        side = trade.side
        # Members are matched by identity first: the comparisons are made for every trade.
        # Members are matched by identity, another member of the same enumeration is not equal.
        if (side is _BUY or (type(side) is not SIDE and side == SIDE.BUY)) and (
                effect is _OPEN or (type(effect) is not POSITION_EFFECT and effect == POSITION_EFFECT.OPEN)):
            total = self._quantity + qty
            if total > 0:
                self._avg_price = (self._avg_price * self._quantity + price * qty) / total
            self._quantity = total
            self._trade_cost += price * qty
            transaction_cost = trade.commission + trade.tax if type(trade) is Trade else trade.transaction_cost
            self._transaction_cost += transaction_cost
            return -(price * qty) - transaction_cost
        if (side is _SELL or side == SIDE.SELL) and (
                effect is _CLOSE or effect in (POSITION_EFFECT.CLOSE, POSITION_EFFECT.CLOSE_TODAY)):
            if qty > self._quantity + _QUANTITY_EPS:
                # Refuse before touching anything: a negative holding would
                # silently turn a long stock position short.
                raise ValueError("cannot sell {} units of {}: only {} held".format(
                    qty, self._order_book_id, self._quantity))
            self._quantity -= qty
            # Yesterday's units are sold first.
            self._old_quantity -= min(qty, self._old_quantity)
            self._trade_cost -= price * qty
            transaction_cost = trade.commission + trade.tax if type(trade) is Trade else trade.transaction_cost
            self._transaction_cost += transaction_cost
            return price * qty - transaction_cost
        raise NotImplementedError("{} does not support {} with position effect {}".format(
            type(self).__name__, trade.side, effect))

    # --- daily cycle ----------------------------------------------------------------------
    def before_trading(self, trading_date):
        delta_cash = super().before_trading(trading_date)
        if self._quantity == 0 and not self._dividend_receivable:
            return delta_cash
        data_proxy = self._env.data_proxy
        delta_cash += self._handle_dividend_payable(trading_date)
        self._handle_dividend_book_closure(trading_date, data_proxy)
        self._handle_split(trading_date, data_proxy)
        return delta_cash

    def _handle_dividend_book_closure(self, trading_date, data_proxy):
        last_date = data_proxy.get_previous_trading_date(trading_date)
        dividend = data_proxy.get_dividend_by_book_date(self._order_book_id, last_date)
        if dividend is None:
            return
        per_share = float(sum(dividend["dividend_cash_before_tax"] / dividend["round_lot"]))
        if per_share != per_share:
            raise RuntimeError("Dividend per share of {} is not supposed to be nan.".format(self._order_book_id))
        self._avg_price -= per_share
        names = dividend.dtype.names
        payable = dividend["payable_date"][0] if "payable_date" in names else dividend["ex_dividend_date"][0]
        payable_date = _dt.datetime.strptime(str(int(payable)), "%Y%m%d").date()
        self._dividend_receivable = (payable_date, self._quantity * per_share)

    def _handle_dividend_payable(self, trading_date):
        if not self._dividend_receivable:
            return 0
        payable_date, value = self._dividend_receivable
        if payable_date > trading_date:
            return 0
        self._dividend_receivable = None
        if self._env.config.mod.sys_accounts.dividend_reinvestment and self.last_price > 0:
            # Reinvested at the previous close, whole units only; the rest is paid as cash.
            units = int(value // self.last_price)
            cost = units * self.last_price
            if units > 0:
                total = self._quantity + units
                self._avg_price = (self._avg_price * self._quantity + cost) / total
                self._quantity = total
                self._old_quantity += units
                self._logical_old_quantity += units
            return value - cost
        return value

    def _handle_split(self, trading_date, data_proxy):
        ratio = data_proxy.get_split_by_ex_date(self._order_book_id, trading_date)
        if ratio is None:
            return
        self._quantity *= ratio
        self._old_quantity *= ratio
        self._logical_old_quantity *= ratio
        self._avg_price /= ratio
        self._prev_close = self.prev_close / ratio

    # --- persistence ----------------------------------------------------------------------
    def get_state(self):
        state = super().get_state()
        state["dividend_receivable"] = self._dividend_receivable
        return state

    def set_state(self, state):
        super().set_state(state)
        receivable = state.get("dividend_receivable")
        self._dividend_receivable = tuple(receivable) if receivable else None


# The valuation properties run natively; the definitions above are the reference.
PYTHON_DEFINITIONS = _native.install("stock_position", StockPosition)

_DIVIDEND_RECEIVABLE = StockPosition.dividend_receivable


class StockPositionProxy(PositionProxy):
    __instrument_types__ = _STOCK_TYPES

    @property
    def type(self):
        return self._position._env.get_instrument(self._position.order_book_id).type

    @property
    def quantity(self):
        return self._position.quantity

    @property
    def closable(self):
        return self._position.closable

    @property
    def today_closable(self):
        return self._position.today_closable

    @property
    def avg_price(self):
        return self._position.avg_price

    @property
    def last_price(self):
        return self._position.last_price

    @property
    def prev_close(self):
        return self._position.prev_close

    @property
    def market_value(self):
        return self._position.market_value

    @property
    def equity(self):
        return self._position.equity

    @property
    def transaction_cost(self):
        return self._position.transaction_cost

    @property
    def dividend_receivable(self):
        return self._position.dividend_receivable
