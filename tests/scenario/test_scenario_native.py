"""A whole backtest gives the same files with the engine's Python definitions as with its native ones."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from scenario_helpers import build_sample_database

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("example", ["monthly_rebalance", "money_market_parking", "buy_and_hold"])
def test_native_and_python_definitions_write_the_same_report(tmp_path_factory, example):
    """Two years of an example, native and with TESSEL_NATIVE=0: every file of the report identical."""
    data = tmp_path_factory.getbasetemp() / "native-sample"
    if not (data / "funds.sqlite").exists():
        build_sample_database(data)
    db, bundle = data / "funds.sqlite", data / "bundle"
    work = tmp_path_factory.mktemp(example)
    outputs = []
    for native in ("1", "0"):
        out = work / ("report" + native)
        subprocess.run([sys.executable, "-m", "tessel.cli", "run", str(EXAMPLES / (example + ".py")),
                        "-c", str(EXAMPLES / (example + ".yml")), "--db", str(db), "--bundle", str(bundle),
                        "--start-date", "2019-01-02", "--end-date", "2020-12-31", "-o", str(out),
                        "--no-progress", "--log-level", "error"],
                       check=True, env=dict(os.environ, TESSEL_NATIVE=native), capture_output=True, cwd=str(work))
        outputs.append(out)
    names = sorted(p.name for p in outputs[0].iterdir())
    assert "positions.csv" in names and names == sorted(p.name for p in outputs[1].iterdir())
    for name in names:
        assert (outputs[0] / name).read_bytes() == (outputs[1] / name).read_bytes(), name
