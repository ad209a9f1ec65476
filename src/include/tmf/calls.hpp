// Attribute reads and calls on host objects without pybind11's general
// machinery: names interned once, calls through CPython's vectorcall (no
// bound method object, argument tuple or keyword dictionary).
//
// `attr(obj, name)` is `obj.name`, `call_method(obj, name, a, b)` is
// `obj.name(a, b)` and `call(f, a, b)` is `f(a, b)`, with Python's exact
// semantics (descriptors, instance attributes, __getattr__); failures
// propagate as py::error_already_set.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace tmf {

namespace py = pybind11;

// An interned name, made once and kept until the interpreter exits.
inline PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;
}

inline py::object own(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// obj.<name>
inline py::object attr(py::handle obj, PyObject* name) { return own(PyObject_GetAttr(obj.ptr(), name)); }

// obj.<name> = value
inline void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// obj.<name>(args...)
template <class... Args>
py::object call_method(py::handle obj, PyObject* name, const Args&... args) {
    PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
    return own(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(Args), nullptr));
}

// f(args...)
template <class... Args>
py::object call(py::handle f, const Args&... args) {
    // argv[0] is spare room the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    return own(PyObject_Vectorcall(f.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., <kwnames[0]>=..., ...): the last len(kwnames) values are
// the keyword arguments, `kwnames` a tuple of their interned names.
template <class... Args>
py::object call_kw(py::handle f, py::handle kwnames, const Args&... args) {
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
    return own(PyObject_Vectorcall(f.ptr(), argv + 1, (sizeof...(Args) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames.ptr()));
}

// a == b as Python compares them; an object is taken as equal to itself
// without asking it (the engine's enumeration members are singletons).
inline bool same(py::handle a, py::handle b) {
    if (a.ptr() == b.ptr()) return true;
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// a == member, where `member` is a member of one of the engine's
// enumerations: members are singletons and equal no other member of their
// own enumeration (the enumerations' own rule), so only a value of another
// type is asked.
inline bool equals_member(py::handle a, py::handle member) {
    if (a.ptr() == member.ptr()) return true;
    if (Py_TYPE(a.ptr()) == Py_TYPE(member.ptr())) return false;
    const int r = PyObject_RichCompareBool(a.ptr(), member.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace tmf
