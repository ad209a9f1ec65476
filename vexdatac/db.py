"""Writing a database file: shared by the sample builder and the importer.

A database is always built in a temporary file beside the target and moved
over it with one atomic rename once everything is in, so a failed or
interrupted build never leaves a half-written database behind and readers
keep seeing the old file until the new one is complete.
"""
import contextlib
import errno
import os
import re
import sqlite3
import stat
import tempfile
from importlib import resources
from pathlib import Path

from vexdatac.config import SCHEMA_VERSION
from vexdatac.share.errors import DatabaseWriteError

try:
    import fcntl
except ImportError:  # pragma: no cover - not on POSIX
    fcntl = None


def schema_sql():
    return resources.files("vexdatac").joinpath("schema.sql").read_text(encoding="utf-8")


def resolve_target(target):
    """The file a database path stands for: `~` expanded and symbolic links
    followed, so a rebuild replaces the file a link points to and keeps the
    link."""
    return Path(os.path.realpath(Path(target).expanduser()))


def _temp_names(target):
    return re.compile(r"\." + re.escape(target.name) + r"\.[A-Za-z0-9_]{8}\.tmp(-journal)?")


def _unlocked(path):
    """True when no running build holds `path` (builds keep an exclusive
    flock on their temporary file until they end)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def remove_leftovers(target):
    """Remove the temporary files (and their journals) of builds of `target`
    that were killed before they could clean up. Files of a build that is
    still running are locked and kept. Returns the names removed."""
    if fcntl is None:  # pragma: no cover
        return []
    pattern = _temp_names(target)
    try:
        names = sorted(n for n in os.listdir(target.parent) if pattern.fullmatch(n))
    except OSError:
        return []
    removed = []
    for name in names:
        path = target.parent / name
        if name.endswith("-journal"):
            if path.with_name(name.removesuffix("-journal")).exists():
                continue  # goes with its database file
            doomed = [path]
        elif _unlocked(path):
            doomed = [path, path.with_name(name + "-journal")]
        else:
            continue
        for leftover in doomed:
            with contextlib.suppress(FileNotFoundError, PermissionError):
                leftover.unlink()
                removed.append(leftover.name)
    return removed


def _write_error(target, exc):
    """A DatabaseWriteError naming `target` for an OSError or SQLite error."""
    if isinstance(exc, PermissionError):
        reason = f"no permission to write in {target.parent}"
    elif getattr(exc, "errno", None) == errno.ENOSPC or "full" in str(exc):
        reason = "the disk is full"
    elif isinstance(exc, OSError):
        reason = exc.strerror or str(exc)
    else:
        reason = str(exc)
    return DatabaseWriteError(f"cannot write {target}: {reason}")


def _connect(path):
    # Autocommit mode: the whole build is one explicit transaction.
    return sqlite3.connect(path, isolation_level=None)


@contextlib.contextmanager
def building(target, source, checked=False):
    """Yield a writable connection to a fresh database with the schema and
    meta rows in place; on normal exit commit and rename it over `target`,
    on an exception discard it and leave `target` untouched.

    A symbolic link is followed (the file it points to is replaced, the
    link stays); an existing file keeps its permission bits. A failure to
    write (folder not writable, disk full) raises DatabaseWriteError naming
    the target. `checked=True` is for callers that have checked every row
    themselves (references and value rules): the database's foreign keys and
    CHECK constraints are then not evaluated again, which makes bulk inserts
    several times faster. The schema written is the same either way."""
    target = resolve_target(target)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        remove_leftovers(target)
        mode = stat.S_IMODE(target.stat().st_mode) if target.exists() else 0o644
        fd, tmp_name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    except OSError as exc:
        raise _write_error(target, exc) from None
    tmp = Path(tmp_name)
    conn = None
    try:
        if fcntl is not None:
            # Marks the file as in use, so that a build started meanwhile does
            # not take it for a leftover (SQLite's own locks are separate).
            fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            conn = _connect(tmp)
            conn.execute(f"PRAGMA foreign_keys = {'OFF' if checked else 'ON'}")
            conn.execute(f"PRAGMA ignore_check_constraints = {'ON' if checked else 'OFF'}")
            conn.execute("PRAGMA cache_size = -65536")  # 64 MiB, whatever the data size
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
            os.chmod(tmp, mode)
            os.replace(tmp, target)
        except (OSError, sqlite3.OperationalError) as exc:
            raise _write_error(target, exc) from None
    finally:
        if conn is not None:
            conn.close()
        os.close(fd)
        for leftover in (tmp, tmp.with_name(tmp.name + "-journal")):
            with contextlib.suppress(FileNotFoundError):
                leftover.unlink()


def table_counts(path):
    """Row counts of the tables of the database at `path`, or None when there
    is no readable vexdatac database there."""
    from vexdatac import config

    try:
        conn = config.open_readonly(path)
    except Exception:  # missing, foreign or damaged: nothing to count
        return None
    try:
        return {name: conn.execute(f"SELECT COUNT(*) FROM {name}").fetchone()[0] for name in TABLES}
    except sqlite3.DatabaseError:
        return None
    finally:
        conn.close()


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


def insert_rows(conn, name, rows):
    """Insert row tuples (any iterable) into one table."""
    conn.executemany(_INSERTS[name], rows)


def insert_columns(conn, name, columns, rows):
    """Insert row tuples holding the named columns (the others NULL or their
    default) into one table."""
    conn.executemany(f"INSERT INTO {name} ({', '.join(columns)}) VALUES ({', '.join('?' * len(columns))})",
                     rows)


def write_database(target, source, tables):
    """Build `target` from row tuples in one transaction, atomically."""
    with building(target, source) as conn:
        insert_tables(conn, tables)
