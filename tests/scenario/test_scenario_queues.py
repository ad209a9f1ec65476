"""Subscriptions arrive T+1, redemption cash T+3 (across a holiday), status refusals.

One equity fund, 510002, priced on trading days.  The strategy subscribes
10,000 on Monday 2024-06-03, redeems in two steps (one arrival inside a
normal week, one across the Wednesday-to-Friday closure of 2024-06-12 to
06-14) and tries three orders that must be refused without moving cash:
units that have not arrived yet, a day whose subscriptions are suspended,
and a day whose redemptions are closed.
"""
import pytest

from scenario_helpers import (assert_days, build_fund_database, day_rows, nav_dates, orders_of, read_open_cash,
                              run_strategy, scenario_config, scripted_strategy, status_csv)

FUND = "510002"

CATALOGUE = """\
order_book_id,symbol,fund_type,listed_date,de_listed_date,accrued_daily
510002,示例成长股票A,Stock,2018-04-02,,false
"""

NAV = """\
order_book_id,date,unit_net_value,adjusted_net_value
510002,2024-05-30,1.2000,1.2000
510002,2024-05-31,1.2200,1.2200
510002,2024-06-03,1.2500,1.2500
510002,2024-06-04,1.3000,1.3000
510002,2024-06-05,1.2800,1.2800
510002,2024-06-06,1.2600,1.2600
510002,2024-06-07,1.2750,1.2750
510002,2024-06-10,1.2900,1.2900
510002,2024-06-11,1.3100,1.3100
510002,2024-06-17,1.3300,1.3300
510002,2024-06-18,1.3200,1.3200
510002,2024-06-19,1.3500,1.3500
510002,2024-06-20,1.3400,1.3400
510002,2024-06-21,1.3600,1.3600
"""

STATUS = status_csv({FUND: nav_dates(NAV, FUND)}, {
    (FUND, "2024-06-06"): ("Suspended", "Open"),   # no subscriptions that day
    (FUND, "2024-06-07"): ("Open", "Close"),       # no redemptions that day
})

ACTIONS = {
    # 10,000 at NAV 1.25 buys 8,000 units (no fee).  A redemption the same
    # day finds no redeemable unit: the 8,000 arrive tomorrow.
    "2024-06-03": [("subscribe", FUND, 10000), ("redeem", FUND, 100)],
    # The units arrived this morning and can be redeemed: 1,000 x 1.30.
    "2024-06-04": [("redeem", FUND, 1000)],
    "2024-06-06": [("subscribe", FUND, 5000)],    # refused: subscriptions suspended
    "2024-06-07": [("redeem", FUND, 1000)],       # refused: redemptions closed
    # 3,000 x 1.31 = 3,930, due 3 trading days later: 06-17, 06-18, 06-19.
    "2024-06-11": [("redeem", FUND, 3000)],
}


@pytest.fixture(scope="module")
def fund_db(tmp_path_factory):
    return build_fund_database(tmp_path_factory.mktemp("queues"), {
        "catalogue.csv": CATALOGUE, "nav.csv": NAV, "status.csv": STATUS})


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("queues_run")


@pytest.fixture(scope="module")
def result(fund_db, run_dir):
    db_path, bundle = fund_db
    config = scenario_config(bundle, "2024-06-03", "2024-06-21")
    strategy = scripted_strategy(ACTIONS, open_cash_log=run_dir / "open_cash.csv")
    return run_strategy(db_path, config, strategy, run_dir)


def test_every_day_of_the_queues(result):
    assert_days(result, FUND, "cash quantity receivable_quantity receivable_cash total_value", [
        # The subscription is paid at once; its units are in transit today,
        # valued at today's NAV: 90,000 + 8,000 x 1.25.
        ("2024-06-03", 90000.0, 0.0, 8000.0, 0.0, 100000.0),
        # Units arrived this morning; 1,000 redeemed at 1.30 = 1,300 owed
        # until 06-07: 90,000 + 7,000 x 1.30 + 1,300.
        ("2024-06-04", 90000.0, 7000.0, 0.0, 1300.0, 100400.0),
        ("2024-06-05", 90000.0, 7000.0, 0.0, 1300.0, 90000 + 7000 * 1.28 + 1300),
        # The refused subscription moved nothing.
        ("2024-06-06", 90000.0, 7000.0, 0.0, 1300.0, 90000 + 7000 * 1.26 + 1300),
        # Third trading day after 06-04: the 1,300 arrive before the open.
        ("2024-06-07", 91300.0, 7000.0, 0.0, 0.0, 91300 + 7000 * 1.275),
        ("2024-06-10", 91300.0, 7000.0, 0.0, 0.0, 91300 + 7000 * 1.29),
        # 3,000 redeemed at 1.31: 3,930 owed across the closure.
        ("2024-06-11", 91300.0, 4000.0, 0.0, 3930.0, 91300 + 4000 * 1.31 + 3930),
        ("2024-06-17", 91300.0, 4000.0, 0.0, 3930.0, 91300 + 4000 * 1.33 + 3930),
        ("2024-06-18", 91300.0, 4000.0, 0.0, 3930.0, 91300 + 4000 * 1.32 + 3930),
        # 06-12 to 06-14 are no trading days: the third is 06-19.
        ("2024-06-19", 95230.0, 4000.0, 0.0, 0.0, 95230 + 4000 * 1.35),
        ("2024-06-20", 95230.0, 4000.0, 0.0, 0.0, 95230 + 4000 * 1.34),
        ("2024-06-21", 95230.0, 4000.0, 0.0, 0.0, 95230 + 4000 * 1.36),
    ])


def test_cash_changes_add_up_to_the_moves(result):
    changes = result.daily["cash_change"]
    # -10,000 on the subscription day, +1,300 and +3,930 on the arrival days.
    assert changes[changes != 0].round(6).to_dict() == {
        changes.index[0]: -10000.0,
        changes.index[4]: 1300.0,
        changes.index[9]: 3930.0,
    }


def test_redemption_cash_is_there_at_the_open_of_its_arrival_day(result, run_dir):
    # The strategy's before_trading sees the cash that arrived this morning.
    open_cash = read_open_cash(run_dir / "open_cash.csv")
    assert open_cash["2024-06-06"] == 90000.0
    assert open_cash["2024-06-07"] == 91300.0
    assert open_cash["2024-06-18"] == 91300.0
    assert open_cash["2024-06-19"] == 95230.0


def test_trades_book_what_was_filled(result):
    trades = result.trades
    assert list(trades["date"].dt.strftime("%Y-%m-%d")) == ["2024-06-03", "2024-06-04", "2024-06-11"]
    assert list(trades["side"]) == ["BUY", "SELL", "SELL"]
    assert list(trades["price"]) == [1.25, 1.30, 1.31]
    assert list(trades["quantity"]) == [8000.0, 1000.0, 3000.0]
    assert list(trades["fee"]) == [0.0, 0.0, 0.0]
    assert trades["cash_amount"].round(6).tolist() == [-10000.0, 1300.0, 3930.0]


@pytest.mark.parametrize("day, side, expected_message", [
    ("2024-06-06", "BUY", "510002申赎失败,当前时间(2024-06-06 15:00:00) 申购状态=Suspended "),
    ("2024-06-07", "SELL", "510002申赎失败,当前时间(2024-06-07 15:00:00) 赎回状态=Close "),
])
def test_status_refuses_the_order_with_its_reason(result, day, side, expected_message):
    orders = orders_of(result, FUND)
    refused = orders[(orders["date"].dt.strftime("%Y-%m-%d") == day) & (orders["side"] == side)]
    assert len(refused) == 1
    assert refused["status"].iloc[0] == "REJECTED"
    assert refused["message"].iloc[0] == expected_message
    assert refused["filled_quantity"].iloc[0] == 0


def test_units_in_transit_cannot_be_redeemed(result):
    orders = orders_of(result, FUND)
    early = orders[(orders["date"].dt.strftime("%Y-%m-%d") == "2024-06-03") & (orders["side"] == "SELL")]
    assert early["status"].tolist() == ["REJECTED"]
    message = early["message"].iloc[0]
    # The reason names the fund and says that nothing is redeemable yet.
    assert "510002" in message and "100" in message
    assert result.trades["side"].tolist().count("SELL") == 2


# --- the end of the calendar ------------------------------------------------------------------------------

LATE_DAYS = ["2024-06-24", "2024-06-25", "2024-06-26", "2024-06-27", "2024-06-28", "2024-07-01", "2024-07-02",
             "2024-07-03", "2024-07-04", "2024-07-05", "2024-07-08", "2024-07-09", "2024-07-10"]
NAV_TO_CALENDAR_END = NAV + "".join("510002,{},1.3600,1.3600\n".format(day) for day in LATE_DAYS)


def test_orders_near_the_end_of_the_calendar_stay_owed(tmp_path):
    # The calendar ends on 2024-07-10.  Cash of a redemption on 07-09 and
    # units of a subscription on 07-10 would arrive after it: the run must
    # still finish, with both counted as owed on its last day.
    db_path, bundle = build_fund_database(tmp_path, {
        "catalogue.csv": CATALOGUE, "nav.csv": NAV_TO_CALENDAR_END,
        "status.csv": status_csv({FUND: nav_dates(NAV_TO_CALENDAR_END, FUND)})})
    actions = {"2024-06-03": [("subscribe", FUND, 10000)],
               "2024-07-09": [("redeem", FUND, 1000)],          # 1,360 due after the calendar's end
               "2024-07-10": [("subscribe", FUND, 1360)]}       # 1,000 units due after it
    result = run_strategy(db_path, scenario_config(bundle, "2024-06-03", "2024-07-10"),
                          scripted_strategy(actions), tmp_path)
    last = day_rows(result, FUND)["2024-07-10"]
    # 90,000 - 1,360 paid for the last subscription; 8,000 - 1,000 units
    # received, 1,000 in transit; 1,000 x 1.36 owed: value 88,640 +
    # 8,000 x 1.36 + 1,360, as before these orders.
    assert last["cash"] == pytest.approx(88640.0, abs=1e-6)
    assert last["quantity"] == pytest.approx(7000.0, abs=1e-6)
    assert last["receivable_quantity"] == pytest.approx(1000.0, abs=1e-6)
    assert last["receivable_cash"] == pytest.approx(1360.0, abs=1e-6)
    assert last["total_value"] == pytest.approx(100880.0, abs=1e-6)
