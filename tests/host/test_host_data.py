import datetime as dt

import numpy as np
import pandas as pd
import pytest

from host_helpers import (TRADING_DAYS, ArrayBarStore, ArraySplitStore, DictInstrumentStore, RecordDividendStore,
                      make_bars)
from tessel.const import INSTRUMENT_TYPE, TRADING_CALENDAR_TYPE
from tessel.data.base_data_source import BaseDataSource
from tessel.data.data_proxy import DataProxy
from tessel.utils.datetime_func import convert_date_to_int


@pytest.fixture
def proxy(bundle):
    return DataProxy(BaseDataSource(str(bundle), {}, False, None))


# 2020-01-10 (Fri) is a holiday, 01-11/12 a weekend: the days around them are
# 01-09 (Thu) and 01-13 (Mon).
@pytest.mark.parametrize("date, n, expected", [
    ("2020-01-09", 1, "2020-01-13"),   # across holiday + weekend
    ("2020-01-10", 1, "2020-01-13"),   # from the holiday itself
    ("2020-01-11", 1, "2020-01-13"),   # from the weekend
    ("2020-01-09", 2, "2020-01-14"),
    ("2020-01-13", 0, "2020-01-13"),   # n=0 on a trading day: the day itself
    ("2020-01-12", 0, "2020-01-09"),   # n=0 off a trading day: the last one before
    ("2020-01-13", -1, "2020-01-09"),  # n=-1 on a trading day: the previous trading day
    ("2020-01-12", -1, "2020-01-08"),
    ("2020-01-01", 1, "2020-01-02"),   # New Year, before the first trading day
])
def test_next_trading_date(proxy, date, n, expected):
    result = proxy.get_next_trading_date(date, n)
    assert isinstance(result, pd.Timestamp)
    assert result == pd.Timestamp(expected)


@pytest.mark.parametrize("date, n, expected", [
    ("2020-01-13", 1, "2020-01-09"),
    ("2020-01-12", 1, "2020-01-09"),
    ("2020-01-13", 2, "2020-01-08"),
    ("2020-01-09", 0, "2020-01-09"),
    ("2020-01-12", 0, "2020-01-13"),   # n=0 off a trading day: the first one on or after
])
def test_previous_trading_date(proxy, date, n, expected):
    assert proxy.get_previous_trading_date(date, n) == pd.Timestamp(expected)


@pytest.mark.parametrize("value", [
    "20200109", "2020-01-09", dt.date(2020, 1, 9), dt.datetime(2020, 1, 9, 15, 0),
    pd.Timestamp("2020-01-09 23:59"), np.datetime64("2020-01-09T10:00", "s"),
])
def test_date_forms_and_time_of_day_do_not_matter(proxy, value):
    assert proxy.get_next_trading_date(value) == pd.Timestamp("2020-01-13")
    assert proxy.get_previous_trading_date(value) == pd.Timestamp("2020-01-08")
    # to_pydatetime gives a plain datetime, as positions use it
    assert proxy.get_next_trading_date(value, 1).to_pydatetime() == dt.datetime(2020, 1, 13)


@pytest.mark.parametrize("call", [
    lambda p: p.get_next_trading_date("2020-01-02", -1),
    lambda p: p.get_next_trading_date("2019-12-31", -1),   # would wrap to the end if unchecked
    lambda p: p.get_previous_trading_date("2020-01-02", 1),
    lambda p: p.get_previous_trading_date("2020-02-03", 0),
])
def test_beyond_calendar_ends_is_an_error(proxy, call):
    with pytest.raises(ValueError, match="outside the trading calendar"):
        call(proxy)


def test_past_the_calendar_end_weekdays_stand_in(proxy):
    last = proxy.get_next_trading_date("2020-01-30", 1)
    assert last == pd.Timestamp("2020-01-31")  # the calendar's last day, a Friday
    assert proxy.get_next_trading_date("2020-01-31", 1) == pd.Timestamp("2020-02-03")
    assert proxy.get_next_trading_date("2020-01-30", 3) == pd.Timestamp("2020-02-04")
    assert proxy.get_next_trading_date("2020-02-08", 1) == pd.Timestamp("2020-02-10")  # from a Saturday
    assert proxy.get_next_trading_date("2020-02-04", 0) == pd.Timestamp("2020-01-31")


def test_calendar_and_trading_dates(proxy, bundle):
    cal = proxy.data_source.get_trading_calendars()[TRADING_CALENDAR_TYPE.EXCHANGE]
    assert list(cal) == TRADING_DAYS and cal.is_monotonic_increasing
    days = proxy.get_trading_dates("2020-01-08", "2020-01-13")
    assert [d.day for d in days] == [8, 9, 13]


@pytest.mark.parametrize("content, message", [
    (None, "has no trading_dates.csv"),
    ("date\n2020-01-02\n", "no 'trading_date' column"),
    ("trading_date\n2020-01-02\n2020-01-32\n", "line 3"),
    ("trading_date\n2020-01-03\n2020-01-02\n", "ascending"),
    ("trading_date\n", "no trading dates"),
])
def test_bad_bundle_is_reported(tmp_path, content, message):
    if content is not None:
        (tmp_path / "trading_dates.csv").write_text(content)
    with pytest.raises(ValueError, match=message):
        BaseDataSource(str(tmp_path), {}, False, None)
    with pytest.raises(ValueError, match="does not exist"):
        BaseDataSource(str(tmp_path / "nowhere"), {}, False, None)


@pytest.fixture
def fund_source(bundle):
    ds = BaseDataSource(str(bundle), {}, False, None)
    ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND, [
        {"order_book_id": "F1", "symbol": "Fund One"}, {"order_book_id": "F2", "symbol": "Fund Two"}]))
    days = [pd.Timestamp(d) for d in ("2020-01-02", "2020-01-03", "2020-01-06")]
    ds.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArrayBarStore({
        "F1": make_bars(days, [1.0, np.nan, 1.2], [b"Open", b"Suspended", b"Limited"])}))
    dividends = np.rec.fromrecords(
        [(20200106, 20200107, 0.10, 20200107, 20200110, 1.0),
         (20200106, 20200107, 0.05, 20200107, 20200110, 1.0),
         (20200113, 20200114, 0.20, 20200114, 20200116, 2.0)],
        dtype=[("book_closure_date", "<i8"), ("announcement_date", "<i8"), ("dividend_cash_before_tax", "<f8"),
               ("ex_dividend_date", "<i8"), ("payable_date", "<i8"), ("round_lot", "<f8")])
    ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, RecordDividendStore({"F1": dividends}))
    splits = np.array([(20200108000000, 2.0), (20200115000000, 0.5)],
                      dtype=[("ex_date", "<i8"), ("split_factor", "<f8")])
    ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArraySplitStore({"F1": splits}))
    return ds


def test_dividend_lookup_by_book_closure_date(fund_source):
    proxy = DataProxy(fund_source)
    rows = proxy.get_dividend_by_book_date("F1", pd.Timestamp("2020-01-06"))
    assert len(rows) == 2
    assert rows["dividend_cash_before_tax"].sum() == pytest.approx(0.15)
    assert len(proxy.get_dividend_by_book_date("F1", dt.datetime(2020, 1, 13, 15))) == 1
    assert proxy.get_dividend_by_book_date("F1", "2020-01-07") is None
    assert proxy.get_dividend_by_book_date("F2", "2020-01-06") is None   # no records for the fund
    assert proxy.get_dividend_by_book_date("XX", "2020-01-06") is None   # unknown instrument


def test_split_lookup_by_ex_date(fund_source):
    proxy = DataProxy(fund_source)
    assert proxy.get_split_by_ex_date("F1", dt.date(2020, 1, 8)) == 2.0
    assert type(proxy.get_split_by_ex_date("F1", "20200115")) is float
    assert proxy.get_split_by_ex_date("F1", dt.datetime(2020, 1, 15, 9, 30)) == 0.5
    assert proxy.get_split_by_ex_date("F1", "2020-01-09") is None
    assert proxy.get_split_by_ex_date("F2", "2020-01-08") is None


def test_split_on_a_closed_day_takes_effect_on_the_next_trading_day(fund_source):
    # 2020-01-10 is a holiday and 2020-01-11 a Saturday: both apply on Monday 13th.
    splits = np.array([(20200110000000, 2.0), (20200111000000, 1.5)],
                      dtype=[("ex_date", "<i8"), ("split_factor", "<f8")])
    fund_source.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArraySplitStore({"F1": splits}))
    proxy = DataProxy(fund_source)
    assert proxy.get_split_by_ex_date("F1", "2020-01-09") is None
    assert proxy.get_split_by_ex_date("F1", "2020-01-13") == 3.0
    assert proxy.get_split_by_ex_date("F1", "2020-01-14") is None


def test_bar_object_fields(fund_source):
    proxy = DataProxy(fund_source)
    bar = proxy.get_bar("F1", dt.datetime(2020, 1, 6, 15))
    assert bar.close == 1.2 and bar.prev_close != bar.prev_close  # NaN close the day before
    assert bar.subscribe_status == "Limited"
    assert isinstance(bar.subscribe_status, str)
    assert bar.datetime == dt.datetime(2020, 1, 6)
    with pytest.raises(AttributeError, match="redeem_status"):
        bar.redeem_status
    suspended = proxy.get_bar("F1", "2020-01-03")
    assert suspended.subscribe_status == "Suspended" and np.isnan(suspended.close)
    # A trading day with no bar at all reads as NaN prices and unknown status.
    missing = proxy.get_bar("F1", "2020-01-07")
    assert missing.isnan and np.isnan(missing.close) and missing.subscribe_status is None


def test_instrument_lookup(fund_source):
    proxy = DataProxy(fund_source)
    assert proxy.instruments("F1").symbol == "Fund One"
    assert proxy.instruments("nope") is None
    assert [i.order_book_id for i in proxy.instruments(["F2", "nope", "F1"])] == ["F2", "F1"]
    assert {i.order_book_id for i in fund_source.get_instruments(types=[INSTRUMENT_TYPE.PUBLIC_FUND])} == {
        "F1", "F2"}
    assert fund_source.get_instruments(types=[INSTRUMENT_TYPE.CS]) == []
    first, last = fund_source.get_date_range(proxy.instruments("F1"))
    assert (first, last) == (convert_date_to_int("2020-01-02"), convert_date_to_int("2020-01-06"))
    # A store registered later replaces the first one for its type, and the proxy sees it.
    fund_source.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND, [
        {"order_book_id": "F1", "symbol": "Renamed"}]))
    assert proxy.instruments("F1").symbol == "Renamed"


def test_bar_of_type_without_store_is_reported(fund_source):
    fund_source.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS, [{"order_book_id": "S"}]))
    with pytest.raises(ValueError, match="no day bar store .* CS"):
        DataProxy(fund_source).get_bar("S", "2020-01-02")
