"""End-to-end scale benchmark: import N synthetic funds, backtest them all, compare with ``bt``.

1. Writes N synthetic funds over the sample calendar (2015-2024) as the
   importer's CSV files: equity, hybrid, index and bond funds with random-walk
   NAVs, some money-market funds accruing daily, cash dividends, a few unit
   splits, fee tiers for every fund and a short subscription suspension for a
   few of them.
2. ``vexdatac import`` builds the database (rows/s, peak RSS of that process).
3. ``tessel run`` backtests a monthly equal-weight rebalance across all N
   funds (fund-days/s, peak RSS of that process, report written).
4. The same rebalance in ``bt`` on the same database, adjusted NAV as the
   price, no delays or fees, also in its own process; then the ratio.
   Steps 3 and 4 alternate for ``--rounds`` rounds (default 3): the speed of
   a shared machine drifts, so only runs made close together compare, and
   the best and the median of each are printed.
5. With ``--without-report``, each round also runs the backtest without
   ``-o``: the same run, its summary printed, but no report written (bt
   writes none), so the daily loop compares with bt's like for like; the
   difference is what the report costs (four CSV tables, the positions one
   a row per fund and day, ``summary.json`` and ``report.png``).

Every step runs as a subprocess, so each peak RSS is that process's own.
Usage (``./run bench`` runs the default size):

    python bench/bench_scale.py                 # N = 1,000
    python bench/bench_scale.py --funds 10000   # full-market size
    python bench/bench_scale.py --funds 200 --keep out/scale
"""
import argparse
import datetime as _dt
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

START_DATE = "2015-01-05"
END_DATE = "2024-12-31"
SEED = 20261208
CHUNK = 250  # funds generated and written per block, so memory stays flat whatever N

# Every configuration of the backtest; strategy and settings are written beside the data.
STRATEGY = '''
def init(context):
    context.universe = [f.order_book_id for f in all_funds()]
    context.month = None


def handle_bar(context, bar_dict):
    month = context.now.strftime("%Y-%m")
    if month == context.month:
        return
    context.month = month
    weight = 0.98 / len(context.universe)
    order_target_fund_weights({fund: weight for fund in context.universe}, min_move=0.0)
'''

CONFIG = """\
base:
  accounts:
    STOCK: {cash}
mod:
  fund:
    fund_nav_type: unit
    status_limit: true
    subscription_limit: true
    subscription_receiving_days: 1
    redemption_receiving_days: 3
"""

SUBSCRIPTION_TIERS = (("1000000", "0.012", ""), ("5000000", "0.006", ""), ("", "", "1000"))
REDEMPTION_TIERS = (("7", "0.015"), ("365", "0.005"), ("730", "0.0025"), ("", "0"))


# --- synthetic data -------------------------------------------------------------------------
def _calendar():
    from vexdatac import calendar_data

    return [d for d in calendar_data.trading_dates() if str(d.date()) >= "2015-01-01"]


def _kinds(count, rng):
    return rng.choice(["Stock", "Hybrid", "Index", "Bond", "Money"], size=count, p=[0.25, 0.15, 0.10, 0.42, 0.08])


def _iso(days):
    return [d.strftime("%Y-%m-%d") for d in days]


def _money_rows(oid, calendar_iso, rng):
    n = len(calendar_iso)
    profit = np.round(rng.uniform(0.4, 1.2, n), 4)
    adjusted = np.cumprod(1.0 + profit / 10000.0)
    weekly = np.round(profit * 365 / 100, 4)
    return ["{},{},1.0,{:.6f},{},{}\n".format(oid, d, a, p, w)
            for d, a, p, w in zip(calendar_iso, adjusted, profit, weekly)]


def _market_fund(oid, kind, trading_iso, rng, dividends, splits):
    """NAV lines of one fund; dividend and split rows go to ``dividends`` / ``splits``."""
    n = len(trading_iso)
    vol = {"Bond": 0.03, "Index": 0.22, "Stock": 0.25, "Hybrid": 0.15}[kind] / math.sqrt(244)
    returns = rng.normal(0.04 / 244, vol, n)
    returns[0] = 0.0
    adjusted = 1.0 * np.exp(np.cumsum(returns))
    # Unit NAV: the adjusted series divided by what distributions and splits took out.
    factor = np.ones(n)
    pays = kind == "Bond" or rng.random() < 0.3
    if pays:
        for year_start in range(0, n - 5, 244):
            book = year_start + int(rng.integers(5, min(240, n - 5 - year_start)))
            unit = adjusted[book] / factor[book]
            cash = round(float(unit * rng.uniform(0.01, 0.04)), 4)
            if cash <= 0:
                continue
            ex = book + 1
            dividends.append("{},{},{},{},{}\n".format(oid, trading_iso[book], trading_iso[ex],
                                                       trading_iso[min(ex + 2, n - 1)], cash))
            factor[ex:] *= 1.0 + cash / (unit - cash)
    if rng.random() < 0.02:
        at = int(rng.integers(100, n - 100))
        ratio = float(rng.choice([2.0, 1.5, 0.5]))
        splits.append("{},{},{}\n".format(oid, trading_iso[at], ratio))
        factor[at:] *= ratio
    unit = np.round(adjusted / factor, 4)
    adjusted = np.round(adjusted, 6)
    return ["{},{},{:.4f},{:.6f},,\n".format(oid, d, u, a) for d, u, a in zip(trading_iso, unit, adjusted)]


def _status_rows(oid, days_iso, money, suspended, rng):
    lower = "1" if money else "10"
    redeem_lower = "" if money else "10"
    rows = []
    start = -1
    if suspended:
        start = int(rng.integers(30, len(days_iso) - 30))
    for i, d in enumerate(days_iso):
        sub = "Suspended" if start <= i < start + 5 else "Open"
        rows.append("{},{},{},Open,,{},{}\n".format(oid, d, sub, lower, redeem_lower))
    return rows


def generate(directory, count):
    """Writes the importer files for ``count`` funds; returns (NAV rows, status rows)."""
    os.makedirs(directory, exist_ok=True)
    rng = np.random.default_rng(SEED)
    trading = _calendar()
    trading_iso = _iso(trading)
    first, last = trading[0].date(), trading[-1].date()
    calendar_iso = [(first + _dt.timedelta(days=k)).isoformat() for k in range((last - first).days + 1)]
    kinds = _kinds(count, rng)
    ids = ["{:06d}".format(200001 + i) for i in range(count)]
    nav_rows = status_rows = 0
    with open(os.path.join(directory, "calendar.csv"), "w") as f:
        f.write("trading_date\n" + "".join(d + "\n" for d in trading_iso))
    with open(os.path.join(directory, "catalogue.csv"), "w") as f:
        f.write("order_book_id,symbol,fund_type,listed_date,de_listed_date,accrued_daily,round_lot\n")
        for oid, kind in zip(ids, kinds):
            f.write("{},{} {},{},2010-01-04,,{},1\n".format(oid, kind, oid, kind,
                                                            "true" if kind == "Money" else "false"))
    with open(os.path.join(directory, "fees.csv"), "w") as f:
        f.write("order_book_id,kind,upper_bound,rate,fixed_fee\n")
        for oid, kind in zip(ids, kinds):
            if kind == "Money":
                f.write("{0},subscription,,0,\n{0},redemption,,0,\n".format(oid))
                continue
            for bound, rate, fixed in SUBSCRIPTION_TIERS:
                f.write("{},subscription,{},{},{}\n".format(oid, bound, rate, fixed))
            for bound, rate in REDEMPTION_TIERS:
                f.write("{},redemption,{},{},\n".format(oid, bound, rate))
    nav = open(os.path.join(directory, "nav.csv"), "w")
    status = open(os.path.join(directory, "status.csv"), "w")
    dividends_file = open(os.path.join(directory, "dividends.csv"), "w")
    splits_file = open(os.path.join(directory, "splits.csv"), "w")
    with nav, status, dividends_file, splits_file:
        nav.write("order_book_id,date,unit_net_value,adjusted_net_value,daily_profit,weekly_yield\n")
        status.write("order_book_id,date,subscribe_status,redeem_status,subscribe_upper_limit,"
                     "subscribe_lower_limit,redeem_lower_limit\n")
        dividends_file.write("order_book_id,book_closure_date,ex_dividend_date,payable_date,dividend_before_tax\n")
        splits_file.write("order_book_id,ex_dividend_date,split_ratio\n")
        for lo in range(0, count, CHUNK):
            nav_lines, status_lines, dividends, splits = [], [], [], []
            for oid, kind in zip(ids[lo:lo + CHUNK], kinds[lo:lo + CHUNK]):
                money = kind == "Money"
                if money:
                    nav_lines.extend(_money_rows(oid, calendar_iso, rng))
                else:
                    nav_lines.extend(_market_fund(oid, kind, trading_iso, rng, dividends, splits))
                status_lines.extend(_status_rows(oid, calendar_iso if money else trading_iso, money,
                                                 rng.random() < 0.03, rng))
            nav.write("".join(nav_lines))
            status.write("".join(status_lines))
            dividends_file.write("".join(dividends))
            splits_file.write("".join(splits))
            nav_rows += len(nav_lines)
            status_rows += len(status_lines)
    return nav_rows, status_rows


# --- measured subprocesses ------------------------------------------------------------------
def measured(command, capture=False):
    """Runs ``command``; returns (seconds, peak RSS in bytes, its output or None) of that process alone.

    The process's CPU seconds (user + system) go to ``measured.cpu``: on a
    shared machine they say more than the wall time.
    """
    started = time.perf_counter()
    out = tempfile.TemporaryFile() if capture else subprocess.DEVNULL
    err = tempfile.TemporaryFile()
    proc = subprocess.Popen(command, stdout=out, stderr=err)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.perf_counter() - started
    if proc.returncode != 0:
        err.seek(0)
        sys.stderr.write(err.read().decode("utf-8", "replace")[-4000:])
        raise SystemExit("{} failed with exit code {}".format(" ".join(command), proc.returncode))
    measured.cpu = usage.ru_utime + usage.ru_stime
    output = None
    if capture:
        out.seek(0)
        output = out.read().decode()
    # ru_maxrss is in KiB on Linux
    return elapsed, usage.ru_maxrss * 1024, output


def _tool(name):
    found = shutil.which(name, path=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    if found is None:
        raise SystemExit("cannot find the {} command next to {}".format(name, sys.executable))
    return found


def bt_worker(db, start, end, cash):
    """Child process: the rebalance in bt; prints load and run seconds."""
    import bt
    import pandas as pd

    import vexdatac

    started = time.perf_counter()
    vexdatac.set_database(db)
    ids = vexdatac.fund.all_instruments()["order_book_id"].tolist()
    days = vexdatac.fund.get_trading_dates(start, end)
    columns = {}
    for oid in ids:
        nav = vexdatac.fund.get_nav(oid, start_date=start, end_date=end)
        columns[oid] = nav["adjusted_net_value"].reindex(days)
    prices = pd.DataFrame(columns, index=days).ffill()
    loaded = time.perf_counter()
    strategy = bt.Strategy("equal weight", [bt.algos.RunMonthly(run_on_first_date=True), bt.algos.SelectAll(),
                                            bt.algos.WeighEqually(), bt.algos.Rebalance()])
    test = bt.Backtest(strategy, prices, initial_capital=cash, integer_positions=False, progress_bar=False)
    result = bt.run(test)
    finished = time.perf_counter()
    final = float(result.prices.iloc[-1, 0])
    print("{:.6f} {:.6f} {:.6f} {}".format(loaded - started, finished - loaded, final, len(days)))


def _gib(value):
    return value / 2 ** 30


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--funds", type=int, default=1000, help="number of synthetic funds (default 1,000)")
    parser.add_argument("--keep", help="directory to keep data, database and report in (default: temporary)")
    parser.add_argument("--skip-bt", action="store_true", help="do not run the bt comparison")
    parser.add_argument("--rounds", type=int, default=3,
                        help="alternating rounds of the tessel run and bt (default 3; the best and median are shown)")
    parser.add_argument("--reuse", action="store_true",
                        help="with --keep: reuse the files and database already there (no generation, no import)")
    parser.add_argument("--without-report", action="store_true",
                        help="each round, also time the tessel run without writing its report (bt writes none)")
    parser.add_argument("--bt-worker", nargs=4, metavar=("DB", "START", "END", "CASH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.bt_worker:
        db, start, end, cash = args.bt_worker
        bt_worker(db, start, end, float(cash))
        return
    if args.funds < 1:
        parser.error("--funds must be at least 1")
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    work = args.keep or tempfile.mkdtemp(prefix="tessel-scale-")
    os.makedirs(work, exist_ok=True)
    csv_dir, db, bundle, report = (os.path.join(work, n) for n in ("csv", "funds.sqlite", "bundle", "report"))
    cash = 1_000_000.0 * args.funds
    print("machine: {} cores, {} {}, Python {}".format(os.cpu_count(), platform.system(), platform.machine(),
                                                       platform.python_version()))
    print("load average before: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))

    if args.reuse and args.keep and os.path.exists(db):
        print("reusing the database {}".format(db))
    else:
        started = time.perf_counter()
        nav_rows, status_rows = generate(csv_dir, args.funds)
        print("generated {:,} funds: {:,} NAV rows, {:,} status rows in {:.1f} s".format(
            args.funds, nav_rows, status_rows, time.perf_counter() - started))
        if os.path.exists(db):
            os.remove(db)
        seconds, rss, _ = measured([_tool("vexdatac"), "import", csv_dir, "--db", db])
        rows = nav_rows + status_rows
        print("import:     {:,} NAV+status rows in {:.1f} s = {:,.0f} rows/s ({:.1f} CPU s), peak RSS {:.2f} GiB".format(
            rows, seconds, rows / seconds, measured.cpu, _gib(rss)))
        subprocess.run([_tool("vexdatac"), "export-calendar", bundle, "--db", db], check=True,
                       stdout=subprocess.DEVNULL)

    strategy, config = os.path.join(work, "rebalance.py"), os.path.join(work, "rebalance.yml")
    with open(strategy, "w") as f:
        f.write(STRATEGY)
    with open(config, "w") as f:
        f.write(CONFIG.format(cash=cash))
    run_days = sum(1 for d in _iso(_calendar()) if START_DATE <= d <= END_DATE)
    fund_days = args.funds * run_days
    tessel_command = [_tool("tessel"), "run", strategy, "-c", config, "--db", db, "--bundle", bundle,
                      "--start-date", START_DATE, "--end-date", END_DATE, "-o", report, "--no-progress",
                      "--log-level", "error"]
    bt_command = None
    if not args.skip_bt:
        try:
            import bt  # noqa: F401
        except ImportError:
            print("bt: not installed (pip install .[bench]); comparison skipped")
        else:
            bt_command = [sys.executable, os.path.abspath(__file__), "--bt-worker", db, START_DATE, END_DATE,
                          str(cash)]
    # The two alternate, round after round: on a shared machine the speed of the processor drifts, and
    # only runs made close together compare.
    # The same run with no report asked for: everything but the saving of the report.
    bare_command = [part for k, part in enumerate(tessel_command)
                    if part != "-o" and (k == 0 or tessel_command[k - 1] != "-o")]
    tessel_runs, bt_runs, bare_runs = [], [], []
    for round_ in range(1, args.rounds + 1):
        seconds, rss, _ = measured(tessel_command)
        tessel_runs.append((seconds, measured.cpu, rss))
        print("round {} tessel run: {:,} funds x {:,} days = {:,} fund-days in {:.1f} s = {:,.0f} fund-days/s "
              "({:.1f} CPU s = {:,.0f} per CPU second), peak RSS {:.2f} GiB".format(
                  round_, args.funds, run_days, fund_days, seconds, fund_days / seconds, measured.cpu,
                  fund_days / measured.cpu, _gib(rss)))
        if args.without_report:
            bare_seconds, bare_rss, _ = measured(bare_command)
            bare_runs.append((bare_seconds, measured.cpu, bare_rss))
            print("round {} tessel run without the report: {:.1f} s = {:,.0f} fund-days/s ({:.1f} CPU s = {:,.0f} "
                  "per CPU second), peak RSS {:.2f} GiB".format(
                      round_, bare_seconds, fund_days / bare_seconds, measured.cpu, fund_days / measured.cpu,
                      _gib(bare_rss)))
        if bt_command is None:
            continue
        bt_wall, rss, out = measured(bt_command, capture=True)
        load, run, _final, _n = out.split()
        load, run = float(load), float(run)
        bt_runs.append((bt_wall, measured.cpu, rss, load + run))
        print("round {} bt:         whole process {:.1f} s = {:,.0f} fund-days/s (its load {:.1f} s + run {:.1f} s "
              "alone: {:,.0f}; {:.1f} CPU s = {:,.0f} per CPU second), peak RSS {:.2f} GiB".format(
                  round_, bt_wall, fund_days / bt_wall, load, run, fund_days / (load + run), measured.cpu,
                  fund_days / measured.cpu, _gib(rss)))
        print("round {} speed tessel / bt (above 1: tessel faster): {:.2f} by wall time of the whole processes "
              "({:.2f} against bt's load and run alone), {:.2f} by CPU time".format(
                  round_, bt_wall / tessel_runs[-1][0], (load + run) / tessel_runs[-1][0],
                  measured.cpu / tessel_runs[-1][1]))
        if bare_runs:
            print("round {} speed tessel without the report / bt: {:.2f} by wall time, {:.2f} by CPU time".format(
                round_, bt_wall / bare_runs[-1][0], measured.cpu / bare_runs[-1][1]))
    if args.rounds > 1:
        best = min(tessel_runs, key=lambda r: r[1])
        print("tessel run, best of {} rounds: {:.1f} s = {:,.0f} fund-days/s; {:.1f} CPU s = {:,.0f} per CPU second "
              "(median {:.1f} CPU s)".format(args.rounds, best[0], fund_days / best[0], best[1], fund_days / best[1],
                                             statistics.median(r[1] for r in tessel_runs)))
        if bare_runs:
            bare = min(bare_runs, key=lambda r: r[1])
            print("tessel run without the report, best of {} rounds: {:.1f} s = {:,.0f} fund-days/s; {:.1f} CPU s = "
                  "{:,.0f} per CPU second (median {:.1f} CPU s); the report's share, best against best: {:.1f} CPU "
                  "s".format(args.rounds, bare[0], fund_days / bare[0], bare[1], fund_days / bare[1],
                             statistics.median(r[1] for r in bare_runs), best[1] - bare[1]))
        if bt_runs:
            bt_best = min(bt_runs, key=lambda r: r[1])
            print("bt, best of {} rounds: {:.1f} s = {:,.0f} fund-days/s; {:.1f} CPU s = {:,.0f} per CPU second "
                  "(median {:.1f} CPU s)".format(args.rounds, bt_best[0], fund_days / bt_best[0], bt_best[1],
                                                 fund_days / bt_best[1], statistics.median(r[1] for r in bt_runs)))
            ratios = sorted(b[1] / t[1] for t, b in zip(tessel_runs, bt_runs))
            print("speed tessel / bt by CPU time (above 1: tessel faster): best against best {:.2f}, round by round {}".format(
                bt_best[1] / best[1], ", ".join("{:.2f}".format(r) for r in ratios)))
            if bare_runs:
                bare_best = min(r[1] for r in bare_runs)
                ratios = sorted(b[1] / t[1] for t, b in zip(bare_runs, bt_runs))
                print("speed tessel without the report / bt by CPU time: best against best {:.2f}, round by round "
                      "{}".format(bt_best[1] / bare_best, ", ".join("{:.2f}".format(r) for r in ratios)))
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
