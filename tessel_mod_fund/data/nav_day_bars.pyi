"""Day bars of public funds from NAV and subscribe/redeem status (compiled module)."""
from abc import ABC
from typing import Any, Callable

import numpy as np
import pandas as pd

from tessel.data.base_data_source.storage_interface import AbstractDayBarStore

class _LruCached:
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def cache_clear(self) -> None: ...
    def cache_info(self) -> tuple[int, int, int | None, int]: ...

# A value function: NAV frame -> one value per row, or one scalar for every record.
_ValueFunction = Callable[[pd.DataFrame], Any]
# field name -> (numpy dtype string, value function), in field order
_FieldMap = dict[str, tuple[str, _ValueFunction]]

FIELD_MAP: _FieldMap
FIELD_MAP_ACCRUED_DAILY: _FieldMap
START_DATE: str
END_DATE: str

class BaseNavDayBars(AbstractDayBarStore, ABC):
    FIELD_MAP: _FieldMap
    FIELD_MAP_ACCRUED_DAILY: _FieldMap
    START_DATE: str
    END_DATE: str
    # "unit_net_value" or "adjusted_net_value"
    _nav_type: str
    def __init__(self, fund_nav_type: str) -> None: ...
    def _get_nav(self, order_book_id: str) -> pd.DataFrame | None: ...
    # LRU-cached (2048 funds): a repeated call returns the same array, which
    # callers must not modify.
    def get_bars(self, order_book_id: str) -> np.ndarray: ...

class VexdataNavDayBars(BaseNavDayBars):
    investor: str
    def __init__(self, fund_nav_type: str, investor: str = "institution") -> None: ...
    def _get_nav(self, order_book_id: str) -> pd.DataFrame: ...
    # LRU-cached (1024 funds): the status frame indexed by date
    _get_transaction_status: _LruCached
    # (first date, last date) as YYYYMMDDhhmmss integers
    def get_date_range(self, order_book_id: str) -> tuple[int, int]: ...
