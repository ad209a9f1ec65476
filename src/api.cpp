// tessel_mod_fund.api: the strategy-facing fund functions.
//
// The engine calls init_fund_api once system initialisation has finished
// (the plug-in registers it for POST_SYSTEM_INIT).  This is where the fund
// functions for strategies (subscribe, redeem, fund look-ups) will be
// installed; so far it only marks the run's environment as having the fund
// API ready (`env.fund_api_ready`), which is what later steps check for.
#include <pybind11/pybind11.h>

#include "tmf/host_class.hpp"

namespace py = pybind11;

PYBIND11_MODULE(api, m) {
    m.doc() = "Strategy-facing fund API (installed after system initialisation).";
    py::object environment = tmf::import_attr("tessel.environment", "Environment");

    m.def(
        "init_fund_api",
        [environment](py::object /*event*/) {
            py::object env = environment.attr("get_instance")();
            env.attr("fund_api_ready") = true;
        },
        py::arg("event"),
        "Listener for POST_SYSTEM_INIT: installs the fund API for the current run.");
}
