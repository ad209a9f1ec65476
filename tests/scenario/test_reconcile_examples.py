"""Every example strategy over ten years of the sample database, reconciled day by day.

Each example runs from the first to the last trading day of 2015-2024 with
its own configuration (only the dates and the bundle are replaced).  The
run's figures are then checked against each other and against a unit and
cash ledger rebuilt here from the trades table and the funds' own data
(NAV, daily profit, dividends, splits), using the fund rules: units bought
arrive after the subscription receiving days, redemption cash after the
redemption receiving days; a dividend is booked on the last trading day on
or before its book-closure date for the units expected then, and paid on
its payable date (or reinvested at that day's NAV at the close); a split
multiplies every unit, queued ones included, on its ex-date; a
money-market holding earns, each trading morning, the daily profit of
every calendar day since the previous trading day on the units it had
received, as new units.  Units are kept to 4 decimals.

A golden summary per example (tests/scenario/golden/<example>.json) makes
any change of a result visible; set TESSEL_UPDATE_GOLDEN=1 to rewrite them
after an intended change.
"""
import bisect
import datetime as dt
import json
import math
import os
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import yaml

import vexdatac
from scenario_helpers import build_sample_database, forget_process_caches, using_database
from tessel.run import run

EXAMPLES_DIR = Path(__file__).resolve().parents[2] / "examples"
GOLDEN_DIR = Path(__file__).resolve().parent / "golden"
EXAMPLES = sorted(p.stem for p in EXAMPLES_DIR.glob("*.py") if (EXAMPLES_DIR / (p.stem + ".yml")).is_file())
START, END = "2015-01-05", "2024-12-31"

UNIT_TOLERANCE = 1e-4    # units are rounded to 4 decimals at every step
CASH_TOLERANCE = 1e-4    # cash changes are rounded to 4 decimals

pytestmark = pytest.mark.skipif(not EXAMPLES, reason="no example strategies yet")


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample_database(tmp_path_factory.mktemp("sample"))


def example_config(name, bundle):
    with open(EXAMPLES_DIR / (name + ".yml"), encoding="utf-8") as f:
        config = yaml.safe_load(f) or {}
    config.setdefault("base", {}).update(start_date=START, end_date=END, data_bundle_path=str(bundle))
    return config


def run_example(name, sample):
    db_path, bundle = sample
    forget_process_caches()
    started = time.perf_counter()
    with using_database(db_path):
        result = run(example_config(name, bundle), str(EXAMPLES_DIR / (name + ".py")))
    return result, time.perf_counter() - started


_RUNS = {}


@pytest.fixture(scope="module", params=EXAMPLES)
def example(request, sample):
    name = request.param
    if name not in _RUNS:
        result, seconds = run_example(name, sample)
        print("\n{}: {:.1f} s for {} trading days".format(name, seconds, len(result.daily)))
        _RUNS[name] = (result, seconds)
    result, seconds = _RUNS[name]
    return name, result, seconds


# --- the ledger rebuilt from the data ---------------------------------------------------------------------

def trading_day_after(calendar, day, n):
    """The n-th trading day of ``calendar`` after ``day``; None when that lies past the calendar's end."""
    at = bisect.bisect_right(calendar, day) + n - 1
    return calendar[at] if at < len(calendar) else None


class FundData:
    """What the data says about one fund, in plain Python values."""

    def __init__(self, order_book_id, calendar):
        fund = vexdatac.fund
        self.order_book_id = order_book_id
        instrument = fund.instruments(order_book_id)
        self.accrued = bool(getattr(instrument, "accrued_daily", False) or getattr(instrument, "accrued_type", None))
        nav = fund.get_nav(order_book_id)
        status = fund.get_transaction_status(order_book_id)
        # The fund has a price (and income) only on dates that have both a
        # NAV row and a status row.
        if status is not None:
            status_days = set(pd.DatetimeIndex(status.index.get_level_values("datetime")).normalize())
            nav = nav[pd.DatetimeIndex(nav.index).normalize().isin(status_days)]
        days = [d.date() for d in pd.DatetimeIndex(nav.index)]
        self.price = {}
        # A money-market fund is priced at 1, or at 100 when it is quoted on an
        # exchange (per 100 units); its income is computed through that price,
        # which decides the rounding of a tie (1000 units earning 0.5235:
        # 0.0524 at 1, 0.0523 at 100).
        unit_price = 100.0 if getattr(instrument, "exchange", None) else 1.0
        # Plain floats: round() of a numpy float rounds its scaled value
        # (0.34595 -> 0.346) instead of the exact one (0.3459) as the engine does.
        for day, value in zip(days, nav["unit_net_value"].to_numpy(dtype=float).tolist()):
            if not math.isnan(value):
                self.price[day] = unit_price if self.accrued else value
        # Income per trading day: the profits of the calendar days since the previous trading day,
        # summed as a grouped sum does (compensated, so the total is the exact sum rounded once: a
        # plain running sum can land on the other side of a rounding tie of the income).
        days_profits = {}
        if self.accrued:
            for day, value in zip(days, nav["daily_profit"].to_numpy(dtype=float).tolist()):
                at = bisect.bisect_left(calendar, day)
                if at < len(calendar):
                    days_profits.setdefault(calendar[at], [])
                    if not math.isnan(value):
                        days_profits[calendar[at]].append(value)
        self.profit = {key: math.fsum(values) for key, values in days_profits.items()}
        # Dividends by booking day (the last trading day on or before the book-closure date).
        self.dividends = {}
        table = fund.get_dividend([order_book_id])
        if table is not None:
            for _, row in table.reset_index().iterrows():
                book = pd.Timestamp(row["book_closure_date"]).date()
                booking = calendar[bisect.bisect_right(calendar, book) - 1]
                per_unit, payable = self.dividends.get(booking, (0.0, None))
                self.dividends[booking] = (per_unit + float(row["dividend_before_tax"]),
                                           payable or pd.Timestamp(row["payable_date"]).date())
        self.splits = {}
        table = fund.get_split(order_book_id)
        if table is not None and len(table):
            for _, row in table.reset_index().iterrows():
                self.splits[pd.Timestamp(row["ex_dividend_date"]).date()] = float(row["split_ratio"])


class Ledger:
    """Units and cash of one fund, rebuilt day by day from the trades and the data."""

    def __init__(self, data, calendar, sub_days, reinvest):
        self.data, self.calendar, self.sub_days, self.reinvest = data, calendar, sub_days, reinvest
        self.expected = 0.0          # units bought, arrived or not
        self.queue = []              # [arrival day, units], oldest first
        self.receivable = None       # (payable day, cash)
        self.last_price = None
        self.cash_dividends = {}     # day -> dividend cash paid
        self.reinvested = 0.0
        self.accrued = 0.0

    def after(self, day, n):
        return trading_day_after(self.calendar, day, n) or dt.date.max  # after the calendar: never

    def _arrive(self, day):
        while self.queue and self.queue[0][0] <= day:
            self.queue.pop(0)

    def received(self):
        return round(self.expected - sum(units for _, units in self.queue), 4)

    def before_trading(self, day):
        # Units that arrived on an earlier day (a fill with zero receiving
        # days arrives on its own day, after that morning) earn today's income.
        while self.queue and self.queue[0][0] < day:
            self.queue.pop(0)
        price = self.last_price
        # A money-market fund's income ends with its data (its delisting).
        earning = self.data.accrued and bool(self.data.profit) and day <= max(self.data.profit)
        if earning and price and self.received() * price != 0:
            profit = self.data.profit[day]
            amount = round(self.received() * price / 10000 * profit / price, 4)
            self.expected += amount
            self.accrued += amount
            self.queue.append([day, amount])
            self._arrive(day)
        if day in self.data.dividends and self.expected:  # no units, no dividend (and maybe no price yet)
            per_unit, payable = self.data.dividends[day]
            self.receivable = (payable, self.expected * per_unit)
        if self.receivable and self.receivable[0] == day:
            value = self.receivable[1]
            self.receivable = None
            if self.reinvest:
                amount = round(value / price, 4)
                self.buy(day, amount)
                self.reinvested += amount
            else:
                self.cash_dividends[day] = self.cash_dividends.get(day, 0.0) + value
        ratio = self.data.splits.get(day)
        if ratio is not None:
            self.expected = round(self.expected * ratio, 4)
            self.queue = [[arrival, round(units * ratio, 4)] for arrival, units in self.queue]
        self._arrive(day)

    def bar(self, day):
        if day in self.data.price:
            self.last_price = self.data.price[day]

    def buy(self, day, units):
        self.expected = round(self.expected + units, 4)
        self.queue.append([self.after(day, self.sub_days), units])

    def sell(self, units):
        self.expected = round(self.expected - units, 4)

    def settlement(self, day):
        if self.receivable and self.reinvest:
            payable, value = self.receivable
            amount = round(value / self.last_price, 4)
            self.expected += amount
            self.reinvested += amount
            self.queue.append([self.after(payable, self.sub_days), amount])
            self.receivable = None
            self._arrive(day)


def rebuild(result, config, sample):
    """Per fund and day, the expected units; per day, the expected cash change."""
    db_path, bundle = sample
    calendar = [pd.Timestamp(d).date() for d in pd.read_csv(Path(bundle) / "trading_dates.csv")["trading_date"]]
    fund_cfg = config.get("mod", {}).get("fund", {})
    sub_days = fund_cfg.get("subscription_receiving_days", 1)
    red_days = fund_cfg.get("redemption_receiving_days", 3)
    reinvest = bool(config.get("mod", {}).get("sys_accounts", {}).get("dividend_reinvestment", False))
    trades = result.trades.copy()
    trades["day"] = [pd.Timestamp(d).date() for d in trades["date"]]
    days = [pd.Timestamp(d).date() for d in result.daily.index]
    with using_database(db_path):
        ledgers = {oid: Ledger(FundData(oid, calendar), calendar, sub_days, reinvest)
                   for oid in trades["order_book_id"].unique()}
    by_day = {day: group for day, group in trades.groupby("day")}
    units = {oid: {} for oid in ledgers}
    cash = {}
    for day in days:
        change = 0.0
        for ledger in ledgers.values():
            ledger.before_trading(day)
            ledger.bar(day)
        for _, trade in by_day.get(day, pd.DataFrame()).iterrows():
            ledger = ledgers[trade["order_book_id"]]
            if trade["side"] == "BUY":
                ledger.buy(day, float(trade["quantity"]))
                change += float(trade["cash_amount"])
            else:
                ledger.sell(float(trade["quantity"]))
        for oid, ledger in ledgers.items():
            ledger.settlement(day)
            units[oid][day] = ledger.expected
            change += ledger.cash_dividends.get(day, 0.0)
        cash[day] = change
    # Redemption cash arrives on the n-th trading day after the trade; a
    # redemption near the calendar's end may be paid after its last day.
    sells = trades[trades["side"] == "SELL"]
    for day, amount in zip(sells["day"], sells["cash_amount"]):
        arrival = trading_day_after(calendar, day, red_days)
        if arrival in cash:
            cash[arrival] += float(amount)
    return ledgers, units, cash


# --- the checks ----------------------------------------------------------------------------------------------

def test_example_ran_and_traded(example):
    name, result, _ = example
    assert len(result.daily) > 2400, "ten years of trading days"
    assert len(result.trades) > 0, "{} never traded".format(name)


def test_total_value_is_cash_plus_equity_every_day(example):
    _, result, _ = example
    equity = result.positions.groupby("date")["equity"].sum()
    daily = result.daily
    held = equity.reindex(daily.index, fill_value=0.0)
    gap = (daily["cash"] + held - daily["total_value"]).abs()
    assert gap.max() < 1e-6, "first day off: {}".format(gap.idxmax())
    parts = daily["cash"] + daily["market_value"] + daily["receivable_cash"] + daily["dividend_receivable"]
    assert (parts - daily["total_value"]).abs().max() < 1e-6


def test_cash_changes_add_up(example):
    _, result, _ = example
    daily = result.daily
    start = result.summary["start_value"]
    assert daily["cash"].iloc[-1] == pytest.approx(start + daily["cash_change"].sum(), abs=1e-6)
    assert np.allclose(daily["cash"].diff().iloc[1:], daily["cash_change"].iloc[1:], atol=1e-6)


def test_no_unit_lost(example, sample):
    name, result, _ = example
    config = example_config(name, sample[1])
    ledgers, units, _ = rebuild(result, config, sample)
    positions = result.positions.assign(day=[pd.Timestamp(d).date() for d in result.positions["date"]])
    held = positions.set_index(["order_book_id", "day"])
    problems = []
    for oid, per_day in units.items():
        for day, expected in per_day.items():
            key = (oid, day)
            got = float(held.loc[key, "quantity"] + held.loc[key, "receivable_quantity"]) if key in held.index else 0.0
            if abs(got - expected) > UNIT_TOLERANCE:
                problems.append("{} {}: ledger {:.4f} units, run {:.4f}".format(oid, day, expected, got))
    assert not problems, "{} days off, first: {}".format(len(problems), problems[:5])
    # The same, as one identity per fund: what was bought, less what was
    # redeemed, plus what the fund paid in units, with splits applied.
    trades = result.trades
    for oid, ledger in ledgers.items():
        own = trades[trades["order_book_id"] == oid]
        if ledger.data.splits:
            continue  # the plain sum does not hold across a split; the daily check above covers it
        bought = own.loc[own["side"] == "BUY", "quantity"].sum()
        redeemed = own.loc[own["side"] == "SELL", "quantity"].sum()
        final = per_final(held, oid, result.daily.index[-1])
        assert final == pytest.approx(bought - redeemed + ledger.reinvested + ledger.accrued, abs=1e-3), oid


def per_final(held, oid, last_stamp):
    key = (oid, pd.Timestamp(last_stamp).date())
    if key not in held.index:
        return 0.0
    return float(held.loc[key, "quantity"] + held.loc[key, "receivable_quantity"])


def test_cash_moves_match_trades_dividends_and_arrivals(example, sample):
    name, result, _ = example
    _, _, cash = rebuild(result, example_config(name, sample[1]), sample)
    changes = result.daily["cash_change"]
    off = [(stamp.date(), value, cash[stamp.date()]) for stamp, value in changes.items()
           if abs(value - cash[stamp.date()]) > CASH_TOLERANCE]
    assert not off, "{} days off (day, run, ledger), first: {}".format(len(off), off[:5])


def test_redemption_cash_received_equals_redemption_trades(example, sample):
    name, result, _ = example
    ledgers, _, _ = rebuild(result, example_config(name, sample[1]), sample)
    trades, daily = result.trades, result.daily
    sold = trades.loc[trades["side"] == "SELL", "cash_amount"].sum()
    bought = trades.loc[trades["side"] == "BUY", "cash_amount"].sum()
    dividends = sum(sum(ledger.cash_dividends.values()) for ledger in ledgers.values())
    # Every cash movement is a purchase, a cash dividend or redemption cash
    # arriving; what has not arrived by the end is still owed.
    arrived = daily["cash_change"].sum() - bought - dividends
    tolerance = CASH_TOLERANCE * max(1, len(trades))
    assert arrived == pytest.approx(sold - daily["receivable_cash"].iloc[-1], abs=tolerance)


def test_rerun_is_identical(example, sample):
    name, result, _ = example
    again, _ = run_example(name, sample)
    pd.testing.assert_frame_equal(result.daily, again.daily, check_exact=True)
    pd.testing.assert_frame_equal(result.positions, again.positions, check_exact=True)
    columns = [c for c in result.trades.columns if c not in ("order_id", "trade_id")]
    pd.testing.assert_frame_equal(result.trades[columns], again.trades[columns], check_exact=True)
    assert result.summary == again.summary


def golden_summary(result):
    summary = result.summary
    return {
        "start_date": summary["start_date"],
        "end_date": summary["end_date"],
        "end_value": round(summary["end_value"], 2),
        "total_return": round(summary["total_return"], 6),
        "trades": int(summary["trades"]),
        "fees": round(summary["fees"], 2),
        # The benchmark's figures, so a change of how it is priced shows too.
        **{key: round(summary[key], 6) for key in ("benchmark_total_return", "excess_return") if key in summary},
    }


def test_golden_summary(example):
    name, result, _ = example
    path = GOLDEN_DIR / (name + ".json")
    current = golden_summary(result)
    if os.environ.get("TESSEL_UPDATE_GOLDEN") or not path.exists():
        GOLDEN_DIR.mkdir(exist_ok=True)
        path.write_text(json.dumps(current, indent=2, sort_keys=True) + "\n", encoding="utf-8")
        if not os.environ.get("TESSEL_UPDATE_GOLDEN"):
            pytest.fail("golden summary {} was missing and has been written: check it in".format(path.name))
    assert current == json.loads(path.read_text(encoding="utf-8"))
