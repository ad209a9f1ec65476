"""The per-fund NAV, status and split reads give exactly the frames of the
plain text-date reading (dtypes, index levels and codes, NaN, order), on
random databases and on dates that only the text path can judge, whichever
of the reads answers: the native column read, the all-number read, or the
rows as texts."""
import datetime as dt
import sqlite3

import numpy as np
import pandas as pd
import pytest

import vexdatac
from vexdatac import config, db, fund
from vexdatac.share.dates import date_window, iso_column

STATUSES = ("Open", "Limited", "Suspended", "Close")


# The straightforward reading, from the functions' documented behaviour.
def plain_nav(order_book_id, start_date=None, end_date=None):
    start, end = date_window(start_date, end_date)
    flag = config.query("SELECT accrued_daily, accrued_type FROM instruments WHERE order_book_id = ?",
                        (order_book_id,))
    if not flag:
        return None
    rows = config.query("SELECT date, unit_net_value, adjusted_net_value, daily_profit, weekly_yield FROM nav "
                        "WHERE order_book_id = ? AND date BETWEEN ? AND ? ORDER BY date", (order_book_id, start, end))
    if not rows:
        return None
    dates, unit, adjusted, profit, weekly = zip(*rows)

    def floats(values):
        return np.array([np.nan if v is None else v for v in values], dtype=float)

    data = {"unit_net_value": floats(unit), "adjusted_net_value": floats(adjusted)}
    if bool(flag[0][0]) or bool(flag[0][1]):
        data["daily_profit"] = floats(profit)
        data["weekly_yield"] = floats(weekly)
    return pd.DataFrame(data, index=pd.DatetimeIndex(iso_column(dates), name="datetime"))


def plain_status(order_book_id, start_date=None, end_date=None):
    start, end = date_window(start_date, end_date)
    rows = config.query("SELECT date, subscribe_status, redeem_status, subscribe_upper_limit, subscribe_lower_limit, "
                        "redeem_lower_limit FROM status WHERE order_book_id = ? AND date BETWEEN ? AND ? ORDER BY date",
                        (order_book_id, start, end))
    if not rows:
        return None
    dates, sub, red, upper, lower, red_lower = zip(*rows)
    index = pd.MultiIndex.from_arrays([pd.Series([order_book_id] * len(rows), dtype=object), iso_column(dates)],
                                      names=["order_book_id", "datetime"])
    floats = [np.array([np.nan if v is None else v for v in col], dtype=float) for col in (upper, lower, red_lower)]
    return pd.DataFrame({"subscribe_status": list(sub), "redeem_status": list(red),
                         "subscribe_upper_limit": floats[0], "subscribe_lower_limit": floats[1],
                         "redeem_lower_limit": floats[2]}, index=index)


def plain_split(order_book_id):
    if not config.query("SELECT 1 FROM instruments WHERE order_book_id = ?", (order_book_id,)):
        return None
    rows = config.query("SELECT ex_dividend_date, split_ratio FROM splits WHERE order_book_id = ? "
                        "ORDER BY ex_dividend_date", (order_book_id,))
    dates = [r[0] for r in rows]
    ratios = np.array([r[1] for r in rows], dtype=float)
    return pd.DataFrame({"split_ratio": ratios}, index=pd.DatetimeIndex(iso_column(dates), name="ex_dividend_date"))


def assert_identical(actual, expected):
    if expected is None:
        assert actual is None
        return
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)
    assert list(actual.dtypes) == list(expected.dtypes)
    a, e = actual.index, expected.index
    assert type(a) is type(e) and a.names == e.names and a.dtype == e.dtype
    if isinstance(e, pd.MultiIndex):
        for la, le in zip(a.levels, e.levels):
            assert la.dtype == le.dtype and la.equals(le) and la.name == le.name
        for ca, ce in zip(a.codes, e.codes):
            assert ca.dtype == ce.dtype and np.array_equal(ca, ce)
    else:
        assert a.freq == e.freq


def instrument_row(oid, accrued_daily, accrued_type):
    return (oid, f"Fund {oid}", "Money" if accrued_daily or accrued_type else "Bond", "2001-01-01", None,
            accrued_daily, accrued_type, None, None, None, None, None, None, None, None, None, None, None, None, None,
            1.0)


def random_tables(seed, n_funds=12):
    rng = np.random.default_rng(seed)
    days = pd.date_range("1998-01-01", "2026-12-31")
    tables = {"instruments": [], "nav": [], "status": [], "splits": [], "trading_calendar": []}
    for k in range(n_funds):
        oid = f"{k:06d}"
        accrued = k % 3 == 0
        tables["instruments"].append(instrument_row(oid, 1 if accrued and k % 2 else 0,
                                                    "daily" if accrued and not k % 2 else None))
        # a random subset of days, a few funds with one row or none
        size = [0, 1, 2][k] if k < 3 else int(rng.integers(3, 400))
        picked = np.sort(rng.choice(len(days), size, replace=False))
        for i in picked:
            day = days[i].strftime("%Y-%m-%d")
            nav = float(rng.uniform(0.5, 3.0))
            profit = None if rng.random() < 0.2 else float(rng.uniform(0, 1))
            tables["nav"].append((oid, day, nav, nav * 1.25, profit if accrued else None,
                                  float(rng.uniform(1, 3)) if accrued else None))
            if rng.random() < 0.9:  # status dates differ from NAV dates
                limit = lambda: None if rng.random() < 0.7 else float(rng.integers(1, 10**6))  # noqa: E731
                tables["status"].append((oid, day, STATUSES[rng.integers(4)], STATUSES[rng.integers(4)],
                                         limit(), limit(), limit()))
        if k % 4 == 1:  # most funds have no split
            for i in np.sort(rng.choice(len(days), int(rng.integers(1, 4)), replace=False)):
                tables["splits"].append((oid, days[i].strftime("%Y-%m-%d"), float(rng.uniform(0.5, 3.0))))
    return tables


@pytest.fixture
def use_db(tmp_path):
    def use(tables, name="funds.sqlite"):
        path = tmp_path / name
        db.write_database(path, "test", tables)
        vexdatac.set_database(path)
        return path
    yield use
    config.close_all()


WINDOWS = [(None, None), ("20050104", "29991231"), ("2010-03-01", "2012-12-31"), (dt.date(2030, 1, 1), None)]


@pytest.fixture(params=["columns", "numbers", "texts"])
def read_path(request, monkeypatch):
    """Which read answers: the native column read, the all-number read
    (without the column read), or only Python's sqlite3 module."""
    if request.param != "columns":
        monkeypatch.setattr(config, "read_columns", lambda *args, **kwargs: None)
    if request.param == "texts":
        monkeypatch.setattr(config, "_sqlread", None)
        config.close_all()
    yield request.param
    config.close_all()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_databases_read_as_the_text_path_reads_them(use_db, read_path, seed):
    use_db(random_tables(seed))
    for k in list(range(12)) + [99]:
        oid = f"{k:06d}"
        for start, end in WINDOWS:
            assert_identical(fund.get_nav(oid, start, end), plain_nav(oid, start, end))
            assert_identical(fund.get_transaction_status(oid, start, end), plain_status(oid, start, end))
        assert_identical(fund.get_split(oid), plain_split(oid))
    if read_path == "columns":  # the native reads answered
        assert config._readers[str(config.get_database_path().resolve())][0] is not None


def test_column_read_declines_what_it_cannot_represent(use_db):
    """Each value the column read cannot take exactly sends the read back
    (None), so that the text reading decides."""
    path = use_db({"instruments": [instrument_row("000001", 0, None)]})
    conn = sqlite3.connect(path)
    with conn:
        conn.execute("CREATE TABLE t (k INTEGER, d, x, s)")
        conn.executemany("INSERT INTO t VALUES (?, ?, ?, ?)",
                         [(1, "2020-01-02", 1.5, "Open"), (2, "2020-01-03", None, "Close"), (3, "2020-01-06", 7, "Open")])
    conn.close()
    config.close_all()
    sql, ticks = "SELECT d, x, s FROM t ORDER BY k", 86400

    def read(sql=sql):
        return config.read_columns(sql, (), "dfc", ticks, ("Open", "Close"))

    dates, block, codes = read()
    assert dates.tolist() == [(dt.date(2020, 1, d) - dt.date(1970, 1, 1)).days * ticks for d in (2, 3, 6)]
    assert block.shape == (1, 3) and block[0, 0] == 1.5 and np.isnan(block[0, 1]) and block[0, 2] == 7.0
    assert codes.tolist() == [[0, 1, 0]]
    assert read("SELECT d, x, s FROM t ORDER BY k DESC") is None  # dates not ascending
    for k, column, value in [(2, "d", "2020-01-03 00:00"), (2, "d", None), (2, "d", 18264), (2, "d", "2020-02-30"),
                             (2, "d", "2400-01-01"), (2, "x", "1.5"), (2, "x", b"\x01"), (2, "s", "open"),
                             (2, "s", None), (2, "s", 1)]:
        conn = sqlite3.connect(path)
        with conn:
            saved = conn.execute(f"SELECT {column} FROM t WHERE k = ?", (k,)).fetchone()[0]
            conn.execute(f"UPDATE t SET {column} = ? WHERE k = ?", (value, k))
        conn.close()
        config.close_all()
        assert read() is None, (column, value)
        conn = sqlite3.connect(path)
        with conn:
            conn.execute(f"UPDATE t SET {column} = ? WHERE k = ?", (saved, k))
        conn.close()
        config.close_all()
    assert read() is not None
    assert config.read_columns("SELECT d FROM t WHERE k > 5", (), "d", ticks)[0].tolist() == []
    with pytest.raises(ValueError, match="kinds"):
        config.read_columns(sql, (), "df", ticks)


def test_rows_read_natively_equal_the_fetched_rows(use_db):
    path = use_db({"instruments": [instrument_row("000001", 0, None)]})
    rng = np.random.default_rng(7)
    values = [None, 0, -1, 2 ** 62, -(2 ** 63), 1.5, -0.0, float("inf"), "", "Open", "基金", b"", b"\x00\xff", 3.25]
    conn = sqlite3.connect(path)
    with conn:
        conn.execute("CREATE TABLE t (k INTEGER, a, b)")
        conn.executemany("INSERT INTO t VALUES (?, ?, ?)",
                         [(k, values[rng.integers(len(values))], values[rng.integers(len(values))]) for k in range(200)])
    conn.close()
    config.close_all()
    for sql, params in [("SELECT a, b FROM t ORDER BY k", ()), ("SELECT k, a FROM t WHERE k < ? ORDER BY k", (50,)),
                        ("SELECT a FROM t WHERE k = ?", (3,)), ("SELECT a FROM t WHERE k = ?", (999,))]:
        got, expected = config.query_rows(sql, params), config.query(sql, params)
        assert got == expected
        assert [tuple(map(type, r)) for r in got] == [tuple(map(type, r)) for r in expected]
    # a text that is not UTF-8, and errors: Python's module answers
    conn = sqlite3.connect(path)
    with conn:
        conn.execute("UPDATE t SET a = CAST(X'FF61' AS TEXT) WHERE k = 0")
    conn.close()
    config.close_all()
    with pytest.raises(sqlite3.OperationalError):
        config.query_rows("SELECT a FROM t WHERE k = 0")
    with pytest.raises(sqlite3.OperationalError):
        config.query_rows("SELECT a FROM nowhere")
    with pytest.raises(sqlite3.ProgrammingError):
        config.query_rows("SELECT a FROM t WHERE k = ?", ())


def test_a_relinked_database_name_is_followed(use_db, tmp_path):
    """The same name leading to another file (a symbolic link pointed
    elsewhere) is noticed, even when the file it led to is unchanged."""
    first = use_db(random_tables(1, n_funds=4), "first.sqlite")
    second = use_db(random_tables(2, n_funds=6), "second.sqlite")
    link = tmp_path / "funds.sqlite"
    link.symlink_to(first)
    vexdatac.set_database(link)
    assert len(fund.all_instruments()) == 4
    assert_identical(fund.get_nav("000003"), plain_nav("000003"))
    link.unlink()
    link.symlink_to(second)
    assert len(fund.all_instruments()) == 6
    assert_identical(fund.get_nav("000003"), plain_nav("000003"))
    link.unlink()
    with pytest.raises(vexdatac.share.errors.DatabaseNotFound):
        fund.get_nav("000003")


def put_rows(path, nav_dates, status_dates):
    """Rows written past the importer's checks, as a foreign tool could."""
    conn = sqlite3.connect(path)
    with conn:
        conn.executemany("INSERT INTO nav VALUES ('000001', ?, 1.5, 1.5, NULL, NULL)", [(d,) for d in nav_dates])
        conn.executemany("INSERT INTO status VALUES ('000001', ?, 'Open', 'Close', NULL, 2.5, NULL)",
                         [(d,) for d in status_dates])
    conn.close()
    config.close_all()


def outcome(call, *args):
    try:
        return call(*args), None
    except Exception as exc:  # the exception is part of the behaviour compared
        return None, exc


@pytest.mark.parametrize("dates", [
    ["2020-01-02", "2020-02-30"],           # no such day
    ["2020-01-02", "2020-1-3"],             # not in the stored form
    ["2020-01-02", "2020-01-03 00:00:00"],  # a time of day
    ["2020-01-02", "2458849.5"],            # a number that SQLite would read as a day
    ["1650-06-30", "2020-01-02"],           # outside what every datetime resolution holds
    ["2020-01-02", "2400-01-03"],
], ids=["no such day", "short form", "time of day", "julian number", "1650", "2400"])
def test_dates_only_the_text_path_can_judge(use_db, dates):
    path = use_db({"instruments": [instrument_row("000001", 0, None)]})
    put_rows(path, dates, dates)
    conn = sqlite3.connect(path)
    with conn:
        conn.executemany("INSERT INTO splits VALUES ('000001', ?, 2.0)", [(d,) for d in dates])
    conn.close()
    config.close_all()
    for call, plain in ((fund.get_nav, plain_nav), (fund.get_transaction_status, plain_status),
                        (fund.get_split, plain_split)):
        (got, error), (expected, expected_error) = outcome(call, "000001"), outcome(plain, "000001")
        if expected_error is not None:
            assert type(error) is type(expected_error) and str(error) == str(expected_error)
        else:
            assert error is None
            assert_identical(got, expected)


@pytest.mark.parametrize("statuses", [("Open", "Paused"), ("open", "Close"), ("Close", "Limited ")],
                         ids=["unknown text", "other case", "trailing space"])
def test_status_texts_only_the_text_path_can_read(use_db, statuses):
    path = use_db({"instruments": [instrument_row("000001", 0, None)]})
    conn = sqlite3.connect(path)
    with conn:  # past the schema's own check, as a foreign tool could write them
        conn.execute("PRAGMA ignore_check_constraints = ON")
        conn.executemany("INSERT INTO status VALUES ('000001', ?, ?, ?, NULL, NULL, 3.0)",
                         [("2020-01-02", "Open", "Open"), ("2020-01-03", *statuses)])
    conn.close()
    config.close_all()
    got = fund.get_transaction_status("000001")
    assert list(got["redeem_status"]) == ["Open", statuses[1]]
    assert_identical(got, plain_status("000001"))


@pytest.mark.parametrize("odd", [20200105, 20200105.5, b"2020-01-05"], ids=["integer", "real", "blob"])
@pytest.mark.parametrize("window", [(None, None), ("2020-01-01", "2020-01-03"), ("2020-01-02", "2999-12-31")])
def test_dates_of_other_types_read_as_the_text_path_reads_them(use_db, odd, window):
    """A date stored as a number or a blob, before or after the window's
    end: the rows read (and the errors raised) are those of the text path."""
    path = use_db({"instruments": [instrument_row("000001", 0, None)]})
    conn = sqlite3.connect(path)
    with conn:
        for day in ("2020-01-02", "2020-01-03", odd):
            conn.execute("INSERT INTO nav VALUES ('000001', ?, 1.5, 1.5, NULL, NULL)", (day,))
            conn.execute("INSERT INTO status VALUES ('000001', ?, 'Open', 'Close', NULL, 2.5, NULL)", (day,))
    conn.close()
    config.close_all()
    for call, plain in ((fund.get_nav, plain_nav), (fund.get_transaction_status, plain_status)):
        (got, error), (expected, expected_error) = outcome(call, "000001", *window), outcome(plain, "000001", *window)
        if expected_error is not None:
            assert type(error) is type(expected_error) and str(error) == str(expected_error)
        else:
            assert error is None
            assert_identical(got, expected)


@pytest.mark.parametrize("infer", [False, True])
def test_status_texts_follow_how_pandas_stores_texts(use_db, infer):
    """Whether pandas stores texts as objects or as its string type (an
    option that can change while the process runs), the status columns are
    what it makes of the texts."""
    use_db(random_tables(4))
    if "future.infer_string" not in pd._config.config._registered_options:
        pytest.skip("this pandas has no choice of text storage")
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas 3 calls the option deprecated
        with pd.option_context("future.infer_string", infer):
            for k in (3, 4, 5):
                oid = f"{k:06d}"
                expected = plain_status(oid)
                assert_identical(fund.get_transaction_status(oid), expected)
                if expected is not None:
                    assert fund.get_transaction_status(oid)["redeem_status"].dtype == pd.Series(["Open"]).dtype
        for k in (3, 4, 5):  # and back
            assert_identical(fund.get_transaction_status(f"{k:06d}"), plain_status(f"{k:06d}"))
