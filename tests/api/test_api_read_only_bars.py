"""The fund functions only read the bar arrays: they are the stores' cached
objects, shared by every caller, and may well be read-only."""
import numpy as np
import pytest

from tessel.utils.datetime_func import convert_date_to_int
from tessel_mod_fund import api


@pytest.mark.parametrize("fund", ["000001", "000025"])
def test_published_values_from_read_only_bars(make_engine, fund):
    engine = make_engine("2020-03-02")
    engine.close()
    bars = engine.proxy.get_bars(fund)
    expected_nav = api.fund_nav(fund)
    expected_history = api.fund_nav_history(fund, 4)

    bars.flags.writeable = False
    assert engine.proxy.get_bars(fund) is bars  # the same cached array is read
    assert api.fund_nav(fund) == expected_nav
    history = api.fund_nav_history(fund, 4)
    np.testing.assert_array_equal(history, expected_history)
    published = bars[bars["datetime"] < convert_date_to_int(engine.day)]
    assert history.tolist() == published["close"][-4:].tolist()
    assert history.flags.writeable  # a copy the strategy may change
