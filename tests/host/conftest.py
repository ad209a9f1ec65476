"""Fixtures of the engine tests; the data helpers live in host_helpers."""
import numpy as np
import pytest

import tessel.mod.tessel_mod_sys_accounts.position_model  # noqa: F401  (registers stock positions)
from host_helpers import TRADING_DAYS, ArrayBarStore, DictInstrumentStore, make_bars, write_bundle
from tessel.config import load_config
from tessel.const import INSTRUMENT_TYPE
from tessel.data.base_data_source import BaseDataSource
from tessel.environment import Environment


def _registry_guard():
    from tessel.portfolio.position import Position, PositionProxy

    saved = dict(Position._registry._classes), dict(PositionProxy._registry._classes)
    yield
    Position._registry._classes = saved[0]
    PositionProxy._registry._classes = saved[1]


# Position classes created by a test (or by a module's shared run) must not
# serve instrument types in later tests, here or in other suites; the module
# guard runs before any module-scoped fixture that starts a run.
_restore_class_registries = pytest.fixture(autouse=True)(_registry_guard)
_restore_class_registries_of_module = pytest.fixture(autouse=True, scope="module")(_registry_guard)


@pytest.fixture
def bundle(tmp_path):
    return write_bundle(tmp_path / "bundle")


@pytest.fixture
def make_env(bundle):
    """Build an environment over the test bundle; keyword overrides are merged into the config."""

    def factory(config=None, data_source=True):
        user = {"base": {"data_bundle_path": str(bundle), "start_date": "2020-01-02",
                         "end_date": "2020-01-31"}}
        if config:
            from tessel.config import deep_merge
            user = deep_merge(user, config)
        env = Environment(load_config(user))
        if data_source:
            env.set_data_source(BaseDataSource(str(bundle), {}, False, env.config.base.end_date))
        return env

    return factory


@pytest.fixture
def stock_env(make_env):
    """An environment with one stock "S1" priced 10, 11, 12, ... on the trading days."""
    env = make_env()
    ds = env.data_source
    ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS, [
        {"order_book_id": "S1", "symbol": "Stock One"}]))
    ds.register_day_bar_store(INSTRUMENT_TYPE.CS, ArrayBarStore({
        "S1": make_bars(TRADING_DAYS, 10.0 + np.arange(len(TRADING_DAYS)))}))
    return env
