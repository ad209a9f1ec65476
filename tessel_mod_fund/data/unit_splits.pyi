"""Unit split factors of public funds (compiled module)."""
import numpy as np

from tessel.data.base_data_source.storage_interface import AbstractSimpleFactorStore

class VexdataUnitSplits(AbstractSimpleFactorStore):
    # ("ex_date" <i8 YYYYMMDDhhmmss, "split_factor" <f8)
    DATA_TYPE: np.dtype
    # cached without limit, None included: None when the fund has no splits
    def get_factors(self, order_book_id: str) -> np.ndarray | None: ...
