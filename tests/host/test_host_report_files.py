"""Saving a report: tables without binary noise at any size, valid JSON, and no half-written folder."""
import json
import logging
import math
import os
import stat
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import tessel.report
import tessel.result
from tessel.result import ReportSaveError, RunResult, compute_summary, round_for_csv

REPORT = ["daily.csv", "orders.csv", "positions.csv", "report.png", "summary.json", "trades.csv"]


def make_result(values=(100.0, 101.0), fee=1.5):
    days = pd.DatetimeIndex(pd.bdate_range("2020-01-02", periods=len(values)), name="date")
    daily = pd.DataFrame({"cash": list(values), "market_value": 0.0, "receivable_units": 0.0,
                          "receivable_units_value": 0.0, "receivable_cash": 0.0, "dividend_receivable": 0.0,
                          "total_value": list(values), "cash_change": 0.0}, index=days)
    trades = pd.DataFrame({"date": days[:1], "order_book_id": ["F"], "fee": [fee]})
    return RunResult(daily=daily, positions=pd.DataFrame(), trades=trades, orders=pd.DataFrame(),
                     summary=compute_summary(daily, values[0], trades))


def snapshot(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def test_csv_values_lose_binary_noise_at_every_size_and_small_ones_keep_ten_decimals():
    cases = {1785599.9999999998: "1785600.0", -1803455.9999999995: "-1803456.0", 0.30000000000000004: "0.3",
             123456789.12345679: "123456789.123457", 3.0000000000000004e20: "3e+20", 1.7429999999999997: "1.743",
             43276.0114: "43276.0114", 1e-12: "0.0", 1.0000000000000002e+307: "1e+307"}
    assert [repr(float(v)) for v in round_for_csv(list(cases))] == list(cases.values())
    rng = np.random.default_rng(7)
    small = np.concatenate([rng.uniform(-1e5, 1e5, 2000), rng.uniform(-1, 1, 2000) * 10.0 ** rng.integers(-9, 5, 2000),
                            [0.0, np.nan, np.inf, -np.inf]])
    np.testing.assert_array_equal(round_for_csv(small), np.round(small, 10))


def test_large_and_absurd_figures_are_saved_readably_without_numpy_warnings(tmp_path):
    values = (1e6, 1785599.9999999998, 1e307, 1e308)  # the last ones: a NAV of 1e308 in imported data
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = make_result(values, fee=-1803455.9999999995)
        result.summary = compute_summary(result.daily, 1e6, benchmark=np.array(values), benchmark_id="B")
        result.save(tmp_path / "out")
    daily = (tmp_path / "out" / "daily.csv").read_text()
    assert "2020-01-03,1785600.0," in daily and "2020-01-06,1e+307," in daily
    assert "-1803456.0" in (tmp_path / "out" / "trades.csv").read_text()
    summary = json.loads((tmp_path / "out" / "summary.json").read_text(),
                         parse_constant=lambda name: pytest.fail("not JSON: " + name))
    assert summary["annual_return"] is None and summary["annual_volatility"] is None
    assert summary["end_value"] == 1e308 and summary["total_return"] == 1e302  # exact figures, not rounded
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(tmp_path / "out").st_mode) == 0o777 & ~umask  # not a private temporary folder


def _fail_on_call(monkeypatch, owner, name, number, error):
    real, calls = getattr(owner, name), []

    def failing(*args, **kwargs):
        calls.append(args)
        if len(calls) == number:
            raise error
        return real(*args, **kwargs)

    monkeypatch.setattr(owner, name, failing)


@pytest.mark.parametrize("own_files", [False, True], ids=["report-only", "with-own-files"])
@pytest.mark.parametrize("owner, name, number, error", [
    (tessel.result, "write_csv", 3, OSError(28, "No space left on device")),
    (json, "dump", 1, OSError(28, "No space left on device")),
    (tessel.report, "plot_report", 1, KeyboardInterrupt()),
    (os, "rename", 5, OSError(16, "Device or resource busy")),  # while moving the report into place
], ids=["table", "summary", "ctrl-c", "move"])
def test_failed_save_leaves_the_earlier_report_as_it_was(tmp_path, monkeypatch, own_files, owner, name, number,
                                                         error):
    folder = tmp_path / "report"
    folder.mkdir()
    if own_files:
        (folder / "notes.txt").write_text("mine")
    make_result((100.0, 90.0)).save(folder)
    os.chmod(folder, 0o750)
    before = snapshot(folder)
    if own_files or name != "rename":
        _fail_on_call(monkeypatch, owner, name, number, error)
    else:  # a swap of whole folders renames twice: the second (new folder into place) fails
        _fail_on_call(monkeypatch, owner, name, 2, error)
    with pytest.raises((ReportSaveError, KeyboardInterrupt)) as failure:
        make_result((100.0, 120.0)).save(folder)
    monkeypatch.undo()
    if failure.type is ReportSaveError:
        assert "the earlier report in {} is unchanged".format(folder) in str(failure.value)
    assert snapshot(folder) == before and stat.S_IMODE(os.stat(folder).st_mode) == 0o750
    assert [n for n in os.listdir(tmp_path) if n.startswith(".")] == []  # no temporary folder left

    make_result((100.0, 120.0)).save(folder)
    assert (folder / "daily.csv").read_bytes() != before["daily.csv"]
    assert stat.S_IMODE(os.stat(folder).st_mode) == 0o750
    assert sorted(os.listdir(folder)) == sorted(REPORT + (["notes.txt"] if own_files else []))


_KILLED_SAVE = """
import os, signal, sys
sys.path.insert(0, {tests!r})
import tessel.result
from test_host_report_files import make_result

real, calls = tessel.result.write_csv, []

def write_then_die(*args, **kwargs):
    calls.append(args)
    if len(calls) == 2:
        os.kill(os.getpid(), signal.SIGKILL)  # as the out-of-memory killer would, mid-save
    return real(*args, **kwargs)

tessel.result.write_csv = write_then_die
make_result((100.0, 130.0)).save({folder!r})
"""


@pytest.mark.skipif(os.name != "posix", reason="SIGKILL and process probing are POSIX")
def test_a_save_killed_outright_leaves_a_partial_folder_that_the_next_save_removes(tmp_path):
    import subprocess
    import sys

    folder = tmp_path / "report"
    make_result((100.0, 90.0)).save(folder)
    before = snapshot(folder)
    child = subprocess.run([sys.executable, "-c", _KILLED_SAVE.format(tests=os.path.dirname(__file__),
                                                                       folder=str(folder))],
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [
                               os.path.dirname(os.path.dirname(tessel.result.__file__)),
                               os.environ.get("PYTHONPATH")]))), capture_output=True)
    assert child.returncode == -9, child.stderr.decode()
    abandoned = [n for n in os.listdir(tmp_path) if n.startswith(".")]
    assert len(abandoned) == 1 and abandoned[0].endswith(".partial")
    assert os.listdir(tmp_path / abandoned[0]) == ["daily.csv"]  # the first table, written before the kill
    assert snapshot(folder) == before
    # Written to in the last ten minutes: it stays (its process id may be one of another PID namespace).
    make_result((100.0, 110.0)).save(folder)
    assert [n for n in os.listdir(tmp_path) if n.startswith(".")] == abandoned

    # Partial folders that are not abandoned: a save still running here, one of another machine,
    # and names this code never writes; all of them last written to an hour ago.
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    host = tessel.result._host()
    other_host = "00000000" if host != "00000000" else "11111111"
    kept = [".report.0123abcd.{}@{}.partial".format(sleeper.pid, host),
            ".report.0123abcd.{}@{}.partial".format(child_pid_gone(), other_host),
            ".report.notahex!.{}@{}.partial".format(child_pid_gone(), host),
            ".reports.0123abcd.{}@{}.partial".format(child_pid_gone(), host),
            ".report.0123abcd.previous"]
    hour_ago = time.time() - 3600
    try:
        for name in kept:
            (tmp_path / name).mkdir()
            (tmp_path / name / "daily.csv").write_text("x")
        for path in [tmp_path / name for name in kept + abandoned]:
            for inside in [path, *path.iterdir()]:
                os.utime(inside, (hour_ago, hour_ago))
        make_result((100.0, 120.0)).save(folder)
    finally:
        sleeper.kill()
        sleeper.wait()
    assert sorted(n for n in os.listdir(tmp_path) if n.startswith(".")) == sorted(kept)
    assert snapshot(folder) != before and sorted(os.listdir(folder)) == REPORT


def child_pid_gone():
    """The id of a process that has ended."""
    import subprocess
    import sys

    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def test_a_picture_that_cannot_be_drawn_does_not_stop_the_tables(tmp_path, monkeypatch, caplog):
    folder = tmp_path / "report"
    make_result((100.0, 90.0)).save(folder)

    def broken(result, path, dpi=130):
        with open(path, "wb") as f:
            f.write(b"\x89PNG" * 31)  # a truncated picture must not be left behind
        raise ValueError("Axis limits cannot be NaN or Inf")

    monkeypatch.setattr(tessel.report, "plot_report", broken)
    with caplog.at_level(logging.WARNING, logger="tessel"):
        paths = make_result((100.0, 120.0)).save(folder)
    assert "report" not in paths and sorted(os.listdir(folder)) == [n for n in REPORT if n != "report.png"]
    assert "120.0" in (folder / "daily.csv").read_text()
    assert any("report.png not drawn (ValueError: Axis limits" in r.getMessage() for r in caplog.records)



def _random_positions(rng, dates, funds, repeated=False, odd=None):
    ids = np.array(["F{:03d}".format(k) for k in rng.permutation(funds)], dtype=object)
    if odd == "numbers":  # ids that are not texts: labelled by their text
        ids[::3] = np.arange(len(ids[::3]))
    rows = [(d, i) for d in dates for i in ids if rng.random() < 0.6]
    rows += [(pd.Timestamp("1990-01-01"), ids[0])]  # a day the daily table does not have
    if repeated:
        rows += rows[:3]
    days, held = zip(*rows)
    n = len(rows)
    value = np.round(rng.lognormal(8, 2, n), 2) * rng.choice([1.0, 1.0, -1.0, 0.0, -0.0], n)
    value[rng.random(n) < 0.02] = np.nan
    value[:40] = value[40]  # holdings that tie
    if odd == "missing":  # a row without an id, late in the table
        held = held[:-7] + (None,) + held[-6:]
    return pd.DataFrame({"date": np.array(days, dtype="datetime64[s]"), "order_book_id": list(held),
                         "quantity": 1.0, "receivable_quantity": rng.choice([0.0, 2.0], n),
                         "last_price": rng.uniform(0.5, 3.0, n), "market_value": value})


@pytest.mark.parametrize("funds, repeated, odd", [(4, False, None), (40, False, None), (40, True, None),
                                                  (12, False, "missing"), (12, False, "numbers")])
def test_holding_layers_equal_those_of_a_pivot_table(monkeypatch, funds, repeated, odd):
    rng = np.random.default_rng(funds)
    dates = pd.DatetimeIndex(pd.bdate_range("2020-01-02", periods=120), name="date")
    positions = _random_positions(rng, dates.drop(dates[5]), funds, repeated, odd)
    holdings = np.zeros(len(dates))
    table = tessel.report._holding_table
    variants = []
    for build in (table, lambda p, d: table(p, d, chunk_rows=97), lambda p, d: tessel.report._pivot(
            p["date"], p["order_book_id"], tessel.report._holding_value(p), d)):
        monkeypatch.setattr(tessel.report, "_holding_table", build)
        variants.append(tessel.report._holding_layers(positions, dates, holdings))
    *fast, plain = variants
    for layers in fast:
        assert [(label, color) for _, label, color in layers] == [(label, color) for _, label, color in plain]
        for (a, _, _), (b, _, _) in zip(layers, plain):
            np.testing.assert_array_equal(a.view(np.int64), b.view(np.int64))  # bit for bit, -0.0 included
