// Raising Python exceptions from C++ with the exact texts callers match on.
#pragma once

#include <pybind11/pybind11.h>

namespace tmf {

namespace py = pybind11;

// NotImplementedError with no message at all (args == ()), as a bare
// `raise NotImplementedError` gives.
[[noreturn]] inline void raise_not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw py::error_already_set();
}

[[noreturn]] inline void raise_with(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// Owns the new reference a C API call returned; NULL (the call failed and
// set a Python error) is thrown as that error.
inline py::object steal(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// str.format with Python's own formatting, so "{}" renders exactly as in
// Python (dates, enums, numpy values).
template <class... Args>
py::str format(const char* pattern, Args&&... args) {
    return py::str(pattern).attr("format")(std::forward<Args>(args)...);
}

}  // namespace tmf
