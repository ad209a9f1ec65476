"""Fixtures of the position tests; shared builders live in position_helpers."""
import pytest

import tessel_mod_fund.position as position_module

from position_helpers import *  # noqa: F401,F403  (fixtures below use the builders)
from position_helpers import Run, BarStore, DividendStore, FundInstrumentStore, FundPlugin, SplitStore, TRADING_DAYS


@pytest.fixture(autouse=True)
def clear_module_caches():
    position_module._get_trading_dates.cache_clear()
    position_module._get_daily_profit.cache_clear()
    position_module.FundPosition._accrued_fund.fget.cache_clear()
    yield
    position_module._get_trading_dates.cache_clear()
    position_module._get_daily_profit.cache_clear()
    position_module.FundPosition._accrued_fund.fget.cache_clear()


@pytest.fixture
def bundle(tmp_path):
    path = tmp_path / "bundle"
    path.mkdir()
    (path / "trading_dates.csv").write_text(
        "trading_date\n" + "".join(day.isoformat() + "\n" for day in TRADING_DAYS))
    return path


@pytest.fixture
def make_run(bundle):
    def factory(fund=None, reinvest=False, funds=None):
        fund_cfg = {"subscription_receiving_days": 1, "redemption_receiving_days": 3, "fund_nav_type": "unit"}
        fund_cfg.update(fund or {})
        env = Environment(load_config({
            "base": {"data_bundle_path": str(bundle), "start_date": "2020-01-02", "end_date": "2020-02-28"},
            "mod": {"fund": fund_cfg, "sys_accounts": {"dividend_reinvestment": reinvest}},
        }))
        ds = BaseDataSource(str(bundle), {}, False, env.config.base.end_date)
        env.set_data_source(ds)
        bar_store, dividend_store, split_store = BarStore(), DividendStore(), SplitStore()
        ds.register_instruments_store(FundInstrumentStore(funds or [
            {"order_book_id": "F1", "symbol": "Unit fund", "accrued_daily": False},
            {"order_book_id": "MMF", "symbol": "Money fund", "accrued_daily": True},
        ]))
        ds.register_day_bar_store(INSTRUMENT_TYPE.PUBLIC_FUND, bar_store)
        ds.register_dividend_store(INSTRUMENT_TYPE.PUBLIC_FUND, dividend_store)
        ds.register_split_store(INSTRUMENT_TYPE.PUBLIC_FUND, split_store)
        env.mod_dict["fund"] = FundPlugin(bar_store)
        return Run(env, bar_store, dividend_store, split_store)

    return factory


@pytest.fixture
def run(make_run):
    return make_run()
