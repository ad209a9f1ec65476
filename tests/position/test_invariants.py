"""Random subscriptions and redemptions through the engine's account: nothing is lost."""
import random

import numpy as np
import pytest

from position_helpers import TRADING_DAYS, nav_bars


@pytest.mark.parametrize("seed", range(6))
def test_units_and_cash_are_conserved(make_run, seed):
    rng = random.Random(seed)
    run = make_run(fund={"subscription_receiving_days": rng.randint(0, 3),
                         "redemption_receiving_days": rng.randint(0, 4)})
    navs = [round(float(x), 4) for x in 1.0 + np.cumsum([rng.uniform(-0.02, 0.02) for _ in TRADING_DAYS])]
    run.bars.bars["F1"] = nav_bars(TRADING_DAYS, navs)
    account = run.account
    start_cash = account.cash
    paid = received = 0.0  # cash that left for subscriptions / is owed from redemptions
    bought = sold = 0.0
    seen = {"queued_units": False, "queued_cash": False}

    def check():
        position = account.positions.get("F1")
        if position is None:  # closed by the account: nothing held and nothing owed
            assert bought == pytest.approx(sold, abs=1e-6)
            assert account.cash == pytest.approx(start_cash - paid + received, abs=1e-6)
            return
        queued = position.receivable_quantity
        seen["queued_units"] |= queued > 0
        seen["queued_cash"] |= position.receivable_cash > 0
        assert position._quantity == pytest.approx(position.quantity + queued, abs=1e-6)
        assert position._quantity == pytest.approx(bought - sold, abs=1e-6)
        # queued redemption cash is owed, counted in equity, not yet in cash
        assert account.cash + position.receivable_cash == pytest.approx(start_cash - paid + received, abs=1e-6)
        assert position.equity == pytest.approx(position._quantity * position.last_price
                                                + position.receivable_cash, abs=1e-6)
        assert account.total_value == pytest.approx(account.cash + position.equity, abs=1e-9)

    trading_days = TRADING_DAYS[:-6]  # leave room for everything to arrive
    for i, day in enumerate(TRADING_DAYS):
        account.before_trading(day)
        check()
        run.at(day)
        if "F1" in account.positions:
            account.update_last_prices()
        if day in trading_days:
            for _ in range(rng.randint(0, 3)):
                position = account.positions.get("F1")
                if position is not None and position.quantity > 0 and rng.random() < 0.4:
                    units = round(rng.uniform(0, position.quantity), 4) if rng.random() < 0.8 else position.quantity
                    account.apply_trade(run.redeem(day, units, price=navs[i]))
                    sold += units
                    received += round(units * navs[i], 4)
                else:
                    units = round(rng.uniform(1, 5000), 2)
                    account.apply_trade(run.subscribe(day, units, price=navs[i]))
                    bought += units
                    paid += round(units * navs[i], 4)
                check()
        account.settlement(day)
        check()

    assert seen["queued_units"] == (run.env.config.mod.fund.subscription_receiving_days > 0)
    assert seen["queued_cash"] or run.env.config.mod.fund.redemption_receiving_days == 0 or sold == 0
    position = account.positions.get("F1")
    assert position is None or (position.receivable_quantity == 0 and position.receivable_cash == 0)
    assert account.cash == pytest.approx(start_cash - paid + received, abs=1e-6)
