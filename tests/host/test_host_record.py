"""The daily record, positions, trades and orders tables of a whole run."""
import textwrap

import numpy as np
import pandas as pd
import pytest

from host_helpers import CASH_DAYS, F1_CLOSES, S1_CLOSES, TRADING_DAYS, market_config
from tessel.run import run

# Day 0: buy 1000 S1 and 10000 F1 (units arrive day 1), one order too big to
# pay and one the validator refuses.  Day 2: sell all F1 (cash arrives day
# 4).  Day 5: sell all S1.
STRATEGY = """
def init(context):
    context.day = -1

def handle_bar(context, bar_dict):
    context.day += 1
    if context.day == 0:
        order_shares("S1", 1000)
        order_shares("F1", 10000)
        order_shares("S1", 10 ** 9)
        order_shares("S1", 7)
    elif context.day == 2:
        order_shares("F1", -10000)
    elif context.day == 5:
        order_shares("S1", -1000)
"""


@pytest.fixture(scope="module")
def result(tmp_path_factory):
    from host_helpers import write_bundle

    tmp = tmp_path_factory.mktemp("record")
    bundle = write_bundle(tmp / "bundle")
    strategy = tmp / "strategy.py"
    strategy.write_text(textwrap.dedent(STRATEGY))
    return run(market_config(bundle, {"refuse_quantity": 7}), str(strategy))


def test_total_value_is_cash_plus_positions_equity_every_day(result):
    daily, positions = result.daily, result.positions
    equity = positions.groupby("date")["equity"].sum().reindex(daily.index, fill_value=0.0)
    np.testing.assert_allclose(daily["cash"] + equity, daily["total_value"], rtol=0, atol=1e-6)
    parts = daily["cash"] + daily["market_value"] + daily["receivable_cash"] + daily["dividend_receivable"]
    np.testing.assert_allclose(parts, daily["total_value"], rtol=0, atol=1e-6)
    # Valued independently from the plan: on day 3, 1000 S1 at its close plus the F1 sale still owed
    # (stock trades pay 0.1 % commission; the test fund type has no cost decider, so no fee).
    sale = 10000 * F1_CLOSES[2]
    cash = 100000 - 1000 * S1_CLOSES[0] * 1.001 - 10000 * F1_CLOSES[0]
    assert daily["total_value"].iloc[3] == pytest.approx(cash + 1000 * S1_CLOSES[3] + sale)


def test_cash_changes_add_up_and_arrive_on_the_right_days(result):
    daily, trades = result.daily, result.trades
    start_cash = 100000
    assert daily["cash_change"].sum() == pytest.approx(daily["cash"].iloc[-1] - start_cash)
    traded = trades.groupby("date")["cash_amount"].sum()
    # Stock trades and fund purchases move cash the same day ...
    for day in (0, 5):
        assert daily["cash_change"].iloc[day] == pytest.approx(traded[daily.index[day]])
    # ... the fund sale's cash is owed (receivable) until it arrives CASH_DAYS later.
    sale_day = 2
    sale_cash = traded[daily.index[sale_day]]
    assert daily["cash_change"].iloc[sale_day] == 0
    owed = daily["receivable_cash"].to_numpy()
    expected = np.zeros(len(daily))
    expected[sale_day:sale_day + CASH_DAYS] = sale_cash
    np.testing.assert_allclose(owed, expected, atol=1e-9)
    assert daily["cash_change"].iloc[sale_day + CASH_DAYS] == pytest.approx(sale_cash)
    # Units bought on day 0 are in transit for one day.
    assert list(daily["receivable_units"].iloc[:3]) == [10000, 0, 0]
    assert daily["receivable_units_value"].iloc[0] == pytest.approx(10000 * F1_CLOSES[0])


def test_positions_table_keeps_a_fund_while_cash_is_owed(result):
    positions = result.positions
    f1 = positions[positions["order_book_id"] == "F1"].set_index("date")
    day3 = pd.Timestamp(TRADING_DAYS[3])
    assert f1.loc[day3, "quantity"] == 0 and f1.loc[day3, "equity"] > 0
    # Gone once the cash arrived.
    assert pd.Timestamp(TRADING_DAYS[2 + CASH_DAYS]) not in f1.index
    first = f1.iloc[0]
    assert (first["quantity"], first["receivable_quantity"], first["last_price"]) == (0, 10000, F1_CLOSES[0])


def test_trades_table_signs_and_fees(result):
    trades = result.trades
    assert list(trades["order_book_id"]) == ["S1", "F1", "F1", "S1"]
    buy = trades.iloc[0]
    assert (buy["side"], buy["position_effect"], buy["price"], buy["quantity"]) == ("BUY", "OPEN", 10.0, 1000.0)
    assert buy["fee"] == pytest.approx(10.0) and buy["cash_amount"] == pytest.approx(-10010.0)
    sell = trades.iloc[3]
    assert sell["side"] == "SELL" and sell["cash_amount"] == pytest.approx(1000 * S1_CLOSES[5] * 0.999)
    assert result.summary["fees"] == pytest.approx(trades["fee"].sum())
    assert result.summary["trades"] == 4


def test_orders_table_shows_refusals_with_their_reason(result):
    orders = result.orders.set_index("quantity")
    assert (orders["status"] == "FILLED").sum() == 4
    assert orders.loc[10 ** 9, "status"] == "REJECTED" and "not enough cash" in orders.loc[10 ** 9, "message"]
    assert orders.loc[7, "status"] == "REJECTED"
    assert orders.loc[7, "message"] == "test validator refuses orders of 7 units"
    assert set(result.trades["order_id"]) <= set(result.orders["order_id"])
