"""The grid, the results table and the figure, without a cluster; and the
clean engine state every combination starts from."""
import math

import numpy as np
import pandas as pd
import pytest
from matplotlib.image import imread

import vexdatac
from sweep_helpers import MIX, MIX_CONFIG
from tessel.sweeps import (FAILED, OK, SweepError, best_row, combinations, fresh_engine_state, make_plan,
                           plot_sweep, results_table, run_combination, task_of)


def test_combinations_are_the_product_in_a_stable_order():
    grid = {"w": [0.2, 0.4], "bond": ["000025", "000034"], "monthly": [True]}
    assert combinations(grid) == [
        {"w": 0.2, "bond": "000025", "monthly": True}, {"w": 0.2, "bond": "000034", "monthly": True},
        {"w": 0.4, "bond": "000025", "monthly": True}, {"w": 0.4, "bond": "000034", "monthly": True}]
    assert combinations([("b", [2, 1]), ("a", [1])]) == [{"b": 2, "a": 1}, {"b": 1, "a": 1}]


@pytest.mark.parametrize("grid, words", [
    ({}, "grid is empty"),
    ({"w": []}, "grid w: no values"),
    ({"w": 0.5}, "expected a list of values"),
    ({"w": "abc"}, "expected a list of values"),
    ({"w": [1, 2, 1.0]}, "value 1.0 is listed twice"),
    ({"2w": [1]}, "not a name"),
    ([("w", [1]), ("w", [2])], "given twice"),
])
def test_bad_grids_are_refused(grid, words):
    with pytest.raises(SweepError, match=words):
        combinations(grid)


def test_plan_checks_metric_and_makes_paths_absolute(sample_data, monkeypatch):
    db, bundle = sample_data
    monkeypatch.chdir(bundle.parent)
    plan = make_plan(str(MIX), {"w": [1]},
                     {"base": {"data_bundle_path": bundle.name}}, database=db.name)
    assert plan["bundle"] == str(bundle) and plan["database"] == str(db)
    assert plan["config"]["base"]["data_bundle_path"] == str(bundle)
    with pytest.raises(SweepError, match="unknown metric 'sharpe'"):
        make_plan(str(MIX), {"w": [1]}, metric="sharpe")
    with pytest.raises(SweepError, match="metric excess_return needs a benchmark"):
        make_plan(str(MIX), {"w": [1]}, metric="excess_return")
    # The example's configuration names a benchmark.
    assert make_plan(str(MIX), {"w": [1]}, str(MIX_CONFIG), metric="excess_return")["metric"] == "excess_return"


def fake_plan(names, combos):
    return {"names": names, "combinations": combos}


def outcome(index, sharpe=None, fees=None, error=""):
    if error:
        return {"index": index, "status": FAILED, "error": error, "summary": None}
    return {"index": index, "status": OK, "error": "",
            "summary": {"start_date": "2020-01-02", "sharpe_ratio": sharpe, "fees": fees}}


def test_results_table_keeps_grid_order_and_empty_figures_for_failures():
    plan = fake_plan(["w"], [{"w": 0.2}, {"w": 0.4}, {"w": 0.6}])
    # Finished in another order than the grid's.
    table = results_table(plan, {2: outcome(2, 1.5, 3.0), 0: outcome(0, error="boom"), 1: outcome(1, None, 1.0)})
    assert list(table.columns) == ["w", "status", "error", "start_date", "sharpe_ratio", "fees"]
    assert list(table["w"]) == [0.2, 0.4, 0.6] and list(table["status"]) == [FAILED, OK, OK]
    assert table["error"].tolist() == ["boom", "", ""]
    assert math.isnan(table["fees"].iloc[0]) and table["fees"].iloc[2] == 3.0
    assert results_table(plan, {}).columns.tolist() == ["w", "status", "error"]


def test_best_row_skips_failures_and_missing_figures_and_knows_direction():
    plan = fake_plan(["w"], [{"w": k} for k in range(4)])
    table = results_table(plan, {0: outcome(0, error="x"), 1: outcome(1, 0.5, 9.0), 2: outcome(2, None, 2.0),
                                 3: outcome(3, 1.2, 4.0)})
    assert best_row(table, "sharpe_ratio")["w"] == 3
    assert best_row(table, "fees")["w"] == 2  # fewer fees are better
    assert best_row(table, "trades") is None
    assert best_row(results_table(plan, {0: outcome(0, error="x")}), "sharpe_ratio") is None


@pytest.mark.parametrize("names, values", [
    (["w"], {"w": [0.2, 0.4, 0.6]}),
    (["bond"], {"bond": ["000025", "000034"]}),
    (["w", "bond"], {"w": [0.2, 0.4], "bond": ["000025", "000034", "000035"]}),
    (["w", "bond", "m"], {"w": [0.2, 0.4], "bond": ["000025", "000034"], "m": [True, False]}),
    (["w", "bond", "m", "n"], {"w": [0.2, 0.4], "bond": ["000025"], "m": [True, False], "n": [1, 2]}),
])
def test_figure_for_every_grid_shape(tmp_path, names, values):
    combos = combinations(values)
    rng = np.random.default_rng(len(combos))
    outcomes = {k: outcome(k, float(rng.normal()), 1.0) for k in range(len(combos))}
    outcomes[1] = outcome(1, error="failed run")
    path = plot_sweep(results_table(fake_plan(names, combos), outcomes), names, "sharpe_ratio",
                      str(tmp_path / "sweep.png"))
    image = imread(path)
    assert image.ndim == 3 and image.shape[0] > 300 and image.shape[1] > 400
    # Not a blank canvas.
    assert image[..., :3].std() > 0.05


def test_figure_when_nothing_finished(tmp_path):
    table = results_table(fake_plan(["w"], [{"w": 1}]), {})
    image = imread(plot_sweep(table, ["w"], "sharpe_ratio", str(tmp_path / "sweep.png")))
    assert image.shape[0] > 300


def test_runs_in_one_process_start_from_a_clean_state(sample_data):
    """A, B, A in one process: the second A equals the first, and the plug-in's caches are empty between runs."""
    import tessel_mod_fund.position as position

    db, bundle = sample_data
    plan = make_plan(str(MIX), {"equity_weight": [0.3, 0.9], "bond": ["000034"]},
                     {"base": {"start_date": "2020-01-02", "end_date": "2020-02-28", "data_bundle_path": str(bundle),
                               "benchmark": "000021"}}, database=str(db))
    first = run_combination(task_of(plan, 0))
    other = run_combination(task_of(plan, 1))
    again = run_combination(task_of(plan, 0))
    assert first["status"] == other["status"] == OK
    assert first["summary"] == again["summary"] and first["summary"] != other["summary"]
    # The run leaves filled caches behind; a fresh state empties every one of them.
    vexdatac.set_database(str(db))
    try:
        position._get_trading_dates.cache_clear()
        from tessel.config import load_config
        from tessel.environment import Environment
        from tessel.data.base_data_source import BaseDataSource

        env = Environment(load_config(plan["config"]))
        env.set_data_source(BaseDataSource(str(bundle), {}, False, env.config.base.end_date))
        position._get_trading_dates()
        assert position._get_trading_dates.cache_info()[3] == 1
        fresh_engine_state()
        assert position._get_trading_dates.cache_info()[3] == 0
        assert not Environment.has_instance()
    finally:
        vexdatac.set_database(None)
