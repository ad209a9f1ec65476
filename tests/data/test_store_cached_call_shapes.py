"""The stores' cached methods take one argument besides the store, by
position or by keyword; any other call is refused like a Python method
would refuse it, before the data service is asked and without a cache entry."""
import pytest

from store_fakes import fund_object
from tessel_mod_fund.data import VexdataNavDayBars, VexdataPayoutHistory, VexdataUnitSplits

STORES = {
    "get_bars": lambda: VexdataNavDayBars("unit"),
    "get_dividend": VexdataPayoutHistory,
    "get_factors": VexdataUnitSplits,
}


@pytest.mark.parametrize("method", sorted(STORES))
@pytest.mark.parametrize("args, kwargs, got", [
    ((), {}, "0 positional and 0 keyword"),
    (("F1", "F2"), {}, "2 positional and 0 keyword"),
    ((), {"fund": "F1"}, "0 positional and 1 keyword"),
    (("F1",), {"order_book_id": "F1"}, "1 positional and 1 keyword"),
])
def test_wrong_call_shapes_are_refused(service, env, method, args, kwargs, got):
    service.funds = [fund_object("F1", "one")]
    service.dividends = None
    store = STORES[method]()
    bound = getattr(store, method)
    asked, entries = len(service.calls), bound.cache_info()[3]  # one cache for the class
    with pytest.raises(TypeError) as info:
        bound(*args, **kwargs)
    assert str(info.value) == (f"{method}() takes exactly one argument 'order_book_id' besides self "
                               f"(got {got} arguments)")
    assert len(service.calls) == asked
    assert bound.cache_info()[3] == entries
