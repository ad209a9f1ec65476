"""The backtest broker: validates orders, keeps them open, and fills them at each bar."""
from tessel.const import ORDER_STATUS
from tessel.core.events import EVENT, Event, EventBus
from tessel.model.order import Order
from tessel.mod.tessel_mod_sys_simulation.matcher import STOCK_TYPES, DefaultStockMatcher

_ACTIVE = ORDER_STATUS.ACTIVE
_PENDING_NEW_STATUS = ORDER_STATUS.PENDING_NEW
_REJECTED = ORDER_STATUS.REJECTED
_new = object.__new__
_PENDING_NEW, _CREATION_PASS, _CREATION_REJECT, _TRADE, _UNSOLICITED_UPDATE = (
    EVENT.ORDER_PENDING_NEW, EVENT.ORDER_CREATION_PASS, EVENT.ORDER_CREATION_REJECT, EVENT.TRADE,
    EVENT.ORDER_UNSOLICITED_UPDATE)


def _is_active(status):
    """``status == ORDER_STATUS.ACTIVE``, by identity where the status is a member."""
    return status is _ACTIVE or (type(status) is not ORDER_STATUS and status == _ACTIVE)


class SimulationBroker:
    def __init__(self, env, config):
        self._env = env
        self._config = config
        self._matchers = dict.fromkeys(STOCK_TYPES, DefaultStockMatcher(env, config))
        self._open_orders = []  # (account, order), in submission order
        env.event_bus.add_listener(EVENT.BAR, self._on_bar)
        env.event_bus.add_listener(EVENT.AFTER_TRADING, self._after_trading)

    # --- matchers -------------------------------------------------------------------------
    def register_matcher(self, instrument_type, matcher):
        self._matchers[instrument_type] = matcher

    def get_matcher(self, instrument_type):
        try:
            return self._matchers[instrument_type]
        except KeyError:
            raise ValueError("no matcher registered for instrument type {}".format(instrument_type)) from None

    # --- orders ---------------------------------------------------------------------------
    def get_open_orders(self, order_book_id=None):
        return [o for _, o in self._open_orders if order_book_id is None or o.order_book_id == order_book_id]

    def submit_order(self, order):
        """Validate ``order`` and queue it for matching; returns the order (rejected or active)."""
        env = self._env
        account = env.get_account(order.order_book_id)
        bus = env.event_bus
        # The engine's own bus: its listeners are called here as its publish_event calls them (a copy of
        # the type's list, in order).
        listeners = bus._listeners if type(bus) is EventBus else None
        # The events are made as Event(type, account=..., order=...) makes them, without its call.
        event = _new(Event)
        event.__dict__ = {"account": account, "order": order, "event_type": _PENDING_NEW}
        if listeners is None:
            bus.publish_event(event)
        else:
            for listener in list(listeners.get(_PENDING_NEW, ())):
                listener(event)
        reason = env.validate_order_submission(order, account)
        if reason is not None:
            order.mark_rejected(reason)
            event = _new(Event)
            event.__dict__ = {"account": account, "order": order, "event_type": _CREATION_REJECT}
            bus.publish_event(event)
            return order
        if type(order) is Order and order._status is _PENDING_NEW_STATUS:
            order._status = _ACTIVE  # Order.active's common case, without its call
        else:
            order.active()
        self._open_orders.append((account, order))
        event = _new(Event)
        event.__dict__ = {"account": account, "order": order, "event_type": _CREATION_PASS}
        if listeners is None:
            bus.publish_event(event)
        else:
            for listener in list(listeners.get(_CREATION_PASS, ())):
                listener(event)
        return order

    def cancel_order(self, order):
        env = self._env
        entry = next(((a, o) for a, o in self._open_orders if o is order), None)
        if entry is None:
            raise ValueError("order {} is not open".format(order.order_id))
        account = entry[0]
        reason = env.validate_order_cancellation(order, account)
        if reason is not None:
            env.event_bus.publish_event(Event(EVENT.ORDER_CANCELLATION_REJECT, account=account, order=order,
                                              reason=reason))
            return False
        order.mark_cancelled("cancelled by the strategy")
        self._open_orders.remove(entry)
        env.event_bus.publish_event(Event(EVENT.ORDER_CANCELLATION_PASS, account=account, order=order))
        return True

    # --- matching -------------------------------------------------------------------------
    def _on_bar(self, event):
        for matcher in {id(m): m for m in self._matchers.values()}.values():
            matcher.update(event)
        self.match(open_auction=False)

    def match(self, open_auction=False):
        env = self._env
        bus = env.event_bus
        get_instrument = env.get_instrument
        # The matcher registry, read directly unless a subclass finds matchers its own way.
        matchers = self._matchers if type(self).get_matcher is SimulationBroker.get_matcher else None
        try:
            for account, order in list(self._open_orders):
                status = order.status
                # Members of one enumeration are equal only to themselves: the identity answers for them.
                if status is not _ACTIVE and (type(status) is ORDER_STATUS or status != _ACTIVE):
                    continue
                instrument = get_instrument(order.order_book_id)
                try:
                    if matchers is None:
                        matcher = self.get_matcher(instrument.type)
                    else:
                        try:
                            matcher = matchers[instrument.type]
                        except KeyError:
                            matcher = self.get_matcher(instrument.type)
                except ValueError as exc:
                    order.mark_rejected(str(exc))
                else:
                    for trade in matcher.match(account, order, open_auction) or ():
                        order.fill(trade)
                        event = _new(Event)  # Event(EVENT.TRADE, account=..., trade=..., order=...)
                        event.__dict__ = {"account": account, "trade": trade, "order": order, "event_type": _TRADE}
                        if type(bus) is EventBus:  # EventBus.publish_event, without its call
                            for listener in list(bus._listeners.get(_TRADE, ())):
                                listener(event)
                        else:
                            bus.publish_event(event)
                status = order.status
                if status is _REJECTED or (type(status) is not ORDER_STATUS and status == _REJECTED):
                    event = _new(Event)  # Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=..., order=...)
                    event.__dict__ = {"account": account, "order": order, "event_type": _UNSOLICITED_UPDATE}
                    bus.publish_event(event)
        finally:
            # Even when a matcher fails part-way, orders already filled or
            # rejected must not be matched again.
            # _is_active, inlined
            self._open_orders = [(a, o) for a, o in self._open_orders
                                 if o.status is _ACTIVE or (type(o.status) is not ORDER_STATUS and o.status == _ACTIVE)]

    def _after_trading(self, event):
        # Day orders: whatever did not fill today expires.
        bus = self._env.event_bus
        for account, order in self._open_orders:
            order.mark_cancelled("order of {} expired unfilled at the end of the trading day".format(
                order.order_book_id))
            bus.publish_event(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account, order=order))
        self._open_orders = []
