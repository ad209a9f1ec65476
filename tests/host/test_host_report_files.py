"""Saving a report: tables without binary noise at any size, valid JSON, and no half-written folder."""
import json
import logging
import math
import os
import stat

import numpy as np
import pandas as pd
import pytest

import tessel.report
from tessel.result import ReportSaveError, RunResult, compute_summary, round_for_csv

REPORT = ["daily.csv", "orders.csv", "positions.csv", "report.png", "summary.json", "trades.csv"]


def make_result(total_values=(100.0, 101.0), fee=1.5):
    days = pd.DatetimeIndex(pd.bdate_range("2020-01-02", periods=len(total_values)), name="date")
    daily = pd.DataFrame({"cash": list(total_values), "market_value": 0.0, "receivable_units": 0.0,
                          "receivable_units_value": 0.0, "receivable_cash": 0.0, "dividend_receivable": 0.0,
                          "total_value": list(total_values), "cash_change": 0.0}, index=days)
    trades = pd.DataFrame({"date": days[:1], "order_book_id": ["F"], "fee": [fee]})
    return RunResult(daily=daily, positions=pd.DataFrame(), trades=trades, orders=pd.DataFrame(),
                     summary=compute_summary(daily, total_values[0], trades))


def snapshot(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def leftovers(parent):
    return [name for name in os.listdir(parent) if name.startswith(".")]


@pytest.mark.parametrize("value, text", [
    (1785599.9999999998, "1785600.0"),
    (-1803455.9999999995, "-1803456.0"),
    (123456789.12345679, "123456789.123457"),
    (3.0000000000000004e20, "3e+20"),
    (0.30000000000000004, "0.3"),
    (1.7429999999999997, "1.743"),
    (43276.0114, "43276.0114"),
    (1e-12, "0.0"),
])
def test_csv_values_lose_binary_noise_at_every_size(value, text):
    assert repr(float(round_for_csv([value])[0])) == text


def test_csv_rounding_below_a_hundred_thousand_is_the_ten_decimal_one():
    rng = np.random.default_rng(7)
    values = np.concatenate([rng.uniform(-1e5, 1e5, 2000), rng.uniform(-1, 1, 2000) * 10.0 ** rng.integers(-9, 5, 2000),
                             [0.0, -0.0, np.nan, np.inf, -np.inf]])
    np.testing.assert_array_equal(round_for_csv(values), np.round(values, 10))


def test_saved_tables_and_summary_of_large_and_non_finite_figures(tmp_path):
    result = make_result((1_000_000.0, 1785599.9999999998), fee=-1803455.9999999995)
    result.summary["sharpe_ratio"] = math.inf
    result.summary["tracking_error"] = -math.inf
    result.save(tmp_path / "out")
    daily = (tmp_path / "out" / "daily.csv").read_text()
    assert "1785600.0" in daily and "99999" not in daily
    assert "-1803456.0" in (tmp_path / "out" / "trades.csv").read_text()
    # strict JSON: NaN and infinities are written as null
    text = (tmp_path / "out" / "summary.json").read_text()
    summary = json.loads(text, parse_constant=lambda name: pytest.fail("non-JSON constant " + name))
    assert summary["sharpe_ratio"] is None and summary["tracking_error"] is None
    assert summary["end_value"] == 1785599.9999999998  # the summary keeps the exact figure


def test_report_folder_permissions_are_the_usual_or_the_earlier_ones(tmp_path):
    folder = tmp_path / "fresh"
    make_result().save(folder)
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(folder).st_mode) == 0o777 & ~umask
    assert sorted(os.listdir(folder)) == REPORT and leftovers(tmp_path) == []
    os.chmod(folder, 0o750)
    make_result((100.0, 120.0)).save(folder)
    assert stat.S_IMODE(os.stat(folder).st_mode) == 0o750


@pytest.fixture
def earlier(tmp_path):
    """A folder holding an earlier report, and its bytes."""
    folder = tmp_path / "report"
    make_result((100.0, 90.0)).save(folder)
    return folder, snapshot(folder)


def _fail_on_call(monkeypatch, owner, name, number, error):
    real = getattr(owner, name)
    calls = []

    def failing(*args, **kwargs):
        calls.append(args)
        if len(calls) == number:
            raise error
        return real(*args, **kwargs)

    monkeypatch.setattr(owner, name, failing)


@pytest.mark.parametrize("owner, name, number, error", [
    (pd.DataFrame, "to_csv", 3, OSError(28, "No space left on device")),  # third table
    (json, "dump", 1, OSError(28, "No space left on device")),
    (os, "rename", 2, OSError(16, "Device or resource busy")),  # the new folder cannot take the name
], ids=["table", "summary", "swap"])
def test_failed_save_leaves_the_earlier_report_as_it_was(earlier, monkeypatch, owner, name, number, error):
    folder, before = earlier
    _fail_on_call(monkeypatch, owner, name, number, error)
    with pytest.raises(ReportSaveError, match="the earlier report in .*report is unchanged"):
        make_result((100.0, 120.0)).save(folder)
    monkeypatch.undo()
    assert snapshot(folder) == before
    assert leftovers(folder.parent) == []


def test_ctrl_c_while_drawing_leaves_the_earlier_report(earlier, monkeypatch):
    folder, before = earlier

    def interrupted(result, path, dpi=130):
        with open(path, "wb") as f:
            f.write(b"\x89PNG")
        raise KeyboardInterrupt

    monkeypatch.setattr(tessel.report, "plot_report", interrupted)
    with pytest.raises(KeyboardInterrupt):
        make_result((100.0, 120.0)).save(folder)
    assert snapshot(folder) == before and leftovers(folder.parent) == []


def test_a_picture_that_cannot_be_drawn_does_not_stop_the_tables(earlier, monkeypatch, caplog):
    folder, before = earlier

    def broken(result, path, dpi=130):
        with open(path, "wb") as f:
            f.write(b"\x89PNG" * 31)  # a truncated picture must not be left behind
        raise ValueError("Axis limits cannot be NaN or Inf")

    monkeypatch.setattr(tessel.report, "plot_report", broken)
    with caplog.at_level(logging.WARNING, logger="tessel"):
        paths = make_result((100.0, 120.0)).save(folder)
    assert "report" not in paths
    assert sorted(os.listdir(folder)) == [n for n in REPORT if n != "report.png"]
    assert (folder / "daily.csv").read_bytes() != before["daily.csv"]
    assert any("report.png not drawn" in r.getMessage() and "NaN or Inf" in r.getMessage() for r in caplog.records)


def test_folder_with_files_of_its_own_keeps_them(tmp_path, monkeypatch):
    folder = tmp_path
    (folder / "notes.txt").write_text("mine")
    (folder / "bundle").mkdir()
    make_result((100.0, 90.0)).save(folder)
    earlier_report = {n: (folder / n).read_bytes() for n in REPORT}

    # a failure while the files are being replaced puts every earlier one back
    _fail_on_call(monkeypatch, os, "rename", 5, OSError(5, "Input/output error"))
    with pytest.raises(ReportSaveError, match="unchanged"):
        make_result((100.0, 120.0)).save(folder)
    monkeypatch.undo()
    assert {n: (folder / n).read_bytes() for n in REPORT} == earlier_report

    make_result((100.0, 120.0)).save(folder)
    assert (folder / "notes.txt").read_text() == "mine" and (folder / "bundle").is_dir()
    assert (folder / "daily.csv").read_bytes() != earlier_report["daily.csv"]
    assert leftovers(folder) == []


def test_target_that_is_a_file_is_refused(tmp_path):
    (tmp_path / "report").write_text("keep me")
    with pytest.raises(ReportSaveError, match="is a file"):
        make_result().save(tmp_path / "report")
    assert (tmp_path / "report").read_text() == "keep me"
