"""The bulk paths of the importer (column checks, many rows per INSERT; the
native load of whole NAV and status files) build exactly the database the
row-by-row path builds, and stop at the same first error, on random import
folders of a few thousand rows."""
import sqlite3

import numpy as np
import pytest

from vexdatac import db, importer
from vexdatac.importer import DataImportError, import_csv

KEYS = {"meta": "key", "instruments": "order_book_id", "nav": "order_book_id, date",
        "status": "order_book_id, date", "dividends": "order_book_id, ex_dividend_date",
        "splits": "order_book_id, ex_dividend_date", "trading_calendar": "date",
        "fees": "order_book_id, kind, tier"}


def _cells(rng, values, empty_share=0.0, padded_share=0.0):
    """Texts of `values` with some cells emptied and some padded with spaces."""
    texts = np.asarray(values).astype(str).astype(object)
    draw = rng.random(len(texts))
    texts[draw < empty_share] = ""
    pad = (draw >= empty_share) & (draw < empty_share + padded_share)
    texts[pad] = [f" {t} " for t in texts[pad]]
    return texts


def _write_folder(directory, seed, funds=6, days=420, quote=False, padded=True):
    """A complete import folder: equity, bond and money-market funds, every
    number column with empty and (unless not `padded`) padded cells, both
    date spellings."""
    rng = np.random.default_rng(seed)
    pads = 1.0 if padded else 0.0
    directory.mkdir()
    dates = np.array(np.arange(np.datetime64("2019-01-02"), np.datetime64("2019-01-02") + days * 7 // 5),
                     dtype="datetime64[D]")
    dates = dates[np.is_busday(dates)][:days]
    iso = dates.astype(str)
    compact = np.char.replace(iso, "-", "")
    ids = [f"{300000 + i:06d}" for i in range(funds)]
    money = [i % 3 == 2 for i in range(funds)]
    with open(directory / "catalogue.csv", "w", encoding="utf-8") as out:
        out.write("order_book_id,symbol,fund_type,listed_date,de_listed_date,accrued_daily,latest_size\n")
        for oid, accrues in zip(ids, money):
            name = f'"Fund, {oid}"' if quote else f"Fund {oid}"
            out.write(f"{oid},{name},{'Money' if accrues else 'Stock'},2018-06-01,,"
                      f"{'true' if accrues else ''},{rng.integers(1, 10**9)}\n")
    (directory / "calendar.csv").write_text("trading_date\n" + "\n".join(iso) + "\n", encoding="utf-8")
    nav_lines, status_lines, dividends, splits, fees = [], [], [], [], []
    for oid, accrues in zip(ids, money):
        shown_id = np.where(rng.random(days) < 0.02 * pads, " " + oid, oid)
        shown_date = np.where(rng.random(days) < 0.3, compact, iso)
        unit = np.cumprod(1 + rng.normal(0, 0.01, days))
        digits = int(rng.integers(2, 7))
        unit_text = _cells(rng, np.round(unit, digits), padded_share=0.01 * pads)
        adjusted_text = _cells(rng, np.round(unit * 1.05, 6))
        if accrues:
            # now and then a losing day
            profit = _cells(rng, np.round(rng.uniform(-0.1, 0.9, days), 4), padded_share=0.02 * pads)
            weekly = _cells(rng, np.round(rng.uniform(1, 3, days), 3), empty_share=0.3)
        else:
            profit = _cells(rng, np.round(rng.uniform(0, 0.9, days), 4), empty_share=1.0)
            weekly = profit
        for row in zip(shown_id, shown_date, unit_text, adjusted_text, profit, weekly):
            nav_lines.append(",".join(row))
        state = rng.choice(["Open", "Open", "Open", "Limited", "Suspended", " Close" if padded else "Close"], days)
        upper = _cells(rng, np.full(days, "1000000"), empty_share=0.7)
        lower = _cells(rng, np.full(days, "10"), empty_share=0.1 if accrues else 0.0)
        redeem = _cells(rng, rng.choice(["10", "100", "0.5"], days), empty_share=0.2)
        for row in zip(shown_id, shown_date, state, np.roll(state, 3), upper, lower, redeem):
            status_lines.append(",".join(row))
        for k in rng.choice(days - 5, 2, replace=False):
            dividends.append(f"{oid},{iso[k]},{iso[k + 1]},{iso[k + 3]},{rng.uniform(0.01, 0.2):.4f}")
        if rng.random() < 0.5:
            splits.append(f"{oid},{iso[days // 2]},{rng.uniform(1, 2):.3f}")
        fees += [f"{oid},subscription,1000000,0.012,", f"{oid},subscription,,,1000",
                 f"{oid},redemption,7,0.015,", f"{oid},redemption,,0,"]
    for name, header, lines in (
            ("nav.csv", "order_book_id,date,unit_net_value,adjusted_net_value,daily_profit,weekly_yield",
             nav_lines),
            ("status.csv", "order_book_id,date,subscribe_status,redeem_status,subscribe_upper_limit,"
                           "subscribe_lower_limit,redeem_lower_limit", status_lines),
            ("dividends.csv", "order_book_id,book_closure_date,ex_dividend_date,payable_date,"
                              "dividend_before_tax", dividends),
            ("splits.csv", "order_book_id,ex_dividend_date,split_ratio", splits),
            ("fees.csv", "order_book_id,kind,upper_bound,rate,fixed_fee", fees)):
        if quote and name == "status.csv":
            lines[len(lines) // 2] = lines[len(lines) // 2].replace(",Open,", ',"Open",', 1)
        (directory / name).write_text("\n".join([header, *lines]) + "\n", encoding="utf-8")
    return len(nav_lines)


def _import(directory, target, bulk, monkeypatch, chunk_rows, native=False, loaded=None):
    """The tables `import_csv` built (every value with its storage type), or
    its error message. `native` lets the native load take the files it is
    sure about; the tables it loaded are added to the list `loaded`."""
    with monkeypatch.context() as patch:
        patch.setattr(importer, "CHUNK_ROWS", chunk_rows)
        if native:
            load = importer._bulkload.load

            def watched(database, path, table, *args):
                count = load(database, path, table, *args)
                if count is not None and loaded is not None:
                    loaded.append(table)
                return count
            patch.setattr(importer._bulkload, "load", watched)
        else:
            patch.setattr(importer, "_bulkload", None)
        if not bulk:
            patch.setattr(importer, "_insert_quickly", lambda *args: False)
        try:
            import_csv(directory, target)
        except DataImportError as exc:
            return str(exc)
    tables = {}
    with sqlite3.connect(target) as conn:
        for table in (*db.TABLES, "meta"):
            columns = [row[1] for row in conn.execute(f"PRAGMA table_info({table})")]
            typed = ", ".join(f"{c}, typeof({c})" for c in columns)
            tables[table] = conn.execute(f"SELECT {typed} FROM {table} ORDER BY {KEYS[table]}").fetchall()
    return tables


@pytest.mark.parametrize("seed, chunk_rows, quote", [(1, 700, False), (2, 1_000, True), (3, 20_000, False)])
def test_bulk_path_builds_the_same_database(tmp_path, monkeypatch, seed, chunk_rows, quote):
    rows = _write_folder(tmp_path / "csv", seed, quote=quote)
    bulk = _import(tmp_path / "csv", tmp_path / "bulk.sqlite", True, monkeypatch, chunk_rows)
    plain = _import(tmp_path / "csv", tmp_path / "plain.sqlite", False, monkeypatch, chunk_rows)
    assert not isinstance(bulk, str), bulk
    assert len(bulk["nav"]) == len(bulk["status"]) == rows
    for table in plain:
        assert bulk[table] == plain[table], table
    # Empty number cells are stored as NULL, not as a NaN or a text.
    nav_types = {row[9] for row in bulk["nav"]} | {row[11] for row in bulk["nav"]}
    assert nav_types == {"real", "null"}
    assert {row[9] for row in bulk["status"]} == {"real", "null"}


def _damage(directory, name, line, column, value):
    path = directory / name
    lines = path.read_text(encoding="utf-8").split("\n")
    cells = lines[line - 1].split(",")
    cells[column] = value
    lines[line - 1] = ",".join(cells)
    path.write_text("\n".join(lines), encoding="utf-8")


@pytest.mark.parametrize("name, column, value, problem", [
    # columns that repeat one value (converted once per distinct text)
    ("status.csv", 5, "nan", "'nan' is not a finite number"),
    ("status.csv", 5, "abc", "'abc' is not a number"),
    ("status.csv", 5, "-10", "'-10' must not be below 0"),
    ("status.csv", 4, "inf", "'inf' is not a finite number"),
    ("status.csv", 6, "1e400", "'1e400' is not a finite number"),
    # columns of distinct values, and one left empty for most funds
    ("nav.csv", 2, "NaN", "'NaN' is not a finite number"),
    ("nav.csv", 3, "0", "'0' must be greater than 0"),
    ("nav.csv", 4, "x", "'x' is not a number"),
    ("nav.csv", 0, "399999", "unknown fund '399999' (not in catalogue.csv)"),
    ("status.csv", 3, "Shut", "'Shut' is not one of Open, Limited, Suspended, Close"),
])
def test_bad_cell_deep_in_a_chunk_gives_the_row_message(tmp_path, monkeypatch, name, column, value,
                                                        problem):
    _write_folder(tmp_path / "csv", seed=5)
    line = 1_234  # past the cells sampled to tell repeated columns, inside the second chunk
    _damage(tmp_path / "csv", name, line, column, value)
    bulk = _import(tmp_path / "csv", tmp_path / "bulk.sqlite", True, monkeypatch, 1_000)
    plain = _import(tmp_path / "csv", tmp_path / "plain.sqlite", False, monkeypatch, 1_000)
    header = (tmp_path / "csv" / name).read_text(encoding="utf-8").split("\n")[0].split(",")
    assert bulk == plain == f"{name} line {line}, column {header[column]}: {problem}"
    assert not (tmp_path / "bulk.sqlite").exists()


@pytest.mark.parametrize("extra", [',"3"', ',7', ',"x,y"'])
@pytest.mark.parametrize("name", ["nav.csv", "status.csv"])
def test_record_with_extra_fields_in_a_quoted_chunk_is_refused(tmp_path, monkeypatch, name, extra):
    """A quote anywhere in a chunk sends it through the csv reader; a record
    there with more fields than the header (at the end of the chunk's rows or
    amid them) is refused with its line, as row by row, never loaded with the
    extra fields dropped."""
    _write_folder(tmp_path / "csv", seed=7, padded=False)
    path = tmp_path / "csv" / name
    lines = path.read_text(encoding="utf-8").split("\n")
    cells = lines[300].split(",")
    cells[1] = f'"{cells[1]}"'  # one quoted cell: the chunk goes through the csv reader
    lines[300] = ",".join(cells)
    lines[340] += extra
    path.write_text("\n".join(lines), encoding="utf-8")
    width = len(lines[0].split(","))
    found = width + extra.count(",") - extra.count("x,y")
    bulk = _import(tmp_path / "csv", tmp_path / "bulk.sqlite", True, monkeypatch, 1_000)
    plain = _import(tmp_path / "csv", tmp_path / "plain.sqlite", False, monkeypatch, 1_000)
    assert bulk == plain == f"{name} line 341: expected {width} fields, found {found}"
    assert not (tmp_path / "bulk.sqlite").exists()


def test_key_repeated_across_statements_names_both_lines(tmp_path, monkeypatch):
    _write_folder(tmp_path / "csv", seed=6)
    nav = tmp_path / "csv" / "nav.csv"
    lines = nav.read_text(encoding="utf-8").split("\n")
    first = lines[1].split(",")[:2]
    _damage(tmp_path / "csv", "nav.csv", 1_650, 0, first[0])
    _damage(tmp_path / "csv", "nav.csv", 1_650, 1, first[1])
    message = _import(tmp_path / "csv", tmp_path / "bulk.sqlite", True, monkeypatch, 2_000)
    assert message == (f"nav.csv line 1650, column date: duplicate (order_book_id, date) "
                       f"('{first[0].strip()}', '{importer.parse_date_text(first[1]).isoformat()}') "
                       f"(first on line 2)")


native = pytest.mark.skipif(importer._bulkload is None or not importer._bulkload.available(),
                            reason="the native bulk load is not built")


@native
@pytest.mark.parametrize("seed, padded", [(11, False), (12, False), (13, True)])
def test_native_load_builds_the_same_database(tmp_path, monkeypatch, seed, padded):
    rows = _write_folder(tmp_path / "csv", seed, padded=padded)
    loaded = []
    fast = _import(tmp_path / "csv", tmp_path / "native.sqlite", True, monkeypatch, 1_000, True, loaded)
    plain = _import(tmp_path / "csv", tmp_path / "plain.sqlite", False, monkeypatch, 1_000)
    assert loaded == ["nav", "status"]
    assert not isinstance(fast, str), fast
    assert len(fast["nav"]) == rows
    for table in plain:
        assert fast[table] == plain[table], table


@native
def test_native_load_of_cells_padded_with_spaces_and_tabs(tmp_path, monkeypatch):
    """Every cell of the NAV and status files, the header's too, padded as a hand-edited file may be."""
    _write_folder(tmp_path / "csv", seed=16, padded=False)
    pads = [" ", "\t", "  ", " \t", ""]
    for name in ("nav.csv", "status.csv"):
        path = tmp_path / "csv" / name
        lines = path.read_text(encoding="utf-8").split("\n")
        lines = [",".join(pads[(k + i) % 5] + cell + pads[(k * 3 + i) % 5] for i, cell in enumerate(line.split(",")))
                 if line else line for k, line in enumerate(lines)]
        path.write_text("\n".join(lines), encoding="utf-8")
    fast, plain, loaded = _native_and_plain(tmp_path, monkeypatch)
    assert not isinstance(fast, str), fast
    assert fast == plain
    assert loaded == ["nav", "status"]


def _native_and_plain(tmp_path, monkeypatch):
    loaded = []
    fast = _import(tmp_path / "csv", tmp_path / "native.sqlite", True, monkeypatch, 1_000, True, loaded)
    plain = _import(tmp_path / "csv", tmp_path / "plain.sqlite", False, monkeypatch, 1_000)
    return fast, plain, loaded


@native
@pytest.mark.parametrize("name, column, value, taken", [
    # refused by the Python checks: the native load hands the file over
    ("nav.csv", 2, "1 .5", False), ("nav.csv", 2, "\x0b1.5", False), ("nav.csv", 2, "1.5\xa0", False),
    ("nav.csv", 2, "+1.5", False), ("nav.csv", 2, "1_0", False),
    ("nav.csv", 2, ".5", False), ("nav.csv", 2, "1.", False), ("nav.csv", 2, "0x10", False),
    ("nav.csv", 2, "1e400", False), ("nav.csv", 2, "1e-400", False), ("nav.csv", 2, "-0", False),
    ("nav.csv", 3, "", False), ("nav.csv", 3, "nan", False),
    ("nav.csv", 1, "2019-02-29", False), ("nav.csv", 1, "20190230", False), ("nav.csv", 1, "2019-1-05", False),
    ("nav.csv", 1, "0000-01-02", False), ("nav.csv", 0, "399999", False), ("nav.csv", 0, "", False),
    ("nav.csv", 0, "30000０", False), ("status.csv", 2, "open", False), ("status.csv", 3, "Close\r", False),
    ("status.csv", 6, "-1", False), ("status.csv", 4, "1", False), ("nav.csv", 5, "1e-400", False),
    # accepted by both, with the same values stored
    ("nav.csv", 2, " 1.5", True), ("nav.csv", 2, "\t1.5  ", True), ("nav.csv", 3, "  ", False),
    ("status.csv", 2, " Open\t", True),
    ("nav.csv", 2, "1E5", True), ("nav.csv", 5, "-0", True), ("nav.csv", 2, "007.50", True),
    ("nav.csv", 4, "-0.1", True),  # a money-market fund's losing day
    ("nav.csv", 5, "123456789012345678901234567890", True),
    ("nav.csv", 1, "2019-01-02", True), ("status.csv", 4, "1e3", True),
])
def test_native_load_leaves_what_it_is_unsure_of_to_the_checks(tmp_path, monkeypatch, name, column,
                                                               value, taken):
    _write_folder(tmp_path / "csv", seed=14, padded=False)
    line = 1_234 if column != 1 or value != "2019-01-02" else 2  # line 2 already has that date
    _damage(tmp_path / "csv", name, line, column, value)
    fast, plain, loaded = _native_and_plain(tmp_path, monkeypatch)
    assert fast == plain
    assert (name[:-4] in loaded) == taken
    if isinstance(fast, str):
        assert fast.startswith(f"{name} line {line}")
        assert not (tmp_path / "native.sqlite").exists()


@native
@pytest.mark.parametrize("change", ["duplicate", "crlf", "crlf everywhere", "crlf, no final break",
                                    "lone cr", "double cr", "crlf blank", "blank", "bom", "no final break",
                                    "fields", "quote", "header", "no profits", "no yields"])
def test_native_load_of_unusual_lines(tmp_path, monkeypatch, change):
    _write_folder(tmp_path / "csv", seed=15, padded=False)
    path = tmp_path / "csv" / "nav.csv"
    text = path.read_text(encoding="utf-8")
    lines = text.split("\n")
    if change == "duplicate":
        lines[900] = lines[3]
    elif change == "crlf":
        lines[700] += "\r"
    elif change.startswith("crlf everywhere") or change.startswith("crlf, "):
        lines = [line + "\r" if line else line for line in lines]
    elif change == "lone cr":  # inside a line, not before its break
        lines[700] = lines[700].replace(",", "\r,", 1)
    elif change == "double cr":
        lines[700] += "\r\r"
    elif change == "crlf blank":
        lines.insert(800, "\r")
    elif change == "blank":
        lines.insert(800, "")
    elif change == "fields":
        lines[600] += ","
    elif change == "quote":
        lines[500] = lines[500].replace(",", ',"', 1).replace(",", '",', 2)
    elif change == "header":
        lines[0] = lines[0].replace("date", " date")
    elif change in ("no profits", "no yields"):  # a money fund's daily profit is required
        drop = 4 if change == "no profits" else 5
        lines = [",".join(c for k, c in enumerate(line.split(",")) if k != drop) if line else line
                 for line in lines]
    text = "\n".join(lines)
    if change == "bom":
        text = "\ufeff" + text
    if change in ("no final break", "crlf, no final break"):
        text = text.rstrip("\n")
    path.write_text(text, encoding="utf-8")
    fast, plain, loaded = _native_and_plain(tmp_path, monkeypatch)
    assert fast == plain
    assert ("nav" in loaded) == (change in ("bom", "no final break", "no yields", "crlf", "crlf everywhere",
                                            "crlf, no final break", "header"))
