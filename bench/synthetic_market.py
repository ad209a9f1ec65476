"""A plug-in that serves a synthetic market for benchmarks and demos.

Stocks S01..S{n} follow seeded random walks over the bundle's trading days,
and "IDX" is their equal-weighted index (usable as ``base.benchmark``).
Settings (section ``mod.synthetic``): ``stocks`` (default 5), ``seed``
(default 7).
"""
import numpy as np
import pandas as pd

from tessel.const import INSTRUMENT_TYPE
from tessel.data.base_data_source import BaseDataSource
from tessel.data.base_data_source.storage_interface import AbstractDayBarStore, AbstractInstrumentStore
from tessel.interface import AbstractMod
from tessel.model import Instrument
from tessel.utils.datetime_func import convert_date_to_int


class _Instruments(AbstractInstrumentStore):
    def __init__(self, instrument_type, ids):
        self._type = instrument_type
        self._ids = list(ids)

    @property
    def instrument_type(self):
        return self._type

    @property
    def all_id_and_syms(self):
        return list(self._ids)

    def get_instruments(self, id_or_syms):
        keys = self._ids if id_or_syms is None else id_or_syms
        return [Instrument({"order_book_id": k, "symbol": k, "type": self._type}) for k in keys if k in self._ids]


class _Bars(AbstractDayBarStore):
    def __init__(self, bars):
        self._bars = bars

    def get_bars(self, order_book_id):
        return self._bars.get(order_book_id)

    def get_date_range(self, order_book_id):
        bars = self._bars[order_book_id]
        return int(bars["datetime"][0]), int(bars["datetime"][-1])


def _bars(days, closes):
    bars = np.empty(len(days), dtype=[("datetime", "<u8"), ("open", "<f8"), ("close", "<f8"),
                                      ("prev_close", "<f8")])
    bars["datetime"] = convert_date_to_int(days)
    bars["open"] = bars["close"] = closes
    bars["prev_close"] = np.concatenate([[np.nan], closes[:-1]])
    return bars


class SyntheticMarket(AbstractMod):
    def start_up(self, env, mod_config):
        base = env.config.base
        if env.data_source is None:
            env.set_data_source(BaseDataSource(base.data_bundle_path, {}, False, base.end_date))
        days = pd.DatetimeIndex(env.data_source.get_trading_calendars()["EXCHANGE"])
        rng = np.random.default_rng(int(mod_config.get("seed", 7)))
        count = int(mod_config.get("stocks", 5))
        ids = ["S{:02d}".format(i + 1) for i in range(count)]
        drift = rng.normal(0.0003, 0.0004, size=count)
        steps = rng.normal(drift, 0.018, size=(len(days), count))
        closes = 10.0 * np.exp(np.cumsum(steps, axis=0))
        stock_bars = {k: _bars(days, closes[:, i]) for i, k in enumerate(ids)}
        index = 1000.0 * np.exp(np.cumsum(np.log1p(np.mean(np.expm1(steps), axis=1))))
        env.data_source.register_instruments_store(_Instruments(INSTRUMENT_TYPE.CS, ids))
        env.data_source.register_day_bar_store(INSTRUMENT_TYPE.CS, _Bars(stock_bars))
        env.data_source.register_instruments_store(_Instruments(INSTRUMENT_TYPE.INDX, ["IDX"]))
        env.data_source.register_day_bar_store(INSTRUMENT_TYPE.INDX, _Bars({"IDX": _bars(days, index)}))


def load_mod():
    return SyntheticMarket()
