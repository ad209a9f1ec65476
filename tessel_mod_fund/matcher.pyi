"""Order matcher for public funds: fills at the day's NAV with fees (compiled module)."""
import datetime as _dt
from typing import Any

from tessel.interface import AbstractMatcher
from tessel.model.order import Order
from tessel.model.trade import Trade
from tessel.portfolio.account import Account

class FundMatcher(AbstractMatcher):
    _env: Any
    _subscription_limit: Any
    def __init__(self, env: Any, subscription_limit: Any) -> None: ...
    def match(self, account: Account, order: Order, open_auction: bool) -> list[Trade]: ...
    def fee_schedule(self, order_book_id: str) -> dict[str, list[tuple[float, ...]]]: ...
    def holding_lots(self, account: Account, order_book_id: str) -> list[tuple[_dt.date, float]]: ...
