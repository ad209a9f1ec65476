// tessel_mod_fund.data.unit_splits: unit splits (and merges) of public funds.
//
// Asked lazily, one fund at a time; every answer is kept for the process,
// including "no splits" (None), so the service is asked once per fund.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/lru.hpp"
#include "tmf/pyargs.hpp"
#include "tmf/record_fields.hpp"

namespace py = pybind11;

namespace {

struct Shared {
    py::object np;
    py::object convert_date_to_int;
    py::object vexdatac;  // the client package
};

Shared& shared() {
    static Shared* s = new Shared();
    return *s;
}

py::object get_factors_impl(py::object self, py::object order_book_id) {
    const Shared& s = shared();
    py::object df = s.vexdatac.attr("fund").attr("get_split")(order_book_id);
    if (df.is_none() || tmf::truthy(df.attr("empty"))) return py::none();
    df = df.attr("reset_index")();

    const py::ssize_t rows = py::len(df);
    py::array factors = s.np.attr("empty")(rows, self.attr("DATA_TYPE"));
    tmf::RecordField ex_date(factors, "ex_date");
    tmf::RecordField split_factor(factors, "split_factor");

    // The host's own conversion, so that ex_date compares equal to the
    // host's integer form of the same trading day; one call for the column.
    auto dates = tmf::as_contiguous<std::int64_t>(s.convert_date_to_int(df[py::str("ex_dividend_date")]));
    auto ratios = tmf::as_contiguous<double>(df[py::str("split_ratio")].attr("to_numpy")());
    if (dates.size() != rows || ratios.size() != rows) {
        tmf::raise_with(PyExc_RuntimeError, py::str("split table: converted columns do not match the number of rows"));
    }
    ex_date.copy_from<std::int64_t>(dates.data());
    split_factor.copy_from<double>(ratios.data());
    return factors;
}

}  // namespace

PYBIND11_MODULE(unit_splits, m) {
    m.doc() = "Unit split factors of public funds.";
    tmf::LruFunction::bind(m);
    Shared& s = shared();
    s.np = py::module_::import("numpy");
    py::object base = tmf::import_attr("tessel.data.base_data_source.storage_interface", "AbstractSimpleFactorStore");
    s.convert_date_to_int = tmf::import_attr("tessel.utils.datetime_func", "convert_date_to_int");
    py::module_::import("vexdatac.fund");
    s.vexdatac = py::module_::import("vexdatac");

    py::list pairs;
    pairs.append(py::make_tuple("ex_date", "<i8"));
    pairs.append(py::make_tuple("split_factor", "<f8"));

    tmf::ClassBuilder cls("VexdataUnitSplits", m, base);
    cls.doc("基金拆分信息").attr("DATA_TYPE", s.np.attr("dtype")(pairs));
    cls.attr("get_factors", tmf::lru_method("get_factors", "order_book_id", 0, &get_factors_impl));
    m.attr("VexdataUnitSplits") = cls.build();
}
