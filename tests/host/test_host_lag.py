"""No look-ahead: strategies see lagged instrument types' bars late, validators see the day's bar."""
import math
import textwrap

import numpy as np
import pytest

import host_helpers
from host_helpers import F1_CLOSES, S1_CLOSES, TRADING_DAYS, market_config
from tessel.const import INSTRUMENT_TYPE
from tessel.run import run

STRATEGY = """
import host_helpers as h

def before_trading(context):
    h.STRATEGY_SEEN.append(("open", list(history_bars("S1", 2, "close")), list(history_bars("F1", 3, "close"))))

def handle_bar(context, bar_dict):
    h.STRATEGY_SEEN.append(("close", bar_dict["S1"].close, bar_dict["F1"].close,
                            list(history_bars("S1", 2, "close")), list(history_bars("F1", 3, "close"))))
    order_shares("F1", 100)
"""


def _window(closes, last, count):
    """The closes of days last-count+1 .. last (nothing before day 0)."""
    return list(closes[max(0, last - count + 1):last + 1]) if last >= 0 else []


@pytest.mark.parametrize("lag", [0, 1, 2])
def test_strategy_sees_lagged_bars_and_validator_sees_today(bundle, tmp_path, lag):
    strategy = tmp_path / "peek.py"
    strategy.write_text(textwrap.dedent(STRATEGY))
    days = 6
    run(market_config(bundle, {"fund_lag": lag}, end_date=str(TRADING_DAYS[days - 1].date())), str(strategy))
    seen = host_helpers.STRATEGY_SEEN
    opens = [s for s in seen if s[0] == "open"]
    closes = [s for s in seen if s[0] == "close"]
    assert len(opens) == len(closes) == days
    for i in range(days):
        _, s1_close, f1_close, s1_hist, f1_hist = closes[i]
        # Stocks have no lag: today's bar at the close.
        assert s1_close == S1_CLOSES[i] and s1_hist == _window(S1_CLOSES, i, 2)
        visible = i - lag
        if visible >= 0:
            assert f1_close == F1_CLOSES[visible]
        else:  # before the start of the calendar: no bar yet
            assert math.isnan(f1_close)
        assert f1_hist == _window(F1_CLOSES, visible, 3)
        # Before the close today's bar does not exist yet, for any lag; a
        # price published after yesterday's cut-off is known by this morning.
        _, s1_open_hist, f1_open_hist = opens[i]
        assert s1_open_hist == _window(S1_CLOSES, i - 1, 2)
        assert f1_open_hist == _window(F1_CLOSES, i - max(lag, 1), 3)
    # The validator (like matchers and valuation) reads the day's own bar.
    assert [close for oid, _, close in host_helpers.VALIDATOR_SEEN if oid == "F1"] == list(F1_CLOSES[:days])


@pytest.mark.parametrize("days", [-1, 1.5, True, "1"])
def test_lag_must_be_whole_days(make_env, days):
    env = make_env()
    with pytest.raises(ValueError, match="PublicFund"):
        env.set_strategy_bar_lag(INSTRUMENT_TYPE.PUBLIC_FUND, days)
    assert env.get_strategy_bar_lag(INSTRUMENT_TYPE.PUBLIC_FUND) == 0


@pytest.mark.parametrize("call, message", [
    ("history_bars('S1', 0, 'close')", "bar_count"),
    ("history_bars('S1', 2, 'volume')", "no field 'volume'"),
    ("history_bars('S1', 2, ['close', 'nav'])", "no field 'nav'"),
    ("history_bars('ZZ', 2, 'close')", "unknown instrument 'ZZ'"),
])
def test_history_bars_rejects_bad_requests(bundle, tmp_path, call, message):
    strategy = tmp_path / "bad.py"
    strategy.write_text("def handle_bar(context, bar_dict):\n    {}\n".format(call))
    with pytest.raises(ValueError, match=message):
        run(market_config(bundle), str(strategy))


def test_history_bars_field_list_and_all_fields(bundle, tmp_path):
    strategy = tmp_path / "fields.py"
    strategy.write_text(textwrap.dedent("""
        import host_helpers as h

        def handle_bar(context, bar_dict):
            h.STRATEGY_SEEN.append((history_bars("S1", 2, ["open", "close"]), history_bars("S1", 50)))
        """))
    run(market_config(bundle, end_date=str(TRADING_DAYS[2].date())), str(strategy))
    pair, everything = host_helpers.STRATEGY_SEEN[-1]
    assert pair.dtype.names == ("open", "close") and list(pair["close"]) == list(S1_CLOSES[1:3])
    # Asking for more than exists gives what exists, never a bar after today.
    assert len(everything) == 3 and np.all(np.diff(everything["datetime"].astype(np.int64)) > 0)
