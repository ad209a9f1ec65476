"""Sweeps on a local cluster of two worker processes: one row per
combination, each equal to the plain run of that combination, failures
confined to their rows, and the same table whatever the worker count or order."""
import pandas as pd
import pytest

import tessel
import vexdatac
from sweep_helpers import MIX, MIX_CONFIG, WINDOW, data_options, read_json, tessel as tessel_cli, write_strategy
from tessel.sweeps import SweepError, check_workers, make_plan, open_client

GRID = ["--grid", "equity_weight=0.3,0.7", "--grid", "bond=000025,000034,999999"]
COMBINATIONS = [(w, b) for w in (0.3, 0.7) for b in ("000025", "000034", "999999")]


@pytest.fixture(scope="module")
def mix_sweep(tmp_path_factory, sample_data, cluster):
    out = tmp_path_factory.mktemp("mix") / "sweep"
    result = tessel_cli("sweep", MIX, "-c", MIX_CONFIG, *data_options(sample_data), *WINDOW, *GRID,
                        "--scheduler", cluster, "--keep-runs", "-o", out)
    return result, out


def test_one_row_per_combination_in_grid_order(mix_sweep):
    result, out = mix_sweep
    table = pd.read_csv(out / "results.csv", dtype={"bond": str})
    assert list(zip(table["equity_weight"], table["bond"])) == COMBINATIONS
    assert list(table.columns[:4]) == ["equity_weight", "bond", "status", "error"]
    assert {"total_return", "annual_return", "annual_volatility", "sharpe_ratio", "max_drawdown", "trades",
            "fees", "excess_return"} <= set(table.columns)
    assert (out / "sweep.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_failed_combination_is_reported_and_the_others_finish(mix_sweep):
    result, out = mix_sweep
    table = pd.read_csv(out / "results.csv", dtype={"bond": str}, keep_default_na=False)
    failed = table[table["bond"] == "999999"]
    assert list(failed["status"]) == ["failed", "failed"]
    assert list(failed["error"]) == ["strategy {} line 34 (in init) raised ValueError: fund_info: unknown fund "
                                     "'999999'".format(MIX)] * 2
    assert set(table.loc[table["bond"] != "999999", "status"]) == {"ok"}
    assert set(table.loc[table["bond"] != "999999", "error"]) == {""}
    # Some failed: exit status 3 and a summary line that counts them.
    assert result.exit_code == 3, result.output
    assert "6 combinations: 4 ok, 2 failed" in result.output
    assert "failed: equity_weight=0.3, bond=999999: strategy" in result.output


def test_each_row_equals_a_plain_run_of_its_combination(mix_sweep, sample_data, tmp_path):
    _, out = mix_sweep
    # As text: every figure must read back exactly as summary.json holds it.
    table = pd.read_csv(out / "results.csv", dtype=str, keep_default_na=False)
    for weight, bond in COMBINATIONS[:2] + COMBINATIONS[3:5]:
        row = table[(table["equity_weight"] == str(weight)) & (table["bond"] == bond)].iloc[0]
        single = tmp_path / "run-{}-{}".format(weight, bond)
        result = tessel_cli("run", MIX, "-c", MIX_CONFIG, *data_options(sample_data), *WINDOW, "--no-progress",
                            "--log-level", "none", "--param", "equity_weight={}".format(weight),
                            "--param", "bond={}".format(bond), "-o", single)
        assert result.exit_code == 0, result.output
        summary = read_json(single / "summary.json")
        assert summary["trades"] > 0
        assert list(table.columns[4:]) == list(summary)
        for key, expected in summary.items():
            assert row[key] == ("" if expected is None else str(expected)), (weight, bond, key)


def test_kept_runs_are_full_reports(mix_sweep):
    _, out = mix_sweep
    for k, (weight, bond) in enumerate(COMBINATIONS, start=1):
        directory = out / "runs" / str(k)
        if bond == "999999":
            assert not directory.exists()
            continue
        names = {p.name for p in directory.iterdir()}
        assert names == {"daily.csv", "positions.csv", "trades.csv", "orders.csv", "summary.json", "report.png"}
    table = pd.read_csv(out / "results.csv", dtype={"bond": str})
    assert read_json(out / "runs" / "5" / "summary.json")["sharpe_ratio"] == table["sharpe_ratio"].iloc[4]


def test_tables_identical_for_one_and_two_workers_and_any_order(sample_data, cluster):
    db, bundle = sample_data
    config = {"base": {"start_date": "2020-01-02", "end_date": "2020-03-31", "data_bundle_path": str(bundle),
                       "benchmark": "000021"}}
    grid = {"equity_weight": [0.2, 0.5, 0.8], "bond": ["000025", "000034"]}
    reverse = {"equity_weight": [0.8, 0.5, 0.2], "bond": ["000034", "000025"]}
    vexdatac.set_database(str(db))
    try:
        two = tessel.sweep(str(MIX), grid, config=config, scheduler=cluster)
        one = tessel.sweep(str(MIX), grid, config=config, workers=1)
        # One worker process runs every combination, in the opposite order: nothing may carry over.
        backwards = tessel.sweep(str(MIX), reverse, config=config, workers=1)
    finally:
        vexdatac.set_database(None)
    assert (two["status"] == "ok").all()
    pd.testing.assert_frame_equal(two, one)
    backwards = backwards.sort_values(["equity_weight", "bond"]).reset_index(drop=True)
    pd.testing.assert_frame_equal(two, backwards)
    # Different parameters really give different runs.
    assert two["total_return"].nunique() == len(two)


def test_exit_status_when_every_or_no_combination_runs(tmp_path, sample_data, cluster):
    strategy = write_strategy(tmp_path, """
        def init(context):
            if context.params["fail"]:
                raise RuntimeError("asked to fail")
        """)
    common = ["sweep", strategy, *data_options(sample_data), *WINDOW, "--scheduler", cluster]
    every = tessel_cli(*common, "--grid", "fail=false", "--grid", "n=1,2", "-o", tmp_path / "every")
    assert every.exit_code == 0, every.output
    assert "2 combinations: 2 ok, 0 failed" in every.output
    none = tessel_cli(*common, "--grid", "fail=true", "--grid", "n=1,2", "-o", tmp_path / "none")
    assert none.exit_code == 1, none.output
    table = pd.read_csv(tmp_path / "none" / "results.csv")
    assert list(table["error"]) == ["strategy {} line 3 (in init) raised RuntimeError: asked to fail".format(
        strategy)] * 2


def test_fixed_and_swept_parameter_clash_is_refused(tmp_path, sample_data):
    result = tessel_cli("sweep", MIX, *data_options(sample_data), "--param", "bond=000025",
                        "--grid", "bond=000025,000034", "-o", tmp_path / "out")
    assert result.exit_code == 1 and "parameter bond is given both by --param and by --grid" in result.output


def test_worker_that_cannot_see_the_database_stops_the_sweep(tmp_path, sample_data, cluster):
    _, bundle = sample_data
    missing = tmp_path / "elsewhere" / "funds.sqlite"
    plan = make_plan(str(MIX), {"bond": ["000025"]}, {"base": {"data_bundle_path": str(bundle)}},
                     database=str(missing))
    with open_client(cluster) as client:
        with pytest.raises(SweepError) as caught:
            check_workers(client, plan)
    message = str(caught.value)
    assert "worker tcp://127.0.0.1:" in message and "cannot open the fund database {}".format(missing) in message
    assert "at the same paths" in message
    assert "cannot read the bundle" not in message and "strategy file" not in message.split(" Workers need")[0]


def test_bundle_and_strategy_that_a_worker_cannot_see_are_named(tmp_path, sample_data, cluster):
    db, _ = sample_data
    strategy = write_strategy(tmp_path, "def init(context):\n    pass\n")
    plan = make_plan(str(strategy), {"n": [1]}, {"base": {"data_bundle_path": str(tmp_path / "no-bundle")}},
                     database=str(db))
    strategy.write_text("def init(context):\n    raise RuntimeError\n", encoding="utf-8")
    with open_client(cluster) as client:
        with pytest.raises(SweepError) as caught:
            check_workers(client, plan)
    message = str(caught.value)
    assert "cannot read the bundle {}".format(tmp_path / "no-bundle") in message
    assert "sees a different strategy file at {}".format(strategy) in message
    assert "cannot open the fund database" not in message


def test_lost_worker_task_runs_again_once(tmp_path, sample_data, cluster):
    marker = tmp_path / "crashed-once"
    strategy = write_strategy(tmp_path, """
        import os


        def init(context):
            marker = context.params["marker"]
            if context.params["crash"] == "always" or not os.path.exists(marker):
                open(marker, "w").close()
                os._exit(1)  # the worker process dies with the task
        """)
    tables = {}
    # One combination per sweep: a task that kills its worker must not take others down with it.
    for crash in ("once", "always"):
        out = tmp_path / crash
        result = tessel_cli("sweep", strategy, *data_options(sample_data), *WINDOW, "--scheduler", cluster,
                            "--param", "marker={}".format(marker), "--grid", "crash=" + crash, "-o", out)
        tables[crash] = (result.exit_code, pd.read_csv(out / "results.csv", keep_default_na=False))
    code, table = tables["once"]
    assert code == 0 and list(table["status"]) == ["ok"]
    code, table = tables["always"]
    assert code == 1 and list(table["status"]) == ["failed"]
    assert "worker running this combination was lost, also when it was run again" in table["error"].iloc[0]


@pytest.mark.parametrize("cut", ["2020-02-28", None], ids=["short-data", "full-data"])
def test_window_beyond_the_fund_data_is_warned_once_before_the_runs(tmp_path, sample_data, cluster, monkeypatch,
                                                                    cut):
    import shutil
    import sqlite3

    db, bundle = sample_data
    copy = tmp_path / "funds.sqlite"
    shutil.copy(db, copy)
    if cut:
        with sqlite3.connect(copy) as conn:
            conn.execute("DELETE FROM nav WHERE date > ?", (cut,))
    monkeypatch.setenv("VEXDATAC_DB", str(copy))  # --db sets it for the process: put it back afterwards
    strategy = write_strategy(tmp_path, "def init(context):\n    pass\n")
    result = tessel_cli("sweep", strategy, "--db", copy, "--bundle", bundle, *WINDOW, "--scheduler", cluster,
                        "--grid", "n=1,2", "-o", tmp_path / "out")
    assert result.exit_code == 0, result.output
    assert "2 combinations: 2 ok, 0 failed" in result.output
    warned = [line for line in result.output.splitlines() if "reaches beyond the NAV data" in line]
    assert warned == (["warning: the sweep's window 2020-01-02 to 2020-03-31 reaches beyond the NAV data of the "
                       "fund database {}, 2015-01-01 to {}: held funds keep their last value and orders are refused "
                       "outside it".format(copy, cut)] if cut else [])


def test_python_sweep_warns_of_a_window_beyond_the_fund_data_once(tmp_path, sample_data, cluster, caplog):
    import shutil
    import sqlite3

    db, bundle = sample_data
    copy = tmp_path / "funds.sqlite"
    shutil.copy(db, copy)
    with sqlite3.connect(copy) as conn:
        conn.execute("DELETE FROM nav WHERE date > '2020-02-28'")
    strategy = write_strategy(tmp_path, "def init(context):\n    pass\n")
    config = {"base": {"start_date": "2020-01-02", "end_date": "2020-03-31", "data_bundle_path": str(bundle)}}
    vexdatac.set_database(str(copy))
    try:
        with caplog.at_level("WARNING", logger="tessel.system"):
            table = tessel.sweep(str(strategy), {"n": [1, 2]}, config=config, scheduler=cluster)
    finally:
        vexdatac.set_database(None)
    assert list(table["status"]) == ["ok", "ok"]
    assert [r.getMessage() for r in caplog.records if "reaches beyond the NAV data" in r.getMessage()] == [
        "the sweep's window 2020-01-02 to 2020-03-31 reaches beyond the NAV data of the fund database {}, "
        "2015-01-01 to 2020-02-28: held funds keep their last value and orders are refused outside it".format(copy)]
