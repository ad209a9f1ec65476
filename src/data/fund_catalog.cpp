// tessel_mod_fund.data.fund_catalog: the catalogue of public funds as host
// instruments.
//
// The store fetches the whole catalogue with two requests when it is
// constructed and afterwards answers from two hash maps.  Instruments are
// built on demand, one per element the caller actually iterates, and are not
// kept: the raw service objects are the only state.
#include <pybind11/pybind11.h>

#include <utility>

#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"

namespace py = pybind11;

namespace {

// Names of the read-only entry properties of FundCatalogEntry, besides
// `type`.  Each returns the raw entry of the same name (None when the
// service did not supply it).
constexpr const char* kEntryProperties[] = {
    "accrued_daily",   "amc",      "amc_id",          "benchmark",  "establishment_date", "fund_manager",
    "fund_type",       "investment_scope", "issuer",  "latest_size", "min_investment",    "stop_date",
    "transition_time", "trustee",  "listed_date",     "de_listed_date",
};

struct Shared {
    py::object entry_cls;        // FundCatalogEntry
    py::object public_fund;      // INSTRUMENT_TYPE.PUBLIC_FUND
    py::object vexdatac;         // the client package
    py::object chain;            // itertools.chain
    py::object default_listed;   // datetime(1999, 1, 1)
    py::object default_delisted; // datetime(2999, 12, 31)
    // Interned names, made once.
    py::object dict_name = py::str("__dict__");
    py::object listed_date = py::str("listed_date");
    py::object de_listed_date = py::str("de_listed_date");
    py::object accrued_daily = py::str("accrued_daily");
    py::object accrued_type = py::str("accrued_type");
    py::object order_book_id = py::str("order_book_id");
    py::object symbol = py::str("symbol");
    py::object all_ins = py::str("_all_ins");
    py::object sym_id_map = py::str("_sym_id_map");
};

Shared& shared() {
    static Shared* s = new Shared();  // lives as long as the interpreter
    return *s;
}

py::object dict_entry(py::handle dict, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw py::error_already_set();
}

py::object attr(py::handle obj, const py::object& name) { return tmf::steal(PyObject_GetAttr(obj.ptr(), name.ptr())); }

// bool(getattr(obj, name, False)): only AttributeError counts as missing.
bool true_attribute(py::handle obj, const py::object& name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    py::object value = py::reinterpret_steal<py::object>(r);
    return tmf::truthy(value);
}

void set_item(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

// One FundCatalogEntry from a raw fund object of the data service.  The
// raw object is left untouched: the instrument gets a shallow copy of its
// attribute dictionary.
py::object build_instrument(py::handle raw) {
    const Shared& s = shared();
    py::object attrs = attr(raw, s.dict_name);
    py::object dic = tmf::steal(PyDict_Check(attrs.ptr()) ? PyDict_Copy(attrs.ptr())
                                                          : PyObject_CallOneArg((PyObject*)&PyDict_Type, attrs.ptr()));

    if (!tmf::truthy(dict_entry(dic, s.listed_date))) set_item(dic, s.listed_date, s.default_listed);
    if (!tmf::truthy(dict_entry(dic, s.de_listed_date))) set_item(dic, s.de_listed_date, s.default_delisted);

    // Money-market funds are flagged either way by the service.
    const bool accrued = true_attribute(raw, s.accrued_daily) || true_attribute(raw, s.accrued_type);
    set_item(dic, s.accrued_daily, accrued ? Py_True : Py_False);
    return tmf::steal(PyObject_CallOneArg(s.entry_cls.ptr(), dic.ptr()));
}

// d[key] when d is a dict (None when absent); other mappings through the
// mapping protocol, as `key in d` and `d[key]` would.
py::object lookup(py::handle map, py::handle key) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* v = PyDict_GetItemWithError(map.ptr(), key.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    int has = PySequence_Contains(map.ptr(), key.ptr());
    if (has < 0) throw py::error_already_set();
    if (!has) return py::object();
    return tmf::steal(PyObject_GetItem(map.ptr(), key.ptr()));
}

// The lazy sequence returned by get_instruments: nothing is resolved or
// built before the caller asks for the next element.
class InstrumentIterator {
public:
    // `source` is None (every fund, catalogue order) or an iterator over
    // ids/symbols.
    InstrumentIterator(py::object store, py::object source)
        : store_(std::move(store)), source_(std::move(source)) {}

    py::object next() {
        if (done_) throw py::stop_iteration();
        const Shared& s = shared();
        if (source_.is_none()) {
            if (!all_) all_ = py::iter(attr(store_, s.all_ins).attr("values")());
            return build_instrument(advance(all_));
        }
        // The maps are fixed once the store is built; they are read on the
        // first step and kept for the rest of the sequence.
        if (!all_ins_) {
            all_ins_ = attr(store_, s.all_ins);
            sym_map_ = attr(store_, s.sym_id_map);
        }
        while (true) {
            py::object element = advance(source_);
            // A symbol wins over an id of the same text.
            py::object candidate = lookup(sym_map_, element);
            if (!candidate) candidate = element;
            py::object raw = lookup(all_ins_, candidate);
            if (raw) return build_instrument(raw);
        }
    }

private:
    py::object advance(py::handle it) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item) return py::reinterpret_steal<py::object>(item);
        if (PyErr_Occurred()) throw py::error_already_set();
        done_ = true;
        throw py::stop_iteration();
    }

    py::object store_;
    py::object source_;
    py::object all_;
    py::object all_ins_;
    py::object sym_map_;
    bool done_ = false;
};

}  // namespace

PYBIND11_MODULE(fund_catalog, m) {
    m.doc() = "Catalogue of public funds: the instrument store and its instruments.";
    Shared& s = shared();
    py::object instrument = tmf::import_attr("tessel.model.instrument", "Instrument");
    py::object store_base =
        tmf::import_attr("tessel.data.base_data_source.storage_interface", "AbstractInstrumentStore");
    s.public_fund = tmf::import_attr("tessel.const", "INSTRUMENT_TYPE").attr("PUBLIC_FUND");
    py::module_::import("vexdatac.fund");
    s.vexdatac = py::module_::import("vexdatac");
    s.chain = tmf::import_attr("itertools", "chain");
    py::object datetime = tmf::import_attr("datetime", "datetime");
    s.default_listed = datetime(1999, 1, 1);
    s.default_delisted = datetime(2999, 12, 31);

    py::class_<InstrumentIterator>(m, "_InstrumentIterator", py::module_local())
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &InstrumentIterator::next);

    // --- FundCatalogEntry -------------------------------------------------
    tmf::ClassBuilder entry("FundCatalogEntry", m, instrument);
    entry.doc("A public fund as a host instrument; its type is always PUBLIC_FUND.");
    entry.def_property(
        "type", [](py::object) { return shared().public_fund; }, "INSTRUMENT_TYPE.PUBLIC_FUND, always.");
    for (const char* name : kEntryProperties) {
        py::str key(name);
        entry.def_property(name, [key](py::object self) -> py::object {
            py::object attrs = self.attr("__dict__");
            PyObject* v = PyDict_GetItemWithError(attrs.ptr(), key.ptr());
            if (v) return py::reinterpret_borrow<py::object>(v);
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::none();
        });
    }
    s.entry_cls = entry.build();
    m.attr("FundCatalogEntry") = s.entry_cls;

    // --- FundCatalogStore -------------------------------------------------
    tmf::ClassBuilder store("FundCatalogStore", m, store_base);
    store.doc("Instrument store of every public fund, loaded once from the fund data service.");
    store
        .def(
            "__init__",
            [](py::object self) {
                py::object fund = shared().vexdatac.attr("fund");
                py::object ids = fund.attr("all_instruments")()[py::str("order_book_id")];
                py::object raws = fund.attr("instruments")(ids);
                // A repeated id keeps the later object at the first position,
                // a shared symbol maps to the last fund carrying it.
                const Shared& sh = shared();
                py::dict all_ins;
                for (py::handle raw : raws) set_item(all_ins, attr(raw, sh.order_book_id), raw);
                py::dict sym_id_map;
                PyObject *key, *value;
                Py_ssize_t pos = 0;
                while (PyDict_Next(all_ins.ptr(), &pos, &key, &value)) {
                    set_item(sym_id_map, attr(value, sh.symbol), key);
                }
                // Both maps are installed only once both are complete.
                self.attr("_all_ins") = all_ins;
                self.attr("_sym_id_map") = sym_id_map;
            },
            py::arg("self"))
        .def_property(
            "instrument_type", [](py::object) { return shared().public_fund; }, "INSTRUMENT_TYPE.PUBLIC_FUND")
        .def_property(
            "all_id_and_syms",
            [](py::object self) {
                py::object sym_map = self.attr("_sym_id_map");
                return shared().chain(sym_map.attr("keys")(), sym_map.attr("values")());
            },
            "Every symbol, then every order book id (lazy, over the live maps).")
        .def(
            "get_instruments",
            [](py::object self, py::object id_or_syms) {
                py::object source = id_or_syms.is_none() ? py::object(py::none()) : py::object(py::iter(id_or_syms));
                return InstrumentIterator(self, source);
            },
            py::arg("self"), py::arg("id_or_syms"));
    m.attr("FundCatalogStore") = store.build();
}
