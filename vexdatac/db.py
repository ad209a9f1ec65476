"""Writing a database file: shared by the sample builder and the importer.

A database is always built in a temporary file beside the target and moved
over it with one atomic rename once everything is in, so a failed or
interrupted build never leaves a half-written database behind and readers
keep seeing the old file until the new one is complete.
"""
import contextlib
import os
import sqlite3
import tempfile
from importlib import resources
from pathlib import Path

from vexdatac.config import SCHEMA_VERSION


def schema_sql():
    return resources.files("vexdatac").joinpath("schema.sql").read_text(encoding="utf-8")


@contextlib.contextmanager
def building(target, source):
    """Yield a writable connection to a fresh database with the schema and
    meta rows in place; on normal exit commit and rename it over `target`,
    on an exception discard it and leave `target` untouched."""
    target = Path(target).expanduser()
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp_name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    os.close(fd)
    tmp = Path(tmp_name)
    conn = None
    try:
        # Autocommit mode: the whole build is one explicit transaction.
        conn = sqlite3.connect(tmp, isolation_level=None)
        conn.execute("PRAGMA foreign_keys = ON")
        conn.executescript(schema_sql())
        conn.execute("BEGIN")
        conn.executemany(
            "INSERT INTO meta (key, value) VALUES (?, ?)",
            [("schema_version", SCHEMA_VERSION), ("source", source), ("date_format", "YYYY-MM-DD")],
        )
        yield conn
        conn.execute("COMMIT")
        conn.close()
        conn = None
        os.chmod(tmp, 0o644)
        os.replace(tmp, target)
    finally:
        if conn is not None:
            conn.close()
        if tmp.exists():
            tmp.unlink()


_INSERTS = {
    "instruments": (
        "INSERT INTO instruments (order_book_id, symbol, fund_type, listed_date, de_listed_date, "
        "accrued_daily, accrued_type, exchange, amc, amc_id, benchmark, establishment_date, "
        "fund_manager, investment_scope, issuer, latest_size, min_investment, stop_date, "
        "transition_time, trustee, round_lot) VALUES (" + ", ".join("?" * 21) + ")"
    ),
    "nav": (
        "INSERT INTO nav (order_book_id, date, unit_net_value, adjusted_net_value, daily_profit, "
        "weekly_yield) VALUES (?, ?, ?, ?, ?, ?)"
    ),
    "status": (
        "INSERT INTO status (order_book_id, date, subscribe_status, redeem_status, "
        "subscribe_upper_limit, subscribe_lower_limit, redeem_lower_limit) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)"
    ),
    "dividends": (
        "INSERT INTO dividends (order_book_id, ex_dividend_date, book_closure_date, payable_date, "
        "dividend_before_tax) VALUES (?, ?, ?, ?, ?)"
    ),
    "splits": "INSERT INTO splits (order_book_id, ex_dividend_date, split_ratio) VALUES (?, ?, ?)",
    "trading_calendar": "INSERT INTO trading_calendar (date) VALUES (?)",
    "fees": (
        "INSERT INTO fees (order_book_id, kind, tier, upper_bound, rate, fixed_fee) "
        "VALUES (?, ?, ?, ?, ?, ?)"
    ),
}
TABLES = tuple(_INSERTS)


def insert_tables(conn, tables):
    """Insert row tuples into the named tables, in dependency order. The
    column order of each tuple is the one of the INSERT above."""
    for name in TABLES:
        rows = tables.get(name)
        if rows:
            conn.executemany(_INSERTS[name], rows)


def write_database(target, source, tables):
    """Build `target` from row tuples in one transaction, atomically."""
    with building(target, source) as conn:
        insert_tables(conn, tables)
