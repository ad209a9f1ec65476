"""The stores against the sample database of the fund data client, inside
an engine started with the fund plug-in enabled."""
import pandas as pd
import pytest

import vexdatac
from bar_reference import assert_same_bars, joined, reference_bars
from tessel.config import load_config
from tessel.const import INSTRUMENT_TYPE
from tessel.environment import Environment
from tessel.mod import ModHandler
from tessel.utils.datetime_func import convert_date_to_date_int, convert_date_to_int
from tessel_mod_fund.data import FundCatalogEntry
from vexdatac.sample import build_sample

fund_api = vexdatac.fund


@pytest.fixture(scope="module")
def sample_db(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "funds.sqlite"
    build_sample(path)
    return path


@pytest.fixture
def engine(sample_db, tmp_path):
    vexdatac.set_database(str(sample_db))
    try:
        bundle = tmp_path / "bundle"
        bundle.mkdir()
        days = fund_api.get_trading_dates()
        (bundle / "trading_dates.csv").write_text(
            "trading_date\n" + "".join(d.strftime("%Y-%m-%d") + "\n" for d in days))
        config = load_config({"base": {"start_date": "2020-01-02", "end_date": "2020-12-31",
                                       "data_bundle_path": str(bundle)}})
        env = Environment(config)
        handler = ModHandler()
        handler.set_env(env)
        handler.start_up()
        yield env
        handler.tear_down(0)
    finally:
        vexdatac.set_database(None)


def test_catalogue_bars_dividends_and_splits(engine):
    env = engine
    mod = env.mod_dict["fund"]
    ids = fund_api.all_instruments()["order_book_id"].tolist()

    funds = env.data_proxy.all_instruments(types=[INSTRUMENT_TYPE.PUBLIC_FUND])
    assert [f.order_book_id for f in funds] == ids
    assert all(isinstance(f, FundCatalogEntry) and f.type == INSTRUMENT_TYPE.PUBLIC_FUND for f in funds)

    checked = {"ordinary": 0, "accrued": 0, "exchange": 0, "no_status": 0, "late_status": 0}
    for fund in funds:
        oid = fund.order_book_id
        nav = fund_api.get_nav(oid, start_date="20050104", end_date="29991231")
        status = fund_api.get_transaction_status(oid, start_date="20050104", end_date="29991231")
        if status is None:
            with pytest.raises(ValueError, match=oid):
                mod.get_bars(oid)
            checked["no_status"] += 1
            continue
        frame = joined(nav, status)
        bars = mod.get_bars(oid)
        assert bars is env.data_proxy.get_bars(oid)  # the host reads the same cached array
        assert_same_bars(bars, reference_bars(frame, "unit_net_value", fund.accrued_daily, fund.exchange))
        first, last = env.data_source.get_date_range(fund)
        assert (first, last) == (int(bars["datetime"][0]), int(bars["datetime"][-1]))
        if status.index.get_level_values("datetime")[0] > nav.index[0]:
            assert first == convert_date_to_int(status.index.get_level_values("datetime")[0])
            checked["late_status"] += 1
        if fund.accrued_daily:
            checked["accrued"] += 1
            checked["exchange"] += bool(fund.exchange)
            assert set(bars["datetime"]) <= set(convert_date_to_int(nav.index))
        else:
            checked["ordinary"] += 1
    assert all(checked.values()), checked

    # the host's current bar carries the day's status for the validator
    bar = env.data_proxy.get_bar(ids[0], pd.Timestamp("2020-06-01"))
    assert bar.subscribe_status in ("Open", "Limited", "Suspended", "Close")


def test_dividends_and_splits_through_the_host(engine):
    env = engine
    proxy = env.data_proxy
    dividends = fund_api.get_dividend(fund_api.all_instruments()["order_book_id"].tolist())
    for (oid, ex_date), row in dividends.iterrows():
        records = proxy.get_dividend(oid)
        assert len(records) == (dividends.index.get_level_values(0) == oid).sum()
        book_text = row["book_closure_date"].strftime("%Y%m%d")
        shifted = proxy.get_next_trading_date(book_text, n=-1)
        found = proxy.get_dividend_by_book_date(oid, shifted)
        assert found is not None
        match = found[found["ex_dividend_date"] == convert_date_to_date_int(ex_date)]
        assert len(match) == 1
        assert match["dividend_cash_before_tax"][0] == row["dividend_before_tax"]
        assert match["announcement_date"][0] == int(book_text)

    seen = 0
    for oid in fund_api.all_instruments()["order_book_id"]:
        splits = fund_api.get_split(oid)
        if splits is None or splits.empty:
            assert proxy.get_split(oid) is None
            continue
        for ex_date, ratio in splits["split_ratio"].items():
            assert proxy.get_split_by_ex_date(oid, ex_date) == ratio
            seen += 1
    assert seen > 0
