"""Read-only view of one day bar."""
import numpy as np

from tessel.utils.datetime_func import convert_int_to_date

# Price and volume fields that read as NaN on a day without a bar (the
# instrument did not trade or publish that day).
_NUMERIC_FIELDS = frozenset(("open", "high", "low", "close", "prev_close", "volume", "total_turnover",
                             "limit_up", "limit_down"))


# dtype -> its field names, for the membership test of every attribute read.
_FIELD_SETS = {}


def _plain(value):
    if isinstance(value, (bytes, np.bytes_)):
        # Status texts are stored as fixed-width byte strings; hand them out as text.
        return bytes(value).decode("utf-8").rstrip("\x00")
    if isinstance(value, np.generic):
        return value.item()
    return value


class BarObject:
    """One bar of an instrument; every field of the bar record reads as an attribute.

    ``data`` is a record of a structured array, or None for a day on which
    the instrument has no bar: then the price fields read as NaN, ``isnan``
    is true and any other field is None.
    """

    __slots__ = ("_instrument", "_data", "_dt")

    def __init__(self, instrument, data, dt=None):
        self._instrument = instrument
        self._data = data
        self._dt = dt

    @property
    def instrument(self):
        return self._instrument

    @property
    def order_book_id(self):
        return self._instrument.order_book_id

    @property
    def isnan(self):
        if self._data is None:
            return True
        if "isnan" in self._data.dtype.names:
            return bool(self._data["isnan"])
        return bool(np.isnan(self._data["close"]))

    @property
    def datetime(self):
        if self._data is None:
            return self._dt
        return convert_int_to_date(int(self._data["datetime"]))

    @property
    def fields(self):
        return () if self._data is None else self._data.dtype.names

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        data = self._data
        if data is None:
            return float("nan") if name in _NUMERIC_FIELDS else None
        dtype = data.dtype
        names = _FIELD_SETS.get(dtype)
        if names is None:
            names = _FIELD_SETS[dtype] = frozenset(dtype.names or ())
        if name in names:
            return _plain(data[name])
        raise AttributeError("bar of {} has no field '{}' (fields: {})".format(
            self._instrument.order_book_id, name, ", ".join(data.dtype.names)))

    def __repr__(self):
        if self._data is None:
            return "BarObject({}, no bar)".format(self._instrument.order_book_id)
        body = ", ".join("{}={!r}".format(n, _plain(self._data[n])) for n in self._data.dtype.names)
        return "BarObject({}, {})".format(self._instrument.order_book_id, body)
