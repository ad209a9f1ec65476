"""Fixtures for the fund store tests: a scripted fund data service patched
into the real ``vexdatac.fund`` module, and a real engine environment over
a small trading calendar."""
import pytest

import vexdatac.fund
from store_fakes import TRADING_DAYS, FakeFundService
from tessel.config import load_config
from tessel.data.base_data_source import BaseDataSource
from tessel.environment import Environment


@pytest.fixture
def service(monkeypatch):
    fake = FakeFundService()
    for name in ("all_instruments", "instruments", "get_nav", "get_transaction_status", "get_dividend",
                 "get_split"):
        monkeypatch.setattr(vexdatac.fund, name, getattr(fake, name))
    return fake


@pytest.fixture
def env(tmp_path):
    """A real engine environment whose data source knows the small calendar."""
    bundle = tmp_path / "bundle"
    bundle.mkdir()
    (bundle / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in TRADING_DAYS))
    config = load_config({"base": {"start_date": "2021-01-04", "end_date": "2021-01-29",
                                   "data_bundle_path": str(bundle)}})
    environment = Environment(config)
    environment.set_data_source(BaseDataSource(str(bundle), {}, False, config.base.end_date))
    return environment
