"""`vexdatac funds`: the fund list a researcher picks a universe from."""
from click.testing import CliRunner

from vexdatac import fund
from vexdatac.cli import main


def listed(*args):
    result = CliRunner().invoke(main, ["funds", *map(str, args)])
    # the count line ("44 funds") goes to stderr, which the runner mixes into the output
    lines = [line for line in result.output.splitlines()[1:] if line and not line.endswith(" funds")]
    return result, [line.split()[:2] for line in lines if line[0].isdigit()]


def test_lists_every_fund_with_its_type(sample_db):
    result, rows = listed("--db", sample_db)
    assert result.exit_code == 0, result.output
    catalogue = fund.all_instruments()
    assert [r[0] for r in rows] == catalogue["order_book_id"].tolist()
    assert [r[1] for r in rows] == catalogue["fund_type"].tolist()
    assert result.output.splitlines()[0].split()[:2] == ["id", "type"]
    assert "{} funds".format(len(catalogue)) in result.output


def test_type_filter_is_repeatable_and_ignores_case(sample_db):
    result, rows = listed("--db", sample_db, "-t", "bond", "--type", "MONEY")
    assert result.exit_code == 0, result.output
    catalogue = fund.all_instruments()
    expected = catalogue[catalogue["fund_type"].isin(["Bond", "Money"])]["order_book_id"].tolist()
    assert [r[0] for r in rows] == expected and expected
    # money-market funds are marked as accruing daily, with the dates of their NAV
    money = [line for line in result.output.splitlines() if "Money" in line]
    assert money and all("(daily)" in line for line in money)


def test_unknown_type_names_the_known_ones(sample_db):
    result, rows = listed("--db", sample_db, "-t", "Equity")
    assert result.exit_code != 0 and not rows
    assert "'Equity'" in result.output and "Bond, Hybrid, Index, Money, Stock" in result.output


def test_missing_database_is_a_clear_error(tmp_path):
    result, _ = listed("--db", tmp_path / "none.sqlite")
    assert result.exit_code != 0 and "none.sqlite" in result.output and "Traceback" not in result.output
