"""Seeded random strategies over short windows of the sample database.

Each seed draws a window of 60-250 trading days inside 2015-2024, a fund
universe (always a money-market fund, a dividend payer and a fund with a
split or a delisting, plus a few random ones), the receiving days and the
dividend treatment, and a strategy that on random days subscribes, redeems,
redeems everything or rebalances to random weights.  The run must then hold
the same identities as the ten-year reconciliation of the examples: cash
plus equity is the total value, the cash changes add up, every fund's units
equal the ledger rebuilt from the trades and the fund data, nothing is
negative, and the only trouble a strategy meets is a rejected order.
"""
import os
import random
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from scenario_helpers import forget_process_caches, run_strategy, scripted_strategy
from test_reconcile_examples import (CASH_TOLERANCE, UNIT_TOLERANCE, per_final, rebuild,  # noqa: F401
                                     sample, trading_day_after)  # (sample: module fixture)

# TESSEL_FUZZ_SEEDS=FIRST:LAST runs a longer sweep of seeds instead (not in CI).
# Seeds 3, 19, 70, 76, 1232, 5071, 5109, 10573 and 12645 each once exposed a fault (in
# the engine or in the reconciliation ledger): units received with zero
# receiving days, several redemption arrivals on one day, a rounding tie of
# money-market income, a money-market fund held through its delisting, a
# weekend's income summed term by term in the ledger (3.0965000000000003, the
# engine's grouped sum 3.0965) landing on the other side of a tie, a
# redemption paid after the calendar's last day, the income of a fund quoted
# per 100 units on an exchange computed in the ledger at a price of 1 (a tie
# rounded the other way), a dividend booked in the ledger on no units before
# the fund had a price, units subscribed too late to arrive within the calendar.
SWEEP = bool(os.environ.get("TESSEL_FUZZ_SEEDS"))


def fuzz_seeds(fixed):
    """``fixed``, or the range TESSEL_FUZZ_SEEDS=FIRST:LAST names."""
    if not SWEEP:
        return fixed
    first, last = (int(x) for x in os.environ["TESSEL_FUZZ_SEEDS"].split(":"))
    return list(range(first, last))


SEEDS = fuzz_seeds([3, 19, 70, 76, 101, 1232, 2024, 5071, 5109, 10573, 12645, 31337, 65537])

MONEY = ["0000{}".format(n) for n in range(37, 45)]
DIVIDEND = ["000001", "000010", "000024", "000025", "000026", "000034", "000036"]
SPLIT_OR_DELISTED = ["000002", "000006", "000008", "000011", "000018", "000021", "000023", "000032", "000043"]
# 000012 has no status rows: its bars fail with the data store's documented
# "no status data" error, which would end the run at the first order.
ANY = ["{:06d}".format(n) for n in range(1, 45) if n != 12]

STRATEGY = '''
import random

UNIVERSE = {universe!r}
RNG = random.Random({seed})
ACTION_RATE = {rate!r}


def act(context):
    for _ in range(RNG.randint(1, 3)):
        kind = RNG.choice(["subscribe", "subscribe", "redeem", "redeem", "redeem_all", "weights"])
        fund = RNG.choice(UNIVERSE)
        if kind == "subscribe":
            # From dust (below any minimum) to more than the account has.
            amount = round(context.portfolio.cash * RNG.choice([0.0001, 0.05, 0.3, 1.0, 1.2]), 2)
            if amount > 0:
                subscribe(fund, amount)
        elif kind == "redeem":
            # Units it has, more than it has, or a fund it does not hold.
            closable = get_position(fund).closable
            redeem(fund, round(closable * RNG.uniform(0.1, 1.3), 4) or RNG.choice([1.0, 1000.0]))
        elif kind == "redeem_all":
            redeem_all(fund)
        else:
            chosen = RNG.sample(UNIVERSE, RNG.randint(1, min(4, len(UNIVERSE))))
            raw = [RNG.random() for _ in chosen]
            scale = RNG.uniform(0.5, 1.0) / sum(raw)
            order_target_fund_weights({{f: w * scale for f, w in zip(chosen, raw)}},
                                      min_move=RNG.choice([0.0, 0.01, 0.05]))


def before_trading(context):
    if RNG.random() < ACTION_RATE / 3:
        act(context)


def handle_bar(context, bar_dict):
    if RNG.random() < ACTION_RATE:
        act(context)
'''


def draw_case(seed, bundle):
    rng = random.Random(seed)
    calendar = pd.read_csv(bundle / "trading_dates.csv")["trading_date"].tolist()
    calendar = [d for d in calendar if "2015-01-05" <= d <= "2024-12-31"]
    length = rng.randint(60, 250)
    first = rng.randrange(0, len(calendar) - length)
    universe = sorted({rng.choice(MONEY), rng.choice(DIVIDEND), rng.choice(SPLIT_OR_DELISTED),
                       *rng.sample(ANY, rng.randint(0, 3))})
    fund = {
        "subscription_receiving_days": rng.randint(0, 3),
        "redemption_receiving_days": rng.randint(1, 4),
        "status_limit": True,
        "subscription_limit": True,
        "fund_nav_type": "unit",
    }
    config = {
        "base": {"start_date": calendar[first], "end_date": calendar[first + length - 1],
                 "accounts": {"STOCK": rng.choice([10000, 100000, 1000000])},
                 "data_bundle_path": str(bundle)},
        "mod": {"fund": fund, "sys_accounts": {"dividend_reinvestment": rng.random() < 0.5}},
    }
    source = STRATEGY.format(universe=universe, seed=seed, rate=rng.choice([0.1, 0.3, 0.6]))
    return config, source


_RUNS = {}


@pytest.fixture(params=SEEDS, ids=["seed{}".format(s) for s in SEEDS])
def case(request, sample, tmp_path_factory):  # noqa: F811
    seed = request.param
    if seed not in _RUNS:
        db_path, bundle = sample
        config, source = draw_case(seed, bundle)
        forget_process_caches()
        result = run_strategy(db_path, config, source, tmp_path_factory.mktemp("seed{}".format(seed)))
        _RUNS[seed] = (config, result)
    return _RUNS[seed]


def test_ran_and_traded(case):
    _, result = case
    assert len(result.daily) >= 60
    if SWEEP and not (result.orders["status"] == "FILLED").any():
        pytest.skip("this draw fills no order (a small account, closed funds): it exercises nothing")
    assert (result.orders["status"] == "FILLED").any(), "nothing filled: the draw exercises nothing"


def test_rejections_are_the_only_failures(case):
    _, result = case
    orders = result.orders
    assert set(orders["status"]) <= {"FILLED", "REJECTED", "CANCELLED"}, set(orders["status"])
    rejected = orders[orders["status"] == "REJECTED"]
    assert rejected["message"].map(lambda m: isinstance(m, str) and m.strip() != "").all(), \
        "a rejection without a reason"


def test_total_value_is_cash_plus_equity(case):
    _, result = case
    daily = result.daily
    equity = result.positions.groupby("date")["equity"].sum().reindex(daily.index, fill_value=0.0)
    gap = (daily["cash"] + equity - daily["total_value"]).abs()
    assert gap.max() < 1e-6, "first day off: {}".format(gap.idxmax())
    parts = daily["cash"] + daily["market_value"] + daily["receivable_cash"] + daily["dividend_receivable"]
    assert (parts - daily["total_value"]).abs().max() < 1e-6


def test_cash_changes_add_up(case):
    _, result = case
    daily = result.daily
    assert daily["cash"].iloc[-1] == pytest.approx(result.summary["start_value"] + daily["cash_change"].sum(),
                                                    abs=1e-6)
    assert np.allclose(daily["cash"].diff().iloc[1:], daily["cash_change"].iloc[1:], atol=1e-6)


def test_nothing_negative(case):
    _, result = case
    daily, positions = result.daily, result.positions
    for column in ("cash", "receivable_cash", "dividend_receivable", "total_value"):
        assert (daily[column] >= -1e-9).all(), column
    for column in ("quantity", "receivable_quantity", "equity"):
        assert (positions[column] >= -1e-9).all(), column
    assert (result.trades["quantity"] > 0).all()


def arrivals_per_day(result, config, bundle):
    """{day: trades filled or redemption cash arriving that day}."""
    calendar = [pd.Timestamp(d).date() for d in pd.read_csv(Path(bundle) / "trading_dates.csv")["trading_date"]]
    lag = config["mod"]["fund"]["redemption_receiving_days"]
    counts = {}
    for stamp, side in zip(result.trades["date"], result.trades["side"]):
        day = pd.Timestamp(stamp).date()
        counts[day] = counts.get(day, 0) + 1
        arrival = trading_day_after(calendar, day, lag)
        if side == "SELL" and arrival is not None:  # cash paid after the calendar's last day arrives on none
            counts[arrival] = counts.get(arrival, 0) + 1
    return counts


def test_units_and_cash_match_the_ledger(case, sample):  # noqa: F811
    config, result = case
    ledgers, units, cash = rebuild(result, config, sample)
    positions = result.positions.assign(day=[pd.Timestamp(d).date() for d in result.positions["date"]])
    held = positions.set_index(["order_book_id", "day"])
    problems = []
    for oid, per_day in units.items():
        for day, expected in per_day.items():
            got = per_final(held, oid, day)
            if abs(got - expected) > UNIT_TOLERANCE:
                problems.append("{} {}: ledger {:.4f} units, run {:.4f}".format(oid, day, expected, got))
    # Each redemption's cash is credited rounded to 4 decimals while the
    # trades table keeps it unrounded, so a day on which several arrive may
    # differ by up to half a unit of the 4th decimal per arrival.
    events = arrivals_per_day(result, config, sample[1])
    off = [(stamp.date(), value, cash[stamp.date()]) for stamp, value in result.daily["cash_change"].items()
           if abs(value - cash[stamp.date()]) > CASH_TOLERANCE * max(1, events.get(stamp.date(), 0))]
    assert not problems, "{} unit days off, first: {}".format(len(problems), problems[:5])
    assert not off, "{} cash days off (day, run, ledger), first: {}".format(len(off), off[:5])


def test_money_market_units_held_through_delisting_keep_their_value(sample, tmp_path):  # noqa: F811
    # 000043 is delisted on 2023-03-31 and closed to redemption in its last
    # days, so a holder cannot get out.  Its income stops there; the run
    # goes on with the units at their last value instead of failing on the
    # first morning without income.
    db_path, bundle = sample
    config = {
        "base": {"start_date": "2023-02-20", "end_date": "2023-04-20", "accounts": {"STOCK": 100000},
                 "data_bundle_path": str(bundle)},
        "mod": {"fund": {"subscription_receiving_days": 1, "redemption_receiving_days": 3,
                         "status_limit": True, "fund_nav_type": "unit"},
                "sys_accounts": {"dividend_reinvestment": False}},
    }
    result = run_strategy(db_path, config, scripted_strategy({"2023-03-01": [("subscribe", "000043", 50000)]}),
                          tmp_path)
    held = result.positions[result.positions["order_book_id"] == "000043"].set_index("date")
    assert len(held) and (result.orders["status"] == "FILLED").all()
    before = held.loc[held.index <= "2023-03-31", "quantity"]
    after = held.loc[held.index > "2023-03-31", "quantity"]
    assert before.iloc[-1] > 50000, "income accrues while the fund is listed"
    assert len(after) > 10 and (after == before.iloc[-1]).all(), "no income and no loss after the delisting"
    _, units, _ = rebuild(result, config, sample)
    run_units = {pd.Timestamp(stamp).date(): q + r for stamp, q, r in
                 zip(held.index, held["quantity"], held["receivable_quantity"])}
    assert all(abs(run_units.get(day, 0.0) - expected) <= UNIT_TOLERANCE
               for day, expected in units["000043"].items())
