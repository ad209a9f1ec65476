// Native reading of read queries whose values are all numbers.
//
// `Reader.numbers` steps through a query and writes its values straight into
// one float64 array, rows x columns, NULL as NaN: what numpy makes of the
// rows Python's sqlite3 module fetches, without a Python object per value.
// It answers None for anything else (a text or blob value, a parameter that
// is not a text, an int, a float or None, a count of parameters other
// than the query's, an SQLite error), and the caller
// then asks Python's sqlite3 module, which answers or words the problem.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tmf/sqlite_api.hpp"

namespace py = pybind11;
namespace sq = tmf::sqlite;

namespace {

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

    py::object numbers(const std::string& sql, const py::tuple& params) {
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
        std::vector<double> values;
        std::size_t rows = 0;
        for (;;) {
            const int rc = a_.step(st.stmt);
            if (rc == sq::DONE) break;
            if (rc != sq::ROW) return py::none();
            for (int c = 0; c < ncols; ++c) {
                const int type = a_.column_type(st.stmt, c);
                if (type == sq::INTEGER || type == sq::FLOAT) {
                    values.push_back(a_.column_double(st.stmt, c));
                } else if (type == sq::NULL_VALUE) {
                    values.push_back(std::numeric_limits<double>::quiet_NaN());
                } else {
                    return py::none();  // a text or a blob: numpy's conversion decides
                }
            }
            ++rows;
        }
        py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(ncols)});
        if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(double));
        return std::move(out);
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
             "The rows as a float64 array (rows x columns, NULL as NaN), or None when a value or a "
             "parameter is not a number (or text, for parameters) or SQLite reports an error.")
        .def("close", &Reader::close);
}
