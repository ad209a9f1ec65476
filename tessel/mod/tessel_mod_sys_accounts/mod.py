from tessel.core.events import EVENT
from tessel.interface import AbstractMod
from tessel.portfolio import Portfolio

# Loading the module registers the stock position classes.
from tessel.mod.tessel_mod_sys_accounts import position_model  # noqa: F401


class AccountMod(AbstractMod):
    """Creates the portfolio and keeps it in step with the run's events."""

    def __init__(self):
        self._env = None

    def start_up(self, env, mod_config):
        self._env = env
        if env.portfolio is None:
            env.portfolio = Portfolio(env.config.base.accounts)
        bus = env.event_bus
        bus.add_listener(EVENT.BEFORE_TRADING, self._before_trading)
        bus.add_listener(EVENT.BAR, self._on_bar)
        bus.add_listener(EVENT.TRADE, self._on_trade)
        bus.add_listener(EVENT.SETTLEMENT, self._settlement)

    def _before_trading(self, event):
        self._env.portfolio.before_trading(self._env.trading_dt.date())

    def _on_bar(self, event):
        # Before the broker matches (this plug-in starts first), so fills and
        # valuations of the bar see the same prices.
        self._env.portfolio.update_last_prices()

    def _on_trade(self, event):
        event.account.apply_trade(event.trade)

    def _settlement(self, event):
        self._env.portfolio.settlement(self._env.trading_dt.date())

    def tear_down(self, code, exception=None):
        pass
