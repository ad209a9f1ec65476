"""Engine loggers: thin wrappers over the standard ``logging`` module.

``system_log`` carries the engine's and plug-ins' own messages,
``user_log`` the strategy's.  Both are ordinary ``logging`` loggers
underneath ("tessel.system", "tessel.user"), so any handler, level setting
or test capture that works with ``logging`` works here.
"""
import logging
import sys


class _Log:
    def __init__(self, name):
        self.logger = logging.getLogger(name)

    @property
    def name(self):
        return self.logger.name

    def debug(self, msg, *args, **kwargs):
        self.logger.debug(msg, *args, **kwargs)

    def info(self, msg, *args, **kwargs):
        self.logger.info(msg, *args, **kwargs)

    def warning(self, msg, *args, **kwargs):
        self.logger.warning(msg, *args, **kwargs)

    warn = warning

    def error(self, msg, *args, **kwargs):
        self.logger.error(msg, *args, **kwargs)

    def exception(self, msg, *args, **kwargs):
        self.logger.exception(msg, *args, **kwargs)

    def setLevel(self, level):
        self.logger.setLevel(level)


system_log = _Log("tessel.system")
user_log = _Log("tessel.user")


class _RunClockFormatter(logging.Formatter):
    """``2020-01-03 15:00 INFO     message``: each line carries the run's simulated time.

    A strategy's log is read against the days it traded, so the wall-clock
    time of the machine would be of no use; engine messages are marked
    ``[tessel]`` to tell them from the strategy's own.
    """

    def format(self, record):
        from tessel.environment import Environment

        env = Environment._env
        moment = getattr(env, "calendar_dt", None) if env is not None else None
        stamp = moment.strftime("%Y-%m-%d %H:%M ") if moment is not None else ""
        source = "" if record.name == user_log.name else "[tessel] "
        text = "{}{:<8} {}{}".format(stamp, record.levelname, source, record.getMessage())
        if record.exc_info:
            text += "\n" + self.formatException(record.exc_info)
        return text


class _ConsoleHandler(logging.Handler):
    """Writes to the current ``sys.stderr`` through tqdm, so that log lines never tear a progress bar."""

    def emit(self, record):
        try:
            from tqdm import tqdm

            tqdm.write(self.format(record), file=sys.stderr)
        except Exception:  # a log line must never end a run
            self.handleError(record)


LOG_LEVELS = ("debug", "info", "warning", "error", "none")


class console_logging:
    """Context manager: show the engine's and the strategy's log on stderr at ``level`` and above.

    ``level`` is one of ``LOG_LEVELS`` ("none" shows nothing).  The logger
    settings are put back on exit, so repeated runs in one process do not
    pile up handlers.
    """

    def __init__(self, level="info"):
        if level not in LOG_LEVELS:
            raise ValueError("log level must be one of {}, got {!r}".format(", ".join(LOG_LEVELS), level))
        self._level = logging.CRITICAL + 1 if level == "none" else getattr(logging, level.upper())
        self._logger = logging.getLogger("tessel")
        self._handler = _ConsoleHandler()
        self._handler.setFormatter(_RunClockFormatter())

    def __enter__(self):
        self._saved = self._logger.level, self._logger.propagate
        self._logger.setLevel(self._level)
        # Shown here; passing them on as well would print them twice (or, with
        # no root handler, through logging's last-resort printer).
        self._logger.propagate = False
        self._logger.addHandler(self._handler)
        return self

    def __exit__(self, *exc):
        self._logger.removeHandler(self._handler)
        self._logger.setLevel(self._saved[0])
        self._logger.propagate = self._saved[1]
        return False
