// tessel_mod_fund.mod: the plug-in object the engine drives.
//
// start_up decides whether funds are simulated in this run and wires every fund
// component into the engine.  The stores and the cost decider are loaded
// with this module; the API, the position class, the matcher, the validator
// and the simulation broker's module are loaded only by an active start-up
// (the validator only when status checks are on), so an inactive plug-in
// costs nothing beyond this module.
#include <pybind11/pybind11.h>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"

namespace py = pybind11;

namespace {

struct Shared {
    // fund stores and cost decider
    py::object nav_day_bars_cls;
    py::object fund_catalog_store_cls;
    py::object payout_history_cls;
    py::object unit_splits_cls;
    py::object transaction_decider_cls;
    // host
    py::object run_type_backtest;
    py::object stock_account;
    py::object future_account;
    py::object public_fund;
    py::object post_system_init;
    py::object system_log;
    py::object base_data_source_cls;
};

Shared& shared() {
    static Shared* s = new Shared();
    return *s;
}

bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

void start_up(py::object self, py::object env, py::object mod_config) {
    const Shared& s = shared();
    py::object base_config = env.attr("config").attr("base");

    // 1. Funds are simulated in backtests only.
    if (py::object(base_config.attr("run_type")).not_equal(s.run_type_backtest)) {
        s.system_log.attr("info")("tessel-mod-fund 当前只支持回测,mod关闭 ");
        return;
    }
    // 2. Fund holdings are booked on the stock account.
    if (!contains(base_config.attr("accounts"), s.stock_account)) {
        s.system_log.attr("debug")("stock account has not been set, tessel-mod-fund disabled");
        return;
    }

    // 3. The strategy-facing fund API is installed once the system is up.
    py::object init_fund_api = tmf::import_attr("tessel_mod_fund.api", "init_fund_api");
    env.attr("event_bus").attr("add_listener")(s.post_system_init, init_fund_api);

    // 4. The stores; the catalogue is fetched here, in full.
    self.attr("_nav_day_bars") = s.nav_day_bars_cls(mod_config.attr("fund_nav_type"));
    self.attr("_fund_catalog_store") = s.fund_catalog_store_cls();
    self.attr("_payout_history") = s.payout_history_cls();
    self.attr("_unit_splits") = s.unit_splits_cls();

    // 5. Loading the position module makes FundPosition serve PUBLIC_FUND.
    py::module_::import("tessel_mod_fund.position");

    // 6. Reuse the run's data source, or create one.
    py::object data_source = env.attr("data_source");
    if (!tmf::truthy(data_source)) {
        py::object path = base_config.attr("data_bundle_path");
        py::object future_info = tmf::getattr_or(base_config, "future_info", py::dict());
        py::object futures_params = py::bool_(false);
        if (contains(base_config.attr("accounts"), s.future_account)) {
            futures_params = base_config.attr("futures_time_series_trading_parameters");
        }
        py::object end_date = base_config.attr("end_date");
        data_source = s.base_data_source_cls(path, future_info, futures_params, end_date);
        env.attr("set_data_source")(data_source);
    }

    // 7-10. The stores serve PUBLIC_FUND through the data source.
    data_source.attr("register_instruments_store")(self.attr("_fund_catalog_store"));
    data_source.attr("register_day_bar_store")(s.public_fund, self.attr("_nav_day_bars"));
    data_source.attr("register_dividend_store")(s.public_fund, self.attr("_payout_history"));
    data_source.attr("register_split_store")(s.public_fund, self.attr("_unit_splits"));

    // 11. The cost of a fund order is the fee it carries.
    env.attr("set_transaction_cost_decider")(s.public_fund, s.transaction_decider_cls());

    // 12-13. Fund orders are filled by the fund matcher, on the simulation
    // broker only: another broker is left exactly as it is.
    py::object fund_matcher_cls = tmf::import_attr("tessel_mod_fund.matcher", "FundMatcher");
    py::object simulation_broker_cls =
        tmf::import_attr("tessel.mod.tessel_mod_sys_simulation.simulation_broker", "SimulationBroker");
    py::object broker = env.attr("broker");
    if (!tmf::truthy(broker)) {
        broker = simulation_broker_cls(env, env.attr("config").attr("mod").attr("sys_simulation"));
    }
    if (py::isinstance(broker, simulation_broker_cls)) {
        broker.attr("register_matcher")(s.public_fund,
                                        fund_matcher_cls(env, mod_config.attr("subscription_limit")));
        env.attr("set_broker")(broker);
    }

    // 14. Orders on closed days are refused before they reach the broker.
    if (tmf::truthy(mod_config.attr("status_limit"))) {
        py::object validator_cls = tmf::import_attr("tessel_mod_fund.validator", "FundStatusValidator");
        env.attr("add_frontend_validator")(validator_cls(env), s.public_fund);
    }
}

// The run is over.  The stores' caches (bars, statuses, dividends) are keyed
// by store, and a later run starts with stores of its own, so what this run
// cached can only take memory: the caches let it go.  No host call is made.
void tear_down(py::object self, py::object, py::object) {
    static const char* const cached[][2] = {
        {"_nav_day_bars", "get_bars"}, {"_nav_day_bars", "_get_transaction_status"},
        {"_payout_history", "get_dividend"}};
    for (const auto& [attr, method] : cached) {
        py::object store = tmf::getattr_or(self, attr, py::none());
        if (store.is_none()) continue;
        py::object function = tmf::getattr_or(py::type::handle_of(store), method, py::none());
        py::object clear = tmf::getattr_or(function, "cache_clear", py::none());
        if (!clear.is_none()) clear();
    }
}

}  // namespace

PYBIND11_MODULE(mod, m) {
    m.doc() = "The fund plug-in: start-up wiring of the fund stores, matcher, validator and costs.";
    Shared& s = shared();
    py::module_ data = py::module_::import("tessel_mod_fund.data");
    s.nav_day_bars_cls = data.attr("VexdataNavDayBars");
    s.fund_catalog_store_cls = data.attr("FundCatalogStore");
    s.payout_history_cls = data.attr("VexdataPayoutHistory");
    s.unit_splits_cls = data.attr("VexdataUnitSplits");
    s.transaction_decider_cls = tmf::import_attr("tessel_mod_fund.transaction", "FundTransactionDecider");

    py::object abstract_mod = tmf::import_attr("tessel.interface", "AbstractMod");
    py::module_ host_const = py::module_::import("tessel.const");
    s.run_type_backtest = host_const.attr("RUN_TYPE").attr("BACKTEST");
    s.stock_account = host_const.attr("DEFAULT_ACCOUNT_TYPE").attr("STOCK");
    s.future_account = host_const.attr("DEFAULT_ACCOUNT_TYPE").attr("FUTURE");
    s.public_fund = host_const.attr("INSTRUMENT_TYPE").attr("PUBLIC_FUND");
    s.post_system_init = tmf::import_attr("tessel.core.events", "EVENT").attr("POST_SYSTEM_INIT");
    s.system_log = tmf::import_attr("tessel.utils.logger", "system_log");
    s.base_data_source_cls = tmf::import_attr("tessel.data.base_data_source", "BaseDataSource");

    tmf::ClassBuilder cls("FundMod", m, abstract_mod);
    cls.doc("The fund plug-in: makes public funds tradable in backtests.")
        .def(
            "__init__",
            [](py::object self) {
                self.attr("_nav_day_bars") = py::none();
                self.attr("_payout_history") = py::none();
                self.attr("_fund_catalog_store") = py::none();
                self.attr("_unit_splits") = py::none();
            },
            py::arg("self"))
        .def("start_up", &start_up, py::arg("self"), py::arg("env"), py::arg("mod_config"))
        .def(
            "tear_down", &tear_down, py::arg("self"), py::arg("code"), py::arg("exception") = py::none())
        .def(
            "get_bars",
            [](py::object self, py::object order_book_id) {
                py::object store = self.attr("_nav_day_bars");
                if (store.is_none()) {
                    tmf::raise_with(PyExc_RuntimeError,
                                    py::str("the fund plug-in is not active in this run: no fund bars for {!r}")
                                        .format(order_book_id));
                }
                return store.attr("get_bars")(order_book_id);
            },
            py::arg("self"), py::arg("order_book_id"));
    m.attr("FundMod") = cls.build();
}
