"""Cash dividends and unit splits reaching a fund position through the engine's data proxy."""
import datetime as dt

import numpy as np
import pytest

from tessel.utils.datetime_func import convert_date_to_int

from position_helpers import DIVIDEND_FIELDS, SPLIT_FIELDS, d, dividend_records, nav_bars, TRADING_DAYS

# The book closure looked up on Tuesday 14 January is Monday 13's.
BOOK, DAY = d("2020-01-13"), d("2020-01-14")


def holding(run, units=1000.0, price=1.2, order_book_id="F1"):
    position = run.position(order_book_id, init_quantity=units, init_price=price)
    run.account.positions[order_book_id] = position
    return position


def test_two_dividends_on_one_date_add_up_and_pay_in_cash(run):
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.1, "payable_date": d("2020-01-16")},
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.05, "payable_date": d("2020-01-16")},
    ])
    position = holding(run)
    cash = run.account.cash
    run.account.before_trading(DAY)
    assert position._dividend_receivable == (dt.date(2020, 1, 16), 1000.0 * (0.1 + 0.05))
    assert position._avg_price == pytest.approx(1.2 - 0.15)
    assert position.equity == pytest.approx(1000.0 * position.last_price + 150.0)
    run.account.settlement(DAY)
    run.account.before_trading(d("2020-01-15"))
    assert run.account.cash == cash
    run.account.before_trading(d("2020-01-16"))
    assert run.account.cash == pytest.approx(cash + 150.0)
    assert position._dividend_receivable is None and position._quantity == 1000.0


def test_settlement_reinvests_at_the_days_price(make_run):
    run = make_run(reinvest=True)
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.05, "payable_date": d("2020-01-16")}])
    position = holding(run)
    position.before_trading(DAY)
    assert position._dividend_receivable == (dt.date(2020, 1, 16), 50.0)
    position.update_last_price(1.25)
    assert position.settlement(DAY) == 0
    # 50.0 / 1.25: units arrive one trading day after the payable date
    assert position._quantity == 1040.0 and position._dividend_receivable is None
    assert position.subscribe_queue == [(dt.datetime(2020, 1, 17), 40.0)]
    assert position.quantity == 1000.0
    for day in (d("2020-01-15"), d("2020-01-16")):
        assert position.before_trading(day) == 0
    position.before_trading(d("2020-01-17"))
    assert position.quantity == 1040.0 and position.subscribe_queue == []


def test_dividend_payable_the_same_morning_is_reinvested_at_settlement(make_run):
    # Before the open the last price is yesterday's pre-dividend NAV; the
    # reinvestment waits for the day's NAV at settlement.
    run = make_run(reinvest=True)
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.05, "payable_date": DAY}])
    position = holding(run, price=1.30)
    run.at(DAY, hour=9)
    assert position.before_trading(DAY) == 0
    assert position._dividend_receivable == (DAY, 50.0)
    assert position._quantity == 1000.0
    position.update_last_price(1.25)
    assert position.settlement(DAY) == 0
    assert position._dividend_receivable is None
    assert position._quantity == 1040.0
    assert position.subscribe_queue == [(dt.datetime(2020, 1, 15), 40.0)]


def test_payable_date_on_a_holiday_is_paid_the_next_trading_day(run):
    # Friday 10 January is a holiday; the cash must not be stranded.
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": d("2020-01-08"), "dividend_cash_before_tax": 0.05, "payable_date": d("2020-01-10")}])
    position = holding(run)
    assert position.before_trading(d("2020-01-09")) == 0
    assert position.before_trading(d("2020-01-13")) == 50.0
    assert position._dividend_receivable is None


def test_nan_dividend_changes_nothing(run):
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": np.nan, "payable_date": d("2020-01-16")}])
    position = holding(run)
    with pytest.raises(RuntimeError) as info:
        position.before_trading(DAY)
    assert str(info.value) == "Dividend per share of F1 is not supposed to be nan."
    assert position._avg_price == 1.2 and position._dividend_receivable is None


def test_payable_date_falls_back_to_ex_dividend_date(run):
    fields = [f for f in DIVIDEND_FIELDS if f[0] != "payable_date"]
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.05, "ex_dividend_date": d("2020-01-15")}],
        fields)
    position = holding(run)
    position.before_trading(DAY)
    assert position._dividend_receivable == (dt.date(2020, 1, 15), 50.0)


def test_bad_payable_date_changes_nothing(run):
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.05, "payable_date": 20200231}])
    position = holding(run)
    with pytest.raises(ValueError):
        position.before_trading(DAY)
    assert position._avg_price == 1.2 and position._dividend_receivable is None


def test_adjusted_nav_fund_gets_no_dividend(make_run):
    run = make_run(fund={"fund_nav_type": "adjusted"})
    run.dividends.records["F1"] = dividend_records([
        {"book_closure_date": BOOK, "dividend_cash_before_tax": 0.05, "payable_date": DAY}])
    position = holding(run)
    assert position.before_trading(DAY) == 0 and position._dividend_receivable is None


def split(run, order_book_id, day, ratio):
    factors = np.zeros(1, dtype=SPLIT_FIELDS)
    factors["ex_date"], factors["split_factor"] = convert_date_to_int(day), ratio
    run.splits.factors[order_book_id] = factors


def test_split_scales_queued_units_and_prices(run):
    position = holding(run, units=233.3333)
    position.apply_trade(run.subscribe(d("2020-01-15"), 100.0, price=1.2))
    assert position._quantity == 333.3333
    split(run, "F1", d("2020-01-16"), 2.0)
    # the split acts before the day's queue step, so the entry is scaled while queued
    calls = []
    original = position._handle_subscribe_units
    position._handle_subscribe_units = lambda day: calls.append(list(position.subscribe_queue)) or original(day)
    position.before_trading(d("2020-01-16"))
    assert calls == [[(dt.datetime(2020, 1, 16), 200.0)]]
    assert position._quantity == 666.6666 and position.quantity == 666.6666
    assert position._avg_price == pytest.approx(0.6) and position.prev_close == pytest.approx(0.6)


def test_split_on_a_day_without_record_changes_nothing(run):
    position = holding(run)
    split(run, "F1", d("2020-01-16"), 2.0)
    position.before_trading(d("2020-01-15"))
    assert (position._quantity, position._avg_price) == (1000.0, 1.2)


def test_split_on_accruing_fund_acts_after_its_queue_step(run):
    days = TRADING_DAYS
    run.bars.bars["MMF"] = nav_bars(days, 1.0, daily_profit=np.full(len(days), 0.5))
    position = holding(run, units=100000.0, price=1.0, order_book_id="MMF")
    position.apply_trade(run.subscribe(d("2020-01-15"), 1000.0))
    split(run, "MMF", d("2020-01-16"), 2.0)
    position.before_trading(d("2020-01-16"))
    # the day's income (5.0 on the 100,000 received units) and the arriving
    # 1000 units are received first, then everything is doubled
    assert position.subscribe_queue == []
    assert position._old_quantity == position._logical_old_quantity == 2 * 101005.0
    assert position._quantity == 2 * 101005.0
