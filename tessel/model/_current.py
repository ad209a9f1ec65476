"""The engine's environment class, imported on its first use.

The models and the portfolio are imported by the environment's own imports,
so they cannot import it at load time; a function-level import instead costs
a trip through the import machinery on every order, trade and position.
"""
_environment_class = []


def environment_class():
    """``tessel.environment.Environment``."""
    if not _environment_class:
        from tessel.environment import Environment

        _environment_class.append(Environment)
    return _environment_class[0]
