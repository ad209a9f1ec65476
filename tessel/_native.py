"""Native implementations of the engine's per-holding daily cycle.

Every trading day each position starts the day, takes its price, settles
and is written down, and asks the data proxy for its corporate actions:
positions x days calls whose Python frames cost more than their work.  The
methods doing that are replaced, when their modules load, by C versions
from ``tessel._daycycle`` with the same behaviour: each answers the common
case itself and hands any other call (keywords, unusual arguments, a
subclass that changed what it relies on) to the Python definition it
replaced.  Those definitions stay in the source as the reference; the
tests compare both on random inputs.

``TESSEL_NATIVE=0`` in the environment (read once, at import) keeps the
Python definitions: for comparing results, and for debugging with Python
tools.
"""
import os

ENABLED = os.environ.get("TESSEL_NATIVE", "1").strip().lower() not in ("0", "false", "no", "off")

if ENABLED:
    from tessel import _daycycle
else:
    _daycycle = None


def install(what, cls, *args):
    """Gives ``cls`` its native methods; returns {name: the Python definition replaced} ({} when off)."""
    if _daycycle is None:
        return {}
    return getattr(_daycycle, "install_" + what)(cls, *args)
