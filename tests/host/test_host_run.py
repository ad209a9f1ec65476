import textwrap

import pytest

from tessel.run import run


@pytest.fixture
def stock_plugin(tmp_path, monkeypatch):
    """A plug-in package that serves stock "S1" (close 10, 11, 12, ... on the trading days)."""
    pkg = tmp_path / "plug_stock"
    pkg.mkdir()
    (pkg / "__init__.py").write_text(textwrap.dedent("""
        from host_helpers import TRADING_DAYS, ArrayBarStore, DictInstrumentStore, make_bars
        import numpy as np
        from tessel.const import INSTRUMENT_TYPE
        from tessel.data.base_data_source import BaseDataSource
        from tessel.interface import AbstractMod

        TORN = []

        class StockData(AbstractMod):
            def start_up(self, env, mod_config):
                b = env.config.base
                ds = BaseDataSource(b.data_bundle_path, {}, False, b.end_date)
                ds.register_instruments_store(DictInstrumentStore(INSTRUMENT_TYPE.CS, [{"order_book_id": "S1"}]))
                ds.register_day_bar_store(INSTRUMENT_TYPE.CS, ArrayBarStore(
                    {"S1": make_bars(TRADING_DAYS, 10.0 + np.arange(len(TRADING_DAYS)))}))
                env.set_data_source(ds)

            def tear_down(self, code, exception=None):
                TORN.append((code, exception))

        def load_mod():
            return StockData()
        """))
    monkeypatch.syspath_prepend(str(tmp_path))
    return __import__("plug_stock")


def config(bundle, **base):
    return {"base": dict({"data_bundle_path": str(bundle), "start_date": "2020-01-02", "end_date": "2020-01-09",
                          "accounts": {"STOCK": 100000}}, **base),
            "mod": {"fund": {"enabled": False}, "sys_simulation": {"commission_rate": 0, "min_commission": 0,
                                                                   "tax_rate": 0},
                    "stock": {"enabled": True, "lib": "plug_stock"}}}


def test_daily_loop_runs_strategy_and_records_values(bundle, tmp_path, stock_plugin):
    strategy = tmp_path / "buy_and_sell.py"
    strategy.write_text(textwrap.dedent("""
        def init(context):
            context.days = 0

        def handle_bar(context, bar_dict):
            context.days += 1
            if context.days == 1:
                order_shares("S1", 1000)
            elif context.days == 4:
                order_shares("S1", -1000)
        """))
    result = run(config(bundle), str(strategy))
    daily = result["daily"]
    # 01-02 .. 01-09 are six trading days; buy at 10 on day 1, sell at 13 on day 4
    assert [d.day for d in daily.index] == [2, 3, 6, 7, 8, 9]
    assert daily["total_value"].iloc[0] == pytest.approx(100000)
    assert daily["total_value"].iloc[2] == pytest.approx(100000 + 1000 * 2)
    assert daily["cash"].iloc[-1] == pytest.approx(103000)
    assert result["summary"]["trades"] == 2 and result["summary"]["total_return"] == pytest.approx(0.03)
    assert stock_plugin.TORN[-1] == (0, None)


def test_failing_strategy_still_tears_plugins_down(bundle, tmp_path, stock_plugin):
    strategy = tmp_path / "broken.py"
    strategy.write_text("def before_trading(context):\n    raise KeyError('oops')\n")
    with pytest.raises(KeyError):
        run(config(bundle), str(strategy))
    code, exc = stock_plugin.TORN[-1]
    assert code == 1 and isinstance(exc, KeyError)


def test_empty_date_window_is_reported(bundle, tmp_path, stock_plugin):
    strategy = tmp_path / "idle.py"
    strategy.write_text("")
    with pytest.raises(ValueError, match="no trading day"):
        run(config(bundle, start_date="2020-01-11", end_date="2020-01-12"), str(strategy))


def test_functions_a_run_registers_are_not_offered_to_the_next(bundle, tmp_path, stock_plugin, monkeypatch):
    from tessel import api
    from tessel.core.events import EVENT

    def start_up(self, env, mod_config, original=stock_plugin.StockData.start_up):
        original(self, env, mod_config)
        env.event_bus.add_listener(EVENT.POST_SYSTEM_INIT,
                                   lambda event: api.export_as_api(lambda: "hi", "greet"))

    monkeypatch.setattr(stock_plugin.StockData, "start_up", start_up)
    strategy = tmp_path / "greets.py"
    strategy.write_text("def init(context):\n    context.said = greet()\n")
    run(config(bundle), str(strategy))
    assert "greet" not in api.get_apis()
    assert "order_shares" in api.get_apis()


def test_the_collector_is_as_it_was_after_a_run_whether_it_ends_well_or_not(bundle, tmp_path, stock_plugin):
    """The day loop collects garbage less eagerly; before and after it the process's settings are its own."""
    import gc

    seen = tmp_path / "seen.txt"
    strategy = tmp_path / "probe.py"
    strategy.write_text(textwrap.dedent(f"""
        import gc

        def handle_bar(context, bar_dict):
            open({str(seen)!r}, "w").write(repr((gc.get_threshold(), gc.get_freeze_count() > 0)))
        """))
    before = gc.get_threshold()
    assert gc.get_freeze_count() == 0
    try:
        gc.set_threshold(700, 10, 10)
        run(config(bundle), str(strategy))
        threshold, frozen = eval(seen.read_text())
        assert threshold[0] >= 10_000 and frozen  # in the loop
        assert gc.get_threshold() == (700, 10, 10) and gc.get_freeze_count() == 0
        # Raised in the loop, and with objects someone else froze: those stay frozen.
        strategy.write_text("def handle_bar(context, bar_dict):\n    raise KeyError('oops')\n")
        gc.freeze()
        with pytest.raises(KeyError):
            run(config(bundle), str(strategy))
        assert gc.get_threshold() == (700, 10, 10) and gc.get_freeze_count() > 0  # not unfrozen by the run
    finally:
        gc.unfreeze()
        gc.set_threshold(*before)
