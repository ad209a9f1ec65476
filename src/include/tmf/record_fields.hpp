// Native access to one field of a one-dimensional numpy structured array.
//
// Records are packed (numpy's default for a list of (name, type) pairs), so
// a field's elements are neither contiguous nor necessarily aligned: every
// access goes through memcpy at data + offset + i * itemsize.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace tmf {

namespace py = pybind11;

class RecordField {
public:
    RecordField(py::array& records, const char* name) : name_(name) {
        if (records.ndim() != 1) throw std::invalid_argument("record array must be one-dimensional");
        py::object entry = records.dtype().attr("fields")[py::str(name)];
        py::tuple info = entry.cast<py::tuple>();
        py::dtype dt = info[0].cast<py::dtype>();
        const auto offset = info[1].cast<py::ssize_t>();
        kind_ = dt.kind();
        itemsize_ = dt.itemsize();
        native_ = dt.attr("isnative").cast<bool>();
        size_ = records.shape(0);
        stride_ = records.strides(0);
        data_ = static_cast<char*>(records.mutable_data()) + offset;
    }

    py::ssize_t size() const { return size_; }
    const std::string& name() const { return name_; }

    // True when the field holds native-order values of C++ type T.
    template <class T>
    bool holds() const {
        if (!native_ || itemsize_ != static_cast<py::ssize_t>(sizeof(T))) return false;
        if constexpr (std::is_same_v<T, bool>) return kind_ == 'b';
        else if constexpr (std::is_floating_point_v<T>) return kind_ == 'f';
        else if constexpr (std::is_signed_v<T>) return kind_ == 'i';
        else return kind_ == 'u';
    }

    template <class T>
    void set(py::ssize_t i, T value) {
        std::memcpy(data_ + i * stride_, &value, sizeof(T));
    }

    template <class T>
    T get(py::ssize_t i) const {
        T value;
        std::memcpy(&value, data_ + i * stride_, sizeof(T));
        return value;
    }

    template <class T>
    void fill(T value) {
        for (py::ssize_t i = 0; i < size_; ++i) set<T>(i, value);
    }

    // Copies a contiguous source of exactly size() elements.
    template <class T>
    void copy_from(const T* src) {
        for (py::ssize_t i = 0; i < size_; ++i) set<T>(i, src[i]);
    }

private:
    std::string name_;
    char* data_ = nullptr;
    py::ssize_t stride_ = 0;
    py::ssize_t size_ = 0;
    py::ssize_t itemsize_ = 0;
    char kind_ = '?';
    bool native_ = true;
};

// `values` as a C-contiguous array of T, converted the way numpy converts on
// assignment to a field (unsafe casting); no copy when it already is one.
template <class T>
py::array_t<T, py::array::c_style | py::array::forcecast> as_contiguous(py::handle values) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(
        py::reinterpret_borrow<py::object>(values));
}

}  // namespace tmf
