"""The engine's indexed and batched look-ups give what a plain search gives, on random data.

Each reference below is the straightforward way to answer the question
(a search over the whole table per call, one bar per position); the engine
answers from indexes built once per instrument and batches per day.
"""
import bisect
import datetime as dt
import random

import numpy as np
import pandas as pd
import pytest

from host_helpers import (TRADING_DAYS, ArrayBarStore, ArraySplitStore, DictInstrumentStore, RecordDividendStore,
                          at, make_bars)
from tessel.const import INSTRUMENT_TYPE, ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE
from tessel.data.base_data_source import BaseDataSource
from tessel.data.data_proxy import DataProxy
from tessel.portfolio.account import Account
from tessel.recorder import ORDER_COLUMNS, POSITION_COLUMNS, DailyRecorder
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int

SEEDS = range(6)
ALL_DAYS = pd.date_range("2019-12-28", "2020-02-05")  # weekends, holidays and days past both calendar ends


def _random_moment(rng):
    day = ALL_DAYS[rng.randrange(len(ALL_DAYS))]
    kind = rng.randrange(4)
    if kind == 0:
        return day.date()
    if kind == 1:
        return day.to_pydatetime().replace(hour=rng.choice([0, 9, 15]), minute=rng.choice([0, 30]))
    if kind == 2:
        return day + pd.Timedelta(hours=rng.choice([0, 15]))
    return day.strftime("%Y%m%d")


def _random_bars(rng):
    """Bars on a random subset of days (weekend bars included), some with NaN closes; sometimes none at all."""
    if rng.random() < 0.15:
        return None if rng.random() < 0.5 else make_bars([], [])
    days = sorted(d for d in ALL_DAYS if rng.random() < 0.7)
    closes = [float("nan") if rng.random() < 0.1 else round(rng.uniform(0.5, 3.0), 4) for _ in days]
    return make_bars(days, closes)


def _reference_bar(bars, moment):
    """The record dated exactly the moment's day, searched over the whole column."""
    if bars is None or len(bars) == 0:
        return None
    key = convert_date_to_int(pd.Timestamp(moment).normalize())
    pos = int(np.searchsorted(bars["datetime"], key))
    if pos < len(bars) and int(bars["datetime"][pos]) == key:
        return bars[pos]
    return None


def _same_record(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


def _same_floats(a, b):
    return np.array_equal(np.asarray(a, dtype=float), np.asarray(b, dtype=float), equal_nan=True) and \
        all(type(x) is float for x in a)


def _fund_source(bundle, rng, count=12):
    ds = BaseDataSource(str(bundle), {}, False, None)
    ids = ["F{}".format(i) for i in range(count)]
    ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND,
                                                      [{"order_book_id": k, "symbol": k} for k in ids]))
    bars = {k: _random_bars(rng) for k in ids}
    ds.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArrayBarStore(bars))
    return ds, ids, bars


@pytest.mark.parametrize("seed", SEEDS)
def test_bar_lookup_and_batched_closes_equal_a_search_per_call(bundle, seed):
    rng = random.Random(seed)
    ds, ids, bars = _fund_source(bundle, rng)
    proxy = DataProxy(ds)
    for _ in range(150):
        moment = _random_moment(rng)
        oid = rng.choice(ids)
        found = ds.get_bar(proxy.instruments(oid), moment)
        assert _same_record(found, _reference_bar(bars[oid], moment)), (oid, moment)
        some = rng.sample(ids, rng.randrange(1, len(ids)))
        expected = [proxy.get_bar(k, moment).close for k in some]
        reference = [float("nan") if _reference_bar(bars[k], moment) is None
                     else float(_reference_bar(bars[k], moment)["close"]) for k in some]
        batch = proxy.get_closes(some, moment)
        assert _same_floats(batch, expected) and _same_floats(batch, reference), (some, moment)


@pytest.mark.parametrize("seed", SEEDS)
def test_bars_at_a_recurring_time_object_equal_a_search_per_call(bundle, seed):
    """The engine asks about one datetime object many times a day; its bars stay those of a plain search."""
    rng = random.Random(seed)
    ds, ids, bars = _fund_source(bundle, rng)
    proxy = DataProxy(ds)
    moments = [_random_moment(rng) for _ in range(6)]
    for _ in range(300):
        moment = rng.choice(moments)
        oid = rng.choice(ids)
        assert _same_record(proxy.get_bar(oid, moment)._data, _reference_bar(bars[oid], moment)), (oid, moment)


@pytest.mark.parametrize("seed", SEEDS)
def test_batched_closes_of_a_recurring_id_list_follow_its_changes_and_the_stores(bundle, seed):
    """Day after day the same ids (the list kept, copied, edited in place), with stores replaced and released."""
    rng = random.Random(seed)
    ds, ids, _ = _fund_source(bundle, rng)
    proxy = DataProxy(ds)
    held = rng.sample(ids, len(ids) // 2)
    for step in range(60):
        action = rng.random()
        if action < 0.15 and len(held) > 1:
            held.pop(rng.randrange(len(held)))  # edited in place: the same list object
        elif action < 0.3:
            held.append(rng.choice(ids))
        elif action < 0.4:
            held = list(held)
        elif action < 0.45:
            proxy.release_bars()
        elif action < 0.5:
            ds.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArrayBarStore(
                {k: make_bars(TRADING_DAYS, np.round([rng.uniform(0.5, 2.0) for _ in TRADING_DAYS], 4)) for k in ids}))
        day = rng.choice(TRADING_DAYS[:20])
        batch = proxy.get_closes(held, day.date())
        assert _same_floats(batch, [proxy.get_bar(k, day).close for k in held]), step
        assert all(type(v) is float for v in batch)


def test_batched_closes_keep_the_errors_of_single_bars(bundle):
    ds, ids, _ = _fund_source(bundle, random.Random(1))
    proxy = DataProxy(ds)
    with pytest.raises(ValueError, match="unknown instrument 'XX'"):
        proxy.get_closes([ids[0], "XX"], dt.date(2020, 1, 6))
    ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS, [{"order_book_id": "S1", "symbol": "S"}]))
    with pytest.raises(ValueError, match="no day bar store registered"):
        proxy.get_closes(["S1"], dt.date(2020, 1, 6))
    # Bars without a close field: the batch steps aside and the bar's own error shows.
    bare = np.zeros(2, dtype=[("datetime", "<u8"), ("nav", "<f8")])
    bare["datetime"] = convert_date_to_int(pd.DatetimeIndex(TRADING_DAYS[:2]))
    ds.register_day_bar_store(INSTRUMENT_TYPE.CS, ArrayBarStore({"S1": bare}))
    with pytest.raises(AttributeError, match="has no field 'close'"):
        proxy.get_closes(["S1"], TRADING_DAYS[0])


def _asked_for_bars(ds):
    """The ids the data source's fund bar store is asked for, in order, from now on."""
    asked = []
    store = ds._day_bar_stores[INSTRUMENT_TYPE.PUBLIC_FUND]
    original = store.get_bars
    store.get_bars = lambda oid: asked.append(oid) or original(oid)
    return asked


def test_each_store_is_asked_once_per_instrument(bundle):
    ds, ids, bars = _fund_source(bundle, random.Random(5))
    asked = _asked_for_bars(ds)
    proxy = DataProxy(ds)
    for day in TRADING_DAYS[:5]:
        proxy.get_closes(ids, day.date())
        for oid in ids:
            assert proxy.get_bars(oid) is bars[oid]
            assert _same_record(proxy.get_bar(oid, day)._data, _reference_bar(bars[oid], day))
    assert sorted(asked) == sorted(ids)


def test_released_bars_are_fetched_again_with_the_same_answers(bundle):
    ds, ids, bars = _fund_source(bundle, random.Random(9))
    asked = _asked_for_bars(ds)
    proxy = DataProxy(ds)
    day = TRADING_DAYS[4]
    before = (proxy.get_closes(ids, day.date()), [proxy.get_bar(k, day)._data for k in ids])
    proxy.release_bars()
    assert not ds._bar_indexes and not proxy._bars_by_id and not proxy._close_columns  # nothing held any more
    after = (proxy.get_closes(ids, day.date()), [proxy.get_bar(k, day)._data for k in ids])
    assert _same_floats(before[0], after[0])
    assert all(_same_record(a, b) for a, b in zip(before[1], after[1]))
    assert sorted(asked) == sorted(ids + ids)  # each store asked once more per instrument


def test_replaced_bar_store_is_read_afresh(bundle):
    ds, ids, _ = _fund_source(bundle, random.Random(2))
    proxy = DataProxy(ds)
    day = TRADING_DAYS[3].date()
    proxy.get_closes(ids, day)
    ds.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArrayBarStore(
        {k: make_bars(TRADING_DAYS, np.full(len(TRADING_DAYS), 7.0)) for k in ids}))
    assert proxy.get_closes(ids, day) == [7.0] * len(ids)
    assert proxy.get_bar(ids[0], day).close == 7.0


def _random_dividends(rng):
    if rng.random() < 0.3:
        return None
    rows = []
    for _ in range(rng.randrange(0, 6)):
        book = rng.choice(TRADING_DAYS)
        # Several records may share a book-closure date; they come back in table order.
        for _ in range(rng.choice([1, 1, 2])):
            rows.append((convert_date_to_date_int(book), round(rng.uniform(0.01, 0.3), 4),
                         convert_date_to_date_int(book + pd.Timedelta(days=3)), rng.choice([1.0, 10.0])))
    return np.rec.fromrecords(rows, dtype=[("book_closure_date", "<i8"), ("dividend_cash_before_tax", "<f8"),
                                           ("payable_date", "<i8"), ("round_lot", "<f8")]) if rows else \
        np.rec.fromrecords([(0, 0.0, 0, 1.0)], dtype=[("book_closure_date", "<i8"), ("dividend_cash_before_tax",
                                                                                     "<f8"),
                                                      ("payable_date", "<i8"), ("round_lot", "<f8")])[:0]


def _reference_dividend(table, moment):
    if table is None or len(table) == 0:
        return None
    mask = table["book_closure_date"] == convert_date_to_date_int(moment)
    return table[mask] if mask.any() else None


def _random_splits(rng):
    if rng.random() < 0.4:
        return None
    days = rng.sample(list(ALL_DAYS), rng.randrange(0, 4))
    splits = np.zeros(len(days), dtype=[("ex_date", "<i8"), ("split_factor", "<f8")])
    splits["ex_date"] = [convert_date_to_int(d) for d in days]
    splits["split_factor"] = [rng.choice([0.5, 1.5, 2.0, 3.0]) for _ in days]
    return splits


def _reference_split(factors, moment):
    """Factors of every ex-date after the previous trading day up to the day, multiplied in table order."""
    if factors is None or len(factors) == 0:
        return None
    stamps = list(TRADING_DAYS)
    day = pd.Timestamp(moment).normalize()
    upper = convert_date_to_int(day)
    pos = bisect.bisect_left(stamps, day)
    ex_dates = factors["ex_date"]
    if pos > 0:
        hits = np.flatnonzero((ex_dates > convert_date_to_int(stamps[pos - 1])) & (ex_dates <= upper))
    else:
        hits = np.flatnonzero(ex_dates == upper)
    if len(hits) == 0:
        return None
    ratio = 1.0
    for i in hits:
        ratio *= float(factors["split_factor"][i])
    return ratio


@pytest.mark.parametrize("seed", SEEDS)
def test_dividend_and_split_lookups_equal_a_search_of_the_table(bundle, seed):
    rng = random.Random(seed)
    ds, ids, _ = _fund_source(bundle, rng)
    dividends = {k: _random_dividends(rng) for k in ids}
    splits = {k: _random_splits(rng) for k in ids}
    ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, RecordDividendStore(dividends))
    ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArraySplitStore(splits))
    proxy = DataProxy(ds)
    booked = [(k, pd.Timestamp(str(d))) for k in ids if dividends[k] is not None
              for d in dividends[k]["book_closure_date"]]
    for i in range(300):
        oid = rng.choice(ids + ["XX"])
        moment = _random_moment(rng)
        if booked and i % 3 == 0:  # make sure real book-closure dates are asked often
            oid, moment = rng.choice(booked)
        found = proxy.get_dividend_by_book_date(oid, moment)
        expected = _reference_dividend(dividends.get(oid), moment)
        assert (found is None) == (expected is None), (oid, moment)
        if found is not None:
            assert type(found) is type(expected) and found.tobytes() == expected.tobytes()
            found["dividend_cash_before_tax"] = -1.0  # the caller's copy: the table stays as it is
        ratio = proxy.get_split_by_ex_date(oid, moment)
        assert ratio == _reference_split(splits.get(oid), moment), (oid, moment)
        assert ratio is None or type(ratio) is float
    assert all(t is None or (t["dividend_cash_before_tax"] >= 0).all() for t in dividends.values())


def test_replaced_corporate_action_stores_are_read_afresh(bundle):
    ds, ids, _ = _fund_source(bundle, random.Random(3))
    proxy = DataProxy(ds)
    day = TRADING_DAYS[4]
    assert proxy.get_dividend_by_book_date(ids[0], day) is None
    assert proxy.get_split_by_ex_date(ids[0], day) is None
    table = np.rec.fromrecords([(convert_date_to_date_int(day), 0.1, 20200201, 1.0)],
                               dtype=[("book_closure_date", "<i8"), ("dividend_cash_before_tax", "<f8"),
                                      ("payable_date", "<i8"), ("round_lot", "<f8")])
    ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, RecordDividendStore({ids[0]: table}))
    ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArraySplitStore({ids[0]: np.array(
        [(convert_date_to_int(day), 2.0)], dtype=[("ex_date", "<i8"), ("split_factor", "<f8")])}))
    assert len(proxy.get_dividend_by_book_date(ids[0], day)) == 1
    assert proxy.get_split_by_ex_date(ids[0], day) == 2.0


def test_previous_trading_dates_equal_a_search_of_the_calendar(bundle):
    rng = random.Random(4)
    proxy = DataProxy(BaseDataSource(str(bundle), {}, False, None))
    stamps = list(TRADING_DAYS)
    for _ in range(400):
        moment = _random_moment(rng)
        n = rng.choice([1, 1, 1, 2, 5, 0, -1])
        pos = bisect.bisect_left(stamps, pd.Timestamp(moment).normalize()) - n
        _check_previous(proxy, stamps, moment, n, pos)


def _check_previous(proxy, stamps, moment, n, pos):
    """The proxy's previous trading date of ``moment`` is ``stamps[pos]``, or refused outside the calendar."""
    if 0 <= pos < len(stamps):
        found = proxy.get_previous_trading_date(moment, n)
        assert found == stamps[pos] and type(found) is pd.Timestamp, (moment, n)
    else:
        with pytest.raises(ValueError, match="outside the trading calendar"):
            proxy.get_previous_trading_date(moment, n)


def _stock_source(bundle, rng, count):
    ds = BaseDataSource(str(bundle), {}, False, None)
    ids = ["S{}".format(i) for i in range(count)]
    ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS,
                                                      [{"order_book_id": k, "symbol": k} for k in ids]))
    ds.register_day_bar_store(INSTRUMENT_TYPE.CS, ArrayBarStore({k: _random_bars(rng) for k in ids}))
    return ds, ids


@pytest.mark.parametrize("seed", SEEDS)
def test_batched_last_prices_equal_one_bar_per_position(make_env, bundle, seed):
    from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition

    class LoggingPosition(StockPosition):
        """Takes its prices its own way: must still be handed each one."""
        seen = []

        def update_last_price(self, price):
            LoggingPosition.seen.append((self.order_book_id, price))
            super().update_last_price(price)

    rng = random.Random(seed)
    accounts = []
    for _ in range(2):
        env = make_env()
        ds, ids = _stock_source(bundle, random.Random(seed), 10)
        env.set_data_source(ds)
        account = Account("STOCK", 1e6)
        for k in ids:
            cls = LoggingPosition if int(k[1:]) % 3 == 0 else StockPosition
            account._positions[k] = cls(k, "LONG")
        accounts.append((env, account))
    batched_env, batched = accounts[0]
    plain_env, plain = accounts[1]
    for day in TRADING_DAYS[:15]:
        hour = rng.choice([9, 15])
        for env in (batched_env, plain_env):
            at(env, str(day.date()), hour)
        LoggingPosition.seen = []
        from tessel.environment import Environment

        Environment._env = batched_env
        batched.update_last_prices()
        seen_batched = LoggingPosition.seen
        LoggingPosition.seen = []
        Environment._env = plain_env
        for order_book_id, position in plain.positions.items():  # the straightforward path
            position.update_last_price(plain_env.get_bar(order_book_id).close)
        assert repr(seen_batched) == repr(LoggingPosition.seen)
        for k in batched.positions:
            a, b = batched.positions[k], plain.positions[k]
            assert repr((a._last_price, a.last_price)) == repr((b._last_price, b.last_price)), (k, day)
            assert type(a.last_price) is type(b.last_price)
        for account in (batched, plain):
            for position in account.positions.values():
                position.before_trading(day.date())
        assert [p._prev_close for p in batched.positions.values()] == \
            [p._prev_close for p in plain.positions.values()]


def test_the_morning_keeps_a_last_price_a_subclass_reports_its_own_way(make_env):
    from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition

    class MarkedPosition(StockPosition):
        @property
        def last_price(self):
            return 42.0

    make_env()
    plain, marked = StockPosition("S1", "LONG", init_price=3.0), MarkedPosition("S1", "LONG", init_price=3.0)
    plain.before_trading(dt.date(2020, 1, 2))
    marked.before_trading(dt.date(2020, 1, 2))
    assert (plain._prev_close, marked._prev_close) == (3.0, 42.0)
    plain.update_last_price(5.0)
    plain.before_trading(dt.date(2020, 1, 3))
    assert plain._prev_close == 5.0 and plain._last_price is None


def _reference_positions_frame(rows):
    return pd.DataFrame(rows, columns=list(POSITION_COLUMNS))


class _Position:
    def __init__(self, rng):
        self.last_price = rng.choice([1.0, 1.25, np.float64(2.5), 3])
        self.quantity = rng.choice([0.0, 10.5, 100])
        self.market_value = self.quantity * self.last_price
        self.equity = self.market_value + rng.choice([0.0, 5.0])
        if rng.random() < 0.5:
            self.receivable_quantity = rng.choice([0, 2.5, None])


class _Portfolio:
    def __init__(self):
        self.accounts = {"STOCK": type("A", (), {"positions": {}})()}
        self.cash = 100.0


def _recording_env(make_env):
    """An engine with an empty stock account, and a started recorder on it."""
    env = make_env()
    env.portfolio = _Portfolio()
    recorder = DailyRecorder(env)
    recorder.start()
    return env, recorder


@pytest.mark.parametrize("seed", SEEDS)
def test_positions_table_equals_the_table_of_rows(make_env, seed):
    rng = random.Random(seed)
    env, recorder = _recording_env(make_env)
    rows = []
    for day in TRADING_DAYS[:rng.randrange(0, 12)]:
        held = rng.sample(range(8), rng.randrange(0, 4))
        if rng.random() < 0.5:  # the funds of the day before again (their ids are then kept once)
            held = [int(k[1:]) for k in env.portfolio.accounts["STOCK"].positions]
        positions = {"F{}".format(i): _Position(rng) for i in held}
        env.portfolio.accounts["STOCK"].positions = positions
        recorder.record_day(day.date())
        for k, p in positions.items():
            due = float(getattr(p, "receivable_quantity", 0) or 0)
            rows.append((pd.Timestamp(day.date()), k, float(p.quantity), due, float(p.last_price),
                         float(p.market_value), float(p.equity)))
    frame = recorder.positions_frame()
    pd.testing.assert_frame_equal(frame, _reference_positions_frame(rows), check_exact=True)
    assert list(frame.dtypes) == list(_reference_positions_frame(rows).dtypes)
    # Built once: the columns went into the table, and a second call gives that same table.
    assert recorder.positions_frame() is frame or not rows
    pd.testing.assert_frame_equal(recorder.positions_frame(), _reference_positions_frame(rows), check_exact=True)


class _Order:
    """What the orders table reads of an order; ``status`` moves on as the test says."""

    def __init__(self, rng, order_id, day):
        self.order_id, self.order_book_id = order_id, "F{}".format(rng.randrange(5))
        self.trading_datetime = dt.datetime.combine(day, dt.time(15))
        self.side, self.position_effect, self.type = (SIDE.BUY, POSITION_EFFECT.OPEN, ORDER_TYPE.MARKET) \
            if rng.random() < 0.5 else (SIDE.SELL, POSITION_EFFECT.CLOSE, ORDER_TYPE.MARKET)
        self.quantity = None if rng.random() < 0.3 else float(rng.randrange(1, 1000))
        self.cash_amount = float(rng.randrange(1, 10 ** 6)) if self.quantity is None else None
        self.price, self.fee, self.message = None, 0, ""
        self.filled_quantity = self.avg_price = self.transaction_cost = 0.0
        self.status = ORDER_STATUS.ACTIVE

    def move_on(self, rng):
        self.status = rng.choice([ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED,
                                  ORDER_STATUS.PENDING_CANCEL])
        self.filled_quantity, self.avg_price = float(rng.randrange(1, 100)), rng.random()
        self.transaction_cost, self.message = rng.random(), rng.choice(["", "no cash", "expired"])


class _UnreferableOrder:
    __slots__ = ("__dict__",)  # no weak references to it
    __init__, move_on = _Order.__init__, _Order.move_on


def _order_row(o):
    return (pd.Timestamp(o.trading_datetime.date()), o.order_id, o.order_book_id, str(o.side), str(o.position_effect),
            str(o.type), o.quantity, o.cash_amount, o.price, float(o.filled_quantity), float(o.avg_price),
            float(o.transaction_cost or o.fee or 0.0), str(o.status), o.message)


_FINAL = (ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED)


@pytest.mark.parametrize("seed", SEEDS)
def test_orders_table_equals_the_rows_of_every_order_seen(make_env, seed):
    rng = random.Random(seed)
    env, recorder = _recording_env(make_env)
    held, first_seen, rows, count = [], [], {}, 0
    for day in TRADING_DAYS[:rng.randrange(1, 15)]:
        for _ in range(rng.randrange(0, 6)):
            count += 1
            held.append((_UnreferableOrder if rng.random() < 0.2 else _Order)(rng, count, day.date()))
        for order in rng.sample(held, min(len(held), 5)):  # final ones too: events may come again
            if order.order_id not in first_seen:
                first_seen.append(order.order_id)
            recorder._on_order_event(type("Event", (), {"order": order})())
        for order in [o for o in held if o.status not in _FINAL and rng.random() < 0.6]:
            order.move_on(rng)
        recorder._on_order_event(type("Event", (), {"order": None})())
        recorder.record_day(day.date())
        for order in held:  # a final order's row, taken now: nothing changes it any more
            if order.status in _FINAL and order.order_id in first_seen:
                rows.setdefault(order.order_id, _order_row(order))
        # Orders nothing holds any more go; new ones may then take their ids.
        held = [o for o in held if o.status not in _FINAL or rng.random() < 0.5]
    for order in held:
        if order.order_id in first_seen:
            rows.setdefault(order.order_id, _order_row(order))
    expected = pd.DataFrame([rows[k] for k in first_seen], columns=list(ORDER_COLUMNS))
    for column in ("quantity", "cash_amount", "limit_price"):
        expected[column] = expected[column].astype(float)
    pd.testing.assert_frame_equal(recorder.orders_frame(), expected, check_exact=True)


# --- positions read from their fields ---------------------------------------------------------------

def _position_classes():
    """Stock positions of the engine's own properties, and subclasses that change them in each way."""
    from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition

    class QueuedPosition(StockPosition):
        """Units and cash still owed, as properties (a fund position keeps them this way)."""

        def __init__(self, *args):
            super().__init__(*args)
            self.units_owed, self.cash_owed = None, 0

        @property
        def receivable_quantity(self):
            return self.units_owed

        @property
        def receivable_cash(self):
            return self.cash_owed

        @property
        def equity(self):
            return super().equity + (self.cash_owed or 0)

    class MarkedPosition(QueuedPosition):
        @property
        def last_price(self):
            return 1.5 if self._last_price is None else self._last_price * 2

    class PromisedPosition(QueuedPosition):
        @property
        def dividend_receivable(self):
            return 7.25

    class ShyPosition(QueuedPosition):
        """A property that fails with AttributeError reads as absent, as with getattr and a default."""

        @property
        def receivable_cash(self):
            raise AttributeError("receivable_cash")

    class InstanceOwedPosition(StockPosition):
        """Owed units kept as an instance attribute, which only a read by name finds."""

    return StockPosition, QueuedPosition, MarkedPosition, PromisedPosition, ShyPosition, InstanceOwedPosition


def _random_position(rng, cls, order_book_id):
    position = cls(order_book_id, "LONG", rng.choice([0, 3, 10.5]), rng.choice([None, 0, 2.0]))
    position._quantity = rng.choice([0, 4, 12.25, 100.0])
    position._last_price = rng.choice([None, 1.0, np.float64(1.1), 3])
    position._prev_close = rng.choice([None, 0.9, 2])
    position._dividend_receivable = rng.choice([None, (dt.date(2020, 1, 9), 3.5), (dt.date(2020, 1, 9), 0)])
    if hasattr(position, "units_owed"):
        position.units_owed = rng.choice([None, 0, 2.5, np.float64(1.25)])
        position.cash_owed = rng.choice([None, 0, 40.0])
    if cls.__name__ == "InstanceOwedPosition" and rng.random() < 0.5:
        position.receivable_quantity = 6.0
    return position


@pytest.mark.parametrize("seed", SEEDS)
def test_position_values_equal_their_formulas(make_env, seed):
    from tessel.portfolio.position import Position

    make_env()
    rng = random.Random(seed)
    for _ in range(60):
        cls = rng.choice(_position_classes())
        position = _random_position(rng, cls, "S1")
        last = position.last_price
        receivable = position._dividend_receivable[1] if position._dividend_receivable else 0
        dividend = position.dividend_receivable
        assert repr(dividend) == ("7.25" if cls.__name__ == "PromisedPosition" else repr(receivable))
        assert repr(position.market_value) == repr(position._quantity * last)
        expected = position._quantity * last + dividend
        if hasattr(position, "cash_owed"):
            expected = expected + (position.cash_owed or 0)
        assert repr(position.equity) == repr(expected), cls.__name__
        if type(position).last_price is Position.last_price:
            formula = position._last_price
            if formula is None:
                formula = position._prev_close if position._prev_close is not None else position._avg_price
            assert repr(last) == repr(formula)
        position.before_trading(dt.date(2020, 1, 6))
        assert repr(position._prev_close) == repr(last) and position._last_price is None


class _Accounts:
    def __init__(self, positions):
        self.accounts = {"STOCK": type("A", (), {"positions": positions})()}
        self.cash = 1000.0


def _reference_record(positions):
    """One day's position rows and sums, reading every value by its property or by name with a default."""
    def number(value):
        return 0.0 if value is None else float(value)

    rows, sums = [], [0.0] * 6
    for k, p in positions.items():
        last_price = float(p.last_price)
        units_due = number(getattr(p, "receivable_quantity", 0))
        equity, mv = float(p.equity), float(p.market_value)
        cash_due = number(getattr(p, "receivable_cash", 0))
        dividend = number(getattr(p, "dividend_receivable", 0))
        rows.append((k, float(p.quantity), units_due, last_price, mv, equity))
        for i, value in enumerate((mv, units_due, units_due * last_price, cash_due, dividend, equity)):
            sums[i] += value
    return rows, sums


@pytest.mark.parametrize("seed", SEEDS)
def test_recorded_positions_equal_their_property_reads(make_env, seed):
    rng = random.Random(seed)
    env = make_env()
    env.portfolio = _Accounts({})
    recorder = DailyRecorder(env)
    recorder.start()
    classes = _position_classes()
    rows, daily = [], []
    for day in TRADING_DAYS[:8]:
        positions = {"P{}".format(i): _random_position(rng, rng.choice(classes), "P{}".format(i))
                     for i in range(rng.randrange(0, 9))}
        env.portfolio.accounts["STOCK"].positions = positions
        recorder.record_day(day.date())
        day_rows, sums = _reference_record(positions)
        rows.extend((pd.Timestamp(day.date()),) + r for r in day_rows)
        mv, units, units_value, cash_due, dividend, equity = sums
        daily.append((1000.0, mv, units, units_value, cash_due, dividend, 1000.0 + equity))
    if rows:
        pd.testing.assert_frame_equal(recorder.positions_frame(), _reference_positions_frame(rows), check_exact=True)
    frame = recorder.daily_frame()
    got = frame[["cash", "market_value", "receivable_units", "receivable_units_value", "receivable_cash",
                 "dividend_receivable", "total_value"]].to_numpy().tolist()
    assert repr(got) == repr([list(map(float, d)) for d in daily])


# --- bar fields -----------------------------------------------------------------------------------

@pytest.mark.parametrize("seed", SEEDS)
def test_bar_fields_equal_the_records_across_interleaved_dtypes(bundle, seed):
    """Funds' bars with different dtypes, read in turn, as record arrays and plain arrays."""
    from tessel.data.bar import _plain

    rng = random.Random(seed)
    ds, ids, bars = _fund_source(bundle, rng, count=8)
    for k in ids[::2]:
        if bars[k] is not None and len(bars[k]):
            extra = np.zeros(len(bars[k]), dtype=bars[k].dtype.descr + [("status", "S8")])
            for name in bars[k].dtype.names:
                extra[name] = bars[k][name]
            extra["status"] = [rng.choice([b"Open", b"", b"Closed"]) for _ in range(len(extra))]
            bars[k] = extra.view(np.recarray) if rng.random() < 0.5 else extra
    proxy = DataProxy(ds)
    for _ in range(200):
        oid, moment = rng.choice(ids), _random_moment(rng)
        bar = proxy.get_bar(oid, moment)
        record = _reference_bar(bars[oid], moment)
        assert _same_record(bar._data, record) and type(bar._data) is type(record)
        names = record.dtype.names if record is not None else ("close", "status")
        for name in names:
            if name == "datetime":  # the bar's own property: a datetime
                continue
            value = getattr(bar, name)
            if record is None:
                assert value is None or value != value
            else:
                assert repr(value) == repr(_plain(record[name])) and type(value) is type(_plain(record[name]))
        if record is not None:
            with pytest.raises(AttributeError, match="has no field 'nope'"):
                getattr(bar, "nope")


def test_bar_field_reads_stay_the_same_once_answered_by_a_class_property():
    """After a field's first read the class answers it: same values and errors for every dtype, subclasses intact."""
    from tessel.data.bar import BarObject, _plain

    class Instrument:
        order_book_id = "000001"

    def straightforward(data, name):  # the field read as the record gives it
        if data is None:
            return float("nan") if name in ("close", "volume") else None
        if name not in data.dtype.names:
            raise AttributeError("bar of 000001 has no field '{}' (fields: {})".format(
                name, ", ".join(data.dtype.names)))
        return _plain(data[name])

    class Doubling(BarObject):
        __slots__ = ()

        def __getattr__(self, name):
            return 2 * BarObject.__getattr__(self, name)

    rng = random.Random(11)
    pool = [("close", "<f8"), ("volume", "<i8"), ("tag", "S6"), ("rare_field", "<f8"), ("fields", "<f8"),
            ("_data", "<f8")]
    dtypes = [np.dtype([("datetime", "<i8")] + rng.sample(pool, rng.randint(1, len(pool)))) for _ in range(12)]
    for _ in range(400):
        dtype = rng.choice(dtypes)
        data = None
        if rng.random() > 0.1:
            records = np.zeros(3, dtype=dtype)
            for name in dtype.names:
                records[name] = rng.choice([b"Open", b""]) if dtype[name].kind == "S" else rng.randint(0, 9)
            records["datetime"] = 20200106000000
            data = records[rng.randrange(3)]
        bar = BarObject(Instrument(), data)
        for name in ("close", "volume", "tag", "rare_field"):
            try:
                want = straightforward(data, name)
            except AttributeError as exc:
                with pytest.raises(AttributeError) as got:
                    getattr(bar, name)
                assert str(got.value) == str(exc)
            else:
                value = getattr(bar, name)
                assert repr(value) == repr(want) and type(value) is type(want)
                if data is not None and dtype[name].kind == "f":
                    assert getattr(Doubling(Instrument(), data), name) == 2 * want
        assert bar.fields == (() if data is None else dtype.names)  # the class's own attributes win
        assert bar._data is data
    assert isinstance(BarObject.__dict__.get("close"), property)


def _drifting_calendars(bundle, rng, rounds):
    """A proxy over the engine's data source, handed out ``rounds`` times; between two, now and then its
    calendar changes, and now and then the proxy moves to (or back from) a data source that keeps its
    calendar its own way."""
    ds = BaseDataSource(str(bundle), {}, False, None)
    proxy = DataProxy(ds)
    full = ds._trading_dates
    calendars = [full, full[::2], full[1:-1]]

    class OwnCalendar(BaseDataSource):
        def get_trading_calendars(self):
            return {"EXCHANGE": full[::3]}

    for _ in range(rounds):
        if rng.random() < 0.05:
            ds._trading_dates = rng.choice(calendars)
        if rng.random() < 0.03:
            proxy._data_source = OwnCalendar(str(bundle), {}, False, None) if proxy._data_source is ds else ds
        yield proxy


def test_previous_trading_date_of_a_repeated_date_follows_the_calendar_in_force(bundle):
    """One date object asked again and again (each morning, once per position) while the calendar changes."""
    rng = random.Random(7)
    moments = [d.date() for d in ALL_DAYS[3:-3]]  # kept: the same objects come back
    for proxy in _drifting_calendars(bundle, rng, 600):
        moment = rng.choice(moments[:5]) if rng.random() < 0.7 else rng.choice(moments)
        n = rng.choice([1, 1, 1, 2, True])
        source = proxy._data_source
        stamps = list(source.get_trading_calendars()["EXCHANGE"])
        pos = bisect.bisect_left(stamps, pd.Timestamp(moment)) - int(n)
        _check_previous(proxy, stamps, moment, n, pos)


def test_next_trading_date_of_a_repeated_date_equals_a_fresh_proxy_s(bundle):
    """One trading time asked again and again (each of a bar's trades, with the subscription's and the
    redemption's number of days) while the calendar changes: the answer a new proxy gives."""
    rng = random.Random(9)
    days = list(ALL_DAYS[:4]) + list(ALL_DAYS[len(ALL_DAYS) // 2:][:6]) + list(ALL_DAYS[-4:])
    moments = ([dt.datetime.combine(d.date(), dt.time(15)) for d in days] + [d.date() for d in days]
               + [pd.Timestamp(d) for d in days] + [d.strftime("%Y%m%d") for d in days[:3]])

    def outcome(ask):
        try:
            found = ask()
        except ValueError as exc:
            return "refused", str(exc)
        return type(found), found

    for proxy in _drifting_calendars(bundle, rng, 800):
        moment = rng.choice(moments[:3]) if rng.random() < 0.6 else rng.choice(moments)
        n = rng.choice([1, 3, 1, 3, 0, -1, 2, True, np.int64(1)])
        expected = outcome(lambda: DataProxy(proxy._data_source).get_next_trading_date(moment, n))
        assert outcome(lambda: proxy.get_next_trading_date(moment, n)) == expected, (moment, n)


def test_environment_instrument_look_up_equals_the_proxy_s(make_env):
    rng = random.Random(8)
    env = make_env()
    ds = env.data_source

    def register(count):
        ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND, [
            {"order_book_id": "F{}".format(i), "symbol": "v{} {}".format(count, i)} for i in range(count)]))

    register(6)
    for _ in range(300):
        if rng.random() < 0.05:
            register(rng.randrange(2, 9))  # a replaced store: new instruments, some ids gone
        key = rng.choice(["F{}".format(i) for i in range(9)] + ["XX"])
        found = env.get_instrument(key)
        expected = DataProxy(ds).instruments(key)  # a fresh proxy: nothing cached
        assert (found is None) == (expected is None), key
        if found is not None:
            assert (found.order_book_id, found.symbol) == (expected.order_book_id, expected.symbol)
            assert env.get_instrument(key) is found  # one object per id while the store stays
    assert [i.order_book_id for i in env.get_instrument(["F0", "XX", "F1"])] == ["F0", "F1"]
    env.data_proxy = None
    with pytest.raises(RuntimeError, match="no data source has been set, cannot look up 'F0'"):
        env.get_instrument("F0")


def test_order_status_checks_equal_the_enumeration_s_comparison():
    from tessel.const import ORDER_STATUS
    from tessel.mod.tessel_mod_sys_simulation.simulation_broker import _is_active

    values = list(ORDER_STATUS) + [m.value for m in ORDER_STATUS] + [m.value.encode() for m in ORDER_STATUS] + \
        ["active", b"\xff", None, 1, bytearray(b"ACTIVE")]
    for value in values:
        assert _is_active(value) == (value == ORDER_STATUS.ACTIVE), value


def test_day_stamps_equal_a_stamp_per_call():
    from datetime import timezone

    from tessel.recorder import _day, _DayStamps

    rng = random.Random(9)
    zones = [timezone.utc, timezone(dt.timedelta(hours=8)), timezone(dt.timedelta(hours=-5))]
    stamps = _DayStamps()
    for _ in range(400):
        base = dt.datetime(2020, 1, 1) + dt.timedelta(minutes=rng.randrange(0, 60 * 24 * 10, 30))
        kind = rng.randrange(5)
        moments = [base]
        if kind == 1:  # one instant in two zones: equal times that fall on different dates
            moments = [base.replace(tzinfo=timezone.utc).astimezone(zone) for zone in rng.sample(zones, 2)]
        elif kind == 2:
            moments = [pd.Timestamp(base), base]
        elif kind == 3:
            moments = [base.date()]
        elif kind == 4 and rng.random() < 0.3:
            moments = [None]
        for moment in moments:
            found, expected = stamps.of(moment), _day(moment)
            assert repr(found) == repr(expected) and type(found) is type(expected), moment


def test_validators_for_an_order_equal_those_registered_for_all_and_its_type(make_env):
    rng = random.Random(10)
    env = make_env()
    types = [INSTRUMENT_TYPE.CS, INSTRUMENT_TYPE.PUBLIC_FUND, INSTRUMENT_TYPE.ETF]
    env.data_source.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS, [
        {"order_book_id": "S1", "symbol": "s"}]))
    env.data_source.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND, [
        {"order_book_id": "F1", "symbol": "f"}]))
    assert env._validators_for("XX") == []
    # Validators for every type only: no instrument is looked up, so an unknown id is no error.
    env.add_frontend_validator("all-0")
    assert env._validators_for("XX") == ["all-0"]
    registered = [(None, "all-0")]
    # One type only, nothing for every type.
    alone = make_env()
    alone.data_source.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS, [
        {"order_book_id": "S1", "symbol": "s"}]))
    alone.add_frontend_validator("cs-only", INSTRUMENT_TYPE.CS)
    assert alone._validators_for("S1") == ["cs-only"]
    for i in range(40):
        kind = rng.choice([None] + types)
        env.add_frontend_validator("v{}".format(i), kind)
        registered.append((kind, "v{}".format(i)))
        for oid, kind_of in (("S1", INSTRUMENT_TYPE.CS), ("F1", INSTRUMENT_TYPE.PUBLIC_FUND)):
            expected = [v for k, v in registered if k is None] + [v for k, v in registered if k == kind_of]
            assert env._validators_for(oid) == expected, (i, oid)
        if any(k is not None for k, _ in registered):
            with pytest.raises(ValueError, match="unknown instrument 'XX'"):
                env._validators_for("XX")
