// tessel_mod_fund.validator: refuses fund orders on days whose status
// forbids subscribing or redeeming.
#include <pybind11/pybind11.h>

#include "tmf/calls.hpp"
#include "tmf/errors.hpp"
#include "tmf/fast_call.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"

namespace py = pybind11;

namespace {

// Loaded with the module; never freed (it outlives the interpreter's teardown).
struct Shared {
    py::object buy, sell, fund_status;
    PyObject *env_, *order_book_id, *get_bar, *side, *subscribe_status, *redeem_status, *invalid_state,
        *trading_dt;
};

Shared& shared() {
    static Shared* s = new Shared();
    return *s;
}

// validate_submission(self, order, account=None): called by the engine for
// every fund order, so it is a plain vectorcall function (see fast_call.hpp).
py::object validate_submission(PyObject* const* args) {
    const Shared& s = shared();
    py::handle self = args[0], order = args[1];
    py::object env = tmf::attr(self, s.env_);
    py::object order_book_id = tmf::attr(order, s.order_book_id);
    // The bar is read before the side is looked at.
    py::object bar = tmf::call_method(env, s.get_bar, order_book_id);
    py::object side = tmf::attr(order, s.side);
    py::object status;
    const char* operation = nullptr;
    if (tmf::equals_member(side, s.buy)) {
        status = tmf::attr(bar, s.subscribe_status);
        operation = "申购";
    } else if (tmf::equals_member(side, s.sell)) {
        status = tmf::attr(bar, s.redeem_status);
        operation = "赎回";
    } else {
        tmf::raise_with(PyExc_ValueError, tmf::format("error SIDE = {}", side));
    }
    if (tmf::truthy(tmf::call_method(s.fund_status, s.invalid_state, status))) {
        return tmf::format("{}申赎失败,当前时间({}) {}状态={} ", order_book_id, tmf::attr(env, s.trading_dt),
                           py::str(operation), status);
    }
    return py::none();
}

}  // namespace

PYBIND11_MODULE(validator, m) {
    m.doc() = "Front-end validator for fund orders.";
    py::object base = tmf::import_attr("tessel.interface", "AbstractFrontendValidator");
    py::object side_enum = tmf::import_attr("tessel.const", "SIDE");
    Shared& s = shared();
    s.fund_status = tmf::import_attr("tessel_mod_fund.const", "FUND_STATUS");
    s.buy = side_enum.attr("BUY");
    s.sell = side_enum.attr("SELL");
    s.env_ = tmf::intern("_env");
    s.order_book_id = tmf::intern("order_book_id");
    s.get_bar = tmf::intern("get_bar");
    s.side = tmf::intern("side");
    s.subscribe_status = tmf::intern("subscribe_status");
    s.redeem_status = tmf::intern("redeem_status");
    s.invalid_state = tmf::intern("invalid_state");
    s.trading_dt = tmf::intern("trading_dt");

    tmf::ClassBuilder cls("FundStatusValidator", m, base);
    cls.def(
           "__init__",
           [](py::object self, py::object env) { self.attr("_env") = env; },
           py::arg("self"), py::arg("env"))
        .attr("validate_submission",
              tmf::fast_method("validate_submission", {"self", "order", "account"},
                               {py::handle(), py::handle(), py::none()},
                               "validate_submission(self: object, order: object, account: object = None) -> object\n",
                               &validate_submission, m))
        .def(
            "validate_cancellation",
            [](py::object, py::object, py::object) { return py::none(); },
            py::arg("self"), py::arg("order"), py::arg("account") = py::none());
    m.attr("FundStatusValidator") = cls.build();
}
