"""The run's environment: the one object every part of a run reaches.

One ``Environment`` exists per run.  Creating it makes it the current one
(``Environment.get_instance()``), so positions, stores and plug-ins created
later during that run find the configuration, the data and the broker
without having them passed around.
"""
import datetime as _dt

from tessel import _native
from tessel.core.events import EventBus
from tessel.data.data_proxy import DataProxy
from tessel.portfolio import Portfolio
from tessel.utils.logger import system_log

# The simulated day: strategies' before_trading runs at the open, handle_bar
# and the matching at the close.  A day's bar exists only from the close on.
MARKET_OPEN = _dt.time(9, 30)
MARKET_CLOSE = _dt.time(15, 0)


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
        # instrument type -> the validators that apply to it (those for every type first), made on first use
        self._validators_by_type = {}
        # (portfolio, instrument type, its accounts, the account) of the last get_account
        self._last_account = (None, None, None, None)
        # instrument type -> trading days by which strategies see its bars late
        self._strategy_bar_lags = {}

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
        self.data_source = data_source
        self.data_proxy = DataProxy(data_source)

    def get_instrument(self, order_book_id):
        proxy = self.data_proxy
        if type(proxy) is DataProxy and type(order_book_id) is str:
            # DataProxy.instrument's cache hit, inlined: asked for every order and every held fund each day.
            if getattr(proxy._data_source, "instruments_version", None) == proxy._instrument_cache_version:
                found = proxy._instrument_cache.get(order_book_id)
                if found is not None:
                    return found
            return proxy._instrument(order_book_id)
        if proxy is None:
            raise RuntimeError("no data source has been set, cannot look up {!r}".format(order_book_id))
        return proxy.instruments(order_book_id)

    def get_bar(self, order_book_id):
        """The bar of ``order_book_id`` at the current trading time."""
        proxy = self.data_proxy
        if type(proxy) is DataProxy:
            # DataProxy.get_bar's answer for a bar already handed out at this time, inlined: the
            # strategy functions, the validators and the matcher each ask for every order.
            bars = proxy._day_bars
            if bars[0] is self.trading_dt and type(order_book_id) is str:
                source = proxy._data_source
                if bars[1] == source.bars_version and bars[2] == getattr(source, "instruments_version", None) \
                        and bars[3] is source._calendar_rows:
                    bar = bars[4].get(order_book_id)
                    if bar is not None:
                        return bar
        if proxy is None:
            raise RuntimeError("no data source has been set, cannot read the bar of {!r}".format(order_book_id))
        if self.trading_dt is None:
            raise RuntimeError("no current trading time: the run has not reached a trading day yet")
        return self.data_proxy.get_bar(order_book_id, self.trading_dt)

    # --- what strategies may see ----------------------------------------------------------
    def set_strategy_bar_lag(self, instrument_type, days):
        """Strategies see bars of ``instrument_type`` ``days`` trading days late.

        For instruments whose price of day T is published only after day T's
        order cut-off (a fund's NAV), a strategy deciding on day T may know
        the prices up to T-1 only: ``set_strategy_bar_lag(PUBLIC_FUND, 1)``.
        The lag applies to what is handed to the strategy (``bar_dict``,
        ``history_bars``); ``get_bar`` — used by validators, matchers and
        valuation — still reads day T.
        """
        if isinstance(days, bool) or not isinstance(days, int) or days < 0:
            raise ValueError("strategy bar lag of {} must be a whole number of trading days >= 0, got {!r}".format(
                instrument_type, days))
        self._strategy_bar_lags[instrument_type] = days

    def get_strategy_bar_lag(self, instrument_type):
        return self._strategy_bar_lags.get(instrument_type, 0)

    def get_strategy_visible_date(self, order_book_id):
        """The last trading date whose bar of ``order_book_id`` a strategy may read now, or None.

        At or after the close that is today minus the instrument type's lag.
        Before the close (``init``, ``before_trading``) today's bar does not
        exist yet, so it is yesterday at the latest; a lag of one day does
        not hold back more than that, since yesterday's late price was
        published overnight.  None when that date lies before the start of
        the trading calendar.
        """
        if self.trading_dt is None:
            raise RuntimeError("no current trading time: the run has not reached a trading day yet")
        lag = self._strategy_bar_lags.get(self._instrument_type_of(order_book_id), 0) if self._strategy_bar_lags \
            else 0
        if self.trading_dt.time() < MARKET_CLOSE:
            lag = max(lag, 1)
        day = self.trading_dt.date()
        if lag == 0:
            return day
        try:
            return self.data_proxy.get_previous_trading_date(day, lag).date()
        except ValueError:
            return None

    def get_strategy_bar(self, order_book_id):
        """The bar of ``order_book_id`` as a strategy may see it now (see ``set_strategy_bar_lag``)."""
        if self.data_proxy is None:
            raise RuntimeError("no data source has been set, cannot read the bar of {!r}".format(order_book_id))
        if self.trading_dt is None:
            raise RuntimeError("no current trading time: the run has not reached a trading day yet")
        day = self.get_strategy_visible_date(order_book_id)
        if day is None:
            from tessel.data.bar import BarObject

            return BarObject(self.get_instrument(order_book_id), None, None)
        if day == self.trading_dt.date():
            return self.data_proxy.get_bar(order_book_id, self.trading_dt)
        return self.data_proxy.get_bar(order_book_id, _dt.datetime.combine(day, MARKET_CLOSE))

    # --- broker ---------------------------------------------------------------------------
    def set_broker(self, broker):
        self.broker = broker

    def get_account(self, order_book_id):
        """The account that holds ``order_book_id``'s instrument type."""
        portfolio = self.portfolio
        if portfolio is None:
            raise RuntimeError("no portfolio has been set up")
        if not isinstance(order_book_id, str):
            # A list or other collection would be looked up as several ids at once.
            raise TypeError("order book id must be a text, got {!r}".format(order_book_id))
        instrument = self.get_instrument(order_book_id)
        if instrument is None:
            raise ValueError("unknown instrument {!r}".format(order_book_id))
        # The engine's portfolio gives one account per instrument type: the last answer is kept.
        if type(portfolio) is Portfolio:
            instrument_type = instrument.type
            last = self._last_account
            if last[0] is portfolio and last[1] is instrument_type and last[2] is portfolio._accounts:
                return last[3]
            account = portfolio.get_account_for(instrument)
            self._last_account = (portfolio, instrument_type, portfolio._accounts, account)
            return account
        return portfolio.get_account_for(instrument)

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
        self._validators_by_type = {}

    def _validators_for(self, order_book_id):
        """The validators that apply to ``order_book_id``: those for every type, then those for its type.

        The list is the environment's own (kept per type until a validator is added): do not modify it.
        """
        by_type = self._frontend_validators
        # The instrument is looked up only when some validator is tied to a type (a key besides None).
        if len(by_type) > (None in by_type):
            instrument_type = self._instrument_type_of(order_book_id)
            try:
                return self._validators_by_type[instrument_type]
            except KeyError:
                pass
            validators = list(by_type.get(None, ()))
            validators.extend(by_type.get(instrument_type, ()))
            self._validators_by_type[instrument_type] = validators
            return validators
        return list(by_type.get(None, ()))

    def _first_refusal(self, check, order, account):
        for validator in self._validators_for(order.order_book_id):
            reason = getattr(validator, check)(order, account)
            if reason is not None:
                return reason
        return None

    def validate_order_submission(self, order, account=None):
        """The first refusal text of the validators that apply to ``order``, or None."""
        validators = None
        by_type = self._frontend_validators
        if len(by_type) > (None in by_type):
            # _validators_for's kept list, found without its calls.
            instrument = self.get_instrument(order.order_book_id)
            if instrument is not None:
                try:
                    validators = self._validators_by_type.get(instrument.type)
                except TypeError:
                    pass
        if validators is None:
            validators = self._validators_for(order.order_book_id)
        for validator in validators:
            reason = validator.validate_submission(order, account)
            if reason is not None:
                return reason
        return None

    def validate_order_cancellation(self, order, account=None):
        return self._first_refusal("validate_cancellation", order, account)


# get_instrument's cache hit runs natively; the definition above is the reference.
PYTHON_DEFINITIONS = _native.install("environment", Environment)
