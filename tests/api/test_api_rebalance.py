"""order_target_fund_weights on small portfolios: the orders it places and
the arithmetic behind them."""
import datetime as dt
import math
import os

import pytest

from tessel.const import ORDER_STATUS, SIDE
from tessel_mod_fund import api

EQUITY, BOND_A, BOND_B = "000001", "000025", "000034"


def floor_to(x, step):
    return math.floor(x / step + 1e-7) * step


def holding(engine, start, fund, amount, **fund_settings):
    """An engine at the close of the third trading day from ``start``,
    holding ``fund`` bought for ``amount`` on day one (units arrived)."""
    engine = engine(start, **fund_settings)
    engine.close()
    assert api.subscribe(fund, amount).status == ORDER_STATUS.ACTIVE
    engine.finish()
    engine.run_day()
    engine.open(engine.next_day())
    engine.close()
    return engine


def value_of(engine, fund):
    position = engine.account.positions[fund]
    return (position.quantity + position.receivable_quantity) * api.fund_nav(fund)


def split(orders):
    sells = [o for o in orders if o.side == SIDE.SELL]
    buys = [o for o in orders if o.side == SIDE.BUY]
    assert orders == sells + buys  # redemptions first
    return {o.order_book_id: o.quantity for o in sells}, {o.order_book_id: o.cash_amount for o in buys}


def test_rebalance_with_enough_cash(make_engine):
    engine = holding(make_engine, "2020-03-02", EQUITY, 300_000)
    cash = engine.account.cash
    total = cash + value_of(engine, EQUITY)
    nav = api.fund_nav(EQUITY)

    sells, buys = split(api.order_target_fund_weights({EQUITY: 0.1, BOND_A: 0.3, BOND_B: 0.2}))
    assert sells == {EQUITY: pytest.approx(floor_to((value_of(engine, EQUITY) - 0.1 * total) / nav, 1e-4))}
    assert buys == {BOND_A: pytest.approx(0.3 * total, abs=0.01), BOND_B: pytest.approx(0.2 * total, abs=0.01)}
    engine.finish()
    assert engine.account.cash == pytest.approx(cash - 0.5 * total, abs=0.05)


@pytest.mark.parametrize("weights", [{BOND_A: 0.4, BOND_B: 0.4}, {BOND_A: 0.5, BOND_B: 0.3}])
def test_short_cash_scales_subscriptions_and_ignores_redemption_cash(make_engine, weights):
    engine = holding(make_engine, "2020-03-02", EQUITY, 900_000)
    cash = engine.account.cash
    assert cash == pytest.approx(100_000, abs=0.01)

    sells, buys = split(api.order_target_fund_weights({EQUITY: 0.2, **weights}))
    assert list(sells) == [EQUITY]
    # The redemption's cash arrives days later: only the 100,000 at hand is spent,
    # shared in proportion to what each fund is short of.
    # Each amount is rounded down to the cent: at most a cent per fund is left.
    assert 0 <= cash - sum(buys.values()) < 0.02 + 1e-9
    assert buys[BOND_A] / buys[BOND_B] == pytest.approx(weights[BOND_A] / weights[BOND_B], rel=1e-6)
    engine.finish()
    assert 0 <= engine.account.cash < 0.02 + 1e-9
    assert engine.account.positions[EQUITY].receivable_cash > 0


def test_funds_not_named_are_emptied_and_queued_units_wait(make_engine):
    engine = make_engine("2020-03-02", subscription_receiving_days=2)
    engine.close()
    api.subscribe(EQUITY, 200_000)
    engine.finish()
    engine.at_close(engine.next_day())
    # Units still on their way cannot be redeemed, but they count as held.
    assert api.order_target_fund_weights({}) == []
    sells, buys = split(api.order_target_fund_weights({EQUITY: 0.2}))
    assert sells == {} and buys == {}
    engine.finish()
    engine.at_close(engine.next_day())
    closable = engine.account.positions[EQUITY].closable
    sells, buys = split(api.order_target_fund_weights({BOND_A: 0.1}, min_move=0.5))
    # A fund going to 0 is emptied whatever min_move says; the bond's 10% is below it.
    assert sells == {EQUITY: closable} and buys == {}


def test_small_moves_are_skipped(make_engine):
    engine = holding(make_engine, "2020-03-02", EQUITY, 300_000)
    total = engine.account.cash + value_of(engine, EQUITY)
    weight = value_of(engine, EQUITY) / total
    assert api.order_target_fund_weights({EQUITY: weight + 0.005}) == []
    sells, buys = split(api.order_target_fund_weights({EQUITY: weight + 0.005}, min_move=0.001))
    assert buys == {EQUITY: pytest.approx(0.005 * total, abs=0.01)}
    # Today's open order counts as done: asking again orders nothing more.
    assert api.order_target_fund_weights({EQUITY: weight + 0.005}, min_move=0) == []


@pytest.mark.parametrize("status_limit", [True, False])
def test_status_refusing_today_leaves_the_fund_alone(make_engine, status_limit):
    engine = make_engine("2015-12-30", status_limit=status_limit)
    engine.at_close(dt.date(2016, 1, 4))  # 000001 suspended both ways from today
    orders = api.order_target_fund_weights({EQUITY: 0.5, BOND_A: 0.3})
    assert [o.order_book_id for o in orders] == ([BOND_A] if status_limit else [EQUITY, BOND_A])


@pytest.mark.parametrize("limited, expected", [(True, 100_000.0), (False, 500_000.0)])
def test_subscription_capped_by_todays_upper_limit(make_engine, limited, expected):
    engine = make_engine("2017-04-05", subscription_limit=limited)
    engine.close()
    assert float(engine.env.get_bar("000004").subscribe_upper_limit) == 100_000.0
    _, buys = split(api.order_target_fund_weights({"000004": 0.5}))
    assert buys == {"000004": pytest.approx(expected)}


def test_fund_dropped_below_its_minimum_after_scaling(make_engine):
    engine = make_engine("2020-03-02")
    engine.close()
    lower = {}
    for fund in api.all_funds():
        if fund.order_book_id == "000012":
            continue  # the sample fund without status data has no bars
        bar = engine.env.get_bar(fund.order_book_id)
        if fund.fund_type != "Money" and bar.subscribe_status == "Open" and bar.redeem_status == "Open":
            lower.setdefault(float(bar.subscribe_lower_limit), fund.order_book_id)
    strict, lenient = lower[1000.0], lower[10.0]
    api.subscribe(EQUITY, 998_200)
    engine.finish()
    engine.run_day()
    engine.open(engine.next_day())
    engine.close()
    assert engine.account.cash == pytest.approx(1_800)
    # Each wants 30% of the account; 1,800 shared would give 900 each, below
    # the strict fund's 1,000 minimum: it is dropped and the other gets all.
    sells, buys = split(api.order_target_fund_weights({strict: 0.3, lenient: 0.3}))
    assert list(sells) == [EQUITY]
    assert buys == {lenient: pytest.approx(1_800, abs=0.01)}


@pytest.mark.parametrize("weights, min_move, message", [
    ({EQUITY: 0.7, BOND_A: 0.4}, 0.01, r"weights add up to 1.1, more than 1"),
    ({EQUITY: -0.1}, 0.01, r"weight of '000001' must be a number between 0 and 1, got -0.1"),
    ({EQUITY: float("nan")}, 0.01, r"weight of '000001' must be a number between 0 and 1, got nan"),
    ({EQUITY: "0.5"}, 0.01, r"weight of '000001' must be a number between 0 and 1, got '0.5'"),
    ([(EQUITY, 0.5)], 0.01, r"weights must be a mapping of fund id to weight"),
    ({EQUITY: 0.5}, 1.5, r"min_move must be a fraction in \[0, 1\), got 1.5"),
    ({EQUITY: 0.5}, -0.01, r"min_move must be a fraction in \[0, 1\), got -0.01"),
])
def test_bad_weights_order_nothing(make_engine, weights, min_move, message):
    engine = make_engine("2020-03-02")
    engine.close()
    with pytest.raises(ValueError, match="order_target_fund_weights: " + message):
        api.order_target_fund_weights(weights, min_move=min_move)
    assert engine.env.broker.get_open_orders() == []


def test_same_fund_named_twice_by_id_and_symbol(make_engine):
    make_engine("2020-03-02").close()
    symbol = api.fund_info(BOND_A).symbol
    with pytest.raises(ValueError, match="fund '000025' is named twice"):
        api.order_target_fund_weights({BOND_A: 0.2, symbol: 0.2})


@pytest.mark.parametrize("cash", [6_736_217_325_199_183.0, 3_439_362_333_550_183.5, 1e308])
def test_cash_beyond_the_cent_resolution_of_doubles_is_ordered_whole(make_engine, cash):
    """Past 2**53 cents a cent is finer than the spacing of doubles: rounding such an amount down to the cent
    once stepped down a cent at a time and never got anywhere (the run hung).  It is checked in a child
    process, so that a hang fails the test instead of the suite."""
    import multiprocessing

    engine = make_engine("2020-03-02", cash=cash, subscription_limit=False)
    engine.close()

    def order_all():
        _, buys = split(api.order_target_fund_weights({BOND_A: 1.0}))
        amount = buys[BOND_A]
        # Whole cents of the cash, as much as it allows: here every double is one already.
        os._exit(0 if amount <= cash and amount >= cash * (1 - 1e-15) and round(amount, 2) == amount else 3)

    child = multiprocessing.get_context("fork").Process(target=order_all)
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        child.join()
        pytest.fail("the rebalance did not finish within a minute")
    assert child.exitcode == 0
