import math

from tessel.const import INSTRUMENT_TYPE, ORDER_TYPE, SIDE
from tessel.interface import AbstractMatcher
from tessel.model.trade import Trade

# The instrument types this plug-in matches and charges costs for.
STOCK_TYPES = (INSTRUMENT_TYPE.CS, INSTRUMENT_TYPE.ETF, INSTRUMENT_TYPE.LOF)


class DefaultStockMatcher(AbstractMatcher):
    """Fills a stock order whole at the bar's close.

    No fill on a day without a price; a limit order fills only when the close
    is at or better than its limit.  A buy the account cannot pay for and a
    sale of more than the sellable units are rejected.
    """

    def __init__(self, env, config=None):
        self._env = env

    def match(self, account, order, open_auction):
        bar = self._env.get_bar(order.order_book_id)
        price = bar.close
        if price is None or math.isnan(price) or price <= 0:
            return []
        if order.type == ORDER_TYPE.LIMIT:
            limit = order.price
            if (order.side == SIDE.BUY and price > limit) or (order.side == SIDE.SELL and price < limit):
                return []
        quantity = order.unfilled_quantity
        if quantity is None:
            raise ValueError("order {} of {} has no quantity; stocks are ordered in units".format(
                order.order_id, order.order_book_id))
        trade = Trade.__from_create__(order.order_id, price, quantity, order.side, order.position_effect,
                                      order.order_book_id)
        trade.commission = self._env.get_trade_commission(trade)
        trade.tax = self._env.get_trade_tax(trade)
        if order.side == SIDE.BUY:
            cost = price * quantity + trade.transaction_cost
            if cost > account.cash + 1e-9:
                order.mark_rejected("not enough cash to buy {} units of {}: needs {:.2f}, has {:.2f}".format(
                    quantity, order.order_book_id, cost, account.cash))
                return []
        else:
            position = account.positions.get(order.order_book_id)
            closable = position.closable if position is not None else 0
            if quantity > closable + 1e-9:
                order.mark_rejected("cannot sell {} units of {}: only {} sellable".format(
                    quantity, order.order_book_id, closable))
                return []
        return [trade]
