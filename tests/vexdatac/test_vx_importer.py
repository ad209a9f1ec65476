"""CSV import: the happy path and every refusal leaves the target untouched."""
import math

import pytest

import vexdatac
from vexdatac import fund
from vexdatac.importer import DataImportError, import_csv


def _edit(path, old, new):
    text = path.read_text(encoding="utf-8")
    assert old in text, f"{old!r} not in {path.name}"
    path.write_text(text.replace(old, new, 1), encoding="utf-8")


def _append(path, line):
    with open(path, "a", encoding="utf-8") as handle:
        handle.write(line + "\n")


def test_example_directory_imports(tmp_path, example_dir):
    target = tmp_path / "funds.sqlite"
    counts = import_csv(example_dir, target)
    assert counts["instruments"] == 2 and counts["nav"] == 17 and counts["dividends"] == 1
    vexdatac.set_database(target)
    bond = fund.instruments("100001")
    assert bond.symbol == "示例稳健债券A" and bond.de_listed_date is None
    assert bond.min_investment == 10.0 and "accrued_daily" not in vars(bond)
    money = fund.instruments("100002")
    assert money.accrued_daily is True and "trustee" not in vars(money)
    nav = fund.get_nav("100002")
    assert len(nav) == 10 and "daily_profit" in nav.columns
    assert list(fund.get_nav("100001").columns) == ["unit_net_value", "adjusted_net_value"]
    status = fund.get_transaction_status("100001")
    assert status["subscribe_upper_limit"].notna().sum() == 2
    assert fund.get_split("100001").empty
    assert fund.get_fee_schedule("100001")["subscription"][-1] == (math.inf, None, 1000.0)
    assert len(fund.get_trading_dates()) == 7


def test_fees_file_is_optional(tmp_path, example_dir):
    (example_dir / "fees.csv").unlink()
    target = tmp_path / "funds.sqlite"
    import_csv(example_dir, target)
    vexdatac.set_database(target)
    assert fund.get_fee_schedule("100001") is None


# Each case: file, change, then what the message must name (file, line, text).
CASES = [
    ("nav.csv", ("100001,2024-01-03,", "100001,2024-01-32,"), "nav.csv line 3, column date", "valid"),
    ("nav.csv", ("1.0841", "abc"), "nav.csv line 3, column unit_net_value", "'abc' is not a number"),
    ("nav.csv", ("1.0841", "-1"), "nav.csv line 3, column unit_net_value", "greater than 0"),
    ("nav.csv", ("100001,2024-01-03,", "100001,2024-01-02,"), "nav.csv line 3, column date",
     "duplicate (order_book_id, date) ('100001', '2024-01-02') (first on line 2)"),
    ("nav.csv", ("100001,2024-01-03,", "100009,2024-01-03,"), "nav.csv line 3, column order_book_id",
     "unknown fund '100009'"),
    ("nav.csv", ("100002,2024-01-01,1.0,1.052365,0.5121", "100002,2024-01-01,1.0,1.052365,"),
     "nav.csv line 9, column daily_profit", "is empty"),
    ("nav.csv", ("unit_net_value", "unit_nav"), "nav.csv line 1", "missing column(s) unit_net_value"),
    ("status.csv", (",Open,Open,,10,10", ",Open,Shut,,10,10"), "status.csv line 2, column redeem_status",
     "'Shut' is not one of"),
    ("catalogue.csv", ("2019-03-12,,", "2019-03-12,2018-01-01,"), "catalogue.csv line 2, column de_listed_date",
     "lies before listed_date"),
    ("catalogue.csv", (",true,", ",maybe,"), "catalogue.csv line 3, column accrued_daily", "yes/no"),
    ("catalogue.csv", ("trustee,", "trustees,"), "catalogue.csv line 1", "unknown column"),
    ("dividends.csv", ("2024-01-05,2024-01-08", "2024-01-09,2024-01-08"),
     "dividends.csv line 2, column ex_dividend_date", "lies before book_closure_date"),
    ("dividends.csv", (",0.02", ",0"), "dividends.csv line 2, column dividend_before_tax", "greater than 0"),
    ("calendar.csv", ("2024-01-04", "2024-01-03"), "calendar.csv line 4, column trading_date", "duplicate"),
    ("fees.csv", ("100001,subscription,,,1000", "100001,subscription,,0.01,1000"),
     "fees.csv line 4, column rate", "exactly one of rate and fixed_fee"),
    ("fees.csv", ("100002,redemption,,0,", "100002,redemption,30,0,"),
     "fees.csv line 9, column upper_bound", "empty upper_bound"),
]


@pytest.mark.parametrize("name, change, where, problem", CASES,
                         ids=[f"{c[0]}:{c[3][:30]}" for c in CASES])
def test_bad_rows_are_refused_with_location(tmp_path, example_dir, name, change, where, problem):
    target = tmp_path / "funds.sqlite"
    import_csv(example_dir, target)  # an existing good database
    before = target.read_bytes()
    _edit(example_dir / name, *change)
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, target)
    message = str(info.value)
    assert message.startswith(where), message
    assert problem in message
    assert info.value.file == name and info.value.line is not None
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["csv", "funds.sqlite"]


@pytest.mark.parametrize(
    "name, line, problem",
    [
        ("nav.csv", "100001,2024-01-11,1.07", "nav.csv line 19: expected 6 fields, found 3"),
        ("splits.csv", "100002,2024-01-05,abc", "splits.csv line 2, column split_ratio: 'abc' is not a number"),
        ("status.csv", "100001,2024-01-11,Open,Open,,nan,", "status.csv line 16, column subscribe_lower_limit"),
    ],
)
def test_appended_bad_rows(tmp_path, example_dir, name, line, problem):
    _append(example_dir / name, line)
    target = tmp_path / "funds.sqlite"
    with pytest.raises(DataImportError) as info:
        import_csv(example_dir, target)
    assert str(info.value).startswith(problem)
    assert not target.exists()


def test_missing_file_and_empty_catalogue(tmp_path, example_dir):
    (example_dir / "splits.csv").unlink()
    with pytest.raises(DataImportError, match="missing file.*splits.csv"):
        import_csv(example_dir, tmp_path / "a.sqlite")
    (example_dir / "splits.csv").write_text("order_book_id,ex_dividend_date,split_ratio\n")
    (example_dir / "catalogue.csv").write_text("order_book_id,symbol,fund_type,listed_date,de_listed_date\n")
    with pytest.raises(DataImportError, match="catalogue.csv: no funds"):
        import_csv(example_dir, tmp_path / "a.sqlite")
    assert not (tmp_path / "a.sqlite").exists()


def test_non_utf8_file_is_refused(tmp_path, example_dir):
    (example_dir / "calendar.csv").write_bytes("trading_date\n2024-01-02\n".encode() + b"\xff\xfe\n")
    with pytest.raises(DataImportError, match="calendar.csv: not UTF-8"):
        import_csv(example_dir, tmp_path / "a.sqlite")
