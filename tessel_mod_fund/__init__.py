"""Public mutual funds for the tessel backtesting engine.

The engine loads this package as the plug-in named "fund" and calls
:func:`load_mod` to obtain the plug-in object.  Every module that holds
behaviour (``mod``, ``position``, ``const``, ``validator``, ``transaction``,
``api``, ``matcher`` and the four stores under ``data``) is a compiled
extension module.
"""

__version__ = "0.1.0"

# Settings of the plug-in's configuration section ``mod.fund``; the engine's
# default configuration carries the same values.
__config__ = {
    "fund_nav_type": "unit",
    "subscription_limit": True,
    "status_limit": True,
    "subscription_receiving_days": 1,
    "redemption_receiving_days": 3,
    # Fee schedules overriding the fund data's (see docs/fees.md); empty:
    # the data's own schedules, no fees for a fund without any.
    "fees": {},
}


def load_mod():
    """Entry point used by the engine's plug-in loader."""
    from .mod import FundMod

    return FundMod()
