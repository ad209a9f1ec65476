"""The per-fund NAV and status reads give exactly the frames of the plain
text-date reading (dtypes, index levels and codes, NaN, order), on random
databases and on dates that only the text path can judge."""
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
    tables = {"instruments": [], "nav": [], "status": [], "trading_calendar": []}
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


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_databases_read_as_the_text_path_reads_them(use_db, seed):
    use_db(random_tables(seed))
    for k in list(range(12)) + [99]:
        oid = f"{k:06d}"
        for start, end in WINDOWS:
            assert_identical(fund.get_nav(oid, start, end), plain_nav(oid, start, end))
            assert_identical(fund.get_transaction_status(oid, start, end), plain_status(oid, start, end))


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
    for call, plain in ((fund.get_nav, plain_nav), (fund.get_transaction_status, plain_status)):
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
