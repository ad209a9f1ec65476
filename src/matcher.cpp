// tessel_mod_fund.matcher: fills fund subscriptions and redemptions at the
// day's NAV and charges their fees.
//
// A fund has one price per day, its NAV, published after the day's order
// cut-off; an order placed on day T is therefore filled at T's NAV (the bar
// the broker matches on is T's).  Every order is filled whole or rejected
// with a reason; nothing is ever half-applied.
//
// Subscriptions (BUY OPEN) pay a front-end fee chosen by amount tier:
//   rate tier r:   net = A / (1 + r), fee = A - net
//   fixed tier F:  net = A - F,       fee = F
// and buy round(net / NAV, 4) units.  The account pays exactly A: the
// rounding residual of the units (less than NAV x 0.00005) is folded into
// the fee, so the booked fee is A - units x NAV.
//
// Redemptions (SELL CLOSE) pay a back-end fee by holding period, first in
// first out over the lots of units this matcher filled for the account
// (see FundBook below).
//
// Fee schedules come from the fund's instrument (`subscription_fees`,
// `redemption_fees`, carried over from the fund data) unless the
// configuration `mod.fund.fees` overrides them.  docs/fees.md has the
// worked numbers.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tmf/calls.hpp"
#include "tmf/errors.hpp"
#include "tmf/fast_call.hpp"
#include "tmf/host_class.hpp"
#include "tmf/pyargs.hpp"
#include "tmf/rounding.hpp"

namespace py = pybind11;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Float noise allowed when comparing unit counts and amounts (the host uses
// the same margin for its own quantity checks).
constexpr double kEps = 1e-9;

// Attribute and method names read for every order, interned once when the
// module loads.
struct Names {
    PyObject *quantity_, *dividend_receivable_, *book_, *env_, *mark_rejected, *cash_amount, *unfilled_quantity,
        *cash, *order_id, *order_book_id, *commission, *tax, *fee, *positions, *get, *closable,
        *receivable_quantity, *trading_dt, *date, *get_bar, *close, *side, *position_effect, *type, *price,
        *from_create, *year, *month, *day, *subscribe_lower_limit, *subscribe_upper_limit, *redeem_lower_limit;
};

Names& names() {
    static Names* n = new Names();  // never freed: outlives the interpreter's teardown
    return *n;
}

// ---- fee schedules --------------------------------------------------------------------

struct SubscriptionTier {
    double upper;  // amounts below this use the tier; +inf for the last
    double rate;   // front-end rate when !is_fixed
    double fixed;  // flat fee when is_fixed
    bool is_fixed;

    double fee_on_net(double net) const { return is_fixed ? fixed : net * rate; }
};

struct RedemptionTier {
    double max_days;  // holding periods (calendar days) below this use the tier
    double rate;
};

struct FeeSchedule {
    std::vector<SubscriptionTier> subscription;
    std::vector<RedemptionTier> redemption;
};

// What one entry of `mod.fund.fees` says; a kind it leaves out falls back to
// the next source (the "default" entry, then the fund data).
struct FeeOverride {
    std::optional<std::vector<SubscriptionTier>> subscription;
    std::optional<std::vector<RedemptionTier>> redemption;
};

// A number, None, or something else (bools and texts are not numbers here).
enum class Num { None, Ok, Bad };

Num read_number(py::handle value, double& out) {
    if (value.is_none()) return Num::None;
    if (PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || !PyNumber_Check(value.ptr())) return Num::Bad;
    out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return Num::Bad;
    }
    return std::isnan(out) ? Num::Bad : Num::Ok;
}

double as_double(py::handle value) {
    double out = kNaN;
    return read_number(value, out) == Num::Ok ? out : kNaN;
}

bool is_sequence_of(py::handle value, std::size_t n) {
    return (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) &&
           static_cast<std::size_t>(PySequence_Size(value.ptr())) == n;
}

[[noreturn]] void bad_tier(const std::string& where, const char* kind, std::size_t index, py::handle tier,
                           const char* problem) {
    tmf::raise_with(PyExc_ValueError,
                    tmf::format("{}.{}[{}] = {!r}: {}", where, kind, index, tier, problem));
}

// The bound of tier `index` (None or +inf for "no bound"): positive, above
// the previous bound, unbounded exactly for the last tier.
double read_bound(const std::string& where, const char* kind, std::size_t index, std::size_t count,
                  py::handle tier, py::handle value, double previous, const char* what) {
    double bound = kInf;
    Num n = read_number(value, bound);
    if (n == Num::Bad || (n == Num::Ok && !(bound > 0))) {
        bad_tier(where, kind, index, tier,
                 tmf::format("{} must be a positive number, or null for no bound", what).cast<std::string>().c_str());
    }
    if (n == Num::None) bound = kInf;
    const bool last = index + 1 == count;
    if (std::isinf(bound) && !last) bad_tier(where, kind, index, tier, "only the last tier may have no upper bound");
    if (!std::isinf(bound) && last) {
        bad_tier(where, kind, index, tier, "the last tier must have no upper bound (null), so that every case has a fee");
    }
    if (!(bound > previous)) {
        bad_tier(where, kind, index, tier,
                 tmf::format("{} must be above the previous tier's ({})", what, previous).cast<std::string>().c_str());
    }
    return bound;
}

double read_rate(const std::string& where, const char* kind, std::size_t index, py::handle tier, py::handle value) {
    double rate = 0.0;
    Num n = read_number(value, rate);
    if (n != Num::Ok || rate < 0.0 || rate >= 1.0) {
        bad_tier(where, kind, index, tier, "rate must be a number from 0 up to (not including) 1");
    }
    return rate;
}

void require_list(const std::string& where, const char* kind, py::handle tiers) {
    if (!PyList_Check(tiers.ptr()) && !PyTuple_Check(tiers.ptr())) {
        tmf::raise_with(PyExc_ValueError, tmf::format("{}.{}: expected a list of tiers, got {!r}", where, kind, tiers));
    }
}

// A list of tiers, each a list of `arity` items whose first is the tier's
// bound (named `bound_name` in messages, `shape` spells the expected list).
// The bounds are checked here; `read(index, tier, items, bound)` reads the
// rest of one tier.
template <class Tier, class Read>
std::vector<Tier> parse_tiers(const std::string& where, const char* kind, py::handle tiers, std::size_t arity,
                              const char* shape, const char* bound_name, Read read) {
    require_list(where, kind, tiers);
    py::sequence seq = py::reinterpret_borrow<py::sequence>(tiers);
    const std::size_t count = seq.size();
    std::vector<Tier> out;
    out.reserve(count);
    double previous = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        py::object tier = seq[i];
        if (!is_sequence_of(tier, arity)) bad_tier(where, kind, i, tier, shape);
        py::sequence items = py::reinterpret_borrow<py::sequence>(tier);
        previous = read_bound(where, kind, i, count, tier, items[0], previous, bound_name);
        out.push_back(read(i, tier, items, previous));
    }
    return out;
}

// [[upper_bound, rate, fixed_fee], ...]: exactly one of rate and fixed_fee.
std::vector<SubscriptionTier> parse_subscription(const std::string& where, const char* kind, py::handle tiers) {
    return parse_tiers<SubscriptionTier>(
        where, kind, tiers, 3, "expected [upper_bound, rate, fixed_fee]", "upper_bound",
        [&](std::size_t i, py::handle tier, const py::sequence& items, double upper) {
            SubscriptionTier st{};
            st.upper = upper;
            py::object rate = items[1], fixed = items[2];
            if (rate.is_none() == fixed.is_none()) {
                bad_tier(where, kind, i, tier, "give either a rate or a fixed fee (the other null), not both or neither");
            }
            if (fixed.is_none()) {
                st.rate = read_rate(where, kind, i, tier, rate);
            } else {
                Num n = read_number(fixed, st.fixed);
                if (n != Num::Ok || std::isinf(st.fixed) || st.fixed < 0.0) {
                    bad_tier(where, kind, i, tier, "fixed_fee must be a finite number >= 0");
                }
                st.is_fixed = true;
            }
            return st;
        });
}

// [[max_days, rate], ...]
std::vector<RedemptionTier> parse_redemption(const std::string& where, const char* kind, py::handle tiers) {
    return parse_tiers<RedemptionTier>(
        where, kind, tiers, 2, "expected [max_days, rate]", "max_days",
        [&](std::size_t i, py::handle tier, const py::sequence& items, double max_days) {
            return RedemptionTier{max_days, read_rate(where, kind, i, tier, items[1])};
        });
}

FeeOverride parse_override(const std::string& where, py::handle entry) {
    if (!PyDict_Check(entry.ptr())) {
        tmf::raise_with(PyExc_ValueError,
                        tmf::format("{}: expected a mapping with subscription and/or redemption tiers, got {!r}",
                                    where, entry));
    }
    FeeOverride out;
    for (auto item : py::reinterpret_borrow<py::dict>(entry)) {
        py::object key = py::reinterpret_borrow<py::object>(item.first);
        if (key.equal(py::str("subscription"))) {
            out.subscription = parse_subscription(where, "subscription", item.second);
        } else if (key.equal(py::str("redemption"))) {
            out.redemption = parse_redemption(where, "redemption", item.second);
        } else {
            tmf::raise_with(PyExc_ValueError,
                            tmf::format("{}: unknown key {!r} (expected subscription, redemption)", where, key));
        }
    }
    return out;
}

// ---- per-account bookkeeping ----------------------------------------------------------

// Days since 1970-01-01 of a date (or datetime) object.
long day_number(py::handle date) {
    using namespace std::chrono;
    const Names& n = names();
    const year_month_day ymd{year{tmf::attr(date, n.year).cast<int>()}, month{tmf::attr(date, n.month).cast<unsigned>()},
                             day{tmf::attr(date, n.day).cast<unsigned>()}};
    return static_cast<long>(sys_days{ymd}.time_since_epoch().count());
}

// Units of one holding date.  A subscription fill makes a lot dated by the
// fill's trading day: the holding period of a fund unit counts from the day
// its subscription is confirmed, which is the trading day of the fill, not
// the later day on which the units show up in the position.  Units that a
// dividend reinvests make lots of their own, dated like the lots whose
// dividend bought them.  `seq` numbers lots in the order they were booked,
// which is the order in which their units reach the position.
struct Lot {
    long day;
    double units;
    long seq;
};

struct FundBook {
    // Oldest holding date first.  The position may hold units without a
    // lot (money-market accrual, units it started with) and splits rescale
    // its units; before lots are consumed they are scaled to the position's
    // expected units, so such units inherit the holding period of the units
    // they came from.
    std::deque<Lot> lots;
    long next_seq = 0;
    // The lots (holding date, share of the units) entitled to the dividend
    // the position has booked but not yet settled (`entitled_key`, the
    // position's receivable): the units its reinvestment adds belong to
    // them, even when some of them have been redeemed since.
    std::vector<std::pair<long, double>> entitled;
    py::object entitled_key;
    long total_day = std::numeric_limits<long>::min();
    double subscribed_today = 0.0;  // gross amounts filled on total_day

    double& total_for(long today) {
        if (total_day != today) {
            total_day = today;
            subscribed_today = 0.0;
        }
        return subscribed_today;
    }
};

struct AccountBook {
    py::object account;  // keeps the key's object alive, so its address is not reused
    std::unordered_map<std::string, FundBook> funds;
};

// Scales `lots` so that they add up to `expected` units; with no lots at
// all, the units count as held since `fallback_day`.
void scale_lots(FundBook& book, std::deque<Lot>& lots, double expected, long fallback_day) {
    double sum = 0.0;
    for (const Lot& lot : lots) sum += lot.units;
    if (!(expected > 0.0)) {
        lots.clear();
        return;
    }
    if (lots.empty() || !(sum > 0.0)) {
        lots.assign(1, Lot{fallback_day, expected, book.next_seq++});
        return;
    }
    if (std::fabs(sum - expected) > kEps * std::max(1.0, expected)) {
        const double factor = expected / sum;
        for (Lot& lot : lots) lot.units *= factor;
    }
}

// Brings `book` in line with the position as it stands before a fill.
// Units that the settled dividend reinvested become lots of the holding
// dates entitled to it; any other difference (a split, money-market income)
// rescales the lots.  A dividend the position has booked and not yet
// settled records which lots are entitled to it.
// What reconcile reads of the position, every host call it makes in its order.
struct Holding {
    bool none = true;
    double expected = 0.0;
    py::object receivable;
    bool pending = false;
    bool same_key = false;  // the pending dividend is the one whose entitled lots the book recorded
};

Holding read_holding(const FundBook& book, py::handle position) {
    Holding h;
    if (position.is_none()) return h;
    h.none = false;
    h.expected = as_double(tmf::attr(position, names().quantity_));
    h.receivable = tmf::getattr_or(position, names().dividend_receivable_, py::none());
    h.pending = tmf::truthy(h.receivable);
    h.same_key = !book.entitled.empty() && h.pending && book.entitled_key && h.receivable.equal(book.entitled_key);
    return h;
}

// The book brought in line with what read_holding read; no host call.
void apply_holding(FundBook& book, const Holding& h, long fallback_day) {
    if (h.none) {
        book.lots.clear();
        book.entitled.clear();
        return;
    }
    const double expected = h.expected;
    const bool settled = !book.entitled.empty() && !h.same_key;
    double sum = 0.0;
    for (const Lot& lot : book.lots) sum += lot.units;
    if (settled && expected > sum + kEps * std::max(1.0, expected)) {
        const double added = expected - sum;
        for (const auto& [day, share] : book.entitled) {
            Lot lot{day, added * share, book.next_seq++};
            auto at = std::upper_bound(book.lots.begin(), book.lots.end(), day,
                                       [](long d, const Lot& l) { return d < l.day; });
            book.lots.insert(at, lot);
        }
    } else {
        scale_lots(book, book.lots, expected, fallback_day);
    }
    if (settled) {
        book.entitled.clear();
        book.entitled_key = py::object();
    }
    if (h.pending && book.entitled.empty()) {
        double total = 0.0;
        for (const Lot& lot : book.lots) total += lot.units;
        if (total > 0.0) {
            for (const Lot& lot : book.lots) {
                if (!book.entitled.empty() && book.entitled.back().first == lot.day) {
                    book.entitled.back().second += lot.units / total;
                } else {
                    book.entitled.emplace_back(lot.day, lot.units / total);
                }
            }
            book.entitled_key = h.receivable;
        }
    }
}

void reconcile(FundBook& book, py::handle position, long fallback_day) {
    apply_holding(book, read_holding(book, position), fallback_day);
}

// ---- the matcher's native state -------------------------------------------------------

struct MatcherState {
    bool subscription_limit = true;
    long fallback_day = 0;  // the run's first day: holding date of units without a lot
    bool has_fallback_day = false;
    std::optional<FeeOverride> default_override;
    std::unordered_map<std::string, FeeOverride> fund_overrides;
    std::unordered_map<std::string, FeeSchedule> schedules;  // resolved and checked, per fund
    std::unordered_map<PyObject*, AccountBook> accounts;

    FundBook& book(py::handle account, const std::string& order_book_id) {
        auto it = accounts.find(account.ptr());
        if (it == accounts.end()) {
            it = accounts.emplace(account.ptr(), AccountBook{py::reinterpret_borrow<py::object>(account), {}}).first;
        }
        return it->second.funds[order_book_id];
    }

    const FundBook* find_book(py::handle account, const std::string& order_book_id) const {
        auto it = accounts.find(account.ptr());
        if (it == accounts.end()) return nullptr;
        auto f = it->second.funds.find(order_book_id);
        return f == it->second.funds.end() ? nullptr : &f->second;
    }

    // The fund's schedule: per kind, the fund's own entry of mod.fund.fees,
    // else its "default" entry, else the fund data; checked once per fund.
    const FeeSchedule& schedule(py::handle env, const std::string& order_book_id) {
        auto hit = schedules.find(order_book_id);
        if (hit != schedules.end()) return hit->second;
        const FeeOverride* own = nullptr;
        auto o = fund_overrides.find(order_book_id);
        if (o != fund_overrides.end()) own = &o->second;
        const FeeOverride* dflt = default_override ? &*default_override : nullptr;

        FeeSchedule s;
        py::object instrument;
        auto data = [&](const char* attr) -> py::object {
            if (!instrument) instrument = env.attr("get_instrument")(order_book_id);
            if (instrument.is_none()) return py::none();
            return tmf::getattr_or(instrument, attr, py::none());
        };
        const std::string data_where = tmf::format("instrument({!r})", order_book_id).cast<std::string>();
        if (own && own->subscription) {
            s.subscription = *own->subscription;
        } else if (dflt && dflt->subscription) {
            s.subscription = *dflt->subscription;
        } else if (py::object tiers = data("subscription_fees"); !tiers.is_none()) {
            s.subscription = parse_subscription(data_where, "subscription_fees", tiers);
        }
        if (own && own->redemption) {
            s.redemption = *own->redemption;
        } else if (dflt && dflt->redemption) {
            s.redemption = *dflt->redemption;
        } else if (py::object tiers = data("redemption_fees"); !tiers.is_none()) {
            s.redemption = parse_redemption(data_where, "redemption_fees", tiers);
        }
        return schedules.emplace(order_book_id, std::move(s)).first->second;
    }
};

MatcherState& state_of(py::handle self) { return tmf::attr(self, names().book_).cast<MatcherState&>(); }

// Host names, loaded with the module (the module itself is loaded by the
// plug-in's start-up).
struct Host {
    py::object trade_cls, buy, sell, open, close, limit, date_cls;
};

Host& host() {
    static Host* h = new Host();
    return *h;
}

py::list reject(py::handle order, py::handle reason) {
    tmf::call_method(order, names().mark_rejected, reason);
    return py::list();
}


// A limit read from the bar; NaN (or a missing field) means no limit.
double bar_limit(py::handle bar, PyObject* field) { return as_double(tmf::getattr_or(bar, field, py::none())); }

void load_overrides(MatcherState& st, py::handle env) {
    py::object config = env.attr("config");
    py::object fees = py::none();
    py::object mod = tmf::getattr_or(config, "mod", py::none());
    if (!mod.is_none()) {
        py::object fund = tmf::getattr_or(mod, "fund", py::none());
        if (!fund.is_none()) fees = tmf::getattr_or(fund, "fees", py::none());
    }
    if (fees.is_none()) return;
    if (!PyDict_Check(fees.ptr())) {
        tmf::raise_with(PyExc_ValueError, tmf::format("mod.fund.fees: expected a mapping, got {!r}", fees));
    }
    py::object data_proxy = tmf::getattr_or(env, "data_proxy", py::none());
    for (auto item : py::reinterpret_borrow<py::dict>(fees)) {
        if (!PyUnicode_Check(item.first.ptr())) {
            tmf::raise_with(PyExc_ValueError,
                            tmf::format("mod.fund.fees: key {!r} is not a fund id text (write fund ids in quotes, "
                                        "e.g. \"000001\", so that they stay texts)",
                                        item.first));
        }
        const std::string key = item.first.cast<std::string>();
        const std::string where = tmf::format("mod.fund.fees[{!r}]", item.first).cast<std::string>();
        FeeOverride parsed = parse_override(where, item.second);
        if (key == "default") {
            st.default_override = std::move(parsed);
            continue;
        }
        // A misspelt fund id would otherwise be ignored without a word.
        if (!data_proxy.is_none() && env.attr("get_instrument")(item.first).is_none()) {
            tmf::raise_with(PyExc_ValueError, tmf::format("{}: no fund with this order book id", where));
        }
        st.fund_overrides[key] = std::move(parsed);
    }
}

// ---- matching -------------------------------------------------------------------------

py::list subscribe(MatcherState& st, py::handle env, py::handle account, py::handle order, py::handle bar,
                   const std::string& oid, double nav, py::handle date, long today) {
    const Host& h = host();
    const FeeSchedule& schedule = st.schedule(env, oid);
    const auto& tiers = schedule.subscription;

    double gross = 0.0, units = 0.0, fee = 0.0;
    const Names& n = names();
    py::object cash_amount = tmf::attr(order, n.cash_amount);
    if (!cash_amount.is_none()) {
        // By amount: the tier is chosen on the amount paid.
        gross = as_double(cash_amount);
        if (!(gross > 0.0) || std::isinf(gross)) {
            return reject(order, tmf::format("subscription of {} to {} has no valid amount", cash_amount, oid));
        }
        double net = gross;
        for (const SubscriptionTier& t : tiers) {
            if (gross < t.upper) {
                net = t.is_fixed ? gross - t.fixed : gross / (1.0 + t.rate);
                if (!(net > 0.0)) {
                    return reject(order, tmf::format("subscription of {} to {} does not cover the fixed fee of {}",
                                                     gross, oid, t.fixed));
                }
                break;
            }
        }
        units = tmf::round4(net / nav);
        // Rounding up may make the units worth more than the amount when
        // the fee is (nearly) zero; the account never pays more than A.
        if (units * nav > gross) units = tmf::round4(units - 0.0001);
        if (!(units > 0.0)) {
            return reject(order, tmf::format("subscription of {} to {} buys no unit at NAV {} "
                                             "(units are kept to 4 decimal places)",
                                             gross, oid, nav));
        }
        fee = gross - units * nav;
    } else {
        // By units: the order gets exactly its units and the fee comes on
        // top, the same fee (net x r, or F) an amount order buying these
        // units pays; the tier is the one whose range holds the total paid.
        py::object quantity = tmf::attr(order, n.unfilled_quantity);
        const double wanted = as_double(quantity);
        units = tmf::round4(wanted);
        if (!(units > 0.0) || std::fabs(units - wanted) > kEps) {
            return reject(order, tmf::format("subscription of {} units of {}: fund units are kept to 4 decimal "
                                             "places, order a whole number of 0.0001 units",
                                             quantity, oid));
        }
        const double net = units * nav;
        for (const SubscriptionTier& t : tiers) {
            fee = t.fee_on_net(net);
            if (net + fee < t.upper) break;
        }
        gross = net + fee;
    }

    if (st.subscription_limit) {
        const double lower = bar_limit(bar, names().subscribe_lower_limit);
        if (!std::isnan(lower) && gross < lower - kEps) {
            return reject(order, tmf::format("subscription of {} to {} is below the minimum subscription of {} on {}",
                                             gross, oid, lower, date));
        }
        const double upper = bar_limit(bar, names().subscribe_upper_limit);
        if (!std::isnan(upper)) {
            const FundBook* book = st.find_book(account, oid);
            const double already = (book && book->total_day == today) ? book->subscribed_today : 0.0;
            if (gross > upper - already + kEps) {
                return reject(order, tmf::format("subscription of {} to {} exceeds the daily limit of {} on {}: "
                                                 "{} already subscribed today, {} left",
                                                 gross, oid, upper, date, already, std::max(0.0, upper - already)));
            }
        }
    }
    const double cash = as_double(tmf::attr(account, n.cash));
    if (!(gross <= cash + kEps)) {
        return reject(order, tmf::format("not enough cash to subscribe {} to {}: cash is {}", gross, oid,
                                         tmf::attr(account, n.cash)));
    }

    py::object order_id = tmf::attr(order, n.order_id);
    py::object order_book_id = tmf::attr(order, n.order_book_id);
    py::object trade = tmf::call_method(h.trade_cls, n.from_create, order_id, py::float_(nav), py::float_(units),
                                        h.buy, h.open, order_book_id);
    py::float_ fee_value(fee);
    tmf::set_attr(trade, n.commission, fee_value);
    tmf::set_attr(trade, n.tax, py::float_(0.0));
    // The cost decider charges the fee the order carries.
    tmf::set_attr(order, n.fee, fee_value);

    // Bring the lots in line with the holding as it stands before this fill,
    // so that a split or reinvested units since the last fill belong to the
    // lots that were there at the time, not to this one.
    FundBook& book = st.book(account, oid);
    py::object position = tmf::call_method(tmf::attr(account, n.positions), n.get, py::str(oid));
    const Holding holding = read_holding(book, position);
    // No host call from here on: the book changes in place.
    apply_holding(book, holding, st.has_fallback_day ? st.fallback_day : today);
    book.lots.push_back(Lot{today, units, book.next_seq++});
    book.total_for(today) += gross;
    py::list out;
    out.append(trade);
    return out;
}

py::list redeem(MatcherState& st, py::handle env, py::handle account, py::handle order, py::handle bar,
                const std::string& oid, double nav, py::handle date, long today) {
    const Host& h = host();
    const Names& n = names();
    py::object quantity = tmf::attr(order, n.unfilled_quantity);
    if (quantity.is_none()) {
        return reject(order, tmf::format("redemption of {} must be ordered in units, not as a cash amount", oid));
    }
    const double wanted = as_double(quantity);
    py::object position = tmf::call_method(tmf::attr(account, n.positions), n.get, py::str(oid));
    const double closable = position.is_none() ? 0.0 : as_double(tmf::attr(position, n.closable));
    if (!(wanted > 0.0) || wanted > closable + kEps) {
        py::str reason = tmf::format("cannot redeem {} units of {}: only {} units are redeemable", quantity, oid,
                                     closable);
        const double queued =
            position.is_none() ? 0.0 : as_double(tmf::getattr_or(position, n.receivable_quantity, py::none()));
        if (queued > 0.0) {
            reason = tmf::format("{} ({} subscribed units have not arrived yet)", reason, queued);
        }
        return reject(order, reason);
    }
    const bool whole = wanted >= closable - kEps;
    if (st.subscription_limit && !whole) {
        const double lower = bar_limit(bar, names().redeem_lower_limit);
        if (!std::isnan(lower) && wanted < lower - kEps) {
            return reject(order, tmf::format("redemption of {} units of {} is below the minimum of {} units on {}; "
                                             "only the whole holding ({} units) may be redeemed below it",
                                             quantity, oid, lower, date, closable));
        }
    }

    const FeeSchedule& schedule = st.schedule(env, oid);
    // Work on a copy: the lots change only once the trade exists.
    FundBook& book = st.book(account, oid);
    FundBook next = book;
    reconcile(next, position, st.has_fallback_day ? st.fallback_day : today);
    std::deque<Lot>& lots = next.lots;
    // The units still on their way are the ones booked last: give them to
    // the newest lots, so FIFO runs over the units received only.
    std::vector<double> in_transit(lots.size(), 0.0);
    {
        double queued = as_double(tmf::getattr_or(position, n.receivable_quantity, py::none()));
        auto give = [&](std::size_t i) {
            if (!(queued > 0.0)) return false;
            in_transit[i] = std::min(lots[i].units, queued);
            queued -= in_transit[i];
            return true;
        };
        // Lots lie in booking order too unless a reinvested dividend was
        // dated among older ones: then the newest are simply the last, and
        // a fund ordered thousands of times a day needs no sort per order.
        const bool booking_order = std::is_sorted(lots.begin(), lots.end(),
                                                  [](const Lot& a, const Lot& b) { return a.seq < b.seq; });
        if (booking_order) {
            for (std::size_t i = lots.size(); i-- > 0 && give(i);) {
            }
        } else {
            std::vector<std::size_t> newest(lots.size());
            for (std::size_t i = 0; i < newest.size(); ++i) newest[i] = i;
            std::sort(newest.begin(), newest.end(),
                      [&](std::size_t a, std::size_t b) { return lots[a].seq > lots[b].seq; });
            for (std::size_t i : newest) {
                if (!give(i)) break;
            }
        }
    }
    auto rate_for = [&](const Lot& lot) {
        const double days = static_cast<double>(today - lot.day);
        for (const RedemptionTier& t : schedule.redemption) {
            if (days < t.max_days) return t.rate;
        }
        return 0.0;
    };
    double remaining = wanted, fee = 0.0;
    // Received units first, oldest holding date first; then, should float
    // noise leave a remainder, the units counted as on their way.
    for (int pass = 0; pass < 2 && remaining > kEps; ++pass) {
        for (std::size_t i = 0; i < lots.size() && remaining > 0.0; ++i) {
            const double available = pass == 0 ? lots[i].units - in_transit[i] : lots[i].units;
            if (!(available > 0.0)) continue;
            const double take = std::min(available, remaining);
            fee += take * nav * rate_for(lots[i]);
            remaining -= take;
            lots[i].units -= take;
        }
    }
    std::erase_if(lots, [](const Lot& lot) { return lot.units <= kEps; });

    py::object order_id = tmf::attr(order, n.order_id);
    py::object order_book_id = tmf::attr(order, n.order_book_id);
    py::object trade = tmf::call_method(h.trade_cls, n.from_create, order_id, py::float_(nav), py::float_(wanted),
                                        h.sell, h.close, order_book_id);
    py::float_ fee_value(fee);
    tmf::set_attr(trade, n.commission, fee_value);
    tmf::set_attr(trade, n.tax, py::float_(0.0));
    tmf::set_attr(order, n.fee, fee_value);
    book = std::move(next);
    py::list out;
    out.append(trade);
    return out;
}

// match(self, account, order, open_auction): called by the broker for every
// open fund order, so it is a plain vectorcall function (see fast_call.hpp).
py::object match(PyObject* const* args) {
    py::handle self = args[0], account = args[1], order = args[2];
    const Host& h = host();
    const Names& n = names();
    MatcherState& st = state_of(self);
    py::object env = tmf::attr(self, n.env_);
    py::object oid_obj = tmf::attr(order, n.order_book_id);
    const std::string oid = oid_obj.cast<std::string>();
    py::object date = tmf::call_method(tmf::attr(env, n.trading_dt), n.date);
    const long today = day_number(date);

    py::object bar = tmf::call_method(env, n.get_bar, oid_obj);
    const double nav = as_double(tmf::attr(bar, n.close));
    if (std::isnan(nav)) return reject(order, tmf::format("no NAV for {} on {}", oid, date));
    if (!(nav > 0.0) || std::isinf(nav)) {
        return reject(order, tmf::format("NAV of {} on {} is not a positive price: {}", oid, date, nav));
    }

    py::object side = tmf::attr(order, n.side);
    py::object effect = tmf::attr(order, n.position_effect);
    const bool buy = tmf::equals_member(side, h.buy) && tmf::equals_member(effect, h.open);
    const bool sell = tmf::equals_member(side, h.sell) && tmf::equals_member(effect, h.close);
    if (!buy && !sell) {
        return reject(order, tmf::format("fund orders are subscriptions (BUY, OPEN) or redemptions (SELL, CLOSE); "
                                         "order of {} is {}, {}",
                                         oid, side, effect));
    }
    // A fund order's price is the day's NAV; a limit beyond it is not met.
    if (!h.limit.is_none() && tmf::equals_member(tmf::attr(order, n.type), h.limit)) {
        const double limit = as_double(tmf::attr(order, n.price));
        if ((buy && nav > limit) || (sell && nav < limit)) {
            return reject(order, tmf::format("NAV {} of {} on {} does not meet the order's limit price {}", nav, oid,
                                             date, limit));
        }
    }
    return buy ? subscribe(st, env, account, order, bar, oid, nav, date, today)
               : redeem(st, env, account, order, bar, oid, nav, date, today);
}

py::dict schedule_dict(const FeeSchedule& s) {
    py::list sub, red;
    for (const SubscriptionTier& t : s.subscription) {
        sub.append(py::make_tuple(t.upper, t.is_fixed ? py::object(py::none()) : py::object(py::float_(t.rate)),
                                  t.is_fixed ? py::object(py::float_(t.fixed)) : py::object(py::none())));
    }
    for (const RedemptionTier& t : s.redemption) red.append(py::make_tuple(t.max_days, t.rate));
    py::dict d;
    d["subscription"] = sub;
    d["redemption"] = red;
    return d;
}

}  // namespace

PYBIND11_MODULE(matcher, m) {
    m.doc() = "Order matcher for public funds: fills at the day's NAV with subscription and redemption fees.";
    // The host's matcher base, where it has one; a host without it takes any
    // object with `match` (and `update`) as a matcher.
    py::object base = tmf::getattr_or(py::module_::import("tessel.interface"), "AbstractMatcher",
                                      reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    Host& h = host();
    h.trade_cls = tmf::import_attr("tessel.model.trade", "Trade");
    py::module_ host_const = py::module_::import("tessel.const");
    h.buy = host_const.attr("SIDE").attr("BUY");
    h.sell = host_const.attr("SIDE").attr("SELL");
    h.open = host_const.attr("POSITION_EFFECT").attr("OPEN");
    h.close = host_const.attr("POSITION_EFFECT").attr("CLOSE");
    // Without order types on the host every fund order is a market order.
    py::object order_type = tmf::getattr_or(host_const, "ORDER_TYPE", py::none());
    h.limit = order_type.is_none() ? py::object(py::none()) : py::object(order_type.attr("LIMIT"));
    h.date_cls = tmf::import_attr("datetime", "date");
    Names& n = names();
    n.quantity_ = tmf::intern("_quantity");
    n.dividend_receivable_ = tmf::intern("_dividend_receivable");
    n.book_ = tmf::intern("_book");
    n.env_ = tmf::intern("_env");
    n.mark_rejected = tmf::intern("mark_rejected");
    n.cash_amount = tmf::intern("cash_amount");
    n.unfilled_quantity = tmf::intern("unfilled_quantity");
    n.cash = tmf::intern("cash");
    n.order_id = tmf::intern("order_id");
    n.order_book_id = tmf::intern("order_book_id");
    n.commission = tmf::intern("commission");
    n.tax = tmf::intern("tax");
    n.fee = tmf::intern("fee");
    n.positions = tmf::intern("positions");
    n.get = tmf::intern("get");
    n.closable = tmf::intern("closable");
    n.receivable_quantity = tmf::intern("receivable_quantity");
    n.trading_dt = tmf::intern("trading_dt");
    n.date = tmf::intern("date");
    n.get_bar = tmf::intern("get_bar");
    n.close = tmf::intern("close");
    n.side = tmf::intern("side");
    n.position_effect = tmf::intern("position_effect");
    n.type = tmf::intern("type");
    n.price = tmf::intern("price");
    n.from_create = tmf::intern("__from_create__");
    n.year = tmf::intern("year");
    n.month = tmf::intern("month");
    n.day = tmf::intern("day");
    n.subscribe_lower_limit = tmf::intern("subscribe_lower_limit");
    n.subscribe_upper_limit = tmf::intern("subscribe_upper_limit");
    n.redeem_lower_limit = tmf::intern("redeem_lower_limit");

    // The per-matcher native state: fee schedules and, per account and fund,
    // the lots and the day's subscribed total.
    py::class_<MatcherState>(m, "_MatcherBook");

    tmf::ClassBuilder cls("FundMatcher", m, base);
    cls.doc("Fills fund subscriptions and redemptions whole at the day's NAV, charging their fees.\n\n"
            "FundMatcher(env, subscription_limit): with subscription_limit true the day's\n"
            "subscribe/redeem limits of the fund's bar are enforced.  Fee schedules come\n"
            "from the fund's instrument unless mod.fund.fees overrides them.")
        .def(
            "__init__",
            [](py::object self, py::object env, py::object subscription_limit) {
                self.attr("_env") = env;
                self.attr("_subscription_limit") = subscription_limit;
                auto st = std::make_unique<MatcherState>();
                st->subscription_limit = tmf::truthy(subscription_limit);
                // Checked here, so that a bad setting stops the run at start-up.
                load_overrides(*st, env);
                py::object config = env.attr("config");
                py::object base_cfg = tmf::getattr_or(config, "base", py::none());
                py::object start = base_cfg.is_none() ? py::object(py::none())
                                                      : tmf::getattr_or(base_cfg, "start_date", py::none());
                if (!start.is_none() && py::hasattr(start, "year")) {
                    st->fallback_day = day_number(start);
                    st->has_fallback_day = true;
                }
                self.attr("_book") = py::cast(std::move(st));
            },
            py::arg("self"), py::arg("env"), py::arg("subscription_limit"))
        // `update` stays the interface's no-op: the only per-day state, the
        // subscribed totals, is keyed by the trading day inside match.
        .attr("match", tmf::fast_method("match", {"self", "account", "order", "open_auction"},
                                        {py::handle(), py::handle(), py::handle(), py::handle()},
                                        "match(self: object, account: object, order: object, open_auction: object) "
                                        "-> list\n",
                                        &match, m))
        .def(
            "fee_schedule",
            [](py::object self, py::object order_book_id) {
                return schedule_dict(state_of(self).schedule(self.attr("_env"), order_book_id.cast<std::string>()));
            },
            py::arg("self"), py::arg("order_book_id"))
        .def(
            "holding_lots",
            [](py::object self, py::object account, py::object order_book_id) {
                // The lots as booked (before any rescaling to the position):
                // [(confirmation date, units), ...], oldest first.
                py::list out;
                const FundBook* book = state_of(self).find_book(account, order_book_id.cast<std::string>());
                if (!book) return out;
                for (const Lot& lot : book->lots) {
                    using namespace std::chrono;
                    const year_month_day ymd{sys_days{days{lot.day}}};
                    out.append(py::make_tuple(host().date_cls(static_cast<int>(ymd.year()),
                                                              static_cast<unsigned>(ymd.month()),
                                                              static_cast<unsigned>(ymd.day())),
                                              lot.units));
                }
                return out;
            },
            py::arg("self"), py::arg("account"), py::arg("order_book_id"));
    if (!py::hasattr(base, "update")) {
        cls.def("update", [](py::object, py::object) {}, py::arg("self"), py::arg("event"));
    }
    m.attr("FundMatcher") = cls.build();
}
