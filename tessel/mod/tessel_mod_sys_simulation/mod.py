from tessel.interface import AbstractMod
from tessel.mod.tessel_mod_sys_simulation.matcher import STOCK_TYPES
from tessel.mod.tessel_mod_sys_simulation.simulation_broker import SimulationBroker
from tessel.mod.tessel_mod_sys_simulation.transaction_cost import StockTransactionCostDecider


class SimulationMod(AbstractMod):
    def start_up(self, env, mod_config):
        if not env.broker:
            env.set_broker(SimulationBroker(env, mod_config))
        decider = StockTransactionCostDecider(
            commission_rate=mod_config.get("commission_rate", 0.0),
            min_commission=mod_config.get("min_commission", 0.0),
            tax_rate=mod_config.get("tax_rate", 0.0),
        )
        for instrument_type in STOCK_TYPES:
            env.set_transaction_cost_decider(instrument_type, decider)

    def tear_down(self, code, exception=None):
        pass
