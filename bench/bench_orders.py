"""What one fund order costs, end to end, through the real engine.

Backtests a strategy that orders every trading day on synthetic funds (the
scale bench's generator): a rebalance towards random weights with
``order_target_fund_weights`` (redemptions and subscriptions), plus direct
``subscribe``/``redeem`` calls that are refused by status, limits, cash or
units.  Three parts of each order's life are timed in CPU seconds of the
process (``time.process_time``) and divided by the number of orders:

- ordering: the strategy's calls (valuation, order creation, submission,
  front-end validation), around the API calls only;
- matching: ``SimulationBroker.match`` (matcher, fills, the trade events and
  their listeners: account, position, recorder, logging of refusals);
- recording: the recorder writing the final orders' rows at the day's end.

The funds' bars are fetched in ``init``, outside the timed parts.  The log
is set to show errors only, as in the scale run (refusals are logged as
warnings, so their lines are formatted only when shown).

It also prints the run's CPU seconds and a digest of the trades and orders
tables, so two versions of the engine run on the same data can be compared
for identical results.  Usage:

    PYTHONPATH=. python bench/bench_orders.py [--funds 120] [--days 500] [--keep DIR] [--repeat 3]

On a machine shared with other work the CPU time of one run varies by tens
of percent; each part's least time over ``--repeat`` runs is reported.
"""
import argparse
import hashlib
import os
import platform
import subprocess
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_scale  # noqa: E402

clock = time.process_time
START_DATE = "2019-01-02"

STRATEGY = '''
import random

import _bench_order_clock as timer


def init(context):
    context.funds = [f.order_book_id for f in all_funds()]
    context.rng = random.Random(20261210)
    # Each fund's bars are fetched here, so that the timed orders do not pay for the first fetch.
    for fund in context.funds:
        fund_nav(fund)
        fund_status(fund)


def handle_bar(context, bar_dict):
    rng = context.rng
    funds = context.funds
    chosen = rng.sample(funds, k=max(1, int(len(funds) * rng.uniform(0.5, 1.0))))
    raw = [rng.random() for _ in chosen]
    scale = rng.uniform(0.5, 0.98) / sum(raw)
    weights = {fund: w * scale for fund, w in zip(chosen, raw)}
    extra = [(rng.random(), rng.choice(funds), rng.random()) for _ in range(6)]
    started = timer.clock()
    orders = order_target_fund_weights(weights, min_move=0.0)
    for kind, fund, x in extra:
        if kind < 0.3:
            orders.append(subscribe(fund, 5.0 + x))        # below most funds' minimum subscription
        elif kind < 0.45:
            orders.append(subscribe(fund, 1e15 * (1 + x)))  # more than the cash
        elif kind < 0.7:
            orders.append(redeem(fund, 1e9 * (1 + x)))      # more units than held
        elif kind < 0.85:
            orders.append(redeem(fund, 1.0 + x))            # below the minimum redemption, unless the whole holding
        else:
            orders.append(subscribe(fund, 1000.0 + 1000.0 * x))
    timer.ordering += timer.clock() - started
    timer.orders += len(orders)
'''

CONFIG = {"mod": {"fund": {"fund_nav_type": "unit", "status_limit": True, "subscription_limit": True,
                           "subscription_receiving_days": 1, "redemption_receiving_days": 3}}}


def _timed(owner, name, counter):
    """Wraps ``owner.name`` so that its CPU time adds up in the clock module's ``counter``."""
    original = getattr(owner, name)
    timer = sys.modules["_bench_order_clock"]

    def timed(self, *args, **kwargs):
        started = clock()
        try:
            return original(self, *args, **kwargs)
        finally:
            setattr(timer, counter, getattr(timer, counter) + clock() - started)

    setattr(owner, name, timed)


def _digest(frame):
    return hashlib.sha1(frame.to_csv(index=False).encode()).hexdigest()[:16]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--funds", type=int, default=120)
    parser.add_argument("--days", type=int, default=500, help="trading days of the run (from 2019-01-02)")
    parser.add_argument("--keep", help="directory for the data (reused when it already holds a database)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs in this process; each part's least time is reported (default 3)")
    args = parser.parse_args()

    work = args.keep or tempfile.mkdtemp(prefix="tessel-orders-")
    os.makedirs(work, exist_ok=True)
    db, bundle = os.path.join(work, "funds.sqlite"), os.path.join(work, "bundle")
    if not os.path.exists(db):
        bench_scale.generate(os.path.join(work, "csv"), args.funds)
        vexdatac_cli = [sys.executable, "-c", "from vexdatac.cli import main; main()"]
        subprocess.run(vexdatac_cli + ["import", os.path.join(work, "csv"), "--db", db], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(vexdatac_cli + ["export-calendar", bundle, "--db", db], check=True,
                       stdout=subprocess.DEVNULL)
    strategy = os.path.join(work, "orders_strategy.py")
    with open(strategy, "w") as f:
        f.write(STRATEGY)

    import vexdatac
    from tessel.mod.tessel_mod_sys_simulation.simulation_broker import SimulationBroker
    from tessel.recorder import DailyRecorder
    from tessel.run import run
    from tessel.utils.logger import console_logging

    timer = types.ModuleType("_bench_order_clock")
    timer.clock, timer.ordering, timer.matching, timer.recording, timer.orders = clock, 0.0, 0.0, 0.0, 0
    sys.modules[timer.__name__] = timer
    _timed(SimulationBroker, "match", "matching")
    _timed(DailyRecorder, "_write_final_orders", "recording")

    vexdatac.set_database(db)
    days = [d for d in bench_scale._calendar() if str(d.date()) >= START_DATE][:args.days]
    config = dict(CONFIG, base={"start_date": str(days[0].date()), "end_date": str(days[-1].date()),
                                "data_bundle_path": bundle,
                                "accounts": {"STOCK": 1_000_000.0 * args.funds}})
    load = os.getloadavg()
    best = None
    digests = set()
    for _ in range(max(1, args.repeat)):
        timer.ordering = timer.matching = timer.recording = 0.0
        timer.orders = 0
        started_cpu, started_wall = clock(), time.perf_counter()
        with console_logging("error"):  # as the scale run: refusals are logged at warning level
            result = run(config, strategy)
        run_cpu, run_wall = clock() - started_cpu, time.perf_counter() - started_wall
        orders, trades = result["orders"], result["trades"]
        n = timer.orders
        assert n == len(orders), (n, len(orders))
        digests.add((_digest(trades), _digest(orders)))
        parts = (timer.ordering, timer.matching, timer.recording, run_cpu, run_wall)
        best = parts if best is None else tuple(map(min, best, parts))
        del result
    rejected = int((orders["status"] == "REJECTED").sum())

    print("machine: {} cores, {} {}, Python {}; load average {:.2f} {:.2f} {:.2f}".format(
        os.cpu_count(), platform.system(), platform.machine(), platform.python_version(), *load))
    print("{:,} funds x {:,} days: {:,} orders ({:,} rejected), {:,} trades; least of {} runs".format(
        args.funds, len(days), n, rejected, len(trades), max(1, args.repeat)))
    ordering, matching, recording, run_cpu, run_wall = best
    for label, seconds in (("ordering", ordering), ("matching", matching), ("recording", recording),
                           ("per order, all three", ordering + matching + recording)):
        print("  {:<22} {:7.2f} CPU s = {:6.1f} us per order".format(label, seconds, seconds / n * 1e6))
    print("whole run: {:.2f} CPU s ({:.2f} s wall)".format(run_cpu, run_wall))
    assert len(digests) == 1, digests  # every run gives the same tables
    print("digest: trades {} orders {}".format(*digests.pop()))


if __name__ == "__main__":
    main()
