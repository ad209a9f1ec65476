"""Time the run's fixed costs at its end: building the positions table, writing the report, the picture.

Builds a positions table like a run records (a day stamp, a fund id and five
numbers per row, as a monthly rebalance of a few hundred funds gives them)
and times, in this one process (best of --repeat rounds each, the two ways
interleaved, in CPU seconds: the machine may be shared):

1. writing it as CSV: the report's chunked writer (rows laid out natively)
   against rounding plus ``DataFrame.to_csv``; the files must be identical,
   and the peak memory each way adds is measured in a child process of its
   own;
2. building it from the recorder's per-day columns: ``positions_frame``
   (dates and ids typed once from their distinct values) against the rows'
   way (object columns that pandas types value by value, what the recorder
   did before); the tables must be equal;
3. saving a whole report of that size (``RunResult.save``: four tables,
   ``summary.json``, ``report.png``), with the picture's share, in a fresh
   process, after importing the picture's module (matplotlib), also timed;
4. with ``--db``, the first and last NAV date of a fund database: the
   walk along the nav table's primary key that ``tessel run`` makes against
   ``MIN(date), MAX(date)`` over every row (the same answer).

    PYTHONPATH=. python bench/bench_report.py [--rows 1000000] [--repeat 3] [--db funds.sqlite]
"""
import multiprocessing
import os
import platform
import sqlite3
import tempfile
import time

import click
import numpy as np
import pandas as pd

from tessel.recorder import _POSITION_NUMBERS, DailyRecorder
from tessel.result import RunResult, compute_summary, round_for_csv
from tessel.table_csv import write_csv, write_csv_plain

WAYS = {"chunked writer": write_csv, "round + to_csv": write_csv_plain}


def positions_table(rows, funds=400, seed=3):
    """Rows of ``funds`` holdings a day: units held for weeks, NAVs moving daily, values to many decimals."""
    rng = np.random.default_rng(seed)
    days = -(-rows // funds)
    dates = pd.bdate_range("2015-01-05", periods=days).to_numpy().astype("datetime64[s]")
    ids = np.array(["{:06d}".format(200000 + k) for k in range(funds)], dtype=object)
    nav = np.cumprod(1.0 + rng.normal(0.0002, 0.004, (days, funds)), axis=0).round(4).ravel()[:rows]
    units = np.repeat(np.round(rng.uniform(1e4, 1e6, (days // 21 + 1) * funds), 4), 21)[:rows]
    due = np.where(rng.random(rows) < 0.03, units, 0.0)
    value = units * nav
    return pd.DataFrame({"date": np.repeat(dates, funds)[:rows], "order_book_id": np.tile(ids, days)[:rows],
                         "quantity": units, "receivable_quantity": due, "last_price": nav,
                         "market_value": value + due * nav, "equity": value + due * nav})


def _write(way, frame, path):
    WAYS[way](frame, path, index=False, date_format="%Y-%m-%d", rounding=round_for_csv)


def _status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def _peak_in_child(way, rows, path, queue):
    frame = positions_table(rows)
    # Linux: forget the peak so far (building the table), so the peak below is the writing's
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status_kib("VmRSS")
    _write(way, frame, path)
    queue.put((_status_kib("VmHWM") - before) / 1024)


def peak_added(way, rows, path):
    """MiB of peak memory that writing adds to a process holding the table."""
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    child = context.Process(target=_peak_in_child, args=(way, rows, path, queue))
    child.start()
    added = queue.get()
    child.join()
    return added


# --- the positions table from the recorder's columns -------------------------------------------

def recorded_days(frame):
    """The recorder's per-day columns holding ``frame``: a stamp, a tuple of ids, a bytes object per number."""
    days, ids, numbers = [], [], tuple([] for _ in _POSITION_NUMBERS)
    starts = np.flatnonzero(np.r_[True, frame["date"].to_numpy()[1:] != frame["date"].to_numpy()[:-1]])
    for start, stop in zip(starts, np.r_[starts[1:], len(frame)]):
        days.append(pd.Timestamp(frame["date"].iloc[start]).as_unit("s"))
        block = tuple(frame["order_book_id"].iloc[start:stop])
        ids.append(ids[-1] if ids and ids[-1] == block else block)  # the day before's tuple, shared
        for kept, name in zip(numbers, _POSITION_NUMBERS):
            kept.append(frame[name].to_numpy()[start:stop].tobytes())
    return days, ids, numbers


def native_positions(recorded):
    recorder = DailyRecorder.__new__(DailyRecorder)
    days, ids, numbers = recorded
    recorder._position_days, recorder._position_ids = list(days), list(ids)
    recorder._position_numbers = tuple(list(n) for n in numbers)
    recorder._positions = None
    return recorder.positions_frame()


def rows_positions(recorded):
    """The rows' way: numbers in one block, then ids and stamps as object arrays that pandas types one by one."""
    days, ids, numbers = recorded
    counts = [len(block) for block in ids]
    frame = pd.DataFrame(np.column_stack([np.frombuffer(b"".join(n), dtype=np.float64) for n in numbers]),
                         columns=list(_POSITION_NUMBERS))
    column = np.empty(sum(counts), dtype=object)
    column[:] = [i for block in ids for i in block]
    frame.insert(0, "order_book_id", column)
    stamps = np.empty(len(days), dtype=object)
    stamps[:] = days
    frame.insert(0, "date", np.repeat(stamps, counts))
    return frame


BUILDS = {"typed once": native_positions, "typed by row": rows_positions}


# --- a whole report ----------------------------------------------------------------------------

def run_result(positions):
    days = pd.DatetimeIndex(pd.unique(positions["date"]), name="date")
    rng = np.random.default_rng(5)
    total = 1e8 * np.cumprod(1.0 + rng.normal(0.0002, 0.003, len(days)))
    daily = pd.DataFrame({"cash": total * 0.02, "market_value": total * 0.98, "receivable_units": 0.0,
                          "receivable_units_value": 0.0, "receivable_cash": 0.0, "dividend_receivable": 0.0,
                          "total_value": total, "cash_change": np.r_[0.0, np.diff(total * 0.02)]}, index=days)
    trades = positions.iloc[::21][["date", "order_book_id"]].assign(
        side="BUY", position_effect="OPEN", price=positions["last_price"].iloc[::21].to_numpy(), quantity=100.0,
        fee=1.5, cash_amount=-101.5, order_id=np.arange(len(positions.iloc[::21])) + 1).reset_index(drop=True)
    trades["trade_id"] = trades["order_id"]
    orders = trades[["date", "order_id", "order_book_id", "side", "position_effect"]].assign(
        type="MARKET", quantity=np.nan, cash_amount=1e4, limit_price=np.nan, filled_quantity=100.0,
        avg_price=trades["price"], fee=1.5, status="FILLED", message="")
    summary = compute_summary(daily, 1e8, trades, orders=orders)
    return RunResult(daily=daily, positions=positions, trades=trades, orders=orders, summary=summary,
                     title="bench")


def _save_times(rows, queue):
    result = run_result(positions_table(rows))
    start = time.process_time()
    from tessel import report  # matplotlib with it
    imported = time.process_time() - start

    drawn = []
    plot = report.plot_report

    def timed_plot(*args, **kwargs):
        start = time.process_time()
        try:
            return plot(*args, **kwargs)
        finally:
            drawn.append(time.process_time() - start)

    report.plot_report = timed_plot
    times = []
    with tempfile.TemporaryDirectory() as tmp:
        for k in range(2):
            start = time.process_time()
            result.save(os.path.join(tmp, str(k)))
            times.append(time.process_time() - start)
    queue.put((imported, times, drawn))


def save_times(rows):
    """CPU s of importing the picture's module (matplotlib), of two ``RunResult.save`` and of their pictures."""
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    child = context.Process(target=_save_times, args=(rows, queue))
    child.start()
    times = queue.get()
    child.join()
    return times


NAV_QUERIES = {"primary-key walk": None, "scan of every row": "SELECT MIN(date), MAX(date) FROM nav"}


def nav_range_times(db, repeat):
    from tessel.cli import NAV_DATE_RANGE

    queries = dict(NAV_QUERIES, **{"primary-key walk": NAV_DATE_RANGE})
    conn = sqlite3.connect("file:{}?mode=ro".format(db), uri=True)
    best, answers = {way: float("inf") for way in queries}, {}
    for _ in range(repeat):
        for way, sql in queries.items():
            start = time.process_time()
            answers[way] = conn.execute(sql).fetchall()
            best[way] = min(best[way], time.process_time() - start)
    conn.close()
    if len({tuple(a) for a in answers.values()}) != 1:
        raise SystemExit("the NAV date range queries disagree: {}".format(answers))
    return best, answers["primary-key walk"][0]


def _best_of(ways, repeat, call):
    best = {way: float("inf") for way in ways}
    out = {}
    for _ in range(repeat):
        for way in ways:
            start = time.process_time()
            out[way] = call(way)
            best[way] = min(best[way], time.process_time() - start)
    return best, out


@click.command()
@click.option("--rows", default=1_000_000, show_default=True, help="Rows of the positions table.")
@click.option("--repeat", default=3, show_default=True, help="Rounds of each way; the best counts.")
@click.option("--db", type=click.Path(dir_okay=False, exists=True), help="A fund database for the NAV range query.")
def main(rows, repeat, db):
    frame = positions_table(rows)
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, load average "
          f"{', '.join(f'{x:.1f}' for x in os.getloadavg())}; python {platform.python_version()}, "
          f"numpy {np.__version__}, pandas {pd.__version__}")
    print(f"positions table: {rows:,} rows x {frame.shape[1]} columns")

    with tempfile.TemporaryDirectory() as tmp:
        paths = {way: os.path.join(tmp, f"{k}.csv") for k, way in enumerate(WAYS)}
        best, _ = _best_of(WAYS, repeat, lambda way: _write(way, frame, paths[way]))
        contents = [open(paths[way], "rb").read() for way in WAYS]
        if contents[0] != contents[1]:
            raise SystemExit("the two ways wrote different files")
        size = len(contents[0])
        del contents
        peaks = {way: peak_added(way, rows, paths[way]) for way in WAYS}
    print(f"\n1. writing the table as CSV: identical files of {size / 2 ** 20:.1f} MiB")
    print(f"{'':18}{'CPU s':>8}{'rows/CPU s':>14}{'peak added':>12}")
    for way in WAYS:
        print(f"{way:18}{best[way]:8.2f}{rows / best[way]:14,.0f}{peaks[way]:9.0f} MiB")
    print(f"ratio: the chunked writer is {best['round + to_csv'] / best['chunked writer']:.1f}x as fast")

    recorded = recorded_days(frame)
    best, tables = _best_of(BUILDS, repeat, lambda way: BUILDS[way](recorded))
    pd.testing.assert_frame_equal(tables["typed once"], tables["typed by row"], check_exact=True)
    del tables
    print(f"\n2. building the table from the recorded days ({len(recorded[0]):,} days): equal tables")
    for way in BUILDS:
        print(f"{way:18}{best[way]:8.2f} CPU s")
    print(f"ratio: {best['typed by row'] / best['typed once']:.1f}x")

    imported, (first, second), (first_picture, second_picture) = save_times(rows)
    print(f"\n3. RunResult.save of a report of this size (four tables, summary.json, report.png), fresh process")
    print(f"importing tessel.report (matplotlib) {imported:.2f} CPU s, then")
    print(f"first save  {first:6.2f} CPU s (picture {first_picture:.2f})")
    print(f"second save {second:6.2f} CPU s (picture {second_picture:.2f})")

    if db:
        best, (first_day, last_day) = nav_range_times(db, repeat)
        print(f"\n4. first and last NAV date of {db}: {first_day} to {last_day} either way")
        for way in NAV_QUERIES:
            print(f"{way:18}{best[way] * 1000:8.1f} CPU ms")


if __name__ == "__main__":
    main()
