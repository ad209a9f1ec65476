"""Shared native helpers: rounding, LRU caches, host subclasses (compiled module)."""
from typing import Any, Callable, Iterable, TypeVar

_T = TypeVar("_T")

class _lru_cache_wrapper:
    """A callable whose results are kept in a native least-recently-used cache."""

    name: str
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def cache_clear(self) -> None: ...
    def cache_info(self) -> tuple[int, int, int | None, int]: ...
    def __get__(self, obj: Any, objtype: Any = None) -> Any: ...

def round4(x: _T) -> _T:
    """``round(x, 4)`` with Python's exact result (ints come back unchanged)."""

def round4_many(values: Iterable[Any]) -> list[Any]: ...
def lru_cache(fn: Callable[..., Any], maxsize: int = 128) -> _lru_cache_wrapper:
    """Wrap ``fn`` in the native LRU cache; ``maxsize`` 0 means unbounded."""

def make_subclass(name: str, base: type, attrs: dict[str, Any]) -> type:
    """Create a subclass of ``base`` through its metaclass with ``attrs`` as namespace."""
