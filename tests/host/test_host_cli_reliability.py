"""The command line under bad input and hostile surroundings: clear errors, and a report that is never lost."""
import json
import os
import sqlite3
import subprocess
import sys
import warnings

import pytest
import yaml
from click.testing import CliRunner

import host_helpers
# The fund plug-in's position classes register when its module is first imported: import it before the
# registry guards of this suite take their snapshot, or a run below would leave later suites without them.
import tessel_mod_fund.position  # noqa: F401
import tessel.result
from host_helpers import market_config
from tessel.cli import main

HOLD = "def handle_bar(context, bar_dict):\n    if context.now.day == 2:\n        order_shares('S1', 100)\n"
EXIT = "import sys\n\ndef handle_bar(context, bar_dict):\n    sys.exit(0)\n"


@pytest.fixture
def config(bundle, tmp_path):
    path = tmp_path / "run.yml"
    path.write_text(yaml.safe_dump(market_config(bundle, end_date="2020-01-08")))
    return path


def invoke(*args):
    result = CliRunner().invoke(main, [str(a) for a in args])
    return result, result.output


@pytest.mark.parametrize("source, args, expected", [
    (HOLD, ["--cash", "inf"], "base.accounts.STOCK: starting cash must be a finite amount, got inf"),
    (HOLD, ["--mod", "sys_simulation.commission_rate=abc"],
     "mod.sys_simulation.commission_rate: expected a number >= 0, got 'abc'"),
    (HOLD, ["--mod", "fnd.status_limit=false"], "section 'fnd' in override mod.fnd.status_limit=... (did you mean "
                                                "mod.fund?)"),
    (EXIT, [], "strategy.py line 4 (in handle_bar) called sys.exit(0)"),
    ("import sys\nsys.exit(0)\n", [], "strategy.py line 2 called sys.exit(0) while loading"),
    ("def handle_bar(context):\n    pass\n", [], "strategy.py line 1: handle_bar(context) must take (context, "
                                                 "bar_dict)"),
    ("def handle_bar(context, bar_dict):\n    order_shares('ZZZZ', 100)\n", [], "unknown instrument 'ZZZZ'"),
    ("def handle_bar(context, bar_dict):\n    get_position('999999')\n", [], "unknown instrument '999999'"),
    # Not looked up as several ids at once (a list's first instrument used as if it were one).
    ("def handle_bar(context, bar_dict):\n    get_position(['S1'])\n", [],
     "raised TypeError: order book id must be a text, got ['S1']"),
    ("def handle_bar(context, bar_dict):\n    get_position(('S1',))\n", [],
     "raised TypeError: order book id must be a text, got ('S1',)"),
    # The strategy functions name the argument that is wrong, not an attribute missing deep inside.
    ("def handle_bar(context, bar_dict):\n    history_bars(['S1'], 5)\n", [],
     "raised TypeError: history_bars: order book id must be a text, got ['S1']"),
    ("def handle_bar(context, bar_dict):\n    cancel_order('S1')\n", [],
     "raised TypeError: cancel_order: expected an Order, got 'S1'"),
    ("def handle_bar(context, bar_dict):\n    submit_order(None)\n", [],
     "raised TypeError: submit_order: expected an Order, got None"),
    ("def handle_bar(context, bar_dict):\n    order_shares('S1', '100')\n", [],
     "raised TypeError: order_shares of S1: amount must be a finite number of units, got '100'"),
    ("def handle_bar(context, bar_dict):\n    order_shares('S1', float('nan'))\n", [],
     "raised TypeError: order_shares of S1: amount must be a finite number of units, got nan"),
    ("def handle_bar(context, bar_dict):\n    order_shares('S1', 100, {})\n", [],
     "raised TypeError: order_shares of S1: price must be a number (a limit) or None, got {}"),
])
def test_bad_strategy_or_setting_fails_naming_what_and_where(config, tmp_path, source, args, expected):
    strategy = tmp_path / "strategy.py"
    strategy.write_text(source)
    result, output = invoke("run", strategy, "--config", config, "-o", tmp_path / "out", *args)
    assert result.exit_code == 1 and expected in output, output
    assert "Traceback" not in output and not (tmp_path / "out").exists()


@pytest.mark.parametrize("section, expected", [
    ("fnd", "unknown plug-in section mod.fnd (did you mean mod.fund?)"),
    ("sys_acounts", "unknown plug-in section mod.sys_acounts (did you mean mod.sys_accounts?)"),
    ("settings_of_mine", "unknown plug-in section mod.settings_of_mine (known: "),
])
def test_misspelt_plugin_section_in_the_file_is_refused_like_on_the_command_line(bundle, tmp_path, section,
                                                                                 expected):
    data = market_config(bundle)
    data["mod"][section] = {"status_limit": False}
    path = tmp_path / "typo.yml"
    path.write_text(yaml.safe_dump(data))
    (tmp_path / "s.py").write_text(HOLD)
    for command in (["run", tmp_path / "s.py"], ["config"]):
        result, output = invoke(*command, "--config", path)
        assert result.exit_code == 1 and expected in output, output


@pytest.mark.parametrize("path, value, expected", [
    (("mod",), 1e308, "mod: expected a mapping of plug-in sections, got 1e+308"),
    (("mod",), ["fund"], "mod: expected a mapping of plug-in sections, got ['fund']"),
    (("mod", "fund"), 3, "mod.fund: expected a mapping, got 3"),
    (("base",), 5, "base: expected a mapping, got 5"),
    (("base", "accounts"), [1, 2], "base.accounts: expected a non-empty mapping of account type to starting "
                                   "cash, got [1, 2]"),
])
@pytest.mark.parametrize("options", [[], ["--cash", "5000", "--start-date", "2020-01-02", "--mod",
                                          "fund.status_limit=false"]], ids=["file", "file+options"])
def test_section_of_the_wrong_kind_in_the_file_is_refused_whatever_the_options(bundle, tmp_path, path, value,
                                                                               expected, options):
    """Not a traceback, and not hidden by the options: a mapping merged over anything else would replace it."""
    data = market_config(bundle)
    node = data
    for key in path[:-1]:
        node = node.setdefault(key, {})
    node[path[-1]] = value
    (tmp_path / "bad.yml").write_text(yaml.safe_dump(data))
    (tmp_path / "s.py").write_text(HOLD)
    result, output = invoke("run", tmp_path / "s.py", "--config", tmp_path / "bad.yml", "-o", tmp_path / "out",
                            *options)
    assert result.exit_code == 1 and expected in output, output
    assert "Traceback" not in output and not (tmp_path / "out").exists()


def test_zero_start_cash_runs_without_numpy_warnings(config, tmp_path):
    (tmp_path / "s.py").write_text(HOLD)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result, output = invoke("run", tmp_path / "s.py", "--config", config, "--cash", 0, "-o", tmp_path / "out")
    assert result.exit_code == 0 and "Warning" not in output, output
    assert json.loads((tmp_path / "out" / "summary.json").read_text())["total_return"] is None


def test_failed_save_says_what_became_of_the_folder(config, tmp_path, monkeypatch):
    (tmp_path / "s.py").write_text(HOLD)
    out = tmp_path / "report"
    assert invoke("run", tmp_path / "s.py", "--config", config, "-o", out)[0].exit_code == 0
    before = {name: (out / name).read_bytes() for name in os.listdir(out)}
    for error, target, code, message in [
            (OSError(28, "No space left on device"), out, 1,
             "cannot write the report to {0}: [Errno 28] No space left on device; the earlier report in {0} is "
             "unchanged".format(out)),
            (KeyboardInterrupt(), tmp_path / "never", 130, "nothing was written there")]:
        monkeypatch.setattr(tessel.result, "write_csv", lambda *a, error=error, **k: (_ for _ in ()).throw(error))
        result, output = invoke("run", tmp_path / "s.py", "--config", config, "--cash", 5000, "-o", target)
        assert result.exit_code == code and message in output, output
    assert {name: (out / name).read_bytes() for name in os.listdir(out)} == before
    assert not (tmp_path / "never").exists()


def test_closed_standard_output_keeps_the_report(config, tmp_path):
    (tmp_path / "s.py").write_text(HOLD)
    reader, writer = os.pipe()
    os.close(reader)  # `| head -c0`: nobody reads what the run prints
    paths = [os.path.dirname(host_helpers.__file__)] + [p for p in [os.environ.get("PYTHONPATH")] if p]
    try:
        done = subprocess.run([sys.executable, "-m", "tessel.cli", "run", "s.py", "--config", str(config), "-o",
                               "report", "--log-level", "none"], stdout=writer, stderr=subprocess.PIPE,
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(paths)), cwd=tmp_path, timeout=300)
    finally:
        os.close(writer)
    assert (done.returncode, done.stderr.decode()) == (1, "")
    assert len(os.listdir(tmp_path / "report")) == 6
    assert json.loads((tmp_path / "report" / "summary.json").read_text())["trades"] == 1


def _sample_database(root):
    """The sample fund database and its calendar bundle, made in ``root``: (database, bundle)."""
    from vexdatac.cli import main as vexdatac_cli

    for args in (["sample", "--db", root / "funds.sqlite"], ["export-calendar", root / "bundle", "--db",
                                                            root / "funds.sqlite"]):
        result = CliRunner().invoke(vexdatac_cli, [str(a) for a in args], catch_exceptions=False)
        assert result.exit_code == 0, result.output
    return root / "funds.sqlite", root / "bundle"


@pytest.fixture(scope="module")
def sample_fund_database(tmp_path_factory):
    return _sample_database(tmp_path_factory.mktemp("sample_funds"))


@pytest.fixture(scope="module")
def short_fund_database(tmp_path_factory):
    """The sample fund database with its NAV data cut after 2020-06-30, and its calendar bundle."""
    db, bundle = _sample_database(tmp_path_factory.mktemp("short_funds"))
    conn = sqlite3.connect(db)
    with conn:
        conn.execute("DELETE FROM nav WHERE date > '2020-06-30'")
    conn.close()
    return db, bundle


@pytest.mark.parametrize("seed", range(6))
def test_the_nav_date_range_read_by_index_equals_the_full_scan(seed):
    import random

    from tessel.data.nav_window import NAV_DATE_RANGE
    from vexdatac.db import schema_sql

    rng = random.Random(seed)
    conn = sqlite3.connect(":memory:")
    conn.executescript(schema_sql())
    ids = ["{:06d}".format(rng.randrange(10 ** 6)) for _ in range(rng.randrange(0, 40))] + ["", "F'1", "基金", "a b"]
    rows = {(rng.choice(ids), "{:04d}-{:02d}-{:02d}".format(rng.randrange(1990, 2040), rng.randrange(1, 13),
                                                             rng.randrange(1, 29))) for _ in range(rng.randrange(0, 400))}
    rows |= {(rng.choice(ids), text) for text in rng.sample(["2020-1-2", "", "x", "20200102", "2020-01-02 00:00"], 2)
             if rng.random() < 0.5}  # texts that are not dates order as texts: the same in both
    conn.executemany("INSERT INTO nav (order_book_id, date, unit_net_value, adjusted_net_value) VALUES (?, ?, 1, 1)",
                     sorted(rows))
    expected = conn.execute("SELECT MIN(date), MAX(date) FROM nav").fetchall()
    assert conn.execute(NAV_DATE_RANGE).fetchall() == expected
    assert "SCAN nav" not in " ".join(str(r) for r in conn.execute("EXPLAIN QUERY PLAN " + NAV_DATE_RANGE))


@pytest.mark.parametrize("start, end, warned", [("2020-06-01", "2020-07-31", True),
                                                ("2020-01-02", "2020-06-30", False)])
def test_window_beyond_the_fund_data_is_warned_naming_both_ranges(short_fund_database, tmp_path, monkeypatch, start,
                                                                 end, warned):
    db, bundle = short_fund_database
    monkeypatch.setenv("VEXDATAC_DB", str(db))  # --db sets it for the process: put it back afterwards
    (tmp_path / "idle.py").write_text("")
    result, output = invoke("run", tmp_path / "idle.py", "--db", db, "--bundle", bundle, "--start-date", start,
                            "--end-date", end)
    assert result.exit_code == 0, output
    lines = [text[text.index("WARNING"):] for text in output.splitlines() if "reaches beyond the NAV data" in text]
    assert lines == (["WARNING  [tessel] the run's window {} to {} reaches beyond the NAV data of the fund database "
                      "{}, 2015-01-01 to 2020-06-30: held funds keep their last value and orders are refused "
                      "outside it".format(start, end, db)] if warned else [])


def test_window_beyond_the_fund_data_is_warned_from_python_too_after_the_dates_are_checked(short_fund_database,
                                                                                          tmp_path, caplog):
    import vexdatac
    from tessel.run import run

    db, bundle = short_fund_database
    (tmp_path / "idle.py").write_text("")
    config = {"base": {"start_date": "2020-06-01", "end_date": "2020-07-31", "data_bundle_path": str(bundle)}}
    vexdatac.set_database(str(db))
    try:
        with caplog.at_level("WARNING", logger="tessel.system"):
            run(config, str(tmp_path / "idle.py"))
            warned = [r.getMessage() for r in caplog.records if "reaches beyond the NAV data" in r.getMessage()]
            assert warned == ["the run's window 2020-06-01 to 2020-07-31 reaches beyond the NAV data of the fund "
                              "database {}, 2015-01-01 to 2020-06-30: held funds keep their last value and orders "
                              "are refused outside it".format(db)]
            caplog.clear()
            # Dates the calendar refuses are the error, with no word of the NAV data before it.
            config["base"]["end_date"] = "2030-01-31"
            with pytest.raises(Exception, match="outside the trading calendar"):
                run(config, str(tmp_path / "idle.py"))
            assert not [r for r in caplog.records if "reaches beyond the NAV data" in r.getMessage()]
    finally:
        vexdatac.set_database(None)


# What a run loads: the picture's library only when a report is drawn, the sweep's cluster library never.
_LOADED = """
import sys
from tessel.cli import main
try:
    main(sys.argv[1:], prog_name="tessel")
finally:
    print("LOADED", " ".join(sorted({name.split(".")[0] for name in sys.modules})), file=sys.stderr)
"""


@pytest.mark.parametrize("report", [False, True], ids=["no-report", "report"])
def test_a_run_imports_the_picture_library_only_for_its_report_and_dask_never(config, tmp_path, report):
    (tmp_path / "s.py").write_text(HOLD)
    paths = [os.path.dirname(host_helpers.__file__)] + [p for p in [os.environ.get("PYTHONPATH")] if p]
    done = subprocess.run([sys.executable, "-c", _LOADED, "run", "s.py", "--config", str(config), "--log-level",
                           "none", "--no-progress"] + (["-o", "report"] if report else []),
                          capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(paths)),
                          cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr
    loaded = set(next(line for line in done.stderr.splitlines() if line.startswith("LOADED ")).split()[1:])
    assert "tessel" in loaded and "pandas" in loaded
    assert not loaded & {"dask", "distributed"}
    assert ("matplotlib" in loaded) == report



# Subscribes to a fund on the first day; redeems all of it on the day "sell_on" names.
_HOLD = """
def init(context):
    context.bought = False


def handle_bar(context, bar_dict):
    fund = context.params["fund"]
    if not context.bought:
        subscribe(fund, 100000)
        context.bought = True
    if context.now.strftime("%Y-%m-%d") == context.params["sell_on"]:
        redeem_all(fund)
"""


# 000008 is delisted on 2021-06-30 in the sample data; 000001 never is.
@pytest.mark.parametrize("fund, sell_on, warned", [("000008", "never", True), ("000008", "2021-06-15", False),
                                                   ("000001", "never", False)])
def test_a_holding_that_outlives_its_fund_is_named_at_the_end(sample_fund_database, tmp_path, monkeypatch, fund,
                                                              sell_on, warned):
    import re

    import pandas as pd

    db, bundle = sample_fund_database
    monkeypatch.setenv("VEXDATAC_DB", str(db))  # --db sets it for the process: put it back afterwards
    (tmp_path / "hold.py").write_text(_HOLD)
    result, output = invoke("run", tmp_path / "hold.py", "--db", db, "--bundle", bundle, "--start-date",
                            "2021-06-01", "--end-date", "2021-07-30", "--param", "fund=" + fund,
                            "--param", "sell_on=" + sell_on, "-o", tmp_path / "out")
    assert result.exit_code == 0, output
    lines = [text[text.index("WARNING"):] for text in output.splitlines() if "still held at the end" in text]
    if not warned:
        assert lines == []
        return
    [line] = lines
    found = re.fullmatch(r"WARNING  \[tessel\] 000008 is still held at the end of the run but was delisted on "
                         r"2021-06-30: its ([\d,.]+) units keep their last price \(worth ([\d,.]+)\) and no order "
                         r"could trade them after its last bar", line)
    assert found, line
    positions = pd.read_csv(tmp_path / "out" / "positions.csv", dtype={"order_book_id": str})
    last = positions[positions["date"] == "2021-07-30"].set_index("order_book_id")
    units, worth = (float(text.replace(",", "")) for text in found.groups())
    assert units == last.loc["000008", "quantity"] > 0
    assert worth == pytest.approx(last.loc["000008", "equity"], abs=0.005)
