"""Python semantics a fund position must keep: result types, rounding, argument binding, caching."""
import datetime as dt

import numpy as np
import pytest

from tessel.const import POSITION_EFFECT, SIDE
from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition
from tessel.model.trade import Trade

import tessel_mod_fund.position as pm
from position_helpers import DIVIDEND_FIELDS, d, nav_bars, TRADING_DAYS


def test_members_in_source_order():
    members = [k for k in vars(pm.FundPosition) if not k.startswith("__") or k == "__init__"]
    assert members == [
        "__init__", "equity", "get_state", "set_state", "apply_trade", "before_trading", "_date_to_datetime",
        "_handle_dividend_book_closure", "_deal_dividend_reinvestment", "_handle_dividend_payable",
        "_handle_subscribe_units", "_handle_redeem_value", "_handle_accrued_daily_fund_dividend",
        "_accrued_fund", "_handle_split", "receivable_quantity", "receivable_cash", "quantity", "closable",
        "today_closable", "settlement"]
    assert pm.FundPosition._handle_subscribe_units.__doc__ == "将延期到账的份额增加到账户中"
    assert {k for k in vars(pm.FundPositionProxy) if not k.startswith("__")} == {"type"}
    sizes = [f.cache_info()[2] for f in (pm.FundPosition._accrued_fund.fget, pm._get_trading_dates,
                                         pm._get_daily_profit)]
    assert sizes == [2, 1, 1024]


def test_fresh_position_values_are_int_zero(run):
    position = run.position()
    values = (position.quantity, position.closable, position.today_closable,
              position.receivable_quantity, position.receivable_cash)
    assert values == (0,) * 5 and all(type(v) is int for v in values)
    assert position.equity == StockPosition.equity.__get__(position) == 0


@pytest.mark.parametrize("price", [1.23456789, np.float64(1.23456789), np.float64(10.00015)])
def test_subscription_cash_is_rounded_to_the_nearest(run, price):
    position = run.position()
    trade = run.subscribe(d("2020-01-08"), 1.0, price=price)
    delta = position.apply_trade(trade)
    # the nearest multiple of 0.0001 of the exact value (numpy's own rounding
    # of a float64 would turn -10.00015 into -10.0002)
    assert delta == round(-float(price), 4) and type(delta) is float


def test_split_by_a_numpy_ratio_rounds_to_the_nearest(run):
    position = run.position(init_quantity=10.00015)
    position.subscribe_queue = [(dt.datetime(2020, 1, 20), 333.33335)]
    position._quantity = 10.00015 + 333.33335

    class Proxy:
        def get_split_by_ex_date(self, order_book_id, day):
            return np.float64(1.0)

    position._handle_split(d("2020-01-14"), Proxy())
    assert position._old_quantity == round(10.00015, 4) == 10.0001
    assert position.subscribe_queue == [(dt.datetime(2020, 1, 20), round(333.33335, 4))]
    assert type(position.subscribe_queue[0][1]) is float


def test_trade_without_a_usable_date_changes_nothing(run):
    position = run.position(init_quantity=10.0)
    moment = np.datetime64("2020-01-08T15:00")  # the calendar reads it; it has no .date()
    for effect, side in ((POSITION_EFFECT.OPEN, SIDE.BUY), (POSITION_EFFECT.CLOSE, SIDE.SELL)):
        trade = Trade.__from_create__(None, 1.0, 5.0, side, effect, "F1", calendar_dt=moment, trading_dt=moment)
        with pytest.raises(AttributeError, match="date"):
            position.apply_trade(trade)
        assert (position._quantity, position.subscribe_queue, position.redeem_queue) == (10.0, [], [])


def test_empty_dividend_records_are_no_dividend(run):
    position = run.position(init_quantity=100.0, init_price=1.2)

    class Proxy:
        def get_previous_trading_date(self, day):
            return day

        def get_dividend_by_book_date(self, order_book_id, day):
            return np.zeros(0, dtype=DIVIDEND_FIELDS).view(np.recarray)

    position._handle_dividend_book_closure(d("2020-01-14"), Proxy())
    assert position._avg_price == 1.2 and position._dividend_receivable is None


def test_daily_profit_cache_binding_and_failures(run):
    bars = nav_bars(TRADING_DAYS, 1.0, daily_profit=np.full(len(TRADING_DAYS), 0.5))
    run.bars.bars["MMF"] = bars[::-1].copy()  # out of order: refused, nothing cached
    with pytest.raises(ValueError, match="not in date order"):
        pm._get_daily_profit("MMF")
    run.bars.bars["MMF"] = bars
    table = pm._get_daily_profit("MMF")
    assert len(table) == len(TRADING_DAYS)
    by_name = pm._get_daily_profit(order_book_id="MMF")
    assert by_name.tobytes() == table.tobytes() and pm._get_daily_profit(order_book_id="MMF") is by_name
    for bad_call in (lambda: pm._get_daily_profit(), lambda: pm._get_daily_profit("MMF", "x"),
                     lambda: pm._get_daily_profit(fund="MMF"), lambda: pm._get_trading_dates("MMF")):
        with pytest.raises(TypeError):
            bad_call()
