"""tessel: an event-driven daily backtesting engine.

The engine is assembled from small parts that a run wires together through
its :class:`~tessel.environment.Environment`: a data source of stores per
instrument type, a broker with matchers per instrument type, accounts whose
positions are chosen per instrument type, and plug-ins that add any of these
at start-up.
"""

__version__ = "0.1.0"


def sweep(strategy_file, grid, config=None, scheduler=None, workers=None, **options):
    """Backtest ``strategy_file`` once per combination of ``grid`` on Dask; returns the results table.

    See :func:`tessel.sweeps.sweep` for the options (``output``, ``metric``, ``keep_runs``, ``progress``).
    """
    from tessel.sweeps import sweep as _sweep

    return _sweep(strategy_file, grid, config=config, scheduler=scheduler, workers=workers, **options)
