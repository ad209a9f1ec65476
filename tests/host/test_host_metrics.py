"""Performance figures against values worked out by hand on tiny series."""
import datetime as dt
import json
import math
import statistics

import pandas as pd
import pytest

from tessel.result import RunResult, compute_summary

DAYS = pd.DatetimeIndex(["2020-01-02", "2020-01-03", "2020-01-06", "2020-01-07"], name="date")


def daily(values):
    return pd.DataFrame({"total_value": values}, index=DAYS[:len(values)])


def trades(fees):
    return pd.DataFrame({"fee": fees})


def test_returns_volatility_and_sharpe_by_hand():
    # 100 -> 110 -> 99 -> 104.5 -> 121: daily returns +10 %, -10 %, +5.5..%, +15.78..%
    values = [110.0, 99.0, 104.5, 121.0]
    returns = [0.1, -0.1, 104.5 / 99 - 1, 121 / 104.5 - 1]
    s = compute_summary(daily(values), 100, trades([1.5, 2.5]), risk_free_rate=0.0252)
    assert s["total_return"] == pytest.approx(0.21)
    assert s["annual_return"] == pytest.approx(1.21 ** (252 / 4) - 1)
    assert s["annual_volatility"] == pytest.approx(statistics.stdev(returns) * math.sqrt(252))
    excess = statistics.mean(returns) - 0.0252 / 252
    assert s["sharpe_ratio"] == pytest.approx(excess / statistics.stdev(returns) * math.sqrt(252))
    assert (s["trades"], s["fees"], s["trading_days"]) == (2, 4.0, 4)
    assert (s["start_date"], s["end_date"]) == ("2020-01-02", "2020-01-07")


@pytest.mark.parametrize("values, drawdown, peak, trough", [
    # peak 110 on day 1, trough 99 on day 2
    ([110.0, 99.0, 104.5, 121.0], 99 / 110 - 1, "2020-01-02", "2020-01-03"),
    # the first day already falls below the starting value: the peak is the start
    ([90.0, 95.0, 80.0, 100.0], -0.2, "2020-01-02", "2020-01-06"),
    # a later, deeper fall from a later peak wins
    ([105.0, 100.0, 120.0, 90.0], -0.25, "2020-01-06", "2020-01-07"),
    # never below a previous peak
    ([100.0, 101.0, 102.0, 103.0], 0.0, None, None),
])
def test_max_drawdown_and_its_dates(values, drawdown, peak, trough):
    s = compute_summary(daily(values), 100)
    assert s["max_drawdown"] == pytest.approx(drawdown)
    assert (s["max_drawdown_peak"], s["max_drawdown_trough"]) == (peak, trough)


def test_flat_run_has_no_sharpe_and_short_run_no_volatility():
    flat = compute_summary(daily([100.0, 100.0, 100.0]), 100)
    assert flat["annual_volatility"] == 0 and math.isnan(flat["sharpe_ratio"])
    one_day = compute_summary(daily([101.0]), 100)
    assert one_day["total_return"] == pytest.approx(0.01) and math.isnan(one_day["annual_volatility"])


def test_benchmark_figures_by_hand():
    values = [110.0, 99.0, 104.5, 121.0]
    bench = [10.5, 11.0, float("nan"), 12.1]  # the missing day keeps the last price
    s = compute_summary(daily(values), 100, benchmark=bench, benchmark_base=10.0, benchmark_id="IDX")
    assert s["benchmark"] == "IDX"
    assert s["benchmark_total_return"] == pytest.approx(0.21)
    assert s["benchmark_annual_return"] == pytest.approx(1.21 ** 63 - 1)
    assert s["excess_return"] == pytest.approx(0.0)
    strat = [0.1, -0.1, 104.5 / 99 - 1, 121 / 104.5 - 1]
    bench_r = [0.05, 11 / 10.5 - 1, 0.0, 12.1 / 11 - 1]
    assert s["tracking_error"] == pytest.approx(
        statistics.stdev(a - b for a, b in zip(strat, bench_r)) * math.sqrt(252))
    # Without a price before the run, the first day's close is the base.
    s = compute_summary(daily(values), 100, benchmark=bench, benchmark_base=None, benchmark_id="IDX")
    assert s["benchmark_total_return"] == pytest.approx(12.1 / 10.5 - 1)


def test_benchmark_without_prices_gives_empty_figures_not_errors():
    s = compute_summary(daily([101.0, 102.0]), 100, benchmark=[float("nan")] * 2, benchmark_id="IDX")
    assert all(math.isnan(s[k]) for k in ("benchmark_total_return", "excess_return", "tracking_error"))


def test_summary_json_and_text_survive_missing_values(tmp_path):
    d = daily([100.0, 100.0])
    for column in ("cash", "market_value", "receivable_units_value", "receivable_cash", "dividend_receivable"):
        d[column] = 0.0
    d["cash"] = d["total_value"]
    empty = pd.DataFrame({"fee": []})
    result = RunResult(daily=d, positions=pd.DataFrame(), trades=empty, orders=pd.DataFrame(),
                       summary=compute_summary(d, 100, empty, benchmark=[float("nan")] * 2, benchmark_id="IDX"))
    result.save(tmp_path)
    loaded = json.loads((tmp_path / "summary.json").read_text())
    assert loaded["sharpe_ratio"] is None and loaded["benchmark"] == "IDX"
    text = result.report_text()
    assert "Sharpe ratio" in text and "nan" not in text.lower()
    assert result["summary"] is result.summary
    with pytest.raises(KeyError):
        result["nope"]
    assert dt.date.fromisoformat(loaded["start_date"]) == dt.date(2020, 1, 2)
