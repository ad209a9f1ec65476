import itertools


class IdGenerator:
    """Monotonic ids, unique within a process."""

    def __init__(self, start=1):
        self._counter = itertools.count(start)

    def next(self):
        return next(self._counter)
