// tessel_mod_fund.const: the daily subscribe/redeem status of a fund.
#include <pybind11/pybind11.h>

#include "tmf/calls.hpp"
#include "tmf/errors.hpp"
#include "tmf/fast_call.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"

namespace py = pybind11;

namespace {

PyObject* name_open = nullptr;
PyObject* name_limited = nullptr;
PyTypeObject* member_type = nullptr;  // FUND_STATUS, once built

// True when `a != b` is true (Python's rich comparison, reflected operators
// included, so a byte string read from a bar compares like its text).  A
// plain text and a member compare by their texts, as the members' own
// comparison does: that is asked for every fund order.
bool differs(py::handle a, py::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_Check(b.ptr()) && Py_TYPE(b.ptr()) == member_type) {
        return tmf::truthy(tmf::steal(PyUnicode_RichCompare(a.ptr(), b.ptr(), Py_NE)));
    }
    return tmf::truthy(tmf::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// invalid_state(cls, state): asked for every fund order (validation and
// rebalancing), so a plain vectorcall function (see fast_call.hpp).
py::object invalid_state(PyObject* const* args) {
    py::handle klass = args[0], state = args[1];
    if (!differs(state, tmf::attr(klass, name_open))) return py::bool_(false);
    return py::bool_(differs(state, tmf::attr(klass, name_limited)));
}

}  // namespace

PYBIND11_MODULE(const, m) {
    m.doc() = "Fund status enumeration.";
    py::object custom_enum = tmf::import_attr("tessel.const", "CustomEnum");
    name_open = tmf::intern("OPEN");
    name_limited = tmf::intern("LIMITED");

    tmf::ClassBuilder cls("FUND_STATUS", m, custom_enum);
    cls.doc("基金状态")
        .attr("OPEN", py::str("Open"))
        .attr("LIMITED", py::str("Limited"))
        .attr("SUSPENDED", py::str("Suspended"))
        .attr("CLOSE", py::str("Close"))
        // Orders go through only on "Open" and "Limited" days; any other
        // value, including texts the service may add later, refuses them.
        .attr("invalid_state",
              py::module_::import("builtins").attr("classmethod")(tmf::fast_function(
                  "invalid_state", {"cls", "state"}, {py::handle(), py::handle()},
                  "invalid_state(cls: object, state: object) -> bool\n", &invalid_state, m)));
    py::object built = cls.build();
    member_type = reinterpret_cast<PyTypeObject*>(built.ptr());
    m.attr("FUND_STATUS") = built;
}
