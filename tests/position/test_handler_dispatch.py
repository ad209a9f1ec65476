"""The daily cycle calls the position's own handlers directly, and whatever
replaces a handler (on the class or on one position) is still what runs."""
import random
import types

import numpy as np
import pytest

from tessel.utils.datetime_func import convert_date_to_int

import tessel_mod_fund.position as pm
from position_helpers import SPLIT_FIELDS, TRADING_DAYS, dividend_records, nav_bars

HANDLERS = ("_handle_redeem_value", "_handle_accrued_daily_fund_dividend", "_handle_dividend_book_closure",
            "_handle_dividend_payable", "_handle_split", "_handle_subscribe_units", "_deal_dividend_reinvestment",
            "_date_to_datetime")


def through_python(position):
    """The position with every handler found on the instance: each call goes through Python."""
    for name in HANDLERS:
        setattr(position, name, types.MethodType(getattr(type(position), name), position))
    return position


def state(position):
    return (position._quantity, position._old_quantity, position._logical_old_quantity, position._avg_price,
            position._dividend_receivable, list(position.subscribe_queue), list(position.redeem_queue))


def random_events(run, rng, order_book_id):
    days = TRADING_DAYS[2:-8]
    rows = [{"book_closure_date": rng.choice(days), "dividend_cash_before_tax": round(rng.uniform(0.01, 0.2), 4),
             "payable_date": rng.choice(days)} for _ in range(rng.randrange(0, 4))]
    run.dividends.records[order_book_id] = dividend_records(rows)
    splits = sorted(rng.sample(days, rng.randrange(0, 3)))
    factors = np.zeros(len(splits), dtype=SPLIT_FIELDS)
    factors["ex_date"] = [convert_date_to_int(day) for day in splits]
    factors["split_factor"] = [rng.choice([0.5, 2.0, 1.25]) for _ in splits]
    run.splits.factors[order_book_id] = factors


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("order_book_id", ["F1", "MMF"])
def test_direct_calls_equal_calls_through_python(make_run, seed, order_book_id):
    run = make_run(reinvest=seed % 2 == 1)
    rng = random.Random(seed)
    closes = [round(1 + rng.uniform(-0.05, 0.05), 4) for _ in TRADING_DAYS]
    profit = [rng.uniform(0.3, 0.6) for _ in TRADING_DAYS] if order_book_id == "MMF" else None
    run.bars.bars[order_book_id] = nav_bars(TRADING_DAYS, 1.0 if profit else closes, profit)
    random_events(run, rng, order_book_id)
    direct = run.position(order_book_id, init_quantity=1000.0, init_price=1.0)
    python = through_python(run.position(order_book_id, init_quantity=1000.0, init_price=1.0))
    for i, day in enumerate(TRADING_DAYS[1:-6], start=1):
        price = 1.0 if profit else closes[i]
        cash = []
        for position in (direct, python):
            cash.append(position.before_trading(day))
            position.update_last_price(price)
        assert cash[0] == cash[1] and state(direct) == state(python), day
        if rng.random() < 0.3:
            if rng.random() < 0.6 or direct.quantity < 50:
                trade = run.subscribe(day, float(rng.randrange(10, 50)), price, order_book_id)
            else:
                trade = run.redeem(day, float(rng.randrange(10, 40)), price, order_book_id)
            paid = [position.apply_trade(trade) for position in (direct, python)]
            assert paid[0] == paid[1], day
        for position in (direct, python):
            position.settlement(day)
        assert state(direct) == state(python), day
    assert direct._quantity != 1000.0  # the cycle did change the holding


@pytest.mark.parametrize("name, args", [("_handle_split", 2), ("_handle_dividend_payable", 1),
                                        ("_handle_subscribe_units", 1)])
def test_a_handler_replaced_on_the_class_is_the_one_called(run, monkeypatch, name, args):
    calls = []
    original = getattr(pm.FundPosition, name)

    def spy(self, *a):
        assert len(a) == args
        calls.append(name)
        return original(self, *a)

    monkeypatch.setattr(pm.FundPosition, name, spy)
    position = run.position(init_quantity=100.0, init_price=1.0)
    position.before_trading(TRADING_DAYS[3])
    assert calls == [name]
    monkeypatch.undo()
    position.before_trading(TRADING_DAYS[4])
    assert calls == [name]  # the class's own handler again
