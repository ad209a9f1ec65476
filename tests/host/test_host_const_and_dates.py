import datetime as dt

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from tessel.const import CustomEnum, DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, RUN_TYPE, SIDE
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int

STATUS = CustomEnum("STATUS", [("OPEN", "Open"), ("LIMITED", "Limited")])


@pytest.mark.parametrize("other, equal", [
    ("Open", True), (b"Open", True), (np.bytes_(b"Open"), True), (np.str_("Open"), True),
    ("open", False), (b"Limited", False), (b"", False), (None, False), (float("nan"), False), (1, False),
])
def test_member_compares_with_text_and_bytes_both_ways(other, equal):
    member = STATUS.OPEN
    assert (member == other) is equal
    assert (other == member) is equal
    assert (member != other) is (not equal)
    assert (other != member) is (not equal)


def test_member_hashes_like_its_value():
    assert DEFAULT_ACCOUNT_TYPE.STOCK in {"STOCK": 1}
    assert "STOCK" in {DEFAULT_ACCOUNT_TYPE.STOCK: 1}
    assert {INSTRUMENT_TYPE.PUBLIC_FUND: "x"}["PublicFund"] == "x"
    assert DEFAULT_ACCOUNT_TYPE.FUTURE not in {"STOCK": 1}


def test_member_text_forms():
    assert str(RUN_TYPE.BACKTEST) == "b"
    assert "{}|{:>4}".format(SIDE.BUY, SIDE.SELL) == "BUY|SELL"
    assert RUN_TYPE("b") is RUN_TYPE.BACKTEST


def test_subclass_through_metaclass_keeps_equality():
    cls = type(CustomEnum)("FLAG", (CustomEnum,), type(CustomEnum).__prepare__("FLAG", (CustomEnum,)))
    assert issubclass(cls, CustomEnum)

    class Color(CustomEnum):
        RED = "Red"

    assert Color.RED == b"Red" and hash(Color.RED) == hash("Red")


UNITS = ["s", "ms", "us", "ns"]
STAMPS = ["2020-01-02 09:30:05", "2021-12-31 00:00:00", "1999-01-01 23:59:59"]
EXPECTED = np.array([20200102093005, 20211231000000, 19990101235959])


@pytest.mark.parametrize("unit", UNITS)
@pytest.mark.parametrize("form", ["series", "dt", "index", "ndarray"])
def test_vectorised_conversion_any_resolution(unit, form):
    series = pd.Series(pd.to_datetime(STAMPS)).astype("datetime64[{}]".format(unit))
    value = {"series": series, "dt": series.dt, "index": pd.DatetimeIndex(series),
             "ndarray": series.to_numpy()}[form]
    full = convert_date_to_int(value)
    day = convert_date_to_date_int(value)
    assert isinstance(full, np.ndarray) and full.dtype == np.int64
    np.testing.assert_array_equal(full, EXPECTED)
    np.testing.assert_array_equal(day, EXPECTED // 1000000)


@pytest.mark.parametrize("unit", ["s", "ms", "us"])
def test_dates_beyond_nanosecond_range(unit):
    # 2999-12-31 (the far-future "never delisted" date) does not fit in ns.
    series = pd.Series(np.array(["2999-12-31", "1700-03-01"], dtype="datetime64[{}]".format(unit)))
    np.testing.assert_array_equal(convert_date_to_date_int(series.dt), [29991231, 17000301])
    assert convert_date_to_int(np.datetime64("2999-12-31T01:02:03", unit)) == 29991231010203


@pytest.mark.parametrize("value", [
    dt.date(2020, 3, 4), dt.datetime(2020, 3, 4, 10, 11, 12), pd.Timestamp("2020-03-04 10:11:12"),
    np.datetime64("2020-03-04T10:11:12"), "2020-03-04 10:11:12",
])
def test_scalar_conversion_returns_python_int(value):
    day = convert_date_to_date_int(value)
    full = convert_date_to_int(value)
    assert type(day) is int and type(full) is int
    assert day == 20200304
    assert full in (20200304000000, 20200304101112)


def test_timezone_aware_index_uses_local_wall_time():
    idx = pd.DatetimeIndex(["2020-01-01 08:00"], tz="Asia/Shanghai")
    assert convert_date_to_int(idx).tolist() == [20200101080000]


@pytest.mark.parametrize("bad, error", [
    (pd.NaT, ValueError), (pd.Series(pd.to_datetime(["2020-01-01", None])), ValueError),
    (20200101, TypeError), (1.5, TypeError), ("not a date", ValueError),
])
def test_conversion_refuses_missing_and_ambiguous_input(bad, error):
    with pytest.raises(error):
        convert_date_to_int(bad)


# No deadline: on a shared machine one slow example is not a fault.
@settings(deadline=None)
@given(st.datetimes(min_value=dt.datetime(1900, 1, 1), max_value=dt.datetime(2262, 1, 1)))
def test_conversion_matches_strftime(moment):
    moment = moment.replace(microsecond=0)
    assert convert_date_to_int(moment) == int(moment.strftime("%Y%m%d%H%M%S"))
    assert convert_date_to_int(pd.DatetimeIndex([moment]))[0] == int(moment.strftime("%Y%m%d%H%M%S"))


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_whole_index_conversion_matches_the_calendar_fields(unit):
    # before and after the epoch, with times of day, leap day, far future
    texts = ["1969-12-31 01:02:03", "1970-01-01 00:00:00", "1999-12-31 23:59:59",
             "2020-02-29 12:00:00", "2200-12-31 10:00:00"]
    index = pd.DatetimeIndex(pd.to_datetime(texts)).as_unit(unit)
    expected = [int(ts.strftime("%Y%m%d%H%M%S")) for ts in index]
    assert convert_date_to_int(index).tolist() == expected
    assert convert_date_to_date_int(pd.Series(index)).tolist() == [e // 1000000 for e in expected]
    with pytest.raises(ValueError, match="position 1"):
        convert_date_to_int(pd.DatetimeIndex([index[0], pd.NaT]))


def _per_element(arr):
    """YYYYMMDDhhmmss of each element, from its raw count with Python integers and datetime."""
    unit, step = np.datetime_data(arr.dtype)
    per_second = {"s": 1, "ms": 10 ** 3, "us": 10 ** 6, "ns": 10 ** 9}[unit] // step
    out = []
    for raw in arr.view(np.int64).tolist():
        moment = dt.datetime(1970, 1, 1) + dt.timedelta(seconds=raw // per_second)
        out.append(((moment.year * 100 + moment.month) * 100 + moment.day) * 1000000
                   + (moment.hour * 100 + moment.minute) * 100 + moment.second)
    return out


@pytest.mark.parametrize("unit, low, high", [
    # each unit over the years its int64 counts can hold, before and after 1970
    ("s", "0001-01-01", "9999-12-31"), ("ms", "0001-01-01", "9999-12-31"),
    ("us", "0001-01-01", "9999-12-31"), ("ns", "1677-09-22", "2262-04-10"),
])
@pytest.mark.parametrize("seed", [1, 2])
def test_whole_array_conversion_matches_per_element_on_random_dates(unit, low, high, seed):
    rng = np.random.default_rng(seed)
    bounds = np.array([low, high], dtype="datetime64[{}]".format(unit)).view(np.int64)
    raw = rng.integers(bounds[0], bounds[1], 2000)
    # round days, leap days and the last instant of a day must be among them
    extra = np.array(["2000-02-29", "1900-03-01", "1969-12-31T23:59:59", "1970-01-01"],
                     dtype="datetime64[{}]".format(unit)).view(np.int64)
    arr = np.concatenate([raw, extra, extra - 1]).view("datetime64[{}]".format(unit))
    expected = _per_element(arr)
    for value in (arr, pd.DatetimeIndex(arr), pd.Series(arr)):
        full = convert_date_to_int(value)
        assert full.dtype == np.int64 and full.tolist() == expected
        assert convert_date_to_date_int(value).tolist() == [e // 1000000 for e in expected]


@pytest.mark.parametrize("dtype", ["datetime64[D]", "datetime64[h]", "datetime64[m]", "datetime64[10ms]",
                                   "datetime64[W]", "datetime64[M]", "datetime64[7s]"])
def test_other_datetime64_units_match_their_second_values(dtype):
    arr = np.array(["1969-12-29T05:06:07", "2020-02-29T23:59:59", "2104-03-01T00:00:00"],
                   dtype="datetime64[s]").astype(dtype)
    assert convert_date_to_int(arr).tolist() == _per_element(arr.astype("datetime64[s]"))
    with pytest.raises(ValueError, match="position 2"):
        convert_date_to_int(np.concatenate([arr[:2], np.array(["NaT"], dtype=dtype)]))
