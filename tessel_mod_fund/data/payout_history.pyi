"""Cash dividends of public funds in the host's dividend record layout (compiled module)."""
from typing import Any

import numpy as np
import pandas as pd

from tessel.data.base_data_source.storage_interface import AbstractDividendStore

class VexdataPayoutHistory(AbstractDividendStore):
    # (field name, numpy type string), in record order
    DATA_TYPE: list[tuple[str, str]]
    _env: Any
    # indexed by order book id, the DATA_TYPE columns; None when the service had no table
    dividend_df: pd.DataFrame | None
    def __init__(self) -> None: ...
    # LRU-cached (2048 funds): None without a table, else the fund's records
    # (possibly none) with book_closure_date moved by the trading calendar.
    def get_dividend(self, order_book_id: str) -> np.recarray | None: ...
