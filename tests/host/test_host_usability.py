"""What a researcher meets around a run: the log, refusals in the summary, config typos, report files."""
import logging
import textwrap

import numpy as np
import pandas as pd
import pytest
import yaml
from click.testing import CliRunner

from host_helpers import market_config
from tessel.cli import main
from tessel.config import load_config, unknown_plugin_keys
from tessel.report import _holding_layers, _percent_axis
from tessel.result import RunResult, compute_summary
from tessel.run import run

# Day 1: one order that fills and one the cash cannot pay for; a log line every day.
STRATEGY = """
def init(context):
    context.day = 0

def handle_bar(context, bar_dict):
    context.day += 1
    logger.info("day %d", context.day)
    if context.day == 1:
        order_shares("S1", 100)
        order_shares("S1", 10 ** 9)
"""


@pytest.fixture
def files(bundle, tmp_path):
    config = tmp_path / "run.yml"
    config.write_text(yaml.safe_dump(market_config(bundle, end_date="2020-01-08")))
    strategy = tmp_path / "strategy.py"
    strategy.write_text(textwrap.dedent(STRATEGY))
    return config, strategy


def invoke(*args):
    # click's runner puts stderr (the log) into ``output`` as well, by default in every supported version
    result = CliRunner().invoke(main, [str(a) for a in args])
    return result, result.output


def test_log_shows_strategy_lines_at_the_simulated_time_and_refusals(files):
    config, strategy = files
    result, output = invoke("run", strategy, "--config", config)
    assert result.exit_code == 0, output
    assert "2020-01-02 15:00 INFO     day 1" in output and "2020-01-08 15:00 INFO     day 5" in output
    refusal = [line for line in output.splitlines() if "rejected" in line and "WARNING" in line]
    assert len(refusal) == 1
    assert "2020-01-02 15:00" in refusal[0] and "order 2: BUY 1,000,000,000 units of S1" in refusal[0]
    assert "not enough cash" in refusal[0]
    # the summary counts the refusal too
    assert [line.split() for line in output.splitlines() if line.split()[:1] in (["Orders"], ["rejected"])] == [
        ["Orders", "2"], ["rejected", "1"]]


@pytest.mark.parametrize("level, shown, hidden", [
    ("warning", ["rejected:"], ["day 1"]),
    ("none", [], ["day 1", "rejected:"]),
    ("debug", ["day 1", "rejected:"], []),
])
def test_log_level_chooses_what_is_shown(files, level, shown, hidden):
    config, strategy = files
    result, output = invoke("run", strategy, "--config", config, "--log-level", level)
    assert result.exit_code == 0, output
    assert all(text in output for text in shown) and not any(text in output for text in hidden)
    assert "Total return" in output
    # the CLI's handler is gone afterwards: nothing piles up over repeated runs
    assert not logging.getLogger("tessel").handlers


def test_summary_counts_orders_and_rejections(files):
    config, strategy = files
    result = run(str(config), str(strategy))
    orders = result.orders
    assert (result.summary["orders"], result.summary["rejected_orders"]) == (
        len(orders), int((orders["status"] == "REJECTED").sum())) == (2, 1)
    assert result.summary["trades"] == 1


@pytest.mark.parametrize("key, value", [
    ("fund.status_limit", "false"), ("fund.subscription_limit", 0), ("sys_accounts.dividend_reinvestment", "yes"),
])
def test_switches_of_shipped_plugins_must_be_booleans(key, value):
    section, name = key.split(".")
    with pytest.raises(ValueError, match=r"mod\.{}: expected true or false, got {!r}".format(key, value)):
        load_config({"mod": {section: {name: value}}})
    assert load_config({"mod": {section: {name: False}}})["mod"][section][name] is False


def test_unknown_keys_of_shipped_plugins_are_named_and_warned(bundle, tmp_path, caplog):
    config = load_config({"mod": {"fund": {"status_limt": False},
                                  "sys_accounts": {"dividend_reinvestment": True},
                                  # a section of one's own, or a shipped one pointed elsewhere, may hold anything
                                  "mine": {"lib": "x", "whatever": 1},
                                  "sys_simulation": {"lib": "my_broker", "slippage": 0.1}}})
    assert unknown_plugin_keys(config) == ["mod.fund.status_limt"]

    strategy = tmp_path / "empty.py"
    strategy.write_text("")
    user = market_config(bundle, end_date="2020-01-03")
    user["mod"]["market"]["colour"] = "red"
    user["mod"]["sys_accounts"] = {"dividend_reinvestmnt": True}
    user["mod"]["later"] = {"lib": "host_helpers"}  # names a lib but was never switched on
    with caplog.at_level(logging.WARNING, logger="tessel"):
        run(user, str(strategy))
    messages = [r.getMessage() for r in caplog.records]
    assert any("mod.sys_accounts.dividend_reinvestmnt is not a setting" in m and "dividend_reinvestment" in m
               for m in messages)
    assert not any("colour" in m for m in messages)
    assert any("mod.later names lib 'host_helpers' but is not loaded" in m for m in messages)

    result, output = invoke("config", "--mod", "fund.status_limt=false")
    assert result.exit_code == 0 and "warning: mod.fund.status_limt is not a setting" in output


def test_saved_tables_carry_no_binary_noise(tmp_path):
    days = pd.DatetimeIndex(["2020-01-02", "2020-01-03"], name="date")
    daily = pd.DataFrame({"cash": [0.1 + 0.2, 1.0], "market_value": 0.0, "receivable_units": 0.0,
                          "receivable_units_value": 0.0, "receivable_cash": 0.0, "dividend_receivable": 0.0,
                          "total_value": [100.0, 101.0], "cash_change": 0.0}, index=days)
    trades = pd.DataFrame({"date": days[:1], "order_book_id": ["F"], "fee": [1.7429999999999997],
                           "quantity": [43276.0114]})
    result = RunResult(daily=daily, positions=pd.DataFrame(), trades=trades, orders=pd.DataFrame(),
                       summary=compute_summary(daily, 100, trades))
    result.save(tmp_path)
    text = (tmp_path / "trades.csv").read_text()
    assert "2020-01-02,F,1.743,43276.0114" in text
    assert "0.30000000000000004" not in (tmp_path / "daily.csv").read_text()
    assert result.trades["fee"].iloc[0] == 1.7429999999999997  # the result itself is untouched


def test_allocation_splits_holdings_by_fund_with_the_rest_summed():
    dates = pd.DatetimeIndex(pd.bdate_range("2020-01-01", periods=4))
    ids = ["F{}".format(i) for i in range(8)]
    rows = [(d, f, 10.0 * (i + 1), 1.0 if i == 7 else 0.0, 2.0) for d in dates for i, f in enumerate(ids)]
    positions = pd.DataFrame(rows, columns=["date", "order_book_id", "market_value", "receivable_quantity",
                                            "last_price"])
    layers = _holding_layers(positions, dates, None)
    labels = [label for _, label, _ in layers]
    assert labels == ["F7", "F6", "F5", "F4", "F3", "Other holdings"]  # largest first
    total = sum(values for values, _, _ in layers)
    # received units only: F7's 1 unit in transit (at 2.0) is shown elsewhere
    assert np.allclose(total, sum(10.0 * (i + 1) for i in range(8)) - 2.0)
    assert _holding_layers(pd.DataFrame(), dates, np.ones(4))[0][1] == "Holdings"


@pytest.mark.parametrize("span, growth, label", [
    (0.5, 1.2, "+20%"), (0.05, 0.985, "-1.5%"), (0.006, 1.0025, "+0.25%"), (0.006, 1.00001, "0%"),
])
def test_return_axis_shows_enough_decimals(span, growth, label):
    assert _percent_axis(span)(growth) == label


def test_same_backtest_twice_in_one_process_writes_the_same_tables(files):
    config, strategy = files
    first, second = run(str(config), str(strategy)), run(str(config), str(strategy))
    for name in ("orders", "trades", "positions", "daily"):
        pd.testing.assert_frame_equal(getattr(first, name), getattr(second, name))
    assert first.orders["order_id"].tolist() == [1, 2]  # numbered per run, as the log shows them
