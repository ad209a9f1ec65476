"""Fixtures for the plug-in entry tests: a real engine environment, a small
scripted fund service, and import tracking for the modules start_up loads."""
import builtins
import sys
import types

import pandas as pd
import pytest

import tessel_mod_fund
import vexdatac.fund
from tessel.config import load_config
from tessel.environment import Environment

DAYS = pd.DatetimeIndex(["2021-01-04", "2021-01-05", "2021-01-06", "2021-01-07", "2021-01-08"])


class MiniFundService:
    """One ordinary fund, enough for the four stores to be built and queried."""

    def __init__(self):
        self.fund = types.SimpleNamespace(order_book_id="F1", symbol="Fund one", listed_date=None,
                                          de_listed_date=None)
        self.fail_catalogue = None

    def all_instruments(self):
        return pd.DataFrame({"order_book_id": ["F1"]})

    def instruments(self, ids):
        if self.fail_catalogue:
            raise self.fail_catalogue
        return [self.fund] if "F1" in list(ids) else []

    def get_nav(self, order_book_id, start_date=None, end_date=None):
        if order_book_id != "F1":
            return None
        return pd.DataFrame({"unit_net_value": [1.0, 1.01, 1.02, 1.03, 1.04],
                             "adjusted_net_value": [1.0, 1.01, 1.02, 1.03, 1.04]},
                            index=pd.DatetimeIndex(DAYS, name="datetime"))

    def get_transaction_status(self, order_book_id, start_date=None, end_date=None):
        index = pd.MultiIndex.from_arrays([[order_book_id] * len(DAYS), DAYS], names=["order_book_id", "datetime"])
        return pd.DataFrame({"subscribe_status": ["Open"] * 5, "redeem_status": ["Open"] * 5}, index=index)

    def get_dividend(self, ids):
        return None

    def get_split(self, order_book_id):
        return None


@pytest.fixture
def service(monkeypatch):
    fake = MiniFundService()
    for name in ("all_instruments", "instruments", "get_nav", "get_transaction_status", "get_dividend",
                 "get_split"):
        monkeypatch.setattr(vexdatac.fund, name, getattr(fake, name))
    return fake


@pytest.fixture
def bundle(tmp_path):
    path = tmp_path / "bundle"
    path.mkdir()
    (path / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in DAYS))
    return path


@pytest.fixture
def make_env(bundle):
    """make_env(**base overrides) -> a fresh Environment with no data source and no broker."""

    def make(drop=(), fund=None, **base):
        settings = {"start_date": "2021-01-04", "end_date": "2021-01-08", "data_bundle_path": str(bundle)}
        settings.update(base)
        config = load_config({"base": settings, "mod": {"fund": dict(fund or {})}})
        for key in drop:
            del config.base[key]
        return Environment(config)

    return make


@pytest.fixture
def position_placeholder(monkeypatch):
    """Stands in for tessel_mod_fund.position: start_up must import it, and
    each import is recorded.  The real module (if loaded) is put back."""
    name = "tessel_mod_fund.position"
    imported = []
    real_import = builtins.__import__

    def tracking_import(module, globals=None, locals=None, fromlist=(), level=0):
        if module == name and level == 0:
            imported.append(module)
            placeholder = types.ModuleType(name)
            placeholder.PLACEHOLDER = True
            sys.modules[name] = placeholder
            return placeholder if fromlist else tessel_mod_fund
        return real_import(module, globals, locals, fromlist, level)

    # setitem first, so that undoing restores the entry exactly as it was
    # (absent included) and the placeholder never outlives the test
    monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(builtins, "__import__", tracking_import)
    return imported


@pytest.fixture
def unloaded(monkeypatch):
    """unloaded(name): forget a module for this test (it is restored afterwards)."""

    def forget(name):
        monkeypatch.setitem(sys.modules, name, None)
        monkeypatch.delitem(sys.modules, name)
        package, _, attr = name.rpartition(".")
        if package in sys.modules and hasattr(sys.modules[package], attr):
            monkeypatch.delattr(sys.modules[package], attr)

    return forget
