"""query_numbers, the native all-number read, gives exactly what numpy makes
of the rows Python's sqlite3 module fetches, and hands every query it does
not take (texts, blobs, odd parameters) to that module unchanged."""
import os
import sqlite3

import numpy as np
import pytest

import vexdatac
from vexdatac import config, db


@pytest.fixture
def numbers_db(tmp_path):
    """A vexdatac database with an extra table t(k, a, b, c) for raw values."""
    path = tmp_path / "funds.sqlite"
    db.write_database(path, "test", {})
    conn = sqlite3.connect(path)
    with conn:
        conn.execute("CREATE TABLE t (k INTEGER, a, b, c)")
    conn.close()
    vexdatac.set_database(path)
    yield path
    config.close_all()


def put(path, rows):
    conn = sqlite3.connect(path)
    with conn:
        conn.execute("DELETE FROM t")
        conn.executemany("INSERT INTO t VALUES (?, ?, ?, ?)", rows)
    conn.close()


def plain(sql, params=()):
    rows = config.query(sql, params)
    return np.array(rows, dtype=float) if rows else None


def assert_same(sql, params=()):
    got, expected = config.query_numbers(sql, params), plain(sql, params)
    if expected is None:
        assert got.dtype == np.float64 and len(got) == 0
    else:
        assert got.dtype == expected.dtype and got.shape == expected.shape
        # bit for bit: -0.0, infinities and NaN where SQLite has NULL
        np.testing.assert_array_equal(got.view(np.int64), expected.view(np.int64))


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_numbers_read_as_numpy_converts_the_fetched_rows(numbers_db, seed):
    rng = np.random.default_rng(seed)
    special = [None, 0, -0.0, 2 ** 53 + 1, -(2 ** 63), 2 ** 63 - 1, float("inf"), float("-inf"), 5e-324, 1e308]

    def value():
        pick = rng.integers(4)
        if pick == 0:
            return special[rng.integers(len(special))]
        if pick == 1:
            return int(rng.integers(-10 ** 12, 10 ** 12))
        return float(rng.normal() * 10.0 ** rng.integers(-8, 9))

    put(numbers_db, [(k, value(), value(), value()) for k in range(int(rng.integers(0, 400)))])
    for sql, params in [("SELECT a, b, c FROM t ORDER BY k", ()),
                        ("SELECT k, a * 2, b FROM t WHERE k BETWEEN ? AND ? ORDER BY k", (10, 200)),
                        ("SELECT c FROM t WHERE k > ? ORDER BY k DESC", (2.5,)),
                        ("SELECT a FROM t WHERE k = ? OR ? IS NULL", (3, None)),
                        ("SELECT k FROM t WHERE k < 0", ())]:
        assert_same(sql, params)
    assert config._readers[str(numbers_db.resolve())][0] is not None  # the native reader answered


@pytest.mark.parametrize("stored", ["1.5", " 2", "abc", "", b"\x00\x01"],
                         ids=["numeric text", "padded text", "text", "empty text", "blob"])
def test_values_that_are_not_numbers_go_to_the_plain_path(numbers_db, stored):
    put(numbers_db, [(1, 1.0, stored, None), (2, 2.0, 3.0, None)])
    sql = "SELECT a, b, c FROM t ORDER BY k"
    try:
        expected = plain(sql)
    except (ValueError, TypeError) as exc:  # numpy's own refusal, worded as numpy words it
        with pytest.raises(type(exc), match="^" + __import__("re").escape(str(exc)) + "$"):
            config.query_numbers(sql)
    else:
        got = config.query_numbers(sql)
        np.testing.assert_array_equal(got, expected)


def test_parameters_of_every_kind_and_errors_are_those_of_sqlite3(numbers_db):
    put(numbers_db, [(k, float(k), None, None) for k in range(5)])
    assert_same("SELECT a FROM t WHERE k = ?", (2 ** 40,))
    assert_same("SELECT a FROM t WHERE k = ?", ("3",))  # text compared by SQLite's affinity rules
    assert_same("SELECT a FROM t WHERE k = ?", (True,))  # a bool is not taken natively
    with pytest.raises(OverflowError):
        config.query("SELECT a FROM t WHERE k = ?", (2 ** 70,))
    with pytest.raises(OverflowError):
        config.query_numbers("SELECT a FROM t WHERE k = ?", (2 ** 70,))
    with pytest.raises(sqlite3.OperationalError, match="no such table: nowhere"):
        config.query_numbers("SELECT a FROM nowhere")
    for params in [(), (1, 2)]:
        with pytest.raises(sqlite3.ProgrammingError, match="Incorrect number of bindings"):
            config.query_numbers("SELECT a FROM t WHERE k = ?", params)
    assert_same("SELECT a FROM t WHERE k = :k", {"k": 1})


def test_a_replaced_database_is_read_afresh(numbers_db, tmp_path):
    put(numbers_db, [(1, 1.0, 2.0, 3.0)])
    assert config.query_numbers("SELECT a, b, c FROM t").tolist() == [[1.0, 2.0, 3.0]]
    fresh = tmp_path / "fresh.sqlite"
    db.write_database(fresh, "test", {})
    conn = sqlite3.connect(fresh)
    with conn:
        conn.execute("CREATE TABLE t (k INTEGER, a, b, c)")
        conn.execute("INSERT INTO t VALUES (1, 7.0, 8.0, 9.0)")
    conn.close()
    os.replace(fresh, numbers_db)  # as `vexdatac import` replaces the file
    assert config.query_numbers("SELECT a, b, c FROM t").tolist() == [[7.0, 8.0, 9.0]]


DAY_SQL = "CASE WHEN date(julianday({0})) IS {0} THEN julianday({0}) - 2440587.5 END"


def test_day_columns_equal_sqlite_s_own_date_arithmetic(numbers_db):
    rng = np.random.default_rng(7)
    texts = ["2020-02-29", "2019-02-29", "2020-02-30", "2020-13-01", "2020-00-10", "2020-01-00", "2020-1-02",
             "2020-01-02 ", " 2020-01-02", "2020-01-02 00:00:00", "20200102", "2020/01/02", "0000-01-01",
             "1677-09-22", "2262-04-11", "9999-12-31", "1969-12-31", "1970-01-01", "２０２０-01-02", "",
             "2400-02-29", "2100-02-29", "1600-02-29"]
    for _ in range(300):
        texts.append("{:04d}-{:02d}-{:02d}".format(int(rng.integers(0, 10000)), int(rng.integers(0, 14)),
                                                   int(rng.integers(0, 33))))
    values = texts + [None, 2458849.5, 18263, b"2020-01-02"]
    put(numbers_db, [(k, v, float(k), None) for k, v in enumerate(values)])
    got = config.query_numbers("SELECT a, b FROM t ORDER BY k", (), day_columns=(0,),
                               fallback="SELECT {}, b FROM t ORDER BY k".format(DAY_SQL.format("a")))
    expected = np.array(config.query("SELECT {}, b FROM t ORDER BY k".format(DAY_SQL.format("a"))), dtype=float)
    np.testing.assert_array_equal(got, expected)
    assert np.isfinite(got[:, 0]).sum() > 100  # real dates among them
    assert config._readers[str(numbers_db.resolve())][0] is not None
    with pytest.raises(ValueError, match="fallback"):
        config.query_numbers("SELECT a FROM t", (), day_columns=(0,))
