"""Import a directory of CSV files into a vexdatac database.

The files, their columns and rules are described in README.md ("Importing
your own data") and shown by examples/csv/. Every row is checked before the
database is touched in any way that matters: the data goes into a fresh
temporary file that replaces the target only when the whole import
succeeded.

The files are read in chunks of rows, so memory stays bounded whatever their
size. A chunk of the large files (NAV, status) is first checked column by
column; only a chunk in which that quick check finds something unusual is
checked again row by row, which finds the first problem and words it. A
checked chunk goes into the database many rows to a statement. Keys
already imported are looked up in the database being built, not held in
memory. The first problem found stops the import with a
`DataImportError` naming the file, line, column and what is wrong; the
target database is then exactly as it was.
"""
import csv
import difflib
import itertools
import math
import operator
import re
import sqlite3
from pathlib import Path

import numpy as np

from vexdatac import db
from vexdatac.share.dates import parse_date_text
from vexdatac.share.errors import DataImportError, shown

try:  # the native bulk load of the NAV and status files (built with the plug-in)
    from vexdatac import _bulkload
except ImportError:  # a source checkout without the built module: Python alone
    _bulkload = None

__all__ = ["DataImportError", "import_csv", "FILES"]

STATUS_VALUES = ("Open", "Limited", "Suspended", "Close")

# file -> (required columns, optional columns)
FILES = {
    "catalogue.csv": (
        ("order_book_id", "symbol", "fund_type", "listed_date", "de_listed_date"),
        ("accrued_daily", "accrued_type", "exchange", "amc", "amc_id", "benchmark",
         "establishment_date", "fund_manager", "investment_scope", "issuer", "latest_size",
         "min_investment", "stop_date", "transition_time", "trustee", "round_lot"),
    ),
    "nav.csv": (
        ("order_book_id", "date", "unit_net_value", "adjusted_net_value"),
        ("daily_profit", "weekly_yield"),
    ),
    "status.csv": (
        ("order_book_id", "date", "subscribe_status", "redeem_status"),
        ("subscribe_upper_limit", "subscribe_lower_limit", "redeem_lower_limit"),
    ),
    "dividends.csv": (
        ("order_book_id", "book_closure_date", "ex_dividend_date", "payable_date", "dividend_before_tax"),
        (),
    ),
    "splits.csv": (("order_book_id", "ex_dividend_date", "split_ratio"), ()),
    "calendar.csv": (("trading_date",), ()),
    "fees.csv": (("order_book_id", "kind", "upper_bound", "rate", "fixed_fee"), ()),
}
OPTIONAL_FILES = ("fees.csv",)

_TRUE = {"1", "true", "yes", "y", "t"}
_FALSE = {"0", "false", "no", "n", "f"}


_INT64 = (-(2**63), 2**63 - 1)  # the range of an SQLite integer
_DIGITS = re.compile(r"[+-]?\d+")
CHUNK_ROWS = 20_000  # rows read, checked and inserted at a time


class _Row:
    """One CSV row with its position, and typed accessors that raise a
    DataImportError pointing at the offending cell."""

    def __init__(self, file, line, values, end=None):
        self.file = file
        self.line = line  # where the record starts
        self.end = line if end is None else end  # where it ends (quoted line breaks)
        self.values = values

    def fail(self, column, problem):
        where = f"{self.file} line {self.line}"
        if column is not None:
            where += f", column {column}"
        if self.end != self.line:
            problem += (f" (this record runs on to line {self.end}: "
                        "is the closing quote of a field missing?)")
        raise DataImportError(f"{where}: {problem}", file=self.file, line=self.line, column=column)

    def raw(self, column):
        return self.values.get(column, "").strip()

    def text(self, column, required=True):
        value = self.raw(column)
        if not value:
            if required:
                self.fail(column, "is empty")
            return None
        return value

    def date(self, column, required=True):
        value = self.text(column, required)
        if value is None:
            return None
        try:
            return parse_date_text(value).isoformat()
        except ValueError as exc:
            self.fail(column, str(exc))

    def number(self, column, required=True, minimum=None, positive=False, maximum=None):
        value = self.text(column, required)
        if value is None:
            return None
        try:
            number = float(value)
        except ValueError:
            self.fail(column, f"{shown(value)} is not a number")
        if not math.isfinite(number):
            self.fail(column, f"{shown(value)} is not a finite number")
        if positive and number <= 0:
            self.fail(column, f"{shown(value)} must be greater than 0")
        if minimum is not None and number < minimum:
            self.fail(column, f"{shown(value)} must not be below {minimum:g}")
        if maximum is not None and number >= maximum:
            self.fail(column, f"{shown(value)} must be below {maximum:g}")
        return number

    def integer(self, column, required=True, minimum=0):
        value = self.text(column, required)
        if value is None:
            return None
        try:
            number = int(value)
        except ValueError:
            if not _DIGITS.fullmatch(value):
                self.fail(column, f"{shown(value)} is not a whole number")
            # more digits than int() converts: out of range either way
            number = -math.inf if value.startswith("-") else math.inf
        if number > _INT64[1]:
            self.fail(column, f"{shown(value)} is too large (at most {_INT64[1]})")
        if number < minimum:
            self.fail(column, f"{shown(value)} must not be below {minimum}")
        return number

    def boolean(self, column):
        value = self.raw(column).lower()
        if not value:
            return None
        if value in _TRUE:
            return 1
        if value in _FALSE:
            return 0
        self.fail(column, f"{shown(self.raw(column))} is not a yes/no value (use true or false)")

    def choice(self, column, allowed):
        value = self.text(column)
        if value not in allowed:
            self.fail(column, f"{shown(value)} is not one of {', '.join(allowed)}")
        return value


def _line_breaks(values):
    """Line breaks inside the fields of one record (quoted fields may hold
    them); \r\n counts once, as when the file is read line by line."""
    count = 0
    for value in values:
        if "\n" in value or "\r" in value:
            count += value.count("\n") + value.count("\r") - value.count("\r\n")
    return count


_COMMAS = operator.methodcaller("count", ",")


class _Block:
    """Consecutive records of a file, from line `first` to line `last`: as
    records parsed by the csv reader, or as quote-free lines, which split at
    commas alone."""

    def __init__(self, first, last, rows=None, lines=None, text=None):
        self.first = first
        self.last = last
        self._rows = rows
        self.lines = lines
        self.text = text

    def __len__(self):
        return len(self._rows if self._rows is not None else self.lines)

    def rows(self):
        if self._rows is None:
            self._rows = [line.rstrip("\r\n").split(",") for line in self.lines]
        return self._rows

    def columns(self, header):
        """The block's columns by name; unusual when some record has another
        number of fields (blank lines included)."""
        width = len(header)
        text = self.text
        if text is None or width < 2:
            return _columns(header, self.rows())
        if "\r" in text:
            text = text.replace("\r\n", "\n")
            if "\r" in text:  # lines ended by a lone carriage return
                return _columns(header, self.rows())
        if set(map(_COMMAS, self.lines)) != {width - 1}:
            raise _Unusual
        cells = text.replace("\n", ",").split(",")
        if not text.endswith("\n"):
            cells.append("")  # the last line has no line break
        cells.pop()
        return {name: cells[k::width] for k, name in enumerate(header)}


class _CsvFile:
    """One import file, open for reading: the header is checked on opening,
    the rows come in chunks (`chunks`) or one by one (`rows`)."""

    def __init__(self, directory, name):
        self.name = name
        required, optional = FILES[name]
        try:
            self._handle = open(Path(directory) / name, newline="", encoding="utf-8-sig")
        except OSError as exc:
            raise DataImportError(f"{name}: cannot read the file ({exc.strerror})", file=name) from None
        try:
            self._reader = csv.reader(self._handle)
            header = self._read(lambda: next(self._reader, None))
            if header is None:
                raise DataImportError(f"{name} line 1: the file is empty (a header line is needed)",
                                      file=name, line=1)
            header = [h.strip() for h in header]
            missing = [c for c in required if c not in header]
            if missing:
                raise DataImportError(
                    f"{name} line 1: missing column(s) {', '.join(missing)}", file=name, line=1,
                    column=missing[0])
            unknown = [c for c in header if c not in required and c not in optional]
            if unknown:
                raise DataImportError(
                    f"{name} line 1, column {unknown[0]}: unknown column (allowed: "
                    f"{', '.join(required + optional)})", file=name, line=1, column=unknown[0])
            duplicated = [c for c in header if header.count(c) > 1]
            if duplicated:
                raise DataImportError(
                    f"{name} line 1, column {duplicated[0]}: the column appears twice", file=name,
                    line=1, column=duplicated[0])
        except BaseException:
            self._handle.close()
            raise
        self.header = header
        # Lines are split at commas directly for as long as no quote shows up
        # (the usual case); from the first quote on, the csv reader parses.
        self._plain = self._reader.line_num == 1
        # Lines read before those the csv reader in use counts.
        self._base = 0 if not self._plain else 1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._handle.close()

    def _read(self, step):
        try:
            return step()
        except UnicodeDecodeError as exc:
            raise DataImportError(f"{self.name}: not UTF-8 text ({exc.reason} at byte {exc.start})",
                                  file=self.name) from None
        except csv.Error as exc:
            raise DataImportError(f"{self.name}: malformed CSV ({exc})", file=self.name) from None
        except OSError as exc:
            raise DataImportError(f"{self.name}: cannot read the file ({exc.strerror})",
                                  file=self.name) from None

    def chunks(self):
        """Yield the records in _Block objects of up to CHUNK_ROWS records."""
        size = CHUNK_ROWS
        while self._plain:
            lines = self._read(lambda: list(itertools.islice(self._handle, size)))
            if not lines:
                return
            text = "".join(lines)
            if '"' in text or "\0" in text:
                self._plain = False
                self._reader = csv.reader(itertools.chain(lines, self._handle))
                break
            first = self._base + 1
            self._base += len(lines)
            yield _Block(first, self._base, lines=lines, text=text)
        while True:
            first = self._base + self._reader.line_num + 1
            rows = self._read(lambda: list(itertools.islice(self._reader, size)))
            if not rows:
                return
            yield _Block(first, self._base + self._reader.line_num, rows=rows)

    def checked_rows(self, block):
        """The records of one block as _Row objects, blank lines skipped,
        each refused when its number of fields is wrong."""
        line, last = block.first, block.last
        width = len(self.header)
        for values in block.rows():
            start, line = line, line + 1 + _line_breaks(values)
            if not values or all(not v.strip() for v in values):
                continue  # blank line
            # A quote left open takes the rest of the file, last line break included.
            row = _Row(self.name, start, dict(zip(self.header, values)), end=min(line - 1, last))
            if len(values) != width:
                row.fail(None, f"expected {width} fields, found {len(values)}")
            yield row

    def rows(self):
        for block in self.chunks():
            yield from self.checked_rows(block)


def _rows(directory, name):
    """Yield the rows of one CSV file after checking its header."""
    with _CsvFile(directory, name) as reader:
        yield from reader.rows()


class _Keys:
    """Remembers the line of each key to report duplicates with both lines."""

    def __init__(self):
        self.seen = {}

    def add(self, row, key, column, label):
        first = self.seen.get(key)
        if first is not None:
            row.fail(column, f"duplicate {label} {key!r} (first on line {first})")
        self.seen[key] = row.line


def _known_fund(row, funds):
    oid = row.text("order_book_id")
    if oid not in funds:
        row.fail("order_book_id", f"unknown fund {shown(oid)} (not in catalogue.csv)")
    return oid


def _fund_and_date(row, funds, keys, column):
    """The row's fund and its date in `column`, refused when that pair came before."""
    oid = _known_fund(row, funds)
    date = row.date(column)
    keys.add(row, (oid, date), column, f"(order_book_id, {column})")
    return oid, date


class _StoredKeys(_Keys):
    """The (order_book_id, date) keys of a large file: those of the chunk
    being checked are held in memory, those of earlier chunks are looked up
    in the table they went into. The line of an earlier duplicate is found
    again by reading the file from the start (only when there is one)."""

    def __init__(self, conn, table, directory, name):
        super().__init__()
        self.conn = conn
        self.sql = f"SELECT 1 FROM {table} WHERE order_book_id = ? AND date = ?"
        self.directory = directory
        self.name = name

    def add(self, row, key, column, label):
        if key not in self.seen and self.conn.execute(self.sql, key).fetchone() is not None:
            first = _first_line(self.directory, self.name, column, key)
            row.fail(column, f"duplicate {label} {key!r} (first on line {first})")
        super().add(row, key, column, label)

    def chunk_done(self):
        self.seen.clear()


def _first_line(directory, name, column, key):
    with _CsvFile(directory, name) as reader:
        for row in reader.rows():
            if row.raw("order_book_id") != key[0]:
                continue
            try:
                if parse_date_text(row.raw(column)).isoformat() == key[1]:
                    return row.line
            except ValueError:
                continue
    return None  # pragma: no cover - the key was stored from this file


class _Unusual(Exception):
    """The quick check of a chunk found something to look at row by row."""


def _columns(header, rows):
    """The chunk's columns by name; unusual when some record has another
    number of fields (blank lines included)."""
    if len(rows[0]) != len(header):
        raise _Unusual
    try:
        # Both strict: the outer zip then asks the transposition for one
        # column more than the header has, which is how a record with extra
        # fields anywhere in the chunk is noticed (it stops the transposition
        # as a shorter record does).
        return dict(zip(header, zip(*rows, strict=True), strict=True))
    except ValueError:
        raise _Unusual from None


def _ids(column, funds):
    if funds.keys() >= set(column):  # the usual case: nothing to strip
        return column
    ids = list(map(str.strip, column))
    if not funds.keys() >= set(ids):
        raise _Unusual
    return ids


def _choices(column, allowed):
    if allowed >= set(column):
        return column
    values = list(map(str.strip, column))
    if not allowed.issuperset(values):
        raise _Unusual
    return values


class _DateTexts:
    """Date cells to ISO texts, each distinct text parsed once (a file has
    few distinct dates and many rows); bounded so that memory stays flat."""

    LIMIT = 100_000

    def __init__(self):
        self.iso = {}

    def __call__(self, column):
        try:  # the usual case once the first chunks are in: every text known
            return list(map(self.iso.__getitem__, column))
        except KeyError:
            pass
        new = set(column).difference(self.iso)
        if len(self.iso) + len(new) > self.LIMIT:
            self.iso.clear()
            new = set(column)
        for text in new:
            try:
                self.iso[text] = parse_date_text(text).isoformat()
            except ValueError:
                raise _Unusual from None
        return list(map(self.iso.__getitem__, column))


_NAN = math.nan
_SAMPLE = 256  # cells looked at to tell whether a column repeats a few values


def _floats(column):
    """The cells of a number column as floats, NaN where a cell is empty, and
    the number of empty cells; unusual when a cell is not a number."""
    count = len(column)
    try:
        if len(set(column[:_SAMPLE])) * 4 < min(count, _SAMPLE):
            # Few distinct values (limits, fixed amounts): each converted once.
            table = {text: float(text) for text in set(column)}
            return list(map(table.__getitem__, column)), 0
        return list(map(float, column)), 0
    except ValueError:
        pass
    if column.count("") == count:  # a column left empty (no daily profit for most funds)
        return [_NAN] * count, count
    cells = list(map(str.strip, column))
    empty = cells.count("")
    if not empty:
        raise _Unusual
    try:
        distinct = set(cells)
        if len(distinct) * 4 < count:
            table = {text: float(text) if text else _NAN for text in distinct}
            return list(map(table.__getitem__, cells)), empty
        return [float(text) if text else _NAN for text in cells], empty
    except ValueError:
        raise _Unusual from None


def _numbers(column, required=True, minimum=None, positive=False):
    """The cells of a number column as floats (NaN where empty) and as an
    array; unusual whenever a row check could refuse one. `required` is a
    bool or a function giving a per-row mask. A column missing from the file
    gives (None, None)."""
    if column is None:
        if callable(required) and required().any():
            raise _Unusual
        return None, None
    values, empty = _floats(column)
    if empty == len(values):  # nothing but empty cells: no value to check
        if required is True or (callable(required) and required().any()):
            raise _Unusual
        return values, np.full(empty, _NAN)
    array = np.array(values, dtype=float)
    nan = np.isnan(array)
    if empty:
        if required is True or np.count_nonzero(nan) != empty:  # an empty cell, or a "nan" text
            raise _Unusual
        if callable(required) and (required() & nan).any():
            raise _Unusual
    elif nan.any():
        raise _Unusual
    if np.isinf(array).any():
        raise _Unusual
    if positive and (array <= 0).any():
        raise _Unusual
    if minimum is not None and (array < minimum).any():
        raise _Unusual
    return values, array


# Rows per INSERT statement: one statement inserting many rows costs the
# database driver far less than one execution per row.
_ROWS_PER_INSERT = 500


class _Chunk:
    """A checked chunk by column, ready to insert; columns missing from the
    file are left out (NULL)."""

    def __init__(self, **columns):
        self.columns = dict(columns)

    def add(self, name, numbers):
        values, array = numbers
        if values is not None:
            self.columns[name] = values
        return array

    def insert(self, conn, table):
        """Insert the rows in file order, many to a statement. An empty number
        cell is bound as NaN, which the database stores as NULL (binding
        None costs the driver several times more)."""
        names = list(self.columns)
        width = len(names)
        count = len(self.columns[names[0]])
        flat = [None] * (count * width)
        for k, values in enumerate(self.columns.values()):
            flat[k::width] = values
        columns = ", ".join(names)
        row = "(" + ", ".join("?" * width) + ")"
        step = _ROWS_PER_INSERT * width
        full = count - count % _ROWS_PER_INSERT
        if full:
            sql = f"INSERT INTO {table} ({columns}) VALUES " + ", ".join([row] * _ROWS_PER_INSERT)
            for start in range(0, full * width, step):
                conn.execute(sql, flat[start:start + step])
        if full < count:
            sql = f"INSERT INTO {table} ({columns}) VALUES " + ", ".join([row] * (count - full))
            conn.execute(sql, flat[full * width:])


def _load(conn, directory, name, table, check_row, check_chunk=None, keys=None):
    """Read, check and insert one file chunk by chunk; returns its row count."""
    count = 0
    with _CsvFile(directory, name) as reader:
        for block in reader.chunks():
            if check_chunk is not None and _insert_quickly(conn, table, check_chunk, reader.header, block):
                count += len(block)
                continue
            records = [check_row(row) for row in reader.checked_rows(block)]
            db.insert_rows(conn, table, records)
            count += len(records)
            if keys is not None:
                keys.chunk_done()
    return count


def _insert_quickly(conn, table, check_chunk, header, block):
    """Insert a block that passes the quick column checks; False (nothing
    inserted) when it needs checking row by row."""
    try:
        chunk = check_chunk(block.columns(header))
    except _Unusual:
        return False
    conn.execute("SAVEPOINT chunk")
    try:
        chunk.insert(conn, table)
    except sqlite3.IntegrityError:  # a key seen before: found and worded row by row
        conn.execute("ROLLBACK TO chunk")
        conn.execute("RELEASE chunk")
        return False
    conn.execute("RELEASE chunk")
    return True


def _catalogue(conn, directory):
    funds, records, keys = {}, [], _Keys()
    for row in _rows(directory, "catalogue.csv"):
        oid = row.text("order_book_id")
        keys.add(row, oid, "order_book_id", "order_book_id")
        listed = row.date("listed_date", required=False)
        delisted = row.date("de_listed_date", required=False)
        if listed and delisted and delisted < listed:
            row.fail("de_listed_date", f"{delisted} lies before listed_date {listed}")
        accrued_daily = row.boolean("accrued_daily")
        accrued_type = row.text("accrued_type", required=False)
        round_lot = row.number("round_lot", required=False, positive=True)
        records.append((
            oid, row.text("symbol"), row.text("fund_type"), listed, delisted, accrued_daily,
            accrued_type, row.text("exchange", False), row.text("amc", False),
            row.text("amc_id", False), row.text("benchmark", False),
            row.date("establishment_date", False), row.text("fund_manager", False),
            row.text("investment_scope", False), row.text("issuer", False),
            row.number("latest_size", False, minimum=0), row.number("min_investment", False, minimum=0),
            row.date("stop_date", False), row.integer("transition_time", False),
            row.text("trustee", False), 1.0 if round_lot is None else round_lot,
        ))
        funds[oid] = bool(accrued_daily) or bool(accrued_type)
    if not records:
        raise DataImportError("catalogue.csv: no funds (the file has a header only)", file="catalogue.csv")
    db.insert_rows(conn, "instruments", records)
    return funds, len(records)


def _load_natively(conn, directory, name, table, columns, funds, limits=None):
    """Load a whole file with the native bulk load; the row count, or None when
    it is unavailable or met something it leaves to the Python checks (then
    nothing of the file is in the database).

    The native side writes through a connection of its own to the same file,
    in a transaction of its own: the rows so far are committed first (the
    file is the temporary one the import builds, discarded on any failure,
    so the import stays all-or-nothing)."""
    if _bulkload is None or not _bulkload.available():
        return None
    path = Path(directory) / name
    database = conn.execute("PRAGMA database_list").fetchone()[2]
    if not database or not path.is_file():
        return None
    # A size limit set on the building connection holds for the native one too.
    pages = conn.execute("PRAGMA max_page_count").fetchone()[0]
    conn.execute("COMMIT")
    try:
        return _bulkload.load(database, str(path), table, columns, funds, limits, pages)
    finally:
        conn.execute("BEGIN")


def _nav(conn, directory, funds, dates):
    count = _load_natively(conn, directory, "nav.csv", "nav", [
        ("order_book_id", "id"), ("date", "date"), ("unit_net_value", "rp"),
        ("adjusted_net_value", "rp"), ("daily_profit", "a"), ("weekly_yield", "")], funds)
    if count is not None:
        return count
    keys = _StoredKeys(conn, "nav", directory, "nav.csv")

    def check_row(row):
        oid, date = _fund_and_date(row, funds, keys, "date")
        unit = row.number("unit_net_value", positive=True)
        adjusted = row.number("adjusted_net_value", positive=True)
        # A daily-accruing fund's income is its daily profit: a row without it
        # would silently pay nothing for that day.  It may be below zero: a
        # money-market fund now and then loses on a day, and its holders
        # then lose units.
        profit = row.number("daily_profit", required=funds[oid])
        weekly = row.number("weekly_yield", required=False)
        return (oid, date, unit, adjusted, profit, weekly)

    def check_chunk(columns):
        ids = _ids(columns["order_book_id"], funds)

        def accrues():
            if not any(map(funds.__getitem__, set(ids))):
                return np.zeros(len(ids), dtype=bool)
            return np.fromiter(map(funds.__getitem__, ids), bool, len(ids))

        chunk = _Chunk(order_book_id=ids, date=dates(columns["date"]))
        chunk.add("unit_net_value", _numbers(columns["unit_net_value"], positive=True))
        chunk.add("adjusted_net_value", _numbers(columns["adjusted_net_value"], positive=True))
        chunk.add("daily_profit", _numbers(columns.get("daily_profit"), required=accrues))
        chunk.add("weekly_yield", _numbers(columns.get("weekly_yield"), required=False))
        return chunk

    return _load(conn, directory, "nav.csv", "nav", check_row, check_chunk, keys)


_STATUS_SET = frozenset(STATUS_VALUES)


def _status(conn, directory, funds, dates):
    count = _load_natively(conn, directory, "status.csv", "status", [
        ("order_book_id", "id"), ("date", "date"), ("subscribe_status", "status"),
        ("redeem_status", "status"), ("subscribe_upper_limit", "n"), ("subscribe_lower_limit", "n"),
        ("redeem_lower_limit", "n")], funds, ("subscribe_lower_limit", "subscribe_upper_limit"))
    if count is not None:
        return count
    keys = _StoredKeys(conn, "status", directory, "status.csv")

    def check_row(row):
        oid, date = _fund_and_date(row, funds, keys, "date")
        record = (
            oid, date, row.choice("subscribe_status", STATUS_VALUES),
            row.choice("redeem_status", STATUS_VALUES),
            row.number("subscribe_upper_limit", False, minimum=0),
            row.number("subscribe_lower_limit", False, minimum=0),
            row.number("redeem_lower_limit", False, minimum=0),
        )
        upper, lower = record[4], record[5]
        if upper is not None and lower is not None and lower > upper:
            row.fail("subscribe_lower_limit", f"{row.raw('subscribe_lower_limit')} lies above "
                                              f"subscribe_upper_limit {row.raw('subscribe_upper_limit')}")
        return record

    def check_chunk(columns):
        chunk = _Chunk(
            order_book_id=_ids(columns["order_book_id"], funds), date=dates(columns["date"]),
            subscribe_status=_choices(columns["subscribe_status"], _STATUS_SET),
            redeem_status=_choices(columns["redeem_status"], _STATUS_SET),
        )
        upper = chunk.add("subscribe_upper_limit",
                          _numbers(columns.get("subscribe_upper_limit"), False, minimum=0))
        lower = chunk.add("subscribe_lower_limit",
                          _numbers(columns.get("subscribe_lower_limit"), False, minimum=0))
        if upper is not None and lower is not None and (lower > upper).any():
            raise _Unusual
        chunk.add("redeem_lower_limit", _numbers(columns.get("redeem_lower_limit"), False, minimum=0))
        return chunk

    return _load(conn, directory, "status.csv", "status", check_row, check_chunk, keys)


def _dividends(conn, directory, funds):
    keys = _Keys()

    def check_row(row):
        oid = _known_fund(row, funds)
        book = row.date("book_closure_date")
        ex = row.date("ex_dividend_date")
        payable = row.date("payable_date")
        keys.add(row, (oid, ex), "ex_dividend_date", "(order_book_id, ex_dividend_date)")
        if ex < book:
            row.fail("ex_dividend_date", f"{ex} lies before book_closure_date {book}")
        if payable < book:
            row.fail("payable_date", f"{payable} lies before book_closure_date {book}")
        return (oid, ex, book, payable, row.number("dividend_before_tax", positive=True))

    return _load(conn, directory, "dividends.csv", "dividends", check_row)


def _splits(conn, directory, funds):
    keys = _Keys()

    def check_row(row):
        oid, ex = _fund_and_date(row, funds, keys, "ex_dividend_date")
        return (oid, ex, row.number("split_ratio", positive=True))

    return _load(conn, directory, "splits.csv", "splits", check_row)


def _calendar(conn, directory):
    keys = _Keys()

    def check_row(row):
        date = row.date("trading_date")
        keys.add(row, date, "trading_date", "trading_date")
        return (date,)

    return _load(conn, directory, "calendar.csv", "trading_calendar", check_row)


def _fees(directory, funds):
    tiers = {}  # (fund, kind) -> [(bound, rate, fixed, row)]
    for row in _rows(directory, "fees.csv"):
        oid = _known_fund(row, funds)
        kind = row.choice("kind", ("subscription", "redemption"))
        bound = row.number("upper_bound", required=False, positive=True)
        rate = row.number("rate", required=False, minimum=0, maximum=1)
        fixed = row.number("fixed_fee", required=False, minimum=0)
        if kind == "subscription" and (rate is None) == (fixed is None):
            row.fail("rate", "a subscription tier needs exactly one of rate and fixed_fee")
        if kind == "redemption":
            if fixed is not None:
                row.fail("fixed_fee", "redemption tiers take a rate only")
            if rate is None:
                row.fail("rate", "is empty")
        entries = tiers.setdefault((oid, kind), [])
        for other in entries:
            if other[0] == bound:
                shown = "no upper bound" if bound is None else f"upper_bound {bound:g}"
                row.fail("upper_bound", f"duplicate tier with {shown} for {oid} {kind} "
                                        f"(first on line {other[3].line})")
        entries.append((bound, rate, fixed, row))
    records = []
    for (oid, kind), entries in tiers.items():
        if all(bound is not None for bound, *_ in entries):
            entries[-1][3].fail("upper_bound", f"the {kind} tiers of {oid} need a last tier with "
                                               "an empty upper_bound (no upper limit)")
        entries.sort(key=lambda e: math.inf if e[0] is None else e[0])
        for tier, (bound, rate, fixed, _) in enumerate(entries):
            records.append((oid, kind, tier, bound, rate, fixed))
    return records


def _refuse_unknown_files(directory):
    """A CSV file the importer does not read is most likely one of its files
    misnamed (`fee.csv`): refused rather than silently left out."""
    for path in sorted(directory.iterdir()):
        name = path.name
        if name in FILES or name.startswith(".") or not name.lower().endswith(".csv") or not path.is_file():
            continue
        close = difflib.get_close_matches(name.lower(), list(FILES), n=1, cutoff=0.72)
        hint = f"did you mean {close[0]}? " if close else ""
        raise DataImportError(f"{directory}: unknown file {name} ({hint}the files read are "
                              f"{', '.join(FILES)})", file=name)


def import_csv(directory, target):
    """Validate the CSV files in `directory` and build the database `target`
    from them, replacing it atomically. Returns the row count of each table.
    Raises DataImportError (target untouched) on the first bad row, and
    DatabaseWriteError when the database cannot be written."""
    directory = Path(directory)
    if not directory.is_dir():
        raise DataImportError(f"{directory} is not a directory")
    _refuse_unknown_files(directory)
    missing = [name for name in FILES if name not in OPTIONAL_FILES and not (directory / name).is_file()]
    if missing:
        raise DataImportError(
            f"{directory}: missing file(s) {', '.join(missing)} (a file with only its header "
            "line is enough when there is no data)", file=missing[0])
    counts = {}
    # Every row is checked here (fund ids against the catalogue, statuses,
    # signs), so the database need not evaluate its constraints again.
    with db.building(target, "csv import", checked=True) as conn:
        funds, counts["instruments"] = _catalogue(conn, directory)
        dates = _DateTexts()
        counts["nav"] = _nav(conn, directory, funds, dates)
        counts["status"] = _status(conn, directory, funds, dates)
        counts["dividends"] = _dividends(conn, directory, funds)
        counts["splits"] = _splits(conn, directory, funds)
        counts["trading_calendar"] = _calendar(conn, directory)
        fees = _fees(directory, funds) if (directory / "fees.csv").is_file() else []
        db.insert_rows(conn, "fees", fees)
        counts["fees"] = len(fees)
    return counts
