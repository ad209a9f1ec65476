// Small Python-semantics helpers: truth tests, getattr with a default,
// and argument binding for LRU-cached methods (which receive the raw
// args/kwargs of the call).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace tmf {

namespace py = pybind11;

// bool(obj), with Python's exceptions propagated.
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// getattr(obj, name, default): only AttributeError selects the default;
// any other failure of the attribute lookup propagates.
inline py::object getattr_or(py::handle obj, const char* name, py::handle dflt) {
    PyObject* r = PyObject_GetAttrString(obj.ptr(), name);
    if (r) return py::reinterpret_steal<py::object>(r);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(dflt);
    }
    throw py::error_already_set();
}

// getattr(obj, name, default) for an interned name (see calls.hpp).
inline py::object getattr_or(py::handle obj, PyObject* name, py::handle dflt) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (r) return py::reinterpret_steal<py::object>(r);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(dflt);
    }
    throw py::error_already_set();
}

// Binds the call of a cached method `name(self, <arg>)` from its raw
// arguments, accepting the argument positionally or by keyword.  Wrong
// calls get the TypeError a Python function would give.
inline std::pair<py::object, py::object> bind_self_arg(const py::args& args, const py::kwargs& kwargs,
                                                       const char* name, const char* arg) {
    const auto npos = args.size();
    const auto nkw = kwargs.size();
    if (npos == 2 && nkw == 0) return {args[0], args[1]};
    if (npos == 1 && nkw == 1 && kwargs.contains(arg)) return {args[0], kwargs[arg]};
    std::string msg = std::string(name) + "() takes exactly one argument '" + arg + "' besides self (got " +
                      std::to_string(npos == 0 ? 0 : npos - 1) + " positional and " + std::to_string(nkw) +
                      " keyword arguments)";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw py::error_already_set();
}

}  // namespace tmf
