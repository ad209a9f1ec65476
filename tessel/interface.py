"""Abstract classes through which plug-ins extend the engine.

Plug-in classes derive from these and are created through ``ABCMeta``; a
subclass that leaves an abstract method unimplemented cannot be
instantiated, which catches an incomplete plug-in at start-up rather than in
the middle of a run.
"""
from abc import ABCMeta, abstractmethod


class AbstractMod(metaclass=ABCMeta):
    """A plug-in: started before the run, torn down after it."""

    @abstractmethod
    def start_up(self, env, mod_config):
        """Wire the plug-in into ``env``; ``mod_config`` is its own config section."""
        raise NotImplementedError

    def tear_down(self, code, exception=None):
        """Called once after the run with the exit code and the exception that ended it, if any."""


class AbstractFrontendValidator(metaclass=ABCMeta):
    """Checks orders before the broker accepts them.

    Each method returns None to let the request through or a text that
    refuses it; the text becomes the order's rejection reason.
    """

    @abstractmethod
    def validate_submission(self, order, account=None):
        raise NotImplementedError

    @abstractmethod
    def validate_cancellation(self, order, account=None):
        raise NotImplementedError


class AbstractTransactionCostDecider(metaclass=ABCMeta):
    """Works out the cost of trades and orders for one instrument type."""

    @abstractmethod
    def get_trade_commission(self, trade):
        raise NotImplementedError

    @abstractmethod
    def get_trade_tax(self, trade):
        raise NotImplementedError

    @abstractmethod
    def get_order_transaction_cost(self, order):
        raise NotImplementedError


class AbstractMatcher(metaclass=ABCMeta):
    """Turns an open order into fills for one instrument type.

    The broker calls :meth:`match` once per open order at every bar.  The
    matcher returns the trades it made (an iterable, possibly empty, or
    None).  It must not apply them itself: the broker fills the order with
    each trade and publishes ``EVENT.TRADE``, on which the account books it.
    To refuse an order the matcher calls ``order.mark_rejected(reason)`` and
    returns no trade; an order left active stays open for later bars of the
    same day.
    """

    @abstractmethod
    def match(self, account, order, open_auction):
        raise NotImplementedError

    def update(self, event):
        """Called at every bar before matching, for matchers that keep per-bar state."""
