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
#include "tmf/fast_call.hpp"
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

// bool(getattr(obj, name, False)): only AttributeError counts as missing
// (looked up without raising it, as getattr with a default does).
bool true_attribute(py::handle obj, const py::object& name) {
    PyObject* r = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &r);
#else
    const int found = _PyObject_LookupAttr(obj.ptr(), name.ptr(), &r);
#endif
    if (found < 0) throw py::error_already_set();
    if (found == 0) return false;
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
// built before the caller asks for the next element.  A plain C iterator
// type, so that each step costs a slot call, not a bound-method dispatch.
struct InstrumentIterator {
    PyObject_HEAD
    PyObject* store;    // the FundCatalogStore
    PyObject* source;   // iterator over ids/symbols; nullptr: every fund, catalogue order
    PyObject* all;      // iterator over _all_ins values (every-fund mode)
    PyObject* all_ins;  // the maps, read on the first step (fixed once the store is built)
    PyObject* sym_map;
    bool done;
};

PyTypeObject* iterator_type = nullptr;

// The next element of `it`, or an empty object at its end.
py::object advance(InstrumentIterator* self, PyObject* it) {
    PyObject* item = PyIter_Next(it);
    if (item) return py::reinterpret_steal<py::object>(item);
    if (PyErr_Occurred()) throw py::error_already_set();
    self->done = true;
    return py::object();
}

py::object next_instrument(InstrumentIterator* self) {
    const Shared& s = shared();
    if (!self->source) {
        if (!self->all) {
            py::object values = attr(attr(self->store, s.all_ins), py::str("values"))();
            self->all = py::iter(values).release().ptr();
        }
        py::object raw = advance(self, self->all);
        return raw ? build_instrument(raw) : py::object();
    }
    if (!self->all_ins) {
        py::object all_ins = attr(self->store, s.all_ins);
        py::object sym_map = attr(self->store, s.sym_id_map);
        self->all_ins = all_ins.release().ptr();
        self->sym_map = sym_map.release().ptr();
    }
    while (true) {
        py::object element = advance(self, self->source);
        if (!element) return element;
        // A symbol wins over an id of the same text.
        py::object candidate = lookup(self->sym_map, element);
        if (!candidate) candidate = element;
        py::object raw = lookup(self->all_ins, candidate);
        if (raw) return build_instrument(raw);
    }
}

PyObject* iterator_next(PyObject* obj) {
    auto* self = reinterpret_cast<InstrumentIterator*>(obj);
    if (self->done) return nullptr;
    try {
        return next_instrument(self).release().ptr();  // nullptr at the end: StopIteration
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

void iterator_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<InstrumentIterator*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    Py_XDECREF(self->store);
    Py_XDECREF(self->source);
    Py_XDECREF(self->all);
    Py_XDECREF(self->all_ins);
    Py_XDECREF(self->sym_map);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {0, nullptr},
};

PyType_Spec iterator_layout = {
    "tessel_mod_fund.data.fund_catalog._InstrumentIterator",
    sizeof(InstrumentIterator),
    0,
    Py_TPFLAGS_DEFAULT,
    iterator_slots,
};

// `source` is None (every fund) or an iterable of ids/symbols.
py::object new_instrument_iterator(py::handle store, py::handle source) {
    py::object it;
    if (!source.is_none()) it = py::iter(source);  // not iterable: TypeError now, as before
    auto* self = PyObject_New(InstrumentIterator, iterator_type);
    if (!self) throw py::error_already_set();
    self->store = py::reinterpret_borrow<py::object>(store).release().ptr();
    self->source = it ? it.release().ptr() : nullptr;
    self->all = self->all_ins = self->sym_map = nullptr;
    self->done = false;
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

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

    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_layout));
    if (!iterator_type) throw py::error_already_set();
    m.attr("_InstrumentIterator") = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(iterator_type));

    // --- FundCatalogEntry -------------------------------------------------
    tmf::ClassBuilder entry("FundCatalogEntry", m, instrument);
    entry.doc("A public fund as a host instrument; its type is always PUBLIC_FUND.");
    // Read for every fund order (account, validators, matcher, strategy functions): a plain C getter.
    entry.attr("type", tmf::property_of(tmf::fast_getter(
                                            "type", "type(self: object) -> object\n",
                                            [](py::handle) -> py::object { return shared().public_fund; }, m),
                                        "INSTRUMENT_TYPE.PUBLIC_FUND, always."));
    // Every fund's flags are read by positions every day: plain C getters.
    for (const char* name : kEntryProperties) {
        py::str key(name);
        entry.attr(name, tmf::property_of(tmf::fast_getter(
                             name, nullptr,
                             [](py::handle self, py::handle k) -> py::object {
                                 // The entry of the instance's attribute dictionary, else None.
                                 PyObject** slot = _PyObject_GetDictPtr(self.ptr());
                                 py::object attrs = slot && *slot && PyDict_Check(*slot)
                                                        ? py::reinterpret_borrow<py::object>(*slot)
                                                        : py::object(self.attr("__dict__"));
                                 PyObject* v = PyDict_GetItemWithError(attrs.ptr(), k.ptr());
                                 if (v) return py::reinterpret_borrow<py::object>(v);
                                 if (PyErr_Occurred()) throw py::error_already_set();
                                 return py::none();
                             },
                             key, m)));
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
            [](py::object self, py::object id_or_syms) { return new_instrument_iterator(self, id_or_syms); },
            py::arg("self"), py::arg("id_or_syms"));
    m.attr("FundCatalogStore") = store.build();
}
