// Native access to one field of a one-dimensional numpy structured array.
//
// Records are packed (numpy's default for a list of (name, type) pairs), so
// a field's elements are neither contiguous nor necessarily aligned: every
// access goes through memcpy at data + offset + i * itemsize.
//
// RecordField writes (the array must be writeable and have the field);
// RecordFieldView only reads, so it also serves arrays that are shared or
// read-only, and reports a missing field instead of raising.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace tmf {

namespace py = pybind11;

// Where a field lies in a record layout, read once from the dtype's fields
// and then used for any array of that dtype.
struct FieldLayout {
    py::ssize_t offset = 0;
    py::ssize_t itemsize = 0;
    char kind = '?';
    bool native = true;
};

// `fields` is dtype.fields; the field must be there (KeyError otherwise).
inline FieldLayout field_layout(py::handle fields, const char* name) {
    py::tuple info = py::reinterpret_borrow<py::object>(fields)[py::str(name)].cast<py::tuple>();
    py::dtype dt = info[0].cast<py::dtype>();
    return FieldLayout{info[1].cast<py::ssize_t>(), dt.itemsize(), dt.kind(), dt.attr("isnative").cast<bool>()};
}

namespace detail {

// What both accessors share: where the field's elements lie and what type
// they hold.  `Byte` is char for writing and const char for reading.
template <class Byte>
class FieldAccess {
public:
    py::ssize_t size() const { return size_; }
    char kind() const { return kind_; }
    py::ssize_t itemsize() const { return itemsize_; }
    bool native_order() const { return native_; }

    // True when the field holds native-order values of C++ type T (never
    // for a field that was not found).
    template <class T>
    bool holds() const {
        if (!native_ || itemsize_ != static_cast<py::ssize_t>(sizeof(T))) return false;
        if constexpr (std::is_same_v<T, bool>) return kind_ == 'b';
        else if constexpr (std::is_floating_point_v<T>) return kind_ == 'f';
        else if constexpr (std::is_signed_v<T>) return kind_ == 'i';
        else return kind_ == 'u';
    }

    template <class T>
    T get(py::ssize_t i) const {
        T value;
        std::memcpy(&value, data_ + i * stride_, sizeof(T));
        return value;
    }

protected:
    // `entry` is the field's item of dtype.fields: (dtype, offset[, title]).
    void locate(py::handle entry, Byte* records, py::ssize_t size, py::ssize_t stride) {
        py::tuple info = entry.cast<py::tuple>();
        py::dtype dt = info[0].cast<py::dtype>();
        place(FieldLayout{info[1].cast<py::ssize_t>(), dt.itemsize(), dt.kind(), dt.attr("isnative").cast<bool>()},
              records, size, stride);
    }

    void place(const FieldLayout& layout, Byte* records, py::ssize_t size, py::ssize_t stride) {
        kind_ = layout.kind;
        itemsize_ = layout.itemsize;
        native_ = layout.native;
        size_ = size;
        stride_ = stride;
        data_ = records + layout.offset;
    }

    Byte* data_ = nullptr;
    py::ssize_t stride_ = 0;
    py::ssize_t size_ = 0;
    py::ssize_t itemsize_ = 0;
    char kind_ = '?';
    bool native_ = true;
};

}  // namespace detail

class RecordField : public detail::FieldAccess<char> {
public:
    RecordField(py::array& records, const char* name) : RecordField(records, name, records.dtype().attr("fields")) {}

    // `fields` is records.dtype.fields, read once by a caller that opens
    // many fields of the same array.
    RecordField(py::array& records, const char* name, py::handle fields) : name_(name) {
        if (records.ndim() != 1) throw std::invalid_argument("record array must be one-dimensional");
        py::object entry = fields[py::str(name)];
        char* base = static_cast<char*>(records.mutable_data());
        locate(entry, base, records.shape(0), records.strides(0));
    }

    // `layout` was read from the fields of this array's very dtype.
    RecordField(py::array& records, std::string name, const FieldLayout& layout) : name_(std::move(name)) {
        if (records.ndim() != 1) throw std::invalid_argument("record array must be one-dimensional");
        place(layout, static_cast<char*>(records.mutable_data()), records.shape(0), records.strides(0));
    }

    const std::string& name() const { return name_; }

    // Where the elements lie, as plain values for tight loops: writes
    // through a Writer cannot be taken for writes to the field object
    // itself, so the compiler keeps both in registers.
    struct Writer {
        char* data;
        py::ssize_t stride;
        template <class T>
        void set(py::ssize_t i, T value) const {
            std::memcpy(data + i * stride, &value, sizeof(T));
        }
        char* at(py::ssize_t i) const { return data + i * stride; }
    };
    Writer writer() const { return {data_, stride_}; }

    template <class T>
    void set(py::ssize_t i, T value) {
        std::memcpy(data_ + i * stride_, &value, sizeof(T));
    }

    // Writes `len` bytes of `src` into element i and zero bytes up to
    // `width` (the field's itemsize), as for a fixed-width bytes field.
    void set_bytes(py::ssize_t i, const void* src, std::size_t len, std::size_t width) {
        char* dst = data_ + i * stride_;
        std::memcpy(dst, src, len);
        if (len < width) std::memset(dst + len, 0, width - len);
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
};

class RecordFieldView : public detail::FieldAccess<const char> {
public:
    // A dtype without the field (or without fields at all) gives a view
    // that is not present(); an array that is not one-dimensional gives an
    // empty one.
    RecordFieldView(const py::array& records, const char* name) {
        const py::ssize_t size = records.ndim() == 1 ? records.shape(0) : 0;
        const Layout& layout = layout_of(records.dtype(), name);
        if (!layout.present) return;
        kind_ = layout.kind;
        itemsize_ = layout.itemsize;
        native_ = layout.native;
        size_ = size;
        stride_ = size ? records.strides(0) : 0;
        data_ = static_cast<const char*>(records.data()) + layout.offset;
        present_ = true;
    }

    bool present() const { return present_; }

private:
    // Where a field lies in the records of one dtype.
    struct Layout {
        bool present = false;
        char kind = '?';
        py::ssize_t itemsize = 0;
        bool native = true;
        py::ssize_t offset = 0;
    };

    // The layout of field `name` in `dtype`.  Fields are opened for every
    // order and every day, each fund's bars with a dtype object of their
    // own: layouts found are kept by the identity of the dtype, of its
    // field names (a dtype changes its fields only by being given new
    // names) and of `name` (the callers' literals).  An entry holds the
    // dtype and its names, so neither identity is reused while it lasts.
    static const Layout& layout_of(const py::dtype& dtype, const char* name) {
        struct Entry {
            py::object dtype;
            py::object names;
            std::string name;  // the text, should a caller's pointer be reused for another
            Layout layout;
        };
        struct KeyHash {
            std::size_t operator()(const std::pair<PyObject*, const char*>& k) const noexcept {
                return std::hash<PyObject*>()(k.first) * 31u + std::hash<const char*>()(k.second);
            }
        };
        using Map = std::unordered_map<std::pair<PyObject*, const char*>, Entry, KeyHash>;
        static Map* kept = new Map();  // never freed: outlives the interpreter's teardown
        static PyObject* names_attr = PyUnicode_InternFromString("names");
        if (!names_attr) throw py::error_already_set();
        PyObject* names_ptr = PyObject_GetAttr(dtype.ptr(), names_attr);
        if (!names_ptr) throw py::error_already_set();
        py::object names = py::reinterpret_steal<py::object>(names_ptr);
        const std::pair<PyObject*, const char*> key{dtype.ptr(), name};
        auto found = kept->find(key);
        if (found != kept->end() && found->second.names.ptr() == names.ptr() && found->second.name == name) {
            return found->second.layout;
        }
        Layout layout;
        py::object fields = dtype.attr("fields");
        if (!fields.is_none() && fields.contains(name)) {
            py::tuple info = fields[py::str(name)].cast<py::tuple>();
            py::dtype dt = info[0].cast<py::dtype>();
            layout.present = true;
            layout.kind = dt.kind();
            layout.itemsize = dt.itemsize();
            layout.native = dt.attr("isnative").cast<bool>();
            layout.offset = info[1].cast<py::ssize_t>();
        }
        if (found == kept->end() && kept->size() >= 100000) kept->clear();  // bounded; starts afresh
        Entry& entry = (*kept)[key];
        entry.dtype = dtype;
        entry.names = names;
        entry.name = name;
        entry.layout = layout;
        return entry.layout;
    }

    bool present_ = false;
};

// `values` as a C-contiguous array of T, converted the way numpy converts on
// assignment to a field (unsafe casting); no copy when it already is one.
template <class T>
py::array_t<T, py::array::c_style | py::array::forcecast> as_contiguous(py::handle values) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(
        py::reinterpret_borrow<py::object>(values));
}

}  // namespace tmf
