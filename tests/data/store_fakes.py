"""Scripted fund data service and small frames for the store tests."""
import types

import pandas as pd

# January 2021 weekdays without New Year's Day and one mid-month holiday.
HOLIDAYS = {pd.Timestamp("2021-01-01"), pd.Timestamp("2021-01-15")}
TRADING_DAYS = pd.DatetimeIndex([d for d in pd.bdate_range("2021-01-01", "2021-01-29") if d not in HOLIDAYS])


def fund_object(order_book_id, symbol, **attrs):
    """A raw fund object as the service returns it: attributes in __dict__."""
    attrs.setdefault("listed_date", pd.Timestamp("2015-01-05").to_pydatetime())
    attrs.setdefault("de_listed_date", None)
    return types.SimpleNamespace(order_book_id=order_book_id, symbol=symbol, **attrs)


def nav_frame(dates, unit, adjusted=None, unit_dtype=None, **extra):
    index = pd.DatetimeIndex(pd.to_datetime(list(dates)), name="datetime")
    data = {"unit_net_value": pd.array(unit, dtype=unit_dtype or "float64")}
    data["adjusted_net_value"] = adjusted if adjusted is not None else [v * 2 if v == v else v for v in unit]
    data.update(extra)
    return pd.DataFrame(data, index=index)


def status_frame(order_book_id, dates, subscribe, redeem, **limits):
    index = pd.MultiIndex.from_arrays(
        [[order_book_id] * len(dates), pd.to_datetime(list(dates))], names=["order_book_id", "datetime"])
    return pd.DataFrame({"subscribe_status": subscribe, "redeem_status": redeem, **limits}, index=index)


class FakeFundService:
    """Scripted answers of the fund data service, with a log of every call."""

    def __init__(self):
        self.funds = []
        self.nav = {}
        self.status = {}          # id -> frame, None, or an exception instance to raise
        self.dividends = None
        self.splits = {}
        self.calls = []

    def count(self, name, *args):
        return sum(1 for c in self.calls if c[0] == name and (not args or c[1] == args))

    def all_instruments(self):
        self.calls.append(("all_instruments", ()))
        return pd.DataFrame({"order_book_id": [f.order_book_id for f in self.funds],
                             "symbol": [f.symbol for f in self.funds]})

    def instruments(self, order_book_ids):
        ids = list(order_book_ids)
        self.calls.append(("instruments", (tuple(ids),)))
        by_id = {}
        for f in self.funds:
            by_id.setdefault(f.order_book_id, []).append(f)
        return [obj for i in dict.fromkeys(ids) for obj in by_id.get(i, [])]

    def get_nav(self, order_book_id, start_date=None, end_date=None):
        self.calls.append(("get_nav", (order_book_id,), {"start_date": start_date, "end_date": end_date}))
        return self.nav.get(order_book_id)

    def get_transaction_status(self, order_book_id, start_date=None, end_date=None):
        self.calls.append(("get_transaction_status", (order_book_id,),
                           {"start_date": start_date, "end_date": end_date}))
        answer = self.status.get(order_book_id)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def get_dividend(self, order_book_ids):
        self.calls.append(("get_dividend", (order_book_ids,)))
        return self.dividends

    def get_split(self, order_book_id):
        self.calls.append(("get_split", (order_book_id,)))
        return self.splits.get(order_book_id)
