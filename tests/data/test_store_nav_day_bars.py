import numpy as np
import pandas as pd
import pytest

import vexdatac.fund
from bar_reference import assert_same_bars, joined, reference_bars
from store_fakes import fund_object, nav_frame, status_frame
from tessel.utils.datetime_func import convert_date_to_int
from tessel_mod_fund.data import BaseNavDayBars, FundCatalogStore, VexdataNavDayBars
from tessel_mod_fund.data import nav_day_bars as module
from vexdatac.share.errors import BadRequest

DAYS = ["2021-01-04", "2021-01-05", "2021-01-06", "2021-01-07", "2021-01-08"]
NAV_FIELDS = ["datetime", "volume", "total_turnover", "limit_up", "limit_down", "subscribe_upper_limit",
              "subscribe_lower_limit", "redeem_lower_limit"]


# --- fixtures ---

@pytest.fixture
def funds(service, env):
    service.funds = [
        fund_object("F1", "Equity one"),
        fund_object("MM", "Money", accrued_daily=True),
        fund_object("MX", "Money on exchange", accrued_daily=True, exchange="XSHG"),
        fund_object("FX", "Equity on exchange", exchange="XSHG"),
    ]
    env.data_source.register_instruments_store(FundCatalogStore())
    return service


def money_nav(dates, profit):
    return nav_frame(dates, [1.0] * len(dates), daily_profit=profit,
                     weekly_yield=[2.0 + i / 10 for i in range(len(dates))])


STATUS_CASES = {
    "plain": (["Open", "Limited", "Suspended", "Close", "Open"], ["Open", "Limited", "Suspended", "Close", "Close"]),
    "mixed": (["Suspended", "Close", "Open", "Close", "Limited"], ["Suspended", "Open", "Suspended", "Close", "Open"]),
}


@pytest.mark.parametrize("status_dtype", ["str", object])
@pytest.mark.parametrize("statuses", list(STATUS_CASES))
@pytest.mark.parametrize("nav_type, column", [("unit", "unit_net_value"), ("adjusted", "adjusted_net_value")])
def test_ordinary_fund_matches_reference(funds, status_dtype, statuses, nav_type, column):
    nav = nav_frame(DAYS, [1.0, np.nan, 1.2, 1.25, 1.3], adjusted=[2.0, 2.1, np.nan, 2.3, 2.4])
    sub, red = STATUS_CASES[statuses]
    status = status_frame("F1", DAYS, pd.array(sub, dtype=status_dtype), pd.array(red, dtype=status_dtype),
                          subscribe_upper_limit=[np.nan, 1e6, np.nan, np.nan, 5e5],
                          redeem_lower_limit=[10.0] * 5)
    funds.nav["F1"], funds.status["F1"] = nav, status
    bars = VexdataNavDayBars(nav_type).get_bars("F1")
    assert_same_bars(bars, reference_bars(joined(nav, status), column, accrued=False))
    assert len(bars.dtype.names) == 17
    assert np.isnan(bars["subscribe_lower_limit"]).all()  # the service gave no such column


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_datetime_field_for_every_index_resolution(funds, unit):
    nav = nav_frame(DAYS, [1.0, 1.1, 1.2, 1.3, 1.4])
    nav.index = nav.index.as_unit(unit)
    status = status_frame("F1", DAYS, ["Open"] * 5, ["Open"] * 5)
    status.index = status.index.set_levels(status.index.levels[1].as_unit(unit), level=1)
    funds.nav["F1"], funds.status["F1"] = nav, status
    bars = VexdataNavDayBars("unit").get_bars("F1")
    assert bars["datetime"].tolist() == [int(d.replace("-", "")) * 1000000 for d in DAYS]
    assert_same_bars(bars, reference_bars(joined(nav, status), "unit_net_value", accrued=False))


def test_prev_close_and_isnan_follow_records_not_calendar(funds):
    # The status frame lacks 01-06: that NAV date disappears and prev_close
    # of 01-07 is the NAV of 01-05.
    nav = nav_frame(DAYS, [1.0, np.nan, 1.2, 1.25, 1.3])
    status_days = [DAYS[0], DAYS[1], DAYS[3], DAYS[4]]
    funds.nav["F1"] = nav
    funds.status["F1"] = status_frame("F1", status_days, ["Open"] * 4, ["Open"] * 4)
    bars = VexdataNavDayBars("unit").get_bars("F1")
    assert bars["datetime"].tolist() == [convert_date_to_int(pd.Timestamp(d)) for d in status_days]
    np.testing.assert_array_equal(bars["prev_close"], [np.nan, 1.0, np.nan, 1.25])
    np.testing.assert_array_equal(bars["isnan"], [0.0, 1.0, 0.0, 0.0])
    assert np.isnan(bars["close"][1]) and np.isnan(bars["open"][1])
    for name in ("volume", "total_turnover", "limit_up", "limit_down"):
        assert np.isnan(bars[name]).all()


def test_integer_nav_column_converts_like_numpy(funds):
    nav = nav_frame(DAYS, [1, 2, 3, 4, 5], unit_dtype="int64")
    funds.nav["F1"] = nav
    funds.status["F1"] = status_frame("F1", DAYS, ["Open"] * 5, ["Open"] * 5)
    assert_same_bars(VexdataNavDayBars("unit").get_bars("F1"),
                     reference_bars(joined(nav, funds.status["F1"]), "unit_net_value", accrued=False))


@pytest.mark.parametrize("fund_id, exchange", [("MM", None), ("MX", "XSHG")])
@pytest.mark.parametrize("with_status", [True, False])
def test_accrued_daily_fund_matches_reference(funds, monkeypatch, fund_id, exchange, with_status):
    # Money-market NAV has every calendar day, status only trading days.
    dates = pd.date_range("2021-01-04", "2021-01-10").strftime("%Y-%m-%d").tolist()
    nav = money_nav(dates, [0.6, np.nan, 0.7, 0.65, 0.6, 0.55, 0.5])
    nav["unit_net_value"] = [np.nan, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0]  # prices ignore the NAV
    funds.nav[fund_id] = nav
    status = status_frame(fund_id, DAYS, ["Open"] * 5, ["Open"] * 5)
    funds.status[fund_id] = status if with_status else BadRequest("no status")
    bars = VexdataNavDayBars("unit").get_bars(fund_id)
    expected = reference_bars(joined(nav, status if with_status else None), None, accrued=True, exchange=exchange)
    assert_same_bars(bars, expected)
    assert len(bars.dtype.names) == (19 if with_status else 16)
    assert bars.dtype["open"] == np.dtype("<u8")
    price = 100 if exchange else 1
    assert bars["open"].tolist() == [price] * len(bars)
    assert (bars["prev_close"] == price).all()
    np.testing.assert_array_equal(bars["isnan"], np.isnan(bars["daily_profit"]).astype(float))


def test_exchange_only_matters_for_accrued_funds(funds):
    nav = nav_frame(DAYS, [1.0, 1.1, 1.2, 1.3, 1.4])
    funds.nav["FX"] = nav
    funds.status["FX"] = status_frame("FX", DAYS, ["Open"] * 5, ["Open"] * 5)
    bars = VexdataNavDayBars("unit").get_bars("FX")
    np.testing.assert_array_equal(bars["close"], nav["unit_net_value"].to_numpy())


@pytest.mark.parametrize("sub, red, expected", [
    ("Suspended", "Suspended", True), ("Close", "Close", True), ("Open", "Suspended", False),
    ("Close", "Open", False), ("Limited", "Limited", False), ("Open", "Open", False),
    ("Suspended", "Close", False),
])
def test_suspended(funds, sub, red, expected):
    funds.nav["F1"] = nav_frame(DAYS[:1], [1.0])
    funds.status["F1"] = status_frame("F1", DAYS[:1], [sub], [red])
    bars = VexdataNavDayBars("unit").get_bars("F1")
    assert bars["suspended"].tolist() == [expected]
    assert (bars["subscribe_status"][0], bars["redeem_status"][0]) == (sub.encode(), red.encode())


def test_missing_or_odd_statuses_are_stored_as_numpy_stores_them(funds):
    # Status texts are stored with numpy's own text-to-bytes rules: a
    # missing value becomes the text of its repr (b"nan") and long texts are
    # cut at ten bytes.  A native copy of the texts' bytes has no text for a
    # missing value and would store b"", which is why these two fields are
    # assigned by numpy.
    sub = pd.array(["Suspended", None, "Close", "Open", "VeryLongStatus"], dtype="str")
    red = pd.array(["Suspended", None, "Close", None, "Open"], dtype=object)
    funds.nav["F1"] = nav = nav_frame(DAYS, [1.0] * 5)
    funds.status["F1"] = status = status_frame("F1", DAYS, sub, red)
    bars = VexdataNavDayBars("unit").get_bars("F1")
    frame = joined(nav, status)
    assert_same_bars(bars, reference_bars(frame, "unit_net_value", accrued=False))
    assert bars["suspended"].tolist() == [True, False, True, False, False]
    assert bars["subscribe_status"][4] == b"VeryLongSt"
    # the missing value's text (b"nan", or b"None" where pandas keeps None)
    for field, row in (("subscribe_status", 1), ("redeem_status", 3)):
        missing = frame[field].to_numpy(dtype=object)[row]
        assert bars[field][row] == np.array([missing], dtype=object).astype("S10")[0] != b""


def test_non_ascii_status_fails_like_numpy(funds):
    funds.nav["F1"] = nav_frame(DAYS[:1], [1.0])
    funds.status["F1"] = status_frame("F1", DAYS[:1], ["开放"], ["Open"])
    with pytest.raises(UnicodeEncodeError):
        reference_bars(joined(funds.nav["F1"], funds.status["F1"]), "unit_net_value", False)
    with pytest.raises(UnicodeEncodeError):
        VexdataNavDayBars("unit").get_bars("F1")


@pytest.mark.parametrize("make_missing", ["bad_request", "no_attribute"])
def test_bars_without_status(funds, monkeypatch, make_missing):
    nav = nav_frame(DAYS, [1.0, 1.1, 1.2, 1.3, 1.4])
    funds.nav["F1"] = nav
    if make_missing == "bad_request":
        funds.status["F1"] = BadRequest("unsupported")
    else:
        monkeypatch.delattr(vexdatac.fund, "get_transaction_status")
    bars = VexdataNavDayBars("unit").get_bars("F1")
    assert len(bars.dtype.names) == 14 and "suspended" not in bars.dtype.names
    assert_same_bars(bars, reference_bars(nav, "unit_net_value", accrued=False))


def test_status_in_nav_frame_is_replaced_and_service_frame_untouched(funds):
    nav = nav_frame(DAYS, [1.0, 1.1, 1.2, 1.3, 1.4], subscribe_status=["Close"] * 5, redeem_status=["Close"] * 5)
    snapshot = nav.copy()
    funds.nav["F1"] = nav
    funds.status["F1"] = status_frame("F1", DAYS, ["Open"] * 5, ["Open"] * 5)
    bars = VexdataNavDayBars("unit").get_bars("F1")
    assert set(bars["subscribe_status"]) == {b"Open"} and not bars["suspended"].any()
    pd.testing.assert_frame_equal(nav, snapshot)


def test_empty_join_gives_empty_array_of_the_base_fields(funds):
    funds.nav["F1"] = nav_frame(DAYS[:2], [1.0, 1.1])
    funds.status["F1"] = status_frame("F1", DAYS[3:], ["Open"] * 2, ["Open"] * 2)
    bars = VexdataNavDayBars("unit").get_bars("F1")
    assert len(bars) == 0
    assert list(bars.dtype.names) == NAV_FIELDS
    assert [bars.dtype[n].str for n in NAV_FIELDS] == ["<u8"] + ["<f8"] * 7


@pytest.mark.parametrize("nav, status, message", [
    (None, None, "基金标的F1 在vexdata.fund.get_nav无数据"),
    ("empty", None, "基金标的F1 在vexdata.fund.get_nav无数据"),
    ("ok", None, "基金标的F1 在vexdata.fund.get_transaction_status数据"),
    ("ok", "empty", "基金标的F1 在vexdata.fund.get_transaction_status数据"),
])
def test_missing_data_errors_are_not_cached(funds, nav, status, message):
    frame = nav_frame(DAYS, [1.0] * 5)
    funds.nav["F1"] = {None: None, "empty": frame.iloc[:0], "ok": frame}[nav]
    funds.status["F1"] = status_frame("F1", DAYS[:0], [], []) if status == "empty" else None
    store = VexdataNavDayBars("unit")
    for method in (store.get_bars, store.get_date_range):
        with pytest.raises(ValueError) as info:
            method("F1")
        assert str(info.value) == message
    # the data arrives: nothing of the failures was kept
    funds.nav["F1"] = frame
    funds.status["F1"] = status_frame("F1", DAYS, ["Open"] * 5, ["Open"] * 5)
    assert len(store.get_bars("F1")) == 5


def test_service_requests_and_caching(funds):
    funds.nav["F1"] = nav_frame(DAYS, [1.0] * 5)
    funds.status["F1"] = status_frame("F1", DAYS, ["Open"] * 5, ["Open"] * 5)
    store = VexdataNavDayBars("unit")
    first = store.get_bars("F1")
    assert store.get_bars("F1") is first
    assert store.get_bars(order_book_id="F1") is not None
    assert funds.count("get_nav") == 2  # the keyword call is its own cache entry
    nav_call = next(c for c in funds.calls if c[0] == "get_nav")
    assert nav_call[1] == ("F1",) and nav_call[2] == {"start_date": "20050104", "end_date": "29991231"}
    # a second store has its own entries; status frames are cached separately
    other = VexdataNavDayBars("adjusted")
    assert other.get_bars("F1") is not first
    store.get_date_range("F1")
    store.get_date_range("F1")
    assert funds.count("get_nav") == 5  # _get_nav itself is never cached
    assert funds.count("get_transaction_status") == 2  # once per store


def test_date_range_uses_joined_frame(funds):
    funds.nav["F1"] = nav_frame(DAYS, [1.0] * 5)
    funds.status["F1"] = status_frame("F1", DAYS[2:], ["Open"] * 3, ["Open"] * 3)
    first, last = VexdataNavDayBars("unit").get_date_range("F1")
    assert (first, last) == (20210106000000, 20210108000000)
    assert type(first) is int


def test_date_range_of_an_empty_join_is_an_index_error(funds):
    funds.nav["F1"] = nav_frame(DAYS[:2], [1.0, 1.1])
    funds.status["F1"] = status_frame("F1", DAYS[3:], ["Open"] * 2, ["Open"] * 2)
    with pytest.raises(IndexError, match="F1"):
        VexdataNavDayBars("unit").get_date_range("F1")


def test_other_service_errors_propagate(funds):
    funds.nav["F1"] = nav_frame(DAYS, [1.0] * 5)
    funds.status["F1"] = ConnectionError("down")
    with pytest.raises(ConnectionError):
        VexdataNavDayBars("unit").get_bars("F1")


def test_unknown_instrument_is_a_clear_error(funds):
    funds.nav["ZZ"] = nav_frame(DAYS, [1.0] * 5)
    funds.status["ZZ"] = status_frame("ZZ", DAYS, ["Open"] * 5, ["Open"] * 5)
    with pytest.raises(ValueError, match="ZZ"):
        VexdataNavDayBars("unit").get_bars("ZZ")


@pytest.mark.parametrize("args, message", [
    (("Unit",), "mod fund 参数fund_nav_type输入错误(Unit),请输入:unit (单位净值) / adjusted (复权净值)"),
    (("",), "mod fund 参数fund_nav_type输入错误(),请输入:unit (单位净值) / adjusted (复权净值)"),
    (("bad", "nobody"), "mod fund 参数fund_nav_type输入错误(bad),请输入:unit (单位净值) / adjusted (复权净值)"),
    (("unit", "RETAIL"), "investor(投资者身份)可选为institution(机构)/retail(个人)，当前为RETAIL"),
])
def test_constructor_validation(args, message):
    with pytest.raises(ValueError) as info:
        VexdataNavDayBars(*args)
    assert str(info.value) == message


def test_class_layout():
    store = VexdataNavDayBars("adjusted", investor="retail")
    assert (store._nav_type, store.investor) == ("adjusted_net_value", "retail")
    assert VexdataNavDayBars("unit").investor == "institution"
    assert module.START_DATE == "20050104" and module.END_DATE == "29991231"
    assert BaseNavDayBars.START_DATE == "20050104" and BaseNavDayBars.END_DATE == "29991231"
    assert list(BaseNavDayBars.FIELD_MAP) == NAV_FIELDS
    assert list(BaseNavDayBars.FIELD_MAP_ACCRUED_DAILY) == NAV_FIELDS + [
        "open", "high", "low", "close", "prev_close", "isnan", "daily_profit", "weekly_yield"]
    assert BaseNavDayBars.__doc__ == "基金日线信息"
    assert VexdataNavDayBars.__doc__ == "基金日线信息 vexdata 版本"
    with pytest.raises(TypeError, match="get_date_range"):
        BaseNavDayBars("unit")


def test_value_functions_are_usable_and_agree_with_native_fill(env, service):
    # A store whose maps hold plain Python callables goes through numpy's
    # own assignment; its bars must equal those of the native fill.
    service.funds = [fund_object("F1", "f"), fund_object("MM", "m", accrued_daily=True)]
    env.data_source.register_instruments_store(FundCatalogStore())
    frames = {
        "F1": joined(nav_frame(DAYS, [1.0, np.nan, 1.2, 1.3, 1.4], subscribe_lower_limit=[10.0] * 5),
                     status_frame("F1", DAYS, ["Open", "Close", "Close", "Open", "Limited"],
                                  ["Open", "Close", "Open", "Open", "Limited"])),
        "MM": money_nav(DAYS, [0.5, np.nan, 0.7, 0.6, 0.5]),
    }

    def plain(map_):
        return {k: (t, (lambda f, fn=fn: fn(f))) for k, (t, fn) in map_.items()}

    class FrameBars(BaseNavDayBars):
        def _get_nav(self, order_book_id):
            return frames[order_book_id]

        def get_date_range(self, order_book_id):
            raise NotImplementedError

    class PlainBars(FrameBars):
        FIELD_MAP = plain(BaseNavDayBars.FIELD_MAP)
        FIELD_MAP_ACCRUED_DAILY = plain(BaseNavDayBars.FIELD_MAP_ACCRUED_DAILY)

    for fund_id in frames:
        native, generic = FrameBars("unit").get_bars(fund_id), PlainBars("unit").get_bars(fund_id)
        assert_same_bars(native, generic)
    assert BaseNavDayBars.FIELD_MAP["subscribe_lower_limit"][1](frames["F1"]).tolist() == [10.0] * 5
    with pytest.raises(NotImplementedError):
        BaseNavDayBars._get_nav(FrameBars("unit"), "F1")


class _FrameBars(BaseNavDayBars):
    """Bars of frames handed in directly, without the data service."""

    frames = {}

    def _get_nav(self, order_book_id):
        return self.frames[order_book_id]

    def get_date_range(self, order_book_id):
        raise NotImplementedError


def test_status_columns_in_read_only_memory(env, service, monkeypatch):
    # pandas hands out read-only views of a frame's object columns
    # (copy-on-write); building the bars only reads them.
    service.funds = [fund_object("F1", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    columns = {"unit_net_value": np.array([1.0, 1.1, 1.2])}
    for name, values in (("subscribe_status", ["Close", "Open", "Suspended"]),
                         ("redeem_status", ["Close", "Close", "Suspended"])):
        columns[name] = np.array(values, dtype=object)
        columns[name].flags.writeable = False
    frame = pd.DataFrame(columns, index=pd.DatetimeIndex(DAYS[:3]), copy=False)
    if frame["redeem_status"].to_numpy(dtype=object).flags.writeable:
        pytest.skip("this pandas copies the column")
    monkeypatch.setattr(_FrameBars, "frames", {"F1": frame})
    bars = _FrameBars("unit").get_bars("F1")
    assert bars["suspended"].tolist() == [True, False, True]
    assert_same_bars(bars, reference_bars(frame, "unit_net_value", accrued=False))


def test_operations_in_definition_order():
    def operations(cls):
        return [k for k in vars(cls) if k in {"__init__", "_get_nav", "get_bars", "_get_transaction_status",
                                              "get_date_range", "FIELD_MAP", "FIELD_MAP_ACCRUED_DAILY",
                                              "START_DATE", "END_DATE"}]

    assert operations(BaseNavDayBars) == ["FIELD_MAP", "FIELD_MAP_ACCRUED_DAILY", "START_DATE", "END_DATE",
                                          "__init__", "_get_nav", "get_bars"]
    assert operations(VexdataNavDayBars) == ["__init__", "_get_nav", "_get_transaction_status", "get_date_range"]
