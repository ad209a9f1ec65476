import sys
import textwrap

import pytest

from host_helpers import at
from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, ORDER_STATUS, SIDE
from tessel.core.events import EVENT, Event, EventBus
from tessel.interface import AbstractFrontendValidator, AbstractMatcher, AbstractMod, AbstractTransactionCostDecider
from tessel.mod import ModHandler, ModLoadError
from tessel.model import LimitOrder, Order


@pytest.fixture
def plugin_pkgs(tmp_path, monkeypatch):
    """Importable plug-in packages that record their lifecycle calls in a shared list."""
    calls = []
    monkeypatch.setattr(sys.modules[__name__], "CALLS", calls, raising=False)
    for name in ("plug_a", "plug_b"):
        pkg = tmp_path / name
        pkg.mkdir()
        (pkg / "__init__.py").write_text(textwrap.dedent("""
            from tessel.interface import AbstractMod
            import {test} as t

            class Mod(AbstractMod):
                def start_up(self, env, mod_config):
                    t.CALLS.append(("start", "{name}", mod_config.get("flag")))

                def tear_down(self, code, exception=None):
                    t.CALLS.append(("tear", "{name}", code, exception))

            def load_mod():
                return Mod()
            """).format(test=__name__, name=name))
    (tmp_path / "plug_nolm").mkdir()
    (tmp_path / "plug_nolm" / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path))
    return calls


def test_mods_start_in_order_and_tear_down_in_reverse(make_env, plugin_pkgs):
    env = make_env({"mod": {"fund": {"enabled": False},
                            "a": {"enabled": True, "lib": "plug_a", "flag": 1},
                            "off": {"enabled": False, "lib": "not_importable_anyway"},
                            "b": {"enabled": True, "lib": "plug_b", "flag": 2}}})
    handler = ModHandler()
    handler.set_env(env)
    assert handler.mod_names == ["sys_accounts", "sys_simulation", "a", "b"]
    assert set(env.mod_dict) == {"sys_accounts", "sys_simulation", "a", "b"}
    handler.start_up()
    boom = RuntimeError("run failed")
    handler.tear_down(1, boom)
    assert plugin_pkgs == [("start", "plug_a", 1), ("start", "plug_b", 2),
                           ("tear", "plug_b", 1, boom), ("tear", "plug_a", 1, boom)]
    assert env.broker is not None and env.portfolio.get_account(DEFAULT_ACCOUNT_TYPE.STOCK).cash == 1000000


@pytest.mark.parametrize("section, message", [
    ({"enabled": True, "lib": "no_such_package_xyz"}, "mod.x: cannot import lib 'no_such_package_xyz'"),
    ({"enabled": True, "lib": "plug_nolm"}, "mod.x: lib 'plug_nolm' has no load_mod"),
    ({"enabled": True, "lib": 5}, "mod.x.lib"),
])
def test_unusable_lib_names_the_section(make_env, plugin_pkgs, section, message):
    env = make_env({"mod": {"fund": {"enabled": False}, "x": section}})
    with pytest.raises(ModLoadError, match=message.replace(".", r"\.")):
        ModHandler().set_env(env)


def test_abstract_classes_refuse_incomplete_subclasses():
    class HalfValidator(AbstractFrontendValidator):
        def validate_submission(self, order, account=None):
            return None

    for cls in (HalfValidator, type(AbstractMod)("M", (AbstractMod,), {}),
                type(AbstractTransactionCostDecider)("D", (AbstractTransactionCostDecider,),
                                                     {"get_trade_tax": lambda s, t: 0})):
        with pytest.raises(TypeError):
            cls()


def test_event_bus_calls_listeners_in_order_with_the_event():
    bus, seen = EventBus(), []
    bus.add_listener(EVENT.BAR, lambda e: seen.append(("first", e.value)))
    bus.add_listener(EVENT.BAR, lambda e: seen.append(("second", e.value)))
    bus.add_listener(EVENT.TRADE, lambda e: seen.append("never"))
    bus.publish_event(Event(EVENT.BAR, value=3))
    assert seen == [("first", 3), ("second", 3)]
    with pytest.raises(TypeError):
        bus.add_listener(EVENT.BAR, "not callable")


@pytest.fixture
def running(stock_env):
    handler = ModHandler()
    stock_env.config.mod.fund.enabled = False
    handler.set_env(stock_env)
    handler.start_up()
    at(stock_env, "2020-01-06")
    return stock_env


def day(env, date, submit=()):
    at(env, date)
    bus = env.event_bus
    bus.publish_event(Event(EVENT.BEFORE_TRADING))
    orders = [env.broker.submit_order(o) for o in submit]
    bus.publish_event(Event(EVENT.BAR))
    bus.publish_event(Event(EVENT.AFTER_TRADING))
    bus.publish_event(Event(EVENT.SETTLEMENT))
    return orders


def test_validators_apply_by_instrument_type_and_first_refusal_wins(running):
    env = running
    seen = []

    class Refuse(AbstractFrontendValidator):
        def __init__(self, text):
            self.text = text

        def validate_submission(self, order, account=None):
            seen.append((self.text, getattr(account, "type", None)))
            return self.text

        def validate_cancellation(self, order, account=None):
            return None

    env.add_frontend_validator(Refuse("fund only"), INSTRUMENT_TYPE.PUBLIC_FUND)
    order = Order.__from_create__("S1", 100, SIDE.BUY)
    assert env.validate_order_submission(order, None) is None   # the fund validator does not apply
    env.add_frontend_validator(Refuse("all types"))
    env.add_frontend_validator(Refuse("stocks"), INSTRUMENT_TYPE.CS)
    [order] = day(env, "2020-01-06", [order])
    assert order.status == ORDER_STATUS.REJECTED and order.message == "all types"
    assert ("fund only", DEFAULT_ACCOUNT_TYPE.STOCK) not in seen


def test_broker_fills_at_close_and_accounts_follow(running):
    env = running
    account = env.portfolio.get_account(DEFAULT_ACCOUNT_TYPE.STOCK)
    [buy] = day(env, "2020-01-06", [Order.__from_create__("S1", 1000, SIDE.BUY)])
    # S1 closes at 12 on 2020-01-06; commission 0.0008 * 12000 = 9.6
    assert buy.status == ORDER_STATUS.FILLED and buy.avg_price == 12.0
    assert account.cash == pytest.approx(1000000 - 12000 - 9.6)
    [sell, limit] = day(env, "2020-01-07", [Order.__from_create__("S1", 400, SIDE.SELL),
                                            Order.__from_create__("S1", 10, SIDE.BUY, LimitOrder(5.0))])
    assert sell.status == ORDER_STATUS.FILLED
    assert limit.status == ORDER_STATUS.CANCELLED and "expired" in limit.message   # never reached its limit
    assert account.positions["S1"].quantity == 600
    assert account.total_value == pytest.approx(account.cash + 600 * 13.0)
    [too_big] = day(env, "2020-01-08", [Order.__from_create__("S1", 10 ** 6, SIDE.BUY)])
    assert too_big.status == ORDER_STATUS.REJECTED and "not enough cash" in too_big.message


def test_trade_takes_run_times_when_none_given(running):
    from tessel.model import Trade

    moment = at(running, "2020-01-07")
    trade = Trade.__from_create__(None, 0, 12.5, SIDE.BUY, "OPEN", "S1")
    assert trade.trading_datetime == trade.datetime == moment
    assert trade.transaction_cost == 0 and trade.last_quantity == 12.5
    for bad in (dict(price=float("nan")), dict(amount=-1)):
        args = dict(order_id=None, price=1.0, amount=1.0, side=SIDE.BUY, position_effect="OPEN",
                    order_book_id="S1")
        args.update(bad)
        with pytest.raises(ValueError, match="S1"):
            Trade.__from_create__(**args)


@pytest.mark.parametrize("args, message", [
    (("S1", 0, SIDE.BUY), "quantity"), (("S1", None, SIDE.BUY), "quantity or a cash amount"),
    (("S1", 5, "HOLD"), "side"), (("", 5, SIDE.BUY), "order_book_id"),
])
def test_bad_orders_are_refused_at_creation(args, message):
    with pytest.raises(ValueError, match=message):
        Order.__from_create__(*args)


def test_registered_matcher_serves_its_type(running):
    env = running
    env.data_source.register_instruments_store(__import__("host_helpers").DictInstrumentStore(
        INSTRUMENT_TYPE.PUBLIC_FUND, [{"order_book_id": "F1"}]))
    calls = []

    class Rejecting(AbstractMatcher):
        def match(self, account, order, open_auction):
            calls.append((order.order_book_id, open_auction))
            order.mark_rejected("fund closed")
            return []

    env.broker.register_matcher(INSTRUMENT_TYPE.PUBLIC_FUND, Rejecting())
    assert isinstance(env.broker.get_matcher("PublicFund"), Rejecting)
    [order] = day(env, "2020-01-06", [Order.__from_create__("F1", None, SIDE.BUY, cash_amount=5000)])
    assert calls == [("F1", False)] and order.status == ORDER_STATUS.REJECTED
    assert env.broker.get_open_orders() == []
