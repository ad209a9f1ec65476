"""Time a parameter sweep against running its combinations one after another.

The grid of the equity/bond mix example (4 equity weights x 2 bond funds)
over three years, three ways: one ``tessel run`` command per combination
(what a shell loop does today, a new process each time); every combination
backtested in this one process one after another; and ``tessel.sweep`` on
a local cluster of one and of two worker processes (cluster start-up
included).  The figures are checked to agree.

    python bench/bench_sweep.py --db out/demo/funds.sqlite --bundle out/demo/bundle
"""
import os
import pathlib
import subprocess
import sys
import time

import click

import tessel
import vexdatac
from tessel.config import deep_merge
from tessel.run import run
from tessel.sweeps import combinations, json_summary

ROOT = pathlib.Path(__file__).resolve().parents[1]
STRATEGY = str(ROOT / "examples" / "equity_bond_mix.py")
GRID = {"equity_weight": [0.2, 0.4, 0.6, 0.8], "bond": ["000025", "000034"]}


@click.command()
@click.option("--db", required=True, type=click.Path(exists=True, dir_okay=False), help="fund database")
@click.option("--bundle", required=True, type=click.Path(exists=True, file_okay=False), help="calendar bundle")
def main(db, bundle):
    config = {"base": {"start_date": "2018-01-02", "end_date": "2020-12-31", "benchmark": "000021",
                       "data_bundle_path": os.path.abspath(bundle)}}
    vexdatac.set_database(os.path.abspath(db))
    started = time.perf_counter()
    for params in combinations(GRID):
        command = [str(pathlib.Path(sys.executable).with_name("tessel")), "run", STRATEGY, "--db", db,
                   "--bundle", bundle, "--start-date", "2018-01-02", "--end-date", "2020-12-31",
                   "--benchmark", "000021", "--log-level", "none", "--no-progress"]
        for name, value in params.items():
            command += ["--param", "{}={}".format(name, value)]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    commands = time.perf_counter() - started
    started = time.perf_counter()
    one_by_one = [json_summary(run(deep_merge(config, {"params": params}), STRATEGY).summary)
                  for params in combinations(GRID)]
    sequential = time.perf_counter() - started
    timings = {}
    for workers in (1, 2):
        started = time.perf_counter()
        table = tessel.sweep(STRATEGY, GRID, config=config, workers=workers)
        timings[workers] = time.perf_counter() - started
        for summary, (_, row) in zip(one_by_one, table.iterrows()):
            assert row["status"] == "ok" and row["sharpe_ratio"] == summary["sharpe_ratio"], (row, summary)
    n = len(one_by_one)
    print("{} combinations, {} cores on this machine".format(n, os.cpu_count()))
    rows = [("one tessel run command each", commands), ("one after another in this process", sequential)]
    rows += [("sweep, {} worker process{}".format(w, "" if w == 1 else "es"), t) for w, t in timings.items()]
    for label, seconds in rows:
        print("{:<36} {:6.2f} s  ({:.2f}x the commands' time)".format(label + ":", seconds, seconds / commands))


if __name__ == "__main__":
    main()
