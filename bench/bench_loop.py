"""Per-day cost of the engine's own loop.

Runs an empty strategy (and a buy-and-hold of five stocks) over 2,400
synthetic trading days, with and without the progress bar, and prints the
time per trading day.  The fixed start-up cost is removed by also timing a
10-day run.  Usage:

    PYTHONPATH=.:bench python bench/bench_loop.py
"""
import os
import sys
import tempfile
import time

import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from tessel import run as run_module  # noqa: E402

DAYS = 2400

BUY_AND_HOLD = """
def init(context):
    context.done = False

def handle_bar(context, bar_dict):
    if not context.done:
        for s in ("S01", "S02", "S03", "S04", "S05"):
            order_shares(s, 10000)
        context.done = True
"""


def _timed(config, strategy, progress, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        run_module.run(config, strategy, progress=progress)
        best = min(best, time.perf_counter() - started)
    return best


def main():
    work = tempfile.mkdtemp(prefix="tessel-bench-")
    days = pd.bdate_range("2012-01-02", periods=DAYS)
    bundle = os.path.join(work, "bundle")
    os.makedirs(bundle)
    with open(os.path.join(bundle, "trading_dates.csv"), "w") as f:
        f.write("trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in days))
    strategies = {"empty": os.path.join(work, "empty.py"), "buy and hold x5": os.path.join(work, "hold.py")}
    open(strategies["empty"], "w").close()
    with open(strategies["buy and hold x5"], "w") as f:
        f.write(BUY_AND_HOLD)

    def config(last):
        return {"base": {"data_bundle_path": bundle, "start_date": str(days[0].date()), "end_date": str(last.date()),
                         "benchmark": "IDX"},
                "mod": {"fund": {"enabled": False},
                        "synthetic": {"enabled": True, "lib": "synthetic_market"}}}

    # tqdm writes to stderr; send it to /dev/null so only its cost is measured.
    devnull = open(os.devnull, "w")
    stderr, sys.stderr = sys.stderr, devnull
    try:
        rows = []
        for name, path in strategies.items():
            for progress in (False, True):
                long_run = _timed(config(days[-1]), path, progress)
                short_run = _timed(config(days[9]), path, progress)
                rows.append((name, progress, long_run, (long_run - short_run) / (DAYS - 10) * 1e6))
    finally:
        sys.stderr = stderr
    print("{:<18} {:>9} {:>12} {:>14}".format("strategy", "progress", "run (s)", "per day (us)"))
    for name, progress, total, per_day in rows:
        print("{:<18} {:>9} {:>12.3f} {:>14.1f}".format(name, "on" if progress else "off", total, per_day))


if __name__ == "__main__":
    main()
