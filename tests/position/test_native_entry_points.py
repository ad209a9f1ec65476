"""The daily entry points and valuation getters, called by the engine for every
position every day, behave like the plain Python methods they stand for:
argument binding, results and their types on random holdings, the module's
own names looked up at call time, and errors passed through unchanged."""
import datetime as dt
import random
from decimal import Decimal

import numpy as np
import pytest

from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition

import tessel_mod_fund.position as pm
from position_helpers import TRADING_DAYS, nav_bars


def python_sum(values):
    total = 0
    for v in values:
        total = total + v
    return total


def round4(x):
    # every float, numpy's included, is rounded as a plain Python float
    return round(float(x), 4) if isinstance(x, float) else round(x, 4)


def reference_values(position):
    """What the getters are documented to give, written out in Python."""
    queued_units = python_sum(entry[1] for entry in position.subscribe_queue)
    queued_cash = python_sum(entry[1] for entry in position.redeem_queue)
    received = round4(position._quantity - queued_units)
    return {"quantity": received, "closable": received, "today_closable": received,
            "receivable_quantity": queued_units, "receivable_cash": queued_cash,
            "equity": StockPosition.equity.__get__(position) + queued_cash}


def random_amount(rng):
    kind = rng.randrange(4)
    if kind == 0:
        return rng.randrange(0, 500)
    if kind == 1:
        return np.float64(round(rng.uniform(0, 500), 6))
    return round(rng.uniform(0, 500), rng.choice([2, 4, 7]))


@pytest.mark.parametrize("seed", range(12))
def test_getters_equal_the_python_formulas_on_random_holdings(run, seed):
    rng = random.Random(seed)
    position = run.position(init_quantity=random_amount(rng), init_price=round(rng.uniform(0.5, 2), 4))
    arrival = dt.datetime(2020, 2, 3)
    position.subscribe_queue = [(arrival, random_amount(rng)) for _ in range(rng.randrange(0, 4))]
    position.redeem_queue = [(arrival, random_amount(rng)) for _ in range(rng.randrange(0, 4))]
    position._quantity = position._quantity + python_sum(q for _, q in position.subscribe_queue)
    if rng.random() < 0.5:
        position.update_last_price(round(rng.uniform(0.5, 2), 4))
    for name, expected in reference_values(position).items():
        value = getattr(position, name)
        assert value == expected and type(value) is type(expected), (name, value, expected)


def test_getters_keep_exotic_numbers_and_report_their_errors(run):
    position = run.position(init_quantity=0)
    position._quantity = Decimal("10.5")
    position.subscribe_queue = [(dt.datetime(2020, 2, 3), Decimal("0.25"))]
    assert position.quantity == Decimal("10.2500") and type(position.quantity) is Decimal
    position.redeem_queue = [(dt.datetime(2020, 2, 3), "cash")]
    with pytest.raises(TypeError):
        position.receivable_cash
    position._quantity = 10.5
    position.redeem_queue = [(dt.datetime(2020, 2, 3),)]
    with pytest.raises(IndexError):
        position.equity


def test_entry_points_bind_arguments_like_python_methods(run):
    day = TRADING_DAYS[3]
    results = []
    for method in ("before_trading", "settlement"):
        position = run.position(init_quantity=100.0, init_price=1.0)
        function = getattr(pm.FundPosition, method)
        results += [getattr(position, method)(day), getattr(position, method)(trading_date=day),
                    function(position, day), function(self=position, trading_date=day)]
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'trading_date'"):
            getattr(position, method)()
        with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
            getattr(position, method)(day, day)
        with pytest.raises(TypeError, match="unexpected keyword argument 'date'"):
            getattr(position, method)(date=day)
        with pytest.raises(TypeError, match="multiple values for argument 'trading_date'"):
            getattr(position, method)(day, trading_date=day)
        assert function.__name__ == method and function.__doc__.startswith(method + "(self")
    assert results == [0] * 8 and all(type(r) is int for r in results)


def test_the_module_names_are_looked_up_at_call_time(run, monkeypatch):
    calls = []

    class Base(pm.Position):
        def before_trading(self, trading_date):
            calls.append(("base", trading_date))
            return 0.5

    real_environment = pm.Environment

    class Environment:
        @staticmethod
        def get_instance():
            calls.append("environment")
            return real_environment.get_instance()

    position = run.position(init_quantity=100.0, init_price=1.0)
    monkeypatch.setattr(pm, "Position", Base)
    monkeypatch.setattr(pm, "Environment", Environment)
    day = TRADING_DAYS[3]
    assert position.before_trading(day) == 0.5
    assert calls == [("base", day), "environment"]
    monkeypatch.undo()
    assert position.before_trading(day) == 0 and len(calls) == 2


def test_stock_position_equity_is_read_when_asked(run, monkeypatch):
    position = run.position(init_quantity=100.0, init_price=1.0)
    position.redeem_queue = [(dt.datetime(2020, 2, 3), 2.5)]
    monkeypatch.setattr(StockPosition, "equity", property(lambda self: 40))
    assert position.equity == 42.5


@pytest.mark.parametrize("quantity, idle", [(0, True), (0.0, True), (-0.0, True), (np.float64(0), True),
                                            (False, True), (5e-324, False), (-1.0, False), (Decimal(0), True)])
def test_an_empty_position_skips_the_daily_handlers(run, monkeypatch, quantity, idle):
    calls = []
    original = pm.FundPosition._handle_redeem_value

    def spy(self, trading_date):
        calls.append(trading_date)
        return original(self, trading_date)

    monkeypatch.setattr(pm.FundPosition, "_handle_redeem_value", spy)
    position = run.position()
    position._quantity = quantity
    assert position.before_trading(TRADING_DAYS[3]) == 0
    assert calls == ([] if idle else [TRADING_DAYS[3]])


def test_errors_of_the_engine_pass_through_unchanged(run, monkeypatch):
    position = run.position(init_quantity=100.0, init_price=1.0)
    proxy = run.env.data_proxy

    class Refused(LookupError):
        pass

    def refuse(order_book_id, day):
        raise Refused(f"no splits for {order_book_id} on {day}")

    before = (position._quantity, position._avg_price, list(position.subscribe_queue))
    monkeypatch.setattr(proxy, "get_split_by_ex_date", refuse)
    with pytest.raises(Refused, match="no splits for F1 on 2020-01-07"):
        position.before_trading(TRADING_DAYS[3])
    assert (position._quantity, position._avg_price, list(position.subscribe_queue)) == before
    monkeypatch.undo()
    assert position.before_trading(TRADING_DAYS[4]) == 0


class ReadThroughGetitem(np.recarray):
    """A table type the accrual must read by field name on every call."""


def accrual_state(position):
    return (position._quantity, position._old_quantity, position._logical_old_quantity,
            list(position.subscribe_queue))


@pytest.mark.parametrize("seed", range(4))
def test_accrual_reads_the_cached_table_like_its_fields(make_run, monkeypatch, seed):
    rng = random.Random(seed)
    run = make_run()
    profits = [rng.choice([rng.uniform(0.1, 0.9), 0.0, float("nan")]) for _ in TRADING_DAYS]
    run.bars.bars["MMF"] = nav_bars(TRADING_DAYS, 1.0, profits)
    direct = run.position("MMF", init_quantity=1000.0, init_price=1.0)
    plain = run.position("MMF", init_quantity=1000.0, init_price=1.0)
    table_of = pm._get_daily_profit
    days = TRADING_DAYS[1:-6]
    for i, day in enumerate(days):
        if i == len(days) // 2:
            # the table's values changed in place are what the next day reads
            table_of("MMF").daily_profit[:] *= 2
        direct.before_trading(day)
        with monkeypatch.context() as m:
            m.setattr(pm, "_get_daily_profit", lambda oid: table_of(oid).view(ReadThroughGetitem))
            plain.before_trading(day)
        for position in (direct, plain):
            position.update_last_price(1.0)
            position.settlement(day)
        assert accrual_state(direct) == accrual_state(plain), day
    assert direct._quantity > 1000.0


def test_accrual_follows_a_replaced_table(make_run, monkeypatch):
    run = make_run()
    run.bars.bars["MMF"] = nav_bars(TRADING_DAYS, 1.0, [0.5] * len(TRADING_DAYS))
    position = run.position("MMF", init_quantity=10000.0, init_price=1.0)
    position.update_last_price(1.0)
    position.before_trading(TRADING_DAYS[2])
    assert position._quantity == 10000.5
    # a new table object for the same fund, with other values and field types
    table = pm._get_daily_profit("MMF")
    other = np.rec.fromarrays([table.trading_date.astype("<i4"), table.daily_profit * 4],
                              names=["trading_date", "daily_profit"])
    monkeypatch.setattr(pm, "_get_daily_profit", lambda oid: other)
    position.before_trading(TRADING_DAYS[3])
    assert position._quantity == 10000.5 + round(10000.5 / 10000 * 2.0, 4)
    gone = np.rec.fromarrays([table.trading_date[:3], table.daily_profit[:3]], names=["trading_date", "daily_profit"])
    monkeypatch.setattr(pm, "_get_daily_profit", lambda oid: gone)
    with pytest.raises(RuntimeError, match="daily_profit"):
        position.before_trading(TRADING_DAYS[4])
