"""Where fee schedules come from, and how bad ones are reported."""
import datetime as dt
import math

import pytest

from matcher_helpers import EQUITY_FEES, subscribe
from tessel.config import load_config
from tessel.environment import Environment
from tessel_mod_fund.matcher import FundMatcher

DAY = dt.date(2024, 1, 2)


def test_schedules_come_from_the_fund_data(make_market):
    matcher = make_market().matcher
    sub, red = EQUITY_FEES
    assert matcher.fee_schedule("100001") == {
        "subscription": [(math.inf if b is None else b, r, f) for b, r, f in sub],
        "redemption": [(math.inf if b is None else b, r) for b, r in red],
    }
    assert matcher.fee_schedule("100007") == {"subscription": [], "redemption": []}


def test_overrides_per_fund_then_default_then_data(make_market):
    market = make_market(fees={
        "default": {"redemption": [[None, 0.001]]},
        "100001": {"subscription": [[None, 0.005, None]]},
        "100007": {"subscription": []},
    })
    own, other = market.matcher.fee_schedule("100001"), market.matcher.fee_schedule("100004")
    assert own == {"subscription": [(math.inf, 0.005, None)], "redemption": [(math.inf, 0.001)]}
    assert other["subscription"][0] == (1_000_000, 0.015, None) and other["redemption"] == [(math.inf, 0.001)]

    a, b = market.trade(DAY, subscribe("100001", amount=10_000), subscribe("100007", amount=10_500))
    # 0.5 %: net = 10000 / 1.005 = 9950.2487...; units = round(net / 1.2345, 4) = 8060.1448
    assert market.filled_trade(a).last_quantity == 8060.1448
    assert a.fee == pytest.approx(10_000 - 8060.1448 * 1.2345, abs=1e-9)
    # an empty list: no fee, 10500 / 1.05 = 10000 units
    assert (market.filled_trade(b).last_quantity, b.fee) == (10_000, 0)


@pytest.mark.parametrize("fees, message", [
    ([1, 2], "mod.fund.fees: expected a mapping, got [1, 2]"),
    ({1: {"subscription": []}}, "mod.fund.fees: key 1 is not a fund id text"),
    ({"default": [[None, 0.01, None]]}, "mod.fund.fees['default']: expected a mapping"),
    ({"default": {"subscriptions": []}}, "mod.fund.fees['default']: unknown key 'subscriptions'"),
    ({"default": {"redemption": 0.01}}, "mod.fund.fees['default'].redemption: expected a list of tiers, got 0.01"),
    ({"default": {"subscription": [[1e6, 0.015, None], [5e6, 0.01, 1000], [None, None, 1000]]}},
     "mod.fund.fees['default'].subscription[1] = [5000000.0, 0.01, 1000]: give either a rate or a fixed fee"),
    ({"default": {"subscription": [[5e6, 0.01, None], [1e6, 0.015, None], [None, None, 1000]]}},
     "subscription[1] = [1000000.0, 0.015, None]: upper_bound must be above the previous tier's (5000000.0)"),
    ({"default": {"subscription": [[1e6, 0.015, None]]}},
     "subscription[0] = [1000000.0, 0.015, None]: the last tier must have no upper bound"),
    ({"default": {"subscription": [[None, 0.015, None], [None, 0.01, None]]}},
     "subscription[0] = [None, 0.015, None]: only the last tier may have no upper bound"),
    ({"default": {"subscription": [[None, 1.5, None]]}}, "rate must be a number from 0 up to (not including) 1"),
    ({"default": {"subscription": [[None, "0.015", None]]}}, "rate must be a number from 0 up to"),
    ({"default": {"subscription": [[None, None, -5]]}}, "fixed_fee must be a finite number >= 0"),
    ({"default": {"redemption": [[-7, 0.015], [None, 0]]}}, "redemption[0] = [-7, 0.015]: max_days must be a positive"),
    ({"default": {"redemption": [[7, 0.015, None], [None, 0]]}}, "redemption[0] = [7, 0.015, None]: expected [max_days, rate]"),
    ({"100001": {"redemption": [[None, True]]}}, "mod.fund.fees['100001'].redemption[0] = [None, True]: rate"),
])
def test_bad_configuration_is_refused_at_construction(tmp_path, fees, message):
    env = Environment(load_config({"mod": {"fund": {"fees": fees}}}))
    with pytest.raises(ValueError) as info:
        FundMatcher(env, True)
    assert message in str(info.value)


def test_unknown_fund_in_the_configuration_stops_start_up(make_market):
    with pytest.raises(ValueError, match=r"mod.fund.fees\['999999'\]: no fund with this order book id"):
        make_market(fees={"999999": {"subscription": []}})


def test_bad_fee_data_stops_at_the_first_order_of_the_fund(make_market):
    market = make_market()
    # the engine keeps the instrument it found; give it a schedule with a hole
    market.env.get_instrument("100004").__dict__["subscription_fees"] = [(1_000_000, 0.015, None)]
    with pytest.raises(ValueError, match=r"instrument\('100004'\)\.subscription_fees\[0\] = \(1000000, 0.015, None\): "
                                         r"the last tier must have no upper bound"):
        market.trade(DAY, subscribe("100004", amount=10_000))
    assert market.account.positions.get("100004") is None
