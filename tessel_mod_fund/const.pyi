"""Fund status enumeration (compiled module)."""
from typing import Any

from tessel.const import CustomEnum

class FUND_STATUS(CustomEnum):
    """基金状态"""

    OPEN = "Open"
    LIMITED = "Limited"
    SUSPENDED = "Suspended"
    CLOSE = "Close"
    @classmethod
    def invalid_state(cls, state: Any) -> bool: ...
