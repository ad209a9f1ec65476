"""The plug-in on a host that offers only what the contract names.

tests/contract/minimal_host.py stands in for the engine and the data
client with exactly the classes, functions and attributes of their
contracts; contract_drive.py starts the plug-in on it and books a
subscription, a dividend, a split, a redemption and money-market income.
A plug-in that leans on anything else fails here.
"""
import json
import subprocess
import sys
from pathlib import Path

import pytest

DRIVER = Path(__file__).resolve().parent / "contract_drive.py"


def drive(mode):
    outcome = subprocess.run([sys.executable, str(DRIVER), mode], capture_output=True, text=True, timeout=300)
    assert outcome.returncode == 0, outcome.stderr[-3000:]
    return json.loads(outcome.stdout)


@pytest.fixture(scope="module")
def listed():
    return drive("listed")


def by_date(run):
    return {day["date"]: day for day in run["days"]}


def money_market_units(last_day):
    """10,000 units from 2020-01-03, earning 2.0 per 10,000 units each trading day from 2020-01-06."""
    import pandas as pd

    units = 10000.0
    for day in pd.bdate_range("2020-01-06", last_day):
        units = round(units + round(units / 10000 * 2.0, 4), 4)
    return units


def test_the_stand_in_host_lacks_what_the_contract_leaves_out(listed):
    # What the plug-in once took from the engine without the contract naming it.
    assert listed["strict"] == {"AbstractMatcher": False, "tessel.api": False, "ORDER_TYPE": False,
                                "vexdatac.fund": True}


def test_start_up_wires_every_part_through_the_contract(listed):
    assert listed["wiring"] == {
        "listeners": ["init_fund_api"],
        "instrument_stores": ["FundCatalogStore"],
        "day_bar_stores": {"PublicFund": "VexdataNavDayBars"},
        "dividend_stores": {"PublicFund": "VexdataPayoutHistory"},
        "split_stores": {"PublicFund": "VexdataUnitSplits"},
        "cost_deciders": {"PublicFund": "FundTransactionDecider"},
        "matchers": {"PublicFund": "FundMatcher"},
        "validators": [["FundStatusValidator", "PublicFund"]],
        "data_source_args": ["/nonexistent/bundle", "{}", "False", "2020-02-14"],
    }


def test_subscription_dividend_split_and_redemption(listed):
    days = by_date(listed)
    # Both subscriptions pass the status check and arrive the next trading day.
    assert days["2020-01-02"]["refusals"] == [None, None]
    assert days["2020-01-02"]["cash"] == 1_000_000 - 1000 - 1.5 - 10000
    assert (days["2020-01-02"]["F1"]["quantity"], days["2020-01-02"]["F1"]["expected"]) == (0, 1000)
    assert days["2020-01-03"]["F1"]["quantity"] == 1000
    # Booked on the book-closure day for 1,000 units at 0.05, paid on 2020-01-10.
    assert days["2020-01-08"]["F1"]["equity"] == pytest.approx(1000 * 1.0 + 50)
    assert days["2020-01-09"]["cash"] == days["2020-01-02"]["cash"]
    assert days["2020-01-10"]["cash"] == days["2020-01-02"]["cash"] + 50
    # The 1 -> 2 split of 2020-01-15 doubles the units; NAV 0.5 keeps the value.
    assert days["2020-01-14"]["F1"]["quantity"] == 1000
    assert days["2020-01-15"]["F1"]["quantity"] == 2000
    assert days["2020-01-15"]["F1"]["equity"] == pytest.approx(1000)
    # 500 units redeemed at 0.5 less a 0.25 fee; the cash arrives two trading days later.
    assert days["2020-01-20"]["F1"]["quantity"] == 1500
    assert days["2020-01-20"]["F1"]["receivable_cash"] == pytest.approx(249.75)
    assert days["2020-01-21"]["cash"] == days["2020-01-10"]["cash"]
    assert days["2020-01-22"]["cash"] == pytest.approx(days["2020-01-10"]["cash"] + 249.75)
    assert days["2020-01-22"]["F1"]["receivable_cash"] == 0


def test_money_market_income_becomes_units_every_day(listed):
    days = by_date(listed)
    assert days["2020-01-03"]["MM"]["quantity"] == 10000   # arrived this morning: no income yet
    assert days["2020-01-06"]["MM"]["quantity"] == 10002.0
    for day in ("2020-01-07", "2020-01-31", "2020-02-07"):
        assert days[day]["MM"]["quantity"] == pytest.approx(money_market_units(day), abs=1e-9)
        assert days[day]["MM"]["expected"] == pytest.approx(days[day]["MM"]["quantity"], abs=1e-9)


@pytest.mark.parametrize("mode", ["listed", "no-delisting-date"])
def test_a_day_without_income_data_stops_the_run_with_the_data_error(listed, mode):
    run = listed if mode == "listed" else drive(mode)
    # Income data ends on 2020-02-07; a fund that is not delisted must have it.
    assert run["failure"] == {"date": "2020-02-10", "type": "RuntimeError",
                              "message": "fund daily_profit 应每天都有对应的数据"}
    assert run["days"][-1]["date"] == "2020-02-07"


def test_a_delisted_money_market_fund_earns_nothing_more():
    run = drive("delisted")
    assert run["failure"] is None
    days = by_date(run)
    assert days["2020-02-14"]["MM"]["quantity"] == days["2020-02-07"]["MM"]["quantity"]
    assert days["2020-02-07"]["MM"]["quantity"] == pytest.approx(money_market_units("2020-02-07"), abs=1e-9)
