"""Import a directory of CSV files into a vexdatac database.

The files, their columns and rules are described in README.md ("Importing
your own data") and shown by examples/csv/. Every row is checked before the
database is touched in any way that matters: the data goes into a fresh
temporary file that replaces the target only when the whole import
succeeded. The first problem found stops the import with a
`DataImportError` naming the file, line, column and what is wrong; the
target database is then exactly as it was.
"""
import csv
import math
from pathlib import Path

from vexdatac import db
from vexdatac.share.dates import parse_date_text
from vexdatac.share.errors import DataImportError

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


class _Row:
    """One CSV row with its position, and typed accessors that raise a
    DataImportError pointing at the offending cell."""

    def __init__(self, file, line, values):
        self.file = file
        self.line = line
        self.values = values

    def fail(self, column, problem):
        where = f"{self.file} line {self.line}"
        if column is not None:
            where += f", column {column}"
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
            self.fail(column, f"{value!r} is not a number")
        if not math.isfinite(number):
            self.fail(column, f"{value!r} is not a finite number")
        if positive and number <= 0:
            self.fail(column, f"{value!r} must be greater than 0")
        if minimum is not None and number < minimum:
            self.fail(column, f"{value!r} must not be below {minimum:g}")
        if maximum is not None and number >= maximum:
            self.fail(column, f"{value!r} must be below {maximum:g}")
        return number

    def integer(self, column, required=True, minimum=0):
        value = self.text(column, required)
        if value is None:
            return None
        try:
            number = int(value)
        except ValueError:
            self.fail(column, f"{value!r} is not a whole number")
        if number < minimum:
            self.fail(column, f"{value!r} must not be below {minimum}")
        return number

    def boolean(self, column):
        value = self.raw(column).lower()
        if not value:
            return None
        if value in _TRUE:
            return 1
        if value in _FALSE:
            return 0
        self.fail(column, f"{self.raw(column)!r} is not a yes/no value (use true or false)")

    def choice(self, column, allowed):
        value = self.text(column)
        if value not in allowed:
            self.fail(column, f"{value!r} is not one of {', '.join(allowed)}")
        return value


def _rows(directory, name):
    """Yield the rows of one CSV file after checking its header."""
    path = Path(directory) / name
    required, optional = FILES[name]
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            reader = csv.reader(handle)
            header = next(reader, None)
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
            for values in reader:
                if not values or all(not v.strip() for v in values):
                    continue  # blank line
                row = _Row(name, reader.line_num, dict(zip(header, values)))
                if len(values) != len(header):
                    row.fail(None, f"expected {len(header)} fields, found {len(values)}")
                yield row
    except UnicodeDecodeError as exc:
        raise DataImportError(f"{name}: not UTF-8 text ({exc.reason} at byte {exc.start})",
                              file=name) from None
    except csv.Error as exc:
        raise DataImportError(f"{name}: malformed CSV ({exc})", file=name) from None


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
        row.fail("order_book_id", f"unknown fund {oid!r} (not in catalogue.csv)")
    return oid


def _fund_and_date(row, funds, keys, column):
    """The row's fund and its date in `column`, refused when that pair came before."""
    oid = _known_fund(row, funds)
    date = row.date(column)
    keys.add(row, (oid, date), column, f"(order_book_id, {column})")
    return oid, date


def _catalogue(directory):
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
    return funds, records


def _nav(directory, funds):
    records, keys = [], _Keys()
    for row in _rows(directory, "nav.csv"):
        oid, date = _fund_and_date(row, funds, keys, "date")
        unit = row.number("unit_net_value", positive=True)
        adjusted = row.number("adjusted_net_value", positive=True)
        # A daily-accruing fund's income is its daily profit: a row without it
        # would silently pay nothing for that day.
        profit = row.number("daily_profit", required=funds[oid], minimum=0)
        weekly = row.number("weekly_yield", required=False)
        records.append((oid, date, unit, adjusted, profit, weekly))
    return records


def _status(directory, funds):
    records, keys = [], _Keys()
    for row in _rows(directory, "status.csv"):
        oid, date = _fund_and_date(row, funds, keys, "date")
        records.append((
            oid, date, row.choice("subscribe_status", STATUS_VALUES),
            row.choice("redeem_status", STATUS_VALUES),
            row.number("subscribe_upper_limit", False, minimum=0),
            row.number("subscribe_lower_limit", False, minimum=0),
            row.number("redeem_lower_limit", False, minimum=0),
        ))
    return records


def _dividends(directory, funds):
    records, keys = [], _Keys()
    for row in _rows(directory, "dividends.csv"):
        oid = _known_fund(row, funds)
        book = row.date("book_closure_date")
        ex = row.date("ex_dividend_date")
        payable = row.date("payable_date")
        keys.add(row, (oid, ex), "ex_dividend_date", "(order_book_id, ex_dividend_date)")
        if ex < book:
            row.fail("ex_dividend_date", f"{ex} lies before book_closure_date {book}")
        if payable < book:
            row.fail("payable_date", f"{payable} lies before book_closure_date {book}")
        records.append((oid, ex, book, payable, row.number("dividend_before_tax", positive=True)))
    return records


def _splits(directory, funds):
    records, keys = [], _Keys()
    for row in _rows(directory, "splits.csv"):
        oid, ex = _fund_and_date(row, funds, keys, "ex_dividend_date")
        records.append((oid, ex, row.number("split_ratio", positive=True)))
    return records


def _calendar(directory):
    records, keys = [], _Keys()
    for row in _rows(directory, "calendar.csv"):
        date = row.date("trading_date")
        keys.add(row, date, "trading_date", "trading_date")
        records.append((date,))
    return records


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


def import_csv(directory, target):
    """Validate the CSV files in `directory` and build the database `target`
    from them, replacing it atomically. Returns the row count of each table.
    Raises DataImportError (target untouched) on the first bad row."""
    directory = Path(directory)
    if not directory.is_dir():
        raise DataImportError(f"{directory} is not a directory")
    missing = [name for name in FILES if name not in OPTIONAL_FILES and not (directory / name).is_file()]
    if missing:
        raise DataImportError(
            f"{directory}: missing file(s) {', '.join(missing)} (a file with only its header "
            "line is enough when there is no data)", file=missing[0])
    funds, instruments = _catalogue(directory)
    tables = {
        "instruments": instruments,
        "nav": _nav(directory, funds),
        "status": _status(directory, funds),
        "dividends": _dividends(directory, funds),
        "splits": _splits(directory, funds),
        "trading_calendar": _calendar(directory),
        "fees": _fees(directory, funds) if (directory / "fees.csv").is_file() else [],
    }
    db.write_database(target, "csv import", tables)
    return {name: len(rows) for name, rows in tables.items()}
