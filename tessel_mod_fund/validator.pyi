"""Front-end validator for fund orders (compiled module)."""
from typing import Any

from tessel.interface import AbstractFrontendValidator

class FundStatusValidator(AbstractFrontendValidator):
    _env: Any
    def __init__(self, env: Any) -> None: ...
    def validate_submission(self, order: Any, account: Any | None = None) -> str | None: ...
    def validate_cancellation(self, order: Any, account: Any | None = None) -> None: ...
