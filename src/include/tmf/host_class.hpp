// Building Python classes that subclass the host engine's own classes.
//
// The host decides behaviour by isinstance/issubclass checks, ABC abstract
// method bookkeeping and class-creation hooks (__init_subclass__ registries,
// __instrument_types__).  So a plug-in class must be a *real* Python
// subclass, created through the base's metaclass with its full namespace in
// place.  ClassBuilder collects that namespace (methods, properties,
// class methods, plain attributes, in definition order), and build() calls
// type(base)(name, bases, namespace) exactly like a class statement would.
//
// Methods are C++ callables wrapped by pybind11's cpp_function and turned
// into instance-method descriptors, so `obj.method(...)` passes obj as the
// first argument and `Base.method(obj, ...)` works too.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <utility>

namespace tmf {

namespace py = pybind11;

// An instance-method descriptor around a cpp_function.
template <class F, class... Extra>
py::object method(F&& f, const char* name, const Extra&... extra) {
    py::cpp_function cf(std::forward<F>(f), py::name(name), extra...);
    if (std::strcmp(name, "__init__") == 0 || std::strcmp(name, "__setstate__") == 0) {
        // pybind11 treats functions with these names as constructors of its
        // own bound types and insists on a pybind11 instance as `self`.  Ours
        // initialise ordinary Python instances, so switch that off.
        PyObject* capsule = PyCFunction_GET_SELF(cf.ptr());
        py::detail::function_record_ptr_from_PyObject(capsule)->is_constructor = false;
    }
    PyObject* m = PyInstanceMethod_New(cf.ptr());
    if (!m) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

// A read-only property whose getter is a C++ callable taking `self`.
template <class F>
py::object property(F&& getter, const char* name, const char* doc = nullptr) {
    static py::handle builtin_property = py::object(py::module_::import("builtins").attr("property")).release();
    py::cpp_function fget(std::forward<F>(getter), py::name(name));
    return builtin_property(fget, py::none(), py::none(), doc ? py::object(py::str(doc)) : py::object(py::none()));
}

// A read-only property over an arbitrary getter object (for instance an
// LRU-cached callable).
inline py::object property_of(py::handle fget, const char* doc = nullptr) {
    static py::handle builtin_property = py::object(py::module_::import("builtins").attr("property")).release();
    return builtin_property(fget, py::none(), py::none(), doc ? py::object(py::str(doc)) : py::object(py::none()));
}

template <class F, class... Extra>
py::object classmethod(F&& f, const char* name, const Extra&... extra) {
    static py::handle builtin_classmethod = py::object(py::module_::import("builtins").attr("classmethod")).release();
    py::cpp_function cf(std::forward<F>(f), py::name(name), extra...);
    return builtin_classmethod(cf);
}

class ClassBuilder {
public:
    ClassBuilder(std::string name, const py::module_& module, py::tuple bases)
        : name_(std::move(name)), bases_(std::move(bases)) {
        ns_["__module__"] = module.attr("__name__");
        ns_["__qualname__"] = py::str(name_);
    }
    ClassBuilder(std::string name, const py::module_& module, py::handle base)
        : ClassBuilder(std::move(name), module, py::make_tuple(base)) {}

    ClassBuilder& doc(const char* text) {
        ns_["__doc__"] = py::str(text);
        return *this;
    }

    template <class F, class... Extra>
    ClassBuilder& def(const char* name, F&& f, const Extra&... extra) {
        ns_[name] = method(std::forward<F>(f), name, extra...);
        return *this;
    }

    template <class F>
    ClassBuilder& def_property(const char* name, F&& getter, const char* doc = nullptr) {
        ns_[name] = property(std::forward<F>(getter), name, doc);
        return *this;
    }

    template <class F, class... Extra>
    ClassBuilder& def_classmethod(const char* name, F&& f, const Extra&... extra) {
        ns_[name] = classmethod(std::forward<F>(f), name, extra...);
        return *this;
    }

    ClassBuilder& attr(const char* name, py::handle value) {
        ns_[name] = value;
        return *this;
    }

    py::dict& namespace_() { return ns_; }

    // Creates the class the way a class statement does: the metaclass of the
    // first base prepares the namespace (Enum's needs its own mapping type),
    // the collected entries are stored in definition order, then the
    // metaclass is called.
    py::object build() {
        py::handle meta = reinterpret_cast<PyObject*>(Py_TYPE(bases_[0].ptr()));
        py::str name(name_);
        py::object prepared = meta.attr("__prepare__")(name, bases_);
        for (auto item : ns_) prepared[item.first] = item.second;
        return meta(name, bases_, prepared);
    }

private:
    std::string name_;
    py::tuple bases_;
    py::dict ns_;
};

// Calls an attribute of a base class with an explicit `self`: the C++ spelling
// of Base.method(self, ...) / super() for one level.
template <class... Args>
py::object call_base(py::handle base, const char* name, py::handle self, Args&&... args) {
    return base.attr(name)(self, std::forward<Args>(args)...);
}

// Reads a property (or any descriptor) as defined on `base` for `self`.
inline py::object base_property(py::handle base, const char* name, py::handle self) {
    py::object descr = base.attr(name);
    return descr.attr("__get__")(self, py::type::handle_of(self));
}

inline py::object import_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

}  // namespace tmf
