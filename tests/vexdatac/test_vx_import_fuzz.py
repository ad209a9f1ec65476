"""Import folders damaged at random: the fast paths (native load, column
checks) and the row-by-row path agree on every one of them, on the database
they build or on the first error they report.

Each seed writes a small folder and damages a few records of random files:
a cell replaced by junk (texts, odd numbers and dates, quotes, carriage
returns, full-width digits), a field added or dropped, a line inserted.
VEXDATAC_FUZZ_SEEDS=FIRST:LAST runs a longer sweep instead (not in CI).
"""
import os
import random

import pytest

from test_vx_import_equivalence import _import, _write_folder

# Seeds 121, 203 and 264 once exposed a fault: a record with an extra field,
# inside a chunk that a quote sent through the csv reader, was loaded by the
# column checks with the field dropped.
SEEDS = [121, 203, 264, 1, 2, 3, 4, 5, 6, 7, 8, 9]
if os.environ.get("VEXDATAC_FUZZ_SEEDS"):
    _first, _last = (int(x) for x in os.environ["VEXDATAC_FUZZ_SEEDS"].split(":"))
    SEEDS = list(range(_first, _last))

FILES = ["nav.csv", "status.csv", "nav.csv", "status.csv", "dividends.csv", "splits.csv", "fees.csv",
         "calendar.csv", "catalogue.csv"]
JUNK = ["", " ", "  ", "1e5", "-1", "-0", "+5", "5.", ".5", "0", "0x10", "1_000", "1e-320", "9" * 40, "inf",
        "nan", "1.0e+2", "\u22121", "\uff11", "\u0661", "abc", "true", "False", "Open", "Close", "Limited ",
        "suspended", "2019-01-02", "2019-13-01", "20190230", "19-01-02", "2019-01-02T00:00", "\t2\t",
        "1,2", '"3"', '"a,b"', '"', '""', 'a"b', "\r", "x\ry", "1\r\n2"]


def _damage(directory, rng):
    for _ in range(rng.randint(1, 3)):
        path = directory / rng.choice(FILES)
        lines = path.read_text(encoding="utf-8").split("\n")
        at = rng.randrange(0, len(lines) - 1)
        cells = lines[at].split(",")
        draw = rng.random()
        if draw < 0.7:
            cells[rng.randrange(len(cells))] = rng.choice(JUNK)
        elif draw < 0.8:
            cells.append(rng.choice(JUNK))
        elif draw < 0.9 and len(cells) > 1:
            cells.pop(rng.randrange(len(cells)))
        else:
            lines.insert(at, rng.choice(["", " ", ",,,", lines[at]]))
        lines[at] = ",".join(cells)
        path.write_text("\n".join(lines), encoding="utf-8")


@pytest.mark.parametrize("seed", SEEDS)
def test_damaged_folder_gives_one_outcome_on_every_path(tmp_path, monkeypatch, seed):
    rng = random.Random(seed)
    _write_folder(tmp_path / "csv", seed, funds=3, days=150, padded=rng.random() < 0.5)
    _damage(tmp_path / "csv", rng)
    chunk_rows = rng.choice([50, 200, 1_000])
    native = _import(tmp_path / "csv", tmp_path / "native.sqlite", True, monkeypatch, chunk_rows, True, [])
    columns = _import(tmp_path / "csv", tmp_path / "columns.sqlite", True, monkeypatch, chunk_rows)
    plain = _import(tmp_path / "csv", tmp_path / "plain.sqlite", False, monkeypatch, chunk_rows)
    assert native == plain
    assert columns == plain
    if isinstance(plain, str):
        assert not (tmp_path / "native.sqlite").exists() and not (tmp_path / "columns.sqlite").exists()
