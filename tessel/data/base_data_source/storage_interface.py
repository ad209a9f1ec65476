"""Interfaces of the stores a data source is assembled from.

A data source answers every question about instruments, bars, dividends and
splits by asking the store registered for the instrument's type, so a
plug-in adds a whole asset class by registering one store of each kind.
"""
from abc import ABCMeta, abstractmethod


class AbstractInstrumentStore(metaclass=ABCMeta):
    @property
    @abstractmethod
    def instrument_type(self):
        """The ``INSTRUMENT_TYPE`` member of every instrument this store serves."""
        raise NotImplementedError

    @property
    @abstractmethod
    def all_id_and_syms(self):
        """Every order book id and symbol the store knows (an iterable of texts)."""
        raise NotImplementedError

    @abstractmethod
    def get_instruments(self, id_or_syms):
        """Instruments for an iterable of ids/symbols (unknown ones skipped), or all for None."""
        raise NotImplementedError


class AbstractDayBarStore(metaclass=ABCMeta):
    @abstractmethod
    def get_bars(self, order_book_id):
        """Numpy structured array of the instrument's day bars, ascending ``datetime`` (YYYYMMDDhhmmss)."""
        raise NotImplementedError

    @abstractmethod
    def get_date_range(self, order_book_id):
        """(first, last) ``datetime`` integers (YYYYMMDDhhmmss) of the instrument's bars."""
        raise NotImplementedError


class AbstractDividendStore(metaclass=ABCMeta):
    @abstractmethod
    def get_dividend(self, order_book_id):
        """Record array of the instrument's dividends, or None."""
        raise NotImplementedError


class AbstractSimpleFactorStore(metaclass=ABCMeta):
    @abstractmethod
    def get_factors(self, order_book_id):
        """Structured array of the instrument's factors (e.g. ``ex_date``/``split_factor``), or None."""
        raise NotImplementedError
