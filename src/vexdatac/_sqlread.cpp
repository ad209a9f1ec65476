// Native reading of read queries whose values are all numbers.
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
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
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

    void close() {
        if (db_ != nullptr) a_.close(db_);
        db_ = nullptr;
    }

    py::object numbers(const std::string& sql, const py::tuple& params, const std::vector<int>& day_columns) {
        if (db_ == nullptr) throw py::value_error("the reader is closed");
        sq::Statement st(a_);
        if (a_.prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st.stmt, nullptr) != sq::OK ||
            st.stmt == nullptr)
            return py::none();
        // Too few or too many values: Python's module says which.
        if (static_cast<std::size_t>(a_.bind_parameter_count(st.stmt)) != params.size()) return py::none();
        for (std::size_t k = 0; k < params.size(); ++k) {
            if (!bind(st.stmt, static_cast<int>(k) + 1, params[k])) return py::none();
        }
        const int ncols = a_.column_count(st.stmt);
        std::vector<char> is_day(static_cast<std::size_t>(ncols), 0);
        for (int c : day_columns) {
            if (c < 0 || c >= ncols) throw py::index_error("day column " + std::to_string(c) + " is not in the query");
            is_day[static_cast<std::size_t>(c)] = 1;
        }
        std::vector<double> values;
        std::size_t rows = 0;
        for (;;) {
            const int rc = a_.step(st.stmt);
            if (rc == sq::DONE) break;
            if (rc != sq::ROW) return py::none();
            for (int c = 0; c < ncols; ++c) {
                const int type = a_.column_type(st.stmt, c);
                if (is_day[static_cast<std::size_t>(c)]) {
                    double day = kNaN;
                    if (type == sq::TEXT) {
                        const unsigned char* text = a_.column_text(st.stmt, c);  // the text first, then its size
                        day = iso_day(text, a_.column_bytes(st.stmt, c));
                    }
                    values.push_back(day);
                } else if (type == sq::INTEGER || type == sq::FLOAT) {
                    values.push_back(a_.column_double(st.stmt, c));
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

private:
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
};

}  // namespace

PYBIND11_MODULE(_sqlread, m) {
    m.doc() = "Native reading of all-number query results into float arrays.";
    m.def("available", [] { return sq::api().ok; }, "Whether the SQLite library could be found.");
    py::class_<Reader>(m, "Reader")
        .def(py::init<const std::string&>(), py::arg("uri"))
        .def("numbers", &Reader::numbers, py::arg("sql"), py::arg("params"),
             py::arg("day_columns") = std::vector<int>{},
             "The rows as a float64 array (rows x columns, NULL as NaN; day columns as day counts), or None "
             "when a value or a "
             "parameter is not a number (or text, for parameters) or SQLite reports an error.")
        .def("close", &Reader::close);
}
