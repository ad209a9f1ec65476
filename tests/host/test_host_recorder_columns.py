"""The trades and orders tables kept as columns equal the tables built from their rows, on random data.

The reference is the way these tables were always built: one tuple per row,
then ``pd.DataFrame(rows, columns=...)``.  Regular values (floats, ints, texts,
day stamps) take the columnar build; the odd ones (None, aware times, huge
ints, ids that are not ints, numbers of other types) take the table of rows.
"""
import datetime as dt
import decimal
import random

import numpy as np
import pandas as pd
import pytest

from host_helpers import TRADING_DAYS
from tessel.const import ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE
from tessel.recorder import ORDER_COLUMNS, TRADE_COLUMNS, DailyRecorder

SEEDS = range(8)
_FINAL = (ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED)


class _Portfolio:
    def __init__(self):
        self.accounts = {"STOCK": type("A", (), {"positions": {}})()}
        self.cash = 100.0


def _recorder(make_env):
    env = make_env()
    env.portfolio = _Portfolio()
    recorder = DailyRecorder(env)
    recorder.start()
    return recorder


def _event(**fields):
    return type("Event", (), fields)()


def _odd(rng, regular, odd):
    """Mostly ``regular()``; now and then one of ``odd`` (rare values that change how a column is inferred)."""
    return rng.choice(odd) if rng.random() < 0.1 else regular()


def _picker(rng, odd):
    """pick(field, regular, odd values): odd values only for the fields named in ``odd``."""
    def pick(field, regular, values):
        return _odd(rng, regular, values) if field in odd else regular()
    return pick


# Which fields may take odd values: none, each kind alone (the other columns stay regular), all at once.
TRADE_ODDITIES = [(), ("trading_datetime",), ("order_book_id",), ("order_id", "exec_id"), ("all",)]
ORDER_ODDITIES = [(), ("trading_datetime",), ("order_id",), ("quantity", "cash_amount"), ("message",), ("all",)]


class _Trade:
    def __init__(self, rng, trade_id, day, odd):
        if odd == ("all",):
            odd = sum(TRADE_ODDITIES[1:-1], ())
        pick = _picker(rng, odd)
        moment = dt.datetime.combine(day, dt.time(15))
        self.trading_datetime = pick("trading_datetime", lambda: moment, [
            None, moment.replace(tzinfo=dt.timezone.utc), day.isoformat()])
        self.order_book_id = pick("order_book_id", lambda: "F{}".format(rng.randrange(6)), [None, 7])
        self.side, self.position_effect = rng.choice([(SIDE.BUY, POSITION_EFFECT.OPEN),
                                                      (SIDE.SELL, POSITION_EFFECT.CLOSE)])
        self.last_price = rng.choice([1.0, 1.2345, np.float64(2.5), 3, float("nan")])
        self.last_quantity = rng.choice([0.0, 10.5, 100])
        self.transaction_cost = rng.choice([0, 0.25, -0.0])
        self.order_id = pick("order_id", lambda: rng.randrange(1, 10 ** 6), [2 ** 63, "o-1", None, True])
        self.exec_id = pick("exec_id", lambda: trade_id, [2 ** 64 + 1, "t-{}".format(trade_id), np.int64(5)])


def _trade_row(t):
    price, quantity, fee = float(t.last_price), float(t.last_quantity), float(t.transaction_cost)
    value = price * quantity
    stamp = None if t.trading_datetime is None else pd.Timestamp(
        t.trading_datetime.date() if hasattr(t.trading_datetime, "date") else t.trading_datetime)
    return (stamp, t.order_book_id, str(t.side), str(t.position_effect), price, quantity, fee,
            -(value + fee) if t.side == SIDE.BUY else value - fee, t.order_id, t.exec_id)


def _same_table(got, expected):
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert list(got.dtypes) == list(expected.dtypes)


@pytest.mark.parametrize("odd", TRADE_ODDITIES)
@pytest.mark.parametrize("seed", SEEDS)
def test_trades_table_equals_the_table_of_rows(make_env, seed, odd):
    rng = random.Random(seed)
    recorder = _recorder(make_env)
    rows = []
    for day in TRADING_DAYS[:rng.randrange(0, 10)]:
        for _ in range(rng.randrange(0, 5)):
            trade = _Trade(rng, len(rows) + 1, day.date(), odd)
            recorder._on_trade(_event(trade=trade))
            rows.append(_trade_row(trade))
        recorder.record_day(day.date())
    expected = pd.DataFrame(rows, columns=list(TRADE_COLUMNS))
    _same_table(recorder.trades_frame(), expected)
    _same_table(recorder.trades_frame(), expected)  # asked again: the same table
    assert recorder.trade_count == len(rows)


class _Order:
    def __init__(self, rng, order_id, day, odd):
        if odd == ("all",):
            odd = sum(ORDER_ODDITIES[1:-1], ())
        pick = _picker(rng, odd)
        self._pick = pick
        self.order_id = pick("order_id", lambda: order_id, [2 ** 63 + order_id, "o-{}".format(order_id)])
        self.order_book_id = "F{}".format(rng.randrange(5))
        moment = dt.datetime.combine(day, dt.time(15))
        self.trading_datetime = pick("trading_datetime", lambda: moment, [
            None, moment.replace(tzinfo=dt.timezone.utc), day.isoformat()])
        self.side, self.position_effect = rng.choice([(SIDE.BUY, POSITION_EFFECT.OPEN),
                                                      (SIDE.SELL, POSITION_EFFECT.CLOSE)])
        self.type = rng.choice([ORDER_TYPE.MARKET, ORDER_TYPE.LIMIT])
        self.quantity = pick("quantity", lambda: rng.choice([None, 3, 10.5, np.float64(7.25)]),
                             [decimal.Decimal("1.5"), True, 2 ** 70, "12"])
        self.cash_amount = pick("cash_amount", lambda: rng.choice([None, 1000.0, 250]), [decimal.Decimal("9.75")])
        self.price = rng.choice([None, 1.25, float("nan")])
        self.fee, self.message = 0, ""
        self.filled_quantity = self.avg_price = self.transaction_cost = 0.0
        self.status = ORDER_STATUS.ACTIVE

    def move_on(self, rng):
        self.status = rng.choice(_FINAL + (ORDER_STATUS.PENDING_CANCEL,))
        self.filled_quantity, self.avg_price = float(rng.randrange(1, 100)), rng.random()
        self.transaction_cost = rng.random()
        self.message = self._pick("message", lambda: rng.choice(["", "no cash", "expired", None]), [7, b"x"])


def _order_row(o):
    when = o.trading_datetime
    stamp = None if when is None else pd.Timestamp(when.date() if hasattr(when, "date") else when)
    return (stamp, o.order_id, o.order_book_id, str(o.side), str(o.position_effect), str(o.type), o.quantity,
            o.cash_amount, o.price, float(o.filled_quantity), float(o.avg_price),
            float(o.transaction_cost or o.fee or 0.0), str(o.status), o.message or "")


def _orders_reference(rows):
    frame = pd.DataFrame(rows, columns=list(ORDER_COLUMNS))
    for column in ("quantity", "cash_amount", "limit_price"):
        frame[column] = frame[column].astype(float)
    return frame


@pytest.mark.parametrize("odd", ORDER_ODDITIES)
@pytest.mark.parametrize("seed", SEEDS)
def test_orders_table_equals_the_table_of_rows_in_first_seen_order(make_env, seed, odd):
    """Rows written as orders turn final (out of first-seen order) and open ones at the end, asked mid-run too."""
    rng = random.Random(seed)
    recorder = _recorder(make_env)
    held, seen, rows = [], [], {}
    for day in TRADING_DAYS[:rng.randrange(1, 12)]:
        for _ in range(rng.randrange(0, 6)):
            held.append(_Order(rng, len(seen) + len(held) + 1, day.date(), odd))
        for order in rng.sample(held, min(len(held), 4)):
            if all(order is not o for o in seen):
                seen.append(order)
            recorder._on_order_event(_event(order=order))
        for order in [o for o in held if o.status not in _FINAL and rng.random() < 0.6]:
            order.move_on(rng)
        recorder.record_day(day.date())
        for order in seen:
            if order.status in _FINAL:
                rows.setdefault(id(order), _order_row(order))
        if rng.random() < 0.3:  # open orders give their rows as they stand, and may change afterwards
            expected = [rows.get(id(o)) or _order_row(o) for o in seen]
            _same_table(recorder.orders_frame(), _orders_reference(expected))
        held = [o for o in held if o.status not in _FINAL]
    expected = [rows.get(id(o)) or _order_row(o) for o in seen]
    _same_table(recorder.orders_frame(), _orders_reference(expected))


# --- positions: a day's numbers shared with the day before when they are the same ----------------

class _Position:
    """Values from a few choices, so that days often repeat the day before, or differ in the sign of 0 only."""

    def __init__(self, rng, values):
        self.quantity, self.receivable_quantity, self.last_price = rng.choice(values), rng.choice(values), 1.0
        self.market_value, self.equity = rng.choice(values), rng.choice(values)


@pytest.mark.parametrize("seed", SEEDS)
def test_positions_table_keeps_every_day_s_values_bit_for_bit(make_env, seed):
    from tessel.recorder import POSITION_COLUMNS

    rng = random.Random(seed)
    recorder = _recorder(make_env)
    account = recorder._env.portfolio.accounts["STOCK"]
    values = rng.choice([[0.0, -0.0], [float("nan"), 0.0], [1.5, 2.5, 0.0]])
    rows, positions = [], {}
    for day in TRADING_DAYS[:rng.randrange(1, 14)]:
        if rng.random() < 0.6:  # new holdings or new values; otherwise the same as the day before
            positions = {"F{}".format(i): _Position(rng, values) for i in rng.sample(range(5), rng.randrange(0, 4))}
        account.positions = positions
        recorder.record_day(day.date())
        rows.extend((pd.Timestamp(day.date()), k, float(p.quantity), float(p.receivable_quantity), 1.0,
                     float(p.market_value), float(p.equity)) for k, p in positions.items())
    frame = recorder.positions_frame()
    expected = pd.DataFrame(rows, columns=list(POSITION_COLUMNS))
    if rows:
        _same_table(frame, expected)
    for column in POSITION_COLUMNS[2:]:  # equal tables may still differ in the sign of a zero
        assert frame[column].to_numpy().tobytes() == expected[column].to_numpy().tobytes()


def test_freeing_memory_does_nothing_where_the_c_library_cannot_trim(monkeypatch):
    import tessel.utils.memory as memory

    assert memory.release_free_memory() in (True, False)
    monkeypatch.setattr(memory, "_trim", [None])
    assert memory.release_free_memory() is False


# --- positions: the date and id columns typed once from their distinct values -------------------

def _typed_as_rows(values):
    return pd.DataFrame({"x": np.zeros(len(values))}).assign(c=np.array(values + [None], dtype=object)[:-1])["c"]


def _stamp_kinds(rng):
    day = dt.date(2020, 1, 2) + dt.timedelta(days=rng.randrange(400))
    return [pd.Timestamp(day), pd.Timestamp(day).as_unit("ns"), pd.Timestamp(day, tz="UTC"), day,
            dt.datetime.combine(day, dt.time(15)), None, np.datetime64(day, "D"), day.isoformat()]


@pytest.mark.parametrize("seed", SEEDS)
def test_position_dates_and_ids_equal_the_columns_typed_from_every_row(seed):
    from tessel.recorder import _repeated_days, _repeated_ids

    rng = random.Random(seed)
    # Mostly what the recorder writes (naive Timestamps, text ids); now and then one odd value.
    odd_days, odd_ids = rng.random() < 0.5, rng.random() < 0.5
    days, counts, blocks = [], [], []
    for k in range(rng.randrange(1, 40)):
        kinds = _stamp_kinds(rng)
        days.append(rng.choice(kinds) if odd_days and rng.random() < 0.2 else kinds[0])
        if blocks and rng.random() < 0.5:
            block = blocks[-1]  # the day before's tuple, shared
        else:
            block = tuple(rng.choice(["F{}".format(rng.randrange(9)), "基金", ""]) if not (odd_ids and rng.random() < 0.1)
                          else rng.choice([7, None, 2.5, np.str_("F1")]) for _ in range(rng.randrange(1, 6)))
        blocks.append(block)
        counts.append(len(block))
    rows = sum(counts)
    got_days = pd.Series(_repeated_days(days, counts))
    expected_days = _typed_as_rows([d for d, c in zip(days, counts) for _ in range(c)])
    pd.testing.assert_series_equal(got_days, expected_days, check_names=False, check_exact=True)
    got_ids = pd.DataFrame({"x": np.zeros(rows)}).assign(c=_repeated_ids(blocks, rows))["c"]
    expected_ids = _typed_as_rows([i for block in blocks for i in block])
    pd.testing.assert_series_equal(got_ids, expected_ids, check_exact=True)
    assert got_days.dtype == expected_days.dtype and got_ids.dtype == expected_ids.dtype
