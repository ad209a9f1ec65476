import numpy as np
import pandas as pd
import pytest

from store_fakes import fund_object
from tessel.const import INSTRUMENT_TYPE
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int
from tessel_mod_fund.data import FundCatalogStore, VexdataPayoutHistory, VexdataUnitSplits

DIVIDEND_FIELDS = ["book_closure_date", "announcement_date", "dividend_cash_before_tax", "ex_dividend_date",
                   "payable_date", "round_lot"]


def dividend_frame(rows, unit="ns"):
    """rows: (fund id, ex date, book closure date, payable date, cash), in service order."""
    ids, ex, book, pay, cash = zip(*rows)

    def dates(values):
        return pd.DatetimeIndex(pd.to_datetime(list(values))).as_unit(unit)

    index = pd.MultiIndex.from_arrays([list(ids), dates(ex)], names=["order_book_id", "ex_dividend_date"])
    return pd.DataFrame({"book_closure_date": dates(book).to_numpy(), "payable_date": dates(pay).to_numpy(),
                         "dividend_before_tax": list(cash), "extra_column": ["x"] * len(rows)}, index=index)


ROWS = [
    # out of date order on purpose: the service's order is kept
    ("D1", "2021-01-19", "2021-01-18", "2021-01-22", 0.05),
    ("D1", "2021-01-07", "2021-01-16", "2021-01-11", 0.12),  # book closure on a Saturday after a holiday
    ("D2", "2021-01-08", "2021-01-07", "2021-01-13", 0.30),
]


@pytest.fixture
def dividends(service, env):
    service.funds = [fund_object("D1", "d1"), fund_object("D2", "d2"), fund_object("D3", "d3")]
    service.dividends = None
    return service


@pytest.mark.parametrize("unit", ["s", "us", "ns"])
def test_records_of_a_fund(dividends, env, unit):
    dividends.dividends = dividend_frame(ROWS, unit)
    store = VexdataPayoutHistory()
    assert dividends.calls[-1] == ("get_dividend", (["D1", "D2", "D3"],))
    records = store.get_dividend("D1")
    assert isinstance(records, np.recarray)
    assert list(records.dtype.names) == DIVIDEND_FIELDS
    assert [records.dtype[n].str for n in DIVIDEND_FIELDS] == [t for _, t in VexdataPayoutHistory.DATA_TYPE]
    rows = [r for r in ROWS if r[0] == "D1"]
    assert len(records) == len(rows)
    for record, (_, ex, book, pay, cash) in zip(records, rows):
        shifted = env.data_proxy.get_next_trading_date(book.replace("-", ""), n=-1)
        assert record["book_closure_date"] == int(shifted.strftime("%Y%m%d"))
        assert record["announcement_date"] == convert_date_to_date_int(pd.Timestamp(book))
        assert record["ex_dividend_date"] == convert_date_to_date_int(pd.Timestamp(ex))
        assert record["payable_date"] == convert_date_to_date_int(pd.Timestamp(pay))
        assert record["dividend_cash_before_tax"] == cash and record["round_lot"] == 1.0
    assert records["book_closure_date"][0] != records["announcement_date"][0]


def test_frame_keeps_unshifted_dates_and_cache_returns_same_array(dividends):
    dividends.dividends = dividend_frame(ROWS)
    store = VexdataPayoutHistory()
    assert list(store.dividend_df.columns) == DIVIDEND_FIELDS
    assert list(store.dividend_df.index) == ["D1", "D1", "D2"]
    before = store.dividend_df.copy()
    first = store.get_dividend("D1")
    values = first.copy()
    assert store.get_dividend("D1") is first
    np.testing.assert_array_equal(first, values)  # the shift is applied once
    store.get_dividend("D2")
    pd.testing.assert_frame_equal(store.dividend_df, before)
    assert (store.dividend_df["book_closure_date"] == store.dividend_df["announcement_date"]).all()


def test_fund_without_dividends_and_service_without_any(dividends):
    dividends.dividends = dividend_frame(ROWS)
    empty = VexdataPayoutHistory().get_dividend("D3")
    assert empty is not None and len(empty) == 0 and list(empty.dtype.names) == DIVIDEND_FIELDS
    dividends.dividends = None
    store = VexdataPayoutHistory()
    assert store.dividend_df is None and store.get_dividend("D1") is None
    assert VexdataPayoutHistory.__doc__ == "基金分红信息"


def test_calendar_failure_reaches_caller_and_is_not_cached(dividends, env):
    # A book-closure date before the calendar starts cannot be shifted.
    dividends.dividends = dividend_frame([("D1", "2020-12-20", "2020-12-18", "2020-12-24", 0.1)])
    store = VexdataPayoutHistory()
    for _ in range(2):  # a cached result would be returned by the second call
        with pytest.raises(ValueError, match="outside the trading calendar"):
            store.get_dividend("D1")


def test_host_finds_records_by_shifted_book_date(dividends, env):
    dividends.dividends = dividend_frame(ROWS)
    ds = env.data_source
    ds.register_instruments_store(FundCatalogStore())
    ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, VexdataPayoutHistory())
    shifted = env.data_proxy.get_next_trading_date("20210107", n=-1)
    found = env.data_proxy.get_dividend_by_book_date("D2", shifted)
    assert len(found) == 1 and found["dividend_cash_before_tax"][0] == 0.30


# --- splits ---

def split_frame(dates, ratios, unit="ns"):
    index = pd.DatetimeIndex(pd.to_datetime(dates), name="ex_dividend_date").as_unit(unit)
    return pd.DataFrame({"split_ratio": ratios}, index=index)


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_split_factors(service, unit):
    service.splits["S1"] = split_frame(["2021-01-20", "2021-01-06"], [2.0, 0.5], unit)  # service order kept
    factors = VexdataUnitSplits().get_factors("S1")
    assert factors.dtype == VexdataUnitSplits.DATA_TYPE
    assert factors.dtype.names == ("ex_date", "split_factor")
    assert factors["ex_date"].tolist() == [convert_date_to_int(pd.Timestamp("2021-01-20")),
                                           convert_date_to_int(pd.Timestamp("2021-01-06"))]
    assert factors["split_factor"].tolist() == [2.0, 0.5]


@pytest.mark.parametrize("answer", [None, split_frame([], [])])
def test_no_splits_is_none_and_asked_once(service, answer):
    service.splits["S0"] = answer
    store = VexdataUnitSplits()
    assert store.get_factors("S0") is None and store.get_factors("S0") is None
    assert service.count("get_split") == 1
    assert VexdataUnitSplits().get_factors("S0") is None  # another store asks for itself
    assert service.count("get_split") == 2


def test_split_cache_is_unbounded_and_identity_preserving(service):
    service.splits["S1"] = split_frame(["2021-01-20"], [2.0])
    store = VexdataUnitSplits()
    assert store.get_factors("S1") is store.get_factors("S1")
    assert store.get_factors.cache_info()[2] is None
    assert VexdataUnitSplits.__doc__ == "基金拆分信息"


def test_host_finds_split_by_ex_date(service, env):
    service.funds = [fund_object("S1", "s1")]
    service.splits["S1"] = split_frame(["2021-01-20"], [2.0], "us")
    ds = env.data_source
    ds.register_instruments_store(FundCatalogStore())
    ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, VexdataUnitSplits())
    assert env.data_proxy.get_split_by_ex_date("S1", pd.Timestamp("2021-01-20")) == 2.0
    assert env.data_proxy.get_split_by_ex_date("S1", pd.Timestamp("2021-01-21")) is None


@pytest.mark.parametrize("table", [
    # the service's own shape, without rows (its date columns then hold no datetimes)
    pd.DataFrame({"book_closure_date": [], "payable_date": [], "dividend_before_tax": []},
                 index=pd.MultiIndex.from_arrays([[], []], names=["order_book_id", "ex_dividend_date"])),
    pd.DataFrame(),
])
def test_dividend_table_without_rows_means_no_dividends(dividends, table):
    dividends.dividends = table
    store = VexdataPayoutHistory()
    assert list(store.dividend_df.columns) == DIVIDEND_FIELDS and len(store.dividend_df) == 0
    records = store.get_dividend("D1")
    assert len(records) == 0
    assert [records.dtype[n].str for n in DIVIDEND_FIELDS] == [t for _, t in VexdataPayoutHistory.DATA_TYPE]
