"""Built-in plug-in: simulated order matching for backtests."""


def load_mod():
    from tessel.mod.tessel_mod_sys_simulation.mod import SimulationMod

    return SimulationMod()
