"""The engine's data source: a trading calendar plus stores per instrument type."""
import datetime as _dt
import os

import numpy as np
import pandas as pd

from tessel.const import TRADING_CALENDAR_TYPE
from tessel.utils.datetime_func import convert_date_to_int

__all__ = ["BaseDataSource"]


class _BarIndex:
    """One instrument's bars with the bar row of every trading day, so a day's bar is found without a search."""

    __slots__ = ("original", "bars", "row_by_day", "has_close", "_close_by_day", "_dates", "_records")

    def __init__(self, bars, calendar_keys):
        self.original = bars
        self._dates = None
        if bars is None or len(bars) == 0:
            self.bars = self._records = None
            self.has_close = True
            self._close_by_day = np.full(len(calendar_keys), np.nan)
            self.row_by_day = None
            return
        self.bars = bars
        # A record array hands out its records through a Python-level __getitem__; the same records
        # come from a plain view of it directly.
        self._records = bars.view(np.ndarray) if type(bars) is np.recarray else bars
        dates = self.dates
        pos = np.searchsorted(dates, calendar_keys)
        inside = pos < len(dates)
        hit = np.zeros(len(calendar_keys), dtype=bool)
        hit[inside] = dates[pos[inside]] == calendar_keys[inside]
        self.row_by_day = np.where(hit, pos, -1).astype(np.int32 if len(bars) < 2 ** 31 else np.int64)
        self._dates = None  # needed again only for days outside the calendar
        self.has_close = bars.dtype.names is not None and "close" in bars.dtype.names
        self._close_by_day = None

    @property
    def dates(self):
        # A contiguous copy of the dates: searching a field of a structured
        # array would copy the whole column on every search.
        if self._dates is None:
            self._dates = np.ascontiguousarray(self.bars["datetime"])
        return self._dates

    def bar_on(self, key, day):
        """The bar record dated ``key`` (YYYYMMDD000000); ``day`` is its calendar position or None."""
        if day is not None:
            row = self.row_by_day.item(day)
            return self._records[row] if row >= 0 else None
        dates = self.dates
        pos = int(np.searchsorted(dates, key))
        if pos < len(dates) and int(dates[pos]) == key:
            return self._records[pos]
        return None

    @property
    def close_by_day(self):
        """The close of every trading day as float64, NaN on days without a bar."""
        if self._close_by_day is None:
            rows = self.row_by_day
            closes = np.asarray(self.bars["close"], dtype=np.float64)[np.maximum(rows, 0)]
            closes[rows < 0] = np.nan
            self._close_by_day = closes
        return self._close_by_day

TRADING_DATES_FILE = "trading_dates.csv"


def _load_trading_dates(path):
    if path is None:
        raise ValueError("no data bundle configured (base.data_bundle_path is empty)")
    path = os.path.expanduser(str(path))
    if not os.path.isdir(path):
        raise ValueError("data bundle directory {0} does not exist (write one with "
                         "`vexdatac export-calendar {0}`)".format(path))
    file_path = os.path.join(path, TRADING_DATES_FILE)
    if not os.path.isfile(file_path):
        raise ValueError("data bundle {} has no {}".format(path, TRADING_DATES_FILE))
    try:
        df = pd.read_csv(file_path, dtype=str)
    except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError) as exc:
        raise ValueError("cannot read {}: {}".format(file_path, exc)) from None
    if "trading_date" not in df.columns:
        raise ValueError("{} has no 'trading_date' column (columns: {})".format(file_path, list(df.columns)))
    texts = df["trading_date"]
    dates = pd.to_datetime(texts, format="%Y-%m-%d", errors="coerce")
    bad = dates.isna()
    if bad.any():
        first = int(np.flatnonzero(bad.to_numpy())[0])
        # +2: one for the header line, one because file lines count from 1
        raise ValueError("{} line {}: {!r} is not an ISO date (YYYY-MM-DD)".format(
            file_path, first + 2, texts.iloc[first]))
    calendar = pd.DatetimeIndex(dates)
    if len(calendar) == 0:
        raise ValueError("{} lists no trading dates".format(file_path))
    if not calendar.is_monotonic_increasing or calendar.has_duplicates:
        raise ValueError("{}: trading dates must be strictly ascending".format(file_path))
    return calendar


class BaseDataSource:
    def __init__(self, path, future_info=None, futures_time_series_trading_parameters=False, end_date=None):
        self._path = path
        self._future_info = future_info if future_info is not None else {}
        self._futures_time_series_trading_parameters = futures_time_series_trading_parameters
        self._end_date = end_date
        self._trading_dates = _load_trading_dates(path)
        self._instrument_stores = {}
        self._day_bar_stores = {}
        self._dividend_stores = {}
        self._split_stores = {}
        # (instrument type, order book id) -> _BarIndex, built on an instrument's
        # first bar lookup; a store's bars are taken as fixed for the run, so
        # each store is asked once per instrument.
        self._bar_indexes = {}
        self.bars_version = 0
        self._calendar_rows = None
        # Bumped whenever the dividend or split stores change (see DataProxy).
        self.corporate_actions_version = 0
        # Bumped whenever the instrument stores change, so caches of looked-up
        # instruments (the data proxy keeps one) know to start afresh.
        self.instruments_version = 0

    # --- registration ---------------------------------------------------------------------
    def register_instruments_store(self, instruments_store):
        # A later store for the same type replaces the earlier one.
        self._instrument_stores[instruments_store.instrument_type] = instruments_store
        self.instruments_version += 1

    def register_day_bar_store(self, instrument_type, store):
        self._day_bar_stores[instrument_type] = store
        self._bar_indexes = {}
        self.bars_version += 1

    def register_dividend_store(self, instrument_type, store):
        self._dividend_stores[instrument_type] = store
        self.corporate_actions_version += 1

    def register_split_store(self, instrument_type, store):
        self._split_stores[instrument_type] = store
        self.corporate_actions_version += 1

    # --- calendar -------------------------------------------------------------------------
    def get_trading_calendars(self):
        return {TRADING_CALENDAR_TYPE.EXCHANGE: self._trading_dates}

    def available_data_range(self, frequency="1d"):
        """(first, last) calendar date covered by the bundle, capped at the configured end date."""
        start = self._trading_dates[0].date()
        end = self._trading_dates[-1].date()
        if self._end_date is not None:
            end = min(end, pd.Timestamp(self._end_date).date())
        return start, end

    # --- instruments ----------------------------------------------------------------------
    def get_instruments(self, id_or_syms=None, types=None):
        stores = self._instrument_stores
        if types is not None:
            wanted = set(types)
            stores = {t: s for t, s in stores.items() if t in wanted}
        if id_or_syms is None:
            result = []
            for store in stores.values():
                result.extend(store.get_instruments(None))
            return result
        if isinstance(id_or_syms, str):
            id_or_syms = [id_or_syms]
        result = []
        for key in id_or_syms:
            for store in stores.values():
                found = next(iter(store.get_instruments([key])), None)
                if found is not None:
                    result.append(found)
                    break
        return result

    # --- bars -----------------------------------------------------------------------------
    def _store_for(self, stores, instrument, what):
        try:
            return stores[instrument.type]
        except KeyError:
            raise ValueError("no {} store registered for instrument type {} ({})".format(
                what, instrument.type, instrument.order_book_id)) from None

    def get_bars(self, instrument):
        """The instrument's day bars as its store gave them the first time they were asked for."""
        return self._bar_index(instrument).original

    def _fetch_bars(self, instrument):
        return self._store_for(self._day_bar_stores, instrument, "day bar").get_bars(instrument.order_book_id)

    def _calendar_row_of(self):
        """Midnight YYYYMMDDhhmmss key of each trading day -> its position in the calendar."""
        if self._calendar_rows is None:
            keys = convert_date_to_int(self._trading_dates)
            self._calendar_rows = (dict(zip(np.asarray(keys).tolist(), range(len(keys)))), np.asarray(keys))
        return self._calendar_rows

    def _bar_index(self, instrument):
        key = (instrument.type, instrument.order_book_id)
        index = self._bar_indexes.get(key)
        if index is None:
            # A subclass that serves bars its own way is asked, as get_bar always did.
            fetch = self._fetch_bars if type(self).get_bars is BaseDataSource.get_bars else self.get_bars
            index = _BarIndex(fetch(instrument), self._calendar_row_of()[1])
            self._bar_indexes[key] = index
        return index

    def release_bars(self):
        """Forget the bars looked up so far (the engine calls it when a run's days are done).

        Nothing else changes: a later look-up asks the store again.
        """
        self._bar_indexes = {}
        self.bars_version += 1

    @staticmethod
    def _day_key(dt):
        if isinstance(dt, _dt.date) and dt is not pd.NaT:
            return (dt.year * 10000 + dt.month * 100 + dt.day) * 1000000
        return convert_date_to_int(pd.Timestamp(dt).normalize())

    def get_bar(self, instrument, dt, frequency="1d"):
        """The record of the bar dated exactly ``dt`` (by date), or None when there is none."""
        if frequency != "1d":
            raise NotImplementedError("only daily bars are supported, got frequency {!r}".format(frequency))
        index = self._bar_index(instrument)
        if index.bars is None:
            return None
        key = self._day_key(dt)
        day = self._calendar_row_of()[0].get(key)
        return index.bar_on(key, day)

    def get_date_range(self, instrument):
        return self._store_for(self._day_bar_stores, instrument, "day bar").get_date_range(instrument.order_book_id)

    # --- corporate actions ----------------------------------------------------------------
    def get_dividend(self, instrument):
        store = self._dividend_stores.get(instrument.type)
        if store is None:
            return None
        return store.get_dividend(instrument.order_book_id)

    def get_split(self, instrument):
        store = self._split_stores.get(instrument.type)
        if store is None:
            return None
        return store.get_factors(instrument.order_book_id)
