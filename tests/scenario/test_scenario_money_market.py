"""A money-market fund that accrues its income daily, over weekends and a holiday.

Fund 510003 keeps a price of 1 and publishes a NAV row (with its daily
profit per 10,000 units) for every calendar day, weekends and the
06-12 to 06-14 closure included.  Each trading morning the holding earns
the profit of every calendar day since the previous trading day, up to and
including today, as new units (4 decimals): a Friday earns Friday's, a
Monday Saturday's + Sunday's + Monday's, the Monday after the closure six
days' worth.  Income is computed on the units received before today's
arrivals, so units earn from the trading day after they arrive.

The strategy subscribes 50,000 on Monday 06-03 and redeems 10,000 units on
Tuesday 06-11, the last trading day before the closure (cash due 06-19).
"""
import pytest

from scenario_helpers import (assert_days, build_fund_database, day_rows, forget_process_caches, nav_dates,
                              run_strategy, scenario_config, scripted_strategy, status_csv, using_database)

FUND = "510003"

CATALOGUE = """\
order_book_id,symbol,fund_type,listed_date,de_listed_date,accrued_daily
510003,示例现金宝货币A,Money,2015-06-01,,true
"""

NAV = """\
order_book_id,date,unit_net_value,adjusted_net_value,daily_profit,weekly_yield
510003,2024-05-30,1.0000,1.0000,0.50,1.825
510003,2024-05-31,1.0000,1.0000,0.50,1.825
510003,2024-06-01,1.0000,1.0000,0.40,1.460
510003,2024-06-02,1.0000,1.0000,0.40,1.460
510003,2024-06-03,1.0000,1.0000,0.45,1.643
510003,2024-06-04,1.0000,1.0000,0.50,1.825
510003,2024-06-05,1.0000,1.0000,0.52,1.898
510003,2024-06-06,1.0000,1.0000,0.48,1.752
510003,2024-06-07,1.0000,1.0000,0.50,1.825
510003,2024-06-08,1.0000,1.0000,0.40,1.460
510003,2024-06-09,1.0000,1.0000,0.40,1.460
510003,2024-06-10,1.0000,1.0000,0.46,1.679
510003,2024-06-11,1.0000,1.0000,0.50,1.825
510003,2024-06-12,1.0000,1.0000,0.55,2.008
510003,2024-06-13,1.0000,1.0000,0.55,2.008
510003,2024-06-14,1.0000,1.0000,0.55,2.008
510003,2024-06-15,1.0000,1.0000,0.40,1.460
510003,2024-06-16,1.0000,1.0000,0.40,1.460
510003,2024-06-17,1.0000,1.0000,0.45,1.643
510003,2024-06-18,1.0000,1.0000,0.50,1.825
510003,2024-06-19,1.0000,1.0000,0.50,1.825
510003,2024-06-20,1.0000,1.0000,0.47,1.715
510003,2024-06-21,1.0000,1.0000,0.50,1.825
"""

ACTIONS = {
    "2024-06-03": [("subscribe", FUND, 50000)],   # 50,000 units at 1
    "2024-06-11": [("redeem", FUND, 10000)],      # 10,000 cash, due 06-17, 06-18, 06-19
}


@pytest.fixture(scope="module")
def result(tmp_path_factory):
    db_path, bundle = build_fund_database(tmp_path_factory.mktemp("money_market"), {
        "catalogue.csv": CATALOGUE, "nav.csv": NAV,
        # The status is published for every NAV date, weekends included.
        "status.csv": status_csv({FUND: nav_dates(NAV, FUND)})})
    config = scenario_config(bundle, "2024-06-03", "2024-06-21")
    return run_strategy(db_path, config, scripted_strategy(ACTIONS), tmp_path_factory.mktemp("money_market_run"))


def test_income_accrues_every_calendar_day(result):
    # Each day's new units: received units x profit / 10,000, rounded to 4
    # decimals; the price is 1, so the value is cash + units + cash due.
    assert_days(result, FUND, "cash quantity receivable_quantity receivable_cash total_value", [
        ("2024-06-03", 50000.0, 0.0, 50000.0, 0.0, 100000.0),
        # The units arrive this morning, after the day's income was computed
        # on the 0 units received before: nothing earned yet.
        ("2024-06-04", 50000.0, 50000.0, 0.0, 0.0, 100000.0),
        # 50,000 x 0.52 / 10,000 = 2.6
        ("2024-06-05", 50000.0, 50002.6, 0.0, 0.0, 100002.6),
        # 50,002.6 x 0.48 / 10,000 = 2.40012... -> 2.4001
        ("2024-06-06", 50000.0, 50005.0001, 0.0, 0.0, 100005.0001),
        # Friday earns Friday's only: 50,005.0001 x 0.50 / 10,000 = 2.50025... -> 2.5003
        ("2024-06-07", 50000.0, 50007.5004, 0.0, 0.0, 100007.5004),
        # Monday: Sat 0.40 + Sun 0.40 + Mon 0.46 = 1.26 -> 6.30094... -> 6.3009
        ("2024-06-10", 50000.0, 50013.8013, 0.0, 0.0, 100013.8013),
        # 50,013.8013 x 0.50 / 10,000 = 2.50069... -> 2.5007 (50,016.302);
        # then 10,000 units redeemed, their cash owed until 06-19.
        ("2024-06-11", 50000.0, 40016.302, 0.0, 10000.0, 100016.302),
        # Wed-Fri closure 3 x 0.55 + Sat 0.40 + Sun 0.40 + Mon 0.45 = 2.90:
        # 40,016.302 x 2.90 / 10,000 = 11.60472... -> 11.6047
        ("2024-06-17", 50000.0, 40027.9067, 0.0, 10000.0, 100027.9067),
        # x 0.50 / 10,000 = 2.00139... -> 2.0014
        ("2024-06-18", 50000.0, 40029.9081, 0.0, 10000.0, 100029.9081),
        # 2.00149... -> 2.0015; the redemption cash arrives.
        ("2024-06-19", 60000.0, 40031.9096, 0.0, 0.0, 100031.9096),
        # x 0.47 / 10,000 = 1.88149... -> 1.8815
        ("2024-06-20", 60000.0, 40033.7911, 0.0, 0.0, 100033.7911),
        # x 0.50 / 10,000 = 2.00168... -> 2.0017
        ("2024-06-21", 60000.0, 40035.7928, 0.0, 0.0, 100035.7928),
    ])


def test_income_is_units_not_cash(result):
    # Cash moves only on the subscription and the redemption's arrival.
    changes = result.daily["cash_change"]
    moved = {stamp.date().isoformat(): value for stamp, value in changes.items() if value != 0}
    assert moved == {"2024-06-03": -50000.0, "2024-06-19": 10000.0}
    # Accrued units never appear as trades.
    assert len(result.trades) == 2


def test_a_second_run_in_the_same_process_reads_its_own_income(tmp_path):
    from tessel.run import run

    # The same fund paying twice the income in a second database: a run
    # over it must earn more than a run over the first one.
    doubled = NAV.replace(",1.0000,1.0000,0.", ",1.0000,1.0000,1.")
    outcomes = []
    forget_process_caches()
    for index, nav in enumerate((NAV, doubled, doubled)):
        if index == 2:
            forget_process_caches()  # a fresh process would start like this
        directory = tmp_path / str(index)
        db_path, bundle = build_fund_database(directory, {
            "catalogue.csv": CATALOGUE, "nav.csv": nav, "status.csv": status_csv({FUND: nav_dates(nav, FUND)})})
        strategy = directory / "strategy.py"
        strategy.write_text(scripted_strategy(ACTIONS), encoding="utf-8")
        with using_database(db_path):
            outcomes.append(run(scenario_config(bundle, "2024-06-03", "2024-06-21"), str(strategy)))
    first, second, fresh = (r.daily["total_value"].iloc[-1] for r in outcomes)
    assert fresh > first
    assert second == pytest.approx(fresh, abs=1e-6)



def test_a_losing_day_imported_and_run_takes_units_away(tmp_path, result):
    # The fund loses on 06-20: the importer takes the negative daily profit,
    # and the holding gives up units that morning, as it gains them on others.
    losing = NAV.replace("510003,2024-06-20,1.0000,1.0000,0.47,", "510003,2024-06-20,1.0000,1.0000,-0.30,")
    assert losing != NAV
    db_path, bundle = build_fund_database(tmp_path / "data", {
        "catalogue.csv": CATALOGUE, "nav.csv": losing, "status.csv": status_csv({FUND: nav_dates(losing, FUND)})})
    (tmp_path / "run").mkdir()
    lost = day_rows(run_strategy(db_path, scenario_config(bundle, "2024-06-03", "2024-06-21"),
                                 scripted_strategy(ACTIONS), tmp_path / "run"), FUND)
    before = day_rows(result, FUND)
    assert list(lost) == list(before)
    assert all(lost[day] == before[day] for day in before if day < "2024-06-20")
    figures = [(lost[day]["cash"], lost[day]["quantity"], lost[day]["total_value"])
               for day in ("2024-06-20", "2024-06-21")]
    # 40,031.9096 x -0.30 / 10,000 = -1.20095... -> -1.2010; then x 0.50 / 10,000 = 2.00153... -> 2.0015
    assert figures == [pytest.approx((60000.0, 40030.7086, 100030.7086), abs=1e-6),
                       pytest.approx((60000.0, 40032.7101, 100032.7101), abs=1e-6)]
