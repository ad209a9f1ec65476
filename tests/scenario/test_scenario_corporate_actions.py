"""A cash dividend, paid or reinvested, and a unit split, day by day.

Equity fund 510001 closes its books on Monday 2024-06-17 (the first
trading day after the 06-12 to 06-14 closure), goes ex-dividend the same
day with 0.05 per unit, pays on Wednesday 06-19, and splits 1:2 on Monday
06-24.  Its NAV drops by exactly the dividend on the ex-date and halves on
the split date, so the account's value must run on without a jump.

The strategy subscribes 10,000 on 06-03 (8,000 units at 1.25) and 6,300 on
Friday 06-21 at 1.26 (5,000 units that are still in transit when the split
takes effect the next trading day, so the split must rescale them too).
"""
import pytest

from scenario_helpers import (assert_days, build_fund_database, day_rows, nav_dates, run_strategy, scenario_config,
                              scripted_strategy, status_csv)

FUND = "510001"

CATALOGUE = """\
order_book_id,symbol,fund_type,listed_date,de_listed_date,accrued_daily
510001,示例价值股票,Stock,2016-09-01,,false
"""

NAV = """\
order_book_id,date,unit_net_value,adjusted_net_value
510001,2024-05-30,1.2000,1.2000
510001,2024-05-31,1.2200,1.2200
510001,2024-06-03,1.2500,1.2500
510001,2024-06-04,1.2600,1.2600
510001,2024-06-05,1.2700,1.2700
510001,2024-06-06,1.2800,1.2800
510001,2024-06-07,1.2900,1.2900
510001,2024-06-10,1.3000,1.3000
510001,2024-06-11,1.3000,1.3000
510001,2024-06-17,1.2500,1.3000
510001,2024-06-18,1.2600,1.3104
510001,2024-06-19,1.2700,1.3208
510001,2024-06-20,1.2600,1.3104
510001,2024-06-21,1.2600,1.3104
510001,2024-06-24,0.6300,1.3104
510001,2024-06-25,0.6400,1.3312
510001,2024-06-26,0.6500,1.3520
"""

DIVIDENDS = """\
order_book_id,book_closure_date,ex_dividend_date,payable_date,dividend_before_tax
510001,2024-06-17,2024-06-17,2024-06-19,0.05
"""

SPLITS = """\
order_book_id,ex_dividend_date,split_ratio
510001,2024-06-24,2
"""

ACTIONS = {
    "2024-06-03": [("subscribe", FUND, 10000)],   # 8,000 units at 1.25
    "2024-06-21": [("subscribe", FUND, 6300)],    # 5,000 units at 1.26, due on the split day
}


@pytest.fixture(scope="module")
def fund_db(tmp_path_factory):
    return build_fund_database(tmp_path_factory.mktemp("corporate_actions"), {
        "catalogue.csv": CATALOGUE, "nav.csv": NAV, "dividends.csv": DIVIDENDS, "splits.csv": SPLITS,
        "status.csv": status_csv({FUND: nav_dates(NAV, FUND)})})


def run_with(fund_db, directory, reinvest):
    db_path, bundle = fund_db
    config = scenario_config(bundle, "2024-06-03", "2024-06-26", reinvest=reinvest)
    return run_strategy(db_path, config, scripted_strategy(ACTIONS), directory)


@pytest.fixture(scope="module")
def paid(fund_db, tmp_path_factory):
    return run_with(fund_db, tmp_path_factory.mktemp("paid"), reinvest=False)


@pytest.fixture(scope="module")
def reinvested(fund_db, tmp_path_factory):
    return run_with(fund_db, tmp_path_factory.mktemp("reinvested"), reinvest=True)


COLUMNS = "cash quantity receivable_quantity dividend_receivable total_value"


def test_cash_dividend_and_split(paid):
    assert_days(paid, FUND, COLUMNS, [
        ("2024-06-03", 90000.0, 0.0, 8000.0, 0.0, 100000.0),
        ("2024-06-04", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.26),
        ("2024-06-05", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.27),
        ("2024-06-06", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.28),
        ("2024-06-07", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.29),
        ("2024-06-10", 90000.0, 8000.0, 0.0, 0.0, 100400.0),
        ("2024-06-11", 90000.0, 8000.0, 0.0, 0.0, 100400.0),
        # Book closure: 8,000 x 0.05 = 400 receivable; the NAV fell by the
        # same 0.05, so the value stays at 100,400.
        ("2024-06-17", 90000.0, 8000.0, 0.0, 400.0, 90000 + 8000 * 1.25 + 400),
        ("2024-06-18", 90000.0, 8000.0, 0.0, 400.0, 90000 + 8000 * 1.26 + 400),
        # Payable date: the 400 become cash before the open.
        ("2024-06-19", 90400.0, 8000.0, 0.0, 0.0, 90400 + 8000 * 1.27),
        ("2024-06-20", 90400.0, 8000.0, 0.0, 0.0, 90400 + 8000 * 1.26),
        # 6,300 / 1.26 = 5,000 units in transit.
        ("2024-06-21", 84100.0, 8000.0, 5000.0, 0.0, 84100 + 13000 * 1.26),
        # Split 1:2 before the queued units arrive: (8,000 + 5,000) x 2,
        # valued at the halved NAV: the same 16,380.
        ("2024-06-24", 84100.0, 26000.0, 0.0, 0.0, 84100 + 26000 * 0.63),
        ("2024-06-25", 84100.0, 26000.0, 0.0, 0.0, 84100 + 26000 * 0.64),
        ("2024-06-26", 84100.0, 26000.0, 0.0, 0.0, 84100 + 26000 * 0.65),
    ])


def test_reinvested_dividend_and_split(reinvested):
    assert_days(reinvested, FUND, COLUMNS, [
        ("2024-06-03", 90000.0, 0.0, 8000.0, 0.0, 100000.0),
        ("2024-06-04", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.26),
        ("2024-06-05", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.27),
        ("2024-06-06", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.28),
        ("2024-06-07", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.29),
        ("2024-06-10", 90000.0, 8000.0, 0.0, 0.0, 100400.0),
        ("2024-06-11", 90000.0, 8000.0, 0.0, 0.0, 100400.0),
        # The 400 are reinvested at the close of the book-closure day at that
        # day's NAV: 400 / 1.25 = 320 units, due one trading day after the
        # payable date (06-20).  No receivable is left; the value is still
        # 90,000 + 8,320 x 1.25 = 100,400.
        ("2024-06-17", 90000.0, 8000.0, 320.0, 0.0, 90000 + 8320 * 1.25),
        ("2024-06-18", 90000.0, 8000.0, 320.0, 0.0, 90000 + 8320 * 1.26),
        # Nothing is paid in cash on the payable date.
        ("2024-06-19", 90000.0, 8000.0, 320.0, 0.0, 90000 + 8320 * 1.27),
        ("2024-06-20", 90000.0, 8320.0, 0.0, 0.0, 90000 + 8320 * 1.26),
        ("2024-06-21", 83700.0, 8320.0, 5000.0, 0.0, 83700 + 13320 * 1.26),
        # (8,320 + 5,000) x 2 = 26,640.
        ("2024-06-24", 83700.0, 26640.0, 0.0, 0.0, 83700 + 26640 * 0.63),
        ("2024-06-25", 83700.0, 26640.0, 0.0, 0.0, 83700 + 26640 * 0.64),
        ("2024-06-26", 83700.0, 26640.0, 0.0, 0.0, 83700 + 26640 * 0.65),
    ])


@pytest.mark.parametrize("which", ["paid", "reinvested"])
def test_value_is_continuous_through_the_actions(request, which):
    """On the ex-date and the split date the value moves only by the day's NAV move.

    The NAV of 06-17 is 06-11's less exactly the dividend, and 06-24's is
    06-21's halved, so the total value must not move at all on those days.
    """
    daily = request.getfixturevalue(which).daily["total_value"]
    by_day = {stamp.date().isoformat(): value for stamp, value in daily.items()}
    assert by_day["2024-06-17"] == pytest.approx(by_day["2024-06-11"], abs=1e-6)
    assert by_day["2024-06-24"] == pytest.approx(by_day["2024-06-21"], abs=1e-6)


# --- variants of the dividend's dates -------------------------------------------------------------------------

def run_variant(tmp_path, dividend_row, actions, reinvest):
    db_path, bundle = build_fund_database(tmp_path, {
        "catalogue.csv": CATALOGUE, "nav.csv": NAV, "status.csv": status_csv({FUND: nav_dates(NAV, FUND)}),
        "dividends.csv": "order_book_id,book_closure_date,ex_dividend_date,payable_date,dividend_before_tax\n"
                         + dividend_row + "\n"})
    config = scenario_config(bundle, "2024-06-03", "2024-06-21", reinvest=reinvest)
    return run_strategy(db_path, config, scripted_strategy(actions), tmp_path)


def test_dividend_of_a_holding_redeemed_before_payment_is_still_paid(tmp_path):
    # Books close on 06-17 with 8,000 units; all of them are redeemed on
    # 06-18 (8,000 x 1.26 = 10,080, due 06-21); the 400 are paid on 06-19.
    result = run_variant(tmp_path, "510001,2024-06-17,2024-06-17,2024-06-19,0.05",
                         {"2024-06-03": [("subscribe", FUND, 10000)], "2024-06-18": [("redeem", FUND, 8000)]},
                         reinvest=False)
    assert_days(result, FUND, "cash quantity receivable_cash dividend_receivable total_value", [
        ("2024-06-03", 90000.0, 0.0, 0.0, 0.0, 100000.0),
        ("2024-06-04", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.26),
        ("2024-06-05", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.27),
        ("2024-06-06", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.28),
        ("2024-06-07", 90000.0, 8000.0, 0.0, 0.0, 90000 + 8000 * 1.29),
        ("2024-06-10", 90000.0, 8000.0, 0.0, 0.0, 100400.0),
        ("2024-06-11", 90000.0, 8000.0, 0.0, 0.0, 100400.0),
        ("2024-06-17", 90000.0, 8000.0, 0.0, 400.0, 100400.0),
        ("2024-06-18", 90000.0, 0.0, 10080.0, 400.0, 90000 + 10080 + 400),
        ("2024-06-19", 90400.0, 0.0, 10080.0, 0.0, 90400 + 10080),
        ("2024-06-20", 90400.0, 0.0, 10080.0, 0.0, 90400 + 10080),
        ("2024-06-21", 100480.0, 0.0, 0.0, 0.0, 100480.0),
    ])


def test_dividend_payable_on_a_closed_day_is_paid_on_the_next_trading_day(tmp_path):
    # Books close on Tuesday 06-11 (the NAV of 06-11 is the ex-dividend one
    # in this variant's reading); the payable date, Thursday 06-13, falls in
    # the closure: the 400 arrive on the next trading day, 06-17, instead of
    # staying owed for ever.
    result = run_variant(tmp_path, "510001,2024-06-11,2024-06-11,2024-06-13,0.05",
                         {"2024-06-03": [("subscribe", FUND, 10000)]}, reinvest=False)
    rows = {stamp.date().isoformat(): row for stamp, row in result.daily.iterrows()}
    assert rows["2024-06-11"]["dividend_receivable"] == pytest.approx(400.0)
    assert rows["2024-06-11"]["cash"] == pytest.approx(90000.0)
    assert rows["2024-06-17"]["dividend_receivable"] == 0.0
    assert rows["2024-06-17"]["cash"] == pytest.approx(90400.0)
    assert rows["2024-06-21"]["cash"] == pytest.approx(90400.0)


def test_dividend_reinvested_on_its_booking_day_uses_that_days_nav(tmp_path):
    # Books close, go ex and pay on 06-17: the 400 buy 400 / 1.25 = 320
    # units at the ex-dividend NAV, so the value stays at 100,400.
    result = run_variant(tmp_path, "510001,2024-06-17,2024-06-17,2024-06-17,0.05",
                         {"2024-06-03": [("subscribe", FUND, 10000)]}, reinvest=True)
    rows = day_rows(result, FUND)
    day = rows["2024-06-17"]
    assert day["quantity"] + day["receivable_quantity"] == pytest.approx(8320.0, abs=1e-6)
    assert day["total_value"] == pytest.approx(100400.0, abs=1e-6)
    assert day["cash"] == pytest.approx(90000.0)
    assert rows["2024-06-18"]["quantity"] == pytest.approx(8320.0, abs=1e-6)


def test_split_with_its_ex_date_on_a_closed_day_applies_on_the_next_trading_day(tmp_path):
    # The split 1:2 is dated Thursday 06-13, inside the closure; the NAV of
    # the next trading day, 06-17, is already halved (1.25 -> 0.625).
    nav = NAV.replace("510001,2024-06-17,1.2500,", "510001,2024-06-17,0.6250,").replace(
        "510001,2024-06-11,1.3000,", "510001,2024-06-11,1.2500,")
    db_path, bundle = build_fund_database(tmp_path, {
        "catalogue.csv": CATALOGUE, "nav.csv": nav, "status.csv": status_csv({FUND: nav_dates(nav, FUND)}),
        "splits.csv": "order_book_id,ex_dividend_date,split_ratio\n510001,2024-06-13,2\n"})
    result = run_strategy(db_path, scenario_config(bundle, "2024-06-03", "2024-06-17"),
                          scripted_strategy({"2024-06-03": [("subscribe", FUND, 10000)]}), tmp_path)
    rows = day_rows(result, FUND)
    assert rows["2024-06-11"]["total_value"] == pytest.approx(90000 + 8000 * 1.25)
    # 16,000 units at 0.625: the same 10,000.
    assert rows["2024-06-17"]["quantity"] == pytest.approx(16000.0)
    assert rows["2024-06-17"]["total_value"] == pytest.approx(90000 + 16000 * 0.625)
