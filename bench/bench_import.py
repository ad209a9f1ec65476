"""Time `vexdatac import` on a few million NAV and status rows against plain pandas.

Generates an import directory of synthetic funds (equity and bond funds, some
money-market funds with daily profits, every fund with a NAV and a status row
per trading day), then, each in its own process so that peak memory is the
process's own:

* imports it with `vexdatac import DIR --db FILE` (every row checked);
* loads the same NAV and status files the plain pandas way (`read_csv` of the
  whole file, then `to_sql` into the same schema, nothing checked).

Prints rows per second (by wall-clock and by CPU time: the machine may be
shared) and peak RSS of both, and their ratios.

    python bench/bench_import.py [--funds 1000] [--days 1500] [--keep DIR]
"""
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import click
import numpy as np
import pandas as pd

# The reference: what a Python developer would write without row checks.
PANDAS_LOAD = r"""
import sqlite3, sys
import pandas as pd
from vexdatac import db
directory, target = sys.argv[1], sys.argv[2]
conn = sqlite3.connect(target)
conn.execute("PRAGMA ignore_check_constraints = ON")  # as the importer, which checks the rows itself
conn.executescript(db.schema_sql())
types = {"order_book_id": str, "date": str, "subscribe_status": str, "redeem_status": str}
catalogue = pd.read_csv(f"{directory}/catalogue.csv", dtype=str)
catalogue["accrued_daily"] = catalogue["accrued_daily"].map({"true": 1, "false": 0})
catalogue.to_sql("instruments", conn, if_exists="append", index=False)
for table, name in (("nav", "nav.csv"), ("status", "status.csv"), ("trading_calendar", "calendar.csv")):
    frame = pd.read_csv(f"{directory}/{name}", dtype=types)
    frame.rename(columns={"trading_date": "date"}).to_sql(table, conn, if_exists="append", index=False)
conn.commit()
conn.close()
"""


def generate(directory, funds, days, seed=7):
    """Write the import files; returns the number of NAV + status rows."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2012-01-02", periods=days).strftime("%Y-%m-%d").to_numpy()
    ids = np.array([f"{200000 + i:06d}" for i in range(funds)])
    money = np.arange(funds) % 10 == 9
    kinds = np.where(money, "Money", np.where(np.arange(funds) % 2 == 0, "Stock", "Bond"))
    pd.DataFrame({
        "order_book_id": ids, "symbol": [f"基金{i}" for i in range(funds)], "fund_type": kinds,
        "listed_date": "2011-06-01", "de_listed_date": "",
        "accrued_daily": np.where(money, "true", ""),
    }).to_csv(directory / "catalogue.csv", index=False)
    pd.DataFrame({"trading_date": dates}).to_csv(directory / "calendar.csv", index=False)
    for name, header in (("dividends.csv", "order_book_id,book_closure_date,ex_dividend_date,payable_date,"
                                           "dividend_before_tax"),
                         ("splits.csv", "order_book_id,ex_dividend_date,split_ratio")):
        (directory / name).write_text(header + "\n", encoding="utf-8")
    rows = 0
    with open(directory / "nav.csv", "w", encoding="utf-8") as nav, \
            open(directory / "status.csv", "w", encoding="utf-8") as status:
        nav.write("order_book_id,date,unit_net_value,adjusted_net_value,daily_profit,weekly_yield\n")
        status.write("order_book_id,date,subscribe_status,redeem_status,subscribe_upper_limit,"
                     "subscribe_lower_limit,redeem_lower_limit\n")
        for i, oid in enumerate(ids):
            if money[i]:
                unit = np.ones(days)
                profit = rng.uniform(0.3, 0.8, days).round(4).astype(str)
                weekly = rng.uniform(1.0, 3.0, days).round(3).astype(str)
            else:
                unit = np.cumprod(1.0 + rng.normal(0.0003, 0.01, days)).round(4)
                profit = weekly = np.full(days, "")
            adjusted = (unit * (1.0 + rng.uniform(0, 0.001))).round(6)
            frame = pd.DataFrame({"order_book_id": oid, "date": dates, "u": unit, "a": adjusted,
                                  "p": profit, "w": weekly})
            frame.to_csv(nav, header=False, index=False)
            draw = rng.random(days)
            state = np.where(draw < 0.02, "Suspended", np.where(draw < 0.04, "Limited", "Open"))
            limit = np.where(state == "Limited", "1000000", "")
            pd.DataFrame({"order_book_id": oid, "date": dates, "s": state, "r": state,
                          "up": limit, "lo": np.where(money[i], "", "10"), "rl": "10"}
                         ).to_csv(status, header=False, index=False)
            rows += 2 * days
    return rows


def measured(command):
    """Run `command`; (wall seconds, CPU seconds, peak RSS in MiB) of that process alone."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} failed:\n{process.stderr.read().decode()}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024  # ru_maxrss: KiB on Linux


@click.command()
@click.option("--funds", default=1000, show_default=True, help="synthetic funds")
@click.option("--days", default=1500, show_default=True, help="trading days per fund")
@click.option("--keep", type=click.Path(file_okay=False, path_type=Path), default=None,
              help="directory to keep the generated CSV files and databases in")
def main(funds, days, keep):
    work = keep or Path(tempfile.mkdtemp(prefix="bench_import_"))
    csv_dir = work / "csv"
    shutil.rmtree(csv_dir, ignore_errors=True)
    csv_dir.mkdir(parents=True)
    rows = generate(csv_dir, funds, days)
    size = sum(p.stat().st_size for p in csv_dir.iterdir()) / 2**20
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, load average "
          f"{', '.join(f'{x:.1f}' for x in os.getloadavg())}; python {platform.python_version()}, "
          f"pandas {pd.__version__}")
    print(f"data: {funds} funds x {days} days = {rows:,} NAV + status rows, {size:.0f} MiB of CSV")
    vexdatac = shutil.which("vexdatac", path=str(Path(sys.executable).parent)) or "vexdatac"
    # The same files with Windows line breaks, as a spreadsheet often saves them.
    crlf_dir = work / "csv_crlf"
    shutil.rmtree(crlf_dir, ignore_errors=True)
    crlf_dir.mkdir()
    # And with a space after every comma of the NAV and status files, as a hand-edited file may have.
    padded_dir = work / "csv_padded"
    shutil.rmtree(padded_dir, ignore_errors=True)
    padded_dir.mkdir()
    for path in csv_dir.iterdir():
        data = path.read_bytes()
        (crlf_dir / path.name).write_bytes(data.replace(b"\n", b"\r\n"))
        (padded_dir / path.name).write_bytes(data.replace(b",", b", ") if path.name in ("nav.csv", "status.csv")
                                             else data)
    ours_db, crlf_db, padded_db, ref_db = (work / name for name in ("import.sqlite", "import_crlf.sqlite",
                                                                    "import_padded.sqlite", "pandas.sqlite"))
    for path in (ours_db, crlf_db, padded_db, ref_db):
        path.unlink(missing_ok=True)
    ours = measured([vexdatac, "import", str(csv_dir), "--db", str(ours_db)])
    crlf = measured([vexdatac, "import", str(crlf_dir), "--db", str(crlf_db)])
    padded = measured([vexdatac, "import", str(padded_dir), "--db", str(padded_db)])
    ref = measured([sys.executable, "-c", PANDAS_LOAD, str(csv_dir), str(ref_db)])
    print(f"{'':32}{'wall s':>8}{'rows/s':>11}{'CPU s':>8}{'rows/CPU s':>12}{'peak RSS':>12}")
    for label, (seconds, cpu, rss) in (("vexdatac import (checked)", ours),
                                       ("  the same, CRLF line breaks", crlf),
                                       ("  the same, padded cells", padded),
                                       ("pandas read_csv + to_sql", ref)):
        print(f"{label:32}{seconds:8.1f}{rows / seconds:11,.0f}{cpu:8.1f}{rows / cpu:12,.0f}{rss:8.0f} MiB")
    print(f"vexdatac import / pandas: {ref[0] / ours[0]:.2f}x the speed (wall), {ref[1] / ours[1]:.2f}x "
          f"(CPU), {ours[2] / ref[2]:.2f}x the peak memory")
    if keep is None:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
