// tessel_mod_fund.position: how a public fund is held in a stock account.
//
// Units bought by a subscription and cash due from a redemption reach the
// account some trading days after the trade.  FundPosition keeps both in
// queues of (arrival datetime, amount) entries; queued units count in the
// expected holding `_quantity` but not in the tradable `quantity`, queued
// cash counts in `equity` but not in the account's cash.
//
// The queue handlers run for every position on every trading day, so they
// walk the lists with the C API, compare dates on the datetime struct fields
// and keep float sums in C doubles.  Sums keep Python's number semantics
// (int 0 for an empty queue, left-to-right addition), and every rounding is
// Python's round(x, 4).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <datetime.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tmf/calls.hpp"
#include "tmf/errors.hpp"
#include "tmf/fast_call.hpp"
#include "tmf/host_class.hpp"
#include "tmf/lru.hpp"
#include "tmf/pyargs.hpp"
#include "tmf/record_fields.hpp"
#include "tmf/rounding.hpp"

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------------------
// Load-time host objects and interned attribute names.  Kept in a heap object
// that is never freed: the module lives until the interpreter exits, and
// destroying Python references after finalisation would crash.
struct Globals {
    py::object module;
    py::object datetime_cls;
    py::object instrument_type;
    py::object position_effect;
    py::object stock_position;
    py::object stock_position_proxy;
    py::object public_fund;
    py::object effect_open;
    py::object effect_close;
    py::object zero;
    py::object accrued_fund_getter;    // the LRU behind _accrued_fund
    py::object accrued_fund_property;  // FundPosition's own _accrued_fund
    tmf::LruFunction* accrued_fund_lru = nullptr;
    PyObject* module_dict = nullptr;  // borrowed from `module`
    PyObject* recarray_type = nullptr;  // numpy.recarray, held by numpy
};

Globals* G = nullptr;

using tmf::intern;

struct Names {
    PyObject* quantity_ = intern("_quantity");
    PyObject* old_quantity_ = intern("_old_quantity");
    PyObject* logical_old_quantity_ = intern("_logical_old_quantity");
    PyObject* avg_price_ = intern("_avg_price");
    PyObject* prev_close_ = intern("_prev_close");
    PyObject* dividend_receivable_ = intern("_dividend_receivable");
    PyObject* order_book_id_ = intern("_order_book_id");
    PyObject* env_ = intern("_env");
    PyObject* able_dividend_ = intern("_able_dividend");
    PyObject* accrued_fund_ = intern("_accrued_fund");
    PyObject* subscribe_queue = intern("subscribe_queue");
    PyObject* redeem_queue = intern("redeem_queue");
    PyObject* subscription_receiving_days = intern("subscription_receiving_days");
    PyObject* redemption_receiving_days = intern("redemption_receiving_days");
    PyObject* fund_dividend_reinvestment = intern("fund_dividend_reinvestment");
    PyObject* data_proxy = intern("data_proxy");
    PyObject* last_price = intern("last_price");
    PyObject* prev_close = intern("prev_close");
    PyObject* quantity = intern("quantity");
    PyObject* order_book_id = intern("order_book_id");
    PyObject* handle_subscribe_units = intern("_handle_subscribe_units");
    PyObject* handle_redeem_value = intern("_handle_redeem_value");
    PyObject* handle_accrued = intern("_handle_accrued_daily_fund_dividend");
    PyObject* handle_book_closure = intern("_handle_dividend_book_closure");
    PyObject* handle_payable = intern("_handle_dividend_payable");
    PyObject* handle_split = intern("_handle_split");
    PyObject* deal_reinvestment = intern("_deal_dividend_reinvestment");
    PyObject* date_to_datetime = intern("_date_to_datetime");
    PyObject* get_next_trading_date = intern("get_next_trading_date");
    PyObject* to_pydatetime = intern("to_pydatetime");
    PyObject* date = intern("date");
    PyObject* year = intern("year");
    PyObject* month = intern("month");
    PyObject* day = intern("day");
    PyObject* get_instrument = intern("get_instrument");
    PyObject* accrued_daily = intern("accrued_daily");
    PyObject* Position = intern("Position");
    PyObject* Environment = intern("Environment");
    PyObject* get_instance = intern("get_instance");
    PyObject* before_trading = intern("before_trading");
    PyObject* get_previous_trading_date = intern("get_previous_trading_date");
    PyObject* get_dividend_by_book_date = intern("get_dividend_by_book_date");
    PyObject* get_split_by_ex_date = intern("get_split_by_ex_date");
    PyObject* equity = intern("equity");
    PyObject* position_effect = intern("position_effect");
    PyObject* last_quantity = intern("last_quantity");
    PyObject* trading_datetime = intern("trading_datetime");
    PyObject* apply_trade = intern("apply_trade");
    PyObject* get_daily_profit = intern("_get_daily_profit");
    PyObject* dtype = intern("dtype");
};

Names* N = nullptr;

// A module-level name, looked up when used (as a Python function body
// would), so the module's bindings stay the ones that count.
py::object global(const char* name) { return G->module.attr(name); }
py::object global(PyObject* name) {
    // The module's namespace first, as a global name in a function body is
    // read; only a name missing there takes the full attribute lookup.
    PyObject* value = PyDict_GetItemWithError(G->module_dict, name);
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return tmf::steal(PyObject_GetAttr(G->module.ptr(), name));
}

// ---------------------------------------------------------------------------
// Thin C API wrappers that turn a Python error into a C++ exception.

using tmf::steal;
using tmf::truthy;

py::object getattr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }

// o.name(args...): the method looked up and called the way Python's
// `o.name(...)` does it, without a bound-method object in between.
template <class... Args>
py::object call_attr(py::handle o, PyObject* name, Args... args) {
    PyObject* argv[] = {o.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(name, argv, sizeof...(Args) + 1, nullptr));
}

// f(args...) with the arguments on the stack.
template <class... Args>
py::object call(py::handle f, Args... args) {
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(f.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void setattr(py::handle o, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(o.ptr(), name, value.ptr()) != 0) throw py::error_already_set();
}

bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object add(py::handle a, py::handle b) {
    if (PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr())) {
        return steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(a.ptr()) + PyFloat_AS_DOUBLE(b.ptr())));
    }
    return steal(PyNumber_Add(a.ptr(), b.ptr()));
}

py::object sub(py::handle a, py::handle b) { return steal(PyNumber_Subtract(a.ptr(), b.ptr())); }
py::object mul(py::handle a, py::handle b) { return steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
py::object div(py::handle a, py::handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

// The position's own handlers, called from its other methods.  A call goes
// through Python (attribute lookup, bound method, argument dispatch) like
// any method call, except when that lookup would find this module's own
// function: then its C++ body runs at once.  A subclass or an instance that
// replaces a handler is therefore still the one called.
using HandlerBody = py::object (*)(py::handle self, py::handle a, py::handle b);

struct OwnHandler {
    PyObject* name;
    py::object original;  // the class attribute, once the class is built (held, so its
                          // address cannot be taken by a replacement)
    int arity;            // arguments besides self
    HandlerBody body;
};

std::vector<OwnHandler>& own_handlers() {
    static auto* handlers = new std::vector<OwnHandler>();
    return *handlers;
}

// The body of a registered handler as a plain function; the lambdas have no
// captures, so one is made on the spot.
template <class F>
py::object run_body(py::handle self, py::handle a, py::handle b) {
    auto o = [](py::handle x) { return py::reinterpret_borrow<py::object>(x); };
    F f{};
    if constexpr (std::is_invocable_v<F, py::object, py::object, py::object>) {
        if constexpr (std::is_void_v<std::invoke_result_t<F, py::object, py::object, py::object>>) {
            f(o(self), o(a), o(b));
            return py::none();
        } else {
            return py::object(f(o(self), o(a), o(b)));
        }
    } else {
        (void)b;
        if constexpr (std::is_void_v<std::invoke_result_t<F, py::object, py::object>>) {
            f(o(self), o(a));
            return py::none();
        } else {
            return py::object(f(o(self), o(a)));
        }
    }
}

// Registers `f` (self plus one or two arguments, returning an object or
// nothing) as the body of the handler `name` and gives it back for the
// class definition.
template <class F>
F own(PyObject* name, F f) {
    static_assert(std::is_empty_v<F> && std::is_default_constructible_v<F>, "a handler body captures nothing");
    const int arity = std::is_invocable_v<F, py::object, py::object, py::object> ? 2 : 1;
    if (own_handlers().size() >= 32) throw std::logic_error("too many own handlers for the dispatch mask");
    own_handlers().push_back(OwnHandler{name, py::object(), arity, &run_body<F>});
    return f;
}

// The instance fields the daily cycle reads.  Where the class has no
// attribute of a field's name (no property, no class-level default) and
// keeps the generic attribute lookup, `self.name` is the instance
// dictionary's entry, so it is read from there.
enum class Field : int {
    quantity_,
    old_quantity_,
    logical_old_quantity_,
    avg_price_,
    dividend_receivable_,
    order_book_id_,
    env_,
    able_dividend_,
    subscribe_queue,
    redeem_queue,
    fund_dividend_reinvestment,
    count
};

PyObject* field_name(Field f) {
    static PyObject* const names[] = {
        N->quantity_, N->old_quantity_, N->logical_old_quantity_, N->avg_price_, N->dividend_receivable_, N->order_book_id_, N->env_, N->able_dividend_, N->subscribe_queue, N->redeem_queue, N->fund_dividend_reinvestment};
    return names[static_cast<int>(f)];
}

// What a class leaves as this module's own (handlers) or plain (fields),
// worked out once per class and state of the class: the type's version tag
// changes whenever the class or one of its bases is modified (an attribute
// assigned, deleted or replaced), and a tag is never given out twice.
struct TypeInfo {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    std::uint32_t own = 0;     // bit i: handler i is found as this module's own
    std::uint32_t plain = 0;   // bit f: field f is read from the instance dictionary
};

TypeInfo info_of(PyTypeObject* type) {
    static TypeInfo* recent = new TypeInfo[4]();
    static unsigned next = 0;
    for (int i = 0; i < 4; ++i) {
        const TypeInfo& t = recent[i];
        if (t.type == type && t.version != 0 && type->tp_version_tag == t.version &&
            PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            return t;
        }
    }
    TypeInfo info{type, 0, 0, 0};
    const auto& handlers = own_handlers();
    for (std::size_t i = 0; i < handlers.size(); ++i) {
        const OwnHandler& h = handlers[i];
        if (h.original && _PyType_Lookup(type, h.name) == h.original.ptr()) info.own |= 1u << i;
    }
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        for (int f = 0; f < static_cast<int>(Field::count); ++f) {
            if (!_PyType_Lookup(type, field_name(static_cast<Field>(f)))) info.plain |= 1u << f;
        }
    }
    // The lookups above give the type a valid tag where it can have one; a
    // type without one is worked out again on every call.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0) {
        info.version = type->tp_version_tag;
        recent[next] = info;
        next = (next + 1) % 4;
    }
    return info;
}

// The instance dictionary, or null where there is none yet.
PyObject* instance_dict(py::handle self) {
    PyObject** dict = _PyObject_GetDictPtr(self.ptr());
    return dict ? *dict : nullptr;
}

// self.<field>
py::object field(py::handle self, Field f) {
    if (info_of(Py_TYPE(self.ptr())).plain & (1u << static_cast<int>(f))) {
        if (PyObject* dict = instance_dict(self)) {
            PyObject* value = PyDict_GetItemWithError(dict, field_name(f));
            if (value) return py::reinterpret_borrow<py::object>(value);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
    }
    // Missing: the attribute lookup raises what Python raises.
    return getattr(self, field_name(f));
}

// The registered body that a call of `name` on `self` would reach, if any.
const OwnHandler* direct_handler(py::handle self, PyObject* name, int arity) {
    const auto& handlers = own_handlers();
    for (std::size_t i = 0; i < handlers.size(); ++i) {
        const OwnHandler& h = handlers[i];
        if (h.name != name) continue;
        if (!h.original || h.arity != arity) return nullptr;
        if (!(info_of(Py_TYPE(self.ptr())).own & (1u << i))) return nullptr;
        if (PyObject* dict = instance_dict(self)) {
            PyObject* shadow = PyDict_GetItemWithError(dict, name);
            if (shadow) return nullptr;
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        return &h;
    }
    return nullptr;
}

template <class... Args>
py::object call_method(py::handle self, PyObject* name, Args&&... args) {
    if constexpr (sizeof...(Args) >= 1 && sizeof...(Args) <= 2) {
        if (const OwnHandler* h = direct_handler(self, name, static_cast<int>(sizeof...(Args)))) {
            py::handle argv[2] = {py::handle(args)..., };
            return h->body(self, argv[0], sizeof...(Args) == 2 ? argv[1] : py::handle());
        }
    }
    return call_attr(self, name, std::forward<Args>(args)...);
}

// The instrument's daily-accrual flag behind _accrued_fund.
py::object accrued_fund_of(py::handle self) {
    py::object env = field(self, Field::env_);
    return getattr(call_attr(env, N->get_instrument, field(self, Field::order_book_id_)), N->accrued_daily);
}

// self._accrued_fund: the cached flag straight from its cache when the
// property is FundPosition's own (a property cannot be shadowed by an
// instance attribute), else through the attribute.
py::object accrued_flag(py::handle self) {
    if (G->accrued_fund_property &&
        _PyType_Lookup(Py_TYPE(self.ptr()), N->accrued_fund_) == G->accrued_fund_property.ptr()) {
        // The cache itself, keyed like a call with self alone (this getter
        // has no scope to check).
        py::object key = steal(PyTuple_Pack(1, self.ptr()));
        return G->accrued_fund_lru->cache().get(key, [&] { return accrued_fund_of(self); });
    }
    return getattr(self, N->accrued_fund_);
}

using tmf::round4;

// Left-to-right sum starting from the int 0, like `0 + a + b + ...` in
// Python.  While the running total and the addend are both floats the
// addition happens on C doubles (the same IEEE operation Python performs);
// anything else goes through PyNumber_Add so ints, Decimals or numpy
// scalars keep their own semantics.
class Sum {
public:
    void add(py::handle v) {
        if (is_double_ && PyFloat_CheckExact(v.ptr())) {
            d_ += PyFloat_AS_DOUBLE(v.ptr());
            return;
        }
        py::object cur = value();
        obj_ = steal(PyNumber_Add(cur.ptr(), v.ptr()));
        if (PyFloat_CheckExact(obj_.ptr())) {
            is_double_ = true;
            d_ = PyFloat_AS_DOUBLE(obj_.ptr());
            obj_ = py::object();
        } else {
            is_double_ = false;
        }
    }
    py::object value() const {
        if (is_double_) return steal(PyFloat_FromDouble(d_));
        if (!obj_) return py::int_(0);
        return obj_;
    }

private:
    bool is_double_ = false;
    double d_ = 0.0;
    py::object obj_;
};

// ---------------------------------------------------------------------------
// Dates compared as YYYYMMDD keys read from the datetime struct.

long ymd_key(int y, int m, int d) { return static_cast<long>(y) * 10000L + m * 100L + d; }

long date_key_of(PyObject* o) {
    return ymd_key(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o));
}

// The trading date a handler runs for.  A datetime is taken by its date part.
long trading_date_key(py::handle trading_date) {
    if (PyDate_Check(trading_date.ptr())) return date_key_of(trading_date.ptr());
    tmf::raise_with(PyExc_TypeError,
                    tmf::format("trading_date must be a date, got {!r}", trading_date));
}

// The date part of a queue entry's arrival datetime (what `dt.date()` gives).
long arrival_key(py::handle dt) {
    if (PyDate_Check(dt.ptr())) return date_key_of(dt.ptr());
    py::object d = getattr(dt, N->date)();
    if (PyDate_Check(d.ptr())) return date_key_of(d.ptr());
    tmf::raise_with(PyExc_TypeError,
                    tmf::format("queue entry arrival time must be a datetime, got {!r}", dt));
}

// Whether the position's fund was delisted before the trading day `key`.
bool delisted_before(py::handle self, long key) {
    py::object env = field(self, Field::env_);
    // Optional: an instrument without a delisting date is taken as listed.
    py::object until = tmf::getattr_or(env.attr("get_instrument")(field(self, Field::order_book_id_)),
                                       "de_listed_date", py::none());
    if (until.is_none()) return false;
    return arrival_key(until) < key;
}

// PySequence_Fast has its own TypeError text; Python's unpacking says
// "cannot unpack non-iterable X object", so iterability is checked first.
bool is_iterable(PyObject* o) { return Py_TYPE(o)->tp_iter != nullptr || PySequence_Check(o); }

// Unpacks a queue entry into exactly two values, raising what Python's
// `a, b = entry` raises for anything else.  The two values are owned: the
// handlers run Python code (`dt.date()`, `__add__`) while holding them, and a
// list entry could be emptied meanwhile.
std::pair<py::object, py::object> unpack2(py::handle entry) {
    py::object keep;
    PyObject* e = entry.ptr();
    Py_ssize_t n;
    PyObject** items;
    if (PyTuple_CheckExact(e) || PyList_CheckExact(e)) {
        keep = py::reinterpret_borrow<py::object>(entry);
    } else {
        if (!is_iterable(e)) {
            tmf::raise_with(PyExc_TypeError,
                            tmf::format("cannot unpack non-iterable {} object",
                                        py::type::handle_of(entry).attr("__name__")));
        }
        keep = steal(PySequence_Fast(e, "cannot unpack queue entry"));
    }
    n = PySequence_Fast_GET_SIZE(keep.ptr());
    items = PySequence_Fast_ITEMS(keep.ptr());
    if (n > 2) tmf::raise_with(PyExc_ValueError, py::str("too many values to unpack (expected 2)"));
    if (n < 2) {
        tmf::raise_with(PyExc_ValueError,
                        tmf::format("not enough values to unpack (expected 2, got {})", n));
    }
    return {py::reinterpret_borrow<py::object>(items[0]), py::reinterpret_borrow<py::object>(items[1])};
}

// Element 1 of a queue entry by index (`entry[1]`).
py::object element1(py::handle entry) {
    PyObject* e = entry.ptr();
    if (PyTuple_CheckExact(e) && PyTuple_GET_SIZE(e) >= 2) {
        return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(e, 1));
    }
    if (PyList_CheckExact(e) && PyList_GET_SIZE(e) >= 2) {
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(e, 1));
    }
    return steal(PySequence_GetItem(e, 1));
}

// The queue as a list to walk: the list itself, or a list copy of any other
// sequence a restored state may have put there.
py::list as_list(py::handle queue) {
    if (PyList_Check(queue.ptr())) return py::reinterpret_borrow<py::list>(queue);
    return py::list(py::reinterpret_borrow<py::object>(queue));
}

py::list tail(const py::list& queue, Py_ssize_t from) {
    return steal(PyList_GetSlice(queue.ptr(), from, PyList_GET_SIZE(queue.ptr())))
        .cast<py::list>();
}

// A new list (py::list(obj) would hand back the same list object).
py::list copy_list(py::handle seq) { return steal(PySequence_List(seq.ptr())).cast<py::list>(); }

void append(py::handle queue, py::handle entry) {
    if (PyList_Check(queue.ptr())) {
        if (PyList_Append(queue.ptr(), entry.ptr()) != 0) throw py::error_already_set();
        return;
    }
    queue.attr("append")(entry);
}

py::object queue_sum(py::handle self, Field queue_name) {
    py::object queue = field(self, queue_name);
    Sum total;
    if (PyList_CheckExact(queue.ptr())) {
        // The list can only change under us through element __getitem__/
        // __add__ of exotic entries, so re-read the size on every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(queue.ptr()); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(queue.ptr(), i));
            total.add(element1(item));
        }
    } else {
        for (auto item : queue) total.add(element1(item));
    }
    return total.value();
}

py::object received_quantity(py::handle self) {
    py::object expected = field(self, Field::quantity_);
    py::object queued = queue_sum(self, Field::subscribe_queue);
    return round4(sub(expected, queued));
}

py::object next_trading_datetime(py::handle self, py::handle when, PyObject* days_name) {
    py::object proxy = getattr(field(self, Field::env_), N->data_proxy);
    py::object ts = call_attr(proxy, N->get_next_trading_date, when, getattr(self, days_name));
    return call_attr(ts, N->to_pydatetime);
}

py::object make_date(long key) {
    int y = static_cast<int>(key / 10000), m = static_cast<int>(key / 100 % 100),
        d = static_cast<int>(key % 100);
    return steal(PyDate_FromDate(y, m, d));
}

// The payable date of a dividend record, a YYYYMMDD value, as a date.
py::object parse_yyyymmdd(py::handle value) {
    PyObject* idx = PyNumber_Index(value.ptr());
    if (idx) {
        py::object i = steal(idx);
        long long v = PyLong_AsLongLong(i.ptr());
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (v >= 10000101LL && v <= 99991231LL) return make_date(static_cast<long>(v));
        tmf::raise_with(PyExc_ValueError,
                        tmf::format("time data {!r} does not match format '%Y%m%d'", py::str(i)));
    }
    PyErr_Clear();
    // Not an integer: parse its text the slow way and let strptime explain.
    return G->datetime_cls.attr("strptime")(py::str(value), "%Y%m%d").attr("date")();
}

// ---------------------------------------------------------------------------
// Reading the daily-profit table during the daily accrual.
//
// The table is a numpy record array handed out again and again by its
// cache.  `table["trading_date"]` on a plain numpy.recarray is the field's
// values in place, so for such a table the field positions are worked out
// once and the values read straight from its memory, for as long as the
// table is alive with the same dtype, buffer and length.  Any other table
// (a replaced table function may return anything) is read through
// __getitem__ every time.

class ProfitColumns {
public:
    // Index of the first date >= key, as numpy's searchsorted (left).
    py::ssize_t search(std::int64_t key) const {
        py::ssize_t lo = 0, hi = n_;
        while (lo < hi) {
            py::ssize_t mid = lo + (hi - lo) / 2;
            if (date(mid) < key) lo = mid + 1; else hi = mid;
        }
        return lo;
    }
    py::ssize_t size() const { return n_; }
    std::int64_t date(py::ssize_t i) const {
        if (direct_) return dates_view_.get<std::int64_t>(i);
        std::int64_t v;
        std::memcpy(&v, reinterpret_cast<const char*>(dates_arr_.data()) + i * dates_arr_.strides(0), sizeof v);
        return v;
    }
    double profit(py::ssize_t i) {
        if (direct_) return profits_view_.get<double>(i);
        if (!profits_read_) {  // a default array_t is an empty array, not a null one
            profits_arr_ = py::array_t<double, py::array::forcecast>::ensure(table_["daily_profit"]);
            if (!profits_arr_) throw py::error_already_set();
            profits_read_ = true;
        }
        return profits_arr_.unchecked<1>()(i);
    }

    // The columns of `table`, from the remembered layout where it holds.
    static ProfitColumns of(const py::object& table);

private:
    ProfitColumns() = default;

    bool direct_ = false;
    bool profits_read_ = false;
    py::ssize_t n_ = 0;
    py::object table_;
    tmf::RecordFieldView dates_view_{py::array(), ""};
    tmf::RecordFieldView profits_view_{py::array(), ""};
    py::array_t<std::int64_t, py::array::forcecast> dates_arr_;
    py::array_t<double, py::array::forcecast> profits_arr_;
};

// What is remembered of a plain recarray table: checked on every use.
struct ProfitLayout {
    py::object ref;           // weak reference to the table
    PyObject* descr = nullptr;
    const void* data = nullptr;
    py::ssize_t size = 0;
    tmf::RecordFieldView dates{py::array(), ""};
    tmf::RecordFieldView profits{py::array(), ""};
};

std::unordered_map<PyObject*, ProfitLayout>& profit_layouts() {
    static auto* layouts = new std::unordered_map<PyObject*, ProfitLayout>();
    return *layouts;
}

ProfitColumns ProfitColumns::of(const py::object& table) {
    ProfitColumns c;
    c.table_ = table;
    if (G->recarray_type && Py_TYPE(table.ptr()) == reinterpret_cast<PyTypeObject*>(G->recarray_type)) {
        py::array records = py::reinterpret_borrow<py::array>(table);
        if (records.ndim() == 1) {
            py::object descr = getattr(table, N->dtype);
            auto& layouts = profit_layouts();
            auto it = layouts.find(table.ptr());
            const bool same = it != layouts.end() && PyWeakref_GetObject(it->second.ref.ptr()) == table.ptr() &&
                              it->second.descr == descr.ptr() && it->second.data == records.data() &&
                              it->second.size == records.shape(0);
            if (!same) {
                if (it != layouts.end()) layouts.erase(it);
                tmf::RecordFieldView dates(records, "trading_date"), profits(records, "daily_profit");
                if (dates.holds<std::int64_t>() && profits.holds<double>()) {
                    if (layouts.size() >= 4096) layouts.clear();
                    ProfitLayout layout;
                    layout.ref = steal(PyWeakref_NewRef(table.ptr(), nullptr));
                    layout.descr = descr.ptr();
                    layout.data = records.data();
                    layout.size = records.shape(0);
                    layout.dates = dates;
                    layout.profits = profits;
                    it = layouts.emplace(table.ptr(), std::move(layout)).first;
                } else {
                    it = layouts.end();
                }
            }
            if (it != layouts.end()) {
                c.direct_ = true;
                c.n_ = it->second.size;
                c.dates_view_ = it->second.dates;
                c.profits_view_ = it->second.profits;
                return c;
            }
        }
    }
    c.dates_arr_ = py::array_t<std::int64_t, py::array::forcecast>::ensure(table["trading_date"]);
    if (!c.dates_arr_) throw py::error_already_set();
    c.n_ = c.dates_arr_.unchecked<1>().shape(0);  // raises for a table of the wrong shape
    return c;
}

// ---------------------------------------------------------------------------
// The daily-profit table: every bar is attributed to the first exchange
// trading date on or after its own date, and the profits of a trading date
// are summed.  Bars after the last calendar date have no trading date and are
// left out; NaN profits count as nothing (a date with only NaN sums to 0.0).
// The sum is the compensated one that pandas' groupby sum uses, so the table
// is bit-identical to the merge_asof/groupby formulation.

int days_in_month(long y, long m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

bool valid_ymd(long key) {
    long y = key / 10000, m = key / 100 % 100, d = key % 100;
    return y >= 1000 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= days_in_month(y, m);
}

std::vector<std::int64_t> bar_dates(const py::array& raw, py::handle order_book_id) {
    std::vector<std::int64_t> out(static_cast<std::size_t>(raw.size()));
    const char kind = raw.dtype().kind();
    if (kind == 'i' || kind == 'u') {
        auto a = py::array_t<std::int64_t, py::array::forcecast>::ensure(raw);
        if (!a) throw py::error_already_set();
        auto v = a.unchecked<1>();
        for (py::ssize_t i = 0; i < v.shape(0); ++i) out[static_cast<std::size_t>(i)] = v(i) / 1000000;
    } else if (kind == 'f') {
        auto a = py::array_t<double, py::array::forcecast>::ensure(raw);
        if (!a) throw py::error_already_set();
        auto v = a.unchecked<1>();
        for (py::ssize_t i = 0; i < v.shape(0); ++i) {
            if (std::isnan(v(i))) {
                tmf::raise_with(PyExc_ValueError,
                                tmf::format("bar {} of {} has no datetime", i, order_book_id));
            }
            out[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(std::floor(v(i) / 1000000.0));
        }
    } else {
        tmf::raise_with(PyExc_TypeError,
                        tmf::format("bar datetime of {} must be YYYYMMDDhhmmss integers, got dtype {}",
                                    order_book_id, raw.dtype()));
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!valid_ymd(static_cast<long>(out[i]))) {
            tmf::raise_with(PyExc_ValueError,
                            tmf::format("bar datetime {} of {} is not a valid date",
                                        out[i] * 1000000, order_book_id));
        }
        if (i > 0 && out[i] < out[i - 1]) {
            tmf::raise_with(PyExc_ValueError,
                            tmf::format("bars of {} are not in date order at {}",
                                        order_book_id, out[i] * 1000000));
        }
    }
    return out;
}

struct DailyProfitRecord {
    std::int64_t trading_date;
    double daily_profit;
};
static_assert(sizeof(DailyProfitRecord) == 16, "record layout must match '<i8','<f8'");

// The calendar table's dates as YYYYMMDD integers.  The host utility turns
// them into integers whatever the datetime64 resolution; the table is
// cached (the same object for a whole run), so its conversion is kept with
// it and redone only for another table.
py::array calendar_keys(const py::object& trading_dates) {
    static py::object* table = new py::object();  // never freed: outlives the interpreter's teardown order
    static py::object* keys = new py::object();
    if (table->ptr() != trading_dates.ptr()) {
        py::object converted = global("convert_date_to_date_int")(trading_dates["trading_date"]);
        *keys = py::array(converted);
        *table = trading_dates;
    }
    return keys->cast<py::array>();
}

py::object build_daily_profit(py::handle order_book_id, const py::array& dt_raw,
                              const py::array& profit_raw, const py::array& calendar_raw) {
    if (dt_raw.ndim() != 1 || profit_raw.ndim() != 1 || dt_raw.size() != profit_raw.size()) {
        tmf::raise_with(PyExc_ValueError,
                        tmf::format("bars of {} must be a one-dimensional record array", order_book_id));
    }
    std::vector<std::int64_t> dates = bar_dates(dt_raw, order_book_id);
    auto profit_arr = py::array_t<double, py::array::forcecast>::ensure(profit_raw);
    auto cal_arr = py::array_t<std::int64_t, py::array::forcecast>::ensure(calendar_raw);
    if (!profit_arr || !cal_arr) throw py::error_already_set();
    auto profit = profit_arr.unchecked<1>();
    auto cal = cal_arr.unchecked<1>();
    const py::ssize_t nc = cal.shape(0);
    for (py::ssize_t j = 1; j < nc; ++j) {
        if (cal(j) < cal(j - 1)) {
            tmf::raise_with(PyExc_ValueError, py::str("the exchange trading calendar is not ascending"));
        }
    }

    std::vector<DailyProfitRecord> records;
    py::ssize_t j = 0;
    py::ssize_t group = -1;  // calendar index of the open record
    double sum = 0.0, compensation = 0.0;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        while (j < nc && cal(j) < dates[i]) ++j;
        if (j == nc) break;  // this bar and all later ones lie past the calendar
        if (j != group) {
            if (group >= 0) records.push_back({cal(group), sum});
            group = j;
            sum = compensation = 0.0;
        }
        const double val = profit(static_cast<py::ssize_t>(i));
        if (val != val) continue;
        const double y = val - compensation;
        const double t = sum + y;
        compensation = t - sum - y;
        // an infinite addend makes the compensation NaN; keep the infinity
        if (compensation != compensation) compensation = 0.0;
        sum = t;
    }
    if (group >= 0) records.push_back({cal(group), sum});

    py::list fields;
    fields.append(py::make_tuple("trading_date", "<i8"));
    fields.append(py::make_tuple("daily_profit", "<f8"));
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(records.size())};
    py::array out(py::dtype::from_args(fields), shape);
    if (!records.empty()) {
        std::memcpy(out.mutable_data(), records.data(), records.size() * sizeof(DailyProfitRecord));
    }
    py::object recarray = py::module_::import("numpy").attr("recarray");
    return out.attr("view")(recarray);
}

// ---------------------------------------------------------------------------
// The daily entry points and the valuation, called by the engine for every
// position every day.

py::object equity(py::handle self) {
    // StockPosition.equity as the base class has it now, read for self.
    py::object descr = getattr(G->stock_position, N->equity);
    descrgetfunc get = Py_TYPE(descr.ptr())->tp_descr_get;
    py::object base = get ? steal(get(descr.ptr(), self.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))))
                          : descr.attr("__get__")(self, py::type::handle_of(self));
    return steal(PyNumber_Add(base.ptr(), queue_sum(self, Field::redeem_queue).ptr()));
}

// quantity == 0, on C doubles when it is a float.
bool is_zero(py::handle quantity) {
    if (PyFloat_CheckExact(quantity.ptr())) return PyFloat_AS_DOUBLE(quantity.ptr()) == 0.0;
    return equal(quantity, G->zero);
}

// delta_cash += amount.  Most days every handler gives the int 0, and an
// int plus the int 0 is that int: no addition is made for it.
void add_cash(py::object& delta_cash, const py::object& amount) {
    if (amount.ptr() == G->zero.ptr() && PyLong_CheckExact(delta_cash.ptr())) return;
    delta_cash = steal(PyNumber_InPlaceAdd(delta_cash.ptr(), amount.ptr()));
}

// FundPosition.apply_trade(self, trade): called for every fund trade, so a
// plain vectorcall function (see fast_call.hpp).
py::object apply_trade(py::handle self_arg, py::handle trade_arg) {
    py::object self = py::reinterpret_borrow<py::object>(self_arg);
    py::object trade = py::reinterpret_borrow<py::object>(trade_arg);
    py::handle StockPosition = G->stock_position;
    py::object effect = getattr(trade, N->position_effect);
    const bool is_open = tmf::equals_member(effect, G->effect_open);
    const bool is_close = !is_open && tmf::equals_member(effect, G->effect_close);
    if (!is_open && !is_close) {
        // Refused before the base class books anything, so the
        // holding never changes without its cash reaching the account.
        tmf::raise_with(PyExc_NotImplementedError,
                        tmf::format("{} does not support position effect {}",
                                    py::type::handle_of(self).attr("__name__"), effect));
    }
    if (is_close) {
        // Units still on their way cannot be redeemed; the base class
        // only knows the expected holding, which includes them.
        py::object received = received_quantity(self);
        py::object wanted = getattr(trade, N->last_quantity);
        if (truthy(steal(PyObject_RichCompare(
                wanted.ptr(), add(received, py::float_(1e-8)).ptr(), Py_GT)))) {
            tmf::raise_with(PyExc_ValueError,
                            tmf::format("cannot redeem {} units of {}: only {} units have arrived",
                                        wanted, field(self, Field::order_book_id_), received));
        }
    }
    py::object trading_dt = getattr(trade, N->trading_datetime);
    // The arrival date and the trade's date are fixed before the trade
    // is applied: a calendar error or a trade without a usable time then
    // leaves the position untouched instead of losing the trade's units
    // or cash.
    py::object dt = next_trading_datetime(
        self, trading_dt, is_open ? N->subscription_receiving_days : N->redemption_receiving_days);
    py::object trade_date = call_attr(trading_dt, N->date);
    py::object delta_cash = round4(call(getattr(StockPosition, N->apply_trade), self, trade));
    setattr(self, N->quantity_, round4(field(self, Field::quantity_)));
    if (is_open) {
        append(field(self, Field::subscribe_queue), py::make_tuple(dt, getattr(trade, N->last_quantity)));
        call_method(self, N->handle_subscribe_units, trade_date);
        return delta_cash;
    }
    append(field(self, Field::redeem_queue), py::make_tuple(dt, delta_cash));
    return call_method(self, N->handle_redeem_value, trade_date);
}

py::object before_trading(py::handle self, py::handle trading_date) {
    py::object delta_cash = call(getattr(global(N->Position), N->before_trading), self, trading_date);
    if (is_zero(field(self, Field::quantity_)) && !truthy(field(self, Field::redeem_queue)) &&
        !truthy(field(self, Field::dividend_receivable_))) {
        return py::int_(0);
    }
    py::object data_proxy = getattr(call_attr(global(N->Environment), N->get_instance), N->data_proxy);
    add_cash(delta_cash, call_method(self, N->handle_redeem_value, trading_date));
    add_cash(delta_cash, call_method(self, N->handle_accrued, trading_date));
    if (truthy(field(self, Field::able_dividend_))) {
        call_method(self, N->handle_book_closure, trading_date, data_proxy);
        add_cash(delta_cash, call_method(self, N->handle_payable, trading_date));
        call_method(self, N->handle_split, trading_date, data_proxy);
    }
    call_method(self, N->handle_subscribe_units, trading_date);
    return delta_cash;
}

py::object settlement(py::handle self, py::handle trading_date) {
    if (truthy(field(self, Field::able_dividend_)) && truthy(field(self, Field::dividend_receivable_)) &&
        truthy(field(self, Field::fund_dividend_reinvestment))) {
        call_method(self, N->deal_reinvestment, trading_date);
        call_method(self, N->handle_subscribe_units, trading_date);
    }
    return py::int_(0);
}

}  // namespace

PYBIND11_MODULE(position, m) {
    m.doc() = "Fund position with subscription and redemption queues.";
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    tmf::LruFunction::bind(m);

    N = new Names();
    G = new Globals();
    G->module = py::reinterpret_borrow<py::object>(m);
    G->module_dict = PyModule_GetDict(m.ptr());
    G->recarray_type = py::module_::import("numpy").attr("recarray").ptr();

    // Module-level names, in this order.
    py::module_ dt_mod = py::module_::import("datetime");
    m.attr("date") = dt_mod.attr("date");
    m.attr("datetime") = dt_mod.attr("datetime");
    m.attr("lru_cache") = tmf::import_attr("functools", "lru_cache");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("convert_date_to_date_int") = tmf::import_attr("tessel.utils.datetime_func", "convert_date_to_date_int");
    py::module_ const_mod = py::module_::import("tessel.const");
    m.attr("INSTRUMENT_TYPE") = const_mod.attr("INSTRUMENT_TYPE");
    m.attr("POSITION_EFFECT") = const_mod.attr("POSITION_EFFECT");
    m.attr("SIDE") = const_mod.attr("SIDE");
    m.attr("TRADING_CALENDAR_TYPE") = const_mod.attr("TRADING_CALENDAR_TYPE");
    m.attr("Environment") = tmf::import_attr("tessel.environment", "Environment");
    py::module_ pm = py::module_::import("tessel.mod.tessel_mod_sys_accounts.position_model");
    m.attr("StockPosition") = pm.attr("StockPosition");
    m.attr("StockPositionProxy") = pm.attr("StockPositionProxy");
    m.attr("Trade") = tmf::import_attr("tessel.model.trade", "Trade");
    m.attr("Position") = tmf::import_attr("tessel.portfolio.position", "Position");

    G->datetime_cls = m.attr("datetime");
    G->instrument_type = m.attr("INSTRUMENT_TYPE");
    G->position_effect = m.attr("POSITION_EFFECT");
    G->stock_position = m.attr("StockPosition");
    G->stock_position_proxy = m.attr("StockPositionProxy");
    G->public_fund = G->instrument_type.attr("PUBLIC_FUND");
    G->effect_open = G->position_effect.attr("OPEN");
    G->effect_close = G->position_effect.attr("CLOSE");
    G->zero = py::int_(0);

    py::object StockPosition = G->stock_position;

    // --- _accrued_fund: the instrument's daily-accrual flag, cached for the
    // two most recent positions (the constructor and the daily accrual both
    // ask for it).
    py::object accrued_fund_getter = tmf::lru_cached(
        [](const py::args& args, const py::kwargs&) -> py::object {
            return accrued_fund_of(args[0]);
        },
        2, "_accrued_fund");

    tmf::ClassBuilder cls("FundPosition", m, StockPosition);
    cls.doc("_quantity: 预期持仓份额 = 已到账份额 + 未到账份额\n"
            "_old_quantity: _logical_old_quantity + 今日对昨仓的操作\n"
            "_logical_old_quantity: 今日开盘时已到账的份额");
    cls.attr("__instrument_types__", py::make_tuple(G->public_fund));

    cls.def(
        "__init__",
        [StockPosition](py::object self, py::object order_book_id, py::object direction,
                        py::object init_quantity, py::object init_price) {
            StockPosition.attr("__init__")(self, order_book_id, direction, init_quantity, init_price);
            // The fund's id, kept by the base where it keeps it under this
            // name, else by this class.
            if (!py::hasattr(self, N->order_book_id_)) setattr(self, N->order_book_id_, order_book_id);
            py::object env = global("Environment").attr("get_instance")();
            py::object fund_cfg = env.attr("config").attr("mod").attr("fund");
            self.attr("subscription_receiving_days") = fund_cfg.attr("subscription_receiving_days");
            self.attr("redemption_receiving_days") = fund_cfg.attr("redemption_receiving_days");
            // The accrual flag is only looked up when the NAV type alone does
            // not decide; it reads the _env the base initialiser left.
            py::object unit = steal(PyObject_RichCompare(fund_cfg.attr("fund_nav_type").ptr(),
                                                         py::str("unit").ptr(), Py_EQ));
            self.attr("_able_dividend") = truthy(unit) ? unit : getattr(self, N->accrued_fund_);
            self.attr("subscribe_queue") = py::list();
            self.attr("redeem_queue") = py::list();
            self.attr("fund_dividend_reinvestment") =
                env.attr("config").attr("mod").attr("sys_accounts").attr("dividend_reinvestment");
            self.attr("accrued_daily") =
                env.attr("data_proxy").attr("instruments")(order_book_id).attr("accrued_daily");
            setattr(self, N->env_, env);
        },
        py::arg("self"), py::arg("order_book_id"), py::arg("direction"), py::arg("init_quantity") = 0,
        py::arg("init_price") = py::none());

    cls.attr("equity", tmf::property_of(tmf::fast_getter("equity", "equity(arg0: object) -> object\n", &equity, m),
                                        "净值 = 预期持仓金额 + 赎回金额"));

    cls.def(
        "get_state",
        [StockPosition](py::object self) {
            py::object state = tmf::call_base(StockPosition, "get_state", self);
            // Copies, so a saved state does not change with later trades.
            state["subscribe_queue"] = copy_list(field(self, Field::subscribe_queue));
            state["redeem_queue"] = copy_list(field(self, Field::redeem_queue));
            return state;
        },
        py::arg("self"));

    cls.def(
        "set_state",
        [StockPosition](py::object self, py::object state) {
            // Check the saved queues before anything is restored, so a bad
            // state leaves the position as it was.
            py::list restored[2];
            const char* keys[2] = {"subscribe_queue", "redeem_queue"};
            for (int k = 0; k < 2; ++k) {
                py::object value = state.attr("get")(keys[k]);
                if (value.is_none() || !truthy(value)) continue;
                py::list entries = copy_list(value);
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
                    py::handle entry = PyList_GET_ITEM(entries.ptr(), i);
                    bool ok = (PyTuple_Check(entry.ptr()) || PyList_Check(entry.ptr())) &&
                              PySequence_Size(entry.ptr()) == 2;
                    if (ok) {
                        py::object first = steal(PySequence_GetItem(entry.ptr(), 0));
                        ok = PyDate_Check(first.ptr());
                    }
                    if (!ok) {
                        tmf::raise_with(PyExc_ValueError,
                                        tmf::format("state[{!r}][{}] must be a pair (arrival datetime, amount), got {!r}",
                                                    keys[k], i, entry));
                    }
                }
                restored[k] = entries;
            }
            tmf::call_base(StockPosition, "set_state", self, state);
            setattr(self, N->subscribe_queue, restored[0]);
            setattr(self, N->redeem_queue, restored[1]);
        },
        py::arg("self"), py::arg("state"));

    cls.attr("apply_trade", tmf::fast_method("apply_trade", "trade",
                                              "apply_trade(self: object, trade: object) -> object\n", &apply_trade, m));

    cls.attr("before_trading", tmf::fast_method("before_trading", "trading_date",
                                                 "before_trading(self: object, trading_date: object) -> object\n",
                                                 &before_trading, m));

    cls.def(
        "_date_to_datetime",
        own(N->date_to_datetime, [](py::object, py::object trading_date) {
            int y, mo, d;
            if (PyDate_Check(trading_date.ptr())) {
                y = PyDateTime_GET_YEAR(trading_date.ptr());
                mo = PyDateTime_GET_MONTH(trading_date.ptr());
                d = PyDateTime_GET_DAY(trading_date.ptr());
            } else {
                y = getattr(trading_date, N->year).cast<int>();
                mo = getattr(trading_date, N->month).cast<int>();
                d = getattr(trading_date, N->day).cast<int>();
            }
            return steal(PyDateTime_FromDateAndTime(y, mo, d, 0, 0, 0, 0));
        }),
        py::arg("self"), py::arg("trading_date"));

    cls.def(
        "_handle_dividend_book_closure",
        own(N->handle_book_closure, [](py::object self, py::object trading_date, py::object data_proxy) {
            py::object last_date = call_attr(data_proxy, N->get_previous_trading_date, trading_date);
            py::object order_book_id = field(self, Field::order_book_id_);
            py::object dividend = call_attr(data_proxy, N->get_dividend_by_book_date, order_book_id, last_date);
            if (dividend.is_none() || py::len(dividend) == 0) return;

            // Several dividends booked on one date add up, in record order.
            auto cash = py::array_t<double, py::array::forcecast>::ensure(dividend["dividend_cash_before_tax"]);
            auto lot = py::array_t<double, py::array::forcecast>::ensure(dividend["round_lot"]);
            if (!cash || !lot) throw py::error_already_set();
            auto c = cash.unchecked<1>();
            auto l = lot.unchecked<1>();
            double per_share = 0.0;
            for (py::ssize_t i = 0; i < c.shape(0); ++i) per_share += c(i) / l(i);
            if (per_share != per_share) {
                tmf::raise_with(PyExc_RuntimeError,
                                tmf::format("Dividend per share of {} is not supposed to be nan.", order_book_id));
            }

            py::object first = dividend[py::int_(0)];
            py::object raw_date;
            try {
                raw_date = first["payable_date"];
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                raw_date = first["ex_dividend_date"];
            }
            // Parsed before any field changes, so a bad date leaves the
            // position as it was.
            py::object payable_date = parse_yyyymmdd(raw_date);
            py::float_ dps(per_share);
            py::object avg_price = sub(field(self, Field::avg_price_), dps);
            py::object value = mul(field(self, Field::quantity_), dps);
            setattr(self, N->avg_price_, avg_price);
            setattr(self, N->dividend_receivable_, py::make_tuple(payable_date, value));
        }),
        py::arg("self"), py::arg("trading_date"), py::arg("data_proxy"));

    cls.def(
        "_deal_dividend_reinvestment",
        own(N->deal_reinvestment, [](py::object self, py::object /*trading_date*/) {
            py::object receivable = field(self, Field::dividend_receivable_);
            py::object dt = next_trading_datetime(self, receivable[py::int_(0)], N->subscription_receiving_days);
            py::object amount = round4(div(receivable[py::int_(1)], getattr(self, N->last_price)));
            py::object quantity = add(field(self, Field::quantity_), amount);
            setattr(self, N->quantity_, quantity);
            append(field(self, Field::subscribe_queue), py::make_tuple(dt, amount));
            setattr(self, N->dividend_receivable_, py::none());
        }),
        py::arg("self"), py::arg("trading_date"));

    cls.def(
        "_handle_dividend_payable",
        own(N->handle_payable, [](py::object self, py::object trading_date) -> py::object {
            py::object receivable = field(self, Field::dividend_receivable_);
            if (!truthy(receivable)) return py::int_(0);
            auto [payable_date, dividend_value] = unpack2(receivable);
            // Paid on the first trading day on or after the payable date, so a
            // payable date that falls on a holiday does not strand the cash.
            bool due;
            if (PyDate_Check(payable_date.ptr()) && PyDate_Check(trading_date.ptr())) {
                due = date_key_of(trading_date.ptr()) >= date_key_of(payable_date.ptr());
            } else {
                due = equal(payable_date, trading_date);
            }
            if (!due) return py::int_(0);
            py::object value = dividend_value;
            if (!truthy(field(self, Field::fund_dividend_reinvestment))) {
                setattr(self, N->dividend_receivable_, py::none());
                return value;
            }
            // Reinvested at settlement, at the day's NAV: before the open the
            // position's last price is still yesterday's pre-dividend NAV, and
            // buying at it would hand the holder fewer units than the cash
            // is worth.
            return py::int_(0);
        }),
        py::arg("self"), py::arg("trading_date"));

    {
        py::options docs;
        docs.disable_function_signatures();
        cls.def(
            "_handle_subscribe_units",
            own(N->handle_subscribe_units, [](py::object self, py::object trading_date) {
                py::object queue_obj = field(self, Field::subscribe_queue);
                if (!truthy(queue_obj)) return;
                py::list queue = as_list(queue_obj);
                const long today = trading_date_key(trading_date);
                py::object old_q = field(self, Field::old_quantity_);
                py::object logical_q = field(self, Field::logical_old_quantity_);
                Py_ssize_t index = 0;
                // Walk until the first entry still on its way; the counters
                // are written only after the walk, so a malformed entry
                // leaves the position as it was.
                for (; index < PyList_GET_SIZE(queue.ptr()); ++index) {
                    py::object entry = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(queue.ptr(), index));
                    auto [dt, quantity] = unpack2(entry);
                    if (today < arrival_key(dt)) break;
                    old_q = round4(add(old_q, quantity));
                    logical_q = round4(add(logical_q, quantity));
                }
                setattr(self, N->old_quantity_, old_q);
                setattr(self, N->logical_old_quantity_, logical_q);
                setattr(self, N->subscribe_queue, tail(queue, index));
            }),
            py::arg("self"), py::arg("trading_date"), "将延期到账的份额增加到账户中");
    }

    cls.def(
        "_handle_redeem_value",
        own(N->handle_redeem_value, [](py::object self, py::object trading_date) -> py::object {
            py::object queue_obj = field(self, Field::redeem_queue);
            if (!truthy(queue_obj)) return py::int_(0);
            py::list queue = as_list(queue_obj);
            const long today = trading_date_key(trading_date);
            Sum total;
            Py_ssize_t index = 0;
            for (; index < PyList_GET_SIZE(queue.ptr()); ++index) {
                py::object entry = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(queue.ptr(), index));
                auto [dt, value] = unpack2(entry);
                if (today < arrival_key(dt)) break;
                total.add(value);
            }
            py::object result = round4(total.value());
            setattr(self, N->redeem_queue, tail(queue, index));
            return result;
        }),
        py::arg("self"), py::arg("trading_date"));

    cls.def(
        "_handle_accrued_daily_fund_dividend",
        own(N->handle_accrued, [](py::object self, py::object trading_date) -> py::object {
            if (!truthy(accrued_flag(self))) return py::int_(0);
            py::object quantity = getattr(self, N->quantity);
            py::object last_price = getattr(self, N->last_price);
            py::object received_equity = mul(quantity, last_price);
            if (equal(received_equity, G->zero)) return py::int_(0);

            py::object table = call(global(N->get_daily_profit), getattr(self, N->order_book_id));
            long key;
            if (PyDate_Check(trading_date.ptr())) {
                key = date_key_of(trading_date.ptr());
            } else {
                key = global("convert_date_to_date_int")(trading_date).cast<long>();
            }
            ProfitColumns columns = ProfitColumns::of(table);
            const py::ssize_t lo = columns.search(key);
            if (lo == columns.size() && delisted_before(self, key)) {
                // The fund's income ends with its delisting.  Units held
                // through it (its last days are often closed to redemption)
                // keep their value and earn nothing more, like any other
                // delisted fund's, instead of ending the whole run.
                return py::int_(0);
            }
            if (lo == columns.size() || columns.date(lo) != key) {
                tmf::raise_with(PyExc_RuntimeError, py::str("fund daily_profit 应每天都有对应的数据"));
            }
            py::float_ daily_profit(columns.profit(lo));
            py::object dividend_value = mul(div(received_equity, py::int_(10000)), daily_profit);
            py::object amount = round4(div(dividend_value, last_price));
            py::object dt = call_method(self, N->date_to_datetime, trading_date);
            setattr(self, N->quantity_, add(field(self, Field::quantity_), amount));
            append(field(self, Field::subscribe_queue), py::make_tuple(dt, amount));
            call_method(self, N->handle_subscribe_units, trading_date);
            return py::int_(0);
        }),
        py::arg("self"), py::arg("trading_date"));

    G->accrued_fund_getter = accrued_fund_getter;
    G->accrued_fund_lru = &tmf::lru_of(accrued_fund_getter);
    cls.attr("_accrued_fund", tmf::property_of(accrued_fund_getter));

    cls.def(
        "_handle_split",
        own(N->handle_split, [](py::object self, py::object trading_date, py::object data_proxy) {
            py::object ratio = call_attr(data_proxy, N->get_split_by_ex_date, field(self, Field::order_book_id_), trading_date);
            if (ratio.is_none()) return;
            // Everything is computed first and written afterwards, so a
            // failure (a zero ratio, a malformed queue entry) changes nothing.
            py::object quantity = round4(mul(field(self, Field::quantity_), ratio));
            py::object old_q = round4(mul(field(self, Field::old_quantity_), ratio));
            py::object logical_q = round4(mul(field(self, Field::logical_old_quantity_), ratio));
            py::object avg_price = div(field(self, Field::avg_price_), ratio);
            py::object prev_close = div(getattr(self, N->prev_close), ratio);
            py::object queue_obj = field(self, Field::subscribe_queue);
            py::list queue = as_list(queue_obj);
            std::vector<py::object> scaled;
            scaled.reserve(static_cast<std::size_t>(PyList_GET_SIZE(queue.ptr())));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(queue.ptr()); ++i) {
                auto [dt, units] = unpack2(PyList_GET_ITEM(queue.ptr(), i));
                scaled.push_back(py::make_tuple(dt, round4(mul(units, ratio))));
            }
            setattr(self, N->quantity_, quantity);
            setattr(self, N->old_quantity_, old_q);
            setattr(self, N->logical_old_quantity_, logical_q);
            setattr(self, N->avg_price_, avg_price);
            setattr(self, N->prev_close_, prev_close);
            for (std::size_t i = 0; i < scaled.size(); ++i) {
                queue_obj[py::int_(i)] = scaled[i];
            }
        }),
        py::arg("self"), py::arg("trading_date"), py::arg("data_proxy"));

    if (!py::hasattr(StockPosition, N->order_book_id)) {
        // The fund's id, read-only, where the base class does not offer it.
        cls.def_property("order_book_id", [](py::object self) { return field(self, Field::order_book_id_); });
    }
    // Read by the engine for every position every day: plain C getters.
    auto native_getter = [&m](const char* name, const char* doc, tmf::SelfBody body) {
        return tmf::fast_getter(name, doc, body, m);
    };
    cls.attr("receivable_quantity",
             tmf::property_of(native_getter("receivable_quantity", "receivable_quantity(arg0: object) -> object\n",
                                     [](py::handle self) { return queue_sum(self, Field::subscribe_queue); }),
                              "未到账份额"));
    cls.attr("receivable_cash",
             tmf::property_of(native_getter("receivable_cash", "receivable_cash(arg0: object) -> object\n",
                                     [](py::handle self) { return queue_sum(self, Field::redeem_queue); }),
                              "未到账金额"));
    cls.attr("quantity", tmf::property_of(native_getter("quantity", "quantity(arg0: object) -> object\n", &received_quantity),
                                          "已到账份额 = 预期持有份额 - 未到账份额"));
    cls.attr("closable",
             tmf::property_of(native_getter("closable", "closable(arg0: object) -> object\n", &received_quantity)));
    cls.attr("today_closable", tmf::property_of(native_getter("today_closable", "today_closable(arg0: object) -> object\n",
                                                       &received_quantity)));

    cls.attr("settlement", tmf::fast_method("settlement", "trading_date",
                                             "settlement(self: object, trading_date: object) -> object\n",
                                             &settlement, m));

    py::object fund_position = cls.build();
    for (OwnHandler& h : own_handlers()) {
        h.original = py::reinterpret_borrow<py::object>(
            _PyType_Lookup(reinterpret_cast<PyTypeObject*>(fund_position.ptr()), h.name));
    }
    G->accrued_fund_property = py::reinterpret_borrow<py::object>(
        _PyType_Lookup(reinterpret_cast<PyTypeObject*>(fund_position.ptr()), N->accrued_fund_));
    m.attr("FundPosition") = fund_position;

    tmf::ClassBuilder proxy("FundPositionProxy", m, G->stock_position_proxy);
    proxy.attr("__instrument_types__", py::make_tuple(G->public_fund));
    proxy.def_property("type", [](py::object) { return G->public_fund; });
    m.attr("FundPositionProxy") = proxy.build();

    // --- module functions used by the daily accrual -----------------------
    m.attr("_get_trading_dates") = tmf::lru_cached(
        [](const py::args& args, const py::kwargs& kwargs) -> py::object {
            if (!args.empty() || !kwargs.empty()) {
                tmf::raise_with(PyExc_TypeError, py::str("_get_trading_dates() takes no arguments"));
            }
            py::object calendars = global("Environment").attr("get_instance")().attr("data_source").attr("get_trading_calendars")();
            py::object trading_dates = calendars[global("TRADING_CALENDAR_TYPE").attr("EXCHANGE")];
            py::dict columns;
            columns["trading_date"] = trading_dates;
            return G->module.attr("pd").attr("DataFrame")(columns);
        },
        1, "_get_trading_dates");

    m.attr("_get_daily_profit") = tmf::lru_cached(
        [](const py::args& args, const py::kwargs& kwargs) -> py::object {
            // The one argument may come by position or by name, as for a
            // Python function; each spelling is its own cache entry.
            py::object order_book_id;
            if (args.size() == 1 && kwargs.empty()) {
                order_book_id = args[0];
            } else if (args.empty() && kwargs.size() == 1 && kwargs.contains("order_book_id")) {
                order_book_id = kwargs["order_book_id"];
            } else {
                tmf::raise_with(PyExc_TypeError,
                                py::str("_get_daily_profit() takes exactly one argument (order_book_id)"));
            }
            py::object env = global("Environment").attr("get_instance")();
            py::object bars = env.attr("mod_dict")["fund"].attr("get_bars")(order_book_id);
            py::object trading_dates = G->module.attr("_get_trading_dates")();
            py::array calendar = calendar_keys(trading_dates);
            py::array dt_raw = py::array(bars["datetime"]);
            py::array profit_raw = py::array(bars["daily_profit"]);
            return build_daily_profit(order_book_id, dt_raw, profit_raw, calendar);
        },
        1024, "_get_daily_profit");

    // Both tables describe the run's own data (its calendar, its funds'
    // bars): a later run in the same process, with other data, must not be
    // served the previous run's tables.
    for (const char* name : {"_get_trading_dates", "_get_daily_profit"}) {
        tmf::lru_of(m.attr(name)).set_scope([] { return global("Environment").attr("get_instance")(); });
    }
}
