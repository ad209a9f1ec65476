"""Where the fund database lives, and the read-only connections to it.

The path is chosen in this order: `set_database(path)` (explicit, for the
process), the environment variable VEXDATAC_DB, then the default
~/.vexdatac/funds.sqlite.

Queries go through one read-only connection per database path. A database
that is rebuilt while the process runs (`vexdatac sample`, `vexdatac import`
replace the file atomically) is noticed by its changed file identity and
reopened, so callers never read a file that no longer exists on disk.
"""
import os
import sqlite3
import threading
from pathlib import Path

import numpy as np

from vexdatac.share.errors import DatabaseError, DatabaseNotFound

try:
    from vexdatac import _sqlread
except ImportError:  # built without the native reader: every query goes through sqlite3
    _sqlread = None

ENV_VAR = "VEXDATAC_DB"
DEFAULT_PATH = Path("~/.vexdatac/funds.sqlite")
SCHEMA_VERSION = "1"
# The tables of schema.sql; a database without one of them cannot answer queries.
TABLES = ("meta", "instruments", "nav", "status", "dividends", "splits", "trading_calendar", "fees")

_explicit_path = None
_lock = threading.RLock()
# resolved path text -> (connection, file identity at open time)
_connections = {}
# resolved path text -> (native reader or None when it cannot open the file, file identity)
_readers = {}
# (path text as given, file identity, resolved path text) of the last lookup:
# the same file found again under the same name needs no resolving.
_last_lookup = None


def set_database(path):
    """Use the database at `path` for every following query (None: forget the
    explicit choice and fall back to VEXDATAC_DB or the default)."""
    global _explicit_path
    if path is not None and not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"set_database expects a path, got {type(path).__name__}")
    _explicit_path = None if path is None else Path(path).expanduser()


def get_database_path():
    """The database path in force now (it need not exist)."""
    if _explicit_path is not None:
        return _explicit_path
    env = os.environ.get(ENV_VAR)
    if env:
        return Path(env).expanduser()
    return DEFAULT_PATH.expanduser()


def _identity(stat):
    return (stat.st_dev, stat.st_ino, stat.st_mtime_ns, stat.st_size)


def _missing(path):
    return DatabaseNotFound(
        f"no vexdatac database at {path}. Run `vexdatac sample` to build the sample "
        f"database there, or `vexdatac import DIR` to load your own CSV files "
        f"(choose the file with --db, the {ENV_VAR} environment variable or "
        f"vexdatac.set_database())."
    )


def open_readonly(path):
    """Open `path` read-only and check that it is a vexdatac database."""
    path = Path(path).expanduser().resolve()
    if not path.is_file():
        raise _missing(path)
    conn = sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True, check_same_thread=False)
    try:
        row = conn.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
    except sqlite3.DatabaseError as exc:
        conn.close()
        raise DatabaseError(f"{path} is not a vexdatac database ({exc})") from None
    if row is None or row[0] != SCHEMA_VERSION:
        conn.close()
        found = "none" if row is None else row[0]
        raise DatabaseError(
            f"{path} has schema version {found}, this client needs {SCHEMA_VERSION}; "
            "rebuild it with `vexdatac sample` or `vexdatac import DIR`"
        )
    present = {name for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    missing = [name for name in TABLES if name not in present]
    if missing:
        conn.close()
        raise DatabaseError(
            f"{path} is an incomplete vexdatac database: it has no {', '.join(missing)} "
            f"table{'s' if len(missing) > 1 else ''}; rebuild it with `vexdatac sample` or "
            "`vexdatac import DIR`"
        )
    return conn


def connection():
    """The cached read-only connection to the database in force."""
    return _connection_entry()[0]


def _connection_entry():
    """(connection, resolved path text, file identity) of the database in force."""
    global _last_lookup
    given = get_database_path()
    last = _last_lookup
    if last is not None and last[0] == str(given):
        # The file this name led to last time, if it is still the very same
        # file (a rebuilt or relinked one has another identity).
        try:
            ident = _identity(os.stat(given))
        except OSError:
            ident = None
        if ident == last[1]:
            with _lock:
                cached = _connections.get(last[2])
                if cached is not None and cached[1] == ident:
                    return cached[0], last[2], ident
    path = given.resolve()
    try:
        ident = _identity(path.stat())
    except FileNotFoundError:
        raise _missing(path) from None
    key = str(path)
    _last_lookup = (str(given), ident, key)
    with _lock:
        cached = _connections.get(key)
        if cached is not None and cached[1] == ident:
            return cached[0], key, ident
        conn = open_readonly(path)
        if cached is not None:
            cached[0].close()
        _connections[key] = (conn, ident)
        return conn, key, ident


def query(sql, params=()):
    """Run one read query on the database in force and return all rows."""
    with _lock:
        return connection().execute(sql, params).fetchall()


def query_numbers(sql, params=(), day_columns=(), fallback=None):
    """The rows of a read query whose values are numbers or NULL, as one float array.

    The same as ``np.array(query(sql, params), dtype=float)`` (rows x
    columns, NULL as NaN) when there are rows; an array of no rows when there
    are none.  Read natively, without a Python object per value, where the
    native reader can; a value it does not take (a text, a blob) sends the
    query through ``query``, whose rows numpy converts (or refuses) as ever.

    ``day_columns`` are columns of ``sql`` that hold ISO date texts: the
    native reader gives a text in the exact YYYY-MM-DD form of a real date
    as its day count since 1970-01-01 and anything else as NaN.  Then
    ``fallback`` is the query ``query`` runs instead, computing those
    columns itself (with ``CASE WHEN date(julianday(c)) IS c THEN
    julianday(c) - 2440587.5 END``).
    """
    if day_columns and fallback is None:
        raise ValueError("query_numbers: day columns need the fallback query that computes them")
    with _lock:
        conn, key, ident = _connection_entry()
        # Named parameters (a mapping) are left to sqlite3.
        reader = _reader(key, ident) if type(params) in (tuple, list) else None
        if reader is not None:
            table = reader.numbers(sql, tuple(params), list(day_columns))
            if table is not None:
                return table
        rows = conn.execute(fallback if day_columns else sql, params).fetchall()
    return np.array(rows, dtype=float) if rows else np.empty((0, 0))


def read_columns(sql, params, kinds, ticks_per_day, texts=()):
    """A per-fund table read natively into arrays, or None.

    ``kinds`` has one letter per column of ``sql``: ``d`` the date column
    (ISO texts), ``f`` a number (NULL: NaN), ``c`` a text out of ``texts``.
    The answer is (dates as int64 ticks, ``ticks_per_day`` to a day, or
    None without a date column; a float64 block, one row per ``f`` column;
    a uint8 block, one row per ``c`` column, each value the position of the
    text in ``texts``).  None when the native reader is not there or a value
    is not exactly one of its kind: a date that is not the canonical ISO
    form of a day between 1677-09-22 and 2262-04-10, dates not strictly
    ascending, another text, a text or blob where a number belongs.  The
    caller then reads the rows as ``query`` fetches them.
    """
    with _lock:
        _, key, ident = _connection_entry()
        reader = _reader(key, ident) if type(params) in (tuple, list) else None
        if reader is None:
            return None
        return reader.columns(sql, tuple(params), kinds, ticks_per_day, list(texts))


def query_rows(sql, params=()):
    """``query(sql, params)``: the same rows, read natively where every value
    converts as Python's sqlite3 module converts it."""
    with _lock:
        conn, key, ident = _connection_entry()
        reader = _reader(key, ident) if type(params) in (tuple, list) else None
        if reader is not None:
            rows = reader.rows(sql, tuple(params))
            if rows is not None:
                return rows
        return conn.execute(sql, params).fetchall()


def _reader(key, ident):
    if _sqlread is None:
        return None
    cached = _readers.get(key)
    if cached is not None and cached[1] == ident:
        return cached[0]
    if cached is not None and cached[0] is not None:
        cached[0].close()
    try:
        reader = _sqlread.Reader(f"{Path(key).as_uri()}?mode=ro")
    except (ValueError, ImportError):  # the connection above opened it: leave it to that one
        reader = None
    _readers[key] = (reader, ident)
    return reader


def close_all():
    """Close every cached connection (tests, or before deleting a file)."""
    global _last_lookup
    with _lock:
        _last_lookup = None
        for conn, _ in _connections.values():
            conn.close()
        _connections.clear()
        for reader, _ in _readers.values():
            if reader is not None:
                reader.close()
        _readers.clear()
