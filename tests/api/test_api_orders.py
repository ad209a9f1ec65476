"""Subscriptions and redemptions through the engine: fills at day T's NAV,
units and cash that arrive later, and what redeem_all leaves alone."""
import datetime as dt

import pytest

from api_helpers import bar_on, previous_day
from tessel.const import ORDER_STATUS, POSITION_EFFECT, SIDE
from tessel_mod_fund import api


def test_order_on_day_t_fills_at_t_nav_decided_on_t_minus_1(make_engine):
    engine = make_engine("2020-03-02")
    engine.close()
    seen = api.fund_nav("000001")
    order = api.subscribe("000001", 10000)
    assert (order.status, order.side, order.position_effect, order.cash_amount) == (
        ORDER_STATUS.ACTIVE, SIDE.BUY, POSITION_EFFECT.OPEN, 10000.0)
    engine.finish()

    today_nav = float(bar_on(engine, "000001", engine.day)["close"])
    assert seen == float(bar_on(engine, "000001", previous_day(engine))["close"])
    assert seen != today_nav
    assert order.status == ORDER_STATUS.FILLED
    assert order.avg_price == today_nav
    assert engine.account.cash == pytest.approx(1_000_000 - 10000, abs=0.01)
    position = engine.account.positions["000001"]
    assert position.receivable_quantity == order.filled_quantity and position.quantity == 0


def test_refused_subscription_comes_back_with_its_reason(make_engine):
    engine = make_engine("2015-12-31")
    engine.at_close(dt.date(2016, 1, 4))  # 000001 suspended from today
    order = api.subscribe("000001", 5000)
    assert order.status == ORDER_STATUS.REJECTED
    assert "申购" in order.message and "Suspended" in order.message


def test_redeem_and_redeem_all(make_engine):
    engine = make_engine("2020-03-02", subscription_receiving_days=2)
    engine.close()
    assert api.redeem_all("000001") is None  # nothing held
    api.subscribe("000001", 50000)
    engine.finish()
    engine.at_close(engine.next_day())
    # The units are still on their way: nothing can be redeemed yet.
    assert api.redeem_all("000001") is None
    engine.finish()
    engine.at_close(engine.next_day())
    position = engine.account.positions["000001"]
    held = position.quantity
    assert held > 0 and position.receivable_quantity == 0

    part = api.redeem("000001", 100)
    rest = api.redeem_all("000001")
    assert (part.side, part.position_effect, part.quantity) == (SIDE.SELL, POSITION_EFFECT.CLOSE, 100.0)
    # What today's open redemption already takes is left out.
    assert rest.quantity == pytest.approx(held - 100, abs=1e-9)
    assert api.redeem_all("000001") is None
    engine.finish()
    assert part.status == rest.status == ORDER_STATUS.FILLED
    assert position.quantity == 0
    nav = float(bar_on(engine, "000001", engine.day)["close"])
    # The cash waits in the redemption queue (net of the redemption fee).
    assert 0 < position.receivable_cash <= held * nav + 1e-6
