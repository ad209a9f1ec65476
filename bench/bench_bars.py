"""Time building fund day bars natively against the plain pandas/numpy way.

Loads every fund of a fund database once (NAV joined with status, as the bar
store sees it), then builds each fund's bar array many times from those
frames: with the compiled store (a new store each time, so its cache does
not help) and with a straightforward pandas/numpy construction of the same
array.  Both results are checked to be identical first.

Then times the first request of each fund's bars up to the building: the
store's NAV and status requests to vexdatac and their join, with vexdatac's
own reads against the plain reading of the same rows (dates parsed from
their texts, the status index made by MultiIndex.from_arrays), equal frames
checked first.  Times are CPU seconds of this process, both sides
interleaved fund by fund; the building is timed in CPU seconds as well.

    PYTHONPATH=. python bench/bench_bars.py --db out/demo/funds.sqlite --bundle out/demo/bundle
"""
import pathlib
import sys
import time

import click
import numpy as np

import vexdatac
from tessel.config import load_config
from tessel.environment import Environment
from tessel.mod import ModHandler

# The plain pandas/numpy construction the store's tests compare with.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"))
from bar_reference import reference_bars as pandas_bars  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "vexdatac"))
from test_vx_read_fast_paths import assert_identical, plain_nav, plain_status  # noqa: E402


def first_fetch(store_cls, ids, repeat):
    """CPU seconds of store._get_nav per fund, vexdatac's reads against the plain ones."""
    fund = vexdatac.fund
    fast = {"get_nav": fund.get_nav, "get_transaction_status": fund.get_transaction_status}
    plain = {"get_nav": plain_nav, "get_transaction_status": plain_status}

    def load(reads, order_book_id):
        for name, fn in reads.items():
            setattr(fund, name, fn)
        try:
            return store_cls("unit")._get_nav(order_book_id)  # a new store: its status cache is empty
        finally:
            for name, fn in fast.items():
                setattr(fund, name, fn)

    for i in ids:
        assert_identical(load(fast, i), load(plain, i))
    spent = {"fast": 0.0, "plain": 0.0}
    for _ in range(repeat):
        for i in ids:
            for side, reads in (("fast", fast), ("plain", plain)):
                t0 = time.process_time()
                load(reads, i)
                spent[side] += time.process_time() - t0
    return spent["fast"] / (repeat * len(ids)), spent["plain"] / (repeat * len(ids))


@click.command()
@click.option("--db", required=True, type=click.Path(exists=True, dir_okay=False), help="fund database")
@click.option("--bundle", required=True, type=click.Path(exists=True, file_okay=False), help="calendar bundle")
@click.option("--repeat", default=20, show_default=True, help="builds per fund and method")
@click.option("--fetch-repeat", default=3, show_default=True, help="first fetches per fund and method")
def main(db, bundle, repeat, fetch_repeat):
    vexdatac.set_database(db)
    env = Environment(load_config({"base": {"data_bundle_path": bundle, "start_date": "2015-01-05",
                                            "end_date": "2024-12-31"}}))
    handler = ModHandler()
    handler.set_env(env)
    handler.start_up()
    store = env.mod_dict["fund"]._nav_day_bars
    fund = vexdatac.fund
    ids = [i for i in fund.all_instruments()["order_book_id"] if fund.get_transaction_status(i) is not None]
    frames = {i: store._get_nav(i) for i in ids}
    accrued = {i: bool(env.get_instrument(i).accrued_daily) for i in ids}
    exchange = {i: env.get_instrument(i).exchange for i in ids}
    handler.tear_down(0)

    class PreparedFrames(type(store)):
        """The store with its NAV/status frames already loaded and joined, so only the building is timed."""

        def _get_nav(self, order_book_id):
            return frames[order_book_id]

    rows = sum(len(f) for f in frames.values())
    for i in ids:
        native = PreparedFrames("unit").get_bars(i)
        reference = pandas_bars(frames[i], "unit_net_value", accrued[i], exchange[i])
        assert native.dtype == reference.dtype, i
        for name in native.dtype.names:
            np.testing.assert_array_equal(native[name], reference[name], err_msg=f"{i} {name}")
    t0 = time.process_time()
    for _ in range(repeat):
        for i in ids:
            PreparedFrames("unit").get_bars(i)  # a new store each time: nothing cached
    native_s = time.process_time() - t0
    t0 = time.process_time()
    for _ in range(repeat):
        for i in ids:
            pandas_bars(frames[i], "unit_net_value", accrued[i], exchange[i])
    pandas_s = time.process_time() - t0
    per = repeat * len(ids)
    click.echo(f"{len(ids)} funds, {rows:,} bar records; {repeat} builds of each (identical arrays checked first)")
    click.echo(f"native store : {native_s / per * 1e3:7.3f} ms per fund")
    click.echo(f"pandas/numpy : {pandas_s / per * 1e3:7.3f} ms per fund")
    fast_s, plain_s = first_fetch(type(store), ids, fetch_repeat)
    click.echo(f"first fetch (NAV + status + join, CPU): vexdatac {fast_s * 1e3:7.3f} ms per fund, plain reading "
               f"{plain_s * 1e3:7.3f} ms per fund, ratio {plain_s / fast_s:.2f}x")


if __name__ == "__main__":
    main()
