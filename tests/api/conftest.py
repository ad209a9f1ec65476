"""Fixtures for the strategy fund functions: the sample fund database and
trading calendar built with the data client's command line, and an engine
with the fund plug-in started on them that tests step day by day."""
import datetime as dt

import pytest
from click.testing import CliRunner

import vexdatac
from tessel.config import load_config
from tessel.core.events import EVENT, Event
from tessel.environment import MARKET_CLOSE, MARKET_OPEN, Environment
from tessel.mod import ModHandler
from vexdatac.cli import main as vexdatac_cli


def _cli(*args):
    result = CliRunner().invoke(vexdatac_cli, [str(a) for a in args], catch_exceptions=False)
    assert result.exit_code == 0, result.output
    return result


@pytest.fixture(scope="session")
def sample_data(tmp_path_factory):
    """(database path, bundle directory) of the sample data."""
    root = tmp_path_factory.mktemp("fund_sample")
    db = root / "funds.sqlite"
    bundle = root / "bundle"
    _cli("sample", "--db", db)
    _cli("export-calendar", bundle, "--db", db)
    return db, bundle


class Engine:
    """The engine's daily sequence, one step at a time.

    ``open(day)`` runs the day's opening (clock at the open, BEFORE_TRADING),
    ``close()`` moves the clock to the close (where a strategy's handle_bar
    runs), ``finish()`` publishes BAR (prices, matching), AFTER_TRADING and
    SETTLEMENT.
    """

    def __init__(self, env):
        self.env = env
        self.day = None

    @property
    def proxy(self):
        return self.env.data_proxy

    @property
    def account(self):
        return self.env.portfolio.accounts[next(iter(self.env.portfolio.accounts))]

    def _clock(self, time):
        moment = dt.datetime.combine(self.day, time)
        self.env.calendar_dt = self.env.trading_dt = moment

    def open(self, day):
        self.day = day
        self._clock(MARKET_OPEN)
        self.env.event_bus.publish_event(Event(EVENT.BEFORE_TRADING, trading_date=day))

    def close(self):
        self._clock(MARKET_CLOSE)

    def finish(self):
        bus = self.env.event_bus
        for event in (EVENT.BAR, EVENT.AFTER_TRADING, EVENT.SETTLEMENT, EVENT.POST_SETTLEMENT):
            bus.publish_event(Event(event, trading_date=self.day))

    def next_day(self):
        return self.proxy.get_next_trading_date(self.day).date()

    def run_day(self, day=None):
        self.open(day or self.next_day())
        self.close()
        self.finish()

    def at_close(self, day):
        """Run the days up to ``day`` and stop at ``day``'s close."""
        while self.day < day:
            nxt = self.next_day()
            self.open(nxt)
            self.close()
            if nxt < day:
                self.finish()


@pytest.fixture
def make_engine(sample_data):
    """make_engine(start, **fund settings) -> Engine at the open of ``start`` (POST_SYSTEM_INIT done)."""
    db, bundle = sample_data
    handlers = []
    vexdatac.set_database(str(db))

    def make(start="2020-01-02", end="2020-12-31", cash=1_000_000, accounts=None, sys_accounts=None, **fund):
        config = load_config({
            "base": {"start_date": start, "end_date": end, "data_bundle_path": str(bundle),
                     "accounts": accounts or {"STOCK": cash}},
            "mod": {"fund": fund, "sys_accounts": sys_accounts or {}},
        })
        env = Environment(config)
        handler = ModHandler()
        handler.set_env(env)
        handler.start_up()
        handlers.append(handler)
        engine = Engine(env)
        engine.day = env.data_proxy.get_trading_dates(start, end)[0].date()
        engine._clock(MARKET_OPEN)
        env.event_bus.publish_event(Event(EVENT.POST_SYSTEM_INIT))
        engine.env.event_bus.publish_event(Event(EVENT.BEFORE_TRADING, trading_date=engine.day))
        return engine

    yield make
    for handler in handlers:
        handler.tear_down(0)
    vexdatac.set_database(None)
