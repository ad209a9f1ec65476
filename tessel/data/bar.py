"""Read-only view of one day bar."""
from collections import namedtuple
from operator import attrgetter
from types import SimpleNamespace

import numpy as np

from tessel.utils.datetime_func import convert_int_to_date

# Price and volume fields that read as NaN on a day without a bar (the
# instrument did not trade or publish that day).
_NUMERIC_FIELDS = frozenset(("open", "high", "low", "close", "prev_close", "volume", "total_turnover",
                             "limit_up", "limit_down"))


# dtype -> its field names, for the membership test of every attribute read.
_FIELD_SETS = {}
# id(dtype object) -> (that dtype, its field names, _row_positions(dtype), the positions of its byte-string
# fields, _row_class(dtype)), for dtype objects seen lately.
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
        positions = _row_positions(dtype)
        texts = () if positions is None else tuple(
            position for position, n in enumerate(dtype.names) if dtype.fields[n][0].kind == "S")
        _FIELDS_BY_ID[id(dtype)] = (dtype, names, positions, texts,
                                    None if positions is None else _row_class(dtype, positions))
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
    """The class property of field ``name``: the bar's kept value, read in C (see BarObject._fields).

    A bar that has not kept the field yet (or a subclass that reads fields its own way) makes the read
    fail with AttributeError, which hands it to ``__getattr__``: same values, same errors.
    """
    doc = "Field '{}' of the bar record.".format(name)
    if "." in name:  # not a name attrgetter can take: always through __getattr__
        def read(self):
            return type(self).__getattr__(self, name)

        read.__name__ = name
        return property(read, doc=doc)
    return property(attrgetter("_fields." + name), doc=doc)


def _not_a_field(self):
    raise AttributeError("not a field")


# What a tuple class of fields has besides its fields; a bar's class property of a field another dtype
# has must not find one of these (it would hand out a method instead of failing over to __getattr__).
_TUPLE_ATTRIBUTES = ("count", "index", "_asdict", "_replace", "_make", "_field_defaults")


# field names -> _row_class of them (every fund's bars have a dtype object of their own, with the same names)
_ROW_CLASSES = {}


def _row_class(dtype, positions):
    """A tuple class whose attributes are the fields of ``dtype`` (read in C), or None when a field name
    cannot be such an attribute (not an identifier, a keyword, a leading underscore, a duplicate)."""
    names = tuple(positions)
    try:
        return _ROW_CLASSES[names]
    except KeyError:
        pass
    try:
        row = namedtuple("BarFields", names)
    except ValueError:
        row = None
    if row is not None and row._fields != names:
        row = None
    if row is not None:
        for name in _TUPLE_ATTRIBUTES:
            if name not in positions:
                setattr(row, name, property(_not_a_field))
    if len(_ROW_CLASSES) >= _MAX_KNOWN_DTYPES:
        _ROW_CLASSES.clear()
    _ROW_CLASSES[names] = row
    return row


def _all_fields(bar):
    """Every field of the bar's record as reading it gives, as attributes of one tuple, or None when its
    record is not of a plain dtype (see _ROW_KINDS) or has a byte string that is no UTF-8 text."""
    data = bar._data
    if type(data) is not np.void:
        return None
    dtype = data.dtype
    known = _FIELDS_BY_ID.get(id(dtype))
    if known is None or known[0] is not dtype or known[4] is None:
        return None
    texts = known[3]
    if not texts:
        return _new_tuple(known[4], data.item())
    values = list(data.item())
    try:
        for position in texts:
            values[position] = values[position].decode("utf-8").rstrip("\x00")
    except UnicodeDecodeError:
        return None
    return _new_tuple(known[4], values)


_new_tuple = tuple.__new__


class BarObject:
    """One bar of an instrument; every field of the bar record reads as an attribute.

    ``data`` is a record of a structured array, or None for a day on which
    the instrument has no bar: then the price fields read as NaN, ``isnan``
    is true and any other field is None.
    """

    __slots__ = ("_instrument", "_data", "_dt", "_fields")

    def __init__(self, instrument, data, dt=None):
        self._instrument = instrument
        self._data = data
        self._dt = dt
        # The field values, as attributes of one object (None before the first read): a tuple of all
        # the record's fields (see _all_fields), else a namespace of those read so far.  The class
        # properties of the fields read them from it in C.  The records are the stores' shared arrays,
        # which nobody writes to; the validators, the matcher and the strategy functions read the same
        # few fields of a day's bar.
        self._fields = None

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
        fields = self._fields
        if fields is None and type(self).__getattr__ is _BAR_GETATTR and type(self._data) is np.void:
            # The first field read of a plain record keeps all its fields at once.
            dtype = self._data.dtype
            known = _FIELDS_BY_ID.get(id(dtype))
            if known is None or known[0] is not dtype:
                _field_value(self, name)  # the dtype's first record: its fields are listed (or name is refused)
            fields = self._fields = _all_fields(self)
        if fields is not None and name in (fields.__dict__ if type(fields) is SimpleNamespace else fields._fields):
            value = getattr(fields, name)
        else:
            value = _field_value(self, name)
            if type(self).__getattr__ is _BAR_GETATTR:
                if fields is None:
                    fields = self._fields = SimpleNamespace()
                if type(fields) is SimpleNamespace:
                    setattr(fields, name, value)
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
_MISSING = object()
