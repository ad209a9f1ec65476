"""Small in-test data for the engine tests: a calendar with holidays and simple stores over it."""
import datetime as dt

import numpy as np
import pandas as pd

from tessel.data.base_data_source.storage_interface import (
    AbstractDayBarStore, AbstractDividendStore, AbstractInstrumentStore, AbstractSimpleFactorStore)
from tessel.model import Instrument
from tessel.utils.datetime_func import convert_date_to_int

# January 2020 business days without New Year's Day and a Friday holiday
# (2020-01-10), so lookups cross both a holiday and weekends.
HOLIDAYS = {dt.date(2020, 1, 1), dt.date(2020, 1, 10)}
TRADING_DAYS = [d for d in pd.bdate_range("2020-01-01", "2020-01-31") if d.date() not in HOLIDAYS]


def write_bundle(path, days=TRADING_DAYS):
    path.mkdir(parents=True, exist_ok=True)
    (path / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in days))
    return path


class DictInstrumentStore(AbstractInstrumentStore):
    def __init__(self, instrument_type, entries):
        self._type = instrument_type
        self._entries = {e["order_book_id"]: e for e in entries}

    @property
    def instrument_type(self):
        return self._type

    @property
    def all_id_and_syms(self):
        return list(self._entries)

    def get_instruments(self, id_or_syms):
        keys = self._entries if id_or_syms is None else id_or_syms
        return [Instrument(dict(self._entries[k], type=self._type)) for k in keys if k in self._entries]


class ArrayBarStore(AbstractDayBarStore):
    def __init__(self, bars):
        self._bars = bars

    def get_bars(self, order_book_id):
        return self._bars.get(order_book_id)

    def get_date_range(self, order_book_id):
        b = self._bars[order_book_id]
        return int(b["datetime"][0]), int(b["datetime"][-1])


class RecordDividendStore(AbstractDividendStore):
    def __init__(self, records):
        self._records = records

    def get_dividend(self, order_book_id):
        return self._records.get(order_book_id)


class ArraySplitStore(AbstractSimpleFactorStore):
    def __init__(self, factors):
        self._factors = factors

    def get_factors(self, order_book_id):
        return self._factors.get(order_book_id)


def make_bars(days, closes, statuses=None):
    fields = [("datetime", "<u8"), ("open", "<f8"), ("close", "<f8"), ("prev_close", "<f8")]
    if statuses is not None:
        fields.append(("subscribe_status", "S10"))
    bars = np.empty(len(days), dtype=fields)
    bars["datetime"] = convert_date_to_int(pd.DatetimeIndex(days))
    bars["open"] = bars["close"] = closes
    bars["prev_close"] = np.concatenate([[np.nan], np.asarray(closes, dtype=float)[:-1]])
    if statuses is not None:
        bars["subscribe_status"] = statuses
    return bars


def at(env, day, hour=15):
    """Move the environment's clock to ``day`` (a date text) at ``hour``."""
    moment = pd.Timestamp(day).to_pydatetime().replace(hour=hour)
    env.calendar_dt = env.trading_dt = moment
    return moment
