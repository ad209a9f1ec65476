"""Random fund orders through the real engine give the same tables with the order path's shortcuts
as with the plain look-ups they stand for.

The plain run replaces each shortcut of the order path with the straightforward
code it stands for: no day-bar memo (every bar looked up again), bar fields read
one by one from the record on every read, validators and accounts found afresh
for every order, rows appended value by value.  Both runs place the same random
subscriptions and redemptions (by amount, by units, whole holdings, rebalances),
refused by status, limits, cash and units, on equity, bond and money-market funds.
"""
import pandas as pd
import pytest

import vexdatac
from tessel.data import bar as bar_module
from tessel.data.bar import BarObject
from tessel.data.data_proxy import DataProxy
from tessel.environment import Environment
from tessel.run import run
from tessel.utils.logger import console_logging
import tessel.recorder as recorder_module

STRATEGY = '''
import random


def init(context):
    context.funds = []
    for fund in all_funds():
        try:  # funds of the sample data without status records cannot be traded
            fund_status(fund.order_book_id)
        except ValueError:
            continue
        context.funds.append(fund.order_book_id)
    context.rng = random.Random(context.params["seed"])


def handle_bar(context, bar_dict):
    rng = context.rng
    funds = context.funds
    if rng.random() < 0.4:
        chosen = rng.sample(funds, k=rng.randint(1, len(funds)))
        raw = [rng.random() for _ in chosen]
        scale = rng.uniform(0.3, 1.0) / sum(raw)
        order_target_fund_weights({f: w * scale for f, w in zip(chosen, raw)}, min_move=rng.choice([0.0, 0.01]))
    for _ in range(rng.randint(0, 6)):
        fund = rng.choice(funds)
        kind = rng.random()
        if kind < 0.3:
            subscribe(fund, rng.choice([5.0, 99.99, 1000.0, 50_000.0, 2e6, 1e12]) * rng.uniform(0.5, 1.5))
        elif kind < 0.55:
            redeem(fund, rng.choice([0.5, 10.0, 100.0, 1e9]) * rng.uniform(0.5, 1.5))
        elif kind < 0.7:
            redeem_all(fund)
        else:
            subscribe(fund, round(rng.uniform(100.0, 20_000.0), 2))
'''


def _plain_get_bar(self, order_book_id):
    # Environment.get_bar without the inlined memo
    if self.data_proxy is None:
        raise RuntimeError("no data source")
    if self.trading_dt is None:
        raise RuntimeError("no current trading time")
    return self.data_proxy.get_bar(order_book_id, self.trading_dt)


def _plain_validators_for(self, order_book_id):
    by_type = self._frontend_validators
    validators = list(by_type.get(None, ()))
    if len(by_type) > (None in by_type):
        validators.extend(by_type.get(self._instrument_type_of(order_book_id), ()))
    return validators


def _plain_validate(self, order, account=None):
    for validator in _plain_validators_for(self, order.order_book_id):
        reason = getattr(validator, "validate_submission")(order, account)
        if reason is not None:
            return reason
    return None


def _plain_get_account(self, order_book_id):
    instrument = self.get_instrument(order_book_id)
    if instrument is None:
        raise ValueError("unknown instrument {!r}".format(order_book_id))
    return self.portfolio.get_account_for(instrument)


def _plain_append_row(appenders, values):
    for (append, *_), value in zip(appenders, values):
        append(value)


class _NoKeep:
    """A slot stand-in that never keeps what is written to it: each read finds nothing kept."""

    def __get__(self, obj, owner=None):
        return None

    def __set__(self, obj, value):
        pass


def _plain_paths(monkeypatch):
    monkeypatch.setattr(DataProxy, "_keep_bar", lambda self, order_book_id, dt, bar: None)
    monkeypatch.setattr(Environment, "get_bar", _plain_get_bar)
    # Bar fields: every read goes to the record, one field at a time.
    monkeypatch.setattr(BarObject, "_fields", _NoKeep())
    monkeypatch.setattr(bar_module, "_all_fields", lambda bar: None)
    monkeypatch.setattr(Environment, "validate_order_submission", _plain_validate)
    monkeypatch.setattr(Environment, "get_account", _plain_get_account)
    monkeypatch.setattr(recorder_module, "_append_row", _plain_append_row)


def _run(sample_data, seed, start, end):
    db, bundle = sample_data
    config = {"base": {"start_date": start, "end_date": end, "data_bundle_path": str(bundle),
                       "accounts": {"STOCK": 3_000_000}},
              "mod": {"fund": {"status_limit": True, "subscription_limit": True,
                               "subscription_receiving_days": 1, "redemption_receiving_days": 3}},
              "params": {"seed": seed}}
    vexdatac.set_database(str(db))
    try:
        with console_logging("none"):
            return run(config, str(sample_data[1].parent / "order_path_strategy.py"))
    finally:
        vexdatac.set_database(None)


@pytest.mark.parametrize("seed, start, end", [(1, "2019-01-02", "2019-06-28"), (2, "2020-01-02", "2020-04-30")])
def test_random_orders_give_the_tables_of_the_plain_paths(sample_data, monkeypatch, seed, start, end):
    (sample_data[1].parent / "order_path_strategy.py").write_text(STRATEGY)
    fast = _run(sample_data, seed, start, end)
    with monkeypatch.context() as patch:
        _plain_paths(patch)
        plain = _run(sample_data, seed, start, end)
    orders = fast["orders"]
    # The random orders cover what the order path decides.
    assert len(orders) > 300
    assert set(orders["status"]) == {"FILLED", "REJECTED"}
    messages = " ".join(orders.loc[orders["status"] == "REJECTED", "message"])
    for reason in ("not enough cash", "only", "minimum"):
        assert reason in messages, reason
    assert (orders["side"] == "SELL").sum() > 30
    vexdatac.set_database(str(sample_data[0]))
    try:
        types = vexdatac.fund.all_instruments().set_index("order_book_id")["fund_type"]
    finally:
        vexdatac.set_database(None)
    traded = {types[f] for f in set(fast["trades"]["order_book_id"])}
    assert "Money" in traded and len(traded) >= 3, traded
    for name in ("orders", "trades", "daily", "positions"):
        pd.testing.assert_frame_equal(fast[name], plain[name], check_exact=True, obj=name)
    assert repr(sorted(fast["summary"].items())) == repr(sorted(plain["summary"].items()))
