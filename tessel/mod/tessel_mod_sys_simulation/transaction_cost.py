import math

from tessel.const import SIDE
from tessel.interface import AbstractTransactionCostDecider


def _rate(value, name):
    try:
        number = float(value) if not isinstance(value, bool) else math.nan
    except (TypeError, ValueError):
        number = math.nan
    if not math.isfinite(number) or number < 0:
        raise ValueError("mod.sys_simulation.{}: expected a number >= 0, got {!r}".format(name, value))
    return number


class StockTransactionCostDecider(AbstractTransactionCostDecider):
    """Commission on every trade (with a minimum) plus stamp tax on sales."""

    def __init__(self, commission_rate=0.0, min_commission=0.0, tax_rate=0.0):
        self.commission_rate = _rate(commission_rate, "commission_rate")
        self.min_commission = _rate(min_commission, "min_commission")
        self.tax_rate = _rate(tax_rate, "tax_rate")

    def get_trade_commission(self, trade):
        value = trade.last_price * trade.last_quantity
        if value == 0:
            return 0.0
        return max(value * self.commission_rate, self.min_commission)

    def get_trade_tax(self, trade):
        if trade.side != SIDE.SELL:
            return 0.0
        return trade.last_price * trade.last_quantity * self.tax_rate

    def get_order_transaction_cost(self, order):
        price = order.avg_price or order.price or 0.0
        quantity = order.quantity or 0.0
        value = price * quantity
        if value == 0:
            return 0.0
        tax = value * self.tax_rate if order.side == SIDE.SELL else 0.0
        return max(value * self.commission_rate, self.min_commission) + tax
