"""Fund look-ups for strategies: what is visible on day T, and what is refused."""
import datetime as dt
import math

import numpy as np
import pytest

import vexdatac.fund
from api_helpers import bar_on, previous_day
from tessel.api import get_apis
from tessel.const import INSTRUMENT_TYPE
from tessel.utils.datetime_func import convert_date_to_int
from tessel_mod_fund import api

API_NAMES = ("subscribe", "redeem", "redeem_all", "order_target_fund_weights", "fund_nav", "fund_nav_history",
             "fund_status", "all_funds", "fund_info")


def test_init_exports_the_functions_and_lags_fund_bars(make_engine):
    engine = make_engine("2020-03-02")
    apis = get_apis()
    for name in API_NAMES:
        assert apis[name] is getattr(api, name)
        assert getattr(api, name).__doc__.startswith(name + "(")
    assert engine.env.get_strategy_bar_lag(INSTRUMENT_TYPE.PUBLIC_FUND) == 1


@pytest.mark.parametrize("moment", ["open", "close"])
def test_nav_is_yesterdays_while_status_is_todays(make_engine, moment):
    # 2016-01-04: fund 000001 suspends subscriptions and redemptions; the day
    # before it was open.  The status is announced in advance, the NAV not.
    engine = make_engine("2015-12-30")
    engine.at_close(dt.date(2016, 1, 4))
    if moment == "open":  # where a strategy's before_trading runs
        engine.env.trading_dt = engine.env.calendar_dt = dt.datetime(2016, 1, 4, 9, 30)
    today, yesterday = engine.day, previous_day(engine)
    bar_today, bar_yesterday = bar_on(engine, "000001", today), bar_on(engine, "000001", yesterday)

    assert api.fund_nav("000001") == float(bar_yesterday["close"])
    assert api.fund_nav("000001") != float(bar_today["close"])
    assert api.fund_status("000001") == ("Suspended", "Suspended")
    assert bar_yesterday["subscribe_status"] == b"Open"
    bars = engine.proxy.get_bars("000001")
    before_today = bars[bars["datetime"] < convert_date_to_int(today)]
    assert api.fund_nav_history("000001", 3).tolist() == before_today["close"][-3:].tolist()


def test_nav_matches_what_the_strategy_bar_shows_at_the_close(make_engine):
    engine = make_engine("2020-03-02")
    engine.close()
    for fund in ("000001", "000025", "000037"):
        assert api.fund_nav(fund) == engine.env.get_strategy_bar(fund).close


def test_history_is_a_copy_with_at_most_the_published_records(make_engine):
    engine = make_engine("2015-01-05")
    engine.close()
    # Day one of the calendar: nothing has been published yet.
    assert math.isnan(api.fund_nav("000001"))
    assert len(api.fund_nav_history("000001", 5)) == 0
    engine.run_day()
    engine.run_day()
    engine.open(engine.next_day())
    engine.close()
    history = api.fund_nav_history("000001", 10)
    bars = engine.proxy.get_bars("000001")
    assert history.tolist() == bars["close"][:3].tolist()  # three trading days before today
    history[:] = -1.0
    assert (bars["close"][:3] > 0).all()


def test_money_market_history_stops_at_the_previous_trading_day(make_engine):
    # A Monday: the weekend's income rows are dated after Friday and stay hidden.
    engine = make_engine("2020-03-09")
    engine.close()
    bars = engine.proxy.get_bars("000037")
    friday = convert_date_to_int(dt.date(2020, 3, 6))
    end = int(np.searchsorted(bars["datetime"], friday, side="right"))
    assert api.fund_nav("000037") == 1.0
    profits = api.fund_nav_history("000037", 4, field="daily_profit")
    np.testing.assert_array_equal(profits, bars["daily_profit"][end - 4:end])
    assert np.array_equal(api.fund_nav_history("000037", 2, "weekly_yield"), bars["weekly_yield"][end - 2:end])


def test_status_of_a_fund_not_listed_yet_is_none(make_engine):
    make_engine("2016-03-01").close()
    assert api.fund_status("000005") == (None, None)  # listed 2017-03-15
    assert math.isnan(api.fund_nav("000005"))


def test_all_funds_and_fund_info(make_engine):
    make_engine("2020-03-02")
    catalogue = vexdatac.fund.all_instruments()
    funds = api.all_funds()
    assert [f.order_book_id for f in funds] == catalogue["order_book_id"].tolist()
    assert all(f.type == INSTRUMENT_TYPE.PUBLIC_FUND for f in funds)
    bonds = api.all_funds("Bond")
    assert [f.order_book_id for f in bonds] == catalogue.loc[catalogue["fund_type"] == "Bond", "order_book_id"].tolist()
    mixed = api.all_funds(["Money", "Index"])
    assert {f.fund_type for f in mixed} == {"Money", "Index"}
    assert len(mixed) == (catalogue["fund_type"].isin(["Money", "Index"])).sum()
    info = api.fund_info("000037")
    assert (info.order_book_id, info.fund_type, info.accrued_daily) == ("000037", "Money", True)
    # A symbol is resolved to its fund.
    assert api.fund_info(info.symbol).order_book_id == "000037"


def test_all_funds_rejects_an_unknown_type_naming_the_known_ones(make_engine):
    make_engine("2020-03-02")
    with pytest.raises(ValueError, match=r"no fund has fund_type 'Equity' \(known: Stock, Hybrid, Index, Bond, Money\)"):
        api.all_funds("Equity")
    with pytest.raises(ValueError, match="fund_type must be a text"):
        api.all_funds(3)


@pytest.mark.parametrize("call", [
    lambda: api.subscribe("999999", 1000),
    lambda: api.redeem("999999", 10),
    lambda: api.redeem_all("999999"),
    lambda: api.fund_nav("999999"),
    lambda: api.fund_nav_history("999999", 3),
    lambda: api.fund_status("999999"),
    lambda: api.fund_info("999999"),
    lambda: api.order_target_fund_weights({"000001": 0.5, "999999": 0.2}),
])
def test_unknown_fund_is_named(make_engine, call):
    engine = make_engine("2020-03-02")
    engine.close()
    with pytest.raises(ValueError, match="unknown fund '999999'"):
        call()
    assert engine.env.broker.get_open_orders() == []  # nothing half-ordered


@pytest.mark.parametrize("value", [0, -100, float("nan"), float("inf"), "1000", True, None])
def test_bad_amounts_and_quantities(make_engine, value):
    engine = make_engine("2020-03-02")
    engine.close()
    with pytest.raises(ValueError, match=r"subscribe: cash_amount must be a finite number > 0, got "):
        api.subscribe("000001", value)
    with pytest.raises(ValueError, match=r"redeem: quantity must be a finite number > 0, got "):
        api.redeem("000001", value)
    assert engine.env.broker.get_open_orders() == []


@pytest.mark.parametrize("call, message", [
    (lambda: api.fund_nav(1), r"fund_nav: order_book_id must be a fund id text, got 1"),
    (lambda: api.fund_nav_history("000001", 0), r"count must be a whole number >= 1, got 0"),
    (lambda: api.fund_nav_history("000001", -2**70), r"count must be a whole number >= 1, got -1180591620717411303424"),
    (lambda: api.fund_nav_history("000001", 2.5), r"count must be a whole number >= 1, got 2.5"),
    (lambda: api.fund_nav_history("000001", True), r"count must be a whole number >= 1, got True"),
    (lambda: api.fund_nav_history("000001", 3, "daily_profit"), r"'000001' has no bar field 'daily_profit' \(fields: datetime, "),
])
def test_bad_look_up_arguments(make_engine, call, message):
    make_engine("2020-03-02").close()
    with pytest.raises(ValueError, match=message):
        call()


def test_history_count_beyond_the_history_returns_all_of_it(make_engine):
    engine = make_engine("2015-01-09")
    engine.close()
    assert api.fund_nav_history("000001", 2**70).tolist() == engine.proxy.get_bars("000001")["close"][:4].tolist()
