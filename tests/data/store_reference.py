"""Straightforward pandas/Python versions of the dividend and catalogue
stores' documented behaviour, to compare the native stores with."""
import datetime as dt

from tessel.const import INSTRUMENT_TYPE
from tessel.model.instrument import Instrument


def reference_dividend(dividend_df, order_book_id, data_proxy):
    """One fund's dividend records: its rows by mask, book closure shifted by the host's calendar."""
    if dividend_df is None:
        return None
    ret = dividend_df[dividend_df.index == order_book_id].to_records(index=False)
    for record in ret:
        record[0] = int(data_proxy.get_next_trading_date(str(record[0]), n=-1).strftime("%Y%m%d"))
    return ret


ENTRY_PROPERTIES = ("accrued_daily", "amc", "amc_id", "benchmark", "establishment_date", "fund_manager", "fund_type",
                    "investment_scope", "issuer", "latest_size", "min_investment", "stop_date", "transition_time",
                    "trustee", "listed_date", "de_listed_date")


class ReferenceCatalogEntry(Instrument):
    type = property(lambda self: INSTRUMENT_TYPE.PUBLIC_FUND)


for _name in ENTRY_PROPERTIES:
    setattr(ReferenceCatalogEntry, _name, property(lambda self, _n=_name: self.__dict__.get(_n)))


class ReferenceCatalog:
    """The catalogue from the service's fund objects: id and symbol maps, entries built on request."""

    def __init__(self, fund_api):
        ids = fund_api.all_instruments()["order_book_id"]
        self._all_ins = {}
        for ins in fund_api.instruments(ids):
            self._all_ins[ins.order_book_id] = ins
        self._sym_id_map = {}
        for ins in self._all_ins.values():
            self._sym_id_map[ins.symbol] = ins.order_book_id

    @property
    def all_id_and_syms(self):
        yield from self._sym_id_map.keys()
        yield from self._sym_id_map.values()

    @staticmethod
    def build(ins):
        dic = dict(ins.__dict__)
        if not dic["listed_date"]:
            dic["listed_date"] = dt.datetime(1999, 1, 1)
        if not dic["de_listed_date"]:
            dic["de_listed_date"] = dt.datetime(2999, 12, 31)
        dic["accrued_daily"] = bool(getattr(ins, "accrued_daily", False) or getattr(ins, "accrued_type", False))
        return ReferenceCatalogEntry(dic)

    def get_instruments(self, id_or_syms):
        if id_or_syms is None:
            for ins in self._all_ins.values():
                yield self.build(ins)
            return
        for key in id_or_syms:
            key = self._sym_id_map.get(key, key)
            if key in self._all_ins:
                yield self.build(self._all_ins[key])
