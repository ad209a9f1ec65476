"""Command line: `vexdatac sample | import | info | funds | export-calendar`."""
import contextlib
import csv
import sqlite3
from pathlib import Path

import click

from vexdatac import __version__, config
from vexdatac.share.errors import VexdatacError

_DB_OPTION = click.option(
    "--db",
    "db_path",
    type=click.Path(dir_okay=False, path_type=Path),
    default=None,
    help=f"Database file (default: ${config.ENV_VAR} or {config.DEFAULT_PATH}).",
)


def _target(db_path):
    return db_path.expanduser() if db_path is not None else config.get_database_path()


@contextlib.contextmanager
def _reading(target):
    """A read-only connection to `target`; a missing, foreign or damaged database ends the command
    with a one-line error instead of a traceback."""
    try:
        conn = config.open_readonly(target)
    except VexdatacError as exc:
        raise click.ClickException(str(exc)) from None
    try:
        yield conn
    except sqlite3.DatabaseError as exc:
        raise click.ClickException(f"{target}: {exc}") from None
    finally:
        conn.close()


@click.group()
@click.version_option(version=__version__, prog_name="vexdatac")
def main():
    """Fund reference data: build, import and examine the local database."""


@main.command()
@_DB_OPTION
def sample(db_path):
    """Build the sample database (44 fictional funds, 2015-2024)."""
    from vexdatac.sample import build_sample

    target = _target(db_path)
    build_sample(target)
    click.echo(f"Built the sample database at {target}")


@main.command("import")
@click.argument("directory", type=click.Path(exists=True, file_okay=False, path_type=Path))
@_DB_OPTION
def import_(directory, db_path):
    """Import the CSV files in DIRECTORY (see the package README for the format).

    The database is rebuilt from the files alone: whatever it held before is
    replaced, and the message gives the row counts before and after."""
    from vexdatac import db
    from vexdatac.importer import import_csv

    target = _target(db_path)
    real = db.resolve_target(target)
    existed = real.exists()
    before = db.table_counts(real) if existed else None
    try:
        counts = import_csv(directory, target)
    except VexdatacError as exc:
        raise click.ClickException(f"import failed, {target} left unchanged: {exc}") from None
    if not existed:
        summary = ", ".join(f"{name} {count}" for name, count in counts.items())
        click.echo(f"Imported {directory} into {target} (a new database): {summary}")
        return
    if before is None:
        summary = ", ".join(f"{name} {count}" for name, count in counts.items())
        click.echo(f"Imported {directory} into {target}, replacing a file that was not a readable "
                   f"fund database: {summary}")
        return
    summary = ", ".join(f"{name} {before.get(name, 0)} -> {count}" for name, count in counts.items())
    click.echo(f"Imported {directory} into {target}, replacing the database that was there "
               f"(rows before -> after): {summary}")


def _summary(conn):
    one = lambda sql: conn.execute(sql).fetchone()  # noqa: E731
    lines = []
    source = one("SELECT value FROM meta WHERE key = 'source'")
    lines.append(f"Source: {source[0] if source else 'unknown'}")
    total = one("SELECT COUNT(*) FROM instruments")[0]
    kinds = conn.execute(
        "SELECT fund_type, COUNT(*) FROM instruments GROUP BY fund_type ORDER BY fund_type"
    ).fetchall()
    accrued = one(
        "SELECT COUNT(*) FROM instruments WHERE accrued_daily = 1 OR accrued_type IS NOT NULL"
    )[0]
    delisted = one("SELECT COUNT(*) FROM instruments WHERE de_listed_date IS NOT NULL")[0]
    lines.append(f"Funds: {total} ({', '.join(f'{k} {n}' for k, n in kinds)}); "
                 f"accruing daily {accrued}; delisted {delisted}")
    for table, column in (("nav", "date"), ("status", "date"), ("dividends", "ex_dividend_date"),
                          ("splits", "ex_dividend_date"), ("trading_calendar", "date")):
        count, first, last = one(f"SELECT COUNT(*), MIN({column}), MAX({column}) FROM {table}")
        span = f", {first} to {last}" if count else ""
        lines.append(f"{table}: {count} rows{span}")
    funds_with_fees = one("SELECT COUNT(DISTINCT order_book_id) FROM fees")[0]
    lines.append(f"fees: {funds_with_fees} funds with fee schedules")
    return lines


@main.command()
@_DB_OPTION
def info(db_path):
    """Summarise the database: funds by kind, date ranges, row counts."""
    target = _target(db_path)
    with _reading(target) as conn:
        click.echo(f"Database: {target}")
        for line in _summary(conn):
            click.echo(line)


_FUNDS_SQL = """
SELECT i.order_book_id, i.fund_type, i.listed_date, i.de_listed_date,
       (SELECT MIN(date) FROM nav WHERE nav.order_book_id = i.order_book_id),
       (SELECT MAX(date) FROM nav WHERE nav.order_book_id = i.order_book_id),
       i.accrued_daily = 1 OR i.accrued_type IS NOT NULL, i.symbol
FROM instruments AS i {where} ORDER BY i.order_book_id
"""


@main.command()
@click.option("--type", "-t", "fund_types", multiple=True, metavar="TYPE",
              help="Only funds of this type, e.g. Bond (repeatable; any case).")
@_DB_OPTION
def funds(fund_types, db_path):
    """List the funds: id, type, listing dates, NAV range, name."""
    target = _target(db_path)
    with _reading(target) as conn:
        known = [row[0] for row in conn.execute("SELECT DISTINCT fund_type FROM instruments ORDER BY fund_type")]
        by_lower = {k.lower(): k for k in known}
        unknown = [t for t in fund_types if t.lower() not in by_lower]
        if unknown:
            raise click.ClickException("no fund has type {} (types in {}: {})".format(
                ", ".join(repr(t) for t in unknown), target, ", ".join(known) or "none"))
        wanted = sorted({by_lower[t.lower()] for t in fund_types})
        where = "WHERE i.fund_type IN ({})".format(", ".join("?" * len(wanted))) if wanted else ""
        rows = conn.execute(_FUNDS_SQL.format(where=where), wanted).fetchall()
    header = ("id", "type", "listed", "delisted", "nav from", "nav to", "name")
    lines = [header]
    for fid, kind, listed, delisted, nav_from, nav_to, accrues, symbol in rows:
        kind = kind + (" (daily)" if accrues else "")
        lines.append((fid, kind, listed or "-", delisted or "-", nav_from or "-", nav_to or "-", symbol))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header) - 1)]
    for line in lines:
        click.echo("  ".join(cell.ljust(w) for cell, w in zip(line, widths)) + "  " + line[-1])
    click.echo(f"{len(rows)} funds", err=True)


@main.command("export-calendar")
@click.argument("directory", type=click.Path(file_okay=False, path_type=Path))
@_DB_OPTION
def export_calendar(directory, db_path):
    """Write DIRECTORY/trading_dates.csv (header trading_date, one ISO date a line)."""
    target = _target(db_path)
    with _reading(target) as conn:
        dates = [row[0] for row in conn.execute("SELECT date FROM trading_calendar ORDER BY date")]
    if not dates:
        raise click.ClickException(f"{target} has no trading calendar; nothing written")
    directory.mkdir(parents=True, exist_ok=True)
    out = directory / "trading_dates.csv"
    tmp = out.with_name(out.name + ".tmp")
    with open(tmp, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(["trading_date"])
        writer.writerows([d] for d in dates)
    tmp.replace(out)
    click.echo(f"Wrote {len(dates)} trading dates ({dates[0]} to {dates[-1]}) to {out}")


if __name__ == "__main__":  # pragma: no cover
    main()
