import itertools


class IdGenerator:
    """Monotonic ids, unique within a run (a run starts them again at 1, see ``reset``)."""

    def __init__(self, start=1):
        self._counter = itertools.count(start)

    def next(self):
        return next(self._counter)

    def reset(self, start=1):
        """Start again at ``start``: each run numbers its orders and trades from 1, so that running the
        same backtest twice in one process writes the same tables."""
        self._counter = itertools.count(start)
