"""The portfolio: the run's accounts, by account type."""
from tessel.const import DEFAULT_ACCOUNT_TYPE, INSTRUMENT_TYPE
from tessel.portfolio.account import Account

__all__ = ["Portfolio", "Account"]


class Portfolio:
    def __init__(self, starting_cash):
        """``starting_cash``: account type -> starting cash."""
        self._accounts = {}
        for account_type, cash in starting_cash.items():
            member = DEFAULT_ACCOUNT_TYPE(str(account_type).upper())
            self._accounts[member] = Account(member, cash)

    @property
    def accounts(self):
        return self._accounts

    def get_account(self, account_type):
        try:
            return self._accounts[account_type]
        except KeyError:
            raise ValueError("no {} account in this run".format(account_type)) from None

    def get_account_for(self, instrument):
        """The account that holds ``instrument``: futures in FUTURE, everything else in STOCK."""
        if instrument is None:
            raise ValueError("unknown instrument")
        instrument_type = instrument.type
        # A member of the enumeration other than FUTURE is not FUTURE: no comparison needed.
        if instrument_type is INSTRUMENT_TYPE.FUTURE or (
                type(instrument_type) is not INSTRUMENT_TYPE and instrument_type == INSTRUMENT_TYPE.FUTURE):
            return self.get_account(DEFAULT_ACCOUNT_TYPE.FUTURE)
        return self.get_account(DEFAULT_ACCOUNT_TYPE.STOCK)

    @property
    def cash(self):
        return sum(a.cash for a in self._accounts.values())

    @property
    def total_value(self):
        return sum(a.total_value for a in self._accounts.values())

    def before_trading(self, trading_date):
        for account in self._accounts.values():
            account.before_trading(trading_date)

    def update_last_prices(self):
        for account in self._accounts.values():
            account.update_last_prices()

    def settlement(self, trading_date):
        for account in self._accounts.values():
            account.settlement(trading_date)

    def apply_trade(self, account, trade):
        account.apply_trade(trade)

    def get_state(self):
        return {str(k): a.get_state() for k, a in self._accounts.items()}

    def set_state(self, state):
        for key, account_state in state.items():
            self.get_account(DEFAULT_ACCOUNT_TYPE(key)).set_state(account_state)
