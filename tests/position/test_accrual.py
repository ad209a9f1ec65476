"""Daily-accruing funds: the daily-profit table and the income turned into units."""
import datetime as dt
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tessel.const import TRADING_CALENDAR_TYPE
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int

import tessel_mod_fund.position as pm
from position_helpers import TRADING_DAYS, d, nav_bars


def profit_bars(pairs):
    bars = np.zeros(len(pairs), dtype=[("datetime", "<u8"), ("close", "<f8"), ("daily_profit", "<f8")])
    bars["datetime"] = [convert_date_to_int(day) for day, _ in pairs]
    bars["close"] = 1.0
    bars["daily_profit"] = [p for _, p in pairs]
    return bars


def reference_table(bars, calendar):
    """The table as the pandas formulation builds it (merge_asof forward + groupby sum)."""
    df = pd.DataFrame({"datetime": bars["datetime"], "daily_profit": bars["daily_profit"]})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        df["datetime"] = pd.to_datetime(df["datetime"] / 1000000, format="%Y%m%d")
    trading_dates = pd.DataFrame({"trading_date": calendar})
    # merge_asof refuses keys of different datetime resolutions
    trading_dates["trading_date"] = trading_dates["trading_date"].astype(df["datetime"].dtype)
    df = pd.merge_asof(df, trading_dates, left_on="datetime", right_on="trading_date", direction="forward")
    df = df.groupby("trading_date", as_index=False).agg({"daily_profit": "sum"})
    df["trading_date"] = df["trading_date"].apply(convert_date_to_date_int)
    return df.to_records(index=False)


def compensated_sum(values):
    """pandas' grouped float sum: Kahan compensation, NaN skipped, an infinite addend kept."""
    total = compensation = 0.0
    for value in values:
        if value != value:
            continue
        y = value - compensation
        t = total + y
        compensation = t - total - y
        if compensation != compensation:
            compensation = 0.0
        total = t
    return total


def test_weekend_profits_go_to_the_next_trading_day(run):
    run.bars.bars["MMF"] = profit_bars([(d("2020-01-03"), 0.5), (d("2020-01-04"), 0.6),
                                        (d("2020-01-05"), 0.7), (d("2020-01-06"), 0.4)])
    table = pm._get_daily_profit("MMF")
    assert table.dtype.names == ("trading_date", "daily_profit")
    assert isinstance(table, np.recarray)
    assert table["trading_date"].tolist() == [20200103, 20200106]
    assert table["daily_profit"].tolist() == [0.5, compensated_sum([0.6, 0.7, 0.4])]
    assert table["daily_profit"][1] == pytest.approx(1.7, abs=1e-15)
    # cached per fund: the same object, the bars read once
    assert pm._get_daily_profit("MMF") is table and run.bars.calls == ["MMF"]


# Calendar: business days of a window with random holidays; bars: random
# dates (weekends, holidays, before the first and after the last calendar
# date, several bars on one date) with NaN and infinite profits.
@st.composite
def calendars_and_bars(draw, extreme=False):
    days = pd.date_range("2019-12-20", "2020-03-10")
    business = [x for x in days if x.weekday() < 5]
    keep = draw(st.lists(st.booleans(), min_size=len(business), max_size=len(business)))
    calendar = [x for x, k in zip(business, keep) if k and x >= pd.Timestamp("2020-01-01")
                and x <= pd.Timestamp("2020-02-28")]
    if not calendar:
        calendar = [pd.Timestamp("2020-01-02")]
    picks = draw(st.lists(st.integers(0, len(days) - 1), min_size=1, max_size=60))
    edge_values = [np.inf, -np.inf, 0.1, 0.2, 0.3] + ([1e16, -1e16, 1e-17] if extreme else [])
    profit = st.one_of(st.floats(-5, 5, allow_nan=False), st.just(np.nan), st.sampled_from(edge_values))
    values = draw(st.lists(profit, min_size=len(picks), max_size=len(picks)))
    pairs = [(days[i].date(), v) for i, v in zip(sorted(picks), values)]
    return pd.DatetimeIndex(calendar), pairs


def table_for(run, calendar, pairs):
    bars = profit_bars(pairs)
    run.bars.bars["X"] = bars
    run.env.data_source.get_trading_calendars = lambda: {TRADING_CALENDAR_TYPE.EXCHANGE: calendar}
    pm._get_trading_dates.cache_clear()
    pm._get_daily_profit.cache_clear()
    return bars, pm._get_daily_profit("X")


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=calendars_and_bars())
def test_table_equals_the_pandas_formulation(run, data):
    calendar, pairs = data
    bars, ours = table_for(run, calendar, pairs)
    expected = reference_table(bars, calendar)
    assert ours.dtype == np.dtype((np.record, [("trading_date", "<i8"), ("daily_profit", "<f8")]))
    assert len(ours) == len(expected)
    if len(expected):
        assert expected.dtype == ours.dtype
        assert ours["trading_date"].tolist() == expected["trading_date"].tolist()
        # pandas 3 may sum NaN-free sorted groups with numpy's vectorised
        # reduction, whose last bit depends on memory alignment
        np.testing.assert_allclose(ours["daily_profit"], expected["daily_profit"], rtol=1e-13, atol=1e-13)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=calendars_and_bars(extreme=True))
def test_table_sums_are_compensated_bit_for_bit(run, data):
    calendar, pairs = data
    _, ours = table_for(run, calendar, pairs)
    cal = [x.date() for x in calendar]
    groups = {}
    for day, value in pairs:
        later = [c for c in cal if c >= day]
        if later:
            groups.setdefault(later[0], []).append(value)
    assert ours["trading_date"].tolist() == [c.year * 10000 + c.month * 100 + c.day for c in sorted(groups)]
    expected = np.array([compensated_sum(groups[c]) for c in sorted(groups)], dtype="<f8")
    assert ours["daily_profit"].tobytes() == expected.tobytes()


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_calendar_resolution_does_not_matter(run, unit):
    calendar = pd.DatetimeIndex(TRADING_DAYS).as_unit(unit)
    run.env.data_source.get_trading_calendars = lambda: {TRADING_CALENDAR_TYPE.EXCHANGE: calendar}
    run.bars.bars["MMF"] = profit_bars([(d("2020-01-10"), 0.25), (d("2020-01-11"), 0.5)])
    table = pm._get_daily_profit("MMF")
    assert table["trading_date"].tolist() == [20200113] and table["daily_profit"].tolist() == [0.75]
    frame = pm._get_trading_dates()
    assert list(frame.columns) == ["trading_date"] and frame["trading_date"].equals(pd.Series(calendar))
    assert pm._get_trading_dates() is frame  # built once


@pytest.mark.parametrize("datetimes,message", [
    ([20200106000000, 20200103000000], "not in date order"),
    ([20200230000000], "not a valid date"),
])
def test_unusable_bars_are_refused(run, datetimes, message):
    bars = np.zeros(len(datetimes), dtype=[("datetime", "<u8"), ("daily_profit", "<f8")])
    bars["datetime"] = datetimes
    run.bars.bars["X"] = bars
    with pytest.raises(ValueError, match=message):
        pm._get_daily_profit("X")


def mmf(run, units=100000.0, profits=None):
    days = TRADING_DAYS
    run.bars.bars["MMF"] = nav_bars(days, 1.0, daily_profit=profits if profits is not None
                                    else np.full(len(days), 0.5))
    return run.position("MMF", init_quantity=units, init_price=1.0)


def test_income_becomes_units_at_once(run):
    position = mmf(run)
    assert position.before_trading(d("2020-01-14")) == 0
    assert (position._quantity, position._old_quantity, position._logical_old_quantity) == (100005.0,) * 3
    assert position.subscribe_queue == [] and position.quantity == 100005.0


def test_a_losing_day_takes_units_away_at_once(run):
    profits = np.where(np.array(TRADING_DAYS) == d("2020-01-14"), -0.25, 0.5)
    position = mmf(run, profits=profits)
    assert position.before_trading(d("2020-01-14")) == 0
    # 100,000 units at 1.0 lose 100,000 / 10,000 x 0.25
    assert (position._quantity, position._old_quantity, position._logical_old_quantity) == (99997.5,) * 3
    assert position.subscribe_queue == [] and position.quantity == 99997.5


def test_income_waits_behind_an_earlier_subscription(make_run):
    run = make_run(fund={"subscription_receiving_days": 2})
    position = mmf(run)
    position.apply_trade(run.subscribe(d("2020-01-13"), 1000.0))  # arrives Wednesday 15
    position.before_trading(d("2020-01-14"))
    assert position._quantity == 101005.0
    assert position._old_quantity == position._logical_old_quantity == 100000.0
    assert position.subscribe_queue == [(dt.datetime(2020, 1, 15), 1000.0), (dt.datetime(2020, 1, 14), 5.0)]
    position.before_trading(d("2020-01-15"))
    # income of the 15th is still on the 100,000 units received before that day
    assert position._old_quantity == position._quantity == 101010.0 and position.subscribe_queue == []


def test_queued_units_earn_nothing(run):
    position = mmf(run, units=0)
    position.apply_trade(run.subscribe(d("2020-01-13"), 1000.0))
    run.bars.calls.clear()
    assert position.before_trading(d("2020-01-14")) == 0
    assert position._quantity == 1000.0 and run.bars.calls == []


def test_fund_without_accrual_reads_no_bars(run):
    position = run.position("F1", init_quantity=100.0, init_price=1.0)
    assert position._handle_accrued_daily_fund_dividend(d("2020-01-14")) == 0
    assert run.bars.calls == []


@pytest.mark.parametrize("day", ["2020-01-15", "2020-02-03"])
def test_missing_daily_profit_is_an_error(run, day):
    # bars end on the 14th; a gap from the 16th to the 31st
    days = [x for x in TRADING_DAYS if x <= d("2020-01-14") or x >= d("2020-02-03")]
    days = [x for x in days if x != d("2020-02-03")]
    run.bars.bars["MMF"] = nav_bars(days, 1.0, daily_profit=np.full(len(days), 0.5))
    position = run.position("MMF", init_quantity=100000.0, init_price=1.0)
    with pytest.raises(RuntimeError) as info:
        position.before_trading(d(day))
    assert str(info.value) == "fund daily_profit 应每天都有对应的数据"
    assert position._quantity == 100000.0 and position.subscribe_queue == []
