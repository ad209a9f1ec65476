"""Date parsing shared by the query functions and the CSV importer.

The database stores every date as ISO text "YYYY-MM-DD" (see schema.sql), so
everything here converts to and from `datetime.date` and that text form.
"""
import datetime as _dt
import re

import numpy as np
import pandas as pd

from vexdatac.share.errors import BadRequest, shown

_ISO = re.compile(r"^(\d{4})-(\d{2})-(\d{2})$")
_COMPACT = re.compile(r"^(\d{4})(\d{2})(\d{2})$")


def parse_date_text(text):
    """Parse "YYYY-MM-DD" or "YYYYMMDD" into a date; ValueError otherwise."""
    stripped = text.strip()
    match = _ISO.match(stripped) or _COMPACT.match(stripped)
    if match is None:
        raise ValueError(f"{shown(text)} is not a date (expected YYYY-MM-DD or YYYYMMDD)")
    year, month, day = (int(part) for part in match.groups())
    try:
        return _dt.date(year, month, day)
    except ValueError:
        raise ValueError(f"{shown(text)} is not a valid calendar date") from None


def to_date(value, name):
    """Turn a user-supplied date argument into a `datetime.date`.

    Accepts None (returned as None: an open end), "YYYYMMDD"/"YYYY-MM-DD"
    texts, `datetime.date`, `datetime.datetime`, `pandas.Timestamp` and
    `numpy.datetime64`; any time of day is dropped. Anything else raises
    `BadRequest` naming the argument and the value.
    """
    if value is None:
        return None
    if isinstance(value, str):
        try:
            return parse_date_text(value)
        except ValueError as exc:
            raise BadRequest(f"{name}: {exc}") from None
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise BadRequest(f"{name}: NaT is not a date")
        value = pd.Timestamp(value)
    if value is pd.NaT:
        raise BadRequest(f"{name}: NaT is not a date")
    # datetime.datetime and pandas.Timestamp are subclasses of date.
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    raise BadRequest(
        f"{name}: {value!r} of type {type(value).__name__} is not a date "
        "(give a 'YYYYMMDD' or 'YYYY-MM-DD' text, a date, a datetime or a Timestamp)"
    )


def date_window(start_date, end_date):
    """Return the (start, end) ISO texts of a query window; None ends are open.

    Raises `BadRequest` when start lies after end.
    """
    start = to_date(start_date, "start_date")
    end = to_date(end_date, "end_date")
    if start is not None and end is not None and start > end:
        raise BadRequest(f"start_date {start.isoformat()} lies after end_date {end.isoformat()}")
    return (
        start.isoformat() if start is not None else "0000-00-00",
        end.isoformat() if end is not None else "9999-99-99",
    )


def iso_to_datetime(text):
    """ISO text from the database (or None) to `datetime.datetime` (or None)."""
    if text is None:
        return None
    return _dt.datetime.strptime(text, "%Y-%m-%d")


def iso_column(texts):
    """A sequence of ISO texts (None allowed) to a datetime64 array-like.

    The resolution is whatever pandas picks; callers must not rely on it.
    """
    return pd.to_datetime(pd.Series(list(texts), dtype=object), format="%Y-%m-%d")
