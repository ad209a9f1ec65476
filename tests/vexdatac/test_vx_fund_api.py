"""Shapes and failure behaviour of the query functions in vexdatac.fund."""
import datetime as dt
import math
import os
import shutil
import sqlite3

import numpy as np
import pandas as pd
import pytest

import vexdatac
from vexdatac import config, fund
from vexdatac.importer import import_csv
from vexdatac.share.errors import BadRequest, DatabaseError, DatabaseNotFound

FUND_STATUS = {"Open", "Limited", "Suspended", "Close"}


def _accrued_ids():
    cat = fund.all_instruments()
    return list(cat.loc[cat["accrued_daily"], "order_book_id"])


def _plain_ids():
    cat = fund.all_instruments()
    return list(cat.loc[~cat["accrued_daily"], "order_book_id"])


# -- catalogue ---------------------------------------------------------------

def test_all_instruments_shape():
    cat = fund.all_instruments()
    for column in ("order_book_id", "symbol", "fund_type", "listed_date", "de_listed_date", "accrued_daily"):
        assert column in cat.columns
    assert list(cat["order_book_id"]) == sorted(cat["order_book_id"])
    assert cat["order_book_id"].is_unique
    assert cat["listed_date"].dtype.kind == "M"
    assert cat["de_listed_date"].dtype.kind == "M"
    assert cat["accrued_daily"].dtype == bool
    assert cat.index.equals(pd.RangeIndex(len(cat)))


def test_instruments_attributes_always_present():
    ids = fund.all_instruments()["order_book_id"]
    objs = fund.instruments(ids)  # a Series, as the catalogue store passes it
    assert [o.order_book_id for o in objs] == list(ids)
    for obj in objs:
        attrs = vars(obj)
        assert "listed_date" in attrs and "de_listed_date" in attrs
        for name in ("listed_date", "de_listed_date"):
            assert attrs[name] is None or isinstance(attrs[name], dt.datetime)
        assert isinstance(obj.symbol, str) and obj.symbol
        if "accrued_daily" in attrs:
            assert attrs["accrued_daily"] is True


def test_instruments_accrual_flags_match_catalogue():
    cat = fund.all_instruments().set_index("order_book_id")
    for obj in fund.instruments(list(cat.index)):
        attrs = vars(obj)
        flagged = bool(attrs.get("accrued_daily")) or bool(attrs.get("accrued_type"))
        assert flagged == cat.loc[obj.order_book_id, "accrued_daily"]


def test_instruments_single_and_unknown():
    one = fund.instruments("000001")
    assert one.order_book_id == "000001"
    assert fund.instruments("nope") is None
    got = fund.instruments(["000003", "nope", "000001", "000003"])
    assert [o.order_book_id for o in got] == ["000003", "000001", "000003"]
    assert fund.instruments([]) == []


def test_alive_fund_has_no_delisting_date_and_delisted_one_has():
    cat = fund.all_instruments()
    alive = cat.loc[cat["de_listed_date"].isna(), "order_book_id"].iloc[0]
    gone = cat.loc[cat["de_listed_date"].notna(), "order_book_id"].iloc[0]
    assert fund.instruments(alive).de_listed_date is None
    assert isinstance(fund.instruments(gone).de_listed_date, dt.datetime)


# -- NAV -----------------------------------------------------------------------

def test_nav_shape_for_plain_and_accrued_funds():
    plain = fund.get_nav(_plain_ids()[0], start_date="20050104", end_date="29991231")
    assert list(plain.columns) == ["unit_net_value", "adjusted_net_value"]
    assert plain.index.name == "datetime"
    assert plain.index.dtype.kind == "M"
    assert plain.index.is_monotonic_increasing and plain.index.is_unique
    money = fund.get_nav(_accrued_ids()[0], start_date="20050104", end_date="29991231")
    assert list(money.columns) == ["unit_net_value", "adjusted_net_value", "daily_profit", "weekly_yield"]
    assert all(money[c].dtype == np.float64 for c in money.columns)


@pytest.mark.parametrize(
    "start, end",
    [
        ("20160104", "20160108"),
        ("2016-01-04", "2016-01-08"),
        (dt.date(2016, 1, 4), dt.date(2016, 1, 8)),
        (dt.datetime(2016, 1, 4, 9, 30), dt.datetime(2016, 1, 8, 23, 59)),
        (pd.Timestamp("2016-01-04"), pd.Timestamp("2016-01-08 15:00")),
        (np.datetime64("2016-01-04"), np.datetime64("2016-01-08T12:00:00")),
    ],
)
def test_nav_window_is_inclusive_whatever_the_date_form(start, end):
    nav = fund.get_nav("000001", start_date=start, end_date=end)
    days = [d.strftime("%Y-%m-%d") for d in nav.index]
    assert days == ["2016-01-04", "2016-01-05", "2016-01-06", "2016-01-07", "2016-01-08"]


def test_nav_open_ends_cover_whole_history():
    full = fund.get_nav("000001")
    assert full.equals(fund.get_nav("000001", start_date="20050104", end_date="29991231"))
    assert len(fund.get_nav("000001", end_date="2015-01-31")) < len(full)


@pytest.mark.parametrize(
    "oid, start, end",
    [("999999", None, None), ("000001", "20300101", None), ("000001", None, "20100101")],
    ids=["unknown fund", "after history", "before history"],
)
def test_nav_none_when_nothing(oid, start, end):
    assert fund.get_nav(oid, start_date=start, end_date=end) is None


# -- status --------------------------------------------------------------------

def test_status_shape_and_values():
    st = fund.get_transaction_status("000001", start_date="20050104", end_date="29991231")
    assert list(st.index.names) == ["order_book_id", "datetime"]
    assert st.index.get_level_values("datetime").dtype.kind == "M"
    assert set(st.index.get_level_values("order_book_id")) == {"000001"}
    assert list(st.columns) == ["subscribe_status", "redeem_status", "subscribe_upper_limit",
                                "subscribe_lower_limit", "redeem_lower_limit"]
    assert set(st["subscribe_status"]) <= FUND_STATUS and set(st["redeem_status"]) <= FUND_STATUS
    for column in ("subscribe_upper_limit", "subscribe_lower_limit", "redeem_lower_limit"):
        assert st[column].dtype == np.float64


def test_status_joins_nav_on_the_date_index():
    """The bar store drops the fund level and inner-joins status onto NAV."""
    nav = fund.get_nav("000001")
    st = fund.get_transaction_status("000001").reset_index(level="order_book_id", drop=True)
    joined = nav.join(st, how="inner")
    assert len(joined) == len(nav) == len(st)
    assert joined["subscribe_status"].notna().all()


def test_status_none_for_unknown_fund_and_empty_window():
    assert fund.get_transaction_status("999999") is None
    assert fund.get_transaction_status("000001", start_date="20300101") is None


# -- dividends and splits --------------------------------------------------------

def test_dividend_shape_and_order():
    ids = list(fund.all_instruments()["order_book_id"])
    div = fund.get_dividend(list(reversed(ids)))
    assert list(div.index.names) == ["order_book_id", "ex_dividend_date"]
    assert div.index.get_level_values("ex_dividend_date").dtype.kind == "M"
    assert list(div.columns) == ["book_closure_date", "payable_date", "dividend_before_tax"]
    assert div["book_closure_date"].dtype.kind == "M" and div["payable_date"].dtype.kind == "M"
    assert div["dividend_before_tax"].dtype == np.float64
    keys = list(div.index)
    assert keys == sorted(keys)
    # The payout store moves the date level to a column and keeps the fund level.
    flat = div.reset_index("ex_dividend_date")
    assert flat.index.name == "order_book_id" and "ex_dividend_date" in flat.columns


def test_dividend_subset_and_unknown():
    div = fund.get_dividend(["000001", "999999"])
    assert set(div.index.get_level_values("order_book_id")) == {"000001"}
    assert fund.get_dividend(["999999"]) is None
    assert fund.get_dividend([]) is None


def test_split_shapes():
    splits = fund.get_split("000002")
    assert splits.index.name == "ex_dividend_date"
    assert splits.index.dtype.kind == "M"
    assert list(splits.columns) == ["split_ratio"]
    assert list(splits.reset_index().columns) == ["ex_dividend_date", "split_ratio"]
    empty = fund.get_split("000001")
    assert empty.empty and empty.index.name == "ex_dividend_date"
    assert empty.index.dtype.kind == "M" and list(empty.columns) == ["split_ratio"]
    assert fund.get_split("999999") is None


# -- calendar and fees -------------------------------------------------------------

def test_trading_dates_window():
    days = fund.get_trading_dates("2024-02-05", "20240219")
    assert days.dtype.kind == "M"
    assert [d.strftime("%m-%d") for d in days] == ["02-05", "02-06", "02-07", "02-08", "02-19"]


def test_fee_schedule():
    sched = fund.get_fee_schedule("000001")
    subs, reds = sched["subscription"], sched["redemption"]
    assert [b for b, _, _ in subs] == sorted(b for b, _, _ in subs) and subs[-1][0] == math.inf
    assert [b for b, _ in reds] == sorted(b for b, _ in reds) and reds[-1][0] == math.inf
    for bound, rate, fixed in subs:
        assert (rate is None) != (fixed is None)
    money = fund.get_fee_schedule(_accrued_ids()[0])
    assert money == {"subscription": [(math.inf, 0.0, None)], "redemption": [(math.inf, 0.0)]}
    assert fund.get_fee_schedule("999999") is None


# -- bad requests -------------------------------------------------------------------

@pytest.mark.parametrize(
    "call, bad",
    [
        (lambda: fund.get_nav("000001", start_date="2015-13-01"), "2015-13-01"),
        (lambda: fund.get_nav("000001", end_date="2015/01/01"), "2015/01/01"),
        (lambda: fund.get_nav("000001", start_date="20150230"), "20150230"),
        (lambda: fund.get_nav("000001", start_date=20150101), "20150101"),
        (lambda: fund.get_nav("000001", "20160101", "20150101"), "2016-01-01"),
        (lambda: fund.get_nav(1), "1"),
        (lambda: fund.get_transaction_status(None), "None"),
        (lambda: fund.get_transaction_status("000001", start_date="soon"), "soon"),
        (lambda: fund.get_split(["000001"]), "['000001']"),
        (lambda: fund.get_dividend([1, "000001"]), "1"),
        (lambda: fund.get_dividend(7), "7"),
        (lambda: fund.instruments(42), "42"),
        (lambda: fund.instruments(["000001", 3.5]), "3.5"),
        (lambda: fund.get_trading_dates("2024-12-31", "2024-01-01"), "2024-12-31"),
        (lambda: fund.get_fee_schedule(b"000001"), "b'000001'"),
    ],
)
def test_bad_requests_name_the_value(call, bad):
    with pytest.raises(BadRequest) as info:
        call()
    assert bad in str(info.value)


def test_bad_request_is_the_client_error_class():
    assert vexdatac.share.errors.BadRequest is BadRequest
    assert issubclass(BadRequest, Exception)


# -- database location ---------------------------------------------------------------

def test_missing_database_tells_how_to_build_one(tmp_path):
    vexdatac.set_database(tmp_path / "absent.sqlite")
    with pytest.raises(DatabaseNotFound) as info:
        fund.all_instruments()
    assert "vexdatac sample" in str(info.value) and "absent.sqlite" in str(info.value)


def test_location_precedence(tmp_path, monkeypatch, sample_db):
    vexdatac.set_database(None)
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.delenv(config.ENV_VAR, raising=False)
    assert config.get_database_path() == tmp_path / "home" / ".vexdatac" / "funds.sqlite"
    monkeypatch.setenv(config.ENV_VAR, str(sample_db))
    assert config.get_database_path() == sample_db
    assert len(fund.all_instruments()) > 0
    vexdatac.set_database(tmp_path / "explicit.sqlite")
    assert config.get_database_path() == tmp_path / "explicit.sqlite"


def test_not_a_vexdatac_database(tmp_path):
    path = tmp_path / "other.sqlite"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE t (x)")
    conn.close()
    vexdatac.set_database(path)
    with pytest.raises(DatabaseError, match="not a vexdatac database"):
        fund.all_instruments()


def test_connection_is_read_only(sample_db):
    conn = config.connection()
    with pytest.raises(sqlite3.OperationalError, match="readonly"):
        conn.execute("DELETE FROM nav")


def test_rebuilt_database_is_picked_up(tmp_path, example_dir, sample_db):
    """A database replaced on disk while the process runs is reopened, not
    served from the stale connection."""
    path = tmp_path / "live.sqlite"
    import_csv(example_dir, path)
    vexdatac.set_database(path)
    assert list(fund.all_instruments()["order_book_id"]) == ["100001", "100002"]
    staged = tmp_path / "staged.sqlite"
    shutil.copyfile(sample_db, staged)
    os.replace(staged, path)
    assert len(fund.all_instruments()) > 2
