"""Figures that must not go wrong on the sample database."""
import pandas as pd
import pytest

import vexdatac
from scenario_helpers import build_sample_database, run_strategy, scenario_config, using_database


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample_database(tmp_path_factory.mktemp("sample_reliability"))


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
