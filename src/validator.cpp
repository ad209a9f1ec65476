// tessel_mod_fund.validator: refuses fund orders on days whose status
// forbids subscribing or redeeming.
#include <pybind11/pybind11.h>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"

namespace py = pybind11;

PYBIND11_MODULE(validator, m) {
    m.doc() = "Front-end validator for fund orders.";
    py::object base = tmf::import_attr("tessel.interface", "AbstractFrontendValidator");
    py::object side_enum = tmf::import_attr("tessel.const", "SIDE");
    py::object fund_status = tmf::import_attr("tessel_mod_fund.const", "FUND_STATUS");

    py::object buy = side_enum.attr("BUY");
    py::object sell = side_enum.attr("SELL");

    tmf::ClassBuilder cls("FundStatusValidator", m, base);
    cls.def(
           "__init__",
           [](py::object self, py::object env) { self.attr("_env") = env; },
           py::arg("self"), py::arg("env"))
        .def(
            "validate_submission",
            [buy, sell, fund_status](py::object self, py::object order,
                                     py::object /*account*/) -> py::object {
                py::object env = self.attr("_env");
                py::object order_book_id = order.attr("order_book_id");
                // The bar is read before the side is looked at.
                py::object bar = env.attr("get_bar")(order_book_id);
                py::object side = order.attr("side");
                py::object status;
                const char* operation = nullptr;
                if (side.equal(buy)) {
                    status = bar.attr("subscribe_status");
                    operation = "申购";
                } else if (side.equal(sell)) {
                    status = bar.attr("redeem_status");
                    operation = "赎回";
                } else {
                    tmf::raise_with(PyExc_ValueError, tmf::format("error SIDE = {}", side));
                }
                if (tmf::truthy(fund_status.attr("invalid_state")(status))) {
                    return tmf::format("{}申赎失败,当前时间({}) {}状态={} ", order_book_id,
                                       env.attr("trading_dt"), py::str(operation), status);
                }
                return py::none();
            },
            py::arg("self"), py::arg("order"), py::arg("account") = py::none())
        .def(
            "validate_cancellation",
            [](py::object, py::object, py::object) { return py::none(); },
            py::arg("self"), py::arg("order"), py::arg("account") = py::none());
    m.attr("FundStatusValidator") = cls.build();
}
