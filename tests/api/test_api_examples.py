"""The example strategies run end to end on the sample data and do what
their descriptions promise."""
import pathlib

import pandas as pd
import pytest
import yaml

import vexdatac
from tessel.run import run

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def run_example(sample_data):
    db, bundle = sample_data

    def go(name):
        config = yaml.safe_load((EXAMPLES / (name + ".yml")).read_text(encoding="utf-8"))
        config["base"]["data_bundle_path"] = str(bundle)
        vexdatac.set_database(str(db))
        try:
            return config, run(config, str(EXAMPLES / (name + ".py")))
        finally:
            vexdatac.set_database(None)

    return go


def statuses(fund, config):
    frame = vexdatac.fund.get_transaction_status(fund, config["base"]["start_date"], config["base"]["end_date"])
    return frame.reset_index(level="order_book_id", drop=True)


def test_buy_and_hold_reinvests_dividends(run_example, sample_data):
    config, result = run_example("buy_and_hold")
    trades = result.trades
    assert trades["side"].tolist() == ["BUY"] and trades["order_book_id"].tolist() == ["000001"]
    vexdatac.set_database(str(sample_data[0]))
    try:
        status = statuses("000001", config)
        dividends = vexdatac.fund.get_dividend(["000001"])
    finally:
        vexdatac.set_database(None)
    # Bought on the first day subscriptions were open.
    first_open = status.index[status["subscribe_status"].isin(["Open", "Limited"])][0]
    assert pd.Timestamp(trades["date"].iloc[0]) == first_open
    held = result.positions.set_index("date")["quantity"]
    paid = dividends["payable_date"][(dividends["payable_date"] > first_open)
                                     & (dividends["payable_date"] <= config["base"]["end_date"])]
    assert len(paid) > 0 and held.iloc[-1] > trades["quantity"].iloc[0]
    after = result.daily.loc[result.daily.index >= first_open, "cash"]
    assert after.abs().max() < 1.0  # dividends came as units, not cash


def test_monthly_rebalance_trades_on_month_starts_and_honours_status(run_example, sample_data):
    config, result = run_example("monthly_rebalance")
    trades = result.trades.assign(date=lambda t: pd.to_datetime(t["date"]))
    days = pd.DatetimeIndex(result.daily.index)
    month_starts = set(days.to_series().groupby(days.to_period("M")).min())
    assert set(trades["date"]) <= month_starts
    vexdatac.set_database(str(sample_data[0]))
    try:
        for fund, group in trades.groupby("order_book_id"):
            status = statuses(fund, config)
            column = group["side"].map({"BUY": "subscribe_status", "SELL": "redeem_status"})
            seen = [status.at[d, c] for d, c in zip(group["date"], column)]
            assert set(seen) <= {"Open", "Limited"}
    finally:
        vexdatac.set_database(None)
    first = trades[trades["date"] == trades["date"].min()]
    # Day one: four equal subscriptions of 98% / 4 of the starting cash.
    assert first["cash_amount"].tolist() == pytest.approx([-245_000.0] * 4, abs=0.01)
    assert (result.daily["cash"] >= -1e-6).all()


def test_money_market_parking_buys_monthly_from_parked_cash(run_example):
    config, result = run_example("money_market_parking")
    trades = result.trades.assign(date=lambda t: pd.to_datetime(t["date"]))
    target = trades[trades["order_book_id"] == "000021"]
    parking = trades[trades["order_book_id"] == "000037"]
    assert target["side"].eq("BUY").all()
    assert target["cash_amount"].tolist() == pytest.approx([-10_000.0] * len(target))
    months = target["date"].dt.to_period("M")
    assert months.is_unique and len(months) == len(pd.period_range("2019-01", "2020-12", freq="M"))
    # Idle cash goes to the money-market fund, which pays for later purchases.
    assert parking["side"].iloc[0] == "BUY" and (parking["side"] == "SELL").sum() >= 12
    assert (result.daily["cash"] >= -1e-6).all()
    assert result.daily["cash"].iloc[-1] < 20_000
