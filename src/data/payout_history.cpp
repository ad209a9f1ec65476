// tessel_mod_fund.data.payout_history: cash dividends of public funds.
//
// The dividend history of every fund is fetched in one request when the
// store is built and reshaped into the host's dividend record layout.  The
// table is cut by fund once, on the first request; each fund's record
// array is then gathered from its own rows and cached.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "tmf/errors.hpp"
#include "tmf/frames.hpp"
#include "tmf/host_class.hpp"
#include "tmf/lru.hpp"
#include "tmf/pyargs.hpp"
#include "tmf/record_fields.hpp"

namespace py = pybind11;

namespace {

struct Shared {
    py::object np;
    py::object pd;
    py::object environment;           // tessel.environment.Environment
    py::object convert_date_to_date_int;
    py::object vexdatac;              // the client package
};

Shared& shared() {
    static Shared* s = new Shared();
    return *s;
}

py::list make_data_type() {
    py::list dt;
    dt.append(py::make_tuple("book_closure_date", "<i8"));
    dt.append(py::make_tuple("announcement_date", "<i8"));
    dt.append(py::make_tuple("dividend_cash_before_tax", "<f8"));
    dt.append(py::make_tuple("ex_dividend_date", "<i8"));
    dt.append(py::make_tuple("payable_date", "<i8"));
    dt.append(py::make_tuple("round_lot", "<f8"));
    return dt;
}

void init_impl(py::object self) {
    const Shared& s = shared();
    py::object fund = s.vexdatac.attr("fund");
    py::object ins_df = fund.attr("all_instruments")();
    self.attr("_env") = s.environment.attr("get_instance")();
    py::object ids = ins_df[py::str("order_book_id")].attr("tolist")();
    py::object df = fund.attr("get_dividend")(ids);
    if (df.is_none()) {
        self.attr("dividend_df") = py::none();
        return;
    }
    py::object data_type = self.attr("DATA_TYPE");
    py::list names;
    for (py::handle pair : data_type) names.append(pair[py::int_(0)]);
    if (py::len(df) == 0) {
        // A table without rows says "no dividends" as well.  Its columns
        // need not be datetimes (the .dt accessor would fail and stop the
        // whole plug-in), so the table is laid out directly: every fund then
        // gets an empty record array, like a fund without rows in a table
        // that has some.
        py::dict columns;
        for (py::handle pair : data_type) columns[pair[py::int_(0)]] = s.np.attr("empty")(0, pair[py::int_(1)]);
        py::object no_ids = s.pd.attr("Index")(py::list(), py::arg("dtype") = py::dtype("O"),
                                               py::arg("name") = "order_book_id");
        self.attr("dividend_df") = s.pd.attr("DataFrame")(columns, py::arg("index") = no_ids);
        return;
    }
    // reset_index gives a new frame: the service's frame is not touched by
    // the column rewrites below.
    df = df.attr("reset_index")("ex_dividend_date");
    for (const char* column : {"ex_dividend_date", "book_closure_date", "payable_date"}) {
        tmf::set_column(df, column, s.convert_date_to_date_int(df[py::str(column)].attr("dt")));
    }
    tmf::set_column(df, "announcement_date", df[py::str("book_closure_date")]);
    tmf::set_column(df, "round_lot", py::float_(1.0));
    tmf::set_column(df, "dividend_cash_before_tax", df[py::str("dividend_before_tax")]);
    self.attr("dividend_df") = df[names];
}

// The eight-digit integer of a date the host returned: for a date object
// the fields are read directly (what strftime("%Y%m%d") spells for a year
// of four digits); anything else is formatted and parsed as text.
py::object date_int_of(py::handle shifted) {
    if (PyDate_Check(shifted.ptr())) {
        const int y = PyDateTime_GET_YEAR(shifted.ptr());
        if (y >= 1000 && y <= 9999) {
            const long long value = static_cast<long long>(y) * 10000 + PyDateTime_GET_MONTH(shifted.ptr()) * 100 +
                                    PyDateTime_GET_DAY(shifted.ptr());
            return tmf::steal(PyLong_FromLongLong(value));
        }
    }
    py::object text = shifted.attr("strftime")("%Y%m%d");
    return tmf::steal(PyNumber_Long(text.ptr()));  // int(text)
}

// Moves each record's book-closure date to the trading day before the one
// the host's calendar gives for it (n = -1), in the returned array only.
void shift_book_closure_dates(py::array& records, py::handle data_proxy) {
    py::object next_trading_date = data_proxy.attr("get_next_trading_date");
    const py::ssize_t n = records.shape(0);
    if (n == 0) return;
    tmf::RecordField field(records, "book_closure_date");
    const bool native = field.holds<std::int64_t>();
    py::dict kwargs;
    kwargs["n"] = py::int_(-1);
    for (py::ssize_t i = 0; i < n; ++i) {
        py::object date = native ? tmf::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(
                                                                              field.get<std::int64_t>(i))))
                                 : py::object(py::str(records[py::int_(i)][py::int_(0)]));
        py::tuple args = py::make_tuple(date);
        py::object shifted = tmf::steal(PyObject_Call(next_trading_date.ptr(), args.ptr(), kwargs.ptr()));
        py::object as_int = date_int_of(shifted);
        if (native) field.set<std::int64_t>(i, as_int.cast<std::int64_t>());
        else records[py::int_(i)][py::int_(0)] = as_int;
    }
}

// The dividend table cut by fund once: the row numbers of every fund, in
// table order, and the table's columns as plain arrays, from which a fund's
// records are gathered without scanning the other funds' rows.  Built on the
// first request for the table it was made from; a table it cannot serve
// exactly as the row mask would (a non-text fund id, a column whose values
// are Python objects ...) is left to the mask.
class FundRows {
public:
    explicit FundRows(py::object df) : df_(std::move(df)) {
        // The layout of the records, exactly as the table converts them.
        prototype_ = df_.attr("iloc")[py::slice(0, 0, 1)].attr("to_records")(py::arg("index") = false);
        py::object index = df_.attr("index");
        if (py::int_(index.attr("nlevels")).cast<int>() != 1) return;
        py::array fields_dtype_holder = prototype_;
        py::dtype record_dtype = fields_dtype_holder.dtype();
        itemsize_ = record_dtype.itemsize();
        py::object fields = record_dtype.attr("fields");
        for (py::handle name : record_dtype.attr("names")) {
            py::tuple info = fields[name].cast<py::tuple>();
            py::dtype field_dtype = info[0].cast<py::dtype>();
            if (field_dtype.kind() == 'O' || field_dtype.attr("hasobject").cast<bool>()) return;
            py::array column = shared().np.attr("ascontiguousarray")(
                df_[name].attr("to_numpy")(), py::arg("dtype") = field_dtype);
            if (column.ndim() != 1 || !column.dtype().equal(field_dtype)) return;
            columns_.push_back({column, info[1].cast<py::ssize_t>(), field_dtype.itemsize()});
        }
        py::array ids = shared().np.attr("ascontiguousarray")(index.attr("to_numpy")(py::arg("dtype") = py::dtype("O")));
        const py::ssize_t rows = py::len(df_);
        if (ids.ndim() != 1 || ids.shape(0) != rows) return;
        auto* const* id = static_cast<PyObject* const*>(ids.data());
        for (py::ssize_t i = 0; i < rows; ++i) {
            if (!PyUnicode_CheckExact(id[i])) return;  // equality beyond plain text is the mask's
            PyObject* slot = PyDict_GetItemWithError(slots_.ptr(), id[i]);
            if (!slot && PyErr_Occurred()) throw py::error_already_set();
            std::size_t k;
            if (slot) {
                k = PyLong_AsSize_t(slot);
            } else {
                k = rows_of_.size();
                rows_of_.emplace_back();
                py::object number = tmf::steal(PyLong_FromSize_t(k));
                if (PyDict_SetItem(slots_.ptr(), id[i], number.ptr()) != 0) throw py::error_already_set();
            }
            rows_of_[k].push_back(i);
        }
        usable_ = true;
    }

    bool serves(py::handle df) const { return df.ptr() == df_.ptr(); }

    // The fund's records (a new record array), or None when the mask must
    // answer.
    py::object records_of(py::handle order_book_id) const {
        if (!usable_ || !PyUnicode_CheckExact(order_book_id.ptr())) return py::none();
        static const std::vector<py::ssize_t> none_rows;
        PyObject* slot = PyDict_GetItemWithError(slots_.ptr(), order_book_id.ptr());
        if (!slot && PyErr_Occurred()) throw py::error_already_set();
        const std::vector<py::ssize_t>& rows = slot ? rows_of_[PyLong_AsSize_t(slot)] : none_rows;
        py::array proto = prototype_;
        py::array out(proto.dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows.size())});
        char* dst = static_cast<char*>(out.mutable_data());
        for (const Column& c : columns_) {
            const char* src = static_cast<const char*>(c.values.data());
            for (std::size_t r = 0; r < rows.size(); ++r) {
                std::memcpy(dst + static_cast<py::ssize_t>(r) * itemsize_ + c.offset, src + rows[r] * c.itemsize,
                            static_cast<std::size_t>(c.itemsize));
            }
        }
        return out.attr("view")(py::type::handle_of(prototype_));
    }

private:
    struct Column {
        py::array values;
        py::ssize_t offset;
        py::ssize_t itemsize;
    };
    py::object df_;
    py::object prototype_;
    py::dict slots_;  // fund id -> position in rows_of_
    std::vector<std::vector<py::ssize_t>> rows_of_;
    std::vector<Column> columns_;
    py::ssize_t itemsize_ = 0;
    bool usable_ = false;
};

py::object get_dividend_impl(py::object self, py::object order_book_id) {
    py::object df = self.attr("dividend_df");
    if (df.is_none()) return py::none();
    py::object holder = tmf::getattr_or(self, "_fund_rows", Py_None);
    if (holder.is_none() || !holder.cast<const FundRows&>().serves(df)) {
        holder = py::cast(FundRows(df));
        self.attr("_fund_rows") = holder;
    }
    py::object ret = holder.cast<const FundRows&>().records_of(order_book_id);
    if (ret.is_none()) {
        py::object mask = df.attr("index").attr("__eq__")(order_book_id);
        ret = df[mask].attr("to_records")(py::arg("index") = false);
    }
    // A plain-ndarray view of the record array shares its memory, so the
    // writes land in the np.recarray that is returned.
    py::array view = ret;
    shift_book_closure_dates(view, self.attr("_env").attr("data_proxy"));
    return ret;
}

}  // namespace

PYBIND11_MODULE(payout_history, m) {
    m.doc() = "Cash dividends of public funds in the host's dividend record layout.";
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    tmf::LruFunction::bind(m);
    py::class_<FundRows>(m, "_FundRows", py::module_local());
    Shared& s = shared();
    s.np = py::module_::import("numpy");
    s.pd = py::module_::import("pandas");
    py::object base = tmf::import_attr("tessel.data.base_data_source.storage_interface", "AbstractDividendStore");
    s.environment = tmf::import_attr("tessel.environment", "Environment");
    s.convert_date_to_date_int = tmf::import_attr("tessel.utils.datetime_func", "convert_date_to_date_int");
    py::module_::import("vexdatac.fund");
    s.vexdatac = py::module_::import("vexdatac");

    tmf::ClassBuilder cls("VexdataPayoutHistory", m, base);
    cls.doc("基金分红信息")
        .attr("DATA_TYPE", make_data_type())
        .def("__init__", &init_impl, py::arg("self"));
    cls.attr("get_dividend", tmf::lru_method("get_dividend", "order_book_id", 2048, &get_dividend_impl));
    m.attr("VexdataPayoutHistory") = cls.build();
}
