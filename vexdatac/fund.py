"""Fund reference data queries.

Every function reads the database chosen by `vexdatac.config` and returns
None or pandas objects. Dates come back as datetime64 columns or index
levels (resolution left to pandas). Unknown order book ids give None or an
empty result, never an exception; requests that cannot be answered as asked
(malformed dates, start after end, ids that are not texts) raise
`vexdatac.share.errors.BadRequest`.
"""
import math
from collections.abc import Iterable

import numpy as np
import pandas as pd
import pandas._config as pandas_config

from vexdatac import config
from vexdatac.share.dates import date_window, iso_column, iso_to_datetime
from vexdatac.share.errors import BadRequest

__all__ = [
    "Fund",
    "all_instruments",
    "instruments",
    "get_nav",
    "get_transaction_status",
    "get_dividend",
    "get_split",
    "get_trading_dates",
    "get_fee_schedule",
]

# Instrument columns that are dates in the database.
_DATE_ATTRS = ("listed_date", "de_listed_date", "establishment_date", "stop_date")
# Attributes every fund object carries, None when the database has NULL.
_ALWAYS = ("order_book_id", "symbol", "fund_type", "listed_date", "de_listed_date", "round_lot")
_OBJECT = np.dtype(object)
# SQLite caps the number of bound parameters per statement; stay well below.
_CHUNK = 500


class Fund:
    """One public fund. Its attributes live in the instance dictionary so
    that `vars(fund)` is the complete attribute mapping."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return f"Fund(order_book_id={self.order_book_id!r}, symbol={self.symbol!r})"

    def __eq__(self, other):
        return isinstance(other, Fund) and vars(self) == vars(other)

    __hash__ = None


def _check_id(order_book_id, name="order_book_id"):
    if not isinstance(order_book_id, str):
        raise BadRequest(
            f"{name} must be a text, got {order_book_id!r} of type {type(order_book_id).__name__}"
        )
    return order_book_id


def _check_ids(order_book_ids, name="order_book_ids"):
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    if not isinstance(order_book_ids, Iterable):
        raise BadRequest(
            f"{name} must be a text or an iterable of texts, got {order_book_ids!r} "
            f"of type {type(order_book_ids).__name__}"
        )
    ids = list(order_book_ids)
    for item in ids:
        _check_id(item, f"every element of {name}")
    return ids


def _chunks(ids):
    """(ids, "?, ?, ...") in slices small enough for one statement's parameters."""
    for i in range(0, len(ids), _CHUNK):
        chunk = ids[i : i + _CHUNK]
        yield chunk, ", ".join("?" * len(chunk))


def _instrument_columns():
    return [row[1] for row in config.query("PRAGMA table_info(instruments)")]


def _is_accrued(accrued_daily, accrued_type):
    return bool(accrued_daily) or bool(accrued_type)


def _fund_from_row(columns, row):
    attrs = {}
    for name, value in zip(columns, row):
        if name in _DATE_ATTRS:
            value = iso_to_datetime(value)
        elif name == "accrued_daily" and value is not None:
            value = bool(value)
        if value is None and name not in _ALWAYS:
            # Optional attributes the database does not know are left out.
            continue
        attrs[name] = value
    return Fund(**attrs)


def _fee_tiers(rows):
    """{"subscription": [...], "redemption": [...]} from fee rows
    (kind, upper_bound, rate, fixed_fee) ordered by kind and tier."""
    schedule = {"subscription": [], "redemption": []}
    for kind, bound, rate, fixed in rows:
        bound = math.inf if bound is None else bound
        if kind == "subscription":
            schedule["subscription"].append((bound, rate, fixed))
        else:
            if math.isfinite(bound) and float(bound).is_integer():
                bound = int(bound)  # whole days
            schedule["redemption"].append((bound, rate))
    return schedule


def _fetch_instruments(ids):
    columns = _instrument_columns()
    select = ", ".join(columns)
    found = {}
    for chunk, marks in _chunks(ids):
        for row in config.query(
            f"SELECT {select} FROM instruments WHERE order_book_id IN ({marks})", chunk
        ):
            found[row[0]] = _fund_from_row(columns, row)
        # The fee tiers travel with the fund object (attributes
        # subscription_fees and redemption_fees, the lists that
        # get_fee_schedule returns), so that the engine's instrument carries
        # them; a fund without fee rows has neither attribute.
        fee_rows = {}
        for oid, *rest in config.query(
            "SELECT order_book_id, kind, upper_bound, rate, fixed_fee FROM fees "
            f"WHERE order_book_id IN ({marks}) ORDER BY order_book_id, kind, tier",
            chunk,
        ):
            fee_rows.setdefault(oid, []).append(rest)
        for oid, rows in fee_rows.items():
            if oid in found:
                schedule = _fee_tiers(rows)
                found[oid].subscription_fees = schedule["subscription"]
                found[oid].redemption_fees = schedule["redemption"]
    return found


def all_instruments():
    """Every public fund, one row each, ordered by order_book_id.

    Columns: order_book_id, symbol, fund_type, listed_date, de_listed_date,
    accrued_daily (bool: true for funds that accrue income daily, whether the
    database flags them with accrued_daily or accrued_type), exchange, amc,
    fund_manager, establishment_date, stop_date, latest_size, min_investment.
    """
    rows = config.query(
        "SELECT order_book_id, symbol, fund_type, listed_date, de_listed_date, "
        "accrued_daily, accrued_type, exchange, amc, fund_manager, establishment_date, "
        "stop_date, latest_size, min_investment FROM instruments ORDER BY order_book_id"
    )
    (ids, symbols, types, listed, delisted, accrued_daily, accrued_type, exchange, amc,
     manager, established, stopped, size, min_inv) = (list(col) for col in zip(*rows)) if rows else ([],) * 14
    return pd.DataFrame(
        {
            "order_book_id": pd.Series(ids, dtype=object),
            "symbol": pd.Series(symbols, dtype=object),
            "fund_type": pd.Series(types, dtype=object),
            "listed_date": iso_column(listed),
            "de_listed_date": iso_column(delisted),
            "accrued_daily": np.array(
                [_is_accrued(d, t) for d, t in zip(accrued_daily, accrued_type)], dtype=bool
            ),
            "exchange": pd.Series(exchange, dtype=object),
            "amc": pd.Series(amc, dtype=object),
            "fund_manager": pd.Series(manager, dtype=object),
            "establishment_date": iso_column(established),
            "stop_date": iso_column(stopped),
            "latest_size": np.array(size, dtype=float),
            "min_investment": np.array(min_inv, dtype=float),
        }
    )


def instruments(order_book_ids):
    """Fund objects.

    For one id (a text) the fund object or None; for any other iterable (list,
    Series, ...) a list of fund objects in the requested order, unknown ids
    skipped (an id asked twice comes twice).

    A fund with fee tiers also carries `subscription_fees` [(upper_bound,
    rate, fixed_fee), ...] and `redemption_fees` [(max_days, rate), ...],
    the lists of `get_fee_schedule`.
    """
    if isinstance(order_book_ids, str):
        return _fetch_instruments([order_book_ids]).get(order_book_ids)
    ids = _check_ids(order_book_ids)
    found = _fetch_instruments(list(dict.fromkeys(ids)))
    return [found[i] for i in ids if i in found]


def _accrual_flag(order_book_id):
    """True/False for a known fund, None for an unknown one."""
    rows = config.query_rows(
        "SELECT accrued_daily, accrued_type FROM instruments WHERE order_book_id = ?",
        (order_book_id,),
    )
    if not rows:
        return None
    return _is_accrued(*rows[0])


def _floats(values):
    # numpy turns None into NaN itself for a float array
    return np.array(values, dtype=float)


# A date column as the day count since 1970-01-01 (a float: one number per
# row is much cheaper to fetch than one text), or NULL when the stored text
# is not the canonical ISO form of the day it names (SQLite reads
# "2020-02-30", "2020-01-03 00:00" or a bare day number as some day).
# Rows are fetched as plain numbers and the dates made with numpy; anything the numbers cannot express exactly (a
# NULL, a day outside the range every datetime resolution can hold) sends
# the request back to the text path, which parses (and rejects) as before.
_DAY_SQL = "CASE WHEN date(julianday({0})) IS {0} THEN julianday({0}) - 2440587.5 END"
# 1677-09-22 to 2262-04-10: representable at any datetime64 resolution.
_DAY_RANGE = (-106751.0, 106750.0)
_iso_dtype = None
_empty_iso_dtype = None
_ticks_per_day = None


def _iso_dtype_in_force():
    """The datetime64 dtype iso_column gives for dates (pandas chooses it)."""
    global _iso_dtype
    if _iso_dtype is None:
        _iso_dtype = iso_column(["2000-01-01"]).dtype
    return _iso_dtype


def _empty_iso_dtype_in_force():
    """The datetime64 dtype iso_column gives for no dates (not always the one for dates)."""
    global _empty_iso_dtype
    if _empty_iso_dtype is None:
        _empty_iso_dtype = iso_column([]).dtype
    return _empty_iso_dtype


def _day_ticks():
    """Ticks of _iso_dtype_in_force() in a day."""
    global _ticks_per_day
    if _ticks_per_day is None:
        _ticks_per_day = int(np.timedelta64(1, "D") // np.timedelta64(1, np.datetime_data(_iso_dtype_in_force())))
    return _ticks_per_day


def _read_columns(sql, params, kinds, texts=()):
    """config.read_columns with dates in iso_column's resolution: (DatetimeIndex
    values or None, float block, text codes), or None for the text path."""
    read = config.read_columns(sql, params, kinds, _day_ticks(), texts)
    return _with_dates(read)


def _with_dates(read):
    if read is None:
        return None
    ticks, block, codes = read
    return (None if ticks is None else ticks.view(_iso_dtype_in_force())), block, codes


def _dates_from_days(days, strictly_increasing=False):
    """datetime64 values, in iso_column's resolution, of day counts fetched
    with _DAY_SQL; None when the text path must decide instead."""
    days = np.array(days, dtype=float)
    if not len(days) or not np.isfinite(days).all():
        return None
    low, high = days.min(), days.max()
    if low < _DAY_RANGE[0] or high > _DAY_RANGE[1] or not (days == np.floor(days)).all():
        return None
    if strictly_increasing and len(days) > 1 and not (np.diff(days) > 0).all():
        return None
    return days.astype(np.int64).astype("datetime64[D]").astype(_iso_dtype_in_force())


_NAV_SQL = (
    "SELECT {date}, unit_net_value, adjusted_net_value{accrual} "
    "FROM nav WHERE order_book_id = ? AND date BETWEEN ? AND ? ORDER BY date"
)


def _read_window(sql, table, params, kinds, texts=()):
    """_read_columns of a per-fund read whose last condition is `date BETWEEN
    ? AND ?` (params: id, start, end).

    When no row of the fund in `table` lies after the end of the window
    (the usual request, up to a far end date), the same rows are read with
    `date >= ?` alone: the index scan then stops at the fund's last row
    without comparing each date with the end.  SQLite orders numbers before
    texts and texts before blobs, so a text maximum at or before the end
    leaves no row, of any type, that the end would have excluded."""
    order_book_id, start, end = params
    last = config.query_rows(f"SELECT max(date) FROM {table} WHERE order_book_id = ?", (order_book_id,))
    if last and type(last[0][0]) is str and last[0][0] <= end:
        sql, params = sql.replace("date BETWEEN ? AND ?", "date >= ?"), (order_book_id, start)
    return _read_columns(sql, params, kinds, texts)


def get_nav(order_book_id, start_date=None, end_date=None):
    """NAV history of one fund between two dates (inclusive, None = open).

    A DataFrame indexed by date (index name "datetime", ascending) with the
    columns unit_net_value and adjusted_net_value, plus daily_profit (income
    per 10,000 units) and weekly_yield (7-day annualised yield, percent) for
    daily-accruing funds. None for an unknown fund or an empty window.
    """
    _check_id(order_book_id)
    start, end = date_window(start_date, end_date)
    accrued = _accrual_flag(order_book_id)
    if accrued is None:
        return None
    params = (order_book_id, start, end)
    accrual = ", daily_profit, weekly_yield" if accrued else ""
    names = ["unit_net_value", "adjusted_net_value", "daily_profit", "weekly_yield"]
    read = _read_window(_NAV_SQL.format(date="date", accrual=accrual), "nav", params, "dffff" if accrued else "dff")
    if read is not None:
        dates, block, _ = read
        if not len(dates):
            return None
        # The block has a row per column: the frame's own layout, taken as it is.
        return pd.DataFrame(block.T, index=pd.DatetimeIndex(dates, name="datetime"), columns=names[:len(block)],
                            copy=False)
    # Every column is a number (NULL: NaN): one array for all of them.
    table = config.query_numbers(_NAV_SQL.format(date="date", accrual=accrual), params, day_columns=(0,),
                                 fallback=_NAV_SQL.format(date=_DAY_SQL.format("date"), accrual=accrual))
    if not len(table):
        return None
    dates = _dates_from_days(table[:, 0])
    if dates is None:
        rows = config.query(_NAV_SQL.format(date="date", accrual=accrual), params)
        if not rows:
            return None
        columns = tuple(zip(*rows))
        dates = iso_column(columns[0])
        values = [_floats(column) for column in columns[1:]]
    else:
        values = list(np.ascontiguousarray(table[:, 1:].T))
    index = pd.DatetimeIndex(dates, name="datetime")
    return pd.DataFrame(dict(zip(names, values)), index=index)


_STATUS_SQL = (
    "SELECT {date}, {status}, subscribe_upper_limit, "
    "subscribe_lower_limit, redeem_lower_limit FROM status "
    "WHERE order_book_id = ? AND date BETWEEN ? AND ? ORDER BY date"
)
_STATUS_TEXTS = ("Open", "Limited", "Suspended", "Close")
# Both statuses of a row as one small number, 4 * subscribe + redeem, each
# the position of its text in _STATUS_TEXTS; NULL when either is another
# text, which only the text path reads as it is.
_STATUS_CODE = "(CASE {0} " + " ".join(f"WHEN '{t}' THEN {k}" for k, t in enumerate(_STATUS_TEXTS)) + " END)"
_STATUS_CODE_SQL = f"{_STATUS_CODE.format('subscribe_status')} * 4 + {_STATUS_CODE.format('redeem_status')}"


def get_transaction_status(order_book_id, start_date=None, end_date=None):
    """Daily subscribe/redeem status of one fund between two dates.

    A DataFrame with the index levels (order_book_id, datetime) and the
    columns subscribe_status, redeem_status ("Open", "Limited", "Suspended",
    "Close"), subscribe_upper_limit, subscribe_lower_limit (cash amounts) and
    redeem_lower_limit (units), NaN where there is no limit. None when there
    are no rows (unknown fund, a fund without status data, an empty window).
    """
    _check_id(order_book_id)
    start, end = date_window(start_date, end_date)
    params = (order_book_id, start, end)
    read = _read_window(_STATUS_SQL.format(date="date", status="subscribe_status, redeem_status"), "status", params,
                        "dccfff", _STATUS_TEXTS)
    if read is not None:
        dates, limits, codes = read
        if not len(dates):
            return None
        texts = _texts_as_stored()[0]
        return _status_frame(order_book_id, dates, texts.take(codes[0]), texts.take(codes[1]), limits)
    # Every column is a number (NULL: NaN): one array for all of them.
    table = config.query_numbers(_STATUS_SQL.format(date="date", status=_STATUS_CODE_SQL), params, day_columns=(0,),
                                 fallback=_STATUS_SQL.format(date=_DAY_SQL.format("date"), status=_STATUS_CODE_SQL))
    if not len(table):
        return None
    codes = table[:, 1]
    dates = _dates_from_days(table[:, 0], strictly_increasing=True)
    if dates is None or not np.isfinite(codes).all():
        rows = config.query(_STATUS_SQL.format(date="date", status="subscribe_status, redeem_status"), params)
        if not rows:
            return None
        dates, sub, red, upper, lower, red_lower = zip(*rows)
        index = pd.MultiIndex.from_arrays(
            [pd.Series([order_book_id] * len(rows), dtype=object), iso_column(dates)],
            names=["order_book_id", "datetime"],
        )
        sub, red, limits = list(sub), list(red), [_floats(upper), _floats(lower), _floats(red_lower)]
    else:
        texts = np.array(_STATUS_TEXTS, dtype=object)
        both = codes.astype(np.int64)
        return _status_frame(order_book_id, dates, texts[both // 4], texts[both % 4],
                             np.ascontiguousarray(table[:, 2:].T))
    return _status_table(index, sub, red, limits)


_STATUS_OBJECTS = np.array(_STATUS_TEXTS, dtype=object)
# (what decides how pandas stores texts, the status texts stored that way,
#  the dtype MultiIndex.from_arrays gives a level of one id)
_text_storage = (None, _STATUS_OBJECTS, _OBJECT)


def _texts_as_stored():
    """How pandas stores texts now: (the four status texts as the array it
    makes of them, the dtype of the id level from_arrays makes of an object
    Series of ids).

    Object arrays and dtype where pandas keeps texts as objects.  Where it
    infers a string type (pandas 3, or the option that asks for it), the
    array of that type it makes of the four texts, so that a status column
    is a take of it instead of an inference over every row; the level's
    dtype is whatever from_arrays gives then (not the same on every pandas
    line).  Both depend on options that can change at run time, and are
    worked out again when they do."""
    global _text_storage
    using = getattr(pandas_config, "using_string_dtype", None)
    if using is None:
        return _STATUS_OBJECTS, _OBJECT
    key = (using(), pd.get_option("mode.string_storage"))
    if _text_storage[0] != key:
        inferred = pd.Series(_STATUS_OBJECTS.copy()).array
        level = pd.MultiIndex.from_arrays([pd.Series(["000000"], dtype=object), [0]]).levels[0].dtype
        _text_storage = (key, inferred if isinstance(inferred.dtype, pd.StringDtype) else _STATUS_OBJECTS, level)
    return _text_storage[1], _text_storage[2]


def _status_frame(order_book_id, dates, sub, red, limits):
    """The status frame of ascending distinct dates, the statuses as object
    arrays of texts and the limits as rows of a block."""
    # What from_arrays makes of one id and ascending distinct dates: the id
    # as the only value of an object level, the dates as the second level in
    # their own order.
    index = pd.MultiIndex(
        levels=[pd.Index([order_book_id], dtype=_texts_as_stored()[1]), pd.DatetimeIndex(dates)],
        codes=[np.zeros(len(dates), dtype=np.int8), np.arange(len(dates))],
        names=["order_book_id", "datetime"],
        verify_integrity=False,
    )
    # An object array of texts is taken as pandas takes a list of them.
    return _status_table(index, sub, red, limits)


def _status_table(index, sub, red, limits):
    """The status frame's columns over ``index``: the two statuses and the three limits (rows of ``limits``)."""
    return pd.DataFrame(
        {
            "subscribe_status": sub,
            "redeem_status": red,
            "subscribe_upper_limit": limits[0],
            "subscribe_lower_limit": limits[1],
            "redeem_lower_limit": limits[2],
        },
        index=index,
    )


def get_dividend(order_book_ids):
    """Cash dividends of the given funds (a list of ids; one text also works).

    A DataFrame with the index levels (order_book_id, ex_dividend_date), rows
    ordered by fund id then ex-dividend date, and the columns
    book_closure_date, payable_date (datetime64) and dividend_before_tax
    (pre-tax cash per unit). None when none of the funds has a dividend.
    """
    ids = list(dict.fromkeys(_check_ids(order_book_ids)))
    rows = []
    for chunk, marks in _chunks(ids):
        rows.extend(
            config.query(
                "SELECT order_book_id, ex_dividend_date, book_closure_date, payable_date, "
                f"dividend_before_tax FROM dividends WHERE order_book_id IN ({marks})",
                chunk,
            )
        )
    if not rows:
        return None
    rows.sort(key=lambda r: (r[0], r[1]))
    fund_ids, ex_dates, book, payable, cash = zip(*rows)
    index = pd.MultiIndex.from_arrays(
        [pd.Series(fund_ids, dtype=object), iso_column(ex_dates)],
        names=["order_book_id", "ex_dividend_date"],
    )
    return pd.DataFrame(
        {
            "book_closure_date": iso_column(book).to_numpy(),
            "payable_date": iso_column(payable).to_numpy(),
            "dividend_before_tax": _floats(cash),
        },
        index=index,
    )


def get_split(order_book_id):
    """Unit splits of one fund.

    A DataFrame indexed by ex-dividend date (index name "ex_dividend_date",
    ascending) with the column split_ratio (units after the split per unit
    before it). A known fund without splits gives an empty frame of that
    shape; an unknown fund gives None.
    """
    _check_id(order_book_id)
    if _accrual_flag(order_book_id) is None:
        return None
    sql = "SELECT ex_dividend_date, split_ratio FROM splits WHERE order_book_id = ? ORDER BY ex_dividend_date"
    read = _read_columns(sql, (order_book_id,), "df")
    if read is not None:
        dates, block, _ = read
        if not len(dates):
            # iso_column of no texts has a resolution of its own
            dates = dates.astype(_empty_iso_dtype_in_force())
        return pd.DataFrame({"split_ratio": block[0]}, index=pd.DatetimeIndex(dates, name="ex_dividend_date"))
    rows = config.query(sql, (order_book_id,))
    dates = [r[0] for r in rows]
    ratios = _floats([r[1] for r in rows])
    index = pd.DatetimeIndex(iso_column(dates), name="ex_dividend_date")
    return pd.DataFrame({"split_ratio": ratios}, index=index)


def get_trading_dates(start_date=None, end_date=None):
    """The exchange trading calendar between two dates (inclusive) as an
    ascending DatetimeIndex named "trading_date"."""
    start, end = date_window(start_date, end_date)
    rows = config.query(
        "SELECT date FROM trading_calendar WHERE date BETWEEN ? AND ? ORDER BY date",
        (start, end),
    )
    return pd.DatetimeIndex(iso_column([r[0] for r in rows]), name="trading_date")


def get_fee_schedule(order_book_id):
    """Fee tiers of one fund, or None for an unknown fund or one without fees.

    Returns {"subscription": [(upper_bound, rate, fixed_fee), ...],
    "redemption": [(max_days, rate), ...]}, tiers in ascending order of their
    bound. A subscription of amount A uses the first tier with A < upper_bound
    and charges either the front-end `rate` (fixed_fee None) or the flat
    `fixed_fee` in yuan (rate None). A redemption of units held for D days uses
    the first tier with D < max_days. The last bound of each list is
    math.inf.
    """
    _check_id(order_book_id)
    rows = config.query(
        "SELECT kind, upper_bound, rate, fixed_fee FROM fees WHERE order_book_id = ? "
        "ORDER BY kind, tier",
        (order_book_id,),
    )
    if not rows:
        return None
    return _fee_tiers(rows)
