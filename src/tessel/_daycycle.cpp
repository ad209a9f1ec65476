// tessel._daycycle: the engine's per-holding daily cycle in C.
//
// Every trading day the engine asks each held position to start the day, to
// take the day's price, to settle, and writes it down; each position asks the
// data proxy for its corporate actions and the previous trading day.  These
// calls happen positions x days times, and as Python functions their frames
// cost more than their work.  The functions here do the same work in C:
//
//   * methods installed on the engine's own classes (Position, StockPosition,
//     Account, DataProxy, Environment) in place of their Python definitions,
//     as real method descriptors and data descriptors of those classes, so a
//     subclass that overrides one still wins and `Base.method(self, ...)`
//     still works;
//   * `record_positions` and `apply_closes`, the per-position loops of the
//     daily record and of the day's prices.
//
// Each native method answers the common case itself and hands any other call
// (keywords, an unusual argument, a cache that is not filled yet, a subclass
// that changed what the fast path relies on) to the Python definition it
// replaced, which stays the reference: the install functions return those
// definitions, and the tests run both on the same random inputs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <datetime.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tmf/attrs.hpp"
#include "tmf/calls.hpp"
#include "tmf/errors.hpp"
#include "tmf/fast_call.hpp"

namespace py = pybind11;

namespace {

using tmf::steal;

using tmf::intern;

struct Names {
    PyObject* last_price_ = intern("_last_price");
    PyObject* prev_close_ = intern("_prev_close");
    PyObject* avg_price_ = intern("_avg_price");
    PyObject* quantity_ = intern("_quantity");
    PyObject* old_quantity_ = intern("_old_quantity");
    PyObject* logical_old_quantity_ = intern("_logical_old_quantity");
    PyObject* trade_cost_ = intern("_trade_cost");
    PyObject* transaction_cost_ = intern("_transaction_cost");
    PyObject* dividend_receivable_ = intern("_dividend_receivable");
    PyObject* last_price = intern("last_price");
    PyObject* dividend_receivable = intern("dividend_receivable");
    PyObject* market_value = intern("market_value");
    PyObject* equity = intern("equity");
    PyObject* quantity = intern("quantity");
    PyObject* receivable_quantity = intern("receivable_quantity");
    PyObject* receivable_cash = intern("receivable_cash");
    PyObject* update_last_price = intern("update_last_price");
    PyObject* item = intern("item");
    PyObject* before_trading = intern("before_trading");
    PyObject* settlement = intern("settlement");
    PyObject* positions_ = intern("_positions");
    PyObject* total_cash_ = intern("_total_cash");
    PyObject* is_empty_ = intern("_is_empty");
    PyObject* subscribe_queue = intern("subscribe_queue");
    PyObject* redeem_queue = intern("redeem_queue");
    PyObject* data_source_ = intern("_data_source");
    PyObject* trading_dates_ = intern("_trading_dates");
    PyObject* get_trading_calendars = intern("get_trading_calendars");
    PyObject* last_previous_ = intern("_last_previous");
    PyObject* actions_version_ = intern("_actions_version");
    PyObject* corporate_actions_version = intern("corporate_actions_version");
    PyObject* instruments_version = intern("instruments_version");
    PyObject* dividend_indexes_ = intern("_dividend_indexes");
    PyObject* split_tables_ = intern("_split_tables");
    PyObject* last_book_date_ = intern("_last_book_date");
    PyObject* last_book_key_ = intern("_last_book_key");
    PyObject* data_proxy = intern("data_proxy");
    PyObject* instrument_cache_ = intern("_instrument_cache");
    PyObject* instrument_cache_version_ = intern("_instrument_cache_version");
    PyObject* env_ = intern("_env");
    PyObject* calendar_cache_ = intern("_calendar_cache");
};

Names* N = nullptr;

// What the installed functions compare against and fall back to; filled by
// the install functions, never freed (the module lives until exit).
struct Installed {
    // Position
    PyObject* position_last_price = nullptr;  // Position.last_price as installed (the plain one)
    PyObject* py_position_before_trading = nullptr;
    PyObject* py_position_settlement = nullptr;
    // StockPosition
    PyObject* stock_dividend_receivable = nullptr;  // StockPosition.dividend_receivable as installed
    // Account
    PyObject* account_is_empty = nullptr;  // the staticmethod object in Account's namespace
    PyObject* py_account_before_trading = nullptr;
    PyObject* py_account_settlement = nullptr;
    // DataProxy
    PyObject* data_proxy_type = nullptr;
    PyObject* own_calendars = nullptr;  // BaseDataSource.get_trading_calendars
    PyObject* no_rows = nullptr;        // the dividend entry of a fund without dividends
    PyObject* py_previous_trading_date = nullptr;
    PyObject* py_dividend_by_book_date = nullptr;
    PyObject* py_split_by_ex_date = nullptr;
    // Environment
    PyObject* py_get_instrument = nullptr;
    PyObject* py_get_instance = nullptr;  // the classmethod's function
    PyObject* nat = nullptr;  // pandas.NaT
    PyObject* convert_date_to_int = nullptr;  // tessel.utils.datetime_func.convert_date_to_int
};

Installed* S = nullptr;

PyObject* kZero = nullptr;  // the ints 0 and 1, set when the module loads
PyObject* kOne = nullptr;

// --- calling the Python definition a native method replaced --------------------------------

// reference(self, *args, **kwargs) for a vectorcall (args, nargs, kwnames).
PyObject* call_reference(PyObject* reference, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> argv(static_cast<std::size_t>(1 + nargs + nkw));
    argv[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[static_cast<std::size_t>(1 + i)] = args[i];
    return PyObject_Vectorcall(reference, argv.data(), static_cast<std::size_t>(1 + nargs), kwnames);
}

// The result of a native body, or the reference's answer where the body
// returns an empty object (not a case it answers).
template <class Body>
PyObject* answer(PyObject* reference, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Body&& body) {
    bool declined = false;
    PyObject* result = tmf::guarded([&]() -> py::object {
        py::object r = body();
        if (r) return r;
        declined = true;
        return py::none();
    });
    if (!declined) return result;
    Py_XDECREF(result);
    return call_reference(reference, self, args, nargs, kwnames);
}

py::object get(PyObject* obj, PyObject* name) { return steal(tmf::get_attr(obj, name)); }

void set(PyObject* obj, PyObject* name, PyObject* value) {
    if (tmf::set_attr(obj, name, value) != 0) throw py::error_already_set();
}

bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}


// type(obj).<name> is `expected` (what a class attribute lookup finds).
bool class_keeps(PyObject* obj, PyObject* name, PyObject* expected) {
    return expected && _PyType_Lookup(Py_TYPE(obj), name) == expected;
}

// ============================================================================================
// Positions
// ============================================================================================

// Position.last_price of a position whose class keeps the plain property:
// today's price, else the previous close, else the average price.
py::object plain_last_price(PyObject* self) {
    py::object last = get(self, N->last_price_);
    if (!last.is_none()) return last;
    last = get(self, N->prev_close_);
    if (!last.is_none()) return last;
    return get(self, N->avg_price_);
}

// self.last_price, read without the property call where the class keeps the plain one.
py::object last_price_of(PyObject* self) {
    if (class_keeps(self, N->last_price, S->position_last_price)) return plain_last_price(self);
    return steal(PyObject_GetAttr(self, N->last_price));
}

PyObject* position_last_price_get(PyObject* self, void*) {
    return tmf::guarded([&] { return plain_last_price(self); });
}

// self._quantity * self.last_price (Position.market_value and Position.equity).
py::object held_value(PyObject* self) {
    py::object quantity = get(self, N->quantity_);
    py::object price = last_price_of(self);
    return steal(PyNumber_Multiply(quantity.ptr(), price.ptr()));
}

PyObject* position_value_get(PyObject* self, void*) {
    return tmf::guarded([&] { return held_value(self); });
}

PyObject* position_before_trading(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_position_before_trading, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 1) return py::object();
        // Yesterday's last price becomes the previous close; today has no price yet.
        py::object last = last_price_of(self);
        set(self, N->prev_close_, last.ptr());
        set(self, N->last_price_, Py_None);
        return py::reinterpret_borrow<py::object>(kZero);
    });
}

PyObject* position_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_position_settlement, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 1) return py::object();
        py::object quantity = get(self, N->quantity_);
        set(self, N->old_quantity_, quantity.ptr());
        set(self, N->logical_old_quantity_, quantity.ptr());
        py::object zero = steal(PyFloat_FromDouble(0.0));
        set(self, N->trade_cost_, zero.ptr());
        set(self, N->transaction_cost_, zero.ptr());
        return py::reinterpret_borrow<py::object>(kZero);
    });
}

// StockPosition.dividend_receivable: the cash of the booked dividend, else 0.
py::object dividend_receivable_of(PyObject* self) {
    py::object receivable = get(self, N->dividend_receivable_);
    if (truthy(receivable.ptr())) return steal(PyObject_GetItem(receivable.ptr(), kOne));
    return py::reinterpret_borrow<py::object>(kZero);
}

PyObject* stock_dividend_receivable_get(PyObject* self, void*) {
    return tmf::guarded([&] { return dividend_receivable_of(self); });
}

// StockPosition.equity: the held value plus the dividend receivable.
PyObject* stock_equity_get(PyObject* self, void*) {
    return tmf::guarded([&] {
        py::object value = held_value(self);
        py::object receivable = class_keeps(self, N->dividend_receivable, S->stock_dividend_receivable)
                                    ? dividend_receivable_of(self)
                                    : steal(PyObject_GetAttr(self, N->dividend_receivable));
        return steal(PyNumber_Add(value.ptr(), receivable.ptr()));
    });
}

// ============================================================================================
// Accounts
// ============================================================================================

// The account's positions as they are now (a list, so positions may come and go meanwhile).
py::object position_values(PyObject* account) {
    py::object positions = get(account, N->positions_);
    if (PyDict_CheckExact(positions.ptr())) return steal(PyDict_Values(positions.ptr()));
    py::object values = steal(PyObject_CallMethod(positions.ptr(), "values", nullptr));
    return steal(PySequence_List(values.ptr()));
}

// for position in list(self._positions.values()):
//     self._total_cash += position.<method>(trading_date)
void add_each(PyObject* account, PyObject* method, PyObject* trading_date) {
    py::object values = position_values(account);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
        PyObject* position = PyList_GET_ITEM(values.ptr(), i);
        py::object cash = get(account, N->total_cash_);
        PyObject* argv[] = {position, trading_date};
        py::object change = steal(PyObject_VectorcallMethod(method, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        py::object total = steal(PyNumber_InPlaceAdd(cash.ptr(), change.ptr()));
        set(account, N->total_cash_, total.ptr());
    }
}

PyObject* account_before_trading(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_account_before_trading, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 1) return py::object();
        add_each(self, N->before_trading, args[0]);
        return py::none();
    });
}

// Account._is_empty(position): nothing held and nothing owed either way.
bool is_empty(PyObject* position) {
    py::object quantity = get(position, N->quantity_);
    int differs = PyObject_RichCompareBool(quantity.ptr(), kZero, Py_NE);
    if (differs < 0) throw py::error_already_set();
    if (differs) return false;
    PyObject* owed[] = {N->dividend_receivable_, N->subscribe_queue, N->redeem_queue};
    for (PyObject* name : owed) {
        py::object value = steal(tmf::get_attr_or(position, name, Py_None));
        if (truthy(value.ptr())) return false;
    }
    return true;
}

PyObject* account_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_account_settlement, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 1) return py::object();
        add_each(self, N->settlement, args[0]);
        // A position with nothing held and nothing owed either way is closed.
        const bool own_test = class_keeps(self, N->is_empty_, S->account_is_empty) &&
                              tmf::method_not_shadowed(self, N->is_empty_);
        py::object positions = get(self, N->positions_);
        py::object items = PyDict_CheckExact(positions.ptr())
                               ? steal(PyDict_Items(positions.ptr()))
                               : steal(PySequence_List(steal(PyObject_CallMethod(positions.ptr(), "items", nullptr)).ptr()));
        std::vector<py::object> closed;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.ptr(), i);
            py::object key = steal(PySequence_GetItem(item, 0));
            py::object position = steal(PySequence_GetItem(item, 1));
            bool empty;
            if (own_test) {
                empty = is_empty(position.ptr());
            } else {
                py::object verdict = steal(PyObject_CallMethodOneArg(self, N->is_empty_, position.ptr()));
                empty = truthy(verdict.ptr());
            }
            if (empty) closed.push_back(key);
        }
        for (const py::object& key : closed) {
            py::object current = get(self, N->positions_);
            if (PyObject_DelItem(current.ptr(), key.ptr()) != 0) throw py::error_already_set();
        }
        return py::none();
    });
}

// [column.item(day) for column in columns]: a one-dimensional float64
// ndarray in the machine's byte order is read directly (item() gives the
// same float), any other column, or a day outside it, is asked as written.
py::list day_items(py::handle columns, py::handle day) {
    py::object seq = steal(PySequence_Fast(columns.ptr(), "columns must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    Py_ssize_t row = -1;
    if (PyLong_CheckExact(day.ptr())) {
        row = PyLong_AsSsize_t(day.ptr());
        if (row == -1 && PyErr_Occurred()) {
            PyErr_Clear();  // too large for an index: item() says what is wrong
            row = -1;
        }
    }
    auto& api = py::detail::npy_api::get();
    constexpr char kNative = std::endian::native == std::endian::big ? '>' : '<';
    py::list out(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* column = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        PyObject* value = nullptr;
        if (row >= 0 && Py_TYPE(column) == api.PyArray_Type_) {
            const auto* array = py::detail::array_proxy(column);
            const auto* descr = py::detail::array_descriptor_proxy(array->descr);
            if (array->nd == 1 && descr->type_num == py::detail::npy_api::NPY_DOUBLE_ &&
                (descr->byteorder == '=' || descr->byteorder == kNative) && row < array->dimensions[0]) {
                double v;
                std::memcpy(&v, array->data + row * array->strides[0], sizeof v);
                value = PyFloat_FromDouble(v);
                if (!value) throw py::error_already_set();
            }
        }
        if (!value) value = tmf::steal(PyObject_CallMethodOneArg(column, N->item, day.ptr())).release().ptr();
        PyList_SET_ITEM(out.ptr(), i, value);
    }
    return out;
}

// The loop of Account.update_last_prices once the closes are known: each
// position takes its close (a NaN keeps the last one), through its own
// update_last_price where its class has another.
py::object apply_closes(py::handle positions, py::handle closes, py::handle plain) {
    py::object items = steal(PySequence_Fast(positions.ptr(), "positions must be a sequence"));
    py::object prices = steal(PySequence_Fast(closes.ptr(), "closes must be a sequence"));
    const Py_ssize_t n = std::min(PySequence_Fast_GET_SIZE(items.ptr()), PySequence_Fast_GET_SIZE(prices.ptr()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* position = PySequence_Fast_GET_ITEM(items.ptr(), i);
        PyObject* price = PySequence_Fast_GET_ITEM(prices.ptr(), i);
        if (_PyType_Lookup(Py_TYPE(position), N->update_last_price) == plain.ptr()) {
            int same;
            if (PyFloat_CheckExact(price)) {
                const double v = PyFloat_AS_DOUBLE(price);
                same = v == v;
            } else {
                same = PyObject_RichCompareBool(price, price, Py_EQ);
                if (same < 0) throw py::error_already_set();
            }
            if (same) set(position, N->last_price_, price);
        } else {
            PyObject* argv[] = {position, price};
            steal(PyObject_VectorcallMethod(N->update_last_price, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
    }
    return py::none();
}

// ============================================================================================
// The daily record of positions
// ============================================================================================

double as_double(PyObject* value) {  // float(value)
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    py::object f = steal(PyNumber_Float(value));
    return PyFloat_AS_DOUBLE(f.ptr());
}

double number_or_zero(PyObject* value) {  // 0.0 if value is None else float(value)
    return value == Py_None ? 0.0 : as_double(value);
}

struct PositionRow {
    double quantity, units_due, last_price, market_value, equity, cash_due, dividend_due;
};

// What the record reads of a position whose class keeps the engine's own
// prices and receivables (see the recorder's _reads_directly): its fields,
// without the property calls.  An AttributeError means "read it the other way".
bool read_directly(PyObject* position, PositionRow& row) {
    try {
        py::object price = get(position, N->last_price_);
        if (price.is_none()) {
            price = get(position, N->prev_close_);
            if (price.is_none()) price = get(position, N->avg_price_);
        }
        row.last_price = as_double(price.ptr());
        py::object value = get(position, N->receivable_quantity);
        row.units_due = number_or_zero(value.ptr());
        value = get(position, N->equity);
        row.equity = as_double(value.ptr());
        py::object quantity = get(position, N->quantity_);
        value = steal(PyNumber_Multiply(quantity.ptr(), price.ptr()));
        row.market_value = as_double(value.ptr());
        value = get(position, N->receivable_cash);
        row.cash_due = number_or_zero(value.ptr());
        value = get(position, N->dividend_receivable_);
        if (truthy(value.ptr())) {
            value = steal(PyObject_GetItem(value.ptr(), kOne));
        } else {
            value = py::reinterpret_borrow<py::object>(kZero);
        }
        row.dividend_due = number_or_zero(value.ptr());
        value = get(position, N->quantity);
        row.quantity = as_double(value.ptr());
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return false;
    }
}

// The same through the public properties, for any other position class.
void read_properties(PyObject* position, PositionRow& row) {
    py::object value = steal(PyObject_GetAttr(position, N->last_price));
    row.last_price = as_double(value.ptr());
    value = steal(tmf::get_attr_or(position, N->receivable_quantity, kZero));
    row.units_due = number_or_zero(value.ptr());
    value = steal(PyObject_GetAttr(position, N->equity));
    row.equity = as_double(value.ptr());
    value = steal(PyObject_GetAttr(position, N->market_value));
    row.market_value = as_double(value.ptr());
    value = steal(tmf::get_attr_or(position, N->receivable_cash, kZero));
    row.cash_due = number_or_zero(value.ptr());
    value = steal(tmf::get_attr_or(position, N->dividend_receivable, kZero));
    row.dividend_due = number_or_zero(value.ptr());
    value = steal(PyObject_GetAttr(position, N->quantity));
    row.quantity = as_double(value.ptr());
}

py::bytes column_bytes(const std::vector<double>& values) {
    return py::bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
}

// The positions part of the daily record: for every account (in order) and
// every position of it (in order), its row, and the day's sums.
//
// `direct` maps a position class to whether it may be read directly;
// `reads_directly(cls)` decides for a class not in it yet.  Returns
// (ids, (quantity, receivable_quantity, last_price, market_value, equity)
// as float64 bytes, (market value, receivable units, their value,
// receivable cash, dividends receivable, equity) summed in row order).
py::tuple record_positions(py::handle accounts, py::dict direct, py::handle reads_directly) {
    std::vector<double> quantity, units_due, last_price, market_value, equity;
    py::list ids;
    double mv_sum = 0.0, units_sum = 0.0, units_value_sum = 0.0, cash_sum = 0.0, dividend_sum = 0.0,
           equity_sum = 0.0;
    py::object account_list = steal(PySequence_Fast(accounts.ptr(), "accounts must be a sequence"));
    for (Py_ssize_t a = 0; a < PySequence_Fast_GET_SIZE(account_list.ptr()); ++a) {
        PyObject* account = PySequence_Fast_GET_ITEM(account_list.ptr(), a);
        py::object positions = steal(PyObject_GetAttrString(account, "positions"));
        py::object items = PyDict_CheckExact(positions.ptr())
                               ? steal(PyDict_Items(positions.ptr()))
                               : steal(PySequence_List(steal(PyObject_CallMethod(positions.ptr(), "items", nullptr)).ptr()));
        const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(items.ptr(), i);
            py::object key = steal(PySequence_GetItem(item, 0));
            py::object position = steal(PySequence_GetItem(item, 1));
            PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(position.ptr()));
            PyObject* known = PyDict_GetItemWithError(direct.ptr(), cls);
            if (!known && PyErr_Occurred()) throw py::error_already_set();
            bool plain;
            if (known) {
                plain = truthy(known);
            } else {
                py::object decided = reads_directly(py::handle(cls));
                plain = truthy(decided.ptr());
                direct[py::handle(cls)] = py::bool_(plain);
            }
            PositionRow row{};
            if (!plain || !read_directly(position.ptr(), row)) read_properties(position.ptr(), row);
            mv_sum += row.market_value;
            units_sum += row.units_due;
            units_value_sum += row.units_due * row.last_price;
            cash_sum += row.cash_due;
            dividend_sum += row.dividend_due;
            equity_sum += row.equity;
            ids.append(key);
            quantity.push_back(row.quantity);
            units_due.push_back(row.units_due);
            last_price.push_back(row.last_price);
            market_value.push_back(row.market_value);
            equity.push_back(row.equity);
        }
    }
    return py::make_tuple(
        py::tuple(ids),
        py::make_tuple(column_bytes(quantity), column_bytes(units_due), column_bytes(last_price),
                       column_bytes(market_value), column_bytes(equity)),
        py::make_tuple(mv_sum, units_sum, units_value_sum, cash_sum, dividend_sum, equity_sum));
}

// ============================================================================================
// Data proxy look-ups
// ============================================================================================

// The data source, when it is the engine's own calendar-keeping kind.
bool own_calendar(PyObject* source) {
    return class_keeps(source, N->get_trading_calendars, S->own_calendars);
}

PyObject* proxy_previous_trading_date(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_previous_trading_date, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs < 1 || nargs > 2) return py::object();
        if (nargs == 2) {  // n == 1 as an int only
            PyObject* n = args[1];
            if (!PyLong_CheckExact(n)) return py::object();
            int overflow = 0;
            if (PyLong_AsLongAndOverflow(n, &overflow) != 1 || overflow) {
                if (PyErr_Occurred()) PyErr_Clear();
                return py::object();
            }
        }
        // Every held position asks about the same date object each morning: the answer
        // remembered for it, while it comes from the engine's own calendar as it was.
        py::object last = get(self, N->last_previous_);
        if (!PyTuple_CheckExact(last.ptr()) || PyTuple_GET_SIZE(last.ptr()) != 3 ||
            PyTuple_GET_ITEM(last.ptr(), 0) != args[0]) {
            return py::object();
        }
        py::object source = get(self, N->data_source_);
        if (!own_calendar(source.ptr())) return py::object();
        py::object dates = get(source.ptr(), N->trading_dates_);
        if (dates.ptr() != PyTuple_GET_ITEM(last.ptr(), 1)) return py::object();
        return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(last.ptr(), 2));
    });
}

// The proxy's corporate-action tables still belong to the data source's current stores.
bool actions_current(PyObject* self) {
    py::object version = get(self, N->actions_version_);
    if (!PyTuple_CheckExact(version.ptr()) || PyTuple_GET_SIZE(version.ptr()) != 2) return false;
    py::object source = get(self, N->data_source_);
    py::object actions = steal(tmf::get_attr_or(source.ptr(), N->corporate_actions_version, Py_None));
    if (!tmf::same(actions.ptr(), PyTuple_GET_ITEM(version.ptr(), 0))) return false;
    py::object instruments = steal(tmf::get_attr_or(source.ptr(), N->instruments_version, Py_None));
    return tmf::same(instruments.ptr(), PyTuple_GET_ITEM(version.ptr(), 1));
}

// dict.get(key) on a plain dict attribute of the proxy; nullptr (no error) when absent or not a dict.
PyObject* table_entry(PyObject* self, PyObject* table_name, PyObject* key, bool& is_dict) {
    py::object table = get(self, table_name);
    is_dict = PyDict_CheckExact(table.ptr());
    if (!is_dict) return nullptr;
    PyObject* entry = PyDict_GetItemWithError(table.ptr(), key);
    if (!entry && PyErr_Occurred()) throw py::error_already_set();
    return entry;  // borrowed from the table, which the proxy holds
}

PyObject* proxy_dividend_by_book_date(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_dividend_by_book_date, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 2 || !actions_current(self)) return py::object();
        PyObject* order_book_id = args[0];
        PyObject* date = args[1];
        if (!PyUnicode_CheckExact(order_book_id)) return py::object();
        bool is_dict = false;
        PyObject* entry = table_entry(self, N->dividend_indexes_, order_book_id, is_dict);
        if (!entry) return py::object();  // not cut yet
        if (entry == S->no_rows) return py::none();  // the common answer: nothing for this fund
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return py::object();
        py::object held = py::reinterpret_borrow<py::object>(entry);
        PyObject* table = PyTuple_GET_ITEM(entry, 0);
        PyObject* rows = PyTuple_GET_ITEM(entry, 1);
        if (!PyDict_CheckExact(rows)) return py::object();
        if (PyDict_GET_SIZE(rows) == 0) return py::none();
        py::object key;
        py::object last_date = get(self, N->last_book_date_);
        if (date == last_date.ptr()) {
            key = get(self, N->last_book_key_);
        } else if ((PyDate_CheckExact(date) || PyDateTime_CheckExact(date)) && date != S->nat) {
            // Dates are immutable, and one day's date object is asked about for many funds.
            key = steal(PyLong_FromLong(PyDateTime_GET_YEAR(date) * 10000L + PyDateTime_GET_MONTH(date) * 100L +
                                        PyDateTime_GET_DAY(date)));
            set(self, N->last_book_date_, date);
            set(self, N->last_book_key_, key.ptr());
        } else {
            return py::object();
        }
        PyObject* found = PyDict_GetItemWithError(rows, key.ptr());
        if (!found) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::none();
        }
        return steal(PyObject_GetItem(table, found));
    });
}

// The proxy's calendar as plain integers: the day ordinals and the
// YYYYMMDDhhmmss of each trading day, made once per calendar state of the
// proxy (its `_calendar_cache` tuple, held here so that its identity stays
// meaningful).
struct CalendarInts {
    PyObject* state = nullptr;  // the `_calendar_cache` tuple they were made from (owned)
    std::vector<long long> ordinals;
    std::vector<long long> stamps;
};

// The calendar state of the proxy when it is current (made from the data
// source's own calendar as it is now), else nullptr.
PyObject* current_calendar_state(PyObject* self) {
    py::object state = get(self, N->calendar_cache_);
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 4) return nullptr;
    py::object source = get(self, N->data_source_);
    if (!own_calendar(source.ptr())) return nullptr;
    py::object dates = get(source.ptr(), N->trading_dates_);
    if (dates.ptr() != PyTuple_GET_ITEM(state.ptr(), 0)) return nullptr;
    return state.ptr();  // borrowed: the proxy holds it
}

const CalendarInts* calendar_ints(PyObject* state) {
    static CalendarInts* kept = new CalendarInts();
    if (kept->state == state) return kept;
    PyObject* ordinals = PyTuple_GET_ITEM(state, 1);
    PyObject* stamps = PyTuple_GET_ITEM(state, 2);
    if (!PyList_CheckExact(ordinals) || !PyList_CheckExact(stamps) || PyList_GET_SIZE(ordinals) != PyList_GET_SIZE(stamps)) {
        return nullptr;
    }
    CalendarInts made;
    const Py_ssize_t n = PyList_GET_SIZE(ordinals);
    made.ordinals.reserve(static_cast<std::size_t>(n));
    made.stamps.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ordinal = PyList_GET_ITEM(ordinals, i);
        if (!PyLong_CheckExact(ordinal)) return nullptr;
        made.ordinals.push_back(PyLong_AsLongLong(ordinal));
        // What the Python definition compares with: the host's integer form of the calendar's day.
        py::object value = tmf::call(S->convert_date_to_int, PyList_GET_ITEM(stamps, i));
        if (!PyLong_CheckExact(value.ptr())) return nullptr;
        made.stamps.push_back(PyLong_AsLongLong(value.ptr()));
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    Py_INCREF(state);
    Py_XDECREF(kept->state);
    made.state = state;
    *kept = std::move(made);
    return kept;
}

// date.toordinal() of a year, month and day.
long long day_ordinal(int y, int m, int d) {
    static const int before_month[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const long long py = y - 1;
    long long days = py * 365 + py / 4 - py / 100 + py / 400 + before_month[m] + d;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m > 2 && leap) days += 1;
    return days;
}

PyObject* proxy_split_by_ex_date(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_split_by_ex_date, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 2 || !PyUnicode_CheckExact(args[0]) || !actions_current(self)) return py::object();
        bool is_dict = false;
        PyObject* found = table_entry(self, N->split_tables_, args[0], is_dict);
        if (!found || !PyTuple_CheckExact(found)) return py::object();
        // A fund without splits (an empty tuple): nothing to apply, whatever the date.
        if (PyTuple_GET_SIZE(found) == 0) return py::none();
        py::object entries = py::reinterpret_borrow<py::object>(found);
        // A fund with splits, on a plain date: the factors of every ex-date after the previous
        // trading day and up to the date multiply.
        PyObject* date = args[1];
        if (!(PyDate_CheckExact(date) || PyDateTime_CheckExact(date))) return py::object();
        PyObject* state = current_calendar_state(self);
        const CalendarInts* calendar = state ? calendar_ints(state) : nullptr;
        if (!calendar) return py::object();
        const int y = PyDateTime_GET_YEAR(date), m = PyDateTime_GET_MONTH(date), d = PyDateTime_GET_DAY(date);
        const long long day = day_ordinal(y, m, d);
        const long long upper = (y * 10000LL + m * 100LL + d) * 1000000LL;
        const auto& ordinals = calendar->ordinals;
        const auto pos = std::lower_bound(ordinals.begin(), ordinals.end(), day) - ordinals.begin();
        const bool after_first = pos > 0;
        const long long lower = after_first ? calendar->stamps[static_cast<std::size_t>(pos - 1)] : 0;
        double ratio = 1.0;
        bool hit = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.ptr()); ++i) {
            PyObject* entry = PyTuple_GET_ITEM(entries.ptr(), i);
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return py::object();
            PyObject* ex_date = PyTuple_GET_ITEM(entry, 0);
            PyObject* factor = PyTuple_GET_ITEM(entry, 1);
            if (!PyLong_CheckExact(ex_date) || !PyFloat_CheckExact(factor)) return py::object();
            int overflow = 0;
            const long long ex = PyLong_AsLongLongAndOverflow(ex_date, &overflow);
            if (overflow) return py::object();
            if (after_first ? (lower < ex && ex <= upper) : ex == upper) {
                ratio *= PyFloat_AS_DOUBLE(factor);
                hit = true;
            }
        }
        if (!hit) return py::none();
        return steal(PyFloat_FromDouble(ratio));
    });
}

// ============================================================================================
// Environment
// ============================================================================================

PyObject* environment_get_instrument(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return answer(S->py_get_instrument, self, args, nargs, kwnames, [&]() -> py::object {
        if (kwnames || nargs != 1 || !PyUnicode_CheckExact(args[0])) return py::object();
        // The engine's own data proxy's cache of instruments, while it is the current one.
        py::object proxy = get(self, N->data_proxy);
        if (reinterpret_cast<PyObject*>(Py_TYPE(proxy.ptr())) != S->data_proxy_type) return py::object();
        py::object source = get(proxy.ptr(), N->data_source_);
        py::object version = steal(tmf::get_attr_or(source.ptr(), N->instruments_version, Py_None));
        py::object cached = get(proxy.ptr(), N->instrument_cache_version_);
        if (!tmf::same(version.ptr(), cached.ptr())) return py::object();
        py::object cache = get(proxy.ptr(), N->instrument_cache_);
        if (!PyDict_CheckExact(cache.ptr())) return py::object();
        PyObject* found = PyDict_GetItemWithError(cache.ptr(), args[0]);
        if (!found) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::object();
        }
        if (found == Py_None) return py::object();
        return py::reinterpret_borrow<py::object>(found);
    });
}

// Environment.get_instance(): the class's current environment; without one,
// the Python definition raises its error.
PyObject* environment_get_instance(PyObject*, PyObject* cls) {
    PyObject* env = PyObject_GetAttr(cls, N->env_);
    if (!env || env != Py_None) return env;
    Py_DECREF(env);
    return PyObject_CallOneArg(S->py_get_instance, cls);
}

// ============================================================================================
// Installing
// ============================================================================================

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// cls.<name> replaced by a method descriptor of `fn`; returns what it replaced.
py::object install_method(py::handle cls, const char* name, FastFn fn, const char* doc, PyObject** reference) {
    if (*reference) throw std::runtime_error(std::string(name) + " is installed already");
    py::object original = steal(PyObject_GetAttrString(cls.ptr(), name));
    auto* def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                                METH_FASTCALL | METH_KEYWORDS, doc};
    py::object descr = steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
    // The Python definition, found on the class as a plain function, is what odd calls go to.
    py::object function = original;
    if (PyObject_HasAttrString(original.ptr(), "__func__")) function = original.attr("__func__");
    *reference = function.release().ptr();
    if (PyObject_SetAttrString(cls.ptr(), name, descr.ptr()) != 0) throw py::error_already_set();
    return original;
}

// cls.<name> replaced by a read-only data descriptor with the C getter `get`; returns what it replaced.
py::object install_getter(py::handle cls, const char* name, getter get, const char* doc) {
    py::object original = steal(PyObject_GetAttrString(cls.ptr(), name));
    auto* def = new PyGetSetDef{name, get, nullptr, doc, nullptr};
    py::object descr = steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
    if (PyObject_SetAttrString(cls.ptr(), name, descr.ptr()) != 0) throw py::error_already_set();
    return original;
}

PyObject* class_attribute(py::handle cls, const char* name) {
    return steal(PyObject_GetAttrString(cls.ptr(), name)).release().ptr();
}

void once(PyObject* marker, const char* what) {
    if (marker) throw std::runtime_error(std::string(what) + " has its native methods already");
}

py::dict install_position(py::handle position_cls) {
    once(S->position_last_price, "Position");
    py::dict replaced;
    replaced["last_price"] = install_getter(position_cls, "last_price", position_last_price_get,
                                            "Today's price, else the previous close, else the average price.");
    S->position_last_price = class_attribute(position_cls, "last_price");
    replaced["market_value"] = install_getter(position_cls, "market_value", position_value_get,
                                              "The expected quantity valued at the last price.");
    replaced["equity"] = install_getter(position_cls, "equity", position_value_get,
                                        "The expected quantity valued at the last price.");
    replaced["before_trading"] =
        install_method(position_cls, "before_trading", position_before_trading,
                       "Start of a trading day: yesterday's last price becomes the previous close; returns 0.",
                       &S->py_position_before_trading);
    replaced["settlement"] =
        install_method(position_cls, "settlement", position_settlement,
                       "End of a trading day: today's holding becomes yesterday's; returns 0.",
                       &S->py_position_settlement);
    return replaced;
}

py::dict install_stock_position(py::handle stock_cls) {
    once(S->stock_dividend_receivable, "StockPosition");
    py::dict replaced;
    replaced["dividend_receivable"] =
        install_getter(stock_cls, "dividend_receivable", stock_dividend_receivable_get,
                       "The cash of the dividend booked but not yet paid, else 0.");
    S->stock_dividend_receivable = class_attribute(stock_cls, "dividend_receivable");
    replaced["equity"] = install_getter(stock_cls, "equity", stock_equity_get,
                                        "The held value plus the dividend receivable.");
    return replaced;
}

py::dict install_account(py::handle account_cls) {
    once(S->account_is_empty, "Account");
    py::dict replaced;
    PyObject* is_empty_entry = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(account_cls.ptr())->tp_dict,
                                                    "_is_empty");
    if (!is_empty_entry) throw std::runtime_error("Account has no _is_empty");
    Py_INCREF(is_empty_entry);
    S->account_is_empty = is_empty_entry;
    replaced["before_trading"] =
        install_method(account_cls, "before_trading", account_before_trading,
                       "Every position starts the day; their cash changes go to the account.",
                       &S->py_account_before_trading);
    replaced["settlement"] = install_method(account_cls, "settlement", account_settlement,
                                            "Every position settles; empty positions are closed.",
                                            &S->py_account_settlement);
    return replaced;
}

py::dict install_data_proxy(py::handle proxy_cls, py::handle own_calendars, py::handle no_rows, py::handle nat) {
    once(S->data_proxy_type, "DataProxy");
    py::dict replaced;
    S->data_proxy_type = py::reinterpret_borrow<py::object>(proxy_cls).release().ptr();
    S->own_calendars = py::reinterpret_borrow<py::object>(own_calendars).release().ptr();
    S->no_rows = py::reinterpret_borrow<py::object>(no_rows).release().ptr();
    S->nat = py::reinterpret_borrow<py::object>(nat).release().ptr();
    S->convert_date_to_int =
        py::object(py::module_::import("tessel.utils.datetime_func").attr("convert_date_to_int")).release().ptr();
    replaced["get_previous_trading_date"] =
        install_method(proxy_cls, "get_previous_trading_date", proxy_previous_trading_date,
                       "The n-th trading date before date (n=1: the last one strictly before it).",
                       &S->py_previous_trading_date);
    replaced["get_dividend_by_book_date"] =
        install_method(proxy_cls, "get_dividend_by_book_date", proxy_dividend_by_book_date,
                       "The dividend records whose book_closure_date is date, or None.",
                       &S->py_dividend_by_book_date);
    replaced["get_split_by_ex_date"] =
        install_method(proxy_cls, "get_split_by_ex_date", proxy_split_by_ex_date,
                       "The split factor taking effect on trading day date, or None.", &S->py_split_by_ex_date);
    return replaced;
}

py::dict install_environment(py::handle environment_cls) {
    once(S->py_get_instrument, "Environment");
    py::dict replaced;
    replaced["get_instrument"] = install_method(environment_cls, "get_instrument", environment_get_instrument,
                                                "The instrument of order_book_id, or None.", &S->py_get_instrument);
    // get_instance: a class method over a C function of the class.
    py::object original = environment_cls.attr("__dict__")["get_instance"];
    S->py_get_instance = py::object(original.attr("__func__")).release().ptr();
    static PyMethodDef def{"get_instance", reinterpret_cast<PyCFunction>(&environment_get_instance), METH_O,
                           "The current run's environment."};
    py::object function = steal(PyCFunction_NewEx(&def, nullptr, nullptr));
    py::object method = steal(PyClassMethod_New(function.ptr()));
    if (PyObject_SetAttrString(environment_cls.ptr(), "get_instance", method.ptr()) != 0) {
        throw py::error_already_set();
    }
    replaced["get_instance"] = original;
    return replaced;
}

}  // namespace

PYBIND11_MODULE(_daycycle, m) {
    m.doc() = "The engine's per-holding daily cycle in C (see tessel._native).";
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    N = new Names();
    S = new Installed();
    kZero = PyLong_FromLong(0);
    kOne = PyLong_FromLong(1);
    if (!kZero || !kOne) throw py::error_already_set();
    m.def("install_position", &install_position, py::arg("cls"),
          "Native Position.last_price, market_value, equity, before_trading and settlement; returns the replaced.");
    m.def("install_stock_position", &install_stock_position, py::arg("cls"),
          "Native StockPosition.dividend_receivable and equity; returns the replaced.");
    m.def("install_account", &install_account, py::arg("cls"),
          "Native Account.before_trading and settlement; returns the replaced.");
    m.def("install_data_proxy", &install_data_proxy, py::arg("cls"), py::arg("own_calendars"), py::arg("no_rows"),
          py::arg("nat"),
          "Native DataProxy.get_previous_trading_date, get_dividend_by_book_date and get_split_by_ex_date.");
    m.def("install_environment", &install_environment, py::arg("cls"), "Native Environment.get_instrument.");
    m.def("record_positions", &record_positions, py::arg("accounts"), py::arg("direct"), py::arg("reads_directly"),
          "The positions part of a day's record: (ids, number columns as float64 bytes, sums).");
    m.def("day_items", &day_items, py::arg("columns"), py::arg("day"),
          "[column.item(day) for column in columns], float64 columns read directly.");
    m.def("apply_closes", &apply_closes, py::arg("positions"), py::arg("closes"), py::arg("plain"),
          "Each position takes its close (NaN keeps the last price).");
}
