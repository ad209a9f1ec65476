"""Instruments: the static description of anything that can be traded."""
import datetime as _dt

import pandas as pd


class Instrument:
    """An instrument built from a mapping of its attributes.

    The entries are kept as they are in the instance ``__dict__`` (not set
    one by one), because subclasses may define read-only properties over
    some of the same names: a property then takes precedence while the raw
    entry stays available in ``__dict__``.
    """

    DEFAULT_LISTED_DATE = _dt.datetime(1990, 1, 1)
    DEFAULT_DE_LISTED_DATE = _dt.datetime(2999, 12, 31)

    def __init__(self, dic):
        self.__dict__.update(dic)

    def _entry(self, name, default=None):
        return self.__dict__.get(name, default)

    @property
    def order_book_id(self):
        try:
            return self.__dict__["order_book_id"]
        except KeyError:
            raise AttributeError("instrument has no order_book_id") from None

    @property
    def symbol(self):
        return self._entry("symbol", self._entry("order_book_id"))

    @property
    def type(self):
        return self._entry("type")

    @property
    def listed_date(self):
        return self._entry("listed_date") or self.DEFAULT_LISTED_DATE

    @property
    def de_listed_date(self):
        return self._entry("de_listed_date") or self.DEFAULT_DE_LISTED_DATE

    @property
    def round_lot(self):
        value = self._entry("round_lot")
        return 1 if value is None else value

    @property
    def exchange(self):
        return self._entry("exchange")

    def listed_at(self, dt):
        """Whether the instrument is listed (and not yet delisted) on ``dt``."""
        day = pd.Timestamp(dt)
        return pd.Timestamp(self.listed_date) <= day <= pd.Timestamp(self.de_listed_date)

    def __repr__(self):
        return "{}(order_book_id={!r}, symbol={!r}, type={!s})".format(
            type(self).__name__, self._entry("order_book_id"), self._entry("symbol"), self.type)
