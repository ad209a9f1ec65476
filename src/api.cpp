// tessel_mod_fund.api: the fund functions a strategy calls by name.
//
// The engine calls init_fund_api once system initialisation has finished
// (the plug-in registers it for POST_SYSTEM_INIT).  It exports the functions
// below into the strategy's namespace and makes strategies see fund bars one
// trading day late: a fund's NAV of day T is published only after day T's
// order cut-off, so a strategy deciding on day T knows NAVs up to T-1 while
// its order fills at T's NAV.  The day's subscribe/redeem status and limits
// are announced in advance and are read from day T.
//
// Every function resolves its fund through the engine and refuses unknown
// ids and non-fund instruments with a ValueError naming the id, before
// anything is ordered.  The rebalancing arithmetic (valuation, thresholds,
// limits, proportional scaling) runs natively over plain vectors; only the
// reads of positions, bars and orders and the final submissions go through
// the host objects.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "tmf/calls.hpp"
#include "tmf/errors.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"
#include "tmf/record_fields.hpp"
#include "tmf/rounding.hpp"

namespace py = pybind11;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Units are booked to 4 decimal places, cash to the cent.
constexpr double kUnitStep = 1e-4;
constexpr double kCashStep = 1e-2;

// Host names loaded with the module (it is only loaded by an active plug-in
// start-up, when the engine is fully importable).
struct Host {
    py::object environment;
    py::object order_cls;
    py::object public_fund;
    py::object buy;
    py::object sell;
    py::object open;
    py::object close;
    py::object stock_account;
    py::object convert_date_to_int;
    py::object fund_status;
    // Names read for every fund of a rebalance and every order, interned once.
    PyObject *get_instrument, *type, *order_book_id, *data_proxy, *get_bars, *broker, *submit_order,
        *from_create, *positions, *get, *closable, *cash, *equity, *quantity, *receivable_quantity,
        *receivable_cash, *side, *cash_amount, *unfilled_quantity, *get_bar, *subscribe_status, *redeem_status,
        *subscribe_lower_limit, *redeem_lower_limit, *subscribe_upper_limit, *invalid_state;
    py::object cash_amount_kw;  // ("cash_amount",)
};

Host& host() {
    static Host* h = new Host();  // never destroyed: outlives the interpreter's teardown
    return *h;
}

py::object current_env() { return host().environment.attr("get_instance")(); }

[[noreturn]] void value_error(const py::str& message) { tmf::raise_with(PyExc_ValueError, message); }

// ---------------------------------------------------------------------------
// argument checks

// The fund instrument for `order_book_id` (an id, or a symbol the catalogue
// resolves); unknown ids and instruments of other types are refused.
py::object resolve_fund(const py::object& env, const char* fn, py::handle order_book_id) {
    if (!py::isinstance<py::str>(order_book_id)) {
        value_error(tmf::format("{}: order_book_id must be a fund id text, got {!r}", fn, order_book_id));
    }
    const Host& h = host();
    py::object instrument = tmf::call_method(env, h.get_instrument, order_book_id);
    if (instrument.is_none()) value_error(tmf::format("{}: unknown fund {!r}", fn, order_book_id));
    py::object type = tmf::attr(instrument, h.type);
    // The member itself is not unequal to itself: no need to ask it.
    if (!type.is(h.public_fund) && type.not_equal(h.public_fund)) {
        value_error(tmf::format("{}: {!r} is not a public fund (instrument type {})", fn, order_book_id, type));
    }
    return instrument;
}

// The value of a real number; NaN for anything else (bools and texts included).
double number_or_nan(py::handle value) {
    if (py::isinstance<py::bool_>(value) || !PyNumber_Check(value.ptr())) return kNaN;
    double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return kNaN;
    }
    return x;
}

// A finite number > 0; bools, texts, NaN and infinities are refused.
double positive_number(const char* fn, const char* what, py::handle value) {
    double x = number_or_nan(value);
    if (!std::isfinite(x) || x <= 0.0) {
        value_error(tmf::format("{}: {} must be a finite number > 0, got {!r}", fn, what, value));
    }
    return x;
}

double as_double(py::handle value) {
    if (value.is_none()) return kNaN;
    double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return x;
}

// ---------------------------------------------------------------------------
// reading the bar array natively

// The fund's bar array (possibly empty).
py::array fund_bars(const py::object& env, py::handle order_book_id) {
    py::object bars = tmf::call_method(tmf::attr(env, host().data_proxy), host().get_bars, order_book_id);
    if (bars.is_none()) return py::array(py::dtype("f8"), 0);
    return py::reinterpret_borrow<py::array>(bars);
}

// Key (YYYYMMDDhhmmss) up to which bars are published for a strategy now:
// the end of the trading day before today, or 0 when the calendar has none.
std::uint64_t published_until(const py::object& env) {
    py::object trading_dt = env.attr("trading_dt");
    if (trading_dt.is_none()) {
        tmf::raise_with(PyExc_RuntimeError,
                        py::str("fund data is available to strategies only while the run is on a trading day"));
    }
    py::object previous;
    try {
        previous = env.attr("data_proxy").attr("get_previous_trading_date")(trading_dt.attr("date")(), 1);
    } catch (py::error_already_set& e) {
        // Today is the calendar's first day: nothing has been published yet.
        if (e.matches(PyExc_ValueError)) return 0;
        throw;
    }
    return host().convert_date_to_int(previous).cast<std::uint64_t>() + 235959u;
}

// Number of leading records dated on or before `until` (bars are in date order).
py::ssize_t visible_count(const py::array& bars, std::uint64_t until) {
    if (bars.ndim() != 1 || bars.shape(0) == 0 || until == 0) return 0;
    // Read only: the bar arrays are shared, cached objects.
    tmf::RecordFieldView dt(bars, "datetime");
    if (!dt.holds<std::uint64_t>()) {
        tmf::raise_with(PyExc_RuntimeError, py::str("fund bar array has no unsigned 64-bit 'datetime' field"));
    }
    py::ssize_t lo = 0, hi = bars.shape(0);
    while (lo < hi) {  // upper bound
        py::ssize_t mid = lo + (hi - lo) / 2;
        if (dt.get<std::uint64_t>(mid) <= until) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// The last non-NaN close among the first `count` records, or NaN.
double last_close(const py::array& bars, py::ssize_t count) {
    if (count <= 0) return kNaN;
    tmf::RecordFieldView close(bars, "close");
    if (close.holds<double>()) {
        for (py::ssize_t i = count - 1; i >= 0; --i) {
            double v = close.get<double>(i);
            if (!std::isnan(v)) return v;
        }
        return kNaN;
    }
    if (!close.present()) return kNaN;
    py::array values = py::array(bars[py::slice(0, count, 1)][py::str("close")]).attr("astype")("f8");
    auto view = values.cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
    for (py::ssize_t i = count - 1; i >= 0; --i) {
        if (!std::isnan(view.at(i))) return view.at(i);
    }
    return kNaN;
}

double published_nav(const py::object& env, py::handle order_book_id) {
    py::array bars = fund_bars(env, order_book_id);
    return last_close(bars, visible_count(bars, published_until(env)));
}

// ---------------------------------------------------------------------------
// orders

py::object submit(const py::object& env, py::object order) {
    py::object broker = tmf::attr(env, host().broker);
    if (broker.is_none()) tmf::raise_with(PyExc_RuntimeError, py::str("no broker is set up for this run"));
    return tmf::call_method(broker, host().submit_order, order);
}

py::object subscribe_order(const py::object& env, const py::object& order_book_id, double cash_amount) {
    const Host& h = host();
    py::object order = tmf::call_kw(tmf::attr(h.order_cls, h.from_create), h.cash_amount_kw, order_book_id, py::none(),
                                    h.buy, py::none(), h.open, py::float_(cash_amount));
    return submit(env, order);
}

py::object redeem_order(const py::object& env, const py::object& order_book_id, double quantity) {
    const Host& h = host();
    py::object order = tmf::call_method(h.order_cls, h.from_create, order_book_id, py::float_(quantity), h.sell,
                                        py::none(), h.close);
    return submit(env, order);
}

py::object stock_account(const py::object& env) {
    py::object portfolio = env.attr("portfolio");
    if (portfolio.is_none()) tmf::raise_with(PyExc_RuntimeError, py::str("no portfolio is set up for this run"));
    return portfolio.attr("get_account")(host().stock_account);
}

py::list open_orders(const py::object& env) {
    py::object broker = env.attr("broker");
    if (broker.is_none() || !py::hasattr(broker, "get_open_orders")) return py::list();
    return py::list(broker.attr("get_open_orders")());
}

// Units of `order_book_id` already being redeemed by today's open orders.
double pending_redemption(const py::list& orders, const py::object& order_book_id) {
    double units = 0.0;
    for (auto o : orders) {
        if (py::object(o.attr("order_book_id")).equal(order_book_id) &&
            py::object(o.attr("side")).equal(host().sell)) {
            units += as_double(o.attr("unfilled_quantity"));
        }
    }
    return units;
}

py::object do_redeem_all(const py::object& env, const py::object& order_book_id) {
    py::object position = stock_account(env).attr("positions").attr("get")(order_book_id);
    if (position.is_none()) return py::none();
    double closable = as_double(position.attr("closable")) - pending_redemption(open_orders(env), order_book_id);
    closable = tmf::round4(closable);
    if (!(closable >= kUnitStep)) return py::none();
    return redeem_order(env, order_book_id, closable);
}

// ---------------------------------------------------------------------------
// rebalancing

// One fund as the rebalance sees it; all amounts in cash except the unit
// counts.  Filled from the host, then planned natively.
struct Leg {
    py::object order_book_id;
    double weight = 0.0;       // target share of total value
    double nav = kNaN;         // latest published NAV (T-1)
    double value = 0.0;        // held value incl. units on their way and today's open orders
    double closable = 0.0;     // units that may be redeemed now (minus open redemptions)
    double sub_lower = 0.0;    // smallest subscription accepted today (0: none)
    double sub_room = std::numeric_limits<double>::infinity();  // subscription still allowed today
    double red_lower = 0.0;    // smallest redemption in units, unless the whole holding
    bool can_subscribe = true;
    bool can_redeem = true;
    // results
    double redeem_units = 0.0;
    double subscribe_cash = 0.0;
};

// Units rounded down to the booking step.  The small nudge keeps
// 0.3 / 1e-4 (= 2999.9999...) from losing a step; callers cap the result at
// the closable units, so it can never redeem more than is there.
double floor_units(double x) {
    if (!(x > 0.0)) return 0.0;
    return tmf::round4(std::floor(x / kUnitStep + 1e-7) * kUnitStep);
}

// Cash rounded down to the cent, never up: the amounts of a scaled-down
// rebalance must add up to no more than the cash at hand.
double floor_cash(double x) {
    if (!(x > 0.0)) return 0.0;
    double cents = std::floor(x / kCashStep);
    // Past 2**53 cents doubles lie more than a cent apart, so x is a whole
    // number of cents already (round(x, 2) gives it back), and a cent less
    // would not even be a different double.
    if (!(cents < 0x1p53)) return x;
    while (cents > 0.0 && tmf::round_to(cents * kCashStep, 2) > x) cents -= 1.0;
    return tmf::round_to(cents * kCashStep, 2);
}

// Decides the redemptions and subscriptions that move `legs` towards their
// weights.  `total` is the account's value, `cash` what may be spent now.
void plan_rebalance(std::vector<Leg>& legs, double total, double cash, double min_move) {
    const double threshold = min_move * total;
    // Redemptions: a fund whose weight is 0 is emptied whatever the amount,
    // so that small remainders do not linger.
    for (Leg& leg : legs) {
        double excess = leg.value - leg.weight * total;
        if (excess <= 0.0 || !leg.can_redeem || leg.closable < kUnitStep) continue;
        double units;
        if (leg.weight == 0.0) {
            units = leg.closable;
        } else {
            if (excess < threshold || !(leg.nav > 0.0)) continue;
            units = std::min(floor_units(excess / leg.nav), leg.closable);
        }
        const bool whole = units >= leg.closable - kUnitStep / 2;
        if (whole) units = leg.closable;
        if (units < kUnitStep || (!whole && units < leg.red_lower)) continue;
        leg.redeem_units = units;
    }
    // Subscriptions: wanted amounts, capped by today's room, then scaled down
    // together when cash is short.  Scaling may push a fund below its
    // minimum subscription; such funds are dropped and the cash they would
    // have had is shared among the rest, until every remaining amount fits.
    std::vector<std::size_t> active;
    std::vector<double> want(legs.size(), 0.0);
    for (std::size_t i = 0; i < legs.size(); ++i) {
        Leg& leg = legs[i];
        double shortfall = leg.weight * total - leg.value;
        if (shortfall <= 0.0 || !leg.can_subscribe) continue;
        if (shortfall < threshold || shortfall < leg.sub_lower) continue;
        want[i] = std::min(shortfall, leg.sub_room);
        if (want[i] >= kCashStep && want[i] >= leg.sub_lower) active.push_back(i);
    }
    if (!(cash >= kCashStep)) return;
    double scale = 1.0;
    for (;;) {
        double sum = 0.0;
        for (std::size_t i : active) sum += want[i];
        scale = sum > cash ? cash / sum : 1.0;
        auto keep = std::remove_if(active.begin(), active.end(), [&](std::size_t i) {
            double amount = want[i] * scale;
            return amount < kCashStep || amount < legs[i].sub_lower;
        });
        if (keep == active.end()) break;
        active.erase(keep, active.end());
    }
    for (std::size_t i : active) legs[i].subscribe_cash = floor_cash(want[i] * scale);
}

bool setting(const py::object& env, const char* key) {
    py::object section = env.attr("config").attr("mod").attr("fund");
    return tmf::truthy(tmf::getattr_or(section, key, py::bool_(true)));
}

bool status_refuses(py::handle status) {
    return tmf::call_method(host().fund_status, host().invalid_state, status).cast<bool>();
}

double limit_or(py::handle value, double fallback) {
    double x = as_double(value);
    return std::isnan(x) ? fallback : x;
}

py::list rebalance(py::object weights, py::object min_move_arg) {
    const Host& h = host();
    const char* fn = "order_target_fund_weights";
    py::object env = current_env();
    if (!py::hasattr(weights, "items")) {
        value_error(tmf::format("{}: weights must be a mapping of fund id to weight, got {!r}", fn, weights));
    }
    const double min_move = number_or_nan(min_move_arg);
    if (!std::isfinite(min_move) || min_move < 0.0 || min_move >= 1.0) {
        value_error(tmf::format("{}: min_move must be a fraction in [0, 1), got {!r}", fn, min_move_arg));
    }

    std::vector<Leg> legs;
    py::dict index;  // order book id -> position in legs
    double weight_sum = 0.0;
    for (auto item : weights.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        py::object instrument = resolve_fund(env, fn, kv[0]);
        py::object oid = tmf::attr(instrument, h.order_book_id);
        if (index.contains(oid)) value_error(tmf::format("{}: fund {!r} is named twice", fn, oid));
        double w = number_or_nan(kv[1]);
        if (!std::isfinite(w) || w < 0.0 || w > 1.0) {
            value_error(tmf::format("{}: weight of {!r} must be a number between 0 and 1, got {!r}", fn, oid, kv[1]));
        }
        weight_sum += w;
        index[oid] = legs.size();
        Leg leg;
        leg.order_book_id = oid;
        leg.weight = w;
        legs.push_back(std::move(leg));
    }
    if (weight_sum > 1.0 + 1e-9) {
        value_error(tmf::format("{}: weights add up to {}, more than 1", fn, tmf::round4(weight_sum)));
    }

    py::object account = stock_account(env);
    py::dict positions = py::reinterpret_borrow<py::dict>(tmf::attr(account, h.positions));
    // Funds held but not named go to 0.
    for (auto item : positions) {
        py::object oid = py::reinterpret_borrow<py::object>(item.first);
        if (index.contains(oid)) continue;
        py::object instrument = tmf::call_method(env, h.get_instrument, oid);
        if (instrument.is_none()) continue;
        py::object type = tmf::attr(instrument, h.type);
        if (!type.is(h.public_fund) && type.not_equal(h.public_fund)) continue;
        index[oid] = legs.size();
        Leg leg;
        leg.order_book_id = oid;
        legs.push_back(std::move(leg));
    }

    const bool status_limit = setting(env, "status_limit");
    const bool amount_limit = setting(env, "subscription_limit");
    const std::uint64_t until = published_until(env);
    py::list pending = open_orders(env);

    // Value: cash plus every position; funds at their published NAV with the
    // units still on their way and the redemption cash still owed.
    double cash = as_double(tmf::attr(account, h.cash));
    double total = cash;
    for (auto item : positions) {
        py::object oid = py::reinterpret_borrow<py::object>(item.first);
        py::handle position = item.second;
        if (!index.contains(oid)) {
            total += as_double(tmf::attr(position, h.equity));
            continue;
        }
        Leg& leg = legs[index[oid].cast<std::size_t>()];
        py::array bars = fund_bars(env, oid);
        leg.nav = last_close(bars, visible_count(bars, until));
        double units = as_double(tmf::attr(position, h.quantity));
        units += as_double(tmf::attr(position, h.receivable_quantity));
        if (units > 0.0 && !(leg.nav > 0.0)) {
            value_error(tmf::format("{}: no published NAV to value the holding of {!r}", fn, oid));
        }
        leg.value = units > 0.0 ? units * leg.nav : 0.0;
        leg.closable = as_double(tmf::attr(position, h.closable));
        total += leg.value + as_double(tmf::attr(position, h.receivable_cash));
    }
    // Today's open orders count as done: their cash is spoken for and their
    // funds are valued as if filled, so a second call the same day does not
    // order the same move again.
    for (auto o : pending) {
        py::object oid = o.attr("order_book_id");
        const bool buy = py::object(o.attr("side")).equal(h.buy);
        py::object amount = o.attr("cash_amount");
        double nav = kNaN;
        Leg* leg = index.contains(oid) ? &legs[index[oid].cast<std::size_t>()] : nullptr;
        if (leg && leg->nav > 0.0) nav = leg->nav;
        if (std::isnan(nav)) nav = published_nav(env, oid);
        double cash_value = amount.is_none() ? as_double(o.attr("unfilled_quantity")) * nav : as_double(amount);
        if (std::isnan(cash_value)) continue;
        if (buy) {
            cash -= cash_value;
            if (leg) {
                leg->value += cash_value;
                leg->sub_room -= cash_value;
            }
        } else if (leg) {
            leg->value -= cash_value;
            leg->closable -= as_double(o.attr("unfilled_quantity"));
        }
    }

    // Today's status and limits (announced in advance, so day T's are known).
    for (Leg& leg : legs) {
        if (std::isnan(leg.nav)) leg.nav = published_nav(env, leg.order_book_id);
        py::object bar = tmf::call_method(env, h.get_bar, leg.order_book_id);
        if (status_limit) {
            leg.can_subscribe = !status_refuses(tmf::attr(bar, h.subscribe_status));
            leg.can_redeem = !status_refuses(tmf::attr(bar, h.redeem_status));
        }
        if (amount_limit) {
            leg.sub_lower = limit_or(tmf::getattr_or(bar, h.subscribe_lower_limit, py::none()), 0.0);
            leg.red_lower = limit_or(tmf::getattr_or(bar, h.redeem_lower_limit, py::none()), 0.0);
            double upper = limit_or(tmf::getattr_or(bar, h.subscribe_upper_limit, py::none()),
                                    std::numeric_limits<double>::infinity());
            leg.sub_room = std::min(leg.sub_room, upper);
        }
    }

    plan_rebalance(legs, total, cash, min_move);

    py::list orders;
    for (const Leg& leg : legs) {
        if (leg.redeem_units > 0.0) orders.append(redeem_order(env, leg.order_book_id, leg.redeem_units));
    }
    for (const Leg& leg : legs) {
        if (leg.subscribe_cash > 0.0) orders.append(subscribe_order(env, leg.order_book_id, leg.subscribe_cash));
    }
    return orders;
}

// Text of a status field (None when the fund has no bar today).
py::object status_text(py::handle bar, const char* field) {
    py::object value = tmf::getattr_or(bar, field, py::none());
    if (value.is_none()) return value;
    return py::str(value);
}

// ---------------------------------------------------------------------------
// documentation of the public functions

const char* kSubscribeDoc = R"(subscribe(order_book_id, cash_amount) -> Order

Subscribe to a fund for a cash amount (a BUY OPEN order).

``cash_amount`` is the total to spend, front-end fee included: the units
are worked out at the day's NAV when the order fills.  The order is filled
at today's NAV (published after today's cut-off), so the strategy cannot
know the unit price when it orders.  Returns the order: open until the
day's matching, then filled or rejected with its reason in
``order.message`` (status refusing subscriptions, amount below the fund's
minimum, not enough cash...).

Raises ValueError for an unknown fund id or an amount that is not a
finite number > 0.
)";

const char* kRedeemDoc = R"(redeem(order_book_id, quantity) -> Order

Redeem ``quantity`` units of a fund (a SELL CLOSE order).

Only received units can be redeemed (``get_position(id).closable``); units
of a subscription still on their way cannot.  The order fills at today's
NAV; its cash reaches the account after the redemption receiving days.
Returns the order (open, filled or rejected with its reason).

Raises ValueError for an unknown fund id or a quantity that is not a
finite number > 0.
)";

const char* kRedeemAllDoc = R"(redeem_all(order_book_id) -> Order or None

Redeem every unit of a fund that can be redeemed now.

Units already being redeemed by today's open orders are left out.
Returns the order, or None when nothing is closable (no holding, or only
units that have not arrived yet).  Raises ValueError for an unknown fund.
)";

const char* kTargetDoc = R"(order_target_fund_weights(weights, min_move=0.01) -> list of Orders

Rebalance the stock account so that each fund's share of its total value
approaches its target weight.

``weights`` maps fund ids to fractions of the account's total value
(each between 0 and 1, together at most 1; the rest stays in cash).  Funds
held but not named are redeemed completely.

Valuation: cash plus every position; funds at their latest published NAV
(day T-1), counting units still on their way and redemption cash still
owed; today's open orders count as if filled.

Orders: redemptions first, then subscriptions.  Subscriptions are paid
only from the cash in the account now: cash of queued or just-ordered
redemptions arrives days later and is NOT counted.  When that cash is
short of what the subscriptions need, every subscription is scaled down
by the same factor; a fund whose scaled amount falls below its minimum
subscription is dropped and its share goes to the others.  Amounts
include the front-end fee, so a fund ends slightly below its target.

Moves smaller than ``min_move`` times the total value are skipped, as are
subscriptions below the fund's ``subscribe_lower_limit``; a fund whose
weight is 0 is emptied whatever the amount.  With ``status_limit`` on,
funds whose status refuses today's direction are left alone; with
``subscription_limit`` on, subscriptions are capped at the day's
``subscribe_upper_limit`` and redemptions below ``redeem_lower_limit``
units (other than the whole holding) are skipped.

Returns the orders submitted, redemptions first.  Raises ValueError for
an unknown fund, a weight outside [0, 1], weights adding up to more than
1, or a ``min_move`` outside [0, 1).
)";

const char* kNavDoc = R"(fund_nav(order_book_id) -> float

The fund's latest published NAV: the close of its last bar dated on or
before the previous trading day (T-1), skipping days without a NAV.  Today's
NAV is published after the cut-off, so it is never returned.  NaN when the
fund has published nothing yet.  The price follows ``mod.fund.fund_nav_type``
(unit or adjusted NAV); money-market funds have a constant price.
)";

const char* kNavHistoryDoc = R"(fund_nav_history(order_book_id, count, field="close") -> numpy.ndarray

The last ``count`` published values of a bar field, oldest first: bars
dated up to the previous trading day (T-1).  Fewer values come back when
the history is shorter.  ``field`` is any field of the fund's bars
(``close``, ``prev_close``, ``daily_profit`` and ``weekly_yield`` for
money-market funds, ...).  Returns a new array.  Raises ValueError for an
unknown fund, a ``count`` that is not a whole number >= 1, or an unknown
field.
)";

const char* kStatusDoc = R"(fund_status(order_book_id) -> (subscribe_status, redeem_status)

Today's subscribe and redeem status texts ("Open", "Limited", "Suspended",
"Close"); they are announced in advance, so day T's are known on day T.
Orders pass on "Open" and "Limited" only.  (None, None) when the fund has
no bar today (not listed yet, delisted).
)";

const char* kAllFundsDoc = R"(all_funds(fund_type=None) -> list

Every fund of the catalogue as an instrument (``FundCatalogEntry``), in
catalogue order, delisted ones included (see ``listed_date`` and
``de_listed_date``).  ``fund_type`` keeps only the funds of one type (for
the sample data "Stock", "Hybrid", "Index", "Bond", "Money") or of any of
a list of types; a type no fund has raises ValueError naming the known
types.
)";

const char* kFundInfoDoc = R"(fund_info(order_book_id) -> FundCatalogEntry

The fund's instrument: ``symbol``, ``fund_type``, ``amc``,
``fund_manager``, ``listed_date``, ``de_listed_date``, ``accrued_daily``,
... Raises ValueError for an unknown fund.
)";

}  // namespace

PYBIND11_MODULE(api, m) {
    m.doc() = "Fund functions for strategies, installed after system initialisation.";
    py::options options;
    options.disable_function_signatures();  // each docstring states its own

    Host& h = host();
    h.environment = tmf::import_attr("tessel.environment", "Environment");
    h.order_cls = tmf::import_attr("tessel.model.order", "Order");
    py::object consts = py::module_::import("tessel.const");
    h.public_fund = consts.attr("INSTRUMENT_TYPE").attr("PUBLIC_FUND");
    h.buy = consts.attr("SIDE").attr("BUY");
    h.sell = consts.attr("SIDE").attr("SELL");
    h.open = consts.attr("POSITION_EFFECT").attr("OPEN");
    h.close = consts.attr("POSITION_EFFECT").attr("CLOSE");
    h.stock_account = consts.attr("DEFAULT_ACCOUNT_TYPE").attr("STOCK");
    h.convert_date_to_int = tmf::import_attr("tessel.utils.datetime_func", "convert_date_to_int");
    h.fund_status = tmf::import_attr("tessel_mod_fund.const", "FUND_STATUS");
    h.get_instrument = tmf::intern("get_instrument");
    h.type = tmf::intern("type");
    h.order_book_id = tmf::intern("order_book_id");
    h.data_proxy = tmf::intern("data_proxy");
    h.get_bars = tmf::intern("get_bars");
    h.broker = tmf::intern("broker");
    h.submit_order = tmf::intern("submit_order");
    h.from_create = tmf::intern("__from_create__");
    h.positions = tmf::intern("positions");
    h.get = tmf::intern("get");
    h.closable = tmf::intern("closable");
    h.cash = tmf::intern("cash");
    h.equity = tmf::intern("equity");
    h.quantity = tmf::intern("quantity");
    h.receivable_quantity = tmf::intern("receivable_quantity");
    h.receivable_cash = tmf::intern("receivable_cash");
    h.side = tmf::intern("side");
    h.cash_amount = tmf::intern("cash_amount");
    h.unfilled_quantity = tmf::intern("unfilled_quantity");
    h.get_bar = tmf::intern("get_bar");
    h.subscribe_status = tmf::intern("subscribe_status");
    h.redeem_status = tmf::intern("redeem_status");
    h.subscribe_lower_limit = tmf::intern("subscribe_lower_limit");
    h.redeem_lower_limit = tmf::intern("redeem_lower_limit");
    h.subscribe_upper_limit = tmf::intern("subscribe_upper_limit");
    h.invalid_state = tmf::intern("invalid_state");
    h.cash_amount_kw = py::make_tuple(py::reinterpret_borrow<py::object>(h.cash_amount));

    m.def(
        "subscribe",
        [](py::object order_book_id, py::object cash_amount) {
            py::object env = current_env();
            py::object oid = resolve_fund(env, "subscribe", order_book_id).attr("order_book_id");
            return subscribe_order(env, oid, positive_number("subscribe", "cash_amount", cash_amount));
        },
        py::arg("order_book_id"), py::arg("cash_amount"), kSubscribeDoc);

    m.def(
        "redeem",
        [](py::object order_book_id, py::object quantity) {
            py::object env = current_env();
            py::object oid = resolve_fund(env, "redeem", order_book_id).attr("order_book_id");
            return redeem_order(env, oid, positive_number("redeem", "quantity", quantity));
        },
        py::arg("order_book_id"), py::arg("quantity"), kRedeemDoc);

    m.def(
        "redeem_all",
        [](py::object order_book_id) {
            py::object env = current_env();
            return do_redeem_all(env, resolve_fund(env, "redeem_all", order_book_id).attr("order_book_id"));
        },
        py::arg("order_book_id"), kRedeemAllDoc);

    m.def(
        "order_target_fund_weights",
        [](py::object weights, py::object min_move) {
            return rebalance(weights, min_move);
        },
        py::arg("weights"), py::arg("min_move") = 0.01, kTargetDoc);

    m.def(
        "fund_nav",
        [](py::object order_book_id) {
            py::object env = current_env();
            return published_nav(env, resolve_fund(env, "fund_nav", order_book_id).attr("order_book_id"));
        },
        py::arg("order_book_id"), kNavDoc);

    m.def(
        "fund_nav_history",
        [](py::object order_book_id, py::object count, py::object field) {
            const char* fn = "fund_nav_history";
            py::object env = current_env();
            py::object oid = resolve_fund(env, fn, order_book_id).attr("order_book_id");
            py::ssize_t n = 0;
            if (!py::isinstance<py::bool_>(count) && PyIndex_Check(count.ptr())) {
                // Clipped on overflow: a huge count simply asks for everything.
                n = PyNumber_AsSsize_t(count.ptr(), nullptr);
                if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
            }
            if (n < 1) value_error(tmf::format("{}: count must be a whole number >= 1, got {!r}", fn, count));
            py::array bars = fund_bars(env, oid);
            py::object names = bars.dtype().attr("names");
            if (!py::isinstance<py::str>(field) || names.is_none() || !names.contains(field)) {
                value_error(tmf::format("{}: {!r} has no bar field {!r} (fields: {})", fn, oid, field,
                                        names.is_none() ? py::str("none") : py::str(", ").attr("join")(names)));
            }
            const py::ssize_t end = visible_count(bars, published_until(env));
            const py::ssize_t start = end - std::min(n, end);
            return bars[py::slice(start, end, 1)][field].attr("copy")();
        },
        py::arg("order_book_id"), py::arg("count"), py::arg("field") = "close", kNavHistoryDoc);

    m.def(
        "fund_status",
        [](py::object order_book_id) {
            py::object env = current_env();
            py::object oid = resolve_fund(env, "fund_status", order_book_id).attr("order_book_id");
            py::object bar = env.attr("get_bar")(oid);
            return py::make_tuple(status_text(bar, "subscribe_status"), status_text(bar, "redeem_status"));
        },
        py::arg("order_book_id"), kStatusDoc);

    m.def(
        "all_funds",
        [](py::object fund_type) {
            py::object env = current_env();
            py::list funds(env.attr("data_proxy").attr("all_instruments")(py::arg("types") = py::make_tuple(host().public_fund)));
            if (fund_type.is_none()) return funds;
            py::list wanted;
            if (py::isinstance<py::str>(fund_type)) wanted.append(fund_type);
            else if (py::isinstance<py::iterable>(fund_type)) wanted = py::list(fund_type);
            else value_error(tmf::format("all_funds: fund_type must be a text or a list of texts, got {!r}", fund_type));
            py::list known;
            py::list out;
            for (auto f : funds) {
                py::object t = tmf::getattr_or(f, "fund_type", py::none());
                if (!known.contains(t)) known.append(t);
                if (wanted.contains(t)) out.append(f);
            }
            for (auto w : wanted) {
                if (!known.contains(w)) {
                    py::list names;
                    for (auto k : known) names.append(py::str(k));
                    value_error(tmf::format("all_funds: no fund has fund_type {!r} (known: {})", w,
                                            py::str(", ").attr("join")(names)));
                }
            }
            return out;
        },
        py::arg("fund_type") = py::none(), kAllFundsDoc);

    m.def(
        "fund_info",
        [](py::object order_book_id) { return resolve_fund(current_env(), "fund_info", order_book_id); },
        py::arg("order_book_id"), kFundInfoDoc);

    m.def(
        "init_fund_api",
        [m](py::object /*event*/) {
            py::object env = current_env();
            // Both are the strategy side of our engine; a host without a
            // strategy API of this kind keeps the functions in this module.
            py::object export_as_api = py::none();
            try {
                export_as_api = tmf::getattr_or(py::module_::import("tessel.api"), "export_as_api", py::none());
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ImportError)) throw;
            }
            if (!export_as_api.is_none()) {
                for (const char* name : {"subscribe", "redeem", "redeem_all", "order_target_fund_weights", "fund_nav",
                                         "fund_nav_history", "fund_status", "all_funds", "fund_info"}) {
                    export_as_api(m.attr(name), py::str(name));
                }
            }
            // A fund's NAV of day T is published after day T's cut-off.
            py::object set_lag = tmf::getattr_or(env, "set_strategy_bar_lag", py::none());
            if (!set_lag.is_none()) set_lag(host().public_fund, 1);
            env.attr("fund_api_ready") = true;
        },
        py::arg("event"),
        "init_fund_api(event)\n\nListener for POST_SYSTEM_INIT: exports the fund functions to strategies and "
        "makes strategies see fund bars one trading day late.");
}
