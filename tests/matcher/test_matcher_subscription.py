"""Subscriptions: front-end fees by amount tier, units, limits and cash.

Fund 100001 has NAV 1.2345 every day and the equity tiers: below 1,000,000
1.5 %, below 5,000,000 1.0 %, from 5,000,000 on a fixed 1,000.  The numbers
below are worked by hand (docs/fees.md shows the same examples).
"""
import datetime as dt

import pytest

from matcher_helpers import NO_NAV_DAY, TRADING_DAYS, subscribe
from tessel.const import ORDER_STATUS, POSITION_EFFECT, SIDE

DAY = dt.date(2024, 1, 2)
NAV = 1.2345


@pytest.fixture
def market(make_market):
    return make_market(cash=10_000_000)


@pytest.mark.parametrize("amount, units, fee", [
    # 1.5 %: net = 10000 / 1.015 = 9852.2167487...; units = round(net / 1.2345, 4)
    (10_000, 7980.7345, 10_000 - 7980.7345 * NAV),               # fee 147.78325975 (tier fee 147.7832512...)
    # just below the first bound still pays 1.5 %
    (999_999.99, 798073.4427, 999_999.99 - 798073.4427 * NAV),   # fee 14778.32498685
    # exactly on the bound: the next tier, 1.0 %: net = 990099.0099...
    (1_000_000, 802024.3094, 1_000_000 - 802024.3094 * NAV),     # fee 9900.9900457
    # above the top bound: a fixed 1000; net = 5,999,000
    (6_000_000, 4859457.2701, 6_000_000 - 4859457.2701 * NAV),   # fee 1000.00006155
])
def test_subscription_by_amount(market, amount, units, fee):
    (order,) = market.trade(DAY, subscribe("100001", amount=amount))
    trade = market.filled_trade(order)
    assert (trade.side, trade.position_effect) == (SIDE.BUY, POSITION_EFFECT.OPEN)
    assert trade.last_price == NAV and trade.last_quantity == units
    assert trade.transaction_cost == pytest.approx(fee, abs=1e-9)
    # the residual of rounding the units stays below NAV x 0.00005
    tier_fee = {10_000: 10_000 - 10_000 / 1.015, 999_999.99: 999_999.99 - 999_999.99 / 1.015,
                1_000_000: 1_000_000 - 1_000_000 / 1.01, 6_000_000: 1000}[amount]
    assert abs(order.fee - tier_fee) < NAV * 0.00005
    # the cost decider charges what the order carries; the account pays exactly A
    assert market.env.get_order_transaction_cost(order) == order.fee == trade.transaction_cost
    assert market.cash_moved_by(-amount)
    position = market.position("100001")
    assert (position._quantity, position.quantity, position.receivable_quantity) == (units, 0, units)


def test_worked_example_numbers(market):
    """The headline example of docs/fees.md, digit for digit."""
    (order,) = market.trade(DAY, subscribe("100001", amount=10_000))
    assert round(10_000 / 1.015, 4) == 9852.2167
    assert market.filled_trade(order).last_quantity == 7980.7345
    assert round(order.fee, 4) == 147.7833
    assert market.account.cash == 10_000_000 - 10_000


def test_subscription_by_units_pays_the_fee_on_top(market):
    # 1000 units x 1.2345 = 1234.5 net; 1.5 % of it = 18.5175; 1253.0175 paid
    (order,) = market.trade(DAY, subscribe("100001", units=1000))
    trade = market.filled_trade(order)
    assert trade.last_quantity == 1000 and order.filled_quantity == 1000
    assert order.fee == pytest.approx(18.5175, abs=1e-12)
    assert market.cash_moved_by(-1253.0175)


def test_units_beyond_four_decimals_are_refused(market):
    (order,) = market.trade(DAY, subscribe("100001", units=10.00001))
    assert order.status == ORDER_STATUS.REJECTED and "4 decimal places" in order.message
    assert market.cash_moved_by(0) and market.position("100001") is None


@pytest.mark.parametrize("oid, nav, amount, units", [
    # the money-market fund's tiers are 0 %
    ("100006", 1.0, 10_000, 10_000),
    # 100007 has no fee data at all; 10000.07 / 1.05 = 9523.87619 rounds up to
    # 9523.8762, worth 10000.07001: one step lower, so that no more than the
    # amount is paid and the fee is not negative
    ("100007", 1.05, 10_000.07, 9523.8761),
])
def test_funds_without_fees(market, oid, nav, amount, units):
    (order,) = market.trade(DAY, subscribe(oid, amount=amount))
    trade = market.filled_trade(order)
    assert (trade.last_price, trade.last_quantity) == (nav, units)
    assert 0 <= order.fee < nav * 0.0001
    assert market.cash_moved_by(-amount)


def test_fills_at_the_days_own_nav(market):
    day = TRADING_DAYS[100]
    (order,) = market.trade(day, subscribe("100003", amount=5000))
    nav = 1.0 + (day - TRADING_DAYS[0]).days / 1000
    assert market.filled_trade(order).last_price == nav


def test_no_nav_rejects(make_market):
    # no bar that day; the status check is off so the order reaches the matcher
    market = make_market(status_limit=False)
    (order,) = market.trade(NO_NAV_DAY, subscribe("100003", amount=5000))
    assert order.status == ORDER_STATUS.REJECTED
    assert order.message == "no NAV for 100003 on 2024-01-04"
    assert market.cash_moved_by(0)


def test_not_enough_cash(make_market):
    market = make_market(cash=1_000_000)
    first, second = market.trade(DAY, subscribe("100001", amount=1_000_000.01),
                                 subscribe("100001", amount=1_000_000))
    assert first.status == ORDER_STATUS.REJECTED
    assert first.message == "not enough cash to subscribe 1000000.01 to 100001: cash is 1000000.0"
    # the whole cash can be spent: the account pays exactly the amount
    assert second.status == ORDER_STATUS.FILLED
    assert market.account.cash == 0


# Fund 100004: NAV 12.5, per day at most 50,000 and at least 1,000 per order.
def test_lower_limit(make_market):
    market = make_market()
    (low, ok) = market.trade(DAY, subscribe("100004", amount=999.99), subscribe("100004", amount=1000))
    assert low.status == ORDER_STATUS.REJECTED
    assert low.message == "subscription of 999.99 to 100004 is below the minimum subscription of 1000.0 on 2024-01-02"
    assert ok.status == ORDER_STATUS.FILLED
    assert market.cash_moved_by(-1000)


def test_upper_limit_counts_the_days_running_total(make_market):
    market = make_market()
    a, b, c, d = market.trade(DAY, *(subscribe("100004", amount=x) for x in (30_000, 30_000, 20_000, 1000)))
    assert [o.status for o in (a, b, c, d)] == [ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED,
                                                 ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED]
    assert b.message == ("subscription of 30000.0 to 100004 exceeds the daily limit of 50000.0 on 2024-01-02: "
                         "30000.0 already subscribed today, 20000.0 left")
    assert market.cash_moved_by(-50_000)
    # a new day starts a new total
    (e,) = market.trade(DAY + dt.timedelta(days=1), subscribe("100004", amount=50_000))
    assert e.status == ORDER_STATUS.FILLED


def test_limits_off(make_market):
    market = make_market(subscription_limit=False)
    low, high = market.trade(DAY, subscribe("100004", amount=10), subscribe("100004", amount=60_000))
    assert low.status == high.status == ORDER_STATUS.FILLED
    assert market.cash_moved_by(-60_010)


def test_amount_that_does_not_cover_the_fixed_fee(make_market):
    market = make_market(fees={"100001": {"subscription": [[None, None, 50]]}})
    (order,) = market.trade(DAY, subscribe("100001", amount=40))
    assert order.status == ORDER_STATUS.REJECTED
    assert order.message == "subscription of 40.0 to 100001 does not cover the fixed fee of 50.0"


@pytest.mark.parametrize("limit, filled", [(1.2, False), (1.2345, True), (1.3, True)])
def test_limit_price_must_be_met_by_the_nav(market, limit, filled):
    from tessel.model.order import LimitOrder, Order

    (order,) = market.trade(DAY, lambda: Order.__from_create__("100001", None, SIDE.BUY, style=LimitOrder(limit),
                                                               cash_amount=10_000))
    assert (order.status == ORDER_STATUS.FILLED) == filled
    if not filled:
        assert order.message == "NAV 1.2345 of 100001 on 2024-01-02 does not meet the order's limit price 1.2"
