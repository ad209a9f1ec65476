"""Figures that must not go wrong on the sample database: redemption fees of
reinvested units, the fund benchmark's return, and runs that cannot book
fund orders at all."""
import pandas as pd
import pytest

import vexdatac
from scenario_helpers import build_sample_database, run_strategy, scenario_config, using_database


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample_database(tmp_path_factory.mktemp("sample_reliability"))


ORDERS_BY_DAY = """
    PLAN = {plan!r}

    def init(context):
        pass

    def handle_bar(context, bar_dict):
        for fund, action in PLAN.get(context.now.date().isoformat(), []):
            if action == "redeem_all":
                redeem_all(fund)
            else:
                subscribe(fund, action)
"""


def sells(result):
    trades = result.trades
    return trades[trades["side"] == "SELL"].reset_index(drop=True)


def buys(result):
    trades = result.trades
    return trades[trades["side"] == "BUY"].reset_index(drop=True)


# --- reinvested units get lots of their own ---------------------------------------------------------------

# 000002's redemption tiers: under 7 days 1.5 %, under 365 days 0.5 %, then
# 0.25 % to two years; its dividend of 0.007 is booked for 2018-01-08 (the
# ex-date) and reinvested, the units arriving 2018-01-11.
FUND_A = "000002"


@pytest.mark.parametrize("start", ["2018-01-05", "2017-12-01", "2015-01-05"])
def test_reinvested_units_of_a_redeemed_lot_keep_that_lots_holding_date(sample, tmp_path, start):
    db, bundle = sample
    plan = {"2018-01-05": [(FUND_A, 100000)], "2018-01-08": [(FUND_A, "redeem_all")],
            "2018-01-11": [(FUND_A, "redeem_all")]}
    config = scenario_config(bundle, start, "2018-01-19", cash=1_000_000, reinvest=True)
    result = run_strategy(db, config, ORDERS_BY_DAY.format(plan=plan), tmp_path)
    first, second = sells(result).itertuples()
    assert (str(first.date.date()), str(second.date.date())) == ("2018-01-08", "2018-01-11")
    # The reinvested units were bought by the 2018-01-05 lot's dividend: held 6
    # days on 2018-01-11, whatever day the run started on.
    assert second.quantity == pytest.approx(1767.07)
    assert second.fee == pytest.approx(1767.07 * 0.6139 * 0.015, abs=1e-9)
    assert second.fee == pytest.approx(16.272064095, abs=1e-9)


# 000025's tiers: under 7 days 1.5 %, under 30 days 0.1 %, then none.  Its
# dividend of 0.029 is booked on 2017-09-20 for the units held that morning
# (the 09-01 and 09-19 lots), reinvested at that day's close; the units
# arrive 2017-09-25.
FUND_B = "000025"


@pytest.fixture(scope="module")
def transit_runs(sample, tmp_path_factory):
    db, bundle = sample
    plan = {day: [(FUND_B, 40000)] for day in ("2017-09-01", "2017-09-19", "2017-09-20")}
    plan["2017-09-21"] = [(FUND_B, "redeem_all")]
    runs = {}
    for reinvest in (True, False):
        config = scenario_config(bundle, "2017-08-01", "2017-09-29", cash=1_000_000, reinvest=reinvest)
        runs[reinvest] = run_strategy(db, config, ORDERS_BY_DAY.format(plan=plan),
                                      tmp_path_factory.mktemp("transit"))
    return runs


def test_units_in_transit_are_never_redeemed_and_earn_no_lot_bought_on_the_ex_date(transit_runs):
    nav = 1.3148
    for reinvest, result in transit_runs.items():
        lots = buys(result)
        assert [str(d.date()) for d in lots["date"]] == ["2017-09-01", "2017-09-19", "2017-09-20"]
        units = lots["quantity"].tolist()
        sale = sells(result).iloc[0]
        # Exactly the received lots go: 20 days at 0.1 %, then 2 and 1 day at 1.5 %.
        assert sale["quantity"] == pytest.approx(sum(units))
        by_hand = units[0] * nav * 0.001 + (units[1] + units[2]) * nav * 0.015
        assert sale["fee"] == pytest.approx(by_hand, abs=1e-9), "reinvest={}".format(reinvest)
    assert sells(transit_runs[True]).iloc[0]["fee"] == pytest.approx(sells(transit_runs[False]).iloc[0]["fee"])


def test_reinvested_units_still_arriving_stay_after_the_redemption(transit_runs):
    result = transit_runs[True]
    positions = result.positions.set_index("date")
    after = positions.loc[pd.Timestamp("2017-09-21")]
    lots = buys(result)["quantity"].tolist()
    dividend = round((lots[0] + lots[1]) * 0.029, 10)
    assert after["receivable_quantity"] > 0
    # What is left is the reinvested units, nothing of the received lots.
    assert after["receivable_quantity"] == pytest.approx(dividend / 1.3103, abs=1e-3)


# --- the fund benchmark is a total return -----------------------------------------------------------------

EMPTY_STRATEGY = """
    def init(context):
        pass

    def handle_bar(context, bar_dict):
        pass
"""


def adjusted_nav(db, order_book_id):
    with using_database(db):
        frame = vexdatac.fund.get_nav(order_book_id)
    return frame["adjusted_net_value"].astype(float)


@pytest.mark.parametrize("nav_type", ["unit", "adjusted"])
def test_fund_benchmark_is_measured_by_its_adjusted_nav(sample, tmp_path, nav_type):
    db, bundle = sample
    config = scenario_config(bundle, "2015-02-02", "2015-12-31", fund_nav_type=nav_type)
    config["base"]["benchmark"] = "000021"
    result = run_strategy(db, config, EMPTY_STRATEGY, tmp_path)
    adjusted = adjusted_nav(db, "000021")
    start = adjusted[adjusted.index < pd.Timestamp("2015-02-02")].iloc[-1]
    end = adjusted[adjusted.index <= pd.Timestamp("2015-12-31")].iloc[-1]
    total = result.summary["benchmark_total_return"]
    assert total == pytest.approx(end / start - 1, abs=1e-12)
    assert total == pytest.approx(-0.087, abs=0.0005)
    assert result.summary["excess_return"] == pytest.approx(0.0 - total)
    assert result.benchmark_basis == "total return (adjusted NAV)"
    # The unit split of 2015-03-16 (x 1.0213) is no loss: the day's return is the adjusted NAV's.
    series = result.benchmark
    split_day = series.index.get_loc(pd.Timestamp("2015-03-16"))
    day_return = series.iloc[split_day] / series.iloc[split_day - 1] - 1
    assert day_return == pytest.approx(-0.0232, abs=0.0005)


def test_report_names_the_total_return_benchmark(sample, tmp_path):
    from tessel.report import _benchmark_label

    db, bundle = sample
    config = scenario_config(bundle, "2015-02-02", "2015-03-31")
    config["base"]["benchmark"] = "000021"
    result = run_strategy(db, config, EMPTY_STRATEGY, tmp_path)
    assert _benchmark_label(result) == "000021, total return (adjusted NAV)"
    # An instrument that is not a fund keeps its bare id.
    result.benchmark_basis = "close"
    assert _benchmark_label(result) == "000021"


# --- fund orders need the accounts plug-in ----------------------------------------------------------------

def test_a_fund_run_without_the_accounts_plugin_is_refused_before_it_starts(sample, tmp_path):
    db, bundle = sample
    config = scenario_config(bundle, "2018-01-02", "2018-01-31")
    config["mod"]["sys_accounts"]["enabled"] = False
    plan = {"2018-01-03": [(FUND_A, 10000)]}
    with pytest.raises(ValueError, match=r"mod\.sys_accounts\.enabled is false.*mod\.fund\.enabled: false"):
        run_strategy(db, config, ORDERS_BY_DAY.format(plan=plan), tmp_path)
    # Without fund orders to book there is nothing to refuse.
    config["mod"]["fund"]["enabled"] = False
    result = run_strategy(db, config, EMPTY_STRATEGY, tmp_path)
    assert result.summary["trades"] == 0
