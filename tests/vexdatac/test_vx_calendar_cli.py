"""Trading calendar data and the command line."""
import datetime as dt

import pytest
from click.testing import CliRunner

from vexdatac import calendar_data, fund
from vexdatac.cli import main


@pytest.mark.parametrize(
    "year, days",
    [(2015, 244), (2016, 244), (2017, 244), (2018, 243), (2019, 244),
     (2020, 243), (2021, 243), (2022, 242), (2023, 242), (2024, 242)],
)
def test_trading_days_per_year(year, days):
    assert len(calendar_data.trading_dates(year, year)) == days


@pytest.mark.parametrize(
    "day",
    ["2015-09-03", "2018-12-31", "2020-01-31", "2023-09-29", "2024-02-09", "2024-05-03"],
    ids=["victory day 2015", "new year eve 2018", "extended spring festival 2020",
         "mid-autumn 2023", "spring festival eve 2024", "labour day 2024"],
)
def test_weekday_closures_are_not_trading_days(day):
    assert dt.date.fromisoformat(day) not in set(calendar_data.trading_dates().date)


@pytest.mark.parametrize("day", ["2015-01-04", "2018-02-11", "2019-09-29", "2023-04-23", "2024-02-04", "2024-10-12"])
def test_make_up_working_weekends_are_not_trading_days(day):
    assert dt.date.fromisoformat(day).weekday() >= 5
    assert dt.date.fromisoformat(day) not in set(calendar_data.trading_dates().date)


def test_closure_ranges_are_well_formed():
    for first, last, occasion in calendar_data.CLOSURES:
        assert dt.date.fromisoformat(first) <= dt.date.fromisoformat(last), occasion
        assert (dt.date.fromisoformat(last) - dt.date.fromisoformat(first)).days < 10, occasion


def test_sample_calendar_is_the_exchange_calendar():
    assert fund.get_trading_dates().equals(calendar_data.trading_dates().rename("trading_date"))


def test_cli_sample_info_and_export(tmp_path):
    runner = CliRunner()
    db = tmp_path / "db" / "funds.sqlite"
    result = runner.invoke(main, ["sample", "--db", str(db)])
    assert result.exit_code == 0, result.output
    assert db.is_file()
    result = runner.invoke(main, ["info", "--db", str(db)])
    assert result.exit_code == 0, result.output
    assert "Source: sample" in result.output
    assert "Money 8" in result.output and "accruing daily 8" in result.output
    assert "trading_calendar: 2431 rows, 2015-01-05 to 2024-12-31" in result.output
    out = tmp_path / "bundle"
    result = runner.invoke(main, ["export-calendar", str(out), "--db", str(db)])
    assert result.exit_code == 0, result.output
    lines = (out / "trading_dates.csv").read_text().splitlines()
    assert lines[0] == "trading_date"
    assert lines[1:] == [d.strftime("%Y-%m-%d") for d in calendar_data.trading_dates()]


def test_cli_uses_environment_database(sample_db):
    result = CliRunner().invoke(main, ["info"])
    assert result.exit_code == 0 and str(sample_db) in result.output


def test_cli_errors(tmp_path, example_dir):
    runner = CliRunner()
    result = runner.invoke(main, ["info", "--db", str(tmp_path / "none.sqlite")])
    assert result.exit_code == 1 and "vexdatac sample" in result.output
    target = tmp_path / "imported.sqlite"
    assert runner.invoke(main, ["import", str(example_dir), "--db", str(target)]).exit_code == 0
    before = target.read_bytes()
    (example_dir / "nav.csv").write_text(
        (example_dir / "nav.csv").read_text().replace("1.0841", "x", 1))
    result = runner.invoke(main, ["import", str(example_dir), "--db", str(target)])
    assert result.exit_code == 1
    assert "left unchanged" in result.output and "nav.csv line 3, column unit_net_value" in result.output
    assert target.read_bytes() == before


@pytest.mark.parametrize("command", [["info"], ["funds"], ["export-calendar", "OUT"]])
def test_cli_reports_a_damaged_database_in_one_line(tmp_path, command):
    # The schema check passes (meta says version 1) but the data tables are gone.
    import sqlite3

    db = tmp_path / "damaged.sqlite"
    with sqlite3.connect(db) as conn:
        conn.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)")
        conn.execute("INSERT INTO meta VALUES ('schema_version', '1')")
    conn.close()
    out = tmp_path / "bundle"
    args = [str(out) if a == "OUT" else a for a in command]
    result = CliRunner().invoke(main, [*args, "--db", str(db)])
    assert result.exit_code == 1
    assert isinstance(result.exception, SystemExit), result.exception  # a message, not a traceback
    assert "Error: {} is an incomplete vexdatac database: it has no instruments, nav, ".format(db) in result.output
    assert not out.exists()
