// tessel_mod_fund._shared: the shared C++ layer exposed for its own tests
// and for users who want Python's rounding at native speed.
#include <pybind11/pybind11.h>

#include "tmf/host_class.hpp"
#include "tmf/lru.hpp"
#include "tmf/rounding.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_shared, m) {
    m.doc() = "Shared native helpers: rounding, LRU caches, host subclasses.";
    tmf::LruFunction::bind(m);

    m.def("round4", [](py::object x) { return tmf::round4(x); }, py::arg("x"),
          "round(x, 4) with Python's exact result, computed natively.");
    m.def("round4_many",
          [](py::iterable values) {
              py::list out;
              for (auto v : values) out.append(tmf::round4(v));
              return out;
          },
          py::arg("values"));
    m.def("lru_cache",
          [](py::function fn, std::size_t maxsize) {
              return tmf::lru_cached(
                  [fn](const py::args& args, const py::kwargs& kwargs) { return fn(*args, **kwargs); },
                  maxsize, py::str(fn.attr("__name__")).cast<std::string>());
          },
          py::arg("fn"), py::arg("maxsize") = 128,
          "Wrap a Python callable in the native LRU cache (maxsize 0: unbounded).");
    m.def("make_subclass",
          [](const char* name, py::object base, py::dict attrs) {
              tmf::ClassBuilder cls(name, py::module_::import("tessel_mod_fund._shared"), base);
              for (auto item : attrs) cls.namespace_()[item.first] = item.second;
              return cls.build();
          },
          py::arg("name"), py::arg("base"), py::arg("attrs"),
          "Create a subclass of `base` through its metaclass with `attrs` as namespace.");
}
