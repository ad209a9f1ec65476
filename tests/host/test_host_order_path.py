"""The order path's shortcuts give what the plain look-ups give, on random data.

Each reference is the straightforward answer: a bar looked up afresh by a new
data proxy, a field read from its record, the text comparison written out,
an order made by the class's own constructor, a value appended on its own.
"""
import datetime as dt
import random

import numpy as np
import pandas as pd
import pytest

from host_helpers import TRADING_DAYS, ArrayBarStore, DictInstrumentStore, make_bars
from tessel.const import INSTRUMENT_TYPE, ORDER_STATUS, POSITION_EFFECT, SIDE, CustomEnum
from tessel.data.bar import BarObject, _field_value
from tessel.data.data_proxy import DataProxy
from tessel.model.order import LimitOrder, Order
from tessel.model.trade import Trade
from tessel.recorder import _Codes, _Numbers, _append_row, _row_appenders

SEEDS = range(5)
IDS = ["F{}".format(i) for i in range(8)]


def _random_bars(rng):
    if rng.random() < 0.15:
        return None
    days = [d for d in TRADING_DAYS if rng.random() < 0.8]
    statuses = [rng.choice([b"Open", b"Limited", b"Close", b""]) for _ in days]
    return make_bars(days, [round(rng.uniform(0.5, 3.0), 4) for _ in days], statuses)


def _register_bars(source, rng):
    source.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArrayBarStore({k: _random_bars(rng) for k in IDS}))


def _same_bar(found, reference):
    assert type(found) is BarObject
    assert found.order_book_id == reference.order_book_id and found._dt == reference._dt
    if reference._data is None:
        assert found._data is None
    else:
        assert found._data.tobytes() == reference._data.tobytes()
        for name in reference.fields:
            if name != "datetime":
                a, b = getattr(found, name), getattr(reference, name)
                assert type(a) is type(b) and (a == b or (a != a and b != b)), name


@pytest.mark.parametrize("seed", SEEDS)
def test_bars_handed_out_again_equal_fresh_look_ups(make_env, seed):
    rng = random.Random(seed)
    env = make_env()
    source = env.data_source
    source.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND,
                                                          [{"order_book_id": k, "symbol": k} for k in IDS]))
    _register_bars(source, rng)
    moment = None
    for _ in range(400):
        step = rng.random()
        if step < 0.15 or moment is None:
            # a new time: another day, or the same day as a new object
            day = rng.choice(TRADING_DAYS + [pd.Timestamp("2020-01-04")])
            moment = dt.datetime.combine(day.date(), rng.choice([dt.time(9, 30), dt.time(15, 0)]))
            env.calendar_dt = env.trading_dt = moment
        elif step < 0.2:
            _register_bars(source, rng)  # the stores change: no bar handed out before may come back
        elif step < 0.23:
            env.data_proxy.release_bars()
        oid = rng.choice(IDS + ["XX"])
        fresh = DataProxy(source)
        if oid == "XX":
            with pytest.raises(ValueError, match="unknown instrument"):
                env.get_bar(oid)
            continue
        reference = fresh.get_bar(oid, moment)
        _same_bar(env.get_bar(oid), reference)
        _same_bar(env.data_proxy.get_bar(oid, moment), reference)
        bars = env.data_proxy.get_bars(oid)
        assert bars is source.get_bars(fresh.instrument(oid))


def _random_dtype(rng):
    kinds = ["<f8", "<f4", "<i8", "<u8", "<i4", "?", "S10", "U6", "<c16", "<M8[D]", "O", ("<f8", (2,))]
    names = rng.sample(["close", "open", "subscribe_status", "redeem_status", "volume", "x1", "x2", "x3", "count",
                        "index", "_x", "def"], k=rng.randint(1, 6))
    return np.dtype([(n, rng.choice(kinds[:9] if rng.random() < 0.7 else kinds)) for n in names])


def _random_value(rng, kind):
    if kind.subdtype is not None:
        return [rng.uniform(-5, 5), rng.uniform(-5, 5)]
    return {"f": lambda: rng.choice([rng.uniform(-1e6, 1e6), float("nan"), 0.0]),
            "i": lambda: rng.randint(-1000, 1000), "u": lambda: rng.randint(0, 10 ** 12),
            "b": lambda: rng.random() < 0.5, "S": lambda: rng.choice([b"Open", b"Close", b"", b"\xe4\xb8\xad"]),
            "U": lambda: rng.choice(["Open", "", "\u4e2d"]), "c": lambda: complex(rng.random(), rng.random()),
            "M": lambda: np.datetime64("2020-01-01") + rng.randint(0, 100),
            "O": lambda: rng.choice([None, b"raw", "text", 3])}[kind.kind]()


@pytest.mark.parametrize("seed", SEEDS)
def test_bar_fields_read_through_the_kept_record_equal_field_reads(seed):
    rng = random.Random(seed)
    instrument = type("I", (), {"order_book_id": "F0"})()
    for _ in range(60):
        dtype = _random_dtype(rng)
        records = np.zeros(3, dtype=dtype)
        for name in dtype.names:
            for i in range(3):
                records[name][i] = _random_value(rng, dtype.fields[name][0])
        record = records[rng.randrange(3)]
        bar = BarObject(instrument, record)
        names = list(dtype.names) * 2
        rng.shuffle(names)
        for name in names:
            expected = _field_value(BarObject(instrument, record), name)
            found = getattr(bar, name)
            assert type(found) is type(expected), (dtype, name)
            assert np.array_equal(np.asarray(found), np.asarray(expected), equal_nan=found is not None and (
                np.asarray(found).dtype.kind in "fc")), (dtype, name, found, expected)
        for name in ("missing", "count", "index", "_asdict", "_x"):
            if name not in dtype.names:
                with pytest.raises(AttributeError, match="has no field '{}'".format(name)):
                    getattr(bar, name)


def _reference_eq(member, other):
    """CustomEnum.__eq__ as first written: the texts compared through _as_text and the value property."""
    if other is member:
        return True
    if type(other) is type(member):
        return False
    text = CustomEnum._as_text(other)
    if text is None:
        return NotImplemented if not isinstance(other, (str, bytes, bytearray)) else False
    return str.__eq__(member.value, text)


def _reference_ne(member, other):
    if other is member:
        return False
    if type(other) is type(member):
        return True
    result = _reference_eq(member, other)
    return result if result is NotImplemented else not result


class _Text(str):
    pass


def test_enumeration_comparisons_equal_the_written_out_ones():
    rng = random.Random(3)
    members = list(SIDE) + list(ORDER_STATUS) + list(INSTRUMENT_TYPE)
    others = members + ["BUY", "SELL", "FILLED", "PublicFund", "", "buy", b"BUY", b"FILLED", bytearray(b"SELL"),
                        b"\xff", _Text("BUY"), 3, None, 2.5, object()]
    for _ in range(2000):
        member, other = rng.choice(members), rng.choice(others)
        assert member.__eq__(other) == _reference_eq(member, other), (member, other)
        assert member.__ne__(other) == _reference_ne(member, other), (member, other)
        assert (member == other) == (_reference_eq(member, other) is True or (
            _reference_eq(member, other) is NotImplemented and other == member)), (member, other)


class _OwnOrder(Order):
    """A subclass: made by the class's own constructor and assignments, the straightforward way."""


def _order_fields(order):
    return {k: v for k, v in vars(order).items()}


@pytest.mark.parametrize("seed", SEEDS)
def test_orders_made_in_one_step_equal_those_of_the_constructor(make_env, seed):
    rng = random.Random(seed)
    env = make_env()
    env.calendar_dt = env.trading_dt = dt.datetime(2020, 1, 2, 15)
    for _ in range(200):
        if rng.random() < 0.3:
            env.calendar_dt = env.trading_dt = dt.datetime(2020, 1, rng.randint(2, 30), 15)
        side = rng.choice([SIDE.BUY, SIDE.SELL, "BUY"])
        args = dict(order_book_id=rng.choice(IDS), quantity=rng.choice([None, 10, 2.5]), side=side,
                    style=rng.choice([None, LimitOrder(1.5)]),
                    position_effect=rng.choice([None, POSITION_EFFECT.OPEN, POSITION_EFFECT.CLOSE]),
                    cash_amount=rng.choice([None, 1000.0, 7]))
        if args["quantity"] is None and args["cash_amount"] is None:
            args["cash_amount"] = 5.0
        fast, plain = Order.__from_create__(**args), _OwnOrder.__from_create__(**args)
        assert type(fast) is Order and type(plain) is _OwnOrder
        fast_fields, plain_fields = _order_fields(fast), _order_fields(plain)
        assert fast_fields.pop("_order_id") + 1 == plain_fields.pop("_order_id")
        fast_style, plain_style = fast_fields.pop("_style"), plain_fields.pop("_style")
        assert type(fast_style) is type(plain_style) and fast.price == plain.price and fast.type == plain.type
        assert fast_fields == plain_fields
        for name in ("order_book_id", "quantity", "side", "position_effect", "status", "filled_quantity", "fee",
                     "avg_price", "transaction_cost", "message", "datetime", "trading_datetime", "cash_amount"):
            assert getattr(fast, name) == getattr(plain, name), name
        trade = Trade.__from_create__(fast.order_id, 1.25, 4.0, fast.side, fast.position_effect, fast.order_book_id)
        trade.commission, trade.tax = rng.random(), rng.random()
        assert trade.transaction_cost == trade.commission + trade.tax
        if fast.quantity is None or fast.quantity >= 4.0:
            fast.fill(trade)
            plain.fill(trade)
            assert (fast.status, fast.filled_quantity, fast.avg_price, fast.transaction_cost) == (
                plain.status, plain.filled_quantity, plain.avg_price, plain.transaction_cost)


class _PlainCodes:
    """The column of codes written out: a dict look-up per value."""

    def __init__(self):
        self.codes, self.values, self._code_of = [], [], {}

    def append(self, value):
        key = value if type(value) is str else (id(value),)
        code = self._code_of.get(key)
        if code is None:
            code = self._code_of[key] = len(self.values)
            self.values.append(value)
        self.codes.append(code)

    def truncate(self, rows):
        del self.codes[rows:]


@pytest.mark.parametrize("seed", SEEDS)
def test_rows_appended_at_once_equal_values_appended_one_by_one(seed):
    rng = random.Random(seed)
    stamps = [pd.Timestamp("2020-01-02"), pd.Timestamp("2020-01-03")]
    pool = ["000001", "000002", "BUY", "", _Text("BUY"), SIDE.BUY, None] + stamps
    numbers = [1, 2.5, None, float("nan"), 2 ** 70, np.float64(1.5), True, "x"]
    fast = [_Codes() for _ in range(4)] + [_Numbers("q", (int,)), _Numbers("d", (float, int), none=True)]
    plain = [_PlainCodes() for _ in range(4)] + [_Numbers("q", (int,)), _Numbers("d", (float, int), none=True)]
    appenders = _row_appenders(fast)
    for _ in range(500):
        # numbers of the column's kind mostly, now and then one that turns the column into a list
        row = [rng.choice(pool) for _ in range(4)] + [
            rng.choice(numbers) if rng.random() < 0.02 else rng.randint(-9, 9),
            rng.choice(numbers) if rng.random() < 0.05 else rng.choice([None, 0.25, 3])]
        _append_row(appenders, row)
        for column, value in zip(plain, row):
            column.append(value)
        if rng.random() < 0.05:
            rows = rng.randrange(len(fast[0]) + 1)
            for column in fast + plain:
                column.truncate(rows)
    for f, p in zip(fast[:4], plain[:4]):
        assert f.codes.tolist() == p.codes
        assert len(f.values) == len(p.values) and all(a is b for a, b in zip(f.values, p.values))
        assert f.objects().tolist() == [p.values[c] for c in p.codes]
    for f, p in zip(fast[4:], plain[4:]):
        assert f.regular == p.regular
        assert repr(f.objects()) == repr(p.objects())
