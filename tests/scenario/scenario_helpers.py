"""Builders shared by the end-to-end fund scenarios.

A scenario writes its fund data as CSV text, imports it with the data
client's importer into a tiny database, exports the calendar bundle the
engine reads, and backtests a small strategy file over it.  The helpers
here do the plumbing and turn a run's result into per-day rows that a test
compares with its hand-computed table.
"""
import contextlib
import math
import textwrap
from pathlib import Path

from click.testing import CliRunner

import vexdatac
from tessel.run import run
from vexdatac.cli import main as vexdatac_cli
from vexdatac.importer import FILES, OPTIONAL_FILES, import_csv

# The calendar every scenario shares: three weeks and a half of trading days
# around a Wednesday-to-Friday closure (2024-06-12 to 2024-06-14), with two
# lead-in days before the runs start so that "the previous trading day" of
# the first run day exists, and a few days after the last run day so that
# arrival dates of late trades lie inside the calendar.
CALENDAR_CSV = """\
trading_date
2024-05-30
2024-05-31
2024-06-03
2024-06-04
2024-06-05
2024-06-06
2024-06-07
2024-06-10
2024-06-11
2024-06-17
2024-06-18
2024-06-19
2024-06-20
2024-06-21
2024-06-24
2024-06-25
2024-06-26
2024-06-27
2024-06-28
2024-07-01
2024-07-02
2024-07-03
2024-07-04
2024-07-05
2024-07-08
2024-07-09
2024-07-10
"""

# Tolerance of a money or unit comparison: the engine rounds units and cash
# to 4 decimals, so anything beyond float noise is a real difference.
TOLERANCE = 1e-6


def write_csv_dir(directory, files):
    """Write each ``{file name: CSV text}`` into ``directory`` (dedented).

    A file the importer requires but ``files`` leaves out is written with
    its header line only (no rows of that kind); the calendar defaults to
    the shared one.
    """
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    files = dict(files)
    files.setdefault("calendar.csv", CALENDAR_CSV)
    for name, (required, _optional) in FILES.items():
        if name not in files and name not in OPTIONAL_FILES:
            files[name] = ",".join(required) + "\n"
    for name, text in files.items():
        if name not in FILES:
            raise ValueError("unknown CSV file {!r} (known: {})".format(name, ", ".join(FILES)))
        (directory / name).write_text(textwrap.dedent(text).lstrip("\n"), encoding="utf-8")
    return directory


def build_fund_database(directory, files):
    """Import the CSV texts into ``directory/funds.sqlite`` and export its bundle.

    Returns ``(database path, bundle directory)``.
    """
    directory = Path(directory)
    csv_dir = write_csv_dir(directory / "csv", files)
    db_path = directory / "funds.sqlite"
    import_csv(csv_dir, db_path)
    bundle = directory / "bundle"
    export_calendar(db_path, bundle)
    return db_path, bundle


def export_calendar(db_path, bundle):
    """The data client's ``export-calendar`` command, as a user runs it."""
    outcome = CliRunner().invoke(vexdatac_cli, ["export-calendar", str(bundle), "--db", str(db_path)])
    if outcome.exit_code != 0:
        raise RuntimeError("export-calendar failed ({}): {}".format(outcome.exit_code, outcome.output))
    return bundle


def build_sample_database(directory):
    """The bundled sample database and its bundle, through the command line."""
    directory = Path(directory)
    db_path = directory / "funds.sqlite"
    outcome = CliRunner().invoke(vexdatac_cli, ["sample", "--db", str(db_path)])
    if outcome.exit_code != 0:
        raise RuntimeError("vexdatac sample failed ({}): {}".format(outcome.exit_code, outcome.output))
    return db_path, export_calendar(db_path, directory / "bundle")


@contextlib.contextmanager
def using_database(db_path):
    vexdatac.set_database(str(db_path))
    try:
        yield
    finally:
        vexdatac.set_database(None)


def forget_process_caches():
    """Drop the fund position module's process-wide tables.

    The exchange calendar and each money-market fund's income table are
    cached per process and keyed by fund id only, so a second run over a
    different database in the same process would otherwise reuse the first
    run's calendar and income.
    """
    import tessel_mod_fund.position as position_module

    position_module._get_trading_dates.cache_clear()
    position_module._get_daily_profit.cache_clear()
    position_module.FundPosition._accrued_fund.fget.cache_clear()


def scenario_config(bundle, start, end, cash=100000, reinvest=False, **fund):
    """Run configuration of the scenarios: T+1 units, T+3 cash, status checked."""
    fund_section = {"subscription_receiving_days": 1, "redemption_receiving_days": 3, "status_limit": True}
    fund_section.update(fund)
    return {
        "base": {"start_date": start, "end_date": end, "accounts": {"STOCK": cash},
                 "data_bundle_path": str(bundle)},
        "mod": {"fund": fund_section, "sys_accounts": {"dividend_reinvestment": reinvest}},
    }


def run_strategy(db_path, config, strategy_source, directory, name="strategy.py"):
    """Backtest the strategy text under ``config`` against the database."""
    path = Path(directory) / name
    path.write_text(textwrap.dedent(strategy_source).lstrip("\n"), encoding="utf-8")
    forget_process_caches()
    with using_database(db_path):
        return run(config, str(path))


def day_rows(result, order_book_id):
    """One row per run day: the account figures and ``order_book_id``'s holding.

    Columns: cash, quantity, receivable_quantity, receivable_cash,
    dividend_receivable, total_value, cash_change; a day on which the fund
    is not held reads 0 units.  ``receivable_cash`` and
    ``dividend_receivable`` are the account's (all holdings).
    """
    daily = result.daily
    positions = result.positions
    own = positions[positions["order_book_id"] == order_book_id].set_index("date")
    rows = {}
    for stamp, day in daily.iterrows():
        held = own.loc[stamp] if stamp in own.index else None
        rows[stamp.date().isoformat()] = {
            "cash": float(day["cash"]),
            "quantity": float(held["quantity"]) if held is not None else 0.0,
            "receivable_quantity": float(held["receivable_quantity"]) if held is not None else 0.0,
            "receivable_cash": float(day["receivable_cash"]),
            "dividend_receivable": float(day["dividend_receivable"]),
            "total_value": float(day["total_value"]),
            "cash_change": float(day["cash_change"]),
        }
    return rows


def assert_days(result, order_book_id, columns, expected):
    """Compare the run, day by day, with a hand-computed table.

    ``columns`` names the figures of each expected row after its date (a
    space-separated text); ``expected`` must list every day of the run, in
    order.  All mismatches are reported at once.
    """
    names = columns.split()
    actual = day_rows(result, order_book_id)
    assert list(actual) == [row[0] for row in expected], "the table must list exactly the run's days"
    problems = []
    for row in expected:
        day, values = row[0], row[1:]
        assert len(values) == len(names), "row {} has {} values for {} columns".format(day, len(values), len(names))
        for name, want in zip(names, values):
            got = actual[day][name]
            if not math.isclose(got, want, rel_tol=0, abs_tol=TOLERANCE):
                problems.append("{} {}: expected {!r}, got {!r}".format(day, name, want, got))
    assert not problems, "\n".join(problems)


def orders_of(result, order_book_id=None):
    orders = result.orders
    if order_book_id is not None:
        orders = orders[orders["order_book_id"] == order_book_id]
    return orders.reset_index(drop=True)


def scripted_strategy(actions, open_cash_log=None):
    """Strategy text that places the given orders on the given days, at the close.

    ``actions``: {ISO date: [("subscribe", fund, cash) | ("redeem", fund, units), ...]}.
    Every order it places is kept in ``context.orders`` (the run's orders
    table lists them too).  With ``open_cash_log`` (a file path) it also
    writes down, each morning in ``before_trading``, the cash the account
    has at the open: one "ISO date,cash" line per day.
    """
    return '''
ACTIONS = {actions!r}
OPEN_CASH_LOG = {log!r}


def init(context):
    context.orders = []


def before_trading(context):
    if OPEN_CASH_LOG:
        with open(OPEN_CASH_LOG, "a", encoding="utf-8") as log:
            log.write("{{}},{{!r}}\\n".format(context.now.date().isoformat(), context.portfolio.cash))


def handle_bar(context, bar_dict):
    for kind, fund, amount in ACTIONS.get(context.now.date().isoformat(), ()):
        if kind == "subscribe":
            context.orders.append(subscribe(fund, amount))
        elif kind == "redeem":
            context.orders.append(redeem(fund, amount))
        else:
            raise ValueError("unknown action " + kind)
'''.format(actions=dict(actions), log=None if open_cash_log is None else str(open_cash_log))


def read_open_cash(path):
    """{ISO date: cash at the open} from a log written by ``scripted_strategy``."""
    days = {}
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        day, cash = line.split(",")
        days[day] = float(cash)
    return days


def status_csv(rows_by_fund, exceptions=None):
    """status.csv text: "Open"/"Open" on every NAV date of each fund, except
    the (fund, date) -> (subscribe status, redeem status) given."""
    exceptions = exceptions or {}
    lines = ["order_book_id,date,subscribe_status,redeem_status"]
    for fund, dates in rows_by_fund.items():
        for day in dates:
            sub, red = exceptions.get((fund, day), ("Open", "Open"))
            lines.append("{},{},{},{}".format(fund, day, sub, red))
    return "\n".join(lines) + "\n"


def nav_dates(nav_text, fund):
    """The dates of ``fund``'s rows in a nav.csv text, in order."""
    lines = [line.split(",") for line in textwrap.dedent(nav_text).strip().splitlines()]
    header = lines[0]
    return [row[header.index("date")] for row in lines[1:] if row[header.index("order_book_id")] == fund]
