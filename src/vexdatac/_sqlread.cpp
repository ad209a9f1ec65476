// Native reading of read queries into arrays and rows.
//
// `Reader.numbers` steps through a query and writes its values straight into
// one float64 array, rows x columns, NULL as NaN: what numpy makes of the
// rows Python's sqlite3 module fetches, without a Python object per value.
// It answers None for anything else (a text or blob value, a parameter that
// is not a text, an int, a float or None, a count of parameters other
// than the query's, an SQLite error), and the caller
// then asks Python's sqlite3 module, which answers or words the problem.
//
// Columns named as day columns hold ISO dates: a text that is exactly the
// YYYY-MM-DD form of a real date reads as its day count since 1970-01-01,
// anything else (another text, a number, NULL) as NaN, which is what
// `CASE WHEN date(julianday(c)) IS c THEN julianday(c) - 2440587.5 END`
// gives, without SQLite's date functions for every row.
//
// `Reader.columns` reads a per-fund table (one date column, numbers, texts
// from a short list) straight into the arrays a frame is made of: the dates
// as datetime64 ticks, the numbers as one block with a row per column, the
// texts as their positions in the list.  It answers None as soon as a value
// is not exactly one it can represent (a date that is not a canonical ISO
// day in the range every datetime resolution holds, dates out of ascending
// order, another text, a number where a text belongs ...): the caller then
// reads the rows as texts and numbers and decides as that reading does.
//
// `Reader.rows` is `execute(sql, params).fetchall()` of Python's module for
// the values it converts the same way (integers, floats, UTF-8 texts, blobs,
// NULL), None otherwise.
//
// Statements are prepared once per query text and kept (a few); every use
// ends with the statement reset, so no read stays open between calls.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tmf/sqlite_api.hpp"

namespace py = pybind11;
namespace sq = tmf::sqlite;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool leap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a proleptic Gregorian date.
long days_from_civil(long y, long m, long d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The day count of an exact YYYY-MM-DD text, NaN for any other text.
double iso_day(const unsigned char* t, int n) {
    if (t == nullptr || n != 10 || t[4] != '-' || t[7] != '-') return kNaN;
    long v[3] = {0, 0, 0};
    const int start[3] = {0, 5, 8}, len[3] = {4, 2, 2};
    for (int f = 0; f < 3; ++f) {
        for (int i = start[f]; i < start[f] + len[f]; ++i) {
            if (t[i] < '0' || t[i] > '9') return kNaN;
            v[f] = v[f] * 10 + (t[i] - '0');
        }
    }
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (v[1] < 1 || v[1] > 12 || v[2] < 1) return kNaN;
    if (v[2] > month_days[v[1] - 1] + (v[1] == 2 && leap(v[0]) ? 1 : 0)) return kNaN;
    return static_cast<double>(days_from_civil(v[0], v[1], v[2]));
}

// The day count of an exact YYYY-MM-DD text as an integer; false for any
// other text.
bool iso_day_int(const unsigned char* t, int n, long& day) {
    const double d = iso_day(t, n);
    if (std::isnan(d)) return false;
    day = static_cast<long>(d);
    return true;
}

// 1677-09-22 to 2262-04-10: the days every datetime64 resolution holds.
constexpr long kFirstDay = -106751;
constexpr long kLastDay = 106750;

class Reader {
public:
    // `uri`: a file: URI; the database is opened read-only.
    explicit Reader(const std::string& uri) : a_(sq::api()) {
        if (!a_.ok) throw py::import_error("the SQLite library could not be found");
        if (a_.open_v2(uri.c_str(), &db_, sq::OPEN_READONLY | sq::OPEN_URI | sq::OPEN_NOMUTEX, nullptr) != sq::OK) {
            close();
            throw py::value_error("cannot open " + uri + " for reading");
        }
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { close(); }

    // A statement still being read (close called by a finalizer during a
    // read) is finalized when that read ends, and the database closed then.
    void close() {
        closing_ = true;
        for (std::size_t k = statements_.size(); k-- > 0;) {
            if (statements_[k].busy) continue;
            a_.finalize(statements_[k].stmt);
            statements_.erase(statements_.begin() + static_cast<std::ptrdiff_t>(k));
        }
        if (statements_.empty() && db_ != nullptr) {
            a_.close(db_);
            db_ = nullptr;
        }
    }

    py::object numbers(const std::string& sql, const py::tuple& params, const std::vector<int>& day_columns) {
        Use use(*this, sql, params);
        if (!use) return py::none();
        sq::sqlite3_stmt* stmt = use.stmt;
        const int ncols = a_.column_count(stmt);
        std::vector<char> is_day(static_cast<std::size_t>(ncols), 0);
        for (int c : day_columns) {
            if (c < 0 || c >= ncols) throw py::index_error("day column " + std::to_string(c) + " is not in the query");
            is_day[static_cast<std::size_t>(c)] = 1;
        }
        std::vector<double> values;
        std::size_t rows = 0;
        for (;;) {
            const int rc = a_.step(stmt);
            if (rc == sq::DONE) break;
            if (rc != sq::ROW) return py::none();
            for (int c = 0; c < ncols; ++c) {
                const int type = a_.column_type(stmt, c);
                if (is_day[static_cast<std::size_t>(c)]) {
                    double day = kNaN;
                    if (type == sq::TEXT) {
                        const unsigned char* text = a_.column_text(stmt, c);  // the text first, then its size
                        day = iso_day(text, a_.column_bytes(stmt, c));
                    }
                    values.push_back(day);
                } else if (type == sq::INTEGER || type == sq::FLOAT) {
                    values.push_back(a_.column_double(stmt, c));
                } else if (type == sq::NULL_VALUE) {
                    values.push_back(kNaN);
                } else {
                    return py::none();  // a text or a blob: numpy's conversion decides
                }
            }
            ++rows;
        }
        py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(ncols)});
        if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(double));
        return out;
    }

    // kinds: one letter per column of the query: 'd' the (single) date
    // column, 'f' a number (NULL: NaN), 'c' a text out of `texts`.
    py::object columns(const std::string& sql, const py::tuple& params, const std::string& kinds,
                       std::int64_t ticks_per_day, const std::vector<std::string>& texts) {
        Use use(*this, sql, params);
        if (!use) return py::none();
        sq::sqlite3_stmt* stmt = use.stmt;
        const int ncols = a_.column_count(stmt);
        if (static_cast<std::size_t>(ncols) != kinds.size()) {
            throw py::value_error("columns: " + std::to_string(kinds.size()) + " kinds for " + std::to_string(ncols) +
                                  " columns");
        }
        if (texts.size() > 255) throw py::value_error("columns: at most 255 texts");
        int day_column = -1;
        std::vector<int> slot(static_cast<std::size_t>(ncols), 0);  // position among the columns of its kind
        std::size_t nfloat = 0, ncode = 0;
        for (int c = 0; c < ncols; ++c) {
            const char k = kinds[static_cast<std::size_t>(c)];
            if (k == 'd') {
                if (day_column >= 0) throw py::value_error("columns: more than one date column");
                day_column = c;
            } else if (k == 'f') {
                slot[static_cast<std::size_t>(c)] = static_cast<int>(nfloat++);
            } else if (k == 'c') {
                slot[static_cast<std::size_t>(c)] = static_cast<int>(ncode++);
            } else {
                throw py::value_error(std::string("columns: unknown kind '") + k + "'");
            }
        }
        std::vector<std::int64_t> ticks;
        std::vector<std::vector<double>> floats(nfloat);
        std::vector<std::vector<std::uint8_t>> codes(ncode);
        constexpr std::size_t kGuess = 4096;
        if (day_column >= 0) ticks.reserve(kGuess);
        for (auto& f : floats) f.reserve(kGuess);
        for (auto& k : codes) k.reserve(kGuess);
        long last_day = kFirstDay - 1;
        for (;;) {
            const int rc = a_.step(stmt);
            if (rc == sq::DONE) break;
            if (rc != sq::ROW) return py::none();
            for (int c = 0; c < ncols; ++c) {
                sq::sqlite3_value* value = a_.column_value(stmt, c);  // the connection is this thread's alone
                const int type = a_.value_type(value);
                switch (kinds[static_cast<std::size_t>(c)]) {
                    case 'd': {
                        if (type != sq::TEXT) return py::none();
                        const unsigned char* text = a_.value_text(value);  // the text first, then its size
                        long day = 0;
                        if (!iso_day_int(text, a_.value_bytes(value), day)) return py::none();
                        if (day <= last_day || day > kLastDay) return py::none();
                        last_day = day;
                        ticks.push_back(static_cast<std::int64_t>(day) * ticks_per_day);
                        break;
                    }
                    case 'f': {
                        auto& out = floats[static_cast<std::size_t>(slot[static_cast<std::size_t>(c)])];
                        if (type == sq::FLOAT || type == sq::INTEGER) {
                            out.push_back(a_.value_double(value));
                        } else if (type == sq::NULL_VALUE) {
                            out.push_back(kNaN);
                        } else {
                            return py::none();
                        }
                        break;
                    }
                    default: {  // 'c'
                        if (type != sq::TEXT) return py::none();
                        const char* text = reinterpret_cast<const char*>(a_.value_text(value));
                        const auto size = static_cast<std::size_t>(a_.value_bytes(value));
                        std::size_t k = 0;
                        while (k < texts.size() &&
                               (texts[k].size() != size || std::memcmp(texts[k].data(), text, size) != 0)) {
                            ++k;
                        }
                        if (k == texts.size()) return py::none();
                        codes[static_cast<std::size_t>(slot[static_cast<std::size_t>(c)])].push_back(
                            static_cast<std::uint8_t>(k));
                        break;
                    }
                }
            }
        }
        const std::size_t rows = day_column >= 0 ? ticks.size()
                                 : nfloat      ? floats[0].size()
                                 : ncode       ? codes[0].size()
                                               : 0;
        const auto n = static_cast<py::ssize_t>(rows);
        py::object day_array = py::none();
        if (day_column >= 0) {
            py::array_t<std::int64_t> out(n);
            if (rows) std::memcpy(out.mutable_data(), ticks.data(), rows * sizeof(std::int64_t));
            day_array = std::move(out);
        }
        py::array_t<double> block({static_cast<py::ssize_t>(nfloat), n});
        for (std::size_t f = 0; f < nfloat; ++f) {
            if (rows) std::memcpy(block.mutable_data(static_cast<py::ssize_t>(f), 0), floats[f].data(), rows * sizeof(double));
        }
        py::array_t<std::uint8_t> code_block({static_cast<py::ssize_t>(ncode), n});
        for (std::size_t k = 0; k < ncode; ++k) {
            if (rows) std::memcpy(code_block.mutable_data(static_cast<py::ssize_t>(k), 0), codes[k].data(), rows);
        }
        return py::make_tuple(day_array, block, code_block);
    }

    py::object rows(const std::string& sql, const py::tuple& params) {
        Use use(*this, sql, params);
        if (!use) return py::none();
        sq::sqlite3_stmt* stmt = use.stmt;
        const int ncols = a_.column_count(stmt);
        py::list out;
        for (;;) {
            const int rc = a_.step(stmt);
            if (rc == sq::DONE) break;
            if (rc != sq::ROW) return py::none();
            py::tuple row(ncols);
            for (int c = 0; c < ncols; ++c) {
                PyObject* value = nullptr;
                switch (a_.column_type(stmt, c)) {
                    case sq::INTEGER: value = PyLong_FromLongLong(a_.column_int64(stmt, c)); break;
                    case sq::FLOAT: value = PyFloat_FromDouble(a_.column_double(stmt, c)); break;
                    case sq::TEXT: {
                        const char* text = reinterpret_cast<const char*>(a_.column_text(stmt, c));
                        value = PyUnicode_DecodeUTF8(text, a_.column_bytes(stmt, c), nullptr);
                        break;
                    }
                    case sq::BLOB: {
                        const void* blob = a_.column_blob(stmt, c);
                        value = PyBytes_FromStringAndSize(static_cast<const char*>(blob), a_.column_bytes(stmt, c));
                        break;
                    }
                    default: value = Py_NewRef(Py_None);
                }
                if (value == nullptr) {
                    PyErr_Clear();  // not UTF-8: Python's module words that
                    return py::none();
                }
                PyTuple_SET_ITEM(row.ptr(), c, value);
            }
            out.append(std::move(row));
        }
        return out;
    }

private:
    // A query's statement with the parameters bound, reset when the use
    // ends; false when the query or its parameters are not ones to answer
    // here.  The statement is a kept one unless that one is in use already
    // (a finalizer run while Python objects are made may read as well).
    struct Use {
        Reader& r;
        sq::sqlite3_stmt* stmt = nullptr;
        bool kept = false;
        Use(Reader& reader, const std::string& sql, const py::tuple& params) : r(reader) {
            if (r.db_ == nullptr || r.closing_) throw py::value_error("the reader is closed");
            stmt = r.prepared(sql, kept);
            if (stmt == nullptr) return;
            // Too few or too many values: Python's module says which.
            bool bound = static_cast<std::size_t>(r.a_.bind_parameter_count(stmt)) == params.size();
            for (std::size_t k = 0; bound && k < params.size(); ++k) {
                bound = r.bind(stmt, static_cast<int>(k) + 1, params[k]);
            }
            if (!bound) release();
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use() { release(); }
        explicit operator bool() const { return stmt != nullptr; }
        void release() {
            if (stmt == nullptr) return;
            if (kept) {
                r.a_.reset(stmt);
                r.a_.clear_bindings(stmt);
                for (auto& entry : r.statements_) {
                    if (entry.stmt == stmt) entry.busy = false;
                }
                if (r.closing_) r.close();
            } else {
                r.a_.finalize(stmt);
            }
            stmt = nullptr;
        }
    };

    struct Kept {
        std::string sql;
        sq::sqlite3_stmt* stmt;
        bool busy;
    };

    // The statement of `sql`: the kept one, prepared on its first use, or a
    // new one of the caller's own while the kept one is busy (`kept` says
    // which); nullptr when SQLite does not take the query.
    sq::sqlite3_stmt* prepared(const std::string& sql, bool& kept) {
        kept = false;
        for (std::size_t k = 0; k < statements_.size(); ++k) {
            if (statements_[k].sql != sql) continue;
            if (statements_[k].busy) break;
            if (k > 0) std::swap(statements_[k], statements_[k - 1]);  // the busy ones move to the front
            Kept& entry = statements_[k > 0 ? k - 1 : 0];
            entry.busy = kept = true;
            return entry.stmt;
        }
        sq::sqlite3_stmt* stmt = nullptr;
        if (a_.prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != sq::OK || stmt == nullptr) {
            if (stmt != nullptr) a_.finalize(stmt);
            return nullptr;
        }
        for (const Kept& entry : statements_) {
            if (entry.sql == sql) return stmt;  // the kept one is busy: this one is the caller's
        }
        constexpr std::size_t kKept = 16;
        if (statements_.size() == kKept) {
            for (std::size_t k = statements_.size(); k-- > 0;) {
                if (!statements_[k].busy) {
                    a_.finalize(statements_[k].stmt);
                    statements_.erase(statements_.begin() + static_cast<std::ptrdiff_t>(k));
                    break;
                }
            }
            if (statements_.size() == kKept) return stmt;  // all busy: not kept
        }
        statements_.push_back(Kept{sql, stmt, true});
        kept = true;
        return stmt;
    }

    bool bind(sq::sqlite3_stmt* stmt, int k, py::handle value) {
        PyObject* v = value.ptr();
        if (v == Py_None) return a_.bind_null(stmt, k) == sq::OK;
        if (PyUnicode_CheckExact(v)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(v, &size);
            if (text == nullptr) {
                PyErr_Clear();  // lone surrogates: Python's module words that
                return false;
            }
            return a_.bind_text(stmt, k, text, static_cast<int>(size), sq::transient()) == sq::OK;
        }
        if (PyFloat_CheckExact(v)) return a_.bind_double(stmt, k, PyFloat_AS_DOUBLE(v)) == sq::OK;
        if (PyLong_CheckExact(v)) {
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
            return a_.bind_int64(stmt, k, static_cast<std::int64_t>(n)) == sq::OK;
        }
        return false;
    }

    const sq::Api& a_;
    sq::sqlite3* db_ = nullptr;
    std::vector<Kept> statements_;
    bool closing_ = false;
};

}  // namespace

PYBIND11_MODULE(_sqlread, m) {
    m.doc() = "Native reading of query results into arrays and rows.";
    m.def("available", [] { return sq::api().ok; }, "Whether the SQLite library could be found.");
    py::class_<Reader>(m, "Reader")
        .def(py::init<const std::string&>(), py::arg("uri"))
        .def("numbers", &Reader::numbers, py::arg("sql"), py::arg("params"),
             py::arg("day_columns") = std::vector<int>{},
             "The rows as a float64 array (rows x columns, NULL as NaN; day columns as day counts), or None "
             "when a value or a "
             "parameter is not a number (or text, for parameters) or SQLite reports an error.")
        .def("columns", &Reader::columns, py::arg("sql"), py::arg("params"), py::arg("kinds"),
             py::arg("ticks_per_day"), py::arg("texts") = std::vector<std::string>{},
             "(dates as int64 ticks or None, float block columns x rows, text codes columns x rows) of a query "
             "whose columns are of the given kinds ('d' date, 'f' number, 'c' text out of `texts`), or None "
             "when a value is not exactly one of its kind (see the module's description).")
        .def("rows", &Reader::rows, py::arg("sql"), py::arg("params"),
             "The rows as tuples, as Python's sqlite3 module fetches them, or None when a value or a parameter is "
             "not one converted here the same way or SQLite reports an error.")
        .def("close", &Reader::close);
}
