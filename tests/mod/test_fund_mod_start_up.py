import builtins
import logging
import subprocess
import sys
import textwrap

import pytest

import vexdatac.fund
from tessel.const import INSTRUMENT_TYPE
from tessel.core.events import EVENT, Event
from tessel.data.base_data_source import BaseDataSource
from tessel.mod.tessel_mod_sys_simulation.simulation_broker import SimulationBroker
from tessel_mod_fund.data import FundCatalogStore, VexdataNavDayBars, VexdataPayoutHistory, VexdataUnitSplits
from tessel_mod_fund.matcher import FundMatcher
from tessel_mod_fund.mod import FundMod
from tessel_mod_fund.transaction import FundTransactionDecider
from tessel_mod_fund.validator import FundStatusValidator

PUBLIC_FUND = INSTRUMENT_TYPE.PUBLIC_FUND
RUN_TYPE_MESSAGE = "tessel-mod-fund 当前只支持回测,mod关闭 "
STOCK_MESSAGE = "stock account has not been set, tessel-mod-fund disabled"
FIELDS = ["_nav_day_bars", "_payout_history", "_fund_catalog_store", "_unit_splits"]


def plugin_records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "tessel.system"]


def nothing_registered(env, mod):
    assert all(getattr(mod, f) is None for f in FIELDS)
    assert env.data_source is None and env.broker is None
    assert not env.event_bus._listeners.get(EVENT.POST_SYSTEM_INIT)
    assert PUBLIC_FUND not in env._transaction_cost_deciders
    assert not env._frontend_validators


def start(env, **config):
    section = {"fund_nav_type": "unit", "subscription_limit": True, "status_limit": True}
    section.update(config)
    mod = FundMod()
    mod.start_up(env, type(env.config)(section))
    return mod


@pytest.fixture(autouse=True)
def _quiet_capture(caplog):
    caplog.set_level(logging.DEBUG, logger="tessel.system")


# --- the two gates ---

@pytest.mark.parametrize("accounts", [{"STOCK": 1000}, {"FUTURE": 1000}])
@pytest.mark.parametrize("run_type", ["p", "r"])
def test_run_type_gate(make_env, caplog, service, unloaded, run_type, accounts):
    for name in ("tessel_mod_fund.api", "tessel_mod_fund.matcher"):
        unloaded(name)
    env = make_env(run_type=run_type, accounts=accounts)
    mod = start(env)
    assert plugin_records(caplog) == [(logging.INFO, RUN_TYPE_MESSAGE)]  # the account gate is not reached
    nothing_registered(env, mod)
    assert "tessel_mod_fund.api" not in sys.modules and "tessel_mod_fund.matcher" not in sys.modules


@pytest.mark.parametrize("accounts", [{"FUTURE": 1000}])
def test_stock_account_gate(make_env, caplog, service, accounts):
    env = make_env(accounts=accounts)
    mod = start(env)
    assert plugin_records(caplog) == [(logging.DEBUG, STOCK_MESSAGE)]
    nothing_registered(env, mod)


# --- a complete start-up ---

def test_new_data_source_broker_and_every_registration(make_env, caplog, service, position_placeholder):
    env = make_env()
    mod = start(env, subscription_limit="limit-setting")
    assert plugin_records(caplog) == []
    assert position_placeholder == ["tessel_mod_fund.position"]

    assert isinstance(mod._nav_day_bars, VexdataNavDayBars) and mod._nav_day_bars._nav_type == "unit_net_value"
    assert isinstance(mod._fund_catalog_store, FundCatalogStore)
    assert isinstance(mod._payout_history, VexdataPayoutHistory)
    assert isinstance(mod._unit_splits, VexdataUnitSplits)

    ds = env.data_source
    assert isinstance(ds, BaseDataSource)
    assert ds._instrument_stores[PUBLIC_FUND] is mod._fund_catalog_store
    assert ds._day_bar_stores[PUBLIC_FUND] is mod._nav_day_bars
    assert ds._dividend_stores[PUBLIC_FUND] is mod._payout_history
    assert ds._split_stores[PUBLIC_FUND] is mod._unit_splits
    assert isinstance(env._transaction_cost_deciders[PUBLIC_FUND], FundTransactionDecider)

    matcher = env.broker.get_matcher(PUBLIC_FUND)
    assert isinstance(env.broker, SimulationBroker) and isinstance(matcher, FundMatcher)
    assert matcher._env is env and matcher._subscription_limit == "limit-setting"
    assert env.broker._config is env.config.mod.sys_simulation

    [validator] = env._frontend_validators[PUBLIC_FUND]
    assert isinstance(validator, FundStatusValidator) and validator._env is env

    # the fund API listener runs when the host publishes system init
    listeners = env.event_bus._listeners[EVENT.POST_SYSTEM_INIT]
    assert len(listeners) == 1
    env.event_bus.publish_event(Event(EVENT.POST_SYSTEM_INIT))
    assert env.fund_api_ready is True

    # the plug-in serves the bars of the store it registered
    env.mod_dict["fund"] = mod
    bars = env.mod_dict["fund"].get_bars("F1")
    assert bars is mod._nav_day_bars.get_bars("F1") and len(bars) == 5
    assert env.get_instrument("F1").type == PUBLIC_FUND


@pytest.mark.parametrize("with_future, params", [(False, None), (True, "time-series-params"),
                                                 (True, False), (True, {"IF": 1})])
def test_new_data_source_arguments(make_env, service, with_future, params):
    accounts = {"STOCK": 1000, "FUTURE": 1000} if with_future else {"STOCK": 1000}
    env = make_env(accounts=accounts, future_info={"IF": {"margin": 0.1}},
                   futures_time_series_trading_parameters=params)
    start(env)
    ds = env.data_source
    assert ds._path == env.config.base.data_bundle_path
    assert ds._future_info is env.config.base.future_info
    expected = env.config.base.futures_time_series_trading_parameters if with_future else False
    assert ds._futures_time_series_trading_parameters is expected
    assert ds._end_date == env.config.base.end_date


def test_missing_future_info_gives_an_empty_mapping(make_env, service):
    env = make_env(drop=["future_info"])
    start(env)
    assert env.data_source._future_info == {} and isinstance(env.data_source._future_info, dict)


def test_existing_data_source_is_reused(make_env, service, bundle, monkeypatch):
    env = make_env()
    existing = BaseDataSource(str(bundle), {}, False, None)
    env.set_data_source(existing)
    calls = []
    monkeypatch.setattr(env, "set_data_source", lambda ds: calls.append(ds))
    mod = start(env)
    assert calls == [] and env.data_source is existing
    assert existing._day_bar_stores[PUBLIC_FUND] is mod._nav_day_bars
    assert existing._instrument_stores[PUBLIC_FUND] is mod._fund_catalog_store


class _ChildBroker(SimulationBroker):
    pass


@pytest.mark.parametrize("broker_cls", [SimulationBroker, _ChildBroker])
def test_existing_simulation_broker_gets_the_matcher(make_env, service, monkeypatch, broker_cls):
    env = make_env()
    broker = broker_cls(env, env.config.mod.sys_simulation)
    env.set_broker(broker)
    installed = []
    monkeypatch.setattr(env, "set_broker", lambda b: installed.append(b))
    start(env)
    assert installed == [broker]
    assert isinstance(broker.get_matcher(PUBLIC_FUND), FundMatcher)


def test_other_broker_is_left_alone(make_env, service, monkeypatch):
    class OtherBroker:
        def register_matcher(self, *args):
            raise AssertionError("no matcher may be registered on another broker")

    env = make_env()
    broker = OtherBroker()
    env.set_broker(broker)
    installed = []
    monkeypatch.setattr(env, "set_broker", lambda b: installed.append(b))
    start(env)
    assert installed == [] and env.broker is broker


def test_status_limit_off_neither_registers_nor_loads_the_validator(make_env, service, unloaded):
    unloaded("tessel_mod_fund.validator")
    env = make_env()
    start(env, status_limit=False)
    assert not env._frontend_validators
    assert "tessel_mod_fund.validator" not in sys.modules
    assert isinstance(env.broker.get_matcher(PUBLIC_FUND), FundMatcher)  # the rest still happened


def test_nav_type_reaches_the_bar_store(make_env, service):
    env = make_env()
    assert start(env, fund_nav_type="adjusted")._nav_day_bars._nav_type == "adjusted_net_value"
    with pytest.raises(ValueError, match=r"fund_nav_type输入错误\(UNIT\)"):
        start(make_env(), fund_nav_type="UNIT")


def test_failure_propagates_and_keeps_earlier_steps(make_env, service):
    service.fail_catalogue = ConnectionError("fund data service unreachable")
    env = make_env()
    mod = FundMod()
    with pytest.raises(ConnectionError, match="unreachable"):
        mod.start_up(env, type(env.config)({"fund_nav_type": "unit", "subscription_limit": True,
                                            "status_limit": True}))
    assert len(env.event_bus._listeners[EVENT.POST_SYSTEM_INIT]) == 1
    assert isinstance(mod._nav_day_bars, VexdataNavDayBars)
    assert mod._fund_catalog_store is None and env.data_source is None


# --- life cycle ---

def test_constructor_tear_down_and_inactive_get_bars():
    mod = FundMod()
    assert list(vars(mod)) == FIELDS and all(v is None for v in vars(mod).values())
    assert mod.tear_down(0) is None
    assert mod.tear_down(1, RuntimeError("boom")) is None
    assert all(v is None for v in vars(mod).values())
    with pytest.raises(RuntimeError, match="not active"):
        mod.get_bars("F1")


def test_module_load_imports_only_the_stores_and_the_decider():
    code = textwrap.dedent("""
        import sys
        import tessel_mod_fund.mod
        loaded = set(sys.modules)
        for name in ["tessel_mod_fund.data.fund_catalog", "tessel_mod_fund.data.nav_day_bars",
                     "tessel_mod_fund.data.payout_history", "tessel_mod_fund.data.unit_splits",
                     "tessel_mod_fund.transaction", "tessel.data.base_data_source"]:
            assert name in loaded, name
        for name in ["tessel_mod_fund.api", "tessel_mod_fund.matcher", "tessel_mod_fund.position",
                     "tessel_mod_fund.validator", "tessel.mod.tessel_mod_sys_simulation.simulation_broker"]:
            assert name not in loaded, name
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_loaded_by_the_engine_as_the_fund_plug_in(make_env, service):
    from tessel.mod import ModHandler

    env = make_env()
    handler = ModHandler()
    handler.set_env(env)
    assert isinstance(env.mod_dict["fund"], FundMod)
    handler.start_up()
    mod = env.mod_dict["fund"]
    assert mod.get_bars("F1")["close"][-1] == 1.04
    bars, statuses = type(mod._nav_day_bars).get_bars, type(mod._nav_day_bars)._get_transaction_status
    assert bars.cache_info()[3] >= 1
    handler.tear_down(0)
    # What the run's stores cached is let go: no later run can be served from it.
    assert bars.cache_info()[3] == statuses.cache_info()[3] == 0
    assert type(mod._payout_history).get_dividend.cache_info()[3] == 0


def test_fund_matcher_is_a_host_matcher(make_env):
    from tessel.interface import AbstractMatcher

    matcher = FundMatcher(make_env(), False)
    assert isinstance(matcher, AbstractMatcher)
    assert matcher._subscription_limit is False


# --- the order of the start-up steps ---

def test_steps_run_in_order_and_load_their_modules_when_reached(make_env, service, bundle, monkeypatch):
    """Each host call, service request and late module load of an active
    start-up, in the order they happen."""
    log = []
    late_modules = {"tessel_mod_fund.api": "load api", "tessel_mod_fund.position": "load position",
                    "tessel_mod_fund.matcher": "load matcher", "tessel_mod_fund.validator": "load validator",
                    "tessel.mod.tessel_mod_sys_simulation.simulation_broker": "load broker module"}
    real_import = builtins.__import__

    def tracking_import(name, *args, **kwargs):
        if name in late_modules:
            log.append(late_modules[name])
        return real_import(name, *args, **kwargs)

    def record(obj, method, label):
        original = getattr(obj, method)

        def recorded(*args, **kwargs):
            log.append(label)
            return original(*args, **kwargs)

        monkeypatch.setattr(obj, method, recorded)

    env = make_env()
    env.set_data_source(BaseDataSource(str(bundle), {}, False, None))
    env.set_broker(SimulationBroker(env, env.config.mod.sys_simulation))
    for name in ("all_instruments", "instruments", "get_dividend"):
        record(vexdatac.fund, name, "service " + name)
    record(env.event_bus, "add_listener", "add_listener")
    for name in ("register_instruments_store", "register_day_bar_store", "register_dividend_store",
                 "register_split_store"):
        record(env.data_source, name, name)
    for name in ("set_data_source", "set_transaction_cost_decider", "set_broker", "add_frontend_validator"):
        record(env, name, name)
    record(env.broker, "register_matcher", "register_matcher")
    monkeypatch.setattr(builtins, "__import__", tracking_import)
    start(env)
    monkeypatch.setattr(builtins, "__import__", real_import)

    assert log == [
        "load api", "add_listener",
        "service all_instruments", "service instruments",  # the catalogue, after the bar store
        "service all_instruments", "service get_dividend",  # the dividend table
        "load position",
        "register_instruments_store", "register_day_bar_store", "register_dividend_store", "register_split_store",
        "set_transaction_cost_decider",
        "load matcher", "load broker module", "register_matcher", "set_broker",
        "load validator", "add_frontend_validator",
    ]


class _Falsy:
    """A stand-in that is set but tests false."""

    def __bool__(self):
        return False


@pytest.mark.parametrize("status_limit, validators", [(True, 1), ("yes", 1), (1, 1),
                                                      (False, 0), (0, 0), ("", 0), (None, 0)])
def test_status_limit_is_tested_for_truth(make_env, service, status_limit, validators):
    env = make_env()
    start(env, status_limit=status_limit)
    assert len(env._frontend_validators.get(PUBLIC_FUND, [])) == validators


def test_false_data_source_and_broker_are_replaced(make_env, service):
    env = make_env()
    env.data_source, env.broker = _Falsy(), _Falsy()
    mod = start(env)
    assert isinstance(env.data_source, BaseDataSource)
    assert env.data_source._day_bar_stores[PUBLIC_FUND] is mod._nav_day_bars
    assert isinstance(env.broker, SimulationBroker)
    assert isinstance(env.broker.get_matcher(PUBLIC_FUND), FundMatcher)


def test_operations_accept_their_arguments_by_name(make_env, service):
    env = make_env()
    mod = FundMod()
    mod.start_up(env=env, mod_config=type(env.config)({"fund_nav_type": "unit", "subscription_limit": True,
                                                       "status_limit": False}))
    assert mod.get_bars(order_book_id="F1") is mod._nav_day_bars.get_bars("F1")
    assert mod.tear_down(code=0, exception=None) is None
