"""Strategy parameters: ``context.params``, ``--param NAME=VALUE`` and ``--grid NAME=V1,V2``.

Values given as text on the command line are read the same way everywhere:
a plain decimal number (``3``, ``-0.25``) becomes a number unless its whole
part starts with a zero (``000025`` is a fund id and stays text, while ``0``
and ``0.6`` are numbers); ``true``/``false`` become booleans; anything else
stays text exactly as written.
"""
import copy
import re

_INTEGER = re.compile(r"[+-]?(0|[1-9][0-9]*)")
_DECIMAL = re.compile(r"[+-]?(0|[1-9][0-9]*)\.[0-9]+")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def param_value(text):
    """The value of one parameter written as ``text``."""
    if _INTEGER.fullmatch(text):
        return int(text)
    if _DECIMAL.fullmatch(text):
        return float(text)
    if text.lower() in ("true", "false"):
        return text.lower() == "true"
    return text


def check_param_name(name, where):
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError("{}: parameter name {!r} is not a name (letters, digits and _, not starting with a "
                         "digit)".format(where, name))
    return name


def parse_param(text):
    """``"weight=0.6"`` -> ``("weight", 0.6)``."""
    name, sep, raw = str(text).partition("=")
    name = name.strip()
    if not sep or not name:
        raise ValueError("bad --param {!r}: expected NAME=VALUE, e.g. --param weight=0.6".format(text))
    return check_param_name(name, "--param " + str(text)), param_value(raw.strip())


def parse_grid(text):
    """``"weight=0.4,0.6"`` -> ``("weight", [0.4, 0.6])``; values in the order given, none twice."""
    name, sep, raw = str(text).partition("=")
    name = name.strip()
    if not sep or not name or not raw.strip():
        raise ValueError("bad --grid {!r}: expected NAME=V1,V2,..., e.g. --grid weight=0.4,0.6".format(text))
    check_param_name(name, "--grid " + str(text))
    values = []
    for item in raw.split(","):
        item = item.strip()
        if not item:
            raise ValueError("bad --grid {!r}: empty value in the list".format(text))
        values.append(param_value(item))
    return name, check_grid_values(name, values)


def check_grid_values(name, values):
    """The grid's values as a list; refuses an empty list and a value listed twice."""
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise ValueError("grid {}: expected a list of values, got {!r}".format(name, values))
    values = list(values)
    if not values:
        raise ValueError("grid {}: no values".format(name))
    seen = []
    for value in values:
        # 1 and 1.0 are one combination under two spellings (true and 1 are not).
        if any(value == other and isinstance(value, bool) == isinstance(other, bool) for other in seen):
            raise ValueError("grid {}: value {!r} is listed twice".format(name, value))
        seen.append(value)
    return values


class _MissingParameter(KeyError):
    """A KeyError whose message reads as a sentence rather than a quoted key."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


_MissingParameter.__name__ = _MissingParameter.__qualname__ = "KeyError"


class Params(dict):
    """``context.params``: the run's parameters, read-only for the strategy.

    It is a dict (``params["weight"]``, ``params.get("fund", "000001")``,
    ``"weight" in params``); reading a parameter that was not given raises
    ``KeyError`` naming it, and any attempt to change it raises ``TypeError``.
    """

    def __init__(self, values=None):
        super().__init__(copy.deepcopy(dict(values or {})))

    def __missing__(self, name):
        given = ", ".join(sorted(map(str, self))) or "none"
        raise _MissingParameter("parameter {!r} is not set (given: {}); set it with --param {}=VALUE or under "
                                "params: in the configuration".format(name, given, name))

    def _read_only(self, *args, **kwargs):
        raise TypeError("context.params is read-only: keep your own values on context instead")

    __setitem__ = __delitem__ = __ior__ = _read_only
    clear = pop = popitem = setdefault = update = _read_only

    def __copy__(self):
        return dict(self)

    def __deepcopy__(self, memo):
        return copy.deepcopy(dict(self), memo)

    def __reduce__(self):
        return (Params, (dict(self),))
