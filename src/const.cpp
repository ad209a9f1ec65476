// tessel_mod_fund.const: the daily subscribe/redeem status of a fund.
#include <pybind11/pybind11.h>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"

namespace py = pybind11;

namespace {

// True when `a != b` is true (Python's rich comparison, reflected operators
// included, so a byte string read from a bar compares like its text).
bool differs(py::handle a, py::handle b) {
    return tmf::truthy(tmf::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

}  // namespace

PYBIND11_MODULE(const, m) {
    m.doc() = "Fund status enumeration.";
    py::object custom_enum = tmf::import_attr("tessel.const", "CustomEnum");

    tmf::ClassBuilder cls("FUND_STATUS", m, custom_enum);
    cls.doc("基金状态")
        .attr("OPEN", py::str("Open"))
        .attr("LIMITED", py::str("Limited"))
        .attr("SUSPENDED", py::str("Suspended"))
        .attr("CLOSE", py::str("Close"))
        // Orders go through only on "Open" and "Limited" days; any other
        // value, including texts the service may add later, refuses them.
        .def_classmethod(
            "invalid_state",
            [](py::object klass, py::object state) {
                if (!differs(state, klass.attr("OPEN"))) return false;
                return differs(state, klass.attr("LIMITED"));
            },
            py::arg("cls"), py::arg("state"));
    m.attr("FUND_STATUS") = cls.build();
}
