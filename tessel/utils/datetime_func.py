"""Conversions between dates and the engine's integer date forms.

Two forms are used throughout:

* ``convert_date_to_int``: YYYYMMDDhhmmss as one integer (a date at
  midnight is YYYYMMDD * 1000000).  Day bars and split records key their
  rows by it.
* ``convert_date_to_date_int``: YYYYMMDD.  Dividend records use it.

Both accept a single value (``date``, ``datetime``, ``pd.Timestamp``,
``np.datetime64`` or an ISO/eight-digit text) and return a Python ``int``,
or a whole collection at once (``DatetimeIndex``, a datetime ``Series``,
its ``.dt`` accessor or a datetime64 numpy array) and return an int64 numpy
array.  A datetime64 collection is split into days and time of day using its
own unit, so the result does not depend on the array's time resolution (s,
ms, us or ns); time-zone-aware ones go through their calendar fields.
"""
import datetime as _dt

import numpy as np
import pandas as pd

try:  # the accessor class moved between pandas versions; only used for isinstance
    from pandas.core.indexes.accessors import DatetimeProperties as _DatetimeProperties
except ImportError:  # pragma: no cover
    _DatetimeProperties = ()


def _fields_source(value):
    """The object exposing vectorised .year/.month/... for a collection, or None for a scalar."""
    if isinstance(value, pd.DatetimeIndex):
        return value
    if _DatetimeProperties and isinstance(value, _DatetimeProperties):
        return value
    if isinstance(value, pd.Series):
        if not pd.api.types.is_datetime64_any_dtype(value.dtype):
            try:
                value = pd.to_datetime(value)
            except (TypeError, ValueError) as exc:
                raise TypeError("cannot convert Series of dtype {} to dates: {}".format(value.dtype, exc)) from None
        return value.dt
    if isinstance(value, (pd.Index, np.ndarray, list, tuple)):
        try:
            return pd.DatetimeIndex(value)
        except (TypeError, ValueError) as exc:
            raise TypeError("cannot convert {} to dates: {}".format(type(value).__name__, exc)) from None
    return None


def _refuse_missing(missing):
    """Raise naming the first True position of the boolean array ``missing``."""
    missing = np.asarray(missing)
    if missing.any():
        raise ValueError("cannot convert a missing date (NaT, at position {}) to an integer date".format(
            int(np.flatnonzero(missing)[0])))


def to_timestamp(value):
    """A Timestamp of a date, datetime, Timestamp, datetime64 or date text; numbers and NaT are refused."""
    if isinstance(value, (bool, np.bool_)) or isinstance(value, (int, float, np.integer, np.floating)):
        # An integer is ambiguous (epoch count? YYYYMMDD?); refuse rather than guess.
        raise TypeError("expected a date, datetime, Timestamp, datetime64 or date text, got {!r}".format(value))
    if isinstance(value, _dt.date) and not isinstance(value, _dt.datetime):
        return pd.Timestamp(value.year, value.month, value.day)
    try:
        ts = pd.Timestamp(value)
    except (TypeError, ValueError) as exc:
        raise ValueError("cannot interpret {!r} as a date: {}".format(value, exc)) from None
    if ts is pd.NaT or pd.isna(ts):
        raise ValueError("cannot use a missing date (NaT)")
    return ts


def _date_part(src):
    return (np.asarray(src.year, dtype=np.int64) * 10000
            + np.asarray(src.month, dtype=np.int64) * 100
            + np.asarray(src.day, dtype=np.int64))


def _time_part(src):
    return (np.asarray(src.hour, dtype=np.int64) * 10000
            + np.asarray(src.minute, dtype=np.int64) * 100
            + np.asarray(src.second, dtype=np.int64))


def _naive_datetime64(value):
    """The datetime64 numpy array of a time-zone-naive DatetimeIndex or datetime Series, else None."""
    # A time-zone-aware dtype is pandas' own, not a numpy dtype: its wall
    # time needs pandas, so it takes the field-by-field path.
    if isinstance(value, (pd.DatetimeIndex, pd.Series)) and isinstance(value.dtype, np.dtype) \
            and value.dtype.kind == "M":
        # The integers behind the values, seen in their own unit: the same
        # array as to_numpy() gives, without its conversion machinery.
        ints = value.asi8 if isinstance(value, pd.DatetimeIndex) else value.array.asi8
        return ints.view(value.dtype)
    if isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype.kind == "M":
        return value
    return None


# Counts of each datetime64 unit finer than a week in one day.
_UNITS_PER_DAY = {"D": 1, "h": 24, "m": 24 * 60, "s": 86400, "ms": 86400 * 10 ** 3, "us": 86400 * 10 ** 6,
                  "ns": 86400 * 10 ** 9}
_NAT = np.iinfo(np.int64).min


def _civil_from_days(days):
    """(year, month, day) arrays of int64 day counts since 1970-01-01, proleptic Gregorian.

    Whole 400-year eras shift every count onto a non-negative day of era,
    and the year is taken to start on March 1st so that the leap day is
    the last day of a year; floor division keeps dates before 1970 right.
    """
    z = days + 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    day = doy - (153 * mp + 2) // 5 + 1
    month = np.where(mp < 10, mp + 3, mp - 9)
    year = yoe + era * 400 + (month <= 2)
    return year, month, day


# YYYYMMDD of every day from 1900-01-01 to 2099-12-31, made on first use:
# dates in that span are looked up, which is several times cheaper than
# working out the calendar arithmetic for each array.
_TABLE_FIRST_DAY = -25567  # 1900-01-01
_TABLE_DAYS = 73049
_date_table = None


def _date_ints(days):
    """YYYYMMDD (int64) of an int64 array of day counts since 1970-01-01."""
    global _date_table
    if days.size:
        first, last = days.min(), days.max()
        if first >= _TABLE_FIRST_DAY and last < _TABLE_FIRST_DAY + _TABLE_DAYS:
            if _date_table is None:
                year, month, day = _civil_from_days(np.arange(_TABLE_FIRST_DAY, _TABLE_FIRST_DAY + _TABLE_DAYS))
                _date_table = year * 10000 + month * 100 + day
            return _date_table[days - _TABLE_FIRST_DAY]
    year, month, day = _civil_from_days(days)
    return year * 10000 + month * 100 + day


def _fields_of_datetime64(arr, with_time):
    """YYYYMMDD (and hhmmss) of a datetime64 array by integer calendar arithmetic in numpy.

    The raw counts are split into days and the units within the day using
    the array's own unit (s, ms, us, ns, ...), so no resolution is assumed;
    coarser or irregular units are cast by numpy instead.
    """
    arr = np.asarray(arr)
    unit, step = np.datetime_data(arr.dtype)
    per_day, uneven = divmod(_UNITS_PER_DAY.get(unit, 0), step)
    if per_day == 0 or uneven or (per_day % 86400 and 86400 % per_day):
        return _fields_by_casting(arr, with_time)
    raw = arr.view(np.int64)
    if raw.size and raw.min() == _NAT:
        _refuse_missing(raw == _NAT)
    days = raw // per_day if per_day > 1 else raw
    out = _date_ints(days)
    if with_time:
        within = raw - days * per_day if per_day > 1 else None
        if within is None or not within.any():  # every value at midnight
            return out * 1000000
        seconds = within // (per_day // 86400) if per_day >= 86400 else within * (86400 // per_day)
        hour, rest = np.divmod(seconds, 3600)
        minute, second = np.divmod(rest, 60)
        out = out * 1000000 + hour * 10000 + minute * 100 + second
    return out


def _fields_by_casting(arr, with_time):
    """YYYYMMDD (and hhmmss) of a datetime64 array through numpy's own unit casts (any unit)."""
    _refuse_missing(np.isnat(arr))
    days = arr.astype("datetime64[D]")
    months = days.astype("datetime64[M]")
    year = months.astype("datetime64[Y]").astype(np.int64) + 1970
    month = months.astype(np.int64) % 12 + 1
    day = (days - months).astype(np.int64) + 1
    out = year * 10000 + month * 100 + day
    if with_time:
        seconds = (arr - days).astype("timedelta64[s]").astype(np.int64)
        hour, rest = np.divmod(seconds, 3600)
        minute, second = np.divmod(rest, 60)
        out = out * 1000000 + hour * 10000 + minute * 100 + second
    return out


def _is_plain_date(value):
    # date, datetime and Timestamp carry their fields; NaT claims to be a
    # datetime but has none.
    return isinstance(value, _dt.date) and value is not pd.NaT


def _convert_other(value, with_time):
    """YYYYMMDD[hhmmss] of anything but a plain date: a datetime collection, datetime64 or date text."""
    arr = _naive_datetime64(value)
    if arr is not None:
        return _fields_of_datetime64(arr, with_time)
    src = _fields_source(value)
    if src is not None:
        _refuse_missing(pd.isna(src.year))
        day = _date_part(src)
        return day * 1000000 + _time_part(src) if with_time else day
    # A Timestamp is a plain date, so this takes the converters' fast path.
    ts = to_timestamp(value)
    return convert_date_to_int(ts) if with_time else convert_date_to_date_int(ts)


def convert_date_to_date_int(value):
    """YYYYMMDD of a date, or of every element of a datetime collection."""
    if _is_plain_date(value):  # the common case, kept cheap: positions ask every day
        return value.year * 10000 + value.month * 100 + value.day
    return _convert_other(value, with_time=False)


def convert_date_to_int(value):
    """YYYYMMDDhhmmss of a datetime, or of every element of a datetime collection."""
    if _is_plain_date(value):
        day = (value.year * 10000 + value.month * 100 + value.day) * 1000000
        if isinstance(value, _dt.datetime):
            return day + value.hour * 10000 + value.minute * 100 + value.second
        return day
    return _convert_other(value, with_time=True)


def convert_int_to_date(value):
    """Inverse of ``convert_date_to_int`` (also accepts YYYYMMDD) as a ``datetime``."""
    value = int(value)
    if value > 99991231:
        date_part, time_part = divmod(value, 1000000)
    else:
        date_part, time_part = value, 0
    year, rest = divmod(date_part, 10000)
    month, day = divmod(rest, 100)
    hour, rest = divmod(time_part, 10000)
    minute, second = divmod(rest, 100)
    return _dt.datetime(year, month, day, hour, minute, second)


def to_date(value):
    """A ``datetime.date`` from a date, datetime, Timestamp, datetime64 or date text."""
    return to_timestamp(value).date()
