"""Enumerations shared by the engine and its plug-ins.

Every enumeration derives from :class:`CustomEnum`, a text enumeration whose
members compare equal to their text value whether that value arrives as
``str`` or as ``bytes``.  Day bars are numpy structured arrays whose text
fields are fixed-width byte strings, so a status read straight from a bar
(``b"Open"``) must still match the member whose value is ``"Open"``.
"""
from enum import Enum


class CustomEnum(str, Enum):
    """A ``str`` enumeration that also matches its value as bytes.

    Members hash like their text value, so a member finds the entry of a
    dict or set keyed by the plain text (``member in {"STOCK": ...}``) and
    the other way round.
    """

    @staticmethod
    def _as_text(other):
        if isinstance(other, (bytes, bytearray)):
            try:
                return bytes(other).decode("utf-8")
            except UnicodeDecodeError:
                return None
        if isinstance(other, str):
            return str.__str__(other)
        return None

    # Both comparisons answer the common cases (a member itself, another member of the same
    # enumeration, a plain text) without further calls: statuses, sides and types are compared for
    # every order.  ``_value_`` is what the ``value`` property gives.
    def __eq__(self, other):
        # Members are singletons: the common comparison, member with member, needs no texts.
        if other is self:
            return True
        kind = type(other)
        if kind is str:
            return str.__eq__(self._value_, other)
        if kind is type(self):
            return False
        text = self._as_text(other)
        if text is None:
            return NotImplemented if not isinstance(other, (str, bytes, bytearray)) else False
        return str.__eq__(self._value_, text)

    def __ne__(self, other):
        if other is self:
            return False
        kind = type(other)
        if kind is str:
            result = str.__eq__(self._value_, other)
        elif kind is type(self):
            return True
        else:
            result = self.__eq__(other)
        if result is NotImplemented:
            return result
        return not result

    # A member's text is its value, so str's own (C) hash is hash(value);
    # members key the engine's hot dictionaries, so keep it native.
    __hash__ = str.__hash__

    def __str__(self):
        return self.value

    def __format__(self, format_spec):
        return format(self.value, format_spec)

    def __repr__(self):
        return "{}.{}".format(type(self).__name__, self.name)


class INSTRUMENT_TYPE(CustomEnum):
    CS = "CS"
    INDX = "INDX"
    ETF = "ETF"
    LOF = "LOF"
    REITs = "REITs"
    FUTURE = "Future"
    OPTION = "Option"
    CONVERTIBLE = "Convertible"
    REPO = "Repo"
    BOND = "Bond"
    PUBLIC_FUND = "PublicFund"


class SIDE(CustomEnum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(CustomEnum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"
    CLOSE_TODAY = "CLOSE_TODAY"


class POSITION_DIRECTION(CustomEnum):
    LONG = "LONG"
    SHORT = "SHORT"


class RUN_TYPE(CustomEnum):
    BACKTEST = "b"
    PAPER_TRADING = "p"
    LIVE_TRADING = "r"


class DEFAULT_ACCOUNT_TYPE(CustomEnum):
    STOCK = "STOCK"
    FUTURE = "FUTURE"


class TRADING_CALENDAR_TYPE(CustomEnum):
    EXCHANGE = "EXCHANGE"


class ORDER_STATUS(CustomEnum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    FILLED = "FILLED"
    REJECTED = "REJECTED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"

    @property
    def is_final(self):
        return self in (ORDER_STATUS.FILLED, ORDER_STATUS.REJECTED, ORDER_STATUS.CANCELLED)


class ORDER_TYPE(CustomEnum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"
