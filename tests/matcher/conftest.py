"""Fixtures of the matcher tests; builders live in matcher_helpers."""
import pytest

from matcher_helpers import *  # noqa: F401,F403
from matcher_helpers import DIVIDEND, FUNDS, Market, _write  # noqa: F401

@pytest.fixture(scope="session")
def fund_db(tmp_path_factory):
    src = tmp_path_factory.mktemp("csv")
    all_days = [d.date() for d in pd.date_range(TRADING_DAYS[0], TRADING_DAYS[-1])]
    catalogue, nav, status, fees = [], [], [], []
    for oid, (kind, price, (upper, lower, red_lower), schedule) in FUNDS.items():
        money = kind == "Money"
        catalogue.append([oid, "示例基金" + oid, kind, "2020-01-02", "", "true" if money else ""])
        for day in all_days if money else TRADING_DAYS:
            if oid == "100003" and day == NO_NAV_DAY:
                continue
            nav.append([oid, day, price(day), price(day), 0.5 if money else None, 1.8 if money else None])
        for day in TRADING_DAYS:
            if oid == "100003" and day == NO_NAV_DAY:
                continue
            status.append([oid, day, "Limited" if upper else "Open", "Open", upper, lower, red_lower])
        if schedule:
            sub, red = schedule
            fees += [[oid, "subscription", b, r, f] for b, r, f in sub]
            fees += [[oid, "redemption", b, r, None] for b, r in red]
    _write(src / "catalogue.csv",
           ["order_book_id", "symbol", "fund_type", "listed_date", "de_listed_date", "accrued_daily"], catalogue)
    _write(src / "nav.csv",
           ["order_book_id", "date", "unit_net_value", "adjusted_net_value", "daily_profit", "weekly_yield"], nav)
    _write(src / "status.csv", ["order_book_id", "date", "subscribe_status", "redeem_status",
                                "subscribe_upper_limit", "subscribe_lower_limit", "redeem_lower_limit"], status)
    _write(src / "dividends.csv",
           ["order_book_id", "book_closure_date", "ex_dividend_date", "payable_date", "dividend_before_tax"],
           [["100008", *DIVIDEND]])
    _write(src / "splits.csv", ["order_book_id", "ex_dividend_date", "split_ratio"], [["100005", SPLIT_DAY, 2.0]])
    _write(src / "calendar.csv", ["trading_date"], [[d] for d in TRADING_DAYS])
    _write(src / "fees.csv", ["order_book_id", "kind", "upper_bound", "rate", "fixed_fee"], fees)
    path = tmp_path_factory.mktemp("db") / "funds.sqlite"
    import_csv(src, path)
    return path


@pytest.fixture
def make_market(fund_db, tmp_path):
    handlers = []

    def factory(cash=1_000_000, reinvest=False, **fund_config):
        bundle = tmp_path / "bundle"
        bundle.mkdir(exist_ok=True)
        (bundle / "trading_dates.csv").write_text(
            "trading_date\n" + "".join(d.isoformat() + "\n" for d in TRADING_DAYS))
        config = load_config({
            "base": {"start_date": TRADING_DAYS[0].isoformat(), "end_date": TRADING_DAYS[-1].isoformat(),
                     "data_bundle_path": str(bundle), "accounts": {"STOCK": cash}},
            "mod": {"fund": fund_config, "sys_accounts": {"dividend_reinvestment": reinvest}},
        })
        env = Environment(config)
        handler = ModHandler()
        handler.set_env(env)
        handler.start_up()
        handlers.append(handler)
        return Market(env)

    vexdatac.set_database(str(fund_db))
    try:
        yield factory
    finally:
        for handler in handlers:
            handler.tear_down(0)
        vexdatac.set_database(None)
