"""The fund reference data stores: catalogue, NAV day bars, dividends, splits.

Each store is a compiled extension module; this package only gathers the
classes the plug-in entry registers with the engine.
"""
from .fund_catalog import FundCatalogEntry, FundCatalogStore
from .nav_day_bars import BaseNavDayBars, VexdataNavDayBars
from .payout_history import VexdataPayoutHistory
from .unit_splits import VexdataUnitSplits

__all__ = [
    "FundCatalogEntry",
    "FundCatalogStore",
    "BaseNavDayBars",
    "VexdataNavDayBars",
    "VexdataPayoutHistory",
    "VexdataUnitSplits",
]
