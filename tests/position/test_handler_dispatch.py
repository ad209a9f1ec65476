"""The daily cycle calls the position's own handlers directly and reads its
fields from the instance, and whatever replaces a handler or a field (on the
class, on a base class or on one position, before or after the first day) is
still what runs."""
import random
import types
from collections import Counter

import numpy as np
import pytest

from tessel.const import POSITION_DIRECTION
from tessel.utils.datetime_func import convert_date_to_int

import tessel_mod_fund.position as pm
from position_helpers import SPLIT_FIELDS, TRADING_DAYS, dividend_records, nav_bars

HANDLERS = ("_handle_redeem_value", "_handle_accrued_daily_fund_dividend", "_handle_dividend_book_closure",
            "_handle_dividend_payable", "_handle_split", "_handle_subscribe_units", "_deal_dividend_reinvestment",
            "_date_to_datetime")


def through_python(position):
    """The position with every handler found on the instance: each call goes through Python."""
    for name in HANDLERS:
        setattr(position, name, types.MethodType(getattr(type(position), name), position))
    return position


# The instance fields the daily cycle reads.
FIELDS = ("_quantity", "_old_quantity", "_logical_old_quantity", "_avg_price", "_dividend_receivable",
          "_order_book_id", "_env", "_able_dividend", "subscribe_queue", "redeem_queue", "fund_dividend_reinvestment")


class OwnLookup(pm.FundPosition):
    """Every attribute read goes through a __getattribute__ of its own."""
    reads = Counter()

    def __getattribute__(self, name):
        OwnLookup.reads[name] += 1
        return super().__getattribute__(name)


def _field_property(name):
    key = "stored" + name

    def get(self):
        FieldsBehindProperties.reads[name] += 1
        return self.__dict__[key]

    def put(self, value):
        self.__dict__[key] = value

    return property(get, put)


# The fields kept under other names, behind properties.
FieldsBehindProperties = type("FieldsBehindProperties", (pm.FundPosition,),
                              {"reads": Counter(), **{name: _field_property(name) for name in FIELDS}})


def handlers_on_the_instance(run, *args):
    return through_python(run.position(*args))


def own_lookup(run, order_book_id, *args):
    OwnLookup.reads.clear()
    return OwnLookup(order_book_id, POSITION_DIRECTION.LONG, *args)


def fields_behind_properties(run, order_book_id, *args):
    FieldsBehindProperties.reads.clear()
    return FieldsBehindProperties(order_book_id, POSITION_DIRECTION.LONG, *args)


def state(position):
    return (position._quantity, position._old_quantity, position._logical_old_quantity, position._avg_price,
            position._dividend_receivable, list(position.subscribe_queue), list(position.redeem_queue))


def random_events(run, rng, order_book_id):
    days = TRADING_DAYS[2:-8]
    rows = [{"book_closure_date": rng.choice(days), "dividend_cash_before_tax": round(rng.uniform(0.01, 0.2), 4),
             "payable_date": rng.choice(days)} for _ in range(rng.randrange(0, 4))]
    run.dividends.records[order_book_id] = dividend_records(rows)
    splits = sorted(rng.sample(days, rng.randrange(0, 3)))
    factors = np.zeros(len(splits), dtype=SPLIT_FIELDS)
    factors["ex_date"] = [convert_date_to_int(day) for day in splits]
    factors["split_factor"] = [rng.choice([0.5, 2.0, 1.25]) for _ in splits]
    run.splits.factors[order_book_id] = factors


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("order_book_id", ["F1", "MMF"])
@pytest.mark.parametrize("reference", [handlers_on_the_instance, own_lookup, fields_behind_properties])
def test_direct_calls_equal_calls_through_python(make_run, seed, order_book_id, reference):
    run = make_run(reinvest=seed % 2 == 1)
    rng = random.Random(seed)
    closes = [round(1 + rng.uniform(-0.05, 0.05), 4) for _ in TRADING_DAYS]
    profit = [rng.uniform(0.3, 0.6) for _ in TRADING_DAYS] if order_book_id == "MMF" else None
    run.bars.bars[order_book_id] = nav_bars(TRADING_DAYS, 1.0 if profit else closes, profit)
    random_events(run, rng, order_book_id)
    direct = run.position(order_book_id, init_quantity=1000.0, init_price=1.0)
    python = reference(run, order_book_id, 1000.0, 1.0)
    for i, day in enumerate(TRADING_DAYS[1:-6], start=1):
        price = 1.0 if profit else closes[i]
        cash = []
        for position in (direct, python):
            cash.append(position.before_trading(day))
            position.update_last_price(price)
        assert cash[0] == cash[1] and type(cash[0]) is type(cash[1]), day
        assert state(direct) == state(python), day
        if rng.random() < 0.3:
            if rng.random() < 0.6 or direct.quantity < 50:
                trade = run.subscribe(day, float(rng.randrange(10, 50)), price, order_book_id)
            else:
                trade = run.redeem(day, float(rng.randrange(10, 40)), price, order_book_id)
            paid = [position.apply_trade(trade) for position in (direct, python)]
            assert paid[0] == paid[1] and type(paid[0]) is type(paid[1]), day
        for position in (direct, python):
            position.settlement(day)
        assert state(direct) == state(python), day
    assert direct._quantity != 1000.0  # the cycle did change the holding
    for cls in (OwnLookup, FieldsBehindProperties):
        if isinstance(python, cls):  # the reference's own reads were the ones made
            assert {"_quantity", "_dividend_receivable", "_able_dividend", "subscribe_queue",
                    "redeem_queue"} <= set(cls.reads), cls.reads


@pytest.mark.parametrize("name, args", [("_handle_split", 2), ("_handle_dividend_payable", 1),
                                        ("_handle_subscribe_units", 1)])
def test_a_handler_replaced_on_the_class_is_the_one_called(run, monkeypatch, name, args):
    calls = []
    original = getattr(pm.FundPosition, name)

    def spy(self, *a):
        assert len(a) == args
        calls.append(name)
        return original(self, *a)

    monkeypatch.setattr(pm.FundPosition, name, spy)
    position = run.position(init_quantity=100.0, init_price=1.0)
    position.before_trading(TRADING_DAYS[3])
    assert calls == [name]
    monkeypatch.undo()
    position.before_trading(TRADING_DAYS[4])
    assert calls == [name]  # the class's own handler again


def test_class_changes_after_the_first_days_are_seen(run, monkeypatch):
    class Later(pm.FundPosition):
        pass

    position = Later("F1", POSITION_DIRECTION.LONG, 1000.0, 1.0)
    days = iter(TRADING_DAYS[1:])
    for _ in range(3):
        position.before_trading(next(days))

    # a field put behind a property once the class is in use, then taken away
    reads = []

    def quantity(self):
        reads.append(self)
        return self.__dict__["_quantity"]

    Later._quantity = property(quantity, lambda self, value: self.__dict__.__setitem__("_quantity", value))
    position.before_trading(next(days))
    assert reads
    del Later._quantity
    reads.clear()
    position.before_trading(next(days))
    assert reads == []

    # a handler replaced on the base class reaches the subclass's positions
    calls = []
    own = pm.FundPosition._handle_redeem_value
    monkeypatch.setattr(pm.FundPosition, "_handle_redeem_value",
                        lambda self, day: calls.append(day) or own(self, day))
    day = next(days)
    assert position.before_trading(day) == 0 and calls == [day]
    monkeypatch.undo()
    position.before_trading(next(days))
    assert calls == [day]

    # a position moved to another class is read as that class reads it
    OwnLookup.reads.clear()
    position.__class__ = OwnLookup
    position.before_trading(next(days))
    assert OwnLookup.reads["_quantity"] > 0 and OwnLookup.reads["redeem_queue"] > 0
    position.__class__ = Later
    position.redeem_queue = [(pm.datetime(2019, 12, 31), 12.5)]
    cash = position.before_trading(next(days))
    assert cash == 12.5 and type(cash) is float and position.redeem_queue == []


def test_a_field_missing_from_the_instance_raises_attribute_error(run):
    position = run.position(init_quantity=10.0, init_price=1.0)
    del position.redeem_queue
    with pytest.raises(AttributeError, match="redeem_queue"):
        position.before_trading(TRADING_DAYS[3])
    position.redeem_queue = []
    assert position.before_trading(TRADING_DAYS[3]) == 0
