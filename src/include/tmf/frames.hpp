// Writing into pandas objects from C++.
#pragma once

#include <pybind11/pybind11.h>

namespace tmf {

namespace py = pybind11;

// frame[name] = value.  pandas 2 guesses "chained assignment" from the
// frame's reference count, and a call from C holds one reference fewer than
// the same statement in Python, which would raise a spurious warning; an
// extra reference for the duration of the call keeps pandas' guess right.
inline void set_column(py::handle frame, const char* name, py::handle value) {
    py::object keep = py::reinterpret_borrow<py::object>(frame);
    py::str key(name);
    if (PyObject_SetItem(keep.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

}  // namespace tmf
