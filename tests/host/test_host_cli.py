"""The command line: a whole run with its report, and clear errors for bad input."""
import json
import textwrap

import pandas as pd
import pytest
import yaml
from click.testing import CliRunner

from host_helpers import TRADING_DAYS, market_config
from tessel.cli import main

BUY_AND_SELL = """
def init(context):
    context.day = 0

def handle_bar(context, bar_dict):
    context.day += 1
    if context.day == 1:
        order_shares("S1", 1000)
    elif context.day == 4:
        order_shares("S1", -1000)
"""


@pytest.fixture
def files(bundle, tmp_path):
    config = tmp_path / "run.yml"
    config.write_text(yaml.safe_dump(market_config(bundle)))
    strategy = tmp_path / "strategy.py"
    strategy.write_text(textwrap.dedent(BUY_AND_SELL))
    return config, strategy


def invoke(*args):
    result = CliRunner().invoke(main, [str(a) for a in args])
    return result, result.output + (result.stderr if hasattr(result, "stderr") and result.stderr else "")


def test_run_prints_summary_and_writes_report(files, tmp_path):
    config, strategy = files
    out = tmp_path / "report"
    result, output = invoke("run", strategy, "--config", config, "--benchmark", "IDX", "--cash", 50000,
                            "--end-date", "2020-01-15", "--output", out, "--no-progress")
    assert result.exit_code == 0, output
    assert "Total return" in output and "Benchmark" in output
    daily = pd.read_csv(out / "daily.csv", index_col="date", parse_dates=True)
    assert daily.index[-1] == pd.Timestamp("2020-01-15")
    assert daily["total_value"].iloc[0] == pytest.approx(50000 - 10)  # commission of the day-1 purchase
    trades = pd.read_csv(out / "trades.csv")
    assert list(trades["side"]) == ["BUY", "SELL"]
    for name in ("positions.csv", "orders.csv"):
        assert len(pd.read_csv(out / name)) > 0
    summary = json.loads((out / "summary.json").read_text())
    assert summary["benchmark"] == "IDX" and summary["trades"] == 2 and summary["start_value"] == 50000
    png = (out / "report.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 20000


def test_config_command_shows_merged_overrides(files):
    config, _ = files
    result, output = invoke("config", "--config", config, "--mod", "fund.status_limit=false",
                            "--mod", "fund.extra_setting=3", "--set", "base.risk_free_rate=0.02")
    assert result.exit_code == 0, output
    shown = yaml.safe_load(output)
    assert shown["mod"]["fund"]["status_limit"] is False
    assert shown["mod"]["fund"]["extra_setting"] == 3  # plug-in sections keep their own keys
    assert shown["base"]["risk_free_rate"] == 0.02
    assert shown["mod"]["market"]["lib"] == "host_helpers"


@pytest.mark.parametrize("source, expected", [
    ("def handle_bar(context, bar_dict):\n    x = (1,\n\n", "line 2"),
    ("import no_such_module_for_strategy\n", "line 1"),
    ("init = 5\n", "'init' must be a function"),
])
def test_strategy_that_does_not_load_names_file_and_line(files, tmp_path, source, expected):
    config, _ = files
    strategy = tmp_path / "broken_strategy.py"
    strategy.write_text(source)
    result, output = invoke("run", strategy, "--config", config)
    assert result.exit_code != 0
    assert "broken_strategy.py" in output and expected in output
    assert "Traceback" not in output


def test_strategy_failing_during_the_run_names_its_line(files, tmp_path):
    config, _ = files
    strategy = tmp_path / "oops.py"
    strategy.write_text("def handle_bar(context, bar_dict):\n    pass\n    {}['missing']\n")
    result, output = invoke("run", strategy, "--config", config)
    assert result.exit_code == 1
    assert "oops.py line 3" in output and "KeyError" in output and "Traceback" not in output


@pytest.mark.parametrize("args, expected", [
    (["--start-date", "2020-13-01"], "base.start_date"),
    (["--set", "base.risk_free_rate=lots"], "base.risk_free_rate"),
    (["--set", "base.benchmrk=IDX"], "base.benchmrk"),
    (["--mod", "fnd.status_limit=false"], "unknown plug-in section 'fnd'"),
    (["--mod", "fund.status_limit"], "KEY=VALUE"),
    (["--end-date", "2020-03-31"], "2020-01-02 to 2020-01-31"),
    (["--start-date", "2019-12-01"], "base.start_date 2019-12-01 lies outside"),
    (["--benchmark", "NOPE"], "base.benchmark: unknown instrument 'NOPE'"),
    (["--mod", "market.lib=no_such_lib_xyz"], "no_such_lib_xyz"),
    (["--db", "/nonexistent/funds.sqlite"], "/nonexistent/funds.sqlite"),
])
def test_bad_input_is_a_clear_error(files, args, expected):
    config, strategy = files
    result, output = invoke("run", strategy, "--config", config, *args)
    assert result.exit_code not in (0, None)
    assert expected in output
    assert "Traceback" not in output


def test_unknown_base_key_in_file_is_rejected_by_name(files, tmp_path, bundle):
    _, strategy = files
    data = market_config(bundle)
    data["base"]["strat_date"] = "2020-01-02"
    config = tmp_path / "typo.yml"
    config.write_text(yaml.safe_dump(data))
    result, output = invoke("run", strategy, "--config", config)
    assert result.exit_code != 0 and "base.strat_date" in output


def test_missing_strategy_file(files, tmp_path):
    config, _ = files
    result, output = invoke("run", tmp_path / "absent.py", "--config", config)
    assert result.exit_code != 0 and "absent.py" in output and "does not exist" in output


def test_progress_bar_is_off_when_not_a_terminal(files, monkeypatch):
    import tessel.run as run_module

    config, strategy = files
    seen = []
    real = run_module.run
    monkeypatch.setattr(run_module, "run", lambda *a, **k: seen.append(k.get("progress")) or real(*a, **k))
    result, output = invoke("run", strategy, "--config", config, "--end-date", str(TRADING_DAYS[3].date()))
    assert result.exit_code == 0, output
    assert seen == [False]
