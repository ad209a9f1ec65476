// tessel_mod_fund.data.payout_history: cash dividends of public funds.
//
// The dividend history of every fund is fetched in one request when the
// store is built and reshaped into the host's dividend record layout; the
// per-fund record arrays are cut from it on first use and cached.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "tmf/errors.hpp"
#include "tmf/frames.hpp"
#include "tmf/host_class.hpp"
#include "tmf/lru.hpp"
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

// Moves each record's book-closure date to the trading day before the one
// the host's calendar gives for it (n = -1), in the returned array only.
void shift_book_closure_dates(py::array& records, py::handle data_proxy) {
    py::object next_trading_date = data_proxy.attr("get_next_trading_date");
    const py::ssize_t n = records.shape(0);
    tmf::RecordField field(records, "book_closure_date");
    const bool native = field.holds<std::int64_t>();
    for (py::ssize_t i = 0; i < n; ++i) {
        py::object date = native ? py::object(py::int_(field.get<std::int64_t>(i)))
                                 : py::object(records[py::int_(i)][py::int_(0)]);
        py::object shifted = next_trading_date(py::str(date), py::arg("n") = -1);
        py::object text = shifted.attr("strftime")("%Y%m%d");
        py::object as_int = tmf::steal(PyNumber_Long(text.ptr()));  // int(text)
        if (native) field.set<std::int64_t>(i, as_int.cast<std::int64_t>());
        else records[py::int_(i)][py::int_(0)] = as_int;
    }
}

py::object get_dividend_impl(py::object self, py::object order_book_id) {
    py::object df = self.attr("dividend_df");
    if (df.is_none()) return py::none();
    py::object mask = df.attr("index").attr("__eq__")(order_book_id);
    py::object ret = df[mask].attr("to_records")(py::arg("index") = false);
    // A plain-ndarray view of the record array shares its memory, so the
    // writes land in the np.recarray that is returned.
    py::array view = ret;
    shift_book_closure_dates(view, self.attr("_env").attr("data_proxy"));
    return ret;
}

}  // namespace

PYBIND11_MODULE(payout_history, m) {
    m.doc() = "Cash dividends of public funds in the host's dividend record layout.";
    tmf::LruFunction::bind(m);
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
