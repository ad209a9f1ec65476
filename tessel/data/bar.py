"""Read-only view of one day bar."""
import numpy as np

from tessel.utils.datetime_func import convert_int_to_date

# Price and volume fields that read as NaN on a day without a bar (the
# instrument did not trade or publish that day).
_NUMERIC_FIELDS = frozenset(("open", "high", "low", "close", "prev_close", "volume", "total_turnover",
                             "limit_up", "limit_down"))


# dtype -> its field names, for the membership test of every attribute read.
_FIELD_SETS = {}
# id(dtype object) -> (that dtype, its field names, _row_positions(dtype)), for dtype objects seen lately.
_FIELDS_BY_ID = {}
_MAX_KNOWN_DTYPES = 100_000

# Kinds of fields whose element of ``record.item()`` is what reading the field gives (see _plain):
# numbers and booleans as Python's own, byte strings as bytes (then decoded), texts as str.
_ROW_KINDS = frozenset("biufcSU")


def _row_positions(dtype):
    """Field name -> its position in ``record.item()`` when every field of ``dtype`` reads as that element
    does (see _ROW_KINDS; none with a shape or fields of its own); else None."""
    fields = dtype.fields
    if not fields:
        return None
    positions = {}
    for position, name in enumerate(dtype.names):
        kind = fields[name][0]
        if kind.kind not in _ROW_KINDS or kind.shape != () or kind.names is not None:
            return None
        positions[name] = position
    return positions


def _plain(value):
    if isinstance(value, (bytes, np.bytes_)):
        # Status texts are stored as fixed-width byte strings; hand them out as text.
        return bytes(value).decode("utf-8").rstrip("\x00")
    if isinstance(value, np.generic):
        return value.item()
    return value


def _field_value(bar, name):
    """The value of field ``name`` of ``bar``: what reading it as an attribute gives."""
    data = bar._data
    if data is None:
        return float("nan") if name in _NUMERIC_FIELDS else None
    dtype = data.dtype
    # By the dtype object's identity first: hashing a structured dtype costs microseconds, and the
    # records of one instrument's bars share one dtype object.
    known = _FIELDS_BY_ID.get(id(dtype))
    if known is not None and known[0] is dtype:
        names = known[1]
    else:
        names = _FIELD_SETS.get(dtype)
        if names is None:
            names = _FIELD_SETS[dtype] = frozenset(dtype.names or ())
        if len(_FIELDS_BY_ID) >= _MAX_KNOWN_DTYPES:
            _FIELDS_BY_ID.clear()
        # The dtype is held with its entry, so its id is not reused while the entry lasts.
        _FIELDS_BY_ID[id(dtype)] = (dtype, names, _row_positions(dtype))
    if name in names:
        value = data[name]
        if type(value) is np.float64:
            return float(value)
        return _plain(value)
    raise AttributeError("bar of {} has no field '{}' (fields: {})".format(
        bar._instrument.order_book_id, name, ", ".join(data.dtype.names)))


# Field names that BarObject answers with a class property (see BarObject.__getattr__).
_FIELD_PROPERTIES = set()


def _field_property(name):
    def read(self):
        getattr_hook = type(self).__getattr__
        if getattr_hook is not _BAR_GETATTR:
            # A subclass that reads fields its own way keeps doing so.
            return getattr_hook(self, name)
        values = self._values
        if values is not None:
            try:
                return values[name]
            except KeyError:
                pass
        data = self._data
        if data is not None:
            # _field_value's common case, inlined: a field of a dtype seen before.
            dtype = data.dtype
            known = _FIELDS_BY_ID.get(id(dtype))
            if known is not None and known[0] is dtype and name in known[1]:
                positions = known[2]
                if positions is not None and type(data) is np.void:
                    # Every field of the record at once (one call instead of one per field); an element
                    # is what reading the field gives, byte strings once decoded.
                    row = self._row
                    if row is None:
                        row = self._row = data.item()
                    value = row[positions[name]]
                    if type(value) is bytes:
                        value = value.decode("utf-8").rstrip("\x00")
                else:
                    value = data[name]
                    value = float(value) if type(value) is np.float64 else _plain(value)
            else:
                value = _field_value(self, name)
        else:
            value = _field_value(self, name)
        # The bar's records are the stores' shared arrays, which nobody writes to: a field read once
        # (the validators, the matcher and the strategy functions read the same few) is kept.
        if values is None:
            self._values = {name: value}
        else:
            values[name] = value
        return value

    read.__name__ = name
    return property(read, doc="Field '{}' of the bar record.".format(name))


class BarObject:
    """One bar of an instrument; every field of the bar record reads as an attribute.

    ``data`` is a record of a structured array, or None for a day on which
    the instrument has no bar: then the price fields read as NaN, ``isnan``
    is true and any other field is None.
    """

    __slots__ = ("_instrument", "_data", "_dt", "_values", "_row")

    def __init__(self, instrument, data, dt=None):
        self._instrument = instrument
        self._data = data
        self._dt = dt
        self._values = None  # field name -> value, for the fields read through class properties
        self._row = None  # data.item(), once a field is read from it

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
        value = _field_value(self, name)
        # Reached only after the ordinary look-up failed, which costs an exception every time: a
        # field name seen once is answered by a class property from then on (same values, same errors).
        if name not in _FIELD_PROPERTIES and not hasattr(BarObject, name):
            _FIELD_PROPERTIES.add(name)
            setattr(BarObject, name, _field_property(name))
        return value

    def __repr__(self):
        if self._data is None:
            return "BarObject({}, no bar)".format(self._instrument.order_book_id)
        body = ", ".join("{}={!r}".format(n, _plain(self._data[n])) for n in self._data.dtype.names)
        return "BarObject({}, {})".format(self._instrument.order_book_id, body)


_BAR_GETATTR = BarObject.__getattr__
