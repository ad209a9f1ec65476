"""tessel: an event-driven daily backtesting engine.

The engine is assembled from small parts that a run wires together through
its :class:`~tessel.environment.Environment`: a data source of stores per
instrument type, a broker with matchers per instrument type, accounts whose
positions are chosen per instrument type, and plug-ins that add any of these
at start-up.
"""

__version__ = "0.1.0"
