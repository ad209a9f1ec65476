"""The stores' native paths give what the plain pandas/Python versions of
their documented behaviour give, on random tables."""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

import vexdatac.fund
from bar_reference import assert_same_bars, joined, reference_bars
from store_fakes import TRADING_DAYS, fund_object, nav_frame, status_frame
from store_reference import ENTRY_PROPERTIES, ReferenceCatalog, reference_dividend
from tessel_mod_fund.data import FundCatalogStore, VexdataNavDayBars, VexdataPayoutHistory


# --- payout history ------------------------------------------------------------------------------------------

def random_dividends(rng, ids, rows, unit="ns"):
    """A service dividend table: rows of random funds in random order, dates around the test calendar."""
    days = pd.date_range("2021-01-05", "2021-01-29")  # weekends and a holiday included
    owner = rng.integers(0, len(ids), rows)
    book = days[rng.integers(0, len(days), rows)]
    index = pd.MultiIndex.from_arrays(
        [pd.Index(np.array(ids, dtype=object)[owner]), pd.DatetimeIndex(book + pd.Timedelta(days=2)).as_unit(unit)],
        names=["order_book_id", "ex_dividend_date"])
    return pd.DataFrame({"book_closure_date": pd.DatetimeIndex(book).as_unit(unit).to_numpy(),
                         "payable_date": pd.DatetimeIndex(book + pd.Timedelta(days=4)).as_unit(unit).to_numpy(),
                         "dividend_before_tax": np.round(rng.uniform(0.0, 1.0, rows), 4)}, index=index)


def assert_same_records(actual, expected):
    assert type(actual) is type(expected)
    assert actual.dtype == expected.dtype
    assert actual.tolist() == expected.tolist()


@pytest.mark.parametrize("seed, rows, unit", [(0, 1, "ns"), (1, 40, "ns"), (2, 300, "s"), (3, 300, "us")])
def test_dividends_equal_the_row_mask_for_every_fund(service, env, seed, rows, unit):
    rng = np.random.default_rng(seed)
    ids = [f"{i:06d}" for i in range(25)]
    service.funds = [fund_object(i, "s" + i) for i in ids]
    service.dividends = random_dividends(rng, ids[:20], rows, unit)  # the last five funds pay nothing
    store = VexdataPayoutHistory()
    asked = [str(i) for i in rng.permutation(ids + ["NOFUND", ""])]
    asked += [np.str_(ids[0]), np.str_("NOFUND")]  # a text subclass, as numpy hands out
    for order_book_id in asked:
        expected = reference_dividend(store.dividend_df, order_book_id, env.data_proxy)
        assert_same_records(store.get_dividend(order_book_id), expected)


@pytest.mark.parametrize("ids, asked", [
    ([1, 2, 3], [1, 2, 4, "1"]),                   # ids that are not texts
    (["A", None, "B"], ["A", "B", None, "None"]),  # a missing id among texts
])
def test_dividends_of_unusual_fund_ids_equal_the_row_mask(service, env, ids, asked):
    frame = random_dividends(np.random.default_rng(7), ["A", "B", "C"], 30)
    positions = np.random.default_rng(8).integers(0, len(ids), len(frame))
    frame.index = pd.MultiIndex.from_arrays([pd.Index([ids[p] for p in positions], dtype=object),
                                             frame.index.get_level_values(1)], names=frame.index.names)
    service.funds = [fund_object("A", "a")]
    service.dividends = frame
    store = VexdataPayoutHistory()
    for order_book_id in asked:
        assert_same_records(store.get_dividend(order_book_id),
                            reference_dividend(store.dividend_df, order_book_id, env.data_proxy))


def test_dividends_follow_a_replaced_table(service, env):
    rng = np.random.default_rng(4)
    service.funds = [fund_object("A", "a"), fund_object("B", "b")]
    service.dividends = random_dividends(rng, ["A", "B"], 10)
    store = VexdataPayoutHistory()
    store.get_dividend("A")
    store.dividend_df = VexdataPayoutHistory().dividend_df.iloc[::-1]
    assert_same_records(store.get_dividend("B"), reference_dividend(store.dividend_df, "B", env.data_proxy))


def test_dividend_table_rows_per_fund_keep_service_order(service, env):
    # Ex-dates out of order within one fund: the records come in row order, not date order.
    service.funds = [fund_object("A", "a")]
    index = pd.MultiIndex.from_arrays([["A", "B", "A", "A"], pd.to_datetime(
        ["2021-01-20", "2021-01-05", "2021-01-06", "2021-01-13"])], names=["order_book_id", "ex_dividend_date"])
    service.dividends = pd.DataFrame({"book_closure_date": pd.to_datetime(["2021-01-19", "2021-01-07", "2021-01-05",
                                                                            "2021-01-12"]),
                                      "payable_date": pd.to_datetime(["2021-01-22"] * 4),
                                      "dividend_before_tax": [0.3, 9.9, 0.1, 0.2]}, index=index)
    records = VexdataPayoutHistory().get_dividend("A")
    assert records["dividend_cash_before_tax"].tolist() == [0.3, 0.1, 0.2]
    assert records["announcement_date"].tolist() == [20210119, 20210105, 20210112]


# --- fund catalogue ------------------------------------------------------------------------------------------

def random_catalogue(rng, n):
    """Fund objects with repeated ids, shared symbols, symbols that are other funds' ids, empty dates."""
    funds = []
    for k in range(n):
        order_book_id = f"{int(rng.integers(0, n * 3 // 4)):05d}"
        symbol = f"{int(rng.integers(0, n * 3 // 4)):05d}" if rng.random() < 0.2 else f"S{int(rng.integers(0, n))}"
        attrs = {"listed_date": [None, "", dt.datetime(2012, 3, 5)][int(rng.integers(0, 3))],
                 "de_listed_date": [None, "", dt.datetime(2020, 6, 30)][int(rng.integers(0, 3))],
                 "fund_type": str(rng.choice(["Stock", "Bond", "Money"])), "serial": k}
        flag = int(rng.integers(0, 4))
        if flag == 1:
            attrs["accrued_daily"] = bool(rng.integers(0, 2))
        elif flag == 2:
            attrs["accrued_type"] = str(rng.choice(["", "daily"]))
        if rng.random() < 0.1:
            attrs["type"] = "Stock"  # the entry's own type never shows
        funds.append(fund_object(order_book_id, symbol, **attrs))
    return funds


def same_entries(native, reference):
    native, reference = list(native), list(reference)
    assert len(native) == len(reference)
    for a, b in zip(native, reference):
        assert a.__dict__ == b.__dict__
        assert a.type == b.type
        for name in ENTRY_PROPERTIES:
            assert getattr(a, name) == getattr(b, name), name


@pytest.mark.parametrize("seed", range(4))
def test_catalogue_equals_the_plain_dict_version(service, seed):
    rng = np.random.default_rng(seed)
    service.funds = random_catalogue(rng, 60)
    store, reference = FundCatalogStore(), ReferenceCatalog(vexdatac.fund)
    assert list(store._all_ins) == list(reference._all_ins)
    assert store._sym_id_map == reference._sym_id_map and list(store._sym_id_map) == list(reference._sym_id_map)
    assert list(store.all_id_and_syms) == list(reference.all_id_and_syms)
    same_entries(store.get_instruments(None), reference.get_instruments(None))
    keys = list(reference._all_ins) + list(reference._sym_id_map) + ["nothing", "S-1"]
    asked = [keys[int(i)] for i in rng.integers(0, len(keys), 150)]
    same_entries(store.get_instruments(asked), reference.get_instruments(asked))
    same_entries(store.get_instruments(iter(asked)), reference.get_instruments(iter(asked)))


def test_catalogue_lookup_of_unhashable_element_fails_like_a_dict(service):
    service.funds = [fund_object("A", "a")]
    with pytest.raises(TypeError):
        list(FundCatalogStore().get_instruments(["A", ["B"]]))


# --- NAV day bars: status texts ------------------------------------------------------------------------------

TEXTS = ["Open", "Suspended", "Close", "Limited", "", "AVeryLongStatusText", "tenchars10", "x" * 11]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("status_dtype", [object, "str"])
def test_status_texts_equal_numpy_assignment(service, env, seed, status_dtype):
    rng = np.random.default_rng(seed)
    days = [str(d.date()) for d in TRADING_DAYS]
    service.funds = [fund_object("F", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    subscribe = pd.array([TEXTS[i] for i in rng.integers(0, len(TEXTS), len(days))], dtype=status_dtype)
    redeem = pd.array([TEXTS[i] for i in rng.integers(0, 4, len(days))], dtype=status_dtype)
    nav = nav_frame(days, np.round(rng.uniform(0.9, 1.1, len(days)), 4))
    status = status_frame("F", days, subscribe, redeem)
    service.nav["F"], service.status["F"] = nav, status
    bars = VexdataNavDayBars("unit").get_bars("F")
    assert_same_bars(bars, reference_bars(joined(nav, status), "unit_net_value", accrued=False))


@pytest.mark.parametrize("odd", [None, np.nan, "Öffnung", 7])
def test_status_values_that_are_not_ascii_texts_equal_numpy_assignment(service, env, odd):
    days = [str(d.date()) for d in TRADING_DAYS[:4]]
    service.funds = [fund_object("F", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    subscribe = np.array(["Open", odd, "Close", "Open"], dtype=object)
    nav = nav_frame(days, [1.0, 1.1, 1.2, 1.3])
    status = status_frame("F", days, subscribe, ["Open"] * 4)
    service.nav["F"], service.status["F"] = nav, status
    try:
        expected = reference_bars(joined(nav, status), "unit_net_value", accrued=False)
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            VexdataNavDayBars("unit").get_bars("F")
        return
    assert_same_bars(VexdataNavDayBars("unit").get_bars("F"), expected)


class Status(str):
    """A text of a str subclass, as a client may hand out."""


def status_values(rng, n):
    """Status objects of many kinds: repeated texts, equal texts that are distinct objects, missing values."""
    pool = ["Open", "Suspended", "Close", "Limited", None, np.nan, 7, Status("Suspended"), Status("Close")]
    values = []
    for k in rng.integers(0, len(pool) + 3, n):
        if k < len(pool):
            values.append(pool[k])
        else:  # a new object every time, equal to a shared one
            text = ["Suspended", "Close", "Limited"][k - len(pool)]
            values.append(text[:1] + text[1:])
    return np.array(values, dtype=object)


@pytest.mark.parametrize("seed", range(3))
def test_suspended_flag_equals_pandas_on_statuses_of_every_kind(service, env, seed):
    rng = np.random.default_rng(seed)
    days = [str(d.date()) for d in pd.bdate_range("2010-01-01", periods=2000)]  # far more objects than cache slots
    service.funds = [fund_object("F", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    nav = nav_frame(days, np.round(rng.uniform(0.9, 1.1, len(days)), 4))
    status = status_frame("F", days, status_values(rng, len(days)), status_values(rng, len(days)))
    service.nav["F"], service.status["F"] = nav, status
    bars = VexdataNavDayBars("unit").get_bars("F")
    assert_same_bars(bars, reference_bars(joined(nav, status), "unit_net_value", accrued=False))
    assert 0 < bars["suspended"].sum() < len(bars)
    assert len({id(v) for v in status["redeem_status"]}) > 200


# --- NAV day bars: how the frame stores its columns ----------------------------------------------------------

def stored_as(kind, values):
    """The same values in another column storage than plain float64 / object."""
    if kind == "Float64":
        return pd.array(values, dtype="Float64")
    if kind == "float32":
        return np.asarray(values, dtype=np.float32)
    if kind == "category":
        return pd.Categorical(values)
    return values


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("storage", ["plain", "Float64", "float32", "category"])
@pytest.mark.parametrize("accrued", [False, True])
def test_bars_equal_numpy_assignment_whatever_the_column_storage(service, env, seed, storage, accrued, request):
    if accrued and storage == "Float64":
        # Known, and older than the column-by-position reading: a nullable
        # daily_profit column gives isnan 0.0 where numpy's NaN test of the
        # Series gives 1.0.  The data service only hands out float64.
        request.applymarker(pytest.mark.xfail(strict=True, reason="nullable daily_profit: isnan differs"))
    # Records on both sides of the native pass's block boundaries, NaN in
    # the NAV, and columns stored as extension arrays or other dtypes.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(513, 900))
    days = [str(d.date()) for d in pd.bdate_range("2012-01-02", periods=n)]
    service.funds = [fund_object("F", "f", accrued_daily=accrued)]
    env.data_source.register_instruments_store(FundCatalogStore())
    unit = np.round(rng.uniform(0.9, 1.1, n), 4)
    unit[rng.random(n) < 0.05] = np.nan
    extra = {}
    if accrued:
        extra = {"daily_profit": np.where(rng.random(n) < 0.1, np.nan, rng.uniform(0, 1, n)),
                 "weekly_yield": rng.uniform(1, 3, n)}
    nav = nav_frame(days, unit, **extra)
    if storage in ("Float64", "float32"):
        for column in ("unit_net_value", *extra):
            nav[column] = stored_as(storage, nav[column].to_numpy())
    statuses = np.array(["Open", "Suspended", "Close", "Limited"], dtype=object)
    sub, red = statuses[rng.integers(0, 4, n)], statuses[rng.integers(0, 4, n)]
    limits = np.where(rng.random(n) < 0.2, 1e6, np.nan)
    status = status_frame("F", days, stored_as(storage if storage == "category" else "plain", sub),
                          stored_as(storage if storage == "category" else "plain", red),
                          subscribe_upper_limit=stored_as(storage, limits) if storage != "category" else limits)
    service.nav["F"], service.status["F"] = nav, status
    bars = VexdataNavDayBars("unit").get_bars("F")
    assert_same_bars(bars, reference_bars(joined(nav, status), "unit_net_value", accrued=accrued))


# --- NAV day bars: the join worked out from the two date columns ---------------------------------------------

def random_nav_and_status(rng, accrued, unit="ns", nav_share=0.85, status_share=0.85):
    """NAV and status frames of one fund over overlapping random date sets."""
    days = pd.bdate_range("2015-01-01", periods=int(rng.integers(5, 700)))
    if accrued:  # money-market NAV has every calendar day
        days = pd.date_range(days[0], days[-1])
    nav_days = [str(d.date()) for d in days[rng.random(len(days)) < nav_share]]
    status_days = [str(d.date()) for d in days[rng.random(len(days)) < status_share]]
    unit_nav = np.round(rng.uniform(0.9, 1.1, len(nav_days)), 4)
    unit_nav[rng.random(len(nav_days)) < 0.05] = np.nan
    extra = {}
    if accrued:
        extra = {"daily_profit": np.where(rng.random(len(nav_days)) < 0.1, np.nan, rng.uniform(0, 1, len(nav_days))),
                 "weekly_yield": rng.uniform(1, 3, len(nav_days))}
    nav = nav_frame(nav_days, unit_nav, **extra)
    texts = np.array(["Open", "Suspended", "Close", "Limited"], dtype=object)
    n = len(status_days)
    limits = {name: np.where(rng.random(n) < 0.3, np.round(rng.uniform(1, 1e6, n)), np.nan)
              for name in ("subscribe_upper_limit", "subscribe_lower_limit", "redeem_lower_limit")
              if rng.random() < 0.7}
    status = status_frame("F", status_days, texts[rng.integers(0, 4, n)], texts[rng.integers(0, 4, n)], **limits)
    nav.index = nav.index.as_unit(unit)
    status.index = status.index.set_levels(status.index.levels[1].as_unit(unit), level=1)
    return nav, status


@pytest.fixture
def count_joins(monkeypatch):
    calls = []
    join = pd.DataFrame.join

    def counted(self, *args, **kwargs):
        calls.append(args)
        return join(self, *args, **kwargs)

    monkeypatch.setattr(pd.DataFrame, "join", counted)
    return calls


def bars_or_error(make):
    try:
        return make(), None
    except Exception as exc:  # the error is part of what is compared
        return None, exc


@pytest.mark.parametrize("seed", range(8))
def test_bars_of_joined_dates_equal_pandas_join(service, env, count_joins, seed):
    rng = np.random.default_rng(seed)
    accrued, exchange = bool(seed % 3 == 0), ("XSHG" if seed % 4 == 0 else None)
    unit = ["s", "ms", "us", "ns"][seed % 4]
    shares = [(0.85, 0.85), (1.0, 1.0), (1.0, 0.6), (0.6, 1.0), (0.3, 0.3)][seed % 5]
    nav, status = random_nav_and_status(rng, accrued, unit, *shares)
    service.funds = [fund_object("F", "f", accrued_daily=accrued, exchange=exchange)]
    env.data_source.register_instruments_store(FundCatalogStore())
    service.nav["F"], service.status["F"] = nav, status
    for nav_type, column in (("unit", "unit_net_value"), ("adjusted", "adjusted_net_value")):
        count_joins.clear()
        if len(status) == 0:  # a short history may draw no status day at all: the fund has no bars
            with pytest.raises(ValueError, match="^基金标的F 在vexdata.fund.get_transaction_status数据$"):
                VexdataNavDayBars(nav_type).get_bars("F")
            continue
        bars = VexdataNavDayBars(nav_type).get_bars("F")
        assert count_joins == []  # read without making the joined frame
        expected = reference_bars(joined(nav, status), None if accrued else column, accrued, exchange)
        if len(expected) == 0:
            expected = expected[[name for name in expected.dtype.names if name in bars.dtype.names]]
        assert_same_bars(bars, expected)
    assert service.count("get_nav") == 2 and service.count("get_transaction_status") == 2


def odd_frames(case, nav, status):
    """Frames whose join only pandas can work out (or refuse)."""
    if case == "units differ":
        nav.index = nav.index.as_unit("s")
        status.index = status.index.set_levels(status.index.levels[1].as_unit("ns"), level=1)
    elif case == "repeated status date":
        status = pd.concat([status.iloc[:3], status.iloc[2:3], status.iloc[3:]])
    elif case == "unsorted nav":
        nav = nav.iloc[::-1]
    elif case == "column in both":
        nav["subscribe_upper_limit"] = 1.0
    elif case == "zoned dates":
        nav.index = nav.index.tz_localize("Asia/Shanghai")
        status.index = status.index.set_levels(status.index.levels[1].tz_localize("Asia/Shanghai"), level=1)
    elif case == "missing date":
        nav.index = pd.DatetimeIndex([pd.NaT] + list(nav.index[1:]), name="datetime")
        status.index = status.index.set_levels(pd.DatetimeIndex([pd.NaT] + list(status.index.levels[1][1:])),
                                               level=1)
    elif case == "number label":
        nav[7] = 1.0
    return nav, status


@pytest.mark.parametrize("case", ["units differ", "repeated status date", "unsorted nav", "column in both",
                                  "zoned dates", "missing date", "number label"])
def test_bars_of_frames_only_pandas_can_join_equal_pandas_join(service, env, count_joins, case):
    rng = np.random.default_rng(11)
    nav, status = odd_frames(case, *random_nav_and_status(rng, False, nav_share=1.0, status_share=1.0))
    service.funds = [fund_object("F", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    service.nav["F"], service.status["F"] = nav, status
    bars, error = bars_or_error(lambda: VexdataNavDayBars("unit").get_bars("F"))
    assert len(count_joins) == 1  # left to pandas' join
    expected, expected_error = bars_or_error(lambda: reference_bars(joined(nav, status), "unit_net_value", False))
    if expected_error is not None:
        assert type(error) is type(expected_error) and str(error) == str(expected_error)
    else:
        assert error is None
        assert_same_bars(bars, expected)


def test_a_store_that_reads_its_frames_its_own_way_is_asked(service, env):
    """_get_nav overridden on the class or on the object: the bars come from
    what it gives, not from the service's frames."""
    rng = np.random.default_rng(3)
    nav, status = random_nav_and_status(rng, False)
    other_nav, other_status = random_nav_and_status(rng, False)
    service.funds = [fund_object("F", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    service.nav["F"], service.status["F"] = nav, status
    frame = joined(other_nav, other_status)
    expected = reference_bars(frame, "unit_net_value", False)

    class Own(VexdataNavDayBars):
        def _get_nav(self, order_book_id):
            return frame

    assert_same_bars(Own("unit").get_bars("F"), expected)
    store = VexdataNavDayBars("unit")
    store._get_nav = lambda order_book_id: frame
    assert_same_bars(store.get_bars("F"), expected)
    assert service.count("get_nav") == 0


def test_bar_layout_follows_a_changed_field_map(service, env):
    """The record layout worked out once per kind of fund follows the
    class's map when its entries change."""
    service.funds = [fund_object("F", "f")]
    env.data_source.register_instruments_store(FundCatalogStore())
    service.nav["F"] = nav_frame(DAYS_5, [1.0, 1.1, 1.2, 1.3, 1.4])
    service.status["F"] = status_frame("F", DAYS_5, ["Open"] * 5, ["Close"] * 5)

    class Mapped(VexdataNavDayBars):
        FIELD_MAP = dict(VexdataNavDayBars.FIELD_MAP)

    first = Mapped("unit").get_bars("F")
    Mapped.FIELD_MAP["volume"] = ("<f4", Mapped.FIELD_MAP["volume"][1])
    Mapped.FIELD_MAP["extra"] = ("<i8", lambda frame: np.arange(len(frame)))
    second = Mapped("unit").get_bars("F")
    assert first.dtype["volume"] == np.float64 and "extra" not in first.dtype.names
    assert second.dtype["volume"] == np.float32 and second["extra"].tolist() == [0, 1, 2, 3, 4]
    del Mapped.FIELD_MAP["extra"]
    Mapped.FIELD_MAP["volume"] = VexdataNavDayBars.FIELD_MAP["volume"]
    third = Mapped("unit").get_bars("F")
    assert third.dtype == first.dtype
    assert VexdataNavDayBars("unit").get_bars("F").dtype == first.dtype


DAYS_5 = ["2021-01-04", "2021-01-05", "2021-01-06", "2021-01-07", "2021-01-08"]
