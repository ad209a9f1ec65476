"""A subscription and two redemptions that pay fees, day by day.

Fund 510004's fee schedule (fees.csv): subscriptions below 1,000,000 pay a
front-end rate of 1.5% (net = A / 1.015, the rest is the fee), larger ones a
flat 1,000; redemptions pay 1.5% of the redeemed value within 7 days of
holding, 0.5% within 30 days, nothing after.  The account pays exactly the
subscribed amount: the units are kept to 4 decimals and the few thousandths
of a cent that rounding leaves over belong to the fee.
"""
import pytest

from scenario_helpers import (assert_days, build_fund_database, nav_dates, run_strategy, scenario_config,
                              scripted_strategy, status_csv)

FUND = "510004"

CATALOGUE = """\
order_book_id,symbol,fund_type,listed_date,de_listed_date,accrued_daily
510004,示例均衡混合C,Hybrid,2019-11-18,,false
"""

NAV = """\
order_book_id,date,unit_net_value,adjusted_net_value
510004,2024-05-30,1.2300,1.2300
510004,2024-05-31,1.2310,1.2310
510004,2024-06-03,1.2345,1.2345
510004,2024-06-04,1.2400,1.2400
510004,2024-06-05,1.2500,1.2500
510004,2024-06-06,1.2450,1.2450
510004,2024-06-07,1.2500,1.2500
510004,2024-06-10,1.2600,1.2600
510004,2024-06-11,1.2700,1.2700
510004,2024-06-17,1.2800,1.2800
510004,2024-06-18,1.2900,1.2900
510004,2024-06-19,1.3000,1.3000
510004,2024-06-20,1.3000,1.3000
510004,2024-06-21,1.3000,1.3000
"""

FEES = """\
order_book_id,kind,upper_bound,rate,fixed_fee
510004,subscription,1000000,0.015,
510004,subscription,,,1000
510004,redemption,7,0.015,
510004,redemption,30,0.005,
510004,redemption,,0,
"""

# 10,000 at 1.5%: net 10,000 / 1.015 = 9,852.21674...; at NAV 1.2345 that
# buys 7,980.73450... -> 7,980.7345 units; the booked fee is 10,000 -
# 7,980.7345 x 1.2345 = 147.78325975 (the first worked example of
# docs/fees.md).
UNITS = 7980.7345
SUBSCRIPTION_FEE = 10000 - UNITS * 1.2345            # 147.78325...

ACTIONS = {
    "2024-06-03": [("subscribe", FUND, 10000)],
    # Held 4 days (< 7): 4,000 x 1.25 = 5,000, fee 1.5% = 75, 4,925 due 06-17.
    "2024-06-07": [("redeem", FUND, 4000)],
    # Held 14 days (< 30): 2,000 x 1.28 = 2,560, fee 0.5% = 12.80, 2,547.20 due 06-20.
    "2024-06-17": [("redeem", FUND, 2000)],
}


@pytest.fixture(scope="module")
def result(tmp_path_factory):
    db_path, bundle = build_fund_database(tmp_path_factory.mktemp("fees"), {
        "catalogue.csv": CATALOGUE, "nav.csv": NAV, "fees.csv": FEES,
        "status.csv": status_csv({FUND: nav_dates(NAV, FUND)})})
    config = scenario_config(bundle, "2024-06-03", "2024-06-21")
    return run_strategy(db_path, config, scripted_strategy(ACTIONS), tmp_path_factory.mktemp("fees_run"))


def test_fee_arithmetic_by_hand():
    # The fee is what the amount pays beyond the units at NAV: A - A/(1+r)
    # up to the units' rounding (less than NAV x 0.00005).
    assert SUBSCRIPTION_FEE == pytest.approx(10000 - 10000 / 1.015, abs=1.2345 * 0.00005)
    assert round(10000 / 1.015 / 1.2345, 4) == UNITS
    assert SUBSCRIPTION_FEE == pytest.approx(147.78325975, abs=1e-8)


def test_every_day_with_fees(result):
    left = UNITS - 4000 - 2000   # 1,980.7345 units after both redemptions
    assert_days(result, FUND, "cash quantity receivable_quantity receivable_cash total_value", [
        # The account pays exactly 10,000; the fee is out of the value at once.
        ("2024-06-03", 90000.0, 0.0, UNITS, 0.0, 90000 + UNITS * 1.2345),
        ("2024-06-04", 90000.0, UNITS, 0.0, 0.0, 90000 + UNITS * 1.24),
        ("2024-06-05", 90000.0, UNITS, 0.0, 0.0, 90000 + UNITS * 1.25),
        ("2024-06-06", 90000.0, UNITS, 0.0, 0.0, 90000 + UNITS * 1.245),
        # The redemption cash owed is net of its fee.
        ("2024-06-07", 90000.0, UNITS - 4000, 0.0, 4925.0, 90000 + (UNITS - 4000) * 1.25 + 4925),
        ("2024-06-10", 90000.0, UNITS - 4000, 0.0, 4925.0, 90000 + (UNITS - 4000) * 1.26 + 4925),
        ("2024-06-11", 90000.0, UNITS - 4000, 0.0, 4925.0, 90000 + (UNITS - 4000) * 1.27 + 4925),
        ("2024-06-17", 94925.0, left, 0.0, 2547.2, 94925 + left * 1.28 + 2547.2),
        ("2024-06-18", 94925.0, left, 0.0, 2547.2, 94925 + left * 1.29 + 2547.2),
        ("2024-06-19", 94925.0, left, 0.0, 2547.2, 94925 + left * 1.30 + 2547.2),
        ("2024-06-20", 97472.2, left, 0.0, 0.0, 97472.2 + left * 1.30),
        ("2024-06-21", 97472.2, left, 0.0, 0.0, 97472.2 + left * 1.30),
    ])


def test_trades_and_orders_carry_the_fees(result):
    trades = result.trades
    assert trades["fee"].tolist() == pytest.approx([SUBSCRIPTION_FEE, 75.0, 12.8], abs=1e-6)
    assert trades["cash_amount"].tolist() == pytest.approx([-10000.0, 4925.0, 2547.2], abs=1e-6)
    assert trades["quantity"].tolist() == [UNITS, 4000.0, 2000.0]
    assert result.orders["fee"].tolist() == pytest.approx([SUBSCRIPTION_FEE, 75.0, 12.8], abs=1e-6)
    assert result.summary["fees"] == pytest.approx(SUBSCRIPTION_FEE + 75.0 + 12.8, abs=1e-6)
