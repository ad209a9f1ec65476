"""The engine's event bus: a run is a sequence of published events."""
from enum import Enum


class EVENT(Enum):
    POST_SYSTEM_INIT = "post_system_init"
    POST_USER_INIT = "post_user_init"
    BEFORE_TRADING = "before_trading"
    BAR = "bar"
    AFTER_TRADING = "after_trading"
    SETTLEMENT = "settlement"
    POST_SETTLEMENT = "post_settlement"
    ORDER_PENDING_NEW = "order_pending_new"
    ORDER_CREATION_PASS = "order_creation_pass"
    ORDER_CREATION_REJECT = "order_creation_reject"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    TRADE = "trade"

    # Members are singletons compared by identity, so the identity's (C) hash serves the bus's
    # listener table, looked up for every event, as well as Enum's hash of the name would.
    __hash__ = object.__hash__


class Event:
    """An event of one type with arbitrary keyword payload, read as attributes."""

    def __init__(self, event_type, **kwargs):
        self.__dict__ = kwargs
        self.event_type = event_type

    def __repr__(self):
        payload = ", ".join("{}={!r}".format(k, v) for k, v in self.__dict__.items() if k != "event_type")
        return "Event({}{}{})".format(self.event_type, ", " if payload else "", payload)


class EventBus:
    """Calls the listeners of an event type in the order they were added."""

    def __init__(self):
        self._listeners = {}

    def _listeners_of(self, event_type, listener):
        """The listener list of ``event_type``, once ``listener`` is known to be callable."""
        if not callable(listener):
            raise TypeError("listener for {} is not callable: {!r}".format(event_type, listener))
        return self._listeners.setdefault(event_type, [])

    def add_listener(self, event_type, listener):
        self._listeners_of(event_type, listener).append(listener)

    def prepend_listener(self, event_type, listener):
        self._listeners_of(event_type, listener).insert(0, listener)

    def publish_event(self, event):
        # Copy so that a listener registering another listener does not
        # change the round that is being delivered.
        for listener in list(self._listeners.get(event.event_type, ())):
            listener(event)
