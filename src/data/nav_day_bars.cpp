// tessel_mod_fund.data.nav_day_bars: day bars of public funds built from
// their net asset value and their daily subscribe/redeem status.
//
// The bar layout is described by ordered maps of field name -> (numpy type,
// value function).  The value functions of this module are `_BarValue`
// objects: called with a NAV frame they return what the field holds (a
// column, a shifted column, a scalar ...), so the maps can be read and used
// from Python like any table of callables; get_bars, however, recognises
// them and fills each field with one native pass over the source column's
// memory instead of going through intermediate pandas objects.  Any other
// callable placed in a map by a subclass is honoured through numpy's own
// field assignment.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/lru.hpp"
#include "tmf/prefault.hpp"
#include "tmf/pyargs.hpp"
#include "tmf/record_fields.hpp"

namespace py = pybind11;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Shared {
    py::object np;                 // numpy
    py::object environment;        // tessel.environment.Environment
    py::object convert_date_to_int;
    py::object vexdatac;           // the client package
    py::object start_date;         // "20050104"
    py::object end_date;           // "29991231"
    py::object datetime_index;     // pandas.DatetimeIndex
    py::object int64;              // numpy.int64
    py::object own_get_nav;        // the function of VexdataNavDayBars._get_nav
};

Shared& shared() {
    static Shared* s = new Shared();
    return *s;
}

// ---------------------------------------------------------------------------
// Value functions
// ---------------------------------------------------------------------------

enum class Kind {
    Nan,          // NaN in every record
    IntOne,       // the integer 1 in every record
    FloatOne,     // 1.0 in every record
    Datetime,     // convert_date_to_int of the frame's index
    ColumnOrNan,  // a column when the frame has it, else NaN
    Column,       // a column
    Shifted,      // a column shifted down by one row (first record NaN)
    IsNan,        // 1.0 where a column is NaN, else 0.0
    Suspended,    // redeem == subscribe and redeem in ("Suspended", "Close")
    Text,         // a text column as fixed-width bytes
};

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Nan: return "nan";
        case Kind::IntOne: return "int_one";
        case Kind::FloatOne: return "float_one";
        case Kind::Datetime: return "datetime";
        case Kind::ColumnOrNan: return "column_or_nan";
        case Kind::Column: return "column";
        case Kind::Shifted: return "shifted";
        case Kind::IsNan: return "isnan";
        case Kind::Suspended: return "suspended";
        case Kind::Text: return "text";
    }
    return "?";
}

struct BarValue {
    Kind kind;
    std::string column;
};

py::object column_of(py::handle frame, const std::string& column) {
    return frame[py::str(column)];
}

bool has_column(py::handle frame, const char* column) {
    return frame.attr("columns").contains(py::str(column));
}

// The Python meaning of a value function: what a pandas implementation of
// the field would assign.  get_bars fills most fields natively instead (see
// fill_native) and assigns this only where the native path declines: text
// fields, and fields a subclass gave a type the native path does not handle.
// It also serves callers that read the maps.
py::object evaluate(const BarValue& v, py::handle frame) {
    const Shared& s = shared();
    switch (v.kind) {
        case Kind::Nan: return py::float_(kNaN);
        case Kind::IntOne: return py::int_(1);
        case Kind::FloatOne: return py::float_(1.0);
        case Kind::Datetime: return s.convert_date_to_int(frame.attr("index"));
        case Kind::ColumnOrNan:
            if (has_column(frame, v.column.c_str())) return column_of(frame, v.column);
            return py::float_(kNaN);
        case Kind::Column: return column_of(frame, v.column);
        case Kind::Shifted: return column_of(frame, v.column).attr("shift")(1).attr("values");
        case Kind::IsNan: return s.np.attr("isnan")(column_of(frame, v.column));
        case Kind::Suspended: {
            py::object redeem = column_of(frame, "redeem_status");
            py::object subscribe = column_of(frame, "subscribe_status");
            py::object same = redeem.attr("__eq__")(subscribe);
            py::object closed = redeem.attr("isin")(py::make_tuple("Suspended", "Close"));
            return same.attr("__and__")(closed);
        }
        case Kind::Text: return column_of(frame, v.column).attr("values");
    }
    return py::none();
}

py::object make_value(Kind kind, std::string column = {}) {
    return py::cast(BarValue{kind, std::move(column)});
}

// ---------------------------------------------------------------------------
// Native filling
// ---------------------------------------------------------------------------

// Writes a scalar into every record when the field's type allows it
// natively; false means the caller must use numpy's assignment instead.
bool fill_scalar(tmf::RecordField& f, double value, bool integral) {
    if (f.holds<double>()) {
        f.fill<double>(value);
        return true;
    }
    if (integral && f.holds<std::uint64_t>()) {
        f.fill<std::uint64_t>(static_cast<std::uint64_t>(value));
        return true;
    }
    if (integral && f.holds<std::int64_t>()) {
        f.fill<std::int64_t>(static_cast<std::int64_t>(value));
        return true;
    }
    return false;
}

[[noreturn]] void length_mismatch(const tmf::RecordField& f, py::ssize_t got) {
    tmf::raise_with(PyExc_ValueError,
                    tmf::format("bar field {!r}: the value has {} elements for {} records", f.name(), got, f.size()));
}

using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// What the bars need to know of each value of a status column, worked out
// once per distinct object: a column holds a handful of texts, each object
// repeated over thousands of days.
enum StatusCode : std::uint8_t {
    kNotText = 0,    // not a str (a missing value, a number ...)
    kOtherText = 1,  // a str with characters beyond ASCII
    kAsciiText = 2,  // any other ASCII str
    kSuspendedText = 3,
    kCloseText = 4,
};

StatusCode classify_status(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return kNotText;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(obj) != 0) throw py::error_already_set();
#endif
    if (!PyUnicode_IS_ASCII(obj)) return kOtherText;
    if (PyUnicode_CompareWithASCIIString(obj, "Suspended") == 0) return kSuspendedText;
    if (PyUnicode_CompareWithASCIIString(obj, "Close") == 0) return kCloseText;
    return kAsciiText;
}

// A status column read once per get_bars call: for each record the entry
// of its object in a table of the column's distinct objects, each
// classified once.  Objects already seen are found again by address (the
// column keeps them alive for the whole call); an object seen again after
// another took its place gets a second entry, which changes nothing.
struct StatusColumn {
    std::vector<std::uint32_t> which;   // per record
    std::vector<PyObject*> objects;     // per entry
    std::vector<std::uint8_t> codes;    // per entry
    std::uint8_t lowest = kCloseText;   // the lowest code of any entry
    std::map<std::size_t, std::vector<char>> padded;  // width -> each entry's text cut and padded to it

    const std::vector<char>& padded_to(std::size_t width) {
        auto it = padded.find(width);
        if (it != padded.end()) return it->second;
        std::vector<char> table(objects.size() * width, '\0');
        for (std::size_t e = 0; e < objects.size(); ++e) {
            const auto len = std::min(static_cast<std::size_t>(PyUnicode_GET_LENGTH(objects[e])), width);
            std::memcpy(table.data() + e * width, PyUnicode_DATA(objects[e]), len);
        }
        return padded.emplace(width, std::move(table)).first->second;
    }
};

// The column labels of a frame, read once: the position of each label, or
// -1 for a label the frame has more than once.  `plain` is false when a
// label is not a text; then pandas is asked about every column.
struct Labels {
    bool plain = false;
    std::unordered_map<std::string, py::ssize_t> at;
};

Labels read_labels(py::handle frame) {
    Labels labels;
    py::ssize_t position = 0;
    for (py::handle label : frame.attr("columns")) {
        if (!PyUnicode_CheckExact(label.ptr())) return Labels{};
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(label.ptr(), &size);
        if (text == nullptr) {
            PyErr_Clear();
            return Labels{};
        }
        auto [it, fresh] = labels.at.emplace(std::string(text, static_cast<std::size_t>(size)), position++);
        if (!fresh) it->second = -1;
    }
    labels.plain = true;
    return labels;
}

bool unique_labels(const Labels& labels) {
    for (const auto& entry : labels.at) {
        if (entry.second < 0) return false;
    }
    return true;
}

// Where one get_bars call reads its columns, and the columns it has read
// (so that the five price fields of a fund read their NAV column once).
//
// The source is either the frame _get_nav gave, or the NAV frame and the
// status frame together with the rows of their inner join on the date:
// the frame _get_nav would have made by joining them, read without making
// it.  Columns are taken as the frames store them (no Series is built per
// column) wherever a frame can hand them out by position; see
// stored().  Whatever cannot be read that way is read from the joined
// frame itself, made by pandas' join the first time it is needed.
struct ColumnCache {
    // One frame.
    explicit ColumnCache(py::object frame) : joined_(std::move(frame)) {
        rows = py::len(joined_);
        by_position_ = py::hasattr(joined_, "_get_column_array");
        if (by_position_) joined_labels_ = read_labels(joined_);
    }
    // The NAV and status frames with their labels (texts, each once, none
    // in both), and which of their rows the join keeps (None: all of them,
    // in order); `rows` records.
    ColumnCache(py::object nav, Labels nav_labels, py::object status, Labels status_labels, py::object left,
                py::object right, py::ssize_t n)
        : nav_(std::move(nav)), status_(std::move(status)), left_(std::move(left)), right_(std::move(right)),
          nav_labels_(std::move(nav_labels)), status_labels_(std::move(status_labels)), split_(true),
          by_position_(true) {
        rows = n;
    }

    py::ssize_t rows = 0;
    std::map<std::string, FloatArray> floats;
    std::map<std::string, py::array> objects;
    std::map<std::string, StatusColumn> statuses;  // see status_column
    std::vector<py::object> kept;  // other sources the prepared fills read

    // The frame the bars are made of.
    py::object frame() {
        if (!joined_) joined_ = nav_.attr("join")(status_, py::arg("how") = "inner");
        return joined_;
    }

    // Its index: the NAV dates the join keeps.
    py::object index() {
        if (!split_) return joined_.attr("index");
        py::object dates = nav_.attr("index");
        return left_.is_none() ? dates : dates.attr("take")(left_);
    }

    // `column in frame.columns`
    bool has(const char* column) {
        if (!split_) return joined_labels_.plain ? joined_labels_.at.count(column) > 0 : has_column(joined_, column);
        return nav_labels_.at.count(column) > 0 || status_labels_.at.count(column) > 0;
    }

    // The array a column's values are stored in (a numpy array or an
    // extension array), one value per record, or an empty object when only
    // frame()[column] can tell: a name that is missing or not unique, a
    // frame of another kind.
    py::object stored(const std::string& column) {
        if (!by_position_) return py::object();
        if (!split_) return stored_in(joined_, joined_labels_, column);
        if (py::object found = stored_in(nav_, nav_labels_, column)) {
            return left_.is_none() ? found : found.attr("take")(left_);
        }
        if (py::object found = stored_in(status_, status_labels_, column)) {
            return right_.is_none() ? found : found.attr("take")(right_);
        }
        return py::object();
    }

private:
    static py::object stored_in(py::handle frame, const Labels& labels, const std::string& column) {
        if (labels.plain) {
            auto it = labels.at.find(column);
            if (it == labels.at.end() || it->second < 0) return py::object();
            return frame.attr("_get_column_array")(py::int_(it->second));
        }
        PyObject* loc = nullptr;
        try {
            py::object found = frame.attr("columns").attr("get_loc")(py::str(column));
            if (!PyLong_CheckExact(found.ptr())) return py::object();
            loc = found.release().ptr();
        } catch (py::error_already_set&) {
            return py::object();  // frame[column] raises what it raises
        }
        py::object position = py::reinterpret_steal<py::object>(loc);
        return frame.attr("_get_column_array")(position);
    }

    py::object joined_;              // the frame, or (split) the join once made
    py::object nav_, status_;        // split: the two frames
    py::object left_, right_;        // split: the rows each keeps, or None for all
    Labels joined_labels_, nav_labels_, status_labels_;
    bool split_ = false;
    bool by_position_ = false;
};

bool is_ndarray_of(py::handle values, char kind, py::ssize_t itemsize) {
    if (!py::isinstance<py::array>(values)) return false;
    py::dtype dt = py::reinterpret_borrow<py::array>(values).dtype();
    return dt.kind() == kind && dt.itemsize() == itemsize && py::reinterpret_borrow<py::array>(values).ndim() == 1;
}

// A column's values as Python objects, read once per get_bars call: the
// suspended flag and the status texts share them.  The same array as
// frame[column].to_numpy(dtype=object): an object column is used as it is,
// an extension array converts itself exactly as its Series would.
const py::array& object_source(const std::string& column, ColumnCache& cache) {
    auto it = cache.objects.find(column);
    if (it == cache.objects.end()) {
        const Shared& s = shared();
        py::object stored = cache.stored(column);
        py::object values;
        if (stored && is_ndarray_of(stored, 'O', static_cast<py::ssize_t>(sizeof(PyObject*)))) {
            values = stored;
        } else if (stored && !py::isinstance<py::array>(stored)) {
            values = stored.attr("to_numpy")(py::arg("dtype") = py::dtype("O"));
        } else {
            values = column_of(cache.frame(), column).attr("to_numpy")(py::arg("dtype") = py::dtype("O"));
        }
        py::array contiguous = py::isinstance<py::array>(values) &&
                                       py::reinterpret_borrow<py::array>(values).ndim() == 1 &&
                                       (py::reinterpret_borrow<py::array>(values).flags() &
                                        py::array::c_style)
                                   ? py::reinterpret_borrow<py::array>(values)
                                   : py::array(s.np.attr("ascontiguousarray")(values));
        it = cache.objects.emplace(column, std::move(contiguous)).first;
    }
    return it->second;
}

// The float64 values of a column, one per record of `f`: a view of the
// frame's own memory for a float64 column, a converted copy otherwise.
const FloatArray& float_source(const tmf::RecordField& f, const std::string& column, ColumnCache& cache) {
    auto it = cache.floats.find(column);
    if (it == cache.floats.end()) {
        py::object stored = cache.stored(column);
        py::object values = stored && is_ndarray_of(stored, 'f', 8)
                                ? stored
                                : py::object(column_of(cache.frame(), column).attr("to_numpy")());
        it = cache.floats.emplace(column, tmf::as_contiguous<double>(values)).first;
    }
    if (it->second.size() != f.size()) length_mismatch(f, it->second.size());
    return it->second;
}

// Where a field lies in each record: written relative to a block of
// records, so that a block can be built in a small buffer of its own.
struct Place {
    py::ssize_t offset;
    py::ssize_t stride;
};

// The loops of the fills.  They take everything they read as plain
// arguments: a value captured by a fill's closure would be read again
// after every store, since a store through char* may change any object.
template <class T>
void put(char* at, T value) {
    std::memcpy(at, &value, sizeof(T));
}

template <class T>
void fill_loop(char* out, py::ssize_t stride, py::ssize_t n, T value) {
    for (py::ssize_t k = 0; k < n; ++k) put<T>(out + k * stride, value);
}

template <class T, class S>
void copy_loop(char* out, py::ssize_t stride, const S* x, py::ssize_t n) {
    for (py::ssize_t k = 0; k < n; ++k) put<T>(out + k * stride, static_cast<T>(x[k]));
}

// One field's native fill, prepared once per get_bars call and then run
// over consecutive blocks of records: `run(block, lo, hi)` writes records
// lo..hi-1, record i at block + (i - lo) * stride.  All fields of a block
// are written while its records are in the cache, instead of one pass over
// the whole array per field.  A constant fill writes the same bytes into
// every record.
struct Fill {
    std::function<void(char*, py::ssize_t, py::ssize_t)> run;
    bool constant = false;
    explicit operator bool() const { return static_cast<bool>(run); }
};

template <class T>
Fill scalar_fill(Place p, T value) {
    return Fill{[p, value](char* block, py::ssize_t lo, py::ssize_t hi) {
                    fill_loop<T>(block + p.offset, p.stride, hi - lo, value);
                },
                true};
}

// A scalar into every record when the field's type allows it natively;
// an empty fill means the caller must use numpy's assignment instead.
Fill prepare_scalar(const tmf::RecordField& f, Place p, double value, bool integral) {
    if (f.holds<double>()) return scalar_fill<double>(p, value);
    if (integral && f.holds<std::uint64_t>()) return scalar_fill<std::uint64_t>(p, static_cast<std::uint64_t>(value));
    if (integral && f.holds<std::int64_t>()) return scalar_fill<std::int64_t>(p, static_cast<std::int64_t>(value));
    return {};
}

template <class T, class S>
Fill copy_fill(Place p, const S* x) {
    return Fill{[p, x](char* block, py::ssize_t lo, py::ssize_t hi) {
        copy_loop<T>(block + p.offset, p.stride, x + lo, hi - lo);
    }};
}

// Copies `values` (anything numpy can convert) into the field, converted to
// the field's own type first, exactly as numpy's field assignment converts.
template <class T>
Fill prepare_values(const tmf::RecordField& f, Place p, py::handle values, ColumnCache& cache) {
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        // Integers of the host's date conversion: numpy's conversion of
        // int64 to uint64 keeps the bits, as the C conversion does.
        if (py::isinstance<py::array>(values)) {
            auto ints = py::reinterpret_borrow<py::array>(values);
            if (ints.ndim() == 1 && ints.size() == f.size() && (ints.flags() & py::array::c_style) &&
                ints.dtype().kind() == 'i' && ints.dtype().itemsize() == 8 && ints.dtype().attr("isnative").cast<bool>()) {
                const auto* x = static_cast<const std::int64_t*>(ints.data());
                cache.kept.push_back(ints);
                return copy_fill<std::uint64_t>(p, x);
            }
        }
    }
    auto src = tmf::as_contiguous<T>(values);
    if (src.ndim() > 1 || src.size() != f.size()) {
        if (src.size() == 1) return scalar_fill<T>(p, src.data()[0]);
        length_mismatch(f, src.size());
    }
    const T* x = src.data();
    cache.kept.push_back(std::move(src));
    return copy_fill<T>(p, x);
}

Fill prepare_values_any(const tmf::RecordField& f, Place p, py::handle values, ColumnCache& cache) {
    if (f.holds<double>()) return prepare_values<double>(f, p, values, cache);
    if (f.holds<std::uint64_t>()) return prepare_values<std::uint64_t>(f, p, values, cache);
    if (f.holds<std::int64_t>()) return prepare_values<std::int64_t>(f, p, values, cache);
    return {};
}

StatusColumn& status_column(const std::string& column, ColumnCache& cache) {
    auto it = cache.statuses.find(column);
    if (it != cache.statuses.end()) return it->second;
    const py::array& values = object_source(column, cache);
    auto* const* v = static_cast<PyObject* const*>(values.data());
    const auto n = static_cast<std::size_t>(values.size());
    StatusColumn out;
    out.which.resize(n);
    constexpr std::size_t kSlots = 64;
    PyObject* seen[kSlots] = {};
    std::uint32_t seen_at[kSlots] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t slot = (reinterpret_cast<std::uintptr_t>(v[i]) >> 4) & (kSlots - 1);
        if (seen[slot] != v[i]) {
            seen[slot] = v[i];
            seen_at[slot] = static_cast<std::uint32_t>(out.objects.size());
            const StatusCode code = classify_status(v[i]);
            out.objects.push_back(v[i]);
            out.codes.push_back(code);
            out.lowest = std::min<std::uint8_t>(out.lowest, code);
        }
        out.which[i] = seen_at[slot];
    }
    return cache.statuses.emplace(column, std::move(out)).first->second;
}

void text_loop(char* out, py::ssize_t stride, const std::uint32_t* which, py::ssize_t n, const char* table,
               std::size_t width) {
    for (py::ssize_t k = 0; k < n; ++k) std::memcpy(out + k * stride, table + which[k] * width, width);
}

void narrow_text_loop(char* out, py::ssize_t stride, const std::uint32_t* which, py::ssize_t n, const char* table,
                      std::size_t width) {
    for (py::ssize_t k = 0; k < n; ++k) {
        const char* src = table + which[k] * width;
        char* dst = out + k * stride;
        std::memcpy(dst, src, 8);
        std::memcpy(dst + width - 8, src + width - 8, 8);
    }
}

// A text column into a fixed-width bytes field, natively when every value
// is a text of ASCII characters: its bytes, cut to the field's width and
// padded with zero bytes, as numpy's own assignment stores them.  Anything
// else (missing values, non-ASCII text, other objects) is left to numpy,
// whose conversion of those is the contract; an empty fill then.
Fill prepare_ascii_text(const tmf::RecordField& f, Place p, const std::string& column, ColumnCache& cache) {
    if (f.kind() != 'S') return {};
    const py::array& values = object_source(column, cache);
    if (values.ndim() != 1 || values.size() != f.size()) return {};
    StatusColumn& status = status_column(column, cache);
    if (status.lowest < kAsciiText) return {};
    const auto width = static_cast<std::size_t>(f.itemsize());
    const std::uint32_t* which = status.which.data();
    if (width < 8 || width > 16) {
        const std::vector<char>& table = status.padded_to(width);
        return Fill{[p, which, table = table.data(), width](char* block, py::ssize_t lo, py::ssize_t hi) {
            text_loop(block + p.offset, p.stride, which + lo, hi - lo, table, width);
        }};
    }
    // The usual narrow field: a record takes its `width` bytes as two
    // overlapping 8-byte copies.
    const char* table = status.padded_to(width).data();
    return Fill{[p, which, table, width](char* block, py::ssize_t lo, py::ssize_t hi) {
        narrow_text_loop(block + p.offset, p.stride, which + lo, hi - lo, table, width);
    }};
}

// True when `obj` is a text equal to `text`.
bool text_is(PyObject* obj, const char* text) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

void suspended_loop(char* out, py::ssize_t stride, const std::uint32_t* rw, const std::uint8_t* rc,
                    const std::uint32_t* sw, const std::uint8_t* sc, py::ssize_t n) {
    for (py::ssize_t k = 0; k < n; ++k) {
        const std::uint8_t code = rc[rw[k]];
        put<bool>(out + k * stride, code >= kSuspendedText && code == sc[sw[k]]);
    }
}

// suspended: same status on both sides, and that status is "Suspended" or
// "Close".  Missing or non-text statuses never count (pandas compares them
// as unequal), so only two texts can make a record suspended, and two
// values are the same such text exactly when their codes are.
Fill prepare_suspended(const tmf::RecordField& f, Place p, ColumnCache& cache) {
    const py::array& redeem = object_source("redeem_status", cache);
    const py::array& subscribe = object_source("subscribe_status", cache);
    if (redeem.size() != f.size()) length_mismatch(f, redeem.size());
    if (subscribe.size() != f.size()) length_mismatch(f, subscribe.size());
    const StatusColumn& r = status_column("redeem_status", cache);
    const StatusColumn& sub = status_column("subscribe_status", cache);
    return Fill{[p, rw = r.which.data(), rc = r.codes.data(), sw = sub.which.data(), sc = sub.codes.data()](
                    char* block, py::ssize_t lo, py::ssize_t hi) {
        suspended_loop(block + p.offset, p.stride, rw + lo, rc, sw + lo, sc, hi - lo);
    }};
}

void isnan_loop(char* out, py::ssize_t stride, const double* x, py::ssize_t n) {
    for (py::ssize_t k = 0; k < n; ++k) put<double>(out + k * stride, std::isnan(x[k]) ? 1.0 : 0.0);
}

// Prepares one field's native fill.  An empty fill means the field's type
// is not one the native path handles; the caller then assigns evaluate()'s
// result.
Fill prepare_native(const tmf::RecordField& f, Place p, const BarValue& v, ColumnCache& cache) {
    const Shared& s = shared();
    switch (v.kind) {
        case Kind::Nan: return prepare_scalar(f, p, kNaN, false);
        case Kind::IntOne: return prepare_scalar(f, p, 1.0, true);
        case Kind::FloatOne: return f.holds<double>() ? prepare_scalar(f, p, 1.0, false) : Fill{};
        case Kind::Datetime: {
            // The host converts the whole index in one call, whatever its
            // datetime resolution; the integers are then copied natively.
            py::object ints = s.convert_date_to_int(cache.index());
            return prepare_values_any(f, p, ints, cache);
        }
        case Kind::ColumnOrNan:
            if (!cache.has(v.column.c_str())) return prepare_scalar(f, p, kNaN, false);
            [[fallthrough]];
        case Kind::Column: {
            if (!f.holds<double>()) return {};
            return copy_fill<double>(p, float_source(f, v.column, cache).data());
        }
        case Kind::Shifted: {
            if (!f.holds<double>()) return {};
            const double* x = float_source(f, v.column, cache).data();
            return Fill{[p, x](char* block, py::ssize_t lo, py::ssize_t hi) {
                char* out = block + p.offset;
                py::ssize_t first = lo;
                if (lo == 0 && hi > 0) {  // the first record has no previous one
                    put<double>(out, kNaN);
                    out += p.stride;
                    first = 1;
                }
                copy_loop<double>(out, p.stride, x + first - 1, hi - first);
            }};
        }
        case Kind::IsNan: {
            if (!f.holds<double>()) return {};
            const double* x = float_source(f, v.column, cache).data();
            return Fill{[p, x](char* block, py::ssize_t lo, py::ssize_t hi) { isnan_loop(block + p.offset, p.stride, x + lo, hi - lo); }};
        }
        case Kind::Suspended:
            if (!f.holds<bool>()) return {};
            return prepare_suspended(f, p, cache);
        case Kind::Text:
            // numpy's text-to-bytes conversion (ASCII only, truncation to the
            // field width, "nan"/"None" for missing values, an error for
            // non-ASCII text) is the contract of these fields: only plain
            // ASCII texts, which it stores byte for byte, are copied here.
            return prepare_ascii_text(f, p, v.column, cache);
    }
    return {};
}

// ---------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------

py::tuple entry(const char* dtype, py::object value_fn) { return py::make_tuple(py::str(dtype), value_fn); }

py::dict build_field_map() {
    py::dict map;
    map["datetime"] = entry("<u8", make_value(Kind::Datetime));
    for (const char* name : {"volume", "total_turnover", "limit_up", "limit_down"}) {
        map[name] = entry("<f8", make_value(Kind::Nan));
    }
    // The day's limits, where the service supplies them, under their own names.
    for (const char* name : {"subscribe_upper_limit", "subscribe_lower_limit", "redeem_lower_limit"}) {
        map[name] = entry("<f8", make_value(Kind::ColumnOrNan, name));
    }
    return map;
}

py::dict build_accrued_map(const py::dict& field_map) {
    py::dict map = field_map.attr("copy")();
    map["open"] = entry("<u8", make_value(Kind::IntOne));
    for (const char* name : {"high", "low", "close", "prev_close"}) map[name] = entry("<f8", make_value(Kind::FloatOne));
    map["isnan"] = entry("<f8", make_value(Kind::IsNan, "daily_profit"));
    map["daily_profit"] = entry("<f8", make_value(Kind::Column, "daily_profit"));
    map["weekly_yield"] = entry("<f8", make_value(Kind::Column, "weekly_yield"));
    return map;
}

py::object dtype_of(const py::dict& map) {
    py::list pairs;
    for (auto item : map) pairs.append(py::make_tuple(item.first, item.second[py::int_(0)]));
    return shared().np.attr("dtype")(pairs);
}

// One field of a bar layout: its name, the map's value function, and where
// it lies in the records.
struct FieldPlan {
    std::string name;
    py::object value_fn;
    const BarValue* bar_value = nullptr;  // the value function, when it is one of this module's (kept by value_fn)
    tmf::FieldLayout layout;
};

// The record layout of one kind of fund (money-market or not, the NAV
// column of the prices, with or without status), made from the class's
// field map: what get_bars would work out afresh from the map for every
// fund.  Kept while the map holds the very same entries.
struct Layout {
    py::object map;                    // the field map it was made from
    std::vector<PyObject*> snapshot;   // the map's keys and values then (references held by `held`)
    std::vector<py::object> held;
    bool accrued = false;
    std::string nav;
    bool status = false;
    py::object dtype;
    std::vector<FieldPlan> fields;
    bool whole = false;  // the fields cover every byte of a record, each byte once
};

// Whether the layout can be kept for later calls: a plain dict whose
// entries are tuples of a type text and a value function, which cannot
// change without the dict changing.  (A dtype object could: the field
// names of a structured one can be set again.)
bool keepable(py::handle map) {
    if (!PyDict_CheckExact(map.ptr())) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(map.ptr(), &pos, &key, &value)) {
        if (!PyTuple_CheckExact(value) || PyTuple_GET_SIZE(value) < 2) return false;
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(value, 0))) return false;
    }
    return true;
}

bool same_entries(const Layout& layout, py::handle map) {
    if (static_cast<std::size_t>(PyDict_Size(map.ptr())) * 2 != layout.snapshot.size()) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    std::size_t k = 0;
    while (PyDict_Next(map.ptr(), &pos, &key, &value)) {
        if (layout.snapshot[k] != key || layout.snapshot[k + 1] != value) return false;
        k += 2;
    }
    return true;
}

// The fields of a fund's bars, worked out from the class's map as get_bars
// always did: the map's own entries, the prices from the NAV column for a
// fund that does not accrue daily, the status fields when there is status.
std::shared_ptr<Layout> make_layout(py::handle map, bool accrued, const std::string& nav, bool status) {
    auto layout = std::make_shared<Layout>();
    layout->map = py::reinterpret_borrow<py::object>(map);
    layout->accrued = accrued;
    layout->nav = nav;
    layout->status = status;
    py::dict fields = map.attr("copy")();
    if (!accrued) {
        for (const char* name : {"open", "high", "low", "close"}) fields[name] = entry("<f8", make_value(Kind::Column, nav));
        fields["prev_close"] = entry("<f8", make_value(Kind::Shifted, nav));
        fields["isnan"] = entry("<f8", make_value(Kind::IsNan, nav));
    }
    if (status) {
        fields["suspended"] = entry("bool", make_value(Kind::Suspended));
        fields["subscribe_status"] = entry("S10", make_value(Kind::Text, "subscribe_status"));
        fields["redeem_status"] = entry("S10", make_value(Kind::Text, "redeem_status"));
    }
    layout->dtype = dtype_of(fields);
    py::object dtype_fields = layout->dtype.attr("fields");
    for (auto item : fields) {
        FieldPlan plan;
        plan.name = py::str(item.first);
        plan.value_fn = item.second[py::int_(1)];
        if (py::isinstance<BarValue>(plan.value_fn)) plan.bar_value = &plan.value_fn.cast<const BarValue&>();
        plan.layout = tmf::field_layout(dtype_fields, plan.name.c_str());
        layout->fields.push_back(std::move(plan));
    }
    std::vector<std::pair<py::ssize_t, py::ssize_t>> spans;
    for (const FieldPlan& plan : layout->fields) spans.emplace_back(plan.layout.offset, plan.layout.itemsize);
    std::sort(spans.begin(), spans.end());
    py::ssize_t end = 0;
    layout->whole = true;
    for (const auto& [offset, size] : spans) {
        if (offset != end) layout->whole = false;
        end = offset + size;
    }
    if (end != py::reinterpret_borrow<py::dtype>(layout->dtype).itemsize()) layout->whole = false;
    if (keepable(map)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(map.ptr(), &pos, &key, &value)) {
            layout->snapshot.push_back(key);
            layout->snapshot.push_back(value);
            layout->held.push_back(py::reinterpret_borrow<py::object>(key));
            layout->held.push_back(py::reinterpret_borrow<py::object>(value));
        }
    }
    return layout;
}

std::vector<std::shared_ptr<Layout>>& kept_layouts() {
    static auto* layouts = new std::vector<std::shared_ptr<Layout>>();
    return *layouts;
}

std::shared_ptr<Layout> layout_for(py::handle map, bool accrued, const std::string& nav, bool status) {
    auto& kept = kept_layouts();
    for (const auto& layout : kept) {
        if (layout->map.ptr() == map.ptr() && layout->accrued == accrued && layout->status == status &&
            (accrued || layout->nav == nav) && !layout->snapshot.empty() && same_entries(*layout, map)) {
            return layout;
        }
    }
    std::shared_ptr<Layout> layout = make_layout(map, accrued, nav, status);
    if (!layout->snapshot.empty()) {
        // A handful of maps and fund kinds in a process; a map that keeps
        // changing must not make the list grow without end.
        constexpr std::size_t kKept = 32;
        for (auto it = kept.begin(); it != kept.end(); ++it) {
            if ((*it)->map.ptr() == map.ptr() && (*it)->accrued == accrued && (*it)->status == status &&
                (accrued || (*it)->nav == nav)) {
                kept.erase(it);  // made from an older state of the same map
                break;
            }
        }
        if (kept.size() == kKept) kept.erase(kept.begin());
        kept.push_back(layout);
    }
    return layout;
}

// Fields whose value the native path does not handle are assigned at once
// through numpy, in map order; the others are returned for the record pass.
void prepare_field(py::array& bars, const FieldPlan& plan, ColumnCache& cache, std::vector<Fill>& fills) {
    if (plan.bar_value != nullptr) {
        tmf::RecordField field(bars, plan.name, plan.layout);
        if (Fill fill = prepare_native(field, Place{plan.layout.offset, bars.strides(0)}, *plan.bar_value, cache)) {
            fills.push_back(std::move(fill));
            return;
        }
        bars[py::str(plan.name)] = evaluate(*plan.bar_value, cache.frame());
        return;
    }
    bars[py::str(plan.name)] = plan.value_fn(cache.frame());
}

// Runs the prepared fills over the records, a block of records at a time.
// When the fills write every byte of a record (`whole`), a block is built
// in a small buffer that stays in the cache and then copied out in one
// piece; what the constant fills write is then written into that buffer
// once, for all blocks.  Otherwise the fills write the array directly.
void run_fills(const std::vector<Fill>& fills, py::array& bars, bool whole) {
    constexpr py::ssize_t kBlock = 64;
    const py::ssize_t rows = bars.shape(0);
    const py::ssize_t stride = bars.strides(0);
    char* data = static_cast<char*>(bars.mutable_data());
    if (!whole) {
        for (py::ssize_t lo = 0; lo < rows; lo += kBlock) {
            const py::ssize_t hi = std::min(rows, lo + kBlock);
            for (const Fill& fill : fills) fill.run(data + lo * stride, lo, hi);
        }
        return;
    }
    std::vector<char> buffer(static_cast<std::size_t>(kBlock * stride));
    char* block = buffer.data();
    for (const Fill& fill : fills) {
        if (fill.constant) fill.run(block, 0, std::min(rows, kBlock));
    }
    for (py::ssize_t lo = 0; lo < rows; lo += kBlock) {
        const py::ssize_t hi = std::min(rows, lo + kBlock);
        for (const Fill& fill : fills) {
            if (!fill.constant) fill.run(block, lo, hi);
        }
        std::memcpy(data + lo * stride, block, static_cast<std::size_t>((hi - lo) * stride));
    }
}

// ---------------------------------------------------------------------------
// Data service access
// ---------------------------------------------------------------------------

py::object fund_api() { return shared().vexdatac.attr("fund"); }

py::object get_transaction_status_impl(py::object self, py::object order_book_id) {
    py::object frame = fund_api().attr("get_transaction_status")(
        order_book_id, py::arg("start_date") = self.attr("START_DATE"), py::arg("end_date") = self.attr("END_DATE"));
    if (frame.is_none() || tmf::truthy(frame.attr("empty"))) {
        tmf::raise_with(PyExc_ValueError,
                        tmf::format("基金标的{} 在vexdata.fund.get_transaction_status数据", order_book_id));
    }
    return frame.attr("reset_index")(py::arg("level") = "order_book_id", py::arg("drop") = true);
}

// A fund's NAV frame and, where the service tells it, its status frame:
// the requests of _get_nav, in its order, before the two are joined.
struct NavAndStatus {
    py::object nav;
    py::object status;  // empty when the service cannot tell the fund's status
};

NavAndStatus nav_and_status(py::object self, py::object order_book_id) {
    py::object fund = fund_api();
    py::object frame = fund.attr("get_nav")(order_book_id, py::arg("start_date") = self.attr("START_DATE"),
                                            py::arg("end_date") = self.attr("END_DATE"));
    if (frame.is_none() || tmf::truthy(frame.attr("empty"))) {
        tmf::raise_with(PyExc_ValueError, tmf::format("基金标的{} 在vexdata.fund.get_nav无数据", order_book_id));
    }
    // Status comes from the status request only.  drop() leaves the
    // service's own frame as it was, in case the client keeps it.
    if (has_column(frame, "subscribe_status")) {
        py::list status_columns;
        status_columns.append("subscribe_status");
        status_columns.append("redeem_status");
        frame = frame.attr("drop")(py::arg("columns") = status_columns);
    }
    py::object status;
    if (py::hasattr(fund, "get_transaction_status")) {
        try {
            status = self.attr("_get_transaction_status")(order_book_id);
        } catch (py::error_already_set& e) {
            py::object bad_request = tmf::import_attr("vexdatac.share.errors", "BadRequest");
            if (!e.matches(bad_request)) throw;
            // The service cannot tell this fund's status: bars without it.
        }
    }
    return {frame, status};
}

py::object get_nav_impl(py::object self, py::object order_book_id) {
    NavAndStatus parts = nav_and_status(self, order_book_id);
    if (!parts.status) return parts.nav;
    try {
        return parts.nav.attr("join")(parts.status, py::arg("how") = "inner");
    } catch (py::error_already_set& e) {
        py::object bad_request = tmf::import_attr("vexdatac.share.errors", "BadRequest");
        if (!e.matches(bad_request)) throw;
        return parts.nav;
    }
}

// The date index of a frame as int64 values when it is a DatetimeIndex of
// a numpy datetime type, strictly ascending and without NaT; false
// otherwise.
bool ascending_dates(py::handle frame, py::object& dtype, py::array_t<std::int64_t>& values) {
    const Shared& s = shared();
    py::object index = frame.attr("index");
    if (!py::isinstance(index, s.datetime_index)) return false;
    py::object type = index.attr("dtype");
    if (!py::isinstance<py::dtype>(type) || py::reinterpret_borrow<py::dtype>(type).kind() != 'M') return false;
    py::object raw = index.attr("values");
    if (!py::isinstance<py::array>(raw)) return false;
    values = tmf::as_contiguous<std::int64_t>(raw.attr("view")(s.int64));
    const std::int64_t* v = values.data();
    const py::ssize_t n = values.size();
    for (py::ssize_t i = 0; i < n; ++i) {
        if (v[i] == std::numeric_limits<std::int64_t>::min() || (i > 0 && v[i] <= v[i - 1])) return false;
    }
    dtype = type;
    return true;
}

// What get_bars builds a fund's bars from; nullptr when there are no
// records (the frame _get_nav gives is None or empty).
//
// When _get_nav is this store's own, the NAV and status frames are
// requested as it requests them and, where both are indexed by ascending
// distinct dates of one type and share no column, their inner join is
// worked out from the two date columns alone: the rows pandas' join keeps,
// in the same order, without making the joined frame.
std::unique_ptr<ColumnCache> bar_source(py::object self, py::object order_book_id) {
    const Shared& s = shared();
    py::object get_nav = self.attr("_get_nav");
    const bool own = PyMethod_Check(get_nav.ptr()) && PyMethod_GET_FUNCTION(get_nav.ptr()) == s.own_get_nav.ptr() &&
                     PyMethod_GET_SELF(get_nav.ptr()) == self.ptr();
    py::object frame;
    if (!own) {
        frame = get_nav(order_book_id);
    } else {
        NavAndStatus parts = nav_and_status(self, order_book_id);
        if (!parts.status) {
            frame = parts.nav;
        } else {
            py::object nav_type, status_type;
            py::array_t<std::int64_t> nav_days, status_days;
            Labels nav_labels, status_labels;
            auto disjoint = [](const Labels& a, const Labels& b) {
                for (const auto& entry : a.at) {
                    if (b.at.count(entry.first)) return false;
                }
                return true;
            };
            if (py::hasattr(parts.nav, "_get_column_array") && py::hasattr(parts.status, "_get_column_array") &&
                ascending_dates(parts.nav, nav_type, nav_days) &&
                ascending_dates(parts.status, status_type, status_days) && nav_type.equal(status_type) &&
                (nav_labels = read_labels(parts.nav)).plain && unique_labels(nav_labels) &&
                (status_labels = read_labels(parts.status)).plain && unique_labels(status_labels) &&
                disjoint(nav_labels, status_labels)) {
                const std::int64_t* a = nav_days.data();
                const std::int64_t* b = status_days.data();
                const py::ssize_t na = nav_days.size(), nb = status_days.size();
                std::vector<py::ssize_t> left, right;
                py::ssize_t i = 0, j = 0;
                while (i < na && j < nb) {
                    if (a[i] < b[j]) {
                        ++i;
                    } else if (b[j] < a[i]) {
                        ++j;
                    } else {
                        left.push_back(i++);
                        right.push_back(j++);
                    }
                }
                const auto n = static_cast<py::ssize_t>(left.size());
                if (n == 0) return nullptr;
                auto positions = [n](const std::vector<py::ssize_t>& rows, py::ssize_t all) -> py::object {
                    if (n == all) return py::none();  // every row, in order
                    py::array_t<py::ssize_t> out(n);
                    std::memcpy(out.mutable_data(), rows.data(), static_cast<std::size_t>(n) * sizeof(py::ssize_t));
                    return out;
                };
                return std::make_unique<ColumnCache>(parts.nav, std::move(nav_labels), parts.status,
                                                     std::move(status_labels), positions(left, na),
                                                     positions(right, nb), n);
            }
            try {
                frame = parts.nav.attr("join")(parts.status, py::arg("how") = "inner");
            } catch (py::error_already_set& e) {
                py::object bad_request = tmf::import_attr("vexdatac.share.errors", "BadRequest");
                if (!e.matches(bad_request)) throw;
                frame = parts.nav;
            }
        }
    }
    if (frame.is_none() || tmf::truthy(frame.attr("empty"))) return nullptr;
    return std::make_unique<ColumnCache>(frame);
}

py::object get_bars_impl(py::object self, py::object order_book_id) {
    const Shared& s = shared();
    std::unique_ptr<ColumnCache> source = bar_source(self, order_book_id);
    if (!source) return s.np.attr("empty")(0, dtype_of(self.attr("FIELD_MAP")));

    py::object env = s.environment.attr("get_instance")();
    py::object instrument = env.attr("get_instrument")(order_book_id);
    if (instrument.is_none()) {
        tmf::raise_with(PyExc_ValueError,
                        tmf::format("no instrument for fund {!r}: the bars of a fund need its catalogue entry",
                                    order_book_id));
    }
    const bool accrued = tmf::truthy(instrument.attr("accrued_daily"));
    py::object map = self.attr(accrued ? "FIELD_MAP_ACCRUED_DAILY" : "FIELD_MAP");
    std::string nav = accrued ? std::string() : std::string(py::str(self.attr("_nav_type")));
    std::shared_ptr<Layout> layout = layout_for(map, accrued, nav, source->has("subscribe_status"));

    const py::ssize_t rows = source->rows;
    py::array bars(py::reinterpret_borrow<py::dtype>(layout->dtype), std::vector<py::ssize_t>{rows});
    // Every byte of the records is written below.
    tmf::prefault_for_writing(bars.mutable_data(), static_cast<std::size_t>(bars.nbytes()));
    {
        std::vector<Fill> fills;
        fills.reserve(layout->fields.size());
        for (const FieldPlan& plan : layout->fields) prepare_field(bars, plan, *source, fills);
        // Fields assigned by numpy above are already in the array: then
        // the fills write their own fields only.
        run_fills(fills, bars, layout->whole && fills.size() == layout->fields.size());
    }

    // Money-market funds traded on an exchange are quoted per 100 units.
    // An instrument that states no exchange is not quoted on one.
    if (tmf::truthy(tmf::getattr_or(instrument, "exchange", py::none())) && accrued) {
        for (const char* name : {"open", "high", "low", "close", "prev_close"}) {
            tmf::RecordField f(bars, name);
            if (!fill_scalar(f, 100.0, true)) bars[py::str(name)] = py::int_(100);
        }
    }
    return bars;
}

}  // namespace

PYBIND11_MODULE(nav_day_bars, m) {
    m.doc() = "Day bars of public funds from NAV and subscribe/redeem status.";
    tmf::LruFunction::bind(m);
    Shared& s = shared();
    s.np = py::module_::import("numpy");
    s.environment = tmf::import_attr("tessel.environment", "Environment");
    s.convert_date_to_int = tmf::import_attr("tessel.utils.datetime_func", "convert_date_to_int");
    py::object day_bar_store = tmf::import_attr("tessel.data.base_data_source.storage_interface", "AbstractDayBarStore");
    py::object abc = tmf::import_attr("abc", "ABC");
    py::module_::import("vexdatac.fund");
    s.vexdatac = py::module_::import("vexdatac");
    s.start_date = py::str("20050104");
    s.end_date = py::str("29991231");
    s.datetime_index = tmf::import_attr("pandas", "DatetimeIndex");
    s.int64 = s.np.attr("int64");

    py::class_<BarValue>(m, "_BarValue", py::module_local())
        .def("__call__", [](const BarValue& v, py::object frame) { return evaluate(v, frame); }, py::arg("frame"))
        .def_property_readonly("kind", [](const BarValue& v) { return kind_name(v.kind); })
        .def_property_readonly("column",
                               [](const BarValue& v) -> py::object {
                                   if (v.column.empty()) return py::none();
                                   return py::str(v.column);
                               })
        .def("__repr__", [](const BarValue& v) {
            std::string r = std::string("<bar value ") + kind_name(v.kind);
            if (!v.column.empty()) r += " of '" + v.column + "'";
            return r + ">";
        });

    py::dict field_map = build_field_map();
    py::dict accrued_map = build_accrued_map(field_map);

    // --- BaseNavDayBars ---------------------------------------------------
    tmf::ClassBuilder base("BaseNavDayBars", m, py::make_tuple(day_bar_store, abc));
    base.doc("基金日线信息")
        .attr("FIELD_MAP", field_map)
        .attr("FIELD_MAP_ACCRUED_DAILY", accrued_map)
        .attr("START_DATE", s.start_date)
        .attr("END_DATE", s.end_date)
        .def(
            "__init__",
            [](py::object self, py::object fund_nav_type) {
                py::dict nav_types;
                nav_types["unit"] = "unit_net_value";
                nav_types["adjusted"] = "adjusted_net_value";
                bool known = false;
                try {
                    known = nav_types.contains(fund_nav_type);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_TypeError)) throw;  // unhashable: simply not a known type
                }
                if (!known) {
                    tmf::raise_with(
                        PyExc_ValueError,
                        tmf::format("mod fund 参数fund_nav_type输入错误({}),请输入:unit (单位净值) / adjusted (复权净值)",
                                    fund_nav_type));
                }
                self.attr("_nav_type") = nav_types[fund_nav_type];
            },
            py::arg("self"), py::arg("fund_nav_type"))
        .def(
            "_get_nav", [](py::object, py::object) -> py::object { tmf::raise_not_implemented(); },
            py::arg("self"), py::arg("order_book_id"));
    base.attr("get_bars", tmf::lru_method("get_bars", "order_book_id", 2048, &get_bars_impl));
    py::object base_cls = base.build();
    m.attr("BaseNavDayBars") = base_cls;

    // --- VexdataNavDayBars ------------------------------------------------
    tmf::ClassBuilder vex("VexdataNavDayBars", m, base_cls);
    vex.doc("基金日线信息 vexdata 版本")
        .def(
            "__init__",
            [base_cls](py::object self, py::object fund_nav_type, py::object investor) {
                tmf::call_base(base_cls, "__init__", self, fund_nav_type);
                bool known = false;
                if (PyUnicode_Check(investor.ptr())) {
                    known = text_is(investor.ptr(), "institution") || text_is(investor.ptr(), "retail");
                }
                if (!known) {
                    tmf::raise_with(PyExc_ValueError,
                                    tmf::format("investor(投资者身份)可选为institution(机构)/retail(个人)，当前为{}", investor));
                }
                self.attr("investor") = investor;
            },
            py::arg("self"), py::arg("fund_nav_type"), py::arg("investor") = "institution")
        .def("_get_nav", &get_nav_impl, py::arg("self"), py::arg("order_book_id"));
    vex.attr("_get_transaction_status", tmf::lru_method("_get_transaction_status", "order_book_id", 1024,
                                                        &get_transaction_status_impl));
    vex.def(
        "get_date_range",
        [](py::object self, py::object order_book_id) {
            py::object index = self.attr("_get_nav")(order_book_id).attr("index");
            // An IndexError either way; this one says which fund and why.
            if (py::len(index) == 0) {
                tmf::raise_with(PyExc_IndexError,
                                tmf::format("fund {} has no date with both NAV and status: no date range",
                                            order_book_id));
            }
            const Shared& sh = shared();
            return py::make_tuple(sh.convert_date_to_int(index[py::int_(0)]),
                                  sh.convert_date_to_int(index[py::int_(-1)]));
        },
        py::arg("self"), py::arg("order_book_id"));
    py::object vex_cls = vex.build();
    py::object own_get_nav = vex_cls.attr("__dict__")[py::str("_get_nav")];
    if (!PyInstanceMethod_Check(own_get_nav.ptr())) throw std::runtime_error("_get_nav is not a method descriptor");
    s.own_get_nav = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(own_get_nav.ptr()));
    m.attr("VexdataNavDayBars") = vex_cls;

    m.attr("FIELD_MAP") = field_map;
    m.attr("FIELD_MAP_ACCRUED_DAILY") = accrued_map;
    m.attr("START_DATE") = s.start_date;
    m.attr("END_DATE") = s.end_date;
}
