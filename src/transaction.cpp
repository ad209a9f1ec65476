// tessel_mod_fund.transaction: the cost of a fund order is the fee it carries.
#include <pybind11/pybind11.h>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"

namespace py = pybind11;

PYBIND11_MODULE(transaction, m) {
    m.doc() = "Transaction-cost decider for public funds.";
    py::object base = tmf::import_attr("tessel.interface", "AbstractTransactionCostDecider");

    tmf::ClassBuilder cls("FundTransactionDecider", m, base);
    cls.def_classmethod(
           "calc_commission",
           [](py::object klass, py::object amount) {
               // amount is the left operand; fee_ratio is whatever the caller
               // put on the class (AttributeError while there is none).
               py::object ratio = klass.attr("fee_ratio");
               return tmf::steal(PyNumber_Multiply(amount.ptr(), ratio.ptr()));
           },
           py::arg("cls"), py::arg("amount"))
        .def(
            "get_trade_commission",
            [](py::object, py::object) -> py::object { tmf::raise_not_implemented(); },
            py::arg("self"), py::arg("trade"))
        .def(
            "get_order_transaction_cost",
            [](py::object, py::object order) { return order.attr("fee"); },
            py::arg("self"), py::arg("order"))
        .def(
            "get_trade_tax",
            [](py::object, py::object) -> py::object { tmf::raise_not_implemented(); },
            py::arg("self"), py::arg("trade"));
    m.attr("FundTransactionDecider") = cls.build();
}
