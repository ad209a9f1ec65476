// tessel_mod_fund.matcher: fills fund orders on the simulation broker.
//
// The matcher is registered for PUBLIC_FUND at start-up with the run's
// environment and the `subscription_limit` setting.  Fill rules (price,
// subscription fees, purchase limits) are not written yet: until they are,
// every fund order the broker hands over is rejected with a message saying
// so, rather than left open and silently expiring.
#include <pybind11/pybind11.h>

#include "tmf/host_class.hpp"

namespace py = pybind11;

PYBIND11_MODULE(matcher, m) {
    m.doc() = "Order matcher for public funds.";
    py::object base = tmf::import_attr("tessel.interface", "AbstractMatcher");

    tmf::ClassBuilder cls("FundMatcher", m, base);
    cls.doc("Matcher of fund subscriptions and redemptions.")
        .def(
            "__init__",
            [](py::object self, py::object env, py::object subscription_limit) {
                self.attr("_env") = env;
                self.attr("_subscription_limit") = subscription_limit;
            },
            py::arg("self"), py::arg("env"), py::arg("subscription_limit"))
        .def(
            "match",
            [](py::object, py::object /*account*/, py::object order, py::object /*open_auction*/) {
                order.attr("mark_rejected")(
                    py::str("fund order of {} cannot be filled: fund order matching is not available yet")
                        .format(order.attr("order_book_id")));
                return py::list();
            },
            py::arg("self"), py::arg("account"), py::arg("order"), py::arg("open_auction"));
    m.attr("FundMatcher") = cls.build();
}
