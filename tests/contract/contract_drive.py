"""Runs the plug-in on the contract-only host (minimal_host) and prints what happened as JSON.

Run in a fresh interpreter: ``python -I contract_drive.py [MODE]``, MODE one
of ``listed`` (the money-market fund has no delisting date: income data
that stops ends the run), ``delisted`` (it is delisted before its income
data stops) and ``no-delisting-date`` (the host's instruments have no
``de_listed_date`` attribute).
The host's daily loop is the simplest the contract describes: each trading
day every fund position gets ``before_trading``, then the day's fills
(``apply_trade``), then ``settlement``; the cash changes they return add up
in one account.
"""
import datetime as dt
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import minimal_host  # noqa: E402

minimal_host.install()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, POSITION_EFFECT, RUN_TYPE, SIDE  # noqa: E402
from tessel.core.events import EVENT  # noqa: E402
from tessel.environment import Environment  # noqa: E402
from tessel.model.order import Order  # noqa: E402
from tessel.model.trade import Trade  # noqa: E402
from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition  # noqa: E402


class Section(dict):
    """A configuration section read by attribute, like the host's."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


CALENDAR = pd.bdate_range("2020-01-02", "2020-02-14")
DAYS = [ts.date() for ts in CALENDAR]
EQUITY, MONEY = "F1", "MM"
SPLIT_DAY = dt.date(2020, 1, 15)


def fund_data(mode):
    data = minimal_host.FundData
    equity = {"order_book_id": EQUITY, "symbol": "Equity One", "listed_date": None, "de_listed_date": None}
    money = {"order_book_id": MONEY, "symbol": "Money One", "listed_date": None, "de_listed_date": None,
             "accrued_daily": True}
    data.funds = [equity, money]
    unit = np.where(CALENDAR < pd.Timestamp(SPLIT_DAY), 1.0, 0.5)
    data.nav = {
        EQUITY: pd.DataFrame({"unit_net_value": unit, "adjusted_net_value": unit * 2},
                             index=pd.DatetimeIndex(CALENDAR, name="datetime")),
        # Income data stops a week before the calendar does.
        MONEY: pd.DataFrame({"unit_net_value": 1.0, "adjusted_net_value": 1.0, "daily_profit": 2.0,
                             "weekly_yield": 7.3},
                            index=pd.DatetimeIndex(CALENDAR[:-5], name="datetime")),
    }
    data.status = {oid: pd.DataFrame({"subscribe_status": "Open", "redeem_status": "Open"},
                                     index=pd.DatetimeIndex(CALENDAR, name="datetime"))
                   for oid in (EQUITY, MONEY)}
    data.dividends = [{"order_book_id": EQUITY, "ex_dividend_date": "2020-01-09", "book_closure_date": "2020-01-08",
                       "payable_date": "2020-01-10", "dividend_before_tax": 0.05}]
    data.splits = {EQUITY: [(pd.Timestamp(SPLIT_DAY), 2.0)]}
    minimal_host.BaseDataSource.calendar = CALENDAR
    if mode == "delisted":
        money["de_listed_date"] = dt.datetime(2020, 2, 7)
    if mode == "no-delisting-date":
        # This host's instruments carry no delisting date at all.
        minimal_host.Environment.hidden_attributes = {"de_listed_date"}


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "listed"
    config = Section(
        base=Section(run_type=RUN_TYPE.BACKTEST, accounts={DEFAULT_ACCOUNT_TYPE.STOCK: 1_000_000},
                     data_bundle_path="/nonexistent/bundle", future_info={},
                     futures_time_series_trading_parameters=False, end_date=DAYS[-1]),
        mod=Section(
            sys_simulation=Section(),
            sys_accounts=Section(dividend_reinvestment=False),
            fund=Section(fund_nav_type="unit", subscription_limit=True, status_limit=True,
                         subscription_receiving_days=1, redemption_receiving_days=2)))
    env = Environment(config)
    from tessel_mod_fund.mod import FundMod

    fund_data(mode)
    mod = FundMod()
    env.mod_dict["fund"] = mod
    mod.start_up(env, config.mod.fund)
    for listener in env.event_bus.listeners.get(EVENT.POST_SYSTEM_INIT, []):
        listener(None)

    source = env.data_source
    wiring = {
        "listeners": [f.__name__ for f in env.event_bus.listeners.get(EVENT.POST_SYSTEM_INIT, [])],
        "instrument_stores": [type(s).__name__ for s in source.instrument_stores],
        "day_bar_stores": {str(k): type(v).__name__ for k, v in source.day_bar_stores.items()},
        "dividend_stores": {str(k): type(v).__name__ for k, v in source.dividend_stores.items()},
        "split_stores": {str(k): type(v).__name__ for k, v in source.split_stores.items()},
        "cost_deciders": {str(k): type(v).__name__ for k, v in env.cost_deciders.items()},
        "matchers": {str(k): type(v).__name__ for k, v in env.broker.matchers.items()},
        "validators": [(type(v).__name__, str(t)) for v, t in env.validators],
        "data_source_args": [str(a) for a in source.args],
    }

    position_cls = StockPosition.by_type[INSTRUMENT_TYPE.PUBLIC_FUND]
    positions = {oid: position_cls(oid, SIDE.BUY, 0, None) for oid in (EQUITY, MONEY)}
    # (day, fund) -> (side, effect, units, fee)
    fills = {(DAYS[0], EQUITY): (SIDE.BUY, POSITION_EFFECT.OPEN, 1000.0, 1.5),
             (DAYS[0], MONEY): (SIDE.BUY, POSITION_EFFECT.OPEN, 10000.0, 0.0),
             (dt.date(2020, 1, 20), EQUITY): (SIDE.SELL, POSITION_EFFECT.CLOSE, 500.0, 0.25)}
    validator = env.validators[0][0]
    cost_decider = env.cost_deciders[INSTRUMENT_TYPE.PUBLIC_FUND]
    cash = 1_000_000.0
    days, failure = [], None
    for day in DAYS:
        env.trading_dt = dt.datetime.combine(day, dt.time(15, 0))
        record = {"date": day.isoformat(), "refusals": []}
        try:
            for oid, position in positions.items():
                cash += position.before_trading(day)
            for oid, position in positions.items():
                bar = env.get_bar(oid)
                if bar is not None:  # no NAV that day: the last price stands
                    position.mark_to(float(bar.close))
                fill = fills.get((day, oid))
                if fill is None:
                    continue
                side, effect, units, fee = fill
                order = Order(oid, side, fee)
                record["refusals"].append(validator.validate_submission(order, None))
                trade = Trade.__from_create__(None, position.last_price, units, side, effect, oid)
                trade.commission = cost_decider.get_order_transaction_cost(order)
                cash += position.apply_trade(trade)
            for position in positions.values():
                cash += position.settlement(day)
        except Exception as exc:  # reported, so the test can say which day and why
            failure = {"date": day.isoformat(), "type": type(exc).__name__, "message": str(exc)}
            break
        record["cash"] = round(cash, 6)
        for oid, position in positions.items():
            record[oid] = {"quantity": position.quantity, "expected": position._quantity,
                           "receivable_cash": position.receivable_cash, "equity": position.equity}
        days.append(record)
    print(json.dumps({"wiring": wiring, "days": days, "failure": failure, "strict": strictness()}))


def strictness():
    """Whether names the contract leaves out are really missing on this host."""
    import importlib

    import tessel.interface

    def importable(name):
        try:
            importlib.import_module(name)
        except ImportError:
            return False
        return True

    return {"AbstractMatcher": hasattr(tessel.interface, "AbstractMatcher"), "tessel.api": importable("tessel.api"),
            "ORDER_TYPE": hasattr(sys.modules["tessel.const"], "ORDER_TYPE"),
            "vexdatac.fund": importable("vexdatac.fund")}


if __name__ == "__main__":
    main()
