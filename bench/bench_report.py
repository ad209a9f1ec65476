"""Time writing a positions table as CSV: the report's chunked writer against rounding plus DataFrame.to_csv.

Builds a positions table like a run records (a day stamp, a fund id and five
numbers per row, as a monthly rebalance of a few hundred funds gives them),
writes it both ways in this run (best of --repeat rounds each, interleaved,
in CPU seconds: the machine may be shared), checks that the files are
identical byte for byte, and prints the times, the ratio and the peak memory
each way adds (measured in a child process of its own).

    PYTHONPATH=. python bench/bench_report.py [--rows 1000000] [--repeat 3]
"""
import multiprocessing
import os
import platform
import tempfile
import time

import click
import numpy as np
import pandas as pd

from tessel.result import round_for_csv
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


@click.command()
@click.option("--rows", default=1_000_000, show_default=True, help="Rows of the positions table.")
@click.option("--repeat", default=3, show_default=True, help="Rounds of each way; the best counts.")
def main(rows, repeat):
    frame = positions_table(rows)
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, load average "
          f"{', '.join(f'{x:.1f}' for x in os.getloadavg())}; python {platform.python_version()}, "
          f"numpy {np.__version__}, pandas {pd.__version__}")
    print(f"positions table: {rows:,} rows x {frame.shape[1]} columns")
    best = {way: float("inf") for way in WAYS}
    with tempfile.TemporaryDirectory() as tmp:
        paths = {way: os.path.join(tmp, f"{k}.csv") for k, way in enumerate(WAYS)}
        for _ in range(repeat):
            for way in WAYS:
                start = time.process_time()
                _write(way, frame, paths[way])
                best[way] = min(best[way], time.process_time() - start)
        contents = [open(paths[way], "rb").read() for way in WAYS]
        if contents[0] != contents[1]:
            raise SystemExit("the two ways wrote different files")
        size = len(contents[0])
        del contents
        peaks = {way: peak_added(way, rows, paths[way]) for way in WAYS}
    print(f"identical files of {size / 2 ** 20:.1f} MiB")
    print(f"{'':16}{'CPU s':>8}{'rows/CPU s':>14}{'peak added':>12}")
    for way in WAYS:
        print(f"{way:16}{best[way]:8.2f}{rows / best[way]:14,.0f}{peaks[way]:9.0f} MiB")
    print(f"ratio: the chunked writer is {best['round + to_csv'] / best['chunked writer']:.1f}x as fast")


if __name__ == "__main__":
    main()
