import datetime as dt

import pytest

from host_helpers import at
from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from tessel.mod.tessel_mod_sys_accounts.position_model import StockPosition, StockPositionProxy
from tessel.model import Trade
from tessel.portfolio import Account
from tessel.portfolio.position import Position, PositionProxy

LONG = POSITION_DIRECTION.LONG


def trade(side, price, qty, commission=0.0, tax=0.0, effect=None):
    effect = effect or (POSITION_EFFECT.OPEN if side == SIDE.BUY else POSITION_EFFECT.CLOSE)
    moment = dt.datetime(2020, 1, 6, 15)
    return Trade.__from_create__(1, price, qty, side, effect, "S1", commission, tax,
                                 calendar_dt=moment, trading_dt=moment)


def test_buy_and_sell_accounting(stock_env):
    pos = StockPosition("S1", LONG)
    assert pos._env is stock_env and pos._dividend_receivable is None
    assert pos.apply_trade(trade(SIDE.BUY, 10.0, 100, commission=5)) == pytest.approx(-1005.0)
    assert pos.apply_trade(trade(SIDE.BUY, 13.0, 200)) == pytest.approx(-2600.0)
    assert pos.quantity == 300 and pos.avg_price == pytest.approx(12.0)
    pos.settlement(dt.date(2020, 1, 6))
    assert pos._old_quantity == pos._logical_old_quantity == 300
    pos.apply_trade(trade(SIDE.BUY, 12.0, 50))
    assert pos.today_closable == 50
    # Yesterday's units are sold first.
    assert pos.apply_trade(trade(SIDE.SELL, 14.0, 120, commission=1, tax=2)) == pytest.approx(14 * 120 - 3)
    assert (pos.quantity, pos._old_quantity, pos._logical_old_quantity) == (230, 180, 300)
    assert pos.avg_price == pytest.approx((12.0 * 300 + 12.0 * 50) / 350)   # sales leave cost unchanged
    pos.update_last_price(15.0)
    assert pos.equity == pytest.approx(230 * 15.0) == pos.market_value


def test_oversell_is_refused_without_changing_anything(stock_env):
    pos = StockPosition("S1", LONG, init_quantity=100, init_price=10.0)
    before = pos.get_state()
    with pytest.raises(ValueError, match="only 100 held"):
        pos.apply_trade(trade(SIDE.SELL, 10.0, 101))
    assert pos.get_state() == before
    with pytest.raises(NotImplementedError):
        pos.apply_trade(trade(SIDE.SELL, 10.0, 1, effect=POSITION_EFFECT.OPEN))


def test_prices_through_the_day(stock_env):
    pos = StockPosition("S1", LONG, init_quantity=10, init_price=8.0)
    assert pos.last_price == 8.0                       # no price yet: the cost
    pos.update_last_price(9.0)
    pos.update_last_price(float("nan"))                # a missing price keeps the last one
    assert pos.last_price == 9.0
    assert pos.before_trading(dt.date(2020, 1, 7)) == 0
    assert pos.prev_close == 9.0 and pos.last_price == 9.0 and pos.quantity == 10
    pos._prev_close = 4.5                              # e.g. rescaled by a split before the bar
    assert pos.equity == pytest.approx(45.0)


def test_state_round_trip_tolerates_extra_keys(stock_env):
    pos = StockPosition("S1", LONG)
    pos.apply_trade(trade(SIDE.BUY, 10.0, 100))
    pos.settlement(dt.date(2020, 1, 6))
    pos.apply_trade(trade(SIDE.BUY, 11.0, 40))
    pos._dividend_receivable = (dt.date(2020, 1, 9), 12.5)
    state = pos.get_state()
    assert isinstance(state, dict)
    state["subscribe_queue"] = [(dt.datetime(2020, 1, 7), 5.0)]    # a subclass's own key
    restored = StockPosition("S1", LONG)
    restored.set_state(state)
    assert (restored.quantity, restored._old_quantity, restored.today_closable) == (140, 100, 40)
    assert restored.avg_price == pos.avg_price
    assert restored._dividend_receivable == (dt.date(2020, 1, 9), 12.5)


def test_registry_serves_most_recent_class_made_through_the_metaclass(stock_env):
    assert Position.get_class(INSTRUMENT_TYPE.CS) is StockPosition

    def make_fund_class(name):
        ns = {"__instrument_types__": (INSTRUMENT_TYPE.PUBLIC_FUND,), "__module__": __name__}
        return type(StockPosition)(name, (StockPosition,), ns)

    first = make_fund_class("FundPositionA")
    second = make_fund_class("FundPositionB")
    assert Position.get_class(INSTRUMENT_TYPE.PUBLIC_FUND) is second
    assert Position.get_class("PublicFund") is second           # plain text finds it too
    assert Position.get_class(INSTRUMENT_TYPE.CS) is StockPosition
    assert first is not second

    class NoTypes(StockPosition):   # declares nothing: changes nothing
        pass

    assert Position.get_class(INSTRUMENT_TYPE.CS) is StockPosition
    with pytest.raises(ValueError, match="Option"):
        Position.get_class(INSTRUMENT_TYPE.OPTION)

    proxy_cls = type(StockPositionProxy)("FundProxy", (StockPositionProxy,),
                                         {"__instrument_types__": (INSTRUMENT_TYPE.PUBLIC_FUND,)})
    assert PositionProxy.get_class(INSTRUMENT_TYPE.PUBLIC_FUND) is proxy_cls
    assert PositionProxy.get_class(INSTRUMENT_TYPE.ETF) is StockPositionProxy


def test_account_books_trades_and_daily_cash(stock_env):
    at(stock_env, "2020-01-06")
    account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, 10000)
    account.apply_trade(trade(SIDE.BUY, 10.0, 100, commission=5))
    assert account.cash == pytest.approx(10000 - 1005)
    position = account.positions["S1"]
    assert type(position) is StockPosition
    account.update_last_prices()                               # bar close of S1 on 01-06 is 12
    assert account.total_value == pytest.approx(account.cash + 100 * 12.0)

    class Paying(StockPosition):
        # A position that pays cash at both ends of the day.
        def before_trading(self, trading_date):
            super().before_trading(trading_date)
            return 7.0

        def settlement(self, trading_date):
            super().settlement(trading_date)
            return 3.0

    account.positions["S2"] = Paying("S1", LONG, 1, 1.0)
    cash = account.cash
    account.before_trading(dt.date(2020, 1, 7))
    account.settlement(dt.date(2020, 1, 7))
    assert account.cash == pytest.approx(cash + 10.0)
    proxy = account.get_position_proxy("S1")
    assert isinstance(proxy, StockPositionProxy) and proxy.quantity == 100 and proxy.type == INSTRUMENT_TYPE.CS


def test_failed_trade_leaves_cash_untouched_and_empty_positions_close(stock_env):
    account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, 1000)
    with pytest.raises(ValueError):
        account.apply_trade(trade(SIDE.SELL, 10.0, 5))
    assert account.cash == 1000
    account.settlement(dt.date(2020, 1, 6))
    assert account.positions == {}
    account.apply_trade(trade(SIDE.BUY, 10.0, 5))
    state = account.get_state()
    other = Account(DEFAULT_ACCOUNT_TYPE.STOCK, 0)
    other.set_state(state)
    assert other.cash == account.cash and other.positions["S1"].quantity == 5
