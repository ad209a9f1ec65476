"""The sample database holds every kind of case that consumers must handle."""
import re
import sqlite3

import numpy as np
import pandas as pd
import pytest

from vexdatac import fund
from vexdatac.sample import build_sample

WINDOW = (pd.Timestamp("2015-01-01"), pd.Timestamp("2024-12-31"))


@pytest.fixture(scope="module")
def catalogue():
    return fund.all_instruments().set_index("order_book_id")


@pytest.fixture(scope="module")
def trading():
    return fund.get_trading_dates()


@pytest.fixture(scope="module")
def navs(catalogue):
    return {oid: fund.get_nav(oid) for oid in catalogue.index}


@pytest.fixture(scope="module")
def statuses(catalogue):
    return {oid: fund.get_transaction_status(oid) for oid in catalogue.index}


@pytest.fixture(scope="module")
def objects(catalogue):
    return {o.order_book_id: o for o in fund.instruments(list(catalogue.index))}


def _plain(catalogue):
    return [oid for oid in catalogue.index if not catalogue.loc[oid, "accrued_daily"]]


def _money(catalogue):
    return [oid for oid in catalogue.index if catalogue.loc[oid, "accrued_daily"]]


def test_catalogue_size_ids_and_kinds(catalogue):
    assert len(catalogue) >= 40
    assert all(re.fullmatch(r"\d{6}", oid) for oid in catalogue.index)
    kinds = set(catalogue["fund_type"])
    assert {"Stock", "Bond", "Money"} <= kinds
    assert all(re.search(r"[\u4e00-\u9fff]", s) for s in catalogue["symbol"])


def test_two_funds_share_a_symbol(catalogue):
    counts = catalogue["symbol"].value_counts()
    assert (counts == 2).sum() >= 1


def test_money_market_flags(catalogue, objects):
    money = _money(catalogue)
    assert len(money) >= 3
    by_flag = [o for o in money if "accrued_daily" in vars(objects[o])]
    by_type = [o for o in money if "accrued_type" in vars(objects[o])]
    assert by_flag and len(by_type) >= 2
    assert not set(by_flag) & set(by_type)
    assert all(objects[o].accrued_type for o in by_type)
    exchange = [o for o in catalogue.index if "exchange" in vars(objects[o])]
    assert len(exchange) == 1 and exchange[0] in money and objects[exchange[0]].exchange == "XSHG"
    assert all("accrued_daily" not in vars(objects[o]) for o in _plain(catalogue))


def test_some_fund_lacks_an_optional_attribute(objects):
    assert any("trustee" not in vars(o) for o in objects.values())


def test_plain_nav_on_trading_days_within_life(catalogue, navs, trading):
    for oid in _plain(catalogue):
        nav = navs[oid]
        assert nav.index.isin(trading).all(), oid
        first = max(catalogue.loc[oid, "listed_date"], WINDOW[0])
        last = catalogue.loc[oid, "de_listed_date"]
        last = WINDOW[1] if pd.isna(last) else last
        expected = trading[(trading >= first) & (trading <= last)]
        assert nav.index.equals(expected.rename("datetime")), oid
        assert (nav["unit_net_value"] > 0).all() and nav.notna().all().all()


def test_money_nav_every_calendar_day(catalogue, navs):
    for oid in _money(catalogue):
        nav = navs[oid]
        days = pd.date_range(nav.index[0], nav.index[-1], freq="D")
        assert nav.index.equals(pd.DatetimeIndex(days, name="datetime")), oid
        assert (nav.index.day_of_week >= 5).any()
        assert (nav["unit_net_value"] == 1.0).all()
        assert nav["daily_profit"].between(0.4, 1.2).all()


def test_weekly_yield_is_seven_day_annualised(catalogue, navs):
    for oid in _money(catalogue):
        nav = navs[oid]
        growth = np.log1p(nav["daily_profit"] / 10000)
        expected = np.expm1(growth.rolling(7).sum() * 365 / 7) * 100
        both = expected.notna() & nav["weekly_yield"].notna()
        assert both.sum() > len(nav) - 7
        np.testing.assert_allclose(nav["weekly_yield"][both], expected[both], atol=2e-3)


def test_listed_and_delisted_inside_window(catalogue, navs):
    listed = catalogue.index[catalogue["listed_date"] > WINDOW[0]]
    delisted = catalogue.index[catalogue["de_listed_date"].between(*WINDOW)]
    assert len(listed) >= 2 and len(delisted) >= 2
    both = set(listed) & set(delisted)
    assert both
    for oid in both:
        nav = navs[oid]
        assert nav.index[0] >= catalogue.loc[oid, "listed_date"]
        assert nav.index[-1] <= catalogue.loc[oid, "de_listed_date"]


def test_dividends(catalogue, trading):
    div = fund.get_dividend(list(catalogue.index))
    per_fund = div.groupby(level="order_book_id").size()
    assert (per_fund >= 2).sum() >= 5
    plain = set(_plain(catalogue))
    assert plain - set(per_fund.index), "some non-money funds should have no dividends"
    positions = pd.Series(np.arange(len(trading)), index=trading)
    flat = div.reset_index()
    ex = positions[flat["ex_dividend_date"]].to_numpy()
    book = positions[flat["book_closure_date"]].to_numpy()
    pay = positions[flat["payable_date"]].to_numpy()
    assert (ex == book).all()  # units go ex-dividend on the book-closure day
    assert ((pay - ex >= 1) & (pay - ex <= 5)).all()
    assert (flat["dividend_before_tax"] > 0).all()


def test_splits_above_and_below_one(catalogue):
    ratios = pd.concat([fund.get_split(oid)["split_ratio"] for oid in catalogue.index])
    assert (ratios > 1).any() and (ratios < 1).any()


def _nav_consistency(oid, nav):
    """Adjusted NAV returns equal unit NAV returns with dividends added back
    and splits multiplied in; returns the ex-dates seen."""
    unit = nav["unit_net_value"].to_numpy()
    adj = nav["adjusted_net_value"].to_numpy()
    factor = np.ones(len(nav))
    cash = np.zeros(len(nav))
    div = fund.get_dividend([oid])
    if div is not None:
        d = div.xs(oid, level="order_book_id")
        pos = nav.index.get_indexer(d.index)
        assert (pos >= 0).all()
        cash[pos] = d["dividend_before_tax"].to_numpy()
    splits = fund.get_split(oid)
    pos = nav.index.get_indexer(splits.index)
    assert (pos >= 0).all()
    factor[pos] = splits["split_ratio"].to_numpy()
    adj_ret = adj[1:] / adj[:-1]
    unit_ret = (unit[1:] * factor[1:] + cash[1:] * factor[1:]) / unit[:-1]
    np.testing.assert_allclose(adj_ret, unit_ret, rtol=5e-4, err_msg=oid)
    return (cash > 0).sum() + (factor != 1).sum()


def test_adjusted_nav_continuous_through_dividends_and_splits(catalogue, navs):
    events = sum(_nav_consistency(oid, navs[oid]) for oid in _plain(catalogue))
    assert events > 50


@pytest.mark.parametrize("oid", ["000002", "000006", "000011"])
def test_unit_nav_jumps_on_split_day(oid, navs):
    nav = navs[oid]
    for day, ratio in fund.get_split(oid)["split_ratio"].items():
        k = nav.index.get_loc(day)
        unit_move = nav["unit_net_value"].iloc[k] / nav["unit_net_value"].iloc[k - 1]
        adj_move = nav["adjusted_net_value"].iloc[k] / nav["adjusted_net_value"].iloc[k - 1]
        assert unit_move == pytest.approx(adj_move / ratio, rel=5e-4)


def test_status_features(catalogue, statuses, navs, trading):
    frames = [s for s in statuses.values() if s is not None]
    allst = pd.concat(frames)
    # Status rows fall on trading days, except for money-market funds, which
    # carry one for every NAV date (weekends and holidays included).
    money = set(catalogue.index[catalogue["fund_type"] == "Money"])
    ids = allst.index.get_level_values("order_book_id")
    dates = allst.index.get_level_values("datetime")
    assert dates[~ids.isin(money)].isin(trading).all()
    assert not dates[ids.isin(money)].isin(trading).all()
    for oid in money:
        nav_dates = navs[oid].index
        assert nav_dates.isin(statuses[oid].index.get_level_values("datetime")).all(), oid
    limited = allst[allst["subscribe_status"] == "Limited"]
    assert len(limited) and limited["subscribe_upper_limit"].notna().all()
    assert allst.loc[allst["subscribe_status"] != "Limited", "subscribe_upper_limit"].isna().all()
    for sub, red in [("Suspended", "Open"), ("Suspended", "Suspended"), ("Open", "Suspended"),
                     ("Close", "Close"), ("Close", "Open"), ("Open", "Close")]:
        hit = (allst["subscribe_status"] == sub) & (allst["redeem_status"] == red)
        assert hit.any(), (sub, red)
    assert {10.0, 1000.0} <= set(allst["subscribe_lower_limit"].dropna())
    assert 10.0 in set(allst["redeem_lower_limit"].dropna())
    assert allst["subscribe_lower_limit"].isna().any() and allst["redeem_lower_limit"].isna().any()


def test_fund_without_status_and_fund_with_late_status(catalogue, statuses, navs):
    without = [oid for oid, s in statuses.items() if s is None]
    assert len(without) == 1 and navs[without[0]] is not None
    late = [oid for oid, s in statuses.items() if s is not None
            and s.index.get_level_values("datetime")[0] > navs[oid].index[0] + pd.Timedelta(days=90)]
    assert late


def test_money_status_covers_every_nav_date(catalogue, statuses, navs, trading):
    for oid in _money(catalogue):
        status = statuses[oid].droplevel("order_book_id")
        assert navs[oid].index.isin(status.index).all(), oid
        # a weekend or holiday repeats the status of the trading day before it
        on_trading = status[status.index.isin(trading)]
        filled = on_trading.reindex(status.index, method="ffill")
        rows = status.index >= on_trading.index[0]
        pd.testing.assert_frame_equal(status[rows], filled[rows])


def _dump(path):
    with sqlite3.connect(path) as conn:
        dump = list(conn.iterdump())
    conn.close()
    return dump


def test_build_is_deterministic(tmp_path, sample_db):
    again = tmp_path / "again.sqlite"
    build_sample(again)
    assert _dump(again) == _dump(sample_db)
    assert again.read_bytes() == sample_db.read_bytes()
