import datetime as dt
import types

import pytest

import vexdatac.fund
from tessel.const import INSTRUMENT_TYPE
from tessel.model.instrument import Instrument
from tessel_mod_fund.data import FundCatalogEntry, FundCatalogStore

from store_fakes import fund_object


@pytest.fixture
def catalog(service):
    service.funds = [
        fund_object("000001", "Alpha", fund_type="Stock", trustee="Bank A", amc="AMC 1"),
        fund_object("000002", "000001", fund_type="Bond"),  # symbol equal to another fund's id
        fund_object("000003", "Shared", accrued_daily=True, exchange="XSHG"),
        fund_object("000004", "Shared", accrued_type="money", listed_date=None,
                    de_listed_date=dt.datetime(2020, 5, 6)),
        fund_object("000005", "Epsilon", accrued_daily=False, accrued_type="", listed_date="",
                    de_listed_date=""),
    ]
    return FundCatalogStore()


def ids(instruments):
    return [i.order_book_id for i in instruments]


def test_loads_once_with_the_id_column_and_keeps_service_order(service, catalog):
    assert [c[0] for c in service.calls] == ["all_instruments", "instruments"]
    assert list(catalog._all_ins) == ["000001", "000002", "000003", "000004", "000005"]
    assert ids(catalog.get_instruments(None)) == list(catalog._all_ins)
    list(catalog.get_instruments(["000001", "Shared"]))
    assert len(service.calls) == 2  # lookups never reach the service
    assert catalog.instrument_type is INSTRUMENT_TYPE.PUBLIC_FUND


@pytest.mark.parametrize("request_, expected", [
    ([], []),
    (["000001", "000001"], ["000002", "000002"]),  # "000001" is fund 000002's symbol: the symbol wins
    (["Alpha", "nope", "000003"], ["000001", "000003"]),  # unknown element skipped, later ones served
    (["Shared"], ["000004"]),  # a shared symbol maps to the last fund carrying it
    (["000004", "000003"], ["000004", "000003"]),  # request order, not catalogue order
    (iter(["Epsilon"]), ["000005"]),  # any iterable
])
def test_lookup_by_id_or_symbol(catalog, request_, expected):
    assert ids(catalog.get_instruments(request_)) == expected


def test_repeated_requests_build_distinct_objects(catalog):
    first, second = catalog.get_instruments(["Alpha", "Alpha"])
    assert first is not second
    assert first.__dict__ == second.__dict__


def test_get_instruments_is_lazy(service, catalog):
    built = []

    def source():
        for key in ["Alpha", "missing", "000003"]:
            built.append(key)
            yield key

    seq = catalog.get_instruments(source())
    assert built == []  # nothing resolved before iteration
    first = next(iter(seq))
    assert first.order_book_id == "000001" and built == ["Alpha"]
    assert ids(seq) == ["000003"] and built == ["Alpha", "missing", "000003"]


def test_all_id_and_syms_lists_symbols_then_ids_once_per_symbol(catalog):
    listing = catalog.all_id_and_syms
    assert not isinstance(listing, (list, tuple))
    assert list(listing) == ["Alpha", "000001", "Shared", "Epsilon",
                             "000001", "000002", "000004", "000005"]
    assert list(catalog.all_id_and_syms) == list(catalog.all_id_and_syms)  # fresh per read
    assert ids(catalog.get_instruments(["000003"])) == ["000003"]  # still reachable by id


def test_instrument_attributes(service, catalog):
    raw = dict(vars(service.funds[3]))
    by_id = {i.order_book_id: i for i in catalog.get_instruments(None)}
    a, c, d, e = by_id["000001"], by_id["000003"], by_id["000004"], by_id["000005"]
    assert isinstance(a, FundCatalogEntry) and isinstance(a, Instrument)
    # accrued_daily: own flag, then accrued_type, else False; always a bool
    assert [x.accrued_daily for x in (a, c, d, e)] == [False, True, True, False]
    assert all(type(x.accrued_daily) is bool for x in (a, c, d, e))
    # empty dates replaced, real ones unchanged
    assert d.listed_date == dt.datetime(1999, 1, 1) and d.de_listed_date == dt.datetime(2020, 5, 6)
    assert (e.listed_date, e.de_listed_date) == (dt.datetime(1999, 1, 1), dt.datetime(2999, 12, 31))
    assert a.listed_date == dt.datetime(2015, 1, 5) and a.de_listed_date == dt.datetime(2999, 12, 31)
    # entries come through unchanged, missing ones are None
    assert (a.trustee, a.amc, a.fund_type) == ("Bank A", "AMC 1", "Stock")
    assert (c.trustee, c.benchmark, c.latest_size) == (None, None, None)
    # other service attributes are carried too; the raw objects stay as they were
    assert c.exchange == "XSHG"
    assert vars(service.funds[3]) == raw


def test_type_is_always_public_fund_and_properties_are_read_only(service):
    entry = FundCatalogEntry({"order_book_id": "X", "type": "CS", "trustee": "T"})
    assert entry.type is INSTRUMENT_TYPE.PUBLIC_FUND
    assert entry.__dict__["type"] == "CS"
    with pytest.raises(AttributeError):
        entry.trustee = "other"


def test_repeated_id_keeps_later_object_at_first_position(service):
    service.funds = [fund_object("A", "a1"), fund_object("B", "b"), fund_object("A", "a2")]
    store = FundCatalogStore()
    assert list(store._all_ins) == ["A", "B"]
    assert store._all_ins["A"].symbol == "a2"
    assert list(store._sym_id_map) == ["a2", "b"]


def test_missing_date_entry_fails_at_that_fund_only(service):
    bad = types.SimpleNamespace(order_book_id="B", symbol="b", listed_date=None)  # no de_listed_date
    service.funds = [fund_object("A", "a"), bad]
    seq = iter(FundCatalogStore().get_instruments(None))
    assert next(seq).order_book_id == "A"
    with pytest.raises(KeyError, match="de_listed_date"):
        next(seq)


def test_service_failure_propagates_and_builds_nothing(service, monkeypatch):
    def broken(_ids):
        raise ConnectionError("service down")

    monkeypatch.setattr(vexdatac.fund, "instruments", broken)
    with pytest.raises(ConnectionError, match="service down"):
        FundCatalogStore()
