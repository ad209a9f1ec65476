"""The native daily-cycle methods answer exactly as the Python definitions they replaced.

Each check builds two identical random objects, calls the native method on
one and the Python definition (kept in the module's PYTHON_DEFINITIONS) on
the other, and compares what they return, what they raise and every
attribute they leave behind.
"""
import datetime as dt
import random
import sys

import numpy as np
import pandas as pd
import pytest

from host_helpers import (TRADING_DAYS, ArraySplitStore, DictInstrumentStore, RecordDividendStore)
from tessel import _native
from tessel.const import INSTRUMENT_TYPE
from tessel.data import data_proxy as data_proxy_module
from tessel.data.base_data_source import BaseDataSource
from tessel.data.data_proxy import DataProxy
from tessel.mod.tessel_mod_sys_accounts import position_model
from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition
from tessel.portfolio import account as account_module
from tessel.portfolio import position as position_module
from tessel.portfolio.account import Account
from tessel.portfolio.position import Position
from tessel import environment as environment_module
from tessel import recorder as recorder_module
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int

pytestmark = pytest.mark.skipif(not _native.ENABLED, reason="TESSEL_NATIVE=0: the Python definitions run")

SEEDS = range(4)


def _outcome(call):
    try:
        return "ok", repr(call())
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return "raised", type(exc).__name__, str(exc)


def _state(obj):
    return repr(sorted((k, repr(v)) for k, v in vars(obj).items() if k != "_env"))


def _same_call(native, reference, make, *args, **kwargs):
    """native(a, ...) and reference(b, ...) on twins a, b: same outcome, same state afterwards."""
    a, b = make(), make()
    got = _outcome(lambda: native(a, *args, **kwargs))
    expected = _outcome(lambda: reference(b, *args, **kwargs))
    assert got == expected
    assert _state(a) == _state(b)
    return got


# --- positions ------------------------------------------------------------------------------------

class _Doubled(StockPosition):
    @property
    def last_price(self):
        return 2 * (self._avg_price or 1)


class _Promised(StockPosition):
    @property
    def dividend_receivable(self):
        return 0.5


class _Looked(StockPosition):
    """A class-level default that the instance may or may not shadow."""
    _last_price = 4.0


def _random_position(rng, env):
    cls = rng.choice([Position, StockPosition, StockPosition, _Doubled, _Promised, _Looked])
    position = cls("S1", "LONG", rng.choice([0, 5, 2.5]), rng.choice([None, 1.5, 2]))
    position._quantity = rng.choice([0, 3, 7.25, np.float64(1.5), -0.0])
    if not (cls is _Looked and rng.random() < 0.5):
        position._last_price = rng.choice([None, None, 1.25, 3, np.float64(2.5), float("nan")])
    else:
        del position.__dict__["_last_price"]
    position._prev_close = rng.choice([None, 1.0, 0, np.float64(0.75)])
    position._avg_price = rng.choice([0.0, 1.1, 2])
    if isinstance(position, StockPosition):
        position._dividend_receivable = rng.choice([None, (), (dt.date(2020, 1, 9), 2.5), (dt.date(2020, 1, 9), 0),
                                                    (dt.date(2020, 1, 9), np.float64(0.25))])
    return position


def _twin(rng, env):
    seed = rng.random()
    return lambda: _random_position(random.Random(seed), env)


@pytest.mark.parametrize("seed", SEEDS)
def test_position_methods_and_values_equal_their_python_definitions(make_env, seed):
    env = make_env()
    rng = random.Random(seed)
    position_ref = position_module.PYTHON_DEFINITIONS
    stock_ref = position_model.PYTHON_DEFINITIONS
    for _ in range(150):
        make = _twin(rng, env)
        day = rng.choice([dt.date(2020, 1, 6), pd.Timestamp("2020-01-06")])
        _same_call(Position.before_trading, position_ref["before_trading"], make, day)
        _same_call(Position.settlement, position_ref["settlement"], make, day)
        # Keywords and wrong calls go to the Python definition: the same answers and the same errors.
        _same_call(Position.before_trading, position_ref["before_trading"], make, trading_date=day)
        _same_call(Position.before_trading, position_ref["before_trading"], make, day, 1)
        _same_call(Position.settlement, position_ref["settlement"], make)
        for name in ("last_price", "market_value", "equity"):
            _same_call(lambda p: getattr(Position, name).__get__(p),
                       lambda p: position_ref[name].__get__(p), make)
        position = make()
        if isinstance(position, StockPosition):
            for name in ("equity", "dividend_receivable"):
                _same_call(lambda p: getattr(StockPosition, name).__get__(p),
                           lambda p: stock_ref[name].__get__(p), make)


def test_native_methods_keep_the_behaviour_of_bound_methods_and_subclasses(make_env):
    make_env()
    position = StockPosition("S1", "LONG", 3, 1.0)
    position._last_price = 2.0
    assert position.before_trading(dt.date(2020, 1, 6)) == 0 and position._prev_close == 2.0
    assert position._last_price is None and position.last_price == 2.0
    with pytest.raises(TypeError, match="before_trading"):
        Position.before_trading(object(), dt.date(2020, 1, 6))

    class Own(StockPosition):
        def before_trading(self, trading_date):
            return super().before_trading(trading_date) + 5

    assert Own("S1", "LONG").before_trading(dt.date(2020, 1, 6)) == 5
    with pytest.raises(RuntimeError, match="already"):
        _native._daycycle.install_position(Position)


# --- accounts -------------------------------------------------------------------------------------

class _Paying(StockPosition):
    """Morning and evening cash of its own kind (ints, numpy floats), and queues like a fund's."""

    def before_trading(self, trading_date):
        super().before_trading(trading_date)
        return self.pay

    def settlement(self, trading_date):
        super().settlement(trading_date)
        return self.pay / 2


def _random_account(rng, env):
    account = Account("STOCK", rng.choice([1000.0, 0, 250.5]))
    for i in range(rng.randrange(0, 7)):
        cls = rng.choice([StockPosition, _Paying])
        position = cls("S1", "LONG", 0, None)
        position._quantity = rng.choice([0, 0, 1.5, 10])
        position._dividend_receivable = rng.choice([None, None, (dt.date(2020, 1, 9), 1.0)])
        if cls is _Paying:
            position.pay = rng.choice([0, 3, 1.25, np.float64(2.5), -4.0])
            position.subscribe_queue = rng.choice([[], [], [(dt.datetime(2020, 1, 9), 1.0)]])
            position.redeem_queue = rng.choice([[], [(dt.datetime(2020, 1, 9), 5.0)]])
        account._positions["P{}".format(i)] = position
    return account


def _account_state(account):
    return repr((account._total_cash, type(account._total_cash).__name__,
                 [(k, _state(p)) for k, p in account._positions.items()]))


@pytest.mark.parametrize("seed", SEEDS)
def test_account_loops_equal_their_python_definitions(make_env, seed):
    env = make_env()
    rng = random.Random(seed)
    reference = account_module.PYTHON_DEFINITIONS

    class Strict(Account):
        @staticmethod
        def _is_empty(position):
            return position._quantity == 0

    for _ in range(80):
        seed_ = rng.random()
        for name in ("before_trading", "settlement"):
            a, b = _random_account(random.Random(seed_), env), _random_account(random.Random(seed_), env)
            if rng.random() < 0.2:
                a.__class__ = b.__class__ = Strict
            elif rng.random() < 0.2:  # an instance's own test shadows the class's
                a._is_empty = b._is_empty = lambda position: position._quantity == 0
            getattr(Account, name)(a, dt.date(2020, 1, 6))
            reference[name](b, dt.date(2020, 1, 6))
            assert _account_state(a) == _account_state(b)
            assert list(a._positions) == list(b._positions)


def test_settlement_tests_emptiness_natively_unless_overridden(make_env):
    """The engine's own emptiness test runs in C; a subclass's or an instance's own test is still called."""
    make_env()
    called = []

    def watch(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "_is_empty":
            called.append(frame.f_code)

    class Counting(Account):
        @staticmethod
        def _is_empty(position):
            return Account.__dict__["_is_empty"].__func__(position)

    plain, derived, shadowed = (_random_account(random.Random(1), None) for _ in range(3))
    for account in (plain, derived, shadowed):
        for i in range(3):
            account._positions["E{}".format(i)] = StockPosition("S1", "LONG", 0, None)
    derived.__class__ = Counting
    shadowed._is_empty = Counting._is_empty
    for account, python_calls in ((plain, 0), (derived, len(derived._positions)),
                                  (shadowed, len(shadowed._positions))):
        del called[:]
        sys.setprofile(watch)
        try:
            Account.settlement(account, dt.date(2020, 1, 6))
        finally:
            sys.setprofile(None)
        assert not any(p.startswith("E") for p in account._positions)
        # The subclass's and the instance's tests call the engine's Python test once each: two frames.
        assert len(called) == 2 * python_calls


class _Column(np.ndarray):
    """An ndarray subclass: asked through item(), as any column the fast read does not know."""


def _random_column(rng, length):
    values = np.array([rng.choice([1.25, float("nan"), -0.0, 3e-310, 7.0]) for _ in range(length)])
    kind = rng.randrange(8)
    if kind == 1:
        return values[::2]  # strided view
    if kind == 2:
        return values.astype(">f8")  # the other byte order
    if kind == 3:
        return values.astype(np.float32)
    if kind == 4:
        return np.arange(length, dtype=np.int64)
    if kind == 5:
        return values.reshape(1, -1) if rng.random() < 0.5 else values.view(_Column)
    if kind == 6:
        return np.array([rng.choice([None, 1.5, "x"]) for _ in range(length)], dtype=object)
    return values


@pytest.mark.parametrize("seed", SEEDS)
def test_a_day_s_values_of_many_columns_equal_item_of_each(seed):
    rng = random.Random(seed)
    for _ in range(300):
        columns = [_random_column(rng, rng.randrange(1, 9)) for _ in range(rng.randrange(0, 6))]
        day = rng.choice([0, 1, 3, 7, -1, -9, 2 ** 70, np.int64(2), True])
        got = _outcome(lambda: _native._daycycle.day_items(columns, day))
        expected = _outcome(lambda: [column.item(day) for column in columns])
        assert got == expected, (day, [c.dtype for c in columns])
        if got[0] == "ok":  # the same types too: floats stay Python floats
            assert [type(v) for v in _native._daycycle.day_items(columns, day)] == \
                [type(c.item(day)) for c in columns]


@pytest.mark.parametrize("seed", SEEDS)
def test_day_prices_equal_the_python_loop(make_env, seed):
    env = make_env()
    rng = random.Random(seed)

    class Rounded(StockPosition):
        def update_last_price(self, price):
            self._last_price = None if price != price else round(price, 1)

    for _ in range(60):
        count = rng.randrange(0, 8)
        seed_ = rng.random()
        twins = []
        for _ in range(2):
            r = random.Random(seed_)
            positions = [r.choice([StockPosition, Rounded])("S1", "LONG") for _ in range(count)]
            for p in positions:
                p._last_price = r.choice([None, 1.0])
            twins.append(positions)
        closes = [rng.choice([1.5, float("nan"), 2.25, np.float64(3.0)]) for _ in range(count)]
        _native._daycycle.apply_closes(twins[0], closes, Position.update_last_price)
        for position, price in zip(twins[1], closes):
            if type(position).update_last_price is Position.update_last_price:
                if price == price:
                    position._last_price = price
            else:
                position.update_last_price(price)
        assert [_state(p) for p in twins[0]] == [_state(p) for p in twins[1]]


# --- the daily record -----------------------------------------------------------------------------

class _Owed(StockPosition):
    def __init__(self, *args):
        super().__init__(*args)
        self.units, self.cash = None, 0

    @property
    def receivable_quantity(self):
        return self.units

    @property
    def receivable_cash(self):
        return self.cash


class _Failing(_Owed):
    @property
    def receivable_cash(self):
        raise AttributeError("receivable_cash")


@pytest.mark.parametrize("seed", SEEDS)
def test_recorded_rows_equal_the_python_loop(make_env, seed):
    make_env()
    rng = random.Random(seed)
    for _ in range(40):
        accounts = []
        for a in range(rng.randrange(1, 3)):
            account = Account("STOCK", 0.0)
            for i in range(rng.randrange(0, 6)):
                cls = rng.choice([StockPosition, _Owed, _Failing, _Doubled, _Promised])
                position = cls("F{}{}".format(a, i), "LONG", 0, rng.choice([None, 1.0]))
                position._quantity = rng.choice([0, 2.5, 7, np.float64(1.25)])
                position._last_price = rng.choice([None, 1.5, np.float64(2.0), float("nan")])
                position._prev_close = rng.choice([None, 1.25])
                position._dividend_receivable = rng.choice([None, (dt.date(2020, 1, 9), 3.0)])
                if isinstance(position, _Owed):
                    position.units = rng.choice([None, 0, 1.5])
                    position.cash = rng.choice([None, 0, 20.0])
                account._positions[position._order_book_id] = position
            accounts.append(account)
        native_direct, python_direct = {}, {}
        got = _native._daycycle.record_positions(accounts, native_direct, recorder_module._reads_directly)
        expected = recorder_module.position_rows(accounts, python_direct)
        assert got[0] == expected[0] and got[1] == expected[1]
        assert repr(got[2]) == repr(expected[2])
        assert native_direct == python_direct


# --- data proxy and environment -------------------------------------------------------------------

def _source(bundle, rng):
    ids = ["F{}".format(i) for i in range(8)]
    ds = BaseDataSource(str(bundle), {}, False, None)
    ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND, [
        {"order_book_id": k, "symbol": "fund " + k} for k in ids]))
    dividends, splits = {}, {}
    dtype = [("book_closure_date", "<i8"), ("dividend_cash_before_tax", "<f8"), ("payable_date", "<i8"),
             ("round_lot", "<f8")]
    for k in ids[:6]:
        days = sorted(rng.sample(TRADING_DAYS, rng.randrange(0, 4)))
        rows = [(convert_date_to_date_int(d), 0.1 * (j + 1), 20200220, 1.0) for j, d in enumerate(days)]
        if rows and rng.random() < 0.3:
            rows.append(rows[0])  # two records booked on one day
        dividends[k] = np.rec.fromrecords(rows, dtype=dtype) if rows else None
        if rng.random() < 0.3:
            day = rng.choice(TRADING_DAYS)
            splits[k] = np.array([(convert_date_to_int(day), rng.choice([2.0, 0.5]))],
                                 dtype=[("ex_date", "<i8"), ("split_factor", "<f8")])
    ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, RecordDividendStore(dividends))
    ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, ArraySplitStore(splits))
    return ds, ids


def _moment(rng, kept):
    if kept and rng.random() < 0.6:
        return rng.choice(kept)  # the same object asked again, as positions do each morning
    day = rng.choice(TRADING_DAYS[1:])
    return rng.choice([day, day.date(), day.to_pydatetime(), pd.NaT, str(day.date()), int(day.strftime("%Y%m%d")),
                       day.tz_localize("Asia/Shanghai")])


@pytest.mark.parametrize("seed", SEEDS)
def test_proxy_look_ups_equal_their_python_definitions(bundle, seed):
    rng = random.Random(seed)
    ds, ids = _source(bundle, rng)
    native, python = DataProxy(ds), DataProxy(ds)
    reference = data_proxy_module.PYTHON_DEFINITIONS
    kept = [TRADING_DAYS[3], TRADING_DAYS[5].date(), TRADING_DAYS[8]]
    full = ds._trading_dates
    for _ in range(600):
        if rng.random() < 0.03:  # another calendar in force: the answers follow it
            ds._trading_dates = rng.choice([full, full[::2], full[1:-1]])
        if rng.random() < 0.02:  # replaced stores: every table is cut afresh
            ds2, _ = _source(bundle, random.Random(rng.random()))
            ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, ds2._dividend_stores[INSTRUMENT_TYPE.PUBLIC_FUND])
            ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, ds2._split_stores[INSTRUMENT_TYPE.PUBLIC_FUND])
        oid = rng.choice(ids + ["XX", 7])
        moment = _moment(rng, kept)
        for name, args, kwargs in (("get_dividend_by_book_date", (oid, moment), {}),
                                   ("get_split_by_ex_date", (oid, moment), {}),
                                   ("get_previous_trading_date", (moment,), {}),
                                   ("get_previous_trading_date", (moment, rng.choice([1, 2, True, 1.0])), {}),
                                   ("get_dividend_by_book_date", (), {"order_book_id": oid, "date": moment})):
            got = _outcome(lambda: getattr(native, name)(*args, **kwargs))
            expected = _outcome(lambda: reference[name](python, *args, **kwargs))
            assert got == expected, (name, args, kwargs)


def test_environment_look_up_equals_its_python_definition(make_env):
    rng = random.Random(5)
    env = make_env()
    ds = env.data_source
    reference = environment_module.PYTHON_DEFINITIONS["get_instrument"]

    def register(count):
        ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.PUBLIC_FUND, [
            {"order_book_id": "F{}".format(i), "symbol": "s{}".format(i)} for i in range(count)]))

    register(5)
    for _ in range(300):
        if rng.random() < 0.05:
            register(rng.randrange(1, 8))
        key = rng.choice(["F{}".format(i) for i in range(8)] + ["s1", 3, ["F1", "F2"]])
        assert _outcome(lambda: env.get_instrument(key)) == _outcome(lambda: reference(env, key))
        if isinstance(key, str) and env.get_instrument(key) is not None:
            assert env.get_instrument(key) is reference(env, key)  # one cached object per id


def test_current_environment_equals_its_python_definition(make_env):
    from tessel.environment import Environment

    reference = environment_module.PYTHON_DEFINITIONS["get_instance"].__func__

    class Sub(Environment):
        pass

    saved = Environment._env
    try:
        for current in (None, make_env(), "not an environment"):
            Environment._env = current
            for cls in (Environment, Sub):
                assert _outcome(cls.get_instance) == _outcome(lambda: reference(cls))
        Sub._env = 5  # a subclass that keeps its own
        assert Sub.get_instance() == 5 == reference(Sub)
    finally:
        Environment._env = saved
        if "_env" in Sub.__dict__:
            del Sub._env
