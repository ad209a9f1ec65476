"""The run's environment: the one object every part of a run reaches.

One ``Environment`` exists per run.  Creating it makes it the current one
(``Environment.get_instance()``), so positions, stores and plug-ins created
later during that run find the configuration, the data and the broker
without having them passed around.
"""
from tessel.core.events import EventBus
from tessel.utils.logger import system_log


class _ZeroCostDecider:
    """Cost decider for instrument types nobody registered one for: trades cost nothing."""

    def get_trade_commission(self, trade):
        return 0.0

    def get_trade_tax(self, trade):
        return 0.0

    def get_order_transaction_cost(self, order):
        return 0.0


class Environment:
    _env = None

    def __init__(self, config):
        Environment._env = self
        self.config = config
        self.mod_dict = {}
        self.data_source = None
        self.data_proxy = None
        self.broker = None
        self.portfolio = None
        self.event_bus = EventBus()
        self.trading_dt = None
        self.calendar_dt = None
        self.system_log = system_log
        self._transaction_cost_deciders = {}
        self._default_decider = _ZeroCostDecider()
        # instrument type (or None for every type) -> list of validators, in registration order
        self._frontend_validators = {}

    @classmethod
    def get_instance(cls):
        """The current run's environment."""
        if cls._env is None:
            raise RuntimeError("no Environment has been created for this run yet")
        return cls._env

    @classmethod
    def has_instance(cls):
        return cls._env is not None

    # --- data -----------------------------------------------------------------------------
    def set_data_source(self, data_source):
        from tessel.data.data_proxy import DataProxy

        self.data_source = data_source
        self.data_proxy = DataProxy(data_source)

    def get_instrument(self, order_book_id):
        if self.data_proxy is None:
            raise RuntimeError("no data source has been set, cannot look up {!r}".format(order_book_id))
        return self.data_proxy.instruments(order_book_id)

    def get_bar(self, order_book_id):
        """The bar of ``order_book_id`` at the current trading time."""
        if self.data_proxy is None:
            raise RuntimeError("no data source has been set, cannot read the bar of {!r}".format(order_book_id))
        if self.trading_dt is None:
            raise RuntimeError("no current trading time: the run has not reached a trading day yet")
        return self.data_proxy.get_bar(order_book_id, self.trading_dt)

    # --- broker ---------------------------------------------------------------------------
    def set_broker(self, broker):
        self.broker = broker

    def get_account(self, order_book_id):
        """The account that holds ``order_book_id``'s instrument type."""
        if self.portfolio is None:
            raise RuntimeError("no portfolio has been set up")
        return self.portfolio.get_account_for(self.get_instrument(order_book_id))

    # --- transaction costs ----------------------------------------------------------------
    def set_transaction_cost_decider(self, instrument_type, decider):
        self._transaction_cost_deciders[instrument_type] = decider

    def _instrument_type_of(self, order_book_id):
        instrument = self.get_instrument(order_book_id)
        if instrument is None:
            raise ValueError("unknown instrument {!r}".format(order_book_id))
        return instrument.type

    def get_transaction_cost_decider(self, order_book_id):
        return self._transaction_cost_deciders.get(self._instrument_type_of(order_book_id), self._default_decider)

    def get_trade_commission(self, trade):
        return self.get_transaction_cost_decider(trade.order_book_id).get_trade_commission(trade)

    def get_trade_tax(self, trade):
        return self.get_transaction_cost_decider(trade.order_book_id).get_trade_tax(trade)

    def get_order_transaction_cost(self, order):
        return self.get_transaction_cost_decider(order.order_book_id).get_order_transaction_cost(order)

    # --- order validation -----------------------------------------------------------------
    def add_frontend_validator(self, validator, instrument_type=None):
        """Register ``validator`` for one instrument type, or for every type when None."""
        self._frontend_validators.setdefault(instrument_type, []).append(validator)

    def _validators_for(self, order_book_id):
        validators = list(self._frontend_validators.get(None, ()))
        typed = {k: v for k, v in self._frontend_validators.items() if k is not None}
        if typed:
            validators.extend(typed.get(self._instrument_type_of(order_book_id), ()))
        return validators

    def validate_order_submission(self, order, account=None):
        """The first refusal text of the validators that apply to ``order``, or None."""
        for validator in self._validators_for(order.order_book_id):
            reason = validator.validate_submission(order, account)
            if reason is not None:
                return reason
        return None

    def validate_order_cancellation(self, order, account=None):
        for validator in self._validators_for(order.order_book_id):
            reason = validator.validate_cancellation(order, account)
            if reason is not None:
                return reason
        return None
