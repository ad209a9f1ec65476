"""The fund plug-in: start-up wiring of the fund stores, matcher, validator and costs (compiled module)."""
from typing import Any

import numpy as np

from tessel.environment import Environment
from tessel.interface import AbstractMod

from .data import FundCatalogStore, VexdataNavDayBars, VexdataPayoutHistory, VexdataUnitSplits

class FundMod(AbstractMod):
    # None until an active start_up has built the stores
    _nav_day_bars: VexdataNavDayBars | None
    _payout_history: VexdataPayoutHistory | None
    _fund_catalog_store: FundCatalogStore | None
    _unit_splits: VexdataUnitSplits | None
    def __init__(self) -> None: ...
    def start_up(self, env: Environment, mod_config: Any) -> None: ...
    def tear_down(self, code: Any, exception: BaseException | None = None) -> None: ...
    # The store's (cached) bar array; RuntimeError on an inactive plug-in.
    def get_bars(self, order_book_id: str) -> np.ndarray: ...
