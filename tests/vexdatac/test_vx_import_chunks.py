"""CSV import read in chunks: the quick column checks accept exactly what the
row-by-row checks accept, store the same values and leave the same first
error; line numbers, long values and new row rules."""
import csv
import io
import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vexdatac import importer
from vexdatac.importer import DataImportError, import_csv

NAV_HEADER = "order_book_id,date,unit_net_value,adjusted_net_value,daily_profit,weekly_yield"
STATUS_HEADER = ("order_book_id,date,subscribe_status,redeem_status,subscribe_upper_limit,"
                 "subscribe_lower_limit,redeem_lower_limit")

# Rows that are fine (duplicate keys aside), a few cells of which are then
# replaced by every kind of trouble the row checks know.
IDS = st.sampled_from(["100001", "100002", " 100001"])
DATES = st.sampled_from(["2024-01-02", "2024-01-03", "20240104", "2024-01-05", " 2024-01-08",
                         "2024-01-09", "2024-01-10", "2024-01-11", "2024-01-12"])
NUMBERS = st.sampled_from(["1.0841", "1.2", " 2.5 ", "0.5", "1e3", "3", "1_0"])
OPTIONAL = st.one_of(st.just(""), st.just(""), NUMBERS)
STATES = st.sampled_from(["Open", "Limited", " Suspended", "Close"])
BAD = st.sampled_from(["0", "-1", "", "  ", "nan", "inf", "-inf", "1e400", "abc", "100009", "2024-02-30",
                       "Shut", "1,5"])
NAV_ROWS = st.lists(st.tuples(IDS, DATES, NUMBERS, NUMBERS, NUMBERS, OPTIONAL), max_size=14)
STATUS_ROWS = st.lists(st.tuples(IDS, DATES, STATES, STATES, OPTIONAL, OPTIONAL, OPTIONAL), max_size=10)
DAMAGE = st.lists(st.tuples(st.integers(0, 13), st.integers(0, 6), BAD), max_size=2)


def _lines(rows, damage, blank_at=None):
    rows = [list(row) for row in rows]
    for at, column, value in damage:
        if at < len(rows):
            rows[at][column % len(rows[at])] = value
    lines = [",".join(row) for row in rows]
    if blank_at is not None and blank_at <= len(lines):
        lines.insert(blank_at, "")
    return lines


def _outcome(example_dir, target, quick, monkeypatch):
    """The import's error message, or the NAV and status rows it stored."""
    with monkeypatch.context() as patch:
        patch.setattr(importer, "CHUNK_ROWS", 3)
        if not quick:
            patch.setattr(importer, "_insert_quickly", lambda *args: False)
        try:
            import_csv(example_dir, target)
        except DataImportError as exc:
            return str(exc)
    with sqlite3.connect(target) as conn:
        return [conn.execute(f"SELECT * FROM {t} ORDER BY 1, 2").fetchall() for t in ("nav", "status")]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(nav=NAV_ROWS, status=STATUS_ROWS, nav_damage=DAMAGE, status_damage=DAMAGE,
       blank_at=st.one_of(st.none(), st.integers(0, 14)),
       short_at=st.one_of(st.none(), st.integers(0, 14)), newline=st.sampled_from(["\n", "\r\n"]))
def test_quick_checks_agree_with_row_checks(tmp_path_factory, example_dir, monkeypatch, nav, status,
                                            nav_damage, status_damage, blank_at, short_at, newline):
    nav_lines = _lines(nav, nav_damage, blank_at)
    if short_at is not None and short_at <= len(nav_lines):
        nav_lines.insert(short_at, "100001,2024-01-11,1.07")  # too few fields
    for name, lines in (("nav.csv", [NAV_HEADER, *nav_lines]),
                        ("status.csv", [STATUS_HEADER, *_lines(status, status_damage)])):
        (example_dir / name).write_bytes(newline.join(lines).encode() + newline.encode())
    work = tmp_path_factory.mktemp("chunks")
    quick = _outcome(example_dir, work / "quick.sqlite", True, monkeypatch)
    rows = _outcome(example_dir, work / "rows.sqlite", False, monkeypatch)
    assert quick == rows


def test_duplicate_in_an_earlier_chunk_names_its_first_line(tmp_path, example_dir, monkeypatch):
    monkeypatch.setattr(importer, "CHUNK_ROWS", 4)
    with open(example_dir / "nav.csv", "a", encoding="utf-8") as handle:
        handle.write("100001,20240103,1.1,1.1,,\n")  # line 19, same key as line 3
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    assert str(info.value) == ("nav.csv line 19, column date: duplicate (order_book_id, date) "
                               "('100001', '2024-01-03') (first on line 3)")


def test_unterminated_quote_is_reported_where_it_opens(tmp_path, example_dir):
    nav = example_dir / "nav.csv"
    lines = nav.read_text(encoding="utf-8").splitlines()
    lines[2] = lines[2].replace("100001,", '"100001,', 1)  # line 3
    nav.write_text("\n".join(lines) + "\n", encoding="utf-8")
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    message = str(info.value)
    assert message.startswith("nav.csv line 3: expected 6 fields, found 1")
    assert f"runs on to line {len(lines)}" in message and "closing quote" in message
    assert info.value.line == 3


def test_quoted_line_breaks_count_in_later_line_numbers(tmp_path, example_dir):
    catalogue = example_dir / "catalogue.csv"
    text = catalogue.read_text(encoding="utf-8")
    header, first, second = text.splitlines()[:3]
    # The first fund's name spans lines 2-4 (one \n, one \r\n): the second fund starts on line 5.
    name = first.split(",")[1]
    first = first.replace(name, f'"{name}\nzwei\r\ndrei"', 1)
    second = second.replace(",true,", ",maybe,", 1)
    catalogue.write_bytes("\n".join([header, first, second]).encode() + b"\n")
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    assert str(info.value).startswith("catalogue.csv line 5, column accrued_daily:")


@pytest.mark.parametrize("name, old, new, where", [
    ("nav.csv", "1.0841", "1" * 5000, "nav.csv line 3, column unit_net_value"),
    ("nav.csv", "100001,2024-01-03,", "100001," + "2" * 5000 + ",", "nav.csv line 3, column date"),
    ("status.csv", ",Open,Open,,10,10", ",Open," + "Shut" * 1250 + ",,10,10", "status.csv line 2"),
    ("nav.csv", "100001,2024-01-03,", "9" * 5000 + ",2024-01-03,", "nav.csv line 3, column order_book_id"),
])
def test_long_values_are_clipped_in_messages(tmp_path, example_dir, name, old, new, where):
    path = example_dir / name
    path.write_text(path.read_text(encoding="utf-8").replace(old, new, 1), encoding="utf-8")
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    message = str(info.value)
    assert message.startswith(where)
    assert "(5000 characters)" in message and len(message) < 250, message


def _transition_time(example_dir, value):
    """Set the first fund's transition_time (catalogue.csv line 2)."""
    catalogue = example_dir / "catalogue.csv"
    text = catalogue.read_text(encoding="utf-8")
    old = ",,0,中国银行股份有限公司,1"
    assert old in text
    catalogue.write_text(text.replace(old, f",,{value},中国银行股份有限公司,1", 1), encoding="utf-8")


@pytest.mark.parametrize("value, problem", [
    ("99999999999999999999999", "'99999999999999999999999' is too large (at most 9223372036854775807)"),
    ("9" * 5000, "is too large"),
    ("9223372036854775808", "is too large"),
    ("-" + "9" * 5000, "must not be below 0"),
])
def test_integers_beyond_the_database_range_are_refused(tmp_path, example_dir, value, problem):
    _transition_time(example_dir, value)
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    assert str(info.value).startswith("catalogue.csv line 2, column transition_time: ")
    assert problem in str(info.value)


def test_largest_integer_is_stored(tmp_path, example_dir):
    _transition_time(example_dir, "9223372036854775807")
    import_csv(example_dir, tmp_path / "a.sqlite")
    with sqlite3.connect(tmp_path / "a.sqlite") as conn:
        assert conn.execute("SELECT transition_time FROM instruments WHERE transition_time IS NOT NULL"
                            ).fetchall() == [(2**63 - 1,), (0,)]


def test_subscribe_lower_limit_above_upper_is_refused(tmp_path, example_dir):
    status = example_dir / "status.csv"
    text = status.read_text(encoding="utf-8")
    with open(status, "a", encoding="utf-8") as handle:
        handle.write("100001,2024-01-11,Limited,Open,5000,5000,\n")  # equal limits are fine
    import_csv(example_dir, tmp_path / "a.sqlite")
    line = len(text.splitlines()) + 2
    with open(status, "a", encoding="utf-8") as handle:
        handle.write("100001,2024-01-12,Limited,Open,1000,5000,\n")
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    assert str(info.value) == (f"status.csv line {line}, column subscribe_lower_limit: 5000 lies above "
                               "subscribe_upper_limit 1000")


@pytest.mark.parametrize("name", ["fee.csv", "Fees.csv", "fees.CSV"])
def test_misnamed_file_is_refused_naming_the_expected_one(tmp_path, example_dir, name):
    (example_dir / "fees.csv").rename(example_dir / name)
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, tmp_path / "a.sqlite")
    assert f"unknown file {name} (did you mean fees.csv?" in str(info.value)
    assert not (tmp_path / "a.sqlite").exists()


def test_other_files_in_the_folder_are_left_alone(tmp_path, example_dir):
    (example_dir / "README.txt").write_text("notes\n")
    (example_dir / ".~lock.nav.csv#").write_text("lock\n")
    (example_dir / "old").mkdir()
    (example_dir / "old" / "nav.csv").write_text("x\n")
    assert import_csv(example_dir, tmp_path / "a.sqlite")["nav"] == 17
    (example_dir / "prices.csv").write_text("x\n")
    with pytest.raises(DataImportError, match=r"unknown file prices.csv \(the files read are catalogue.csv"):
        import_csv(example_dir, tmp_path / "a.sqlite")


PIECES = st.sampled_from(["100001", "2024-01-02", "1.5", " ", ",", ",", "\n", "\n", "\r\n", "\r", '"', "x"])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(body=st.lists(PIECES, max_size=60).map("".join))
def test_records_and_their_lines_are_those_of_the_csv_reader(tmp_path_factory, monkeypatch, body):
    """Quote-free lines are split at commas without the csv reader, the rest
    of a file after a quote is parsed by it: both give the csv reader's
    records, starting lines and field-count errors."""
    header = "order_book_id,ex_dividend_date,split_ratio\n"
    directory = tmp_path_factory.mktemp("split")
    (directory / "splits.csv").write_bytes((header + body).encode())
    expected = []
    reader = csv.reader(io.StringIO(header + body, newline=""))
    next(reader)
    start = 2
    for values in reader:
        if values and any(v.strip() for v in values):
            if len(values) != 3:
                expected.append(("wrong width", start))
                break
            expected.append((start, values))
        start = reader.line_num + 1
    got = []
    monkeypatch.setattr(importer, "CHUNK_ROWS", 2)
    try:
        with importer._CsvFile(directory, "splits.csv") as split:
            for row in split.rows():
                got.append((row.line, [row.values[c] for c in ("order_book_id", "ex_dividend_date",
                                                               "split_ratio")]))
    except DataImportError as exc:
        assert "fields, found" in str(exc), str(exc)
        got.append(("wrong width", exc.line))
    assert got == expected
