"""The chunked CSV writer gives the bytes of rounding plus DataFrame.to_csv, for every kind of column and value."""
import numpy as np
import pandas as pd
import pytest

import tessel.table_csv as table_csv
from tessel.result import round_for_csv
from tessel.table_csv import float_texts, write_csv, write_csv_plain

EDGE_FLOATS = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e-4, -1e-4, 9.9999e-5, 1e-5, 1e-8, 1e-9, 1e-10, 5e-324,
               1e15, 1e15 - 1, 999999999999999.9, 1e16, 1e16 - 2, 123456789012345.6, 1234567890123456.0, 1e22, 1e23,
               9.999999999999999e22, 1e37, 3.0000000000000004e37, 1.7976931348623157e308, -1e308, 0.1, 0.3,
               0.30000000000000004, 1785599.9999999998, 99999.99999999999, 0.00099999999999999, 2.5, -968379.4466]


def random_floats(rng, n):
    """Values of every size and number of digits, some rounded as the report rounds them."""
    size = 10.0 ** rng.integers(-12, 40, n)
    digits = rng.integers(0, 17, n)
    parts = [rng.uniform(-1, 1, n) * size,  # full 17-digit values
             np.rint(rng.uniform(-1e6, 1e6, n) * 10.0 ** (digits % 8)) / 10.0 ** (digits % 8),  # short decimals
             rng.integers(-10 ** 15, 10 ** 15, n).astype(float),
             rng.uniform(-1, 1, n) * 10.0 ** rng.integers(-320, 309, n),
             np.array(EDGE_FLOATS)]
    values = np.concatenate(parts)
    values = np.concatenate([values, round_for_csv(values)])
    rng.shuffle(values)
    return values


def every_kind_of_double(rng, n):
    """Random bit patterns (subnormals, NaN payloads, huge and tiny exponents), values of 1 to 17 significant
    digits at every exponent the writer lays out positionally and a little beyond, and the doubles next to
    powers of ten, where the number of digits and the exponent change."""
    bits = rng.integers(0, 2 ** 64, n, dtype=np.uint64, endpoint=False).view(np.float64)
    digits = rng.integers(1, 18, n)
    mantissa = np.floor(rng.uniform(1, 10, n) * 10.0 ** (digits - 1)) / 10.0 ** (digits - 1)
    decimal = np.array([float("{:.{}g}".format(m * 10.0 ** e, d)) for m, e, d in zip(
        mantissa, rng.integers(-7, 19, n), digits)]) * rng.choice([-1.0, 1.0], n)
    tens = 10.0 ** np.arange(-8, 20)
    near = np.concatenate([tens, np.nextafter(tens, 0), np.nextafter(tens, np.inf), -tens])
    subnormal = rng.integers(1, 2 ** 52, n // 10, dtype=np.uint64).view(np.float64)
    return np.concatenate([bits, decimal, near, subnormal, np.array(EDGE_FLOATS)])


@pytest.mark.parametrize("seed", [0, 1])
def test_float_texts_are_what_to_csv_writes(seed):
    rng = np.random.default_rng(seed)
    values = np.concatenate([random_floats(rng, 4000), every_kind_of_double(rng, 20000)])
    expected = values.astype(str)  # what to_csv turns floats into
    expected[np.isnan(values)] = ""
    got = float_texts(values)
    wrong = [(repr(v), g, e) for v, g, e in zip(values, got, expected) if g != e]
    assert wrong == []
    assert float_texts(np.array(EDGE_FLOATS[:5])) == ["0.0", "-0.0", "", "inf", "-inf"]


def test_integer_columns_of_every_width_and_their_extremes(tmp_path):
    rng = np.random.default_rng(9)
    extremes = np.array([np.iinfo(np.int64).min, np.iinfo(np.int64).max, 0, -1, 1, 10 ** 18, -(10 ** 18)])
    wide = np.concatenate([extremes, rng.integers(np.iinfo(np.int64).min, np.iinfo(np.int64).max, 993)])
    frame = pd.DataFrame({"int64": wide, "int8": wide.astype(np.int8), "int32": wide.astype(np.int32),
                          "uint16": wide.astype(np.uint16), "uint32": wide.astype(np.uint32),
                          "uint64": wide.astype(np.uint64), "x": rng.uniform(-1, 1, 1000)})
    text = same_bytes(tmp_path, frame, chunk_rows=128, rounding=round_for_csv)
    assert b"-9223372036854775808," in text and b"\n9223372036854775807," in text


def positions_like(rng, rows, with_missing=True):
    ids = np.array(["000001", "F,2", 'say "x"', "line\nbreak", "", "基金", " lead", "tail\r"], dtype=object)
    days = pd.bdate_range("1999-12-30", periods=max(rows // 7, 1))
    dates = np.sort(rng.choice(days.to_numpy(), rows))
    frame = pd.DataFrame({
        "date": dates,
        "order_book_id": ids[rng.integers(0, len(ids), rows)],
        "quantity": random_floats(rng, rows)[:rows],
        "price": np.round(rng.lognormal(0, 1, rows), 4),
        "order_id": rng.integers(-5, 10 ** 12, rows),
        "flag": rng.random(rows) < 0.5,
        "status": pd.array(rng.choice(["FILLED", "REJECTED", "a,b"], rows), dtype="string"),
    })
    if with_missing:
        frame.loc[rng.random(rows) < 0.1, "date"] = pd.NaT
        frame["order_book_id"] = frame["order_book_id"].where(rng.random(rows) > 0.1, None)
        frame.loc[rng.random(rows) < 0.1, "status"] = pd.NA
    return frame


def same_bytes(tmp_path, frame, chunk_rows=table_csv.CHUNK_ROWS, **options):
    write_csv_plain(frame, tmp_path / "plain.csv", **options)
    write_csv(frame, tmp_path / "fast.csv", chunk_rows=chunk_rows, **options)
    plain, fast = (tmp_path / "plain.csv").read_bytes(), (tmp_path / "fast.csv").read_bytes()
    assert fast == plain, next((plain.splitlines()[i], line) for i, line in enumerate(fast.splitlines())
                               if i >= len(plain.splitlines()) or line != plain.splitlines()[i])
    return fast


@pytest.mark.parametrize("seed", [3, 4])
@pytest.mark.parametrize("rounding", [round_for_csv, None], ids=["rounded", "raw"])
def test_tables_in_small_chunks_equal_to_csv(tmp_path, seed, rounding):
    frame = positions_like(np.random.default_rng(seed), 3000)
    text = same_bytes(tmp_path, frame, chunk_rows=257, date_format="%Y-%m-%d", rounding=rounding)
    assert b'"F,2"' in text and b'"say ""x"""' in text and b'"line\nbreak"' in text and b"1999-12-30" in text
    assert "基金".encode() in text and b",," in text  # UTF-8, and missing values as empty fields


def test_the_daily_table_with_its_date_index(tmp_path):
    rng = np.random.default_rng(5)
    days = pd.DatetimeIndex(pd.bdate_range("2015-01-05", periods=500), name="date")
    daily = pd.DataFrame({"cash": rng.uniform(0, 2e8, 500), "total_value": random_floats(rng, 500)[:500]},
                         index=days)
    text = same_bytes(tmp_path, daily, chunk_rows=64, index=True, date_format="%Y-%m-%d", rounding=round_for_csv)
    assert text.startswith(b"date,cash,total_value\n2015-01-05,")
    daily.index.name = None
    same_bytes(tmp_path, daily, index=True, date_format="%d/%m/%Y %H:%M", rounding=round_for_csv)
    # seconds as the unit of the dates, as pandas 3 infers them from timestamps
    same_bytes(tmp_path, daily.set_axis(days.astype("datetime64[s]")), index=True, date_format="%Y-%m-%d")


@pytest.mark.parametrize("frame", [
    pd.DataFrame(),
    pd.DataFrame({"a": [], "b": []}),
    pd.DataFrame({"only": [1.5, np.nan, 2.0]}),  # one field per row: an empty one is written quoted
    pd.DataFrame({"a": [1.5, 2.0], 3: ["x", "y"]}),
    pd.DataFrame({"a": np.array([1.5, 2.25], dtype=np.float32), "b": ["x", "y"]}),
    pd.DataFrame({"a": [1.5, 2.0], "b": pd.array([1, None], dtype="Int64")}),
    pd.DataFrame({"a": [1.5, 2.0], "b": pd.Categorical(["x", "y"])}),
    pd.DataFrame({"a": [1.5, 2.0], "b": np.array([1, "x"], dtype=object)}),
    pd.DataFrame({"a": [1.5, 2.0], "b": pd.to_datetime(["2020-01-01", "2020-01-02"]).tz_localize("UTC")}),
    pd.DataFrame([[1.0, 2.0]], columns=["a", "a"]),
], ids=["empty", "no-rows", "one-column", "number-label", "float32", "nullable-int", "category", "mixed-objects",
        "time-zone", "duplicate-labels"])
def test_tables_the_fast_path_does_not_take_are_written_by_to_csv(tmp_path, frame):
    same_bytes(tmp_path, frame, date_format="%Y-%m-%d", rounding=round_for_csv)


def test_columns_equal_to_an_earlier_one_in_some_chunks(tmp_path):
    rng = np.random.default_rng(8)
    value = np.round(rng.lognormal(8, 2, 600), 4)
    signed = value.copy()
    signed[100:200] = 0.0  # equal to the zeros below but for the sign
    unsigned = signed.copy()
    unsigned[100:200] = -0.0
    noisy = value.copy()
    noisy[450] += 1e-9
    frame = pd.DataFrame({"market_value": value, "equity": value, "a": signed, "b": unsigned, "c": noisy,
                          "id": "F"})
    text = same_bytes(tmp_path, frame, chunk_rows=100, rounding=round_for_csv)
    assert b",0.0,-0.0," in text


def test_a_nul_character_in_a_later_chunk_starts_the_file_again(tmp_path):
    frame = pd.DataFrame({"id": ["a"] * 50 + ["b\0c"], "x": np.arange(51) / 3})
    same_bytes(tmp_path, frame, chunk_rows=10, rounding=round_for_csv)
    assert b"b\0c" in (tmp_path / "fast.csv").read_bytes()


def test_the_frame_is_not_changed_or_copied_whole(tmp_path, monkeypatch):
    frame = positions_like(np.random.default_rng(6), 1000, with_missing=False)
    before = frame.copy()
    monkeypatch.setattr(pd.DataFrame, "copy", lambda *a, **k: pytest.fail("the table was copied"))
    monkeypatch.setattr(pd.DataFrame, "to_csv", lambda *a, **k: pytest.fail("to_csv called"))
    write_csv(frame, tmp_path / "t.csv", date_format="%Y-%m-%d", rounding=round_for_csv)
    monkeypatch.undo()
    pd.testing.assert_frame_equal(frame, before)
