// Methods and property getters that the engine calls for every position on
// every trading day, as plain CPython vectorcall functions.
//
// pybind11's general dispatcher (argument tuples, keyword dictionaries,
// overload records) costs more than the work some of these methods do.  The
// functions made here bind their arguments the way a Python function with
// the same parameters does (positionally or by name, Python's TypeError
// texts for a wrong call) and call a plain C++ body.  Like the methods of
// ClassBuilder they are instance-method descriptors, so `obj.method(...)`
// passes obj first and `Base.method(obj, ...)` works too.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace tmf {

namespace py = pybind11;

// Runs `body`, handing its result to CPython, or its exception as the
// Python error (nullptr), as pybind11's dispatcher would.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

using SelfArgBody = py::object (*)(py::handle self, py::handle arg);
using SelfBody = py::object (*)(py::handle self);
// The bound arguments, in the order of the parameter names (self first).
using ArgsBody = py::object (*)(PyObject* const* args);

constexpr int kMaxParams = 8;

struct FastMethod {
    PyMethodDef def;
    const char* arg;  // the parameter besides self
    SelfArgBody body;
};

struct FastGetter {
    PyMethodDef def;
    SelfBody body;
};

// A getter whose body also receives a fixed object given when it is made
// (for instance the key it reads), so one body serves many properties.
using SelfDataBody = py::object (*)(py::handle self, py::handle data);

struct FastDataGetter {
    PyMethodDef def;
    SelfDataBody body;
    PyObject* data;  // owned, for the life of the process
};

// A function of up to kMaxParams named parameters; `defaults[i]` is the
// value of an omitted parameter i (nullptr: required).
struct FastFunction {
    PyMethodDef def;
    int count;
    const char* names[kMaxParams];
    PyObject* defaults[kMaxParams];
    ArgsBody body;
};

namespace detail {

inline PyObject* type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

// (self, arg), by position or by name, exactly once each.  The function's
// name for an error text is put together only when there is an error: the
// engine makes this call for every position every day.
inline PyObject* call_self_arg(PyObject* capsule, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto* m = static_cast<FastMethod*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!m) return nullptr;
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    auto fn = [m] { return std::string(m->def.ml_name) + "()"; };
    const char* names[2] = {"self", m->arg};
    PyObject* bound[2] = {nullptr, nullptr};
    if (npos > 2) {
        return type_error(fn() + " takes 2 positional arguments but " + std::to_string(npos) + " were given");
    }
    for (Py_ssize_t i = 0; i < npos; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int j = 0; j < 2; ++j) {
            if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) slot = j;
        }
        if (slot < 0) {
            return type_error(fn() + " got an unexpected keyword argument '" + PyUnicode_AsUTF8(key) + "'");
        }
        if (bound[slot]) return type_error(fn() + " got multiple values for argument '" + names[slot] + "'");
        bound[slot] = args[npos + k];
    }
    for (int j = 0; j < 2; ++j) {
        if (!bound[j]) return type_error(fn() + " missing 1 required positional argument: '" + names[j] + "'");
    }
    return guarded([&] { return m->body(bound[0], bound[1]); });
}

// Binds the parameters of a FastFunction as Python binds those of a
// function with the same signature: by position or by name, each once.
inline PyObject* call_params(PyObject* capsule, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto* f = static_cast<FastFunction*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!f) return nullptr;
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    auto fn = [f] { return std::string(f->def.ml_name) + "()"; };
    PyObject* bound[kMaxParams] = {};
    if (npos > f->count) {
        return type_error(fn() + " takes " + std::to_string(f->count) + " positional arguments but " +
                          std::to_string(npos) + " were given");
    }
    for (Py_ssize_t i = 0; i < npos; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int j = 0; j < f->count; ++j) {
            if (PyUnicode_CompareWithASCIIString(key, f->names[j]) == 0) slot = j;
        }
        if (slot < 0) {
            return type_error(fn() + " got an unexpected keyword argument '" + PyUnicode_AsUTF8(key) + "'");
        }
        if (bound[slot]) return type_error(fn() + " got multiple values for argument '" + f->names[slot] + "'");
        bound[slot] = args[npos + k];
    }
    for (int j = 0; j < f->count; ++j) {
        if (bound[j]) continue;
        if (!f->defaults[j]) {
            return type_error(fn() + " missing 1 required positional argument: '" + f->names[j] + "'");
        }
        bound[j] = f->defaults[j];
    }
    return guarded([&] { return f->body(bound); });
}

inline PyObject* call_self(PyObject* capsule, PyObject* self) {
    auto* g = static_cast<FastGetter*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!g) return nullptr;
    return guarded([&] { return g->body(self); });
}

inline PyObject* call_self_data(PyObject* capsule, PyObject* self) {
    auto* g = static_cast<FastDataGetter*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!g) return nullptr;
    return guarded([&] { return g->body(self, g->data); });
}

inline py::object function_of(PyMethodDef* def, void* record, const py::module_& module) {
    // The record lives as long as the function: it is the capsule's pointer
    // and is never freed (the module is not unloaded before exit).
    py::object capsule = py::reinterpret_steal<py::object>(PyCapsule_New(record, nullptr, nullptr));
    if (!capsule) throw py::error_already_set();
    py::object name = module.attr("__name__");
    PyObject* f = PyCFunction_NewEx(def, capsule.ptr(), name.ptr());
    if (!f) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

}  // namespace detail

// An instance method `name(self, arg)` running `body`; `name`, `arg` and
// `doc` must outlive the module (string literals).
inline py::object fast_method(const char* name, const char* arg, const char* doc, SelfArgBody body,
                              const py::module_& module) {
    auto* m = new FastMethod{{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::call_self_arg)),
                              METH_FASTCALL | METH_KEYWORDS, doc},
                             arg, body};
    py::object f = detail::function_of(&m->def, m, module);
    PyObject* method = PyInstanceMethod_New(f.ptr());
    if (!method) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(method);
}

// A plain function `name(<names...>)` running `body` with the bound
// arguments; `defaults` has one entry per name (nullptr: required, else a
// value kept for the life of the module).  `name`, `names` and `doc` must
// outlive the module (string literals).
inline py::object fast_function(const char* name, std::initializer_list<const char*> names,
                                std::initializer_list<py::handle> defaults, const char* doc, ArgsBody body,
                                const py::module_& module) {
    if (names.size() > static_cast<std::size_t>(kMaxParams) || defaults.size() != names.size()) {
        throw std::invalid_argument(std::string(name) + ": parameter names and defaults do not match");
    }
    auto* f = new FastFunction{{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::call_params)),
                                METH_FASTCALL | METH_KEYWORDS, doc},
                               static_cast<int>(names.size()), {}, {}, body};
    int i = 0;
    for (const char* n : names) f->names[i++] = n;
    i = 0;
    for (py::handle d : defaults) f->defaults[i++] = d ? d.inc_ref().ptr() : nullptr;
    return detail::function_of(&f->def, f, module);
}

// An instance method over fast_function: `obj.name(...)` passes obj as the
// first parameter (conventionally "self").
inline py::object fast_method(const char* name, std::initializer_list<const char*> names,
                              std::initializer_list<py::handle> defaults, const char* doc, ArgsBody body,
                              const py::module_& module) {
    py::object f = fast_function(name, names, defaults, doc, body, module);
    PyObject* method = PyInstanceMethod_New(f.ptr());
    if (!method) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(method);
}

// A getter `name(self)` for a property, running `body`.
inline py::object fast_getter(const char* name, const char* doc, SelfBody body, const py::module_& module) {
    auto* g = new FastGetter{{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::call_self)),
                              METH_O, doc},
                             body};
    return detail::function_of(&g->def, g, module);
}

// A getter `name(self)` running `body(self, data)`.
inline py::object fast_getter(const char* name, const char* doc, SelfDataBody body, py::handle data,
                              const py::module_& module) {
    auto* g = new FastDataGetter{
        {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::call_self_data)), METH_O, doc},
        body, py::reinterpret_borrow<py::object>(data).release().ptr()};
    return detail::function_of(&g->def, g, module);
}

}  // namespace tmf
