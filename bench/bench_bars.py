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

Last, the whole first fetch of a fund as a backtest makes it: the bars of a
new store (requests, join, building) and the fund's split factors, against
the straightforward way to the same arrays: the plain reading, pandas'
join, the pandas/numpy construction of the bars and the split table made
from the plain split rows.

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
from test_vx_read_fast_paths import assert_identical, plain_nav, plain_split, plain_status  # noqa: E402


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


def plain_factors(order_book_id):
    """The split store's records made the plain way from the plain split rows."""
    from tessel.utils.datetime_func import convert_date_to_int

    table = plain_split(order_book_id)
    if table is None or table.empty:
        return None
    table = table.reset_index()
    factors = np.empty(len(table), dtype=[("ex_date", "<i8"), ("split_factor", "<f8")])
    factors["ex_date"] = convert_date_to_int(table["ex_dividend_date"])
    factors["split_factor"] = table["split_ratio"]
    return factors


def whole_first_fetch(store_cls, splits_cls, ids, accrued, exchange, repeat):
    """CPU seconds per fund of its first bars and split factors: the stores
    against the plain reading, join and construction."""
    start, end = store_cls.START_DATE, store_cls.END_DATE

    def native(order_book_id):
        return store_cls("unit").get_bars(order_book_id), splits_cls().get_factors(order_book_id)

    def plain(order_book_id):
        status = plain_status(order_book_id, start, end)
        frame = plain_nav(order_book_id, start, end)
        if status is not None:
            frame = frame.join(status.reset_index(level="order_book_id", drop=True), how="inner")
        bars = pandas_bars(frame, "unit_net_value", accrued[order_book_id], exchange[order_book_id])
        return bars, plain_factors(order_book_id)

    for i in ids:
        (bars, factors), (plain_bars, plain_splits) = native(i), plain(i)
        assert bars.dtype == plain_bars.dtype, i
        for name in bars.dtype.names:
            np.testing.assert_array_equal(bars[name], plain_bars[name], err_msg=f"{i} {name}")
        assert (factors is None) == (plain_splits is None) and (factors is None or factors.tolist() ==
                                                                plain_splits.tolist()), i
    spent = {"native": 0.0, "plain": 0.0}
    for _ in range(repeat):
        for i in ids:
            for side, fetch in (("native", native), ("plain", plain)):
                t0 = time.process_time()
                fetch(i)
                spent[side] += time.process_time() - t0
    return spent["native"] / (repeat * len(ids)), spent["plain"] / (repeat * len(ids))


@click.command()
@click.option("--db", required=True, type=click.Path(exists=True, dir_okay=False), help="fund database")
@click.option("--bundle", required=True, type=click.Path(exists=True, file_okay=False), help="calendar bundle")
@click.option("--repeat", default=20, show_default=True, help="builds per fund and method")
@click.option("--fetch-repeat", default=3, show_default=True, help="first fetches per fund and method")
@click.option("--funds", default=0, show_default=True, help="only the first N funds with status (0: all)")
def main(db, bundle, repeat, fetch_repeat, funds):
    vexdatac.set_database(db)
    env = Environment(load_config({"base": {"data_bundle_path": bundle, "start_date": "2015-01-05",
                                            "end_date": "2024-12-31"}}))
    handler = ModHandler()
    handler.set_env(env)
    handler.start_up()
    store = env.mod_dict["fund"]._nav_day_bars
    fund = vexdatac.fund
    ids = [i for i in fund.all_instruments()["order_book_id"] if fund.get_transaction_status(i) is not None]
    if funds:
        ids = ids[:funds]
    frames = {i: store._get_nav(i) for i in ids}
    accrued = {i: bool(env.get_instrument(i).accrued_daily) for i in ids}
    exchange = {i: env.get_instrument(i).exchange for i in ids}
    splits_cls = type(env.mod_dict["fund"]._unit_splits)

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
    fast_s, plain_s = whole_first_fetch(type(store), splits_cls, ids, accrued, exchange, fetch_repeat)
    click.echo(f"first bars + split factors of a fund (CPU, identical arrays checked): stores {fast_s * 1e3:7.3f} ms "
               f"per fund, plain reading, join and construction {plain_s * 1e3:7.3f} ms per fund, "
               f"ratio {plain_s / fast_s:.2f}x")
    handler.tear_down(0)


if __name__ == "__main__":
    main()
