from tessel.model.instrument import Instrument
from tessel.model.order import LimitOrder, MarketOrder, Order
from tessel.model.trade import Trade

__all__ = ["Instrument", "Order", "MarketOrder", "LimitOrder", "Trade"]
