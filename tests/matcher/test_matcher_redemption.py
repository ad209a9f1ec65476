"""Redemptions: back-end fees by holding period, first in first out.

Redemption tiers of the equity funds: held fewer than 7 days 1.5 %, fewer
than 365 days 0.5 %, fewer than 730 days 0.25 %, then 0.  Days are calendar
days from the subscription's trading day to the redemption's.
"""
import datetime as dt

import pytest

from matcher_helpers import DIVIDEND, SPLIT_DAY, redeem, subscribe
from tessel.const import ORDER_STATUS, POSITION_EFFECT, SIDE
from tessel.model.order import Order

NAV = 1.2345
UNITS_PER_10K = 7980.7345  # round(10000 / 1.015 / 1.2345, 4)


def test_fifo_across_two_lots(make_market):
    market = make_market()
    first, second, redemption_day = dt.date(2023, 2, 6), dt.date(2024, 3, 7), dt.date(2024, 3, 12)
    assert ((redemption_day - first).days, (redemption_day - second).days) == (400, 5)
    market.trade(first, subscribe("100001", amount=10_000))
    market.trade(second, subscribe("100001", amount=10_000))
    assert market.matcher.holding_lots(market.account, "100001") == [(first, UNITS_PER_10K),
                                                                      (second, UNITS_PER_10K)]
    (order,) = market.trade(redemption_day, redeem("100001", 10_000))
    trade = market.filled_trade(order)
    assert (trade.side, trade.position_effect, trade.last_price, trade.last_quantity) == (
        SIDE.SELL, POSITION_EFFECT.CLOSE, NAV, 10_000)
    # the older lot whole at 0.25 %, the rest from the newer lot at 1.5 %:
    #   7980.7345 x 1.2345 x 0.0025 = 24.630541850625
    #   2019.2655 x 1.2345 x 0.015  = 37.391748896250
    assert order.fee == pytest.approx(62.022290746875, abs=1e-9)
    assert market.env.get_order_transaction_cost(order) == order.fee == trade.transaction_cost
    # the cash waits three trading days: 12345 - 62.0222907 = 12282.9777
    position = market.position("100001")
    assert market.cash_moved_by(0) and position.receivable_cash == 12282.9777
    assert market.matcher.holding_lots(market.account, "100001") == [(second, pytest.approx(5961.469, abs=1e-9))]
    before = market.account.cash
    market.trade(dt.date(2024, 3, 15))
    assert market.account.cash == before + 12282.9777


def test_split_rescales_the_lots(make_market):
    # Fund 100005: NAV 2.0, split 1 -> 2 on 2024-01-10, NAV 1.0 from then on.
    market = make_market()
    market.trade(dt.date(2024, 1, 2), subscribe("100005", amount=10_000))   # 4926.1084 units
    market.trade(SPLIT_DAY)
    assert market.position("100005").quantity == 9852.2168
    market.trade(dt.date(2024, 1, 11), subscribe("100005", amount=10_000))  # 9852.2167 units
    (order,) = market.trade(dt.date(2024, 1, 15), redeem("100005", 12_000))
    # the split doubled the first lot only (it was the whole holding then):
    #   9852.2168 units held 13 days at 0.5 % + 2147.7832 units held 4 days at 1.5 %
    assert order.fee == pytest.approx(9852.2168 * 0.005 + 2147.7832 * 0.015, abs=1e-9)
    assert order.fee == pytest.approx(81.477832, abs=1e-9)
    assert market.position("100005").receivable_cash == 11918.5222  # round(12000 - 81.477832, 4)


def test_queued_units_are_not_redeemable(make_market):
    market = make_market()
    day = dt.date(2024, 1, 2)
    (_, early) = market.trade(day, subscribe("100001", amount=10_000), redeem("100001", 100))
    assert early.status == ORDER_STATUS.REJECTED
    assert early.message == ("cannot redeem 100.0 units of 100001: only 0.0 units are redeemable "
                             "(7980.7345 subscribed units have not arrived yet)")
    # arrived the next trading day: everything, and not a unit more
    too_many, whole = market.trade(dt.date(2024, 1, 3), redeem("100001", UNITS_PER_10K + 0.0001),
                                   redeem("100001", UNITS_PER_10K))
    assert too_many.message == "cannot redeem 7980.7346 units of 100001: only 7980.7345 units are redeemable"
    assert whole.status == ORDER_STATUS.FILLED
    # one day held: 1.5 % of 7980.7345 x 1.2345
    assert whole.fee == pytest.approx(UNITS_PER_10K * NAV * 0.015, abs=1e-9)


@pytest.mark.parametrize("limit, units, filled", [
    (True, 50, False),        # below the 100-unit minimum
    (True, 78.8177, True),    # the whole holding may be smaller
    (False, 50, True),        # limits off
])
def test_redeem_lower_limit(make_market, limit, units, filled):
    # Fund 100004: NAV 12.5; 1000 buys round(1000 / 1.015 / 12.5, 4) = 78.8177 units
    market = make_market(subscription_limit=limit)
    market.trade(dt.date(2024, 1, 2), subscribe("100004", amount=1000))
    (order,) = market.trade(dt.date(2024, 1, 3), redeem("100004", units))
    if filled:
        assert order.fee == pytest.approx(units * 12.5 * 0.015, abs=1e-9)
        assert market.position("100004").receivable_cash == round(units * 12.5 * 0.985, 4)
    else:
        assert order.status == ORDER_STATUS.REJECTED
        assert order.message == ("redemption of 50.0 units of 100004 is below the minimum of 100.0 units on "
                                 "2024-01-03; only the whole holding (78.8177 units) may be redeemed below it")
        assert market.position("100004").quantity == 78.8177


def test_orders_that_are_not_fund_trades_are_refused(make_market):
    market = make_market()
    market.trade(dt.date(2024, 1, 2), subscribe("100001", amount=10_000))
    by_cash, wrong_effect = market.trade(
        dt.date(2024, 1, 3),
        lambda: Order.__from_create__("100001", None, SIDE.SELL, cash_amount=100),
        lambda: Order.__from_create__("100001", 10, SIDE.SELL, position_effect=POSITION_EFFECT.OPEN))
    assert by_cash.message == "redemption of 100001 must be ordered in units, not as a cash amount"
    assert wrong_effect.message.startswith("fund orders are subscriptions (BUY, OPEN) or redemptions (SELL, CLOSE)")
    assert market.cash_moved_by(0) and market.position("100001").quantity == UNITS_PER_10K


@pytest.mark.parametrize("reinvest", [False, True], ids=["lots-in-booking-order", "reinvested-lots-among-older"])
def test_units_on_their_way_belong_to_the_lot_booked_last(make_market, reinvest):
    # 100008 (NAV 1.0) pays 0.1 a unit on its book closure, 2024-02-05. Reinvested, the dividend
    # of the units held then (seen by the fill of that day) makes lots dated like the two it was
    # paid on, booked after every other. Units arrive two trading days after their fill, so on the
    # redemption day the lot of the day before is still on its way: the redemption takes received
    # units only, oldest first.
    market = make_market(reinvest=reinvest, subscription_receiving_days=2)
    old, recent, closure, newest = dt.date(2023, 1, 3), dt.date(2024, 1, 15), DIVIDEND[0], dt.date(2024, 2, 20)
    for when, amount in ((old, 10_000), (recent, 10_000), (closure, 1_000), (newest, 10_000)):
        market.trade(when, subscribe("100008", amount=amount))
    lots = market.matcher.holding_lots(market.account, "100008")
    assert [when for when, _ in lots] == (
        [old, old, recent, recent, closure, newest] if reinvest else [old, recent, closure, newest])
    position = market.position("100008")
    assert position.receivable_quantity == lots[-1][1] == 9852.2167  # round(10000 / 1.015, 4)
    wanted = round(position.closable - 500, 4)
    # Held 414 days: 0.25 %; 37 and 16 days: 0.5 %. The last 500 received units stay.
    fee, left = 0.0, wanted
    for when, units in lots[:-1]:
        take = min(units, left)
        fee += take * (0.0025 if when == old else 0.005)
        left -= take
    (order,) = market.trade(dt.date(2024, 2, 21), redeem("100008", wanted))
    assert order.status == ORDER_STATUS.FILLED
    assert order.fee == pytest.approx(fee, abs=1e-6)
    assert market.matcher.holding_lots(market.account, "100008")[-1] == (newest, 9852.2167)
