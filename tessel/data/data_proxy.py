"""What strategies, positions and plug-ins ask about data, answered from the data source."""
import bisect
import datetime as _dt
from operator import methodcaller

import numpy as np
import pandas as pd

from tessel import _native
from tessel.const import TRADING_CALENDAR_TYPE
from tessel.data.base_data_source import BaseDataSource, _BarIndex
from tessel.data.bar import BarObject, _all_fields
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


# Before any bar is indexed.
_NO_BARS = {}
# The dividend index of a fund without dividends, and the mark of a fund not cut yet.
_NO_ROWS = (None, {})
_UNCUT = object()
# Immutable date types whose answers may be remembered by the object's identity.
_REMEMBERED_DATE_TYPES = (_dt.date, _dt.datetime, pd.Timestamp)


_OWN_CALENDARS = BaseDataSource.get_trading_calendars
_CALENDAR_ROW_OF = BaseDataSource._calendar_row_of


class DataProxy:
    def __init__(self, data_source):
        self._data_source = data_source
        self._instrument_cache = {}
        self._instrument_cache_version = None
        # order book id -> what the corporate-action look-ups need of the
        # fund's table, cut once (see _dividend_index and _split_entries);
        # dropped when the data source's stores change.
        self._dividend_indexes = {}
        self._split_tables = {}
        self._actions_version = None
        # The last date object asked for by book-closure date, and its YYYYMMDD.
        self._last_book_date = _UNCUT
        self._last_book_key = None
        # (date object, the engine calendar it was answered from, answer) of the last
        # get_previous_trading_date(date) asked with a plain date.
        self._last_previous = (_UNCUT, None, None)
        # (date object, the engine calendar it was answered from, {n: answer}) of the last
        # get_next_trading_date(date, n) asked with a date, datetime or Timestamp: every trade of
        # a bar asks about its own trading time, which is the same object for all of them.
        self._last_next = (_UNCUT, None, {})
        # (datetime object, the calendar rows it was answered from, its day key, its calendar row) of
        # the last get_bar with a plain datetime.
        self._last_bar_day = (_UNCUT, None, None, None)
        # The bars handed out at one plain datetime: (that datetime, the bar stores' version, the
        # instruments' version, the calendar rows, {order book id: BarObject}).  A day's orders ask
        # for the same bars several times (validation, matching, the strategy's own reads).
        self._day_bars = (_UNCUT, None, None, None, {})

    @property
    def data_source(self):
        return self._data_source

    # --- instruments ----------------------------------------------------------------------
    def instrument(self, order_book_id):
        """``instruments(order_book_id)`` for one text id: the instrument or None."""
        # _instrument's cache hit, inlined: asked for every order and many positions every day.
        if getattr(self._data_source, "instruments_version", None) == self._instrument_cache_version:
            found = self._instrument_cache.get(order_book_id)
            if found is not None:
                return found
        return self._instrument(order_book_id)

    def instruments(self, id_or_ids):
        """One instrument (or None) for a text; a list of the known ones for a list of texts."""
        if isinstance(id_or_ids, str):
            if type(id_or_ids) is str:
                return self.instrument(id_or_ids)
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
        else:
            found = self._instrument_cache.get(key)
            if found is not None:
                return found
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
        bars = self._day_bars
        if bars[0] is dt and type(order_book_id) is str and frequency == "1d":
            source = self._data_source
            if bars[1] == source.bars_version and bars[2] == getattr(source, "instruments_version", None) and \
                    bars[3] is source._calendar_rows:
                bar = bars[4].get(order_book_id)
                if bar is not None:
                    return bar
        found = self._indexed_bars(order_book_id) if frequency == "1d" else None
        if found is not None:
            instrument, index = found
            if index.bars is None:
                bar = BarObject(instrument, None, dt)
            else:
                source = self._data_source
                rows = source._calendar_rows
                if rows is None or type(source)._calendar_row_of is not _CALENDAR_ROW_OF:
                    rows = source._calendar_row_of()
                memo = self._last_bar_day
                if memo[0] is dt and memo[1] is rows:
                    # The engine's current time, asked about for every order several times a day.
                    key, day = memo[2], memo[3]
                else:
                    key = BaseDataSource._day_key(dt)
                    day = rows[0].get(key)
                    if type(dt) is _dt.datetime:  # immutable: the same object is the same day
                        self._last_bar_day = (dt, rows, key, day)
                if day is not None and type(index) is _BarIndex:
                    # _BarIndex.bar_on's calendar-day case, inlined
                    row = index.row_by_day.item(day)
                    bar = BarObject(instrument, index._records[row] if row >= 0 else None, dt)
                else:
                    bar = BarObject(instrument, index.bar_on(key, day), dt)
                if bar._data is not None:
                    # The engine's bars are read (validators, matchers, strategy functions): their fields
                    # are kept at once, where the record's dtype has been read before (see BarObject).
                    bar._fields = _all_fields(bar)
            if type(dt) is _dt.datetime and type(order_book_id) is str:
                # _keep_bar, inlined for the bars of the time kept already
                bars = self._day_bars
                source = self._data_source
                if bars[0] is dt and bars[1] == source.bars_version and \
                        bars[2] == getattr(source, "instruments_version", None) and bars[3] is source._calendar_rows:
                    bars[4][order_book_id] = bar
                else:
                    self._keep_bar(order_book_id, dt, bar)
            return bar
        instrument = self._known_instrument(order_book_id)
        record = self._data_source.get_bar(instrument, dt, frequency)
        return BarObject(instrument, record, dt)

    def _keep_bar(self, order_book_id, dt, bar):
        """Keeps ``bar``, the bar of ``order_book_id`` at ``dt``, to be handed out again at that datetime."""
        source = self._data_source
        bars_version, instruments_version = source.bars_version, getattr(source, "instruments_version", None)
        rows = source._calendar_rows
        bars = self._day_bars
        if bars[0] is not dt or bars[1] != bars_version or bars[2] != instruments_version or bars[3] is not rows:
            bars = self._day_bars = (dt, bars_version, instruments_version, rows, {})
        bars[4][order_book_id] = bar

    def _indexed_bars(self, order_book_id):
        """(instrument, its bar index) when the data source is the engine's own, else None.

        Kept per id, so a day's bar costs two dictionary probes; dropped when
        the instruments or the bar stores change.
        """
        source = self._data_source
        if type(source).get_bar is not BaseDataSource.get_bar or not hasattr(source, "bars_version"):
            return None
        version = (getattr(source, "instruments_version", None), source.bars_version)
        if version != self.__dict__.get("_bar_version"):
            self._bar_version = version
            self._bars_by_id = {}
        try:
            return self._bars_by_id[order_book_id]
        except KeyError:
            pass
        except TypeError:  # not a hashable id: the slow path says what is wrong
            return None
        instrument = self._instrument(order_book_id) if isinstance(order_book_id, str) else None
        if instrument is None:
            return None
        found = (instrument, source._bar_index(instrument))
        self._bars_by_id[order_book_id] = found
        return found

    def release_bars(self):
        """Forget the bars looked up so far, here and in the data source; a later look-up fetches them again."""
        self._bars_by_id = {}
        self._day_bars = (_UNCUT, None, None, None, {})
        self._close_columns = None
        release = getattr(self._data_source, "release_bars", None)
        if release is not None:
            release()

    def get_bars(self, order_book_id):
        source = self._data_source
        if type(source).get_bars is BaseDataSource.get_bars and type(order_book_id) is str:
            # An instrument whose bars were indexed: what the engine's data source would give (the
            # original bars of that very index), without the look-ups on the way there.
            found = self.__dict__.get("_bars_by_id", _NO_BARS).get(order_book_id)
            # The indexes are those of the stores' current version (see _indexed_bars).
            if found is not None and self.__dict__.get("_bar_version") == (
                    getattr(source, "instruments_version", None), getattr(source, "bars_version", None)):
                return found[1].original
        return source.get_bars(self._known_instrument(order_book_id))

    def get_closes(self, order_book_ids, dt):
        """``[get_bar(i, dt).close for i in order_book_ids]`` (NaN where there is no bar), in one pass.

        Asks bar by bar when the data source has no batch answer, so the
        result and the errors are always those of ``get_bar``.
        """
        source = self._data_source
        if not isinstance(order_book_ids, list):
            order_book_ids = list(order_book_ids)
        # A data source that answers single bars its own way answers them here too.
        if type(source).get_bar is BaseDataSource.get_bar and hasattr(source, "bars_version"):
            day = source._calendar_row_of()[0].get(BaseDataSource._day_key(dt))
            if day is not None:
                closes = self._indexed_closes(order_book_ids, day)
                if closes is not None:
                    return closes
        return [self.get_bar(k, dt).close for k in order_book_ids]

    def _indexed_closes(self, order_book_ids, day):
        """The closes of calendar day ``day`` from the bar indexes, or None where one has none to give."""
        if not order_book_ids:
            return []
        if self._indexed_bars(order_book_ids[0]) is None:  # also starts afresh when the stores changed
            return None
        known = self._bars_by_id
        # The accounts ask for the same ids day after day: their close columns are kept for as long as the
        # ids and the bar indexes they came from (a new dict whenever the stores change) stay the same.
        memo = self.__dict__.get("_close_columns")
        if memo is None or memo[0] is not known or memo[1] != order_book_ids:
            columns = []
            append = columns.append
            for order_book_id in order_book_ids:
                try:
                    found = known[order_book_id]
                except KeyError:
                    found = self._indexed_bars(order_book_id)
                    if found is None:
                        return None
                except TypeError:
                    return None
                index = found[1]
                if not index.has_close:
                    return None
                append(index.close_by_day)
            memo = self._close_columns = (known, list(order_book_ids), columns)
        if _native.ENABLED:
            return _native._daycycle.day_items(memo[2], day)
        return list(map(methodcaller("item", day), memo[2]))

    # --- calendar -------------------------------------------------------------------------
    def _calendar(self):
        source = self._data_source
        if type(source).get_trading_calendars is BaseDataSource.get_trading_calendars:
            # The engine's own data source: its calendar, without building the dict of calendars.
            return source._trading_dates
        return source.get_trading_calendars()[TRADING_CALENDAR_TYPE.EXCHANGE]

    def _calendar_days(self):
        """The calendar as (day ordinals, Timestamps), rebuilt when the data source's calendar changes.

        Positions ask for neighbouring trading days every day; a binary
        search over plain integers answers that without pandas.
        """
        return self._calendar_state()[1:3]

    def _calendar_state(self):
        """(calendar, day ordinals, Timestamps, {(ordinal, n): previous trading date}) of the current calendar."""
        cal = self._calendar()
        cached = self.__dict__.get("_calendar_cache")
        if cached is None or cached[0] is not cal:
            stamps = list(cal)
            cached = (cal, [ts.toordinal() for ts in stamps], stamps, {})
            self._calendar_cache = cached
        return cached

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
        # Answers are remembered only from the engine's own calendar, while it is the one they came from.
        source = self._data_source
        dates = source._trading_dates if type(source).get_trading_calendars is _OWN_CALENDARS else None
        last = self._last_next
        remembered = dates is not None and type(n) is int
        if remembered and date is last[0] and dates is last[1]:
            found = last[2].get(n)
            if found is not None:
                return found
        found = self._next_trading_date(date, n)
        if remembered and type(date) in _REMEMBERED_DATE_TYPES:
            if date is not last[0] or dates is not last[1]:
                last = self._last_next = (date, dates, {})
            last[2][n] = found
        return found

    def _next_trading_date(self, date, n):
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
        last = self._last_previous
        if date is last[0] and type(n) is int and n == 1:
            # Every held position asks about the same date object each morning: the last answer,
            # while it comes from the engine's own calendar and that calendar is the one it was.
            source = self._data_source
            if type(source).get_trading_calendars is _OWN_CALENDARS and source._trading_dates is last[1]:
                return last[2]
        if type(date) is _dt.date and type(n) is int:
            # Every held position asks this for the same day each morning: the
            # day's answer, while the engine's own calendar stays the one it was.
            source = self._data_source
            if type(source).get_trading_calendars is _OWN_CALENDARS:
                cached = self.__dict__.get("_calendar_cache")
                if cached is not None and cached[0] is source._trading_dates:
                    found = cached[3].get((date, n))
                    if found is not None:
                        if n == 1:
                            self._remember_previous(date, found)
                        return found
        _, ordinals, stamps, previous = self._calendar_state()
        # Every position asks this for the same day each morning: remember the answers by day.
        plain = type(date) is _dt.date and type(n) is int
        if plain:
            found = previous.get((date, n))
            if found is not None:
                return found
        n = int(n)
        day = _ordinal(date)
        pos = bisect.bisect_left(ordinals, day) - n
        found = self._pick(stamps, pos, date, n, "previous")
        if plain:
            previous[(date, n)] = found
            if n == 1:
                self._remember_previous(date, found)
        return found

    def _remember_previous(self, date, found):
        source = self._data_source
        if type(source).get_trading_calendars is _OWN_CALENDARS:
            self._last_previous = (date, source._trading_dates, found)

    # --- corporate actions ----------------------------------------------------------------
    def get_dividend(self, order_book_id):
        instrument = self.instruments(order_book_id)
        if instrument is None:
            return None
        return self._data_source.get_dividend(instrument)

    def _check_actions_version(self):
        source = self._data_source
        version = (getattr(source, "corporate_actions_version", None), getattr(source, "instruments_version", None))
        if version != self._actions_version:
            self._dividend_indexes = {}
            self._split_tables = {}
            self._actions_version = version

    def _dividend_index(self, order_book_id):
        """(table, {book-closure YYYYMMDD: row positions}) of the fund, or None when it has no dividends.

        Built on the fund's first look-up, so the daily question "anything
        booked today?" is one dictionary probe.  None as the whole answer
        means the table is not a structured array: then it is searched as is.
        """
        self._check_actions_version()
        try:
            return self._dividend_indexes[order_book_id]
        except KeyError:
            pass
        table = self.get_dividend(order_book_id)
        if table is None or len(table) == 0:
            entry = _NO_ROWS
        elif isinstance(table, np.ndarray) and table.dtype.names and "book_closure_date" in table.dtype.names:
            rows = {}
            for pos, day in enumerate(np.asarray(table["book_closure_date"]).tolist()):
                rows.setdefault(day, []).append(pos)
            entry = (table, {day: np.array(found, dtype=np.intp) for day, found in rows.items()})
        else:
            entry = None
        self._dividend_indexes[order_book_id] = entry
        return entry

    def get_dividend_by_book_date(self, order_book_id, date):
        """The dividend records whose ``book_closure_date`` is ``date``, or None."""
        source = self._data_source
        version = self._actions_version
        # The cut table while it still belongs to the data source's stores (else cut afresh below).
        if version is not None and getattr(source, "corporate_actions_version", None) == version[0] and \
                getattr(source, "instruments_version", None) == version[1]:
            entry = self._dividend_indexes.get(order_book_id, _UNCUT)
        else:
            entry = _UNCUT
        if entry is _NO_ROWS:
            return None  # the common answer: nothing for this fund, or no dividends at all
        if entry is _UNCUT:
            entry = self._dividend_index(order_book_id)
        if entry is None:
            return self._dividend_by_book_date_search(order_book_id, date)
        table, rows = entry
        if not rows:
            return None
        if date is self._last_book_date:
            key = self._last_book_key
        elif isinstance(date, _dt.date) and date is not pd.NaT:
            key = date.year * 10000 + date.month * 100 + date.day
            # Dates are immutable, and one day's date object is asked about for many funds.
            self._last_book_date, self._last_book_key = date, key
        else:
            key = convert_date_to_date_int(date)
        found = rows.get(key)
        if found is None:
            return None
        return table[found]

    def _dividend_by_book_date_search(self, order_book_id, date):
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
        source = self._data_source
        version = self._actions_version
        entries = None
        if version is not None and getattr(source, "corporate_actions_version", None) == version[0] and \
                getattr(source, "instruments_version", None) == version[1]:
            entries = self._split_tables.get(order_book_id)
        if entries is None:
            entries = self._split_entries(order_book_id)
        if not entries:
            return None
        ordinals, stamps = self._calendar_days()
        day = _ordinal(date)
        upper = convert_date_to_int(_dt.date.fromordinal(day))
        pos = bisect.bisect_left(ordinals, day)
        if pos > 0:
            lower = convert_date_to_int(stamps[pos - 1])
            hits = [factor for ex_date, factor in entries if lower < ex_date <= upper]
        else:
            hits = [factor for ex_date, factor in entries if ex_date == upper]
        if not hits:
            return None
        ratio = 1.0
        for factor in hits:
            ratio *= factor
        return ratio

    def _split_entries(self, order_book_id):
        """The fund's (ex-date, factor) pairs in table order, read once; empty when it has none."""
        self._check_actions_version()
        try:
            return self._split_tables[order_book_id]
        except KeyError:
            pass
        factors = self.get_split(order_book_id)
        if factors is None or len(factors) == 0:
            entries = ()
        else:
            entries = tuple(zip(np.asarray(factors["ex_date"]).tolist(),
                                (float(f) for f in factors["split_factor"])))
        self._split_tables[order_book_id] = entries
        return entries


# The look-ups every held position makes every day run natively; the definitions above are the reference.
PYTHON_DEFINITIONS = _native.install("data_proxy", DataProxy, _OWN_CALENDARS, _NO_ROWS, pd.NaT)
