"""A straightforward pandas/numpy construction of fund day bars, to compare
the native stores with."""
import numpy as np

from tessel.utils.datetime_func import convert_date_to_int


def reference_bars(frame, nav_column, accrued, exchange=None):
    nan = np.nan
    fields = {"datetime": ("<u8", convert_date_to_int(frame.index))}
    for name in ("volume", "total_turnover", "limit_up", "limit_down"):
        fields[name] = ("<f8", nan)
    for name in ("subscribe_upper_limit", "subscribe_lower_limit", "redeem_lower_limit"):
        fields[name] = ("<f8", frame[name] if name in frame.columns else nan)
    if accrued:
        fields["open"] = ("<u8", 1)
        for name in ("high", "low", "close", "prev_close"):
            fields[name] = ("<f8", 1.0)
        fields["isnan"] = ("<f8", np.isnan(frame["daily_profit"]))
        fields["daily_profit"] = ("<f8", frame["daily_profit"])
        fields["weekly_yield"] = ("<f8", frame["weekly_yield"])
    else:
        nav = frame[nav_column]
        for name in ("open", "high", "low", "close"):
            fields[name] = ("<f8", nav)
        fields["prev_close"] = ("<f8", nav.shift(1).values)
        fields["isnan"] = ("<f8", np.isnan(nav.astype(float)))
    if "subscribe_status" in frame.columns:
        fields["suspended"] = ("bool", (frame["redeem_status"] == frame["subscribe_status"])
                               & frame["redeem_status"].isin(["Suspended", "Close"]))
        fields["subscribe_status"] = ("S10", frame["subscribe_status"].values)
        fields["redeem_status"] = ("S10", frame["redeem_status"].values)
    bars = np.empty(len(frame), dtype=[(k, t) for k, (t, _) in fields.items()])
    for name, (_, value) in fields.items():
        bars[name] = value
    if exchange and accrued:
        for name in ("open", "high", "low", "close", "prev_close"):
            bars[name] = 100
    return bars


def assert_same_bars(actual, expected):
    assert actual.dtype == expected.dtype, (actual.dtype, expected.dtype)
    assert len(actual) == len(expected)
    for name in expected.dtype.names:
        a, e = actual[name], expected[name]
        assert a.dtype == e.dtype, name
        if a.dtype.kind == "f":
            np.testing.assert_array_equal(np.isnan(a), np.isnan(e), err_msg=name)
        np.testing.assert_array_equal(a, e, err_msg=name)


def joined(nav, status):
    if status is None:
        return nav
    return nav.join(status.reset_index(level="order_book_id", drop=True), how="inner")
