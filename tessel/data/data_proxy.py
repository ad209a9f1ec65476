"""What strategies, positions and plug-ins ask about data, answered from the data source."""
import bisect
import datetime as _dt

import numpy as np
import pandas as pd

from tessel.const import TRADING_CALENDAR_TYPE
from tessel.data.bar import BarObject
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int, to_timestamp


def _ordinal(value):
    """The proleptic Gregorian ordinal of a date-like value's day (see ``_to_day``)."""
    if isinstance(value, _dt.date) and value is not pd.NaT:
        if isinstance(value, pd.Timestamp) and value.tzinfo is not None:
            value = value.tz_localize(None)
        return value.toordinal()
    return _to_day(value).toordinal()


def _to_day(value):
    """A midnight Timestamp for a date, datetime, Timestamp, datetime64 or date text ("20200101")."""
    ts = to_timestamp(value)
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    # Times of day are dropped: the calendar holds dates, and "the trading
    # day before 2020-01-03 15:00" is the day before 2020-01-03.
    return ts.normalize()


class DataProxy:
    def __init__(self, data_source):
        self._data_source = data_source
        self._instrument_cache = {}
        self._instrument_cache_version = None

    @property
    def data_source(self):
        return self._data_source

    # --- instruments ----------------------------------------------------------------------
    def instruments(self, id_or_ids):
        """One instrument (or None) for a text; a list of the known ones for a list of texts."""
        if isinstance(id_or_ids, str):
            return self._instrument(id_or_ids)
        result = []
        for key in id_or_ids:
            ins = self._instrument(key)
            if ins is not None:
                result.append(ins)
        return result

    def _instrument(self, key):
        # Stores may build a new object per request; positions ask for their
        # instrument every day, so keep the first one found.
        version = getattr(self._data_source, "instruments_version", None)
        if version != self._instrument_cache_version:
            self._instrument_cache = {}
            self._instrument_cache_version = version
        try:
            return self._instrument_cache[key]
        except KeyError:
            pass
        found = self._data_source.get_instruments([key])
        ins = found[0] if found else None
        if ins is not None:
            self._instrument_cache[key] = ins
        return ins

    def all_instruments(self, types=None):
        return self._data_source.get_instruments(None, types)

    # --- bars -----------------------------------------------------------------------------
    def _known_instrument(self, order_book_id):
        instrument = self.instruments(order_book_id)
        if instrument is None:
            raise ValueError("unknown instrument {!r}".format(order_book_id))
        return instrument

    def get_bar(self, order_book_id, dt, frequency="1d"):
        instrument = self._known_instrument(order_book_id)
        record = self._data_source.get_bar(instrument, dt, frequency)
        return BarObject(instrument, record, dt)

    def get_bars(self, order_book_id):
        return self._data_source.get_bars(self._known_instrument(order_book_id))

    # --- calendar -------------------------------------------------------------------------
    def _calendar(self):
        return self._data_source.get_trading_calendars()[TRADING_CALENDAR_TYPE.EXCHANGE]

    def _calendar_days(self):
        """The calendar as (day ordinals, Timestamps), rebuilt when the data source's calendar changes.

        Positions ask for neighbouring trading days every day; a binary
        search over plain integers answers that without pandas.
        """
        cal = self._calendar()
        cached = self.__dict__.get("_calendar_cache")
        if cached is None or cached[0] is not cal:
            stamps = list(cal)
            cached = (cal, [ts.toordinal() for ts in stamps], stamps)
            self._calendar_cache = cached
        return cached[1], cached[2]

    def get_trading_dates(self, start_date, end_date):
        cal = self._calendar()
        start, end = _to_day(start_date), _to_day(end_date)
        return cal[(cal >= start) & (cal <= end)]

    def is_trading_date(self, date):
        cal = self._calendar()
        day = _to_day(date)
        pos = cal.searchsorted(day)
        return pos < len(cal) and cal[pos] == day

    def _pick(self, cal, pos, date, n, direction):
        if not 0 <= pos < len(cal):
            raise ValueError("{} trading date of {} with n={} lies outside the trading calendar ({} to {})".format(
                direction, _to_day(date).date(), n, cal[0].date(), cal[-1].date()))
        return cal[pos]  # Timestamps are immutable: sharing them is safe

    def get_next_trading_date(self, date, n=1):
        """The ``n``-th trading date after ``date``.

        n=1 is the first trading date strictly after ``date``; n=0 is
        ``date`` itself when it is a trading date, else the last trading
        date before it; negative n counts back from there.

        Past the end of the calendar, weekdays stand in for the trading days
        that are not known yet: an amount owed a few days after the last day
        of the data (a redemption on the last days of a run) keeps a due
        date instead of failing the trade that created it.
        """
        n = int(n)
        ordinals, stamps = self._calendar_days()
        day = _ordinal(date)
        pos = bisect.bisect_right(ordinals, day) + n - 1
        if pos >= len(stamps) and stamps:
            if day > ordinals[-1]:
                if n > 0:
                    return pd.Timestamp(pd.Timestamp(_dt.date.fromordinal(day)) + pd.offsets.BDay(n))
                pos = len(stamps) - 1 + n
            else:
                return pd.Timestamp(stamps[-1] + pd.offsets.BDay(pos - len(stamps) + 1))
        return self._pick(stamps, pos, date, n, "next")

    def get_previous_trading_date(self, date, n=1):
        """The ``n``-th trading date before ``date`` (n=1: the last one strictly before it)."""
        n = int(n)
        ordinals, stamps = self._calendar_days()
        pos = bisect.bisect_left(ordinals, _ordinal(date)) - n
        return self._pick(stamps, pos, date, n, "previous")

    # --- corporate actions ----------------------------------------------------------------
    def get_dividend(self, order_book_id):
        instrument = self.instruments(order_book_id)
        if instrument is None:
            return None
        return self._data_source.get_dividend(instrument)

    def get_dividend_by_book_date(self, order_book_id, date):
        """The dividend records whose ``book_closure_date`` is ``date``, or None."""
        table = self.get_dividend(order_book_id)
        if table is None or len(table) == 0:
            return None
        mask = table["book_closure_date"] == convert_date_to_date_int(date)
        if not mask.any():
            return None
        return table[mask]

    def get_split(self, order_book_id):
        instrument = self.instruments(order_book_id)
        if instrument is None:
            return None
        return self._data_source.get_split(instrument)

    def get_split_by_ex_date(self, order_book_id, date):
        """The split factor (units after per unit before) taking effect on trading day ``date``, or None.

        A split whose ex-date falls on a day the exchange is closed takes
        effect on the next trading day, so the factors of every ex-date after
        the previous trading day and up to ``date`` apply; several of them
        multiply.
        """
        factors = self.get_split(order_book_id)
        if factors is None or len(factors) == 0:
            return None
        ordinals, stamps = self._calendar_days()
        day = _ordinal(date)
        upper = convert_date_to_int(_dt.date.fromordinal(day))
        pos = bisect.bisect_left(ordinals, day)
        ex_dates = factors["ex_date"]
        if pos > 0:
            hits = np.flatnonzero((ex_dates > convert_date_to_int(stamps[pos - 1])) & (ex_dates <= upper))
        else:
            hits = np.flatnonzero(ex_dates == upper)
        if len(hits) == 0:
            return None
        ratio = 1.0
        for i in hits:
            ratio *= float(factors["split_factor"][i])
        return ratio
