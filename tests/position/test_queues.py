"""Trades, the two arrival queues and the daily cycle of a fund position."""
import datetime as dt

import pytest

from tessel.const import INSTRUMENT_TYPE, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition, StockPositionProxy
from tessel.portfolio.position import Position, PositionProxy

import tessel_mod_fund.position as pm
from position_helpers import TRADING_DAYS, d


def test_module_and_class_wiring(run):
    names = [k for k in vars(pm) if not k.startswith("_")]
    assert names[:14] == ["date", "datetime", "lru_cache", "pd", "convert_date_to_date_int", "INSTRUMENT_TYPE",
                          "POSITION_EFFECT", "SIDE", "TRADING_CALENDAR_TYPE", "Environment", "StockPosition",
                          "StockPositionProxy", "Trade", "Position"]
    assert issubclass(pm.FundPosition, StockPosition) and type(pm.FundPosition) is type(StockPosition)
    assert Position.get_class(INSTRUMENT_TYPE.PUBLIC_FUND) is pm.FundPosition
    assert PositionProxy.get_class(INSTRUMENT_TYPE.PUBLIC_FUND) is pm.FundPositionProxy
    assert issubclass(pm.FundPositionProxy, StockPositionProxy)
    # the account builds fund positions for fund instruments, and the proxy
    # reports the fund type whatever the instrument says
    position = run.account.get_position("F1")
    assert type(position) is pm.FundPosition
    assert run.account.get_position_proxy("F1").type == INSTRUMENT_TYPE.PUBLIC_FUND
    # every public operation is a real method/property of the class
    members = list(vars(pm.FundPosition))
    assert members.index("__init__") < members.index("equity") < members.index("settlement")


@pytest.mark.parametrize("nav_type,flag,expected", [
    ("unit", False, True), ("unit", True, True), ("adjusted", True, True), ("adjusted", False, False),
    ("adjusted", None, None),
])
def test_able_dividend_reads_accrual_only_when_needed(make_run, nav_type, flag, expected):
    run = make_run(fund={"fund_nav_type": nav_type},
                   funds=[{"order_book_id": "F1", "symbol": "x", "accrued_daily": flag}])
    getter = pm.FundPosition._accrued_fund.fget
    misses = getter.cache_info()[1]
    position = run.position()
    assert position._able_dividend == expected
    assert getter.cache_info()[1] - misses == (0 if nav_type == "unit" else 1)
    assert (position.subscribe_queue, position.redeem_queue) == ([], [])
    assert position.accrued_daily is flag
    assert position._env is run.env


def test_constructor_arguments_by_name(run):
    position = pm.FundPosition(order_book_id="F1", direction=POSITION_DIRECTION.LONG, init_quantity=50,
                               init_price=1.5)
    # initial units are received from the start
    assert (position.quantity, position.receivable_quantity, position._avg_price) == (50, 0, 1.5)


def test_subscription_arrives_after_a_holiday(run):
    # Thursday 9 January: Friday 10 is a holiday, so T+1 is Monday 13.
    day = d("2020-01-09")
    position = run.account.get_position("F1")
    cash = run.account.cash
    run.account.apply_trade(run.subscribe(day, 100.0, price=1.5))
    assert run.account.cash == cash - 150.0
    assert position._quantity == 100.0 and position.receivable_quantity == 100.0
    assert (position.quantity, position.closable, position.today_closable) == (0.0, 0.0, 0.0)
    assert position.subscribe_queue == [(dt.datetime(2020, 1, 13), 100.0)]
    run.account.settlement(day)
    run.account.before_trading(d("2020-01-13"))
    assert (position.quantity, position.closable, position.today_closable) == (100.0, 100.0, 100.0)
    assert position.subscribe_queue == [] and position._old_quantity == position._logical_old_quantity == 100.0


def test_redemption_cash_waits_in_equity(run):
    position = run.position(init_quantity=1000.0, init_price=1.0)
    day = d("2020-01-08")  # T+3 across the Friday holiday: 9, 13, 14
    assert position.apply_trade(run.redeem(day, 400.0, price=1.25)) == 0
    assert position.receivable_cash == 500.0
    assert position.equity == pytest.approx(600.0 * position.last_price + 500.0)
    for day in (d("2020-01-09"), d("2020-01-13")):
        assert position.before_trading(day) == 0
    assert position.before_trading(d("2020-01-14")) == 500.0
    assert position.redeem_queue == [] and position.receivable_cash == 0


def test_entries_arrive_on_their_exact_date_and_in_queue_order(run):
    position = run.position(init_quantity=1.0)
    t13, t15 = dt.datetime(2020, 1, 13, 9, 30), dt.datetime(2020, 1, 15)
    # the first entry is due later than the second: it holds the second back
    position.subscribe_queue = [(t15, 10.0), (t13, 5.0)]
    position._quantity = 16.0
    position.redeem_queue = [(t15, 7.0), (t13, 3.0)]
    assert position.before_trading(d("2020-01-13")) == 0
    assert position.receivable_quantity == 15.0 and position.receivable_cash == 10.0
    assert position.before_trading(d("2020-01-15")) == 10.0
    assert position.quantity == 16.0 and position.subscribe_queue == [] and position.redeem_queue == []


def test_redemption_due_at_once_is_paid_by_apply_trade(make_run):
    run = make_run(fund={"redemption_receiving_days": 0})
    position = run.position(init_quantity=100.0)
    assert position.apply_trade(run.redeem(d("2020-01-08"), 40.0, price=1.00005)) == round(40 * 1.00005, 4)
    assert position.redeem_queue == []


def test_empty_position_skips_every_handler(run, monkeypatch):
    position = run.position()
    called = []
    for name in ("_handle_redeem_value", "_handle_accrued_daily_fund_dividend", "_handle_dividend_book_closure",
                 "_handle_dividend_payable", "_handle_split", "_handle_subscribe_units"):
        monkeypatch.setattr(position, name, lambda *a, _n=name: called.append(_n) or 0)
    assert position.before_trading(d("2020-01-13")) == 0
    assert called == []
    position._quantity = 1.0
    position.before_trading(d("2020-01-14"))
    assert called == ["_handle_redeem_value", "_handle_accrued_daily_fund_dividend",
                      "_handle_dividend_book_closure", "_handle_dividend_payable", "_handle_split",
                      "_handle_subscribe_units"]


@pytest.mark.parametrize("value,expected", [(10.00004, 10.0), (10.00005, 10.0), (10.00015, 10.0001),
                                            (0.12345, round(0.12345, 4)), (7, 7)])
def test_quantity_is_rounded_like_python(run, value, expected):
    position = run.position()
    position._quantity = value
    assert position.quantity == expected == round(value, 4)
    assert type(position.quantity) is type(round(value, 4))


def test_redeem_handler_rounds_and_keeps_int_zero(run):
    position = run.position()
    assert type(position._handle_redeem_value(d("2020-01-13"))) is int
    position.redeem_queue = [(dt.datetime(2020, 1, 13), 0.1), (dt.datetime(2020, 1, 13), 0.2),
                             (dt.datetime(2020, 1, 14), 5)]
    assert position._handle_redeem_value(d("2020-01-13")) == round(0.1 + 0.2, 4)
    assert position._handle_redeem_value(d("2020-01-14")) == 5 and position.redeem_queue == []


@pytest.mark.parametrize("entry,error,message", [
    ((dt.datetime(2020, 1, 13), 1.0, 2.0), ValueError, "too many values to unpack (expected 2)"),
    ((dt.datetime(2020, 1, 13),), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (5, TypeError, "cannot unpack non-iterable int object"),
])
def test_malformed_entry_fails_without_changes(run, entry, error, message):
    position = run.position(init_quantity=10.0)
    good = (dt.datetime(2020, 1, 13), 2.0)
    position.subscribe_queue = [good, entry]
    position.redeem_queue = [good, entry]
    for handler in (position._handle_subscribe_units, position._handle_redeem_value):
        with pytest.raises(error) as info:
            handler(d("2020-01-14"))
        assert str(info.value) == message
    assert position._old_quantity == 10.0 and position.subscribe_queue == [good, entry]
    assert position.redeem_queue == [good, entry]


def test_unsupported_position_effect_changes_nothing(run):
    position = run.position(init_quantity=10.0)
    trade = run.trade(d("2020-01-08"), "F1", SIDE.SELL, POSITION_EFFECT.CLOSE_TODAY, 5.0, 1.0)
    with pytest.raises(NotImplementedError) as info:
        position.apply_trade(trade)
    assert str(info.value) == "FundPosition does not support position effect CLOSE_TODAY"
    assert position._quantity == 10.0 and position.redeem_queue == []


def test_queued_units_cannot_be_redeemed(run):
    position = run.position(init_quantity=10.0)
    position.apply_trade(run.subscribe(d("2020-01-08"), 100.0))
    with pytest.raises(ValueError, match="only 10.0 units have arrived"):
        position.apply_trade(run.redeem(d("2020-01-08"), 50.0))
    assert position._quantity == 110.0 and position.redeem_queue == []


def test_redemption_arriving_past_the_calendar_stays_owed(make_run):
    run = make_run(fund={"redemption_receiving_days": 30})
    position = run.position(init_quantity=10.0)
    assert position.apply_trade(run.redeem(d("2020-02-20"), 5.0)) == 0
    assert position._quantity == 5.0
    (due, value), = position.redeem_queue
    assert due.date() > TRADING_DAYS[-1] and value > 0 and position.receivable_cash == value


def test_state_round_trip(run):
    position = run.position(init_quantity=5.0)
    position.apply_trade(run.subscribe(d("2020-01-08"), 100.0))
    position.apply_trade(run.redeem(d("2020-01-08"), 2.0))
    state = position.get_state()
    assert state["subscribe_queue"] == position.subscribe_queue
    assert state["redeem_queue"] == position.redeem_queue
    # a saved state is a snapshot: later trades do not leak into it
    position.apply_trade(run.subscribe(d("2020-01-08"), 7.0))
    assert len(state["subscribe_queue"]) == 1

    restored = run.position()
    restored.set_state(state)
    assert restored.subscribe_queue == state["subscribe_queue"]
    assert restored.redeem_queue == state["redeem_queue"]
    assert restored._quantity == 103.0 and restored.quantity == 3.0


def test_state_from_a_stock_position_and_list_entries(run):
    stock_state = StockPosition("F1", POSITION_DIRECTION.LONG, 20.0, 1.0).get_state()
    position = run.position()
    position.set_state(stock_state)
    assert (position.subscribe_queue, position.redeem_queue, position.quantity) == ([], [], 20.0)

    # entries read back from a serialised state come as two-element lists
    state = dict(stock_state, today_quantity=10.0,
                 subscribe_queue=[[dt.datetime(2020, 1, 13), 10.0]],
                 redeem_queue=[[dt.datetime(2020, 1, 13), 4.0]])
    position.set_state(state)
    assert position.receivable_quantity == 10.0 and position.receivable_cash == 4.0
    assert position.before_trading(d("2020-01-13")) == 4.0
    assert position.quantity == 30.0 and position.subscribe_queue == []


def test_bad_state_is_refused_before_anything_is_restored(run):
    position = run.position(init_quantity=5.0)
    state = position.get_state()
    state.update(old_quantity=99.0, redeem_queue=[("2020-01-13", 4.0)])
    with pytest.raises(ValueError, match=r"state\['redeem_queue'\]\[0\]"):
        position.set_state(state)
    assert position._quantity == 5.0


def test_settlement_always_returns_zero_and_keeps_counters(run):
    position = run.position(init_quantity=10.0)
    position.apply_trade(run.subscribe(d("2020-01-08"), 5.0))
    assert position.settlement(d("2020-01-08")) == 0
    # the generic end-of-day roll would count the queued units as old ones
    assert position._old_quantity == 10.0 and position._quantity == 15.0
