"""The command line under bad input and hostile surroundings: clear errors, and a report that is never lost."""
import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import warnings

import pandas as pd
import pytest
import yaml
from click.testing import CliRunner

import host_helpers
from host_helpers import market_config
from tessel.cli import main

HOLD = """
def handle_bar(context, bar_dict):
    if context.now.day == 2:
        order_shares("S1", 100)
"""


def write(path, text):
    path.write_text(textwrap.dedent(text))
    return path


@pytest.fixture
def config(bundle, tmp_path):
    path = tmp_path / "run.yml"
    path.write_text(yaml.safe_dump(market_config(bundle, end_date="2020-01-08")))
    return path


def invoke(*args):
    result = CliRunner().invoke(main, [str(a) for a in args])
    return result, result.output


@pytest.mark.parametrize("cash", ["inf", "-inf", "nan", "1e400"])
def test_start_cash_must_be_finite(config, tmp_path, cash):
    result, output = invoke("run", write(tmp_path / "s.py", HOLD), "--config", config, "--cash", cash)
    assert result.exit_code == 1
    assert "base.accounts.STOCK: starting cash must be" in output and "Traceback" not in output


@pytest.mark.parametrize("source, where", [
    ("import sys\n\ndef handle_bar(context, bar_dict):\n    sys.exit(0)\n",
     "line 4 (in handle_bar) called sys.exit(0)"),
    ("import sys\n\ndef init(context):\n    sys.exit()\n", "line 4 (in init) called sys.exit()"),
    ("import sys\nsys.exit(0)\n", "line 2 called sys.exit(0) while loading"),
])
def test_strategy_calling_sys_exit_is_a_failure(config, tmp_path, source, where):
    strategy = write(tmp_path / "quitter.py", source)
    out = tmp_path / "report"
    result, output = invoke("run", strategy, "--config", config, "-o", out)
    assert result.exit_code == 1, output
    assert "quitter.py " + where in output
    assert not out.exists()


@pytest.mark.parametrize("source, expected", [
    ("def handle_bar(context):\n    pass\n", "bad_hooks.py line 1: handle_bar(context) must take (context, bar_dict)"),
    ("x = 1\n\ndef before_trading():\n    pass\n", "bad_hooks.py line 3: before_trading() must take (context)"),
    ("def handle_bar(context, bar_dict):\n    order_shares('ZZZZ', 100)\n", "unknown instrument 'ZZZZ'"),
    ("def handle_bar(context, bar_dict):\n    get_position('999999')\n", "unknown instrument '999999'"),
])
def test_strategy_mistakes_name_the_file_and_what(config, tmp_path, source, expected):
    result, output = invoke("run", write(tmp_path / "bad_hooks.py", source), "--config", config)
    assert result.exit_code == 1 and expected in output, output
    assert "Traceback" not in output


@pytest.mark.parametrize("args, expected", [
    (["--mod", "sys_simulation.commission_rate=abc"], "mod.sys_simulation.commission_rate: expected a number >= 0, "
                                                      "got 'abc'"),
    (["--mod", "sys_simulation.tax_rate=.inf"], "mod.sys_simulation.tax_rate"),
    (["--mod", "fnd.status_limit=false"], "unknown plug-in section 'fnd' in override mod.fnd.status_limit=... "
                                          "(did you mean mod.fund?)"),
])
def test_bad_plugin_settings_on_the_command_line_name_the_key(config, tmp_path, args, expected):
    result, output = invoke("run", write(tmp_path / "s.py", HOLD), "--config", config, *args)
    assert result.exit_code == 1 and expected in output, output


@pytest.mark.parametrize("sections, expected", [
    ({"fnd": {"status_limit": False}}, "unknown plug-in section mod.fnd (did you mean mod.fund?)"),
    ({"sys_acounts": {"dividend_reinvestment": True}}, "mod.sys_acounts (did you mean mod.sys_accounts?)"),
    ({"fund_settings_of_mine": {"x": 1}}, "unknown plug-in section mod.fund_settings_of_mine"),
])
def test_misspelt_plugin_section_in_the_file_is_refused_like_on_the_command_line(bundle, tmp_path, sections,
                                                                                 expected):
    data = market_config(bundle, end_date="2020-01-08")
    data["mod"].update(sections)
    path = tmp_path / "typo.yml"
    path.write_text(yaml.safe_dump(data))
    for command in (["run", write(tmp_path / "s.py", HOLD)], ["config"]):
        result, output = invoke(*command, "--config", path)
        assert result.exit_code == 1 and expected in output, output


def test_zero_start_cash_runs_without_numpy_warnings(config, tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result, output = invoke("run", write(tmp_path / "s.py", HOLD), "--config", config, "--cash", 0,
                                "-o", tmp_path / "out")
    assert result.exit_code == 0, output
    assert "Warning" not in output
    assert json.loads((tmp_path / "out" / "summary.json").read_text())["total_return"] is None


def test_failed_save_says_the_earlier_report_is_unchanged(config, tmp_path, monkeypatch):
    strategy = write(tmp_path / "s.py", HOLD)
    out = tmp_path / "report"
    assert invoke("run", strategy, "--config", config, "-o", out)[0].exit_code == 0
    before = {name: (out / name).read_bytes() for name in os.listdir(out)}

    def full_disk(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pd.DataFrame, "to_csv", full_disk)
    result, output = invoke("run", strategy, "--config", config, "--cash", 5000, "-o", out)
    assert result.exit_code == 1
    assert "cannot write the report to {}: [Errno 28] No space left on device; the earlier report in {} is " \
           "unchanged".format(out, out) in output
    assert {name: (out / name).read_bytes() for name in os.listdir(out)} == before

    monkeypatch.setattr(pd.DataFrame, "to_csv", lambda *a, **k: (_ for _ in ()).throw(KeyboardInterrupt))
    result, output = invoke("run", strategy, "--config", config, "-o", tmp_path / "never")
    assert result.exit_code == 130 and "nothing was written there" in output
    assert not (tmp_path / "never").exists()


def test_closed_standard_output_keeps_the_report(config, tmp_path):
    strategy = write(tmp_path / "s.py", HOLD)
    out = tmp_path / "report"
    reader, writer = os.pipe()
    os.close(reader)  # `| head -c0`: nobody reads what the run prints
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(host_helpers.__file__)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    try:
        done = subprocess.run([sys.executable, "-m", "tessel.cli", "run", str(strategy), "--config", str(config),
                               "-o", str(out), "--log-level", "none"], stdout=writer, stderr=subprocess.PIPE,
                              env=env, cwd=str(tmp_path), timeout=300)
    finally:
        os.close(writer)
    assert done.returncode == 1
    assert done.stderr.decode() == ""
    assert sorted(os.listdir(out)) == ["daily.csv", "orders.csv", "positions.csv", "report.png", "summary.json",
                                       "trades.csv"]
    assert json.loads((out / "summary.json").read_text())["trades"] == 1


@pytest.fixture(scope="module")
def short_fund_database(tmp_path_factory):
    """The sample fund database with its NAV data cut after 2020-06-30, and the calendar bundle."""
    from vexdatac.cli import main as vexdatac_cli

    root = tmp_path_factory.mktemp("short_funds")
    db, bundle = root / "funds.sqlite", root / "bundle"
    for args in (["sample", "--db", db], ["export-calendar", bundle, "--db", db]):
        result = CliRunner().invoke(vexdatac_cli, [str(a) for a in args], catch_exceptions=False)
        assert result.exit_code == 0, result.output
    with sqlite3.connect(db) as conn:
        conn.execute("DELETE FROM nav WHERE date > '2020-06-30'")
    conn.close()
    return db, bundle


@pytest.mark.parametrize("start, end, warned", [
    ("2020-06-01", "2020-07-31", True),
    ("2020-01-02", "2020-06-30", False),
])
def test_window_beyond_the_fund_data_is_warned_with_both_ranges(short_fund_database, tmp_path, monkeypatch, start,
                                                               end, warned):
    db, bundle = short_fund_database
    monkeypatch.setenv("VEXDATAC_DB", str(db))  # the run sets it from --db; put it back afterwards
    strategy = write(tmp_path / "idle.py", "def handle_bar(context, bar_dict):\n    pass\n")
    result, output = invoke("run", strategy, "--db", db, "--bundle", bundle, "--start-date", start, "--end-date", end)
    assert result.exit_code == 0, output
    line = [text for text in output.splitlines() if "reaches beyond the NAV data" in text]
    if warned:
        assert len(line) == 1 and "WARNING" in line[0]
        assert "{} to {}".format(start, end) in line[0] and "2015-01-01 to 2020-06-30" in line[0]
        assert str(db) in line[0]
    else:
        assert line == []
