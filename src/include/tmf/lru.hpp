// Least-recently-used memoisation shared by every module.
//
// Semantics (the same as functools.lru_cache, which callers may rely on):
//   * the key is the tuple of positional arguments plus, when given, the
//     keyword items; for methods the first argument is the object itself,
//     so every store/position has its own entries and is kept alive by them;
//   * a hit returns the very same object that was stored;
//   * a call that raises stores nothing, so the next call tries again;
//   * maxsize 0 means "no limit"; the oldest entry is dropped first.
//
// `Lru` is the C++ container; `LruFunction` wraps it as a Python callable
// with cache_info()/cache_clear() and descriptor binding, so it can stand in
// for a decorated function, method or property getter.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tmf/pyargs.hpp"

namespace tmf {

namespace py = pybind11;

class Lru {
public:
    explicit Lru(std::size_t maxsize) : maxsize_(maxsize), small_mode_(maxsize != 0 && maxsize <= kSmall) {
        if (small_mode_) small_.reserve(maxsize + 1);
    }

    // Returns the cached value for `key`, or computes it with `fn()` and
    // stores it.  Exceptions from `fn` (or from hashing the key) propagate
    // and leave the cache as it was.
    template <class Fn>
    py::object get(const py::object& key, Fn&& fn) {
        Key k{key, py::hash(key)};
        if (small_mode_) return get_small(k, std::forward<Fn>(fn));
        auto it = index_.find(k);
        if (it != index_.end()) {
            ++hits_;
            order_.splice(order_.begin(), order_, it->second);
            return it->second->second;
        }
        ++misses_;
        py::object value = fn();
        // fn() may have re-entered the cache and inserted the same key.
        it = index_.find(k);
        if (it != index_.end()) {
            it->second->second = value;
            order_.splice(order_.begin(), order_, it->second);
            return value;
        }
        order_.emplace_front(k, value);
        index_.emplace(k, order_.begin());
        if (maxsize_ != 0 && order_.size() > maxsize_) {
            auto last = std::prev(order_.end());
            index_.erase(last->first);
            order_.erase(last);
        }
        return value;
    }

    void clear() {
        small_.clear();
        index_.clear();
        order_.clear();
        hits_ = misses_ = 0;
    }

    std::size_t size() const { return small_mode_ ? small_.size() : order_.size(); }
    std::size_t maxsize() const { return maxsize_; }
    std::size_t hits() const { return hits_; }
    std::size_t misses() const { return misses_; }

private:
    struct Key {
        py::object obj;
        Py_hash_t hash;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept {
            return static_cast<std::size_t>(k.hash);
        }
    };
    struct KeyEq {
        bool operator()(const Key& a, const Key& b) const {
            if (a.hash != b.hash) return false;
            if (a.obj.ptr() == b.obj.ptr()) return true;
            int r = PyObject_RichCompareBool(a.obj.ptr(), b.obj.ptr(), Py_EQ);
            if (r < 0) throw py::error_already_set();
            return r == 1;
        }
    };
    using Entry = std::pair<Key, py::object>;

    // A cache of a few entries is a short array, most recent first: a
    // linear scan finds what the hash map would (same hash, then identity
    // or ==), and a miss that drops the oldest entry allocates nothing.
    static constexpr std::size_t kSmall = 8;

    std::ptrdiff_t find_small(const Key& k) const {
        for (std::size_t i = 0; i < small_.size(); ++i) {
            if (small_[i].first.hash != k.hash) continue;
            if (small_[i].first.obj.ptr() == k.obj.ptr()) return static_cast<std::ptrdiff_t>(i);
            // An == written in Python may change the cache meanwhile: the
            // candidate is held while it is compared.
            Key candidate = small_[i].first;
            if (KeyEq{}(candidate, k)) {
                for (std::size_t j = 0; j < small_.size(); ++j) {
                    if (small_[j].first.obj.ptr() == candidate.obj.ptr()) return static_cast<std::ptrdiff_t>(j);
                }
                return -1;
            }
        }
        return -1;
    }

    void to_front(std::ptrdiff_t i) {
        std::rotate(small_.begin(), small_.begin() + i, small_.begin() + i + 1);
    }

    template <class Fn>
    py::object get_small(const Key& k, Fn&& fn) {
        std::ptrdiff_t i = find_small(k);
        if (i >= 0) {
            ++hits_;
            to_front(i);
            return small_.front().second;
        }
        ++misses_;
        py::object value = fn();
        // fn() may have re-entered the cache and inserted the same key.
        i = find_small(k);
        if (i >= 0) {
            small_[static_cast<std::size_t>(i)].second = value;
            to_front(i);
            return value;
        }
        small_.emplace(small_.begin(), k, value);
        if (small_.size() > maxsize_) small_.pop_back();
        return value;
    }

    std::size_t maxsize_;
    bool small_mode_;
    std::vector<Entry> small_;
    std::size_t hits_ = 0;
    std::size_t misses_ = 0;
    std::list<Entry> order_;
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash, KeyEq> index_;
};

// Builds the cache key from call arguments the way functools does: the
// positional tuple, extended by a marker and the keyword items when present.
inline py::object make_key(const py::args& args, const py::kwargs& kwargs) {
    if (kwargs.empty()) return py::reinterpret_borrow<py::object>(args);
    py::list parts;
    for (auto a : args) parts.append(a);
    static py::handle marker = py::object(py::module_::import("builtins").attr("object")()).release();
    parts.append(marker);
    for (auto item : kwargs) {
        parts.append(item.first);
        parts.append(item.second);
    }
    return py::tuple(parts);
}

class LruFunction {
public:
    using Impl = std::function<py::object(const py::args&, const py::kwargs&)>;

    LruFunction(Impl impl, std::size_t maxsize, std::string name)
        : impl_(std::move(impl)), cache_(maxsize), name_(std::move(name)) {}

    py::object call(const py::args& args, const py::kwargs& kwargs) {
        if (scope_) sync_scope();
        return cache_.get(make_key(args, kwargs), [&] { return impl_(args, kwargs); });
    }

    // Ties the cached results to a scope object (for instance the run's
    // environment): when `scope()` returns a different object than at the
    // previous call, every result is dropped before the call proceeds.  The
    // scope is remembered through a weak reference where it supports one,
    // so an old run is not kept alive by its caches' bookkeeping.
    void set_scope(std::function<py::object()> scope) { scope_ = std::move(scope); }

    Lru& cache() { return cache_; }
    const std::string& name() const { return name_; }

    // Registers the Python type in `m` (module-local, so every extension
    // module may carry its own copy without clashing).
    static void bind(py::module_& m) {
        py::class_<LruFunction>(m, "_lru_cache_wrapper", py::module_local())
            .def("__call__", &LruFunction::call)
            .def("cache_clear", [](LruFunction& f) { f.cache_.clear(); },
                 "Drop every cached result.")
            .def("cache_info",
                 [](const LruFunction& f) {
                     py::object maxsize = f.cache_.maxsize() == 0
                                              ? py::object(py::none())
                                              : py::object(py::int_(f.cache_.maxsize()));
                     return py::make_tuple(f.cache_.hits(), f.cache_.misses(), maxsize,
                                           f.cache_.size());
                 },
                 "(hits, misses, maxsize, currsize); maxsize None means unbounded.")
            .def_property_readonly("name", [](const LruFunction& f) { return f.name_; })
            // Binding like a plain function: obj.method(...) passes obj first.
            .def("__get__",
                 [](py::object self, py::object obj, py::object) -> py::object {
                     if (obj.is_none()) return self;
                     return py::reinterpret_steal<py::object>(PyMethod_New(self.ptr(), obj.ptr()));
                 },
                 py::arg("obj"), py::arg("objtype") = py::none())
            .def("__repr__", [](const LruFunction& f) {
                return "<lru-cached " + f.name_ + ">";
            });
    }

private:
    void sync_scope() {
        py::object current = scope_();
        PyObject* last = nullptr;
        if (last_scope_ref_) {
            last = PyWeakref_GetObject(last_scope_ref_.ptr());  // borrowed; None once dead
        } else if (last_scope_) {
            last = last_scope_.ptr();
        }
        if (last == current.ptr()) return;
        cache_.clear();
        last_scope_ref_ = py::object();
        last_scope_ = py::object();
        PyObject* ref = PyWeakref_NewRef(current.ptr(), nullptr);
        if (ref) {
            last_scope_ref_ = py::reinterpret_steal<py::object>(ref);
        } else {
            PyErr_Clear();  // not weakly referenceable: hold it
            last_scope_ = current;
        }
    }

    Impl impl_;
    Lru cache_;
    std::string name_;
    std::function<py::object()> scope_;
    py::object last_scope_ref_;
    py::object last_scope_;
};

// The LruFunction behind a callable made by lru_cached.
inline LruFunction& lru_of(py::handle cached) { return cached.cast<LruFunction&>(); }

// Wraps a C++ callable as an LRU-cached Python callable.  `maxsize` 0 is
// unbounded.  The module must have called LruFunction::bind first.
template <class F>
py::object lru_cached(F&& fn, std::size_t maxsize, std::string name) {
    return py::cast(new LruFunction(
                        [f = std::forward<F>(fn)](const py::args& args, const py::kwargs& kwargs) {
                            return f(args, kwargs);
                        },
                        maxsize, std::move(name)),
                    py::return_value_policy::take_ownership);
}

// An LRU-cached method `name(self, <arg>)` computed by `impl(self, arg)`.
// The argument may come by position or by keyword, as for a Python method;
// `name` and `arg` must outlive the module (string literals).
template <class F>
py::object lru_method(const char* name, const char* arg, std::size_t maxsize, F impl) {
    return lru_cached(
        [name, arg, impl](const py::args& args, const py::kwargs& kwargs) -> py::object {
            auto [self, value] = bind_self_arg(args, kwargs, name, arg);
            return impl(self, value);
        },
        maxsize, name);
}

}  // namespace tmf
