"""Engine loggers: thin wrappers over the standard ``logging`` module.

``system_log`` carries the engine's and plug-ins' own messages,
``user_log`` the strategy's.  Both are ordinary ``logging`` loggers
underneath ("tessel.system", "tessel.user"), so any handler, level setting
or test capture that works with ``logging`` works here.
"""
import logging


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
