"""Plug-in loading.

Every section under ``mod`` in the configuration is a plug-in.  A section
that is enabled and names a ``lib`` (a package path) is imported, and that
package's ``load_mod()`` returns the plug-in object.  Plug-ins are started
in configuration order and torn down in reverse order, so one that builds
on another (a plug-in reusing the broker the simulation plug-in installed)
starts after it and stops before it.
"""
import importlib
from collections.abc import Mapping

from tessel.utils.logger import system_log


class ModLoadError(Exception):
    """A plug-in section names a lib that cannot be used."""


class ModHandler:
    def __init__(self):
        self._env = None
        self._mods = []  # (name, plug-in object, section), in start order

    @property
    def mod_names(self):
        return [name for name, _, _ in self._mods]

    def set_env(self, env):
        self._env = env
        sections = env.config.get("mod", {}) if isinstance(env.config, Mapping) else env.config.mod
        for name, section in sections.items():
            if not section.get("enabled", False):
                if section.get("lib") and "enabled" not in section:
                    # Off unless switched on; say so, or a new plug-in is skipped without a trace.
                    system_log.warning("plug-in section mod.%s names lib '%s' but is not loaded: add "
                                       "mod.%s.enabled: true", name, section.get("lib"), name)
                continue
            lib = section.get("lib")
            if not lib:
                # A section without a lib holds settings only (read by whoever needs them).
                continue
            mod = self._load(name, lib)
            env.mod_dict[name] = mod
            self._mods.append((name, mod, section))

    @staticmethod
    def _load(name, lib):
        if not isinstance(lib, str):
            raise ModLoadError("mod.{}.lib must be a package path text, got {!r}".format(name, lib))
        try:
            package = importlib.import_module(lib)
        except ImportError as exc:
            raise ModLoadError("mod.{}: cannot import lib '{}': {}".format(name, lib, exc)) from exc
        load_mod = getattr(package, "load_mod", None)
        if not callable(load_mod):
            raise ModLoadError("mod.{}: lib '{}' has no load_mod() function".format(name, lib))
        mod = load_mod()
        if mod is None:
            raise ModLoadError("mod.{}: load_mod() of lib '{}' returned None".format(name, lib))
        return mod

    def start_up(self):
        for name, mod, section in self._mods:
            system_log.debug("starting plug-in %s", name)
            mod.start_up(self._env, section)

    def tear_down(self, code, exception=None):
        """Tear every plug-in down in reverse start order; the first failure is re-raised at the end."""
        failure = None
        for name, mod, _ in reversed(self._mods):
            try:
                mod.tear_down(code, exception)
            except Exception as exc:  # every plug-in gets its tear_down even if one fails
                system_log.exception("tear_down of plug-in %s failed", name)
                if failure is None:
                    failure = exc
        if failure is not None:
            raise failure
