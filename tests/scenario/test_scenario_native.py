"""A whole backtest gives the same files with the engine's Python definitions as with its native ones."""
import os
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

from scenario_helpers import build_sample_database
from test_scenario_random_runs import draw_case, fuzz_seeds

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# TESSEL_FUZZ_SEEDS=FIRST:LAST compares the reports of a longer sweep of random strategies (not in CI).
RANDOM_SEEDS = fuzz_seeds([19, 76, 2024])


def _sample(tmp_path_factory):
    data = tmp_path_factory.getbasetemp() / "native-sample"
    if not (data / "funds.sqlite").exists():
        build_sample_database(data)
    return data / "funds.sqlite", data / "bundle"


def _same_reports(work, strategy, config, db, bundle, *options):
    """The report of one run with the native definitions and one with TESSEL_NATIVE=0: every file identical."""
    outputs = []
    for native in ("1", "0"):
        out = work / ("report" + native)
        subprocess.run([sys.executable, "-m", "tessel.cli", "run", str(strategy), "-c", str(config), "--db", str(db),
                        "--bundle", str(bundle), *options, "-o", str(out), "--no-progress", "--log-level", "error"],
                       check=True, env=dict(os.environ, TESSEL_NATIVE=native), capture_output=True, cwd=str(work))
        outputs.append(out)
    names = sorted(p.name for p in outputs[0].iterdir())
    assert "positions.csv" in names and names == sorted(p.name for p in outputs[1].iterdir())
    for name in names:
        assert (outputs[0] / name).read_bytes() == (outputs[1] / name).read_bytes(), name


@pytest.mark.parametrize("example", ["monthly_rebalance", "money_market_parking", "buy_and_hold"])
def test_native_and_python_definitions_write_the_same_report(tmp_path_factory, example):
    """Two years of an example, native and with TESSEL_NATIVE=0."""
    db, bundle = _sample(tmp_path_factory)
    _same_reports(tmp_path_factory.mktemp(example), EXAMPLES / (example + ".py"), EXAMPLES / (example + ".yml"),
                  db, bundle, "--start-date", "2019-01-02", "--end-date", "2020-12-31")


@pytest.mark.parametrize("seed", RANDOM_SEEDS)
def test_random_strategies_write_the_same_report_either_way(tmp_path_factory, seed):
    """The seeded random strategies (subscriptions, redemptions of more or less than held, rebalances, on
    random days, with money-market income, dividends cash or reinvested, splits and delistings):
    native and with TESSEL_NATIVE=0."""
    db, bundle = _sample(tmp_path_factory)
    work = tmp_path_factory.mktemp("seed{}".format(seed))
    config, source = draw_case(seed, bundle)
    (work / "strategy.py").write_text(source, encoding="utf-8")
    (work / "config.yml").write_text(yaml.safe_dump(config), encoding="utf-8")
    _same_reports(work, work / "strategy.py", work / "config.yml", db, bundle)
