"""Run configuration: defaults, merging, attribute access and validation.

``load_config(user)`` deep-merges a user dict (or YAML file) over
``default_config.yml``, validates the values and returns an
:class:`AttrDict` tree, so that settings read as ``config.base.start_date``
and a missing key names its full dotted path.
"""
import copy
import datetime as _dt
import difflib
import math
import os
import re
from collections.abc import Mapping

import yaml

from tessel.const import DEFAULT_ACCOUNT_TYPE, RUN_TYPE

DEFAULT_CONFIG_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "default_config.yml")

_SUPPORTED_FREQUENCIES = ("1d",)


class AttrDict(dict):
    """A dict whose keys also read as attributes.

    A missing key raises ``AttributeError`` naming the full dotted path
    ("base.future_info"), so ``getattr(cfg, key, default)`` and ``hasattr``
    work and an error says exactly which setting is absent.
    """

    def __init__(self, data=None, path=""):
        super().__init__()
        object.__setattr__(self, "_path", path)
        for key, value in (data or {}).items():
            self[key] = value

    def _child_path(self, key):
        return "{}.{}".format(self._path, key) if self._path else str(key)

    def __setitem__(self, key, value):
        if isinstance(value, Mapping) and not isinstance(value, AttrDict):
            value = AttrDict(value, self._child_path(key))
        super().__setitem__(key, value)

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError("configuration has no key '{}'".format(self._child_path(name))) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError("configuration has no key '{}'".format(self._child_path(name))) from None

    def __deepcopy__(self, memo):
        return AttrDict(copy.deepcopy(dict(self), memo), self._path)

    def to_dict(self):
        return {k: v.to_dict() if isinstance(v, AttrDict) else v for k, v in self.items()}


# Mappings that are a whole choice rather than a set of settings: a user's
# value replaces the default instead of merging into it (configuring only a
# FUTURE account must not keep the default STOCK account).
_REPLACED_WHOLE = frozenset({("base", "accounts")})


def deep_merge(base, override, _path=()):
    """A new dict: ``override`` merged into ``base``; mappings merge, other values replace."""
    result = {k: copy.deepcopy(v) for k, v in base.items()}
    for key, value in override.items():
        path = _path + (key,)
        if isinstance(value, Mapping) and isinstance(result.get(key), Mapping) and path not in _REPLACED_WHOLE:
            result[key] = deep_merge(result[key], value, path)
        else:
            result[key] = copy.deepcopy(value)
    return result


class _ConfigLoader(yaml.SafeLoader):
    """YAML as usual, except that digits with a leading zero stay text.

    Plain YAML reads ``000025`` as the octal number 21 (and ``000089`` as
    text): a fund id written without quotes would silently name another
    fund.  ``0``, ``0.5`` and dates are unaffected.
    """

    def resolve(self, kind, value, implicit):
        if kind is yaml.ScalarNode and implicit[0] and _LEADING_ZERO.fullmatch(value):
            return "tag:yaml.org,2002:str"
        return super().resolve(kind, value, implicit)


_LEADING_ZERO = re.compile(r"[-+]?0[0-9_]+")


def yaml_value(text):
    """One value written in YAML (``--set`` and ``--mod`` values), read as the configuration file is."""
    return yaml.load(text, Loader=_ConfigLoader)


def _read_yaml(path):
    try:
        with open(path, encoding="utf-8") as f:
            data = yaml.load(f, Loader=_ConfigLoader)
    except OSError as exc:
        raise ValueError("cannot read configuration file {}: {}".format(path, exc)) from None
    except yaml.YAMLError as exc:
        raise ValueError("configuration file {} is not valid YAML: {}".format(path, exc)) from None
    if data is None:
        return {}
    if not isinstance(data, Mapping):
        raise ValueError("configuration file {} must hold a mapping at top level, got {}".format(
            path, type(data).__name__))
    return data


_default_config = {}  # (path, modification time, size) -> the configuration read from that file


def load_default_config():
    """The engine's default configuration, a fresh copy each time (the file is read again when it changes)."""
    try:
        stat = os.stat(DEFAULT_CONFIG_PATH)
    except OSError:
        return _read_yaml(DEFAULT_CONFIG_PATH)  # which says what is wrong
    key = (DEFAULT_CONFIG_PATH, stat.st_mtime_ns, stat.st_size)
    read = _default_config.get(key)
    if read is None:
        read = _read_yaml(DEFAULT_CONFIG_PATH)
        _default_config.clear()
        _default_config[key] = read
    return copy.deepcopy(read)


def _parse_date(value, key):
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, str):
        text = value.strip()
        for fmt in ("%Y-%m-%d", "%Y%m%d"):
            try:
                return _dt.datetime.strptime(text, fmt).date()
            except ValueError:
                pass
    if isinstance(value, int) and not isinstance(value, bool) and 10000101 <= value <= 99991231:
        try:
            return _dt.datetime.strptime(str(value), "%Y%m%d").date()
        except ValueError:
            pass
    raise ValueError("{}: expected a date (YYYY-MM-DD), got {!r}".format(key, value))


def _parse_run_type(value):
    if isinstance(value, RUN_TYPE):
        return value
    text = str(value).strip()
    for member in RUN_TYPE:
        # Accept the short value ("b") and the member name ("BACKTEST").
        if text == member.value or text.upper() == member.name:
            return member
    raise ValueError("base.run_type: expected one of {}, got {!r}".format(
        ", ".join(repr(m.value) for m in RUN_TYPE), value))


# Every key the engine reads under "base"; anything else there is a typo
# that would otherwise be ignored silently.  (Plug-in sections under "mod"
# carry their own keys and are not checked here.)
BASE_KEYS = ("run_type", "start_date", "end_date", "frequency", "accounts", "data_bundle_path", "future_info",
             "futures_time_series_trading_parameters", "benchmark", "risk_free_rate")


# On/off settings of the plug-ins shipped with the engine.  They must be
# real booleans: a quoted "false" would otherwise read as true.
_BOOLEAN_MOD_KEYS = {"sys_accounts": ("dividend_reinvestment",), "fund": ("subscription_limit", "status_limit")}


def unknown_plugin_keys(cfg):
    """Dotted names of keys in the shipped plug-ins' sections that those plug-ins do not read.

    Plug-in sections are not refused for extra keys (a plug-in of one's own
    may read anything), but for the shipped plug-ins an unknown key is almost
    always a typo that would silently leave the default in force.  Only
    sections that still load the default ``lib`` are checked.
    """
    defaults = load_default_config().get("mod") or {}
    found = []
    for name, section in (cfg.get("mod") or {}).items():
        known = defaults.get(name)
        if not isinstance(known, Mapping) or not isinstance(section, Mapping):
            continue
        if section.get("lib", known.get("lib")) != known.get("lib"):
            continue
        found.extend("mod.{}.{}".format(name, key) for key in section if key not in known)
    return found


def _checked_params(params):
    """The strategy parameters (``params:``): a mapping of names to values, empty when none."""
    from tessel.params import check_param_name

    if params is None:
        return {}
    if not isinstance(params, Mapping):
        raise ValueError("params: expected a mapping of parameter names to values, got {!r}".format(params))
    for name in params:
        check_param_name(name, "params")
    return dict(params)


_NOT_A_MAPPING = "{}: expected a mapping, got {!r}"
_ACCOUNTS_EXPECTED = "base.accounts: expected a non-empty mapping of account type to starting cash, got {!r}"
_MODS_EXPECTED = "mod: expected a mapping of plug-in sections, got {!r}"


def check_section_kinds(user):
    """Raise ValueError, in load_config's words, where a section that ``user`` (a run's own configuration,
    before anything is merged into it) gives is not a mapping: base, base.accounts, mod, each plug-in's.

    A mapping merged over anything else replaces it, so these are checked before options are merged in.
    """
    if "base" in user and not isinstance(user["base"], Mapping):
        raise ValueError(_NOT_A_MAPPING.format("base", user["base"]))
    accounts = (user.get("base") or {}).get("accounts")
    if accounts is not None and not isinstance(accounts, Mapping):
        raise ValueError(_ACCOUNTS_EXPECTED.format(accounts))
    mods = user.get("mod")
    if mods is not None and not isinstance(mods, Mapping):
        raise ValueError(_MODS_EXPECTED.format(mods))
    for name, section in (mods or {}).items():
        if not isinstance(section, Mapping):
            raise ValueError(_NOT_A_MAPPING.format("mod." + str(name), section))


def _validate(cfg):
    base = cfg.get("base")
    if not isinstance(base, Mapping):
        raise ValueError(_NOT_A_MAPPING.format("base", base))
    unknown = [str(k) for k in base if k not in BASE_KEYS]
    if unknown:
        raise ValueError("unknown configuration key{} {}{} (known keys under base: {})".format(
            "s" if len(unknown) > 1 else "", ", ".join("base." + k for k in unknown),
            did_you_mean(unknown[0], BASE_KEYS, "base.") if len(unknown) == 1 else "", ", ".join(BASE_KEYS)))
    unknown = [str(k) for k in cfg if k not in ("base", "mod", "params")]
    if unknown:
        raise ValueError("unknown configuration section{} {}{} (known: base, mod, params)".format(
            "s" if len(unknown) > 1 else "", ", ".join(unknown),
            did_you_mean(unknown[0], ("base", "mod", "params")) if len(unknown) == 1 else ""))
    cfg["params"] = _checked_params(cfg.get("params"))

    base["run_type"] = _parse_run_type(base.get("run_type"))

    base["start_date"] = _parse_date(base.get("start_date"), "base.start_date")
    base["end_date"] = _parse_date(base.get("end_date"), "base.end_date")
    if base["start_date"] > base["end_date"]:
        raise ValueError("base.start_date ({}) is after base.end_date ({})".format(
            base["start_date"], base["end_date"]))

    frequency = base.get("frequency")
    if frequency not in _SUPPORTED_FREQUENCIES:
        raise ValueError("base.frequency: only {} supported, got {!r}".format(
            ", ".join(_SUPPORTED_FREQUENCIES), frequency))

    accounts = base.get("accounts")
    if not isinstance(accounts, Mapping) or not accounts:
        raise ValueError(_ACCOUNTS_EXPECTED.format(accounts))
    checked = {}
    for name, cash in accounts.items():
        key = str(name).strip().upper()
        if key not in DEFAULT_ACCOUNT_TYPE.__members__:
            raise ValueError("base.accounts: unknown account type {!r}, expected one of {}".format(
                name, ", ".join(DEFAULT_ACCOUNT_TYPE.__members__)))
        if isinstance(cash, bool) or not isinstance(cash, (int, float)) or cash != cash:
            raise ValueError("base.accounts.{}: starting cash must be a number, got {!r}".format(name, cash))
        if not _is_finite(cash):
            raise ValueError("base.accounts.{}: starting cash must be a finite amount, got {!r}".format(name, cash))
        if cash < 0:
            raise ValueError("base.accounts.{}: starting cash must not be negative, got {!r}".format(name, cash))
        checked[key] = cash
    base["accounts"] = checked

    path = base.get("data_bundle_path")
    if path is not None:
        if not isinstance(path, str) or not path.strip():
            raise ValueError("base.data_bundle_path: expected a directory path, got {!r}".format(path))
        base["data_bundle_path"] = os.path.expanduser(path)

    benchmark = base.get("benchmark")
    if benchmark is not None and (not isinstance(benchmark, str) or not benchmark.strip()):
        raise ValueError("base.benchmark: expected an order book id text or null, got {!r}".format(benchmark))
    if isinstance(benchmark, str):
        base["benchmark"] = benchmark.strip()

    rate = base.get("risk_free_rate", 0)
    if rate is None:
        rate = 0
    if isinstance(rate, bool) or not isinstance(rate, (int, float)) or rate != rate or not -1 < rate < 1:
        raise ValueError("base.risk_free_rate: expected a yearly rate as a fraction between -1 and 1 "
                         "(0.02 for 2 %), got {!r}".format(rate))
    base["risk_free_rate"] = float(rate)

    mods = cfg.get("mod")
    if mods is None:
        cfg["mod"] = {}
    elif not isinstance(mods, Mapping):
        raise ValueError(_MODS_EXPECTED.format(mods))
    else:
        shipped = list(load_default_config().get("mod") or {})
        for name, section in mods.items():
            if not isinstance(section, Mapping):
                raise ValueError(_NOT_A_MAPPING.format("mod." + str(name), section))
            if name not in shipped and "lib" not in section:
                # Not a plug-in of the engine and none of one's own (it names no lib): a typo, most likely,
                # whose settings would otherwise be dropped without a word.
                raise ValueError("unknown plug-in section mod.{}{} (known: {}; a plug-in of your own names its "
                                 "lib)".format(name, did_you_mean(name, shipped, "mod."), ", ".join(shipped)))
            if "enabled" in section and not isinstance(section["enabled"], bool):
                raise ValueError("mod.{}.enabled: expected true or false, got {!r}".format(
                    name, section["enabled"]))

    for name, keys in _BOOLEAN_MOD_KEYS.items():
        section = cfg["mod"].get(name)
        for key in keys:
            if isinstance(section, Mapping) and key in section and not isinstance(section[key], bool):
                raise ValueError("mod.{}.{}: expected true or false, got {!r}".format(name, key, section[key]))

    fund = cfg.get("mod", {}).get("fund")
    if isinstance(fund, Mapping):
        for key in ("subscription_receiving_days", "redemption_receiving_days"):
            if key in fund:
                value = fund[key]
                if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                    raise ValueError("mod.fund.{}: expected a whole number of trading days >= 0, got {!r}".format(
                        key, value))


def _is_finite(number):
    try:
        return math.isfinite(number)
    except OverflowError:  # an integer beyond any float
        return False


def did_you_mean(name, candidates, prefix=""):
    """``" (did you mean mod.fund?)"`` for the candidate closest to a misspelt ``name``, else ``""``."""
    close = difflib.get_close_matches(str(name), [str(c) for c in candidates], n=1, cutoff=0.6)
    return " (did you mean {}{}?)".format(prefix, close[0]) if close else ""


def parse_override(text):
    """``"fund.status_limit=false"`` -> ``(("fund", "status_limit"), False)``; the value is read as YAML."""
    key, sep, raw = str(text).partition("=")
    key = key.strip()
    parts = tuple(p.strip() for p in key.split("."))
    if not sep or not key or not all(parts):
        raise ValueError("bad override {!r}: expected KEY=VALUE with a dotted KEY such as "
                         "fund.status_limit=false".format(text))
    try:
        value = yaml_value(raw) if raw.strip() else None
    except yaml.YAMLError as exc:
        raise ValueError("override {}: value {!r} is not valid YAML: {}".format(key, raw, exc)) from None
    return parts, value


def nested_override(parts, value):
    """The nested dict that sets the dotted path ``parts`` to ``value``."""
    result = value
    for part in reversed(parts):
        result = {part: result}
    return result


def load_config(user_config=None):
    """The run configuration: ``user_config`` (dict, YAML path or None) over the defaults."""
    if user_config is None:
        user = {}
    elif isinstance(user_config, (str, os.PathLike)):
        user = _read_yaml(user_config)
    elif isinstance(user_config, Mapping):
        user = user_config
    else:
        raise TypeError("configuration must be a mapping or a YAML file path, got {}".format(
            type(user_config).__name__))
    merged = deep_merge(load_default_config(), user)
    _validate(merged)
    return AttrDict(merged)
