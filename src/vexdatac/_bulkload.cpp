// Native bulk load of the importer's large files (NAV and status rows).
//
// `load` reads one CSV file, checks every row and inserts it into a table of
// the database file being built, in a transaction of its own. It takes only
// what it is sure about: plain comma-separated ASCII lines (ending in "\n"
// or "\r\n"), cells perhaps padded with spaces or tabs, dates as YYYY-MM-DD
// or YYYYMMDD, plain decimal numbers, known fund ids and statuses.
// On anything else (a quote, a blank line, a space inside a cell, an odd
// number, a key seen before...) it rolls its transaction back and returns
// None, and the Python importer takes the whole file, which then words the
// first problem.
//
// SQLite is not linked at build time (see tmf/sqlite_api.hpp).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>


#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tmf/sqlite_api.hpp"

namespace py = pybind11;

namespace {

namespace sq = tmf::sqlite;
using sq::Api;
using sq::api;
using sq::sqlite3;
using sq::sqlite3_stmt;
using sq::Statement;
constexpr int SQLITE_OK = sq::OK;
constexpr int SQLITE_DONE = sq::DONE;
constexpr int SQLITE_OPEN_READWRITE = sq::OPEN_READWRITE;
constexpr int SQLITE_OPEN_NOMUTEX = sq::OPEN_NOMUTEX;

// What a number column requires of its cells.
struct Rule {
  bool required = false;   // an empty cell is refused (or: needed when the fund accrues)
  bool per_fund = false;   // required only for funds that accrue daily
  bool positive = false;   // > 0
  bool nonneg = false;     // >= 0
};

enum class Kind { id, date, number, status };

struct Column {
  Kind kind;
  Rule rule;
  int source = -1;  // index in the file's header; -1: not in the file (NULL)
};

// A plain decimal number: -?digits[.digits][(e|E)[+-]digits]. Python's
// float() reads all of these, to the same correctly rounded double.
std::optional<double> plain_number(std::string_view s) {
  std::size_t i = 0, n = s.size();
  if (i < n && s[i] == '-') ++i;
  auto digits = [&] {
    std::size_t start = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    return i > start;
  };
  if (!digits()) return std::nullopt;
  if (i < n && s[i] == '.') {
    ++i;
    if (!digits()) return std::nullopt;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return std::nullopt;
  }
  if (i != n) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + n, value);
  if (ec != std::errc() || end != s.data() + n) return std::nullopt;  // overflow, underflow
  return value;
}

int two(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// YYYY-MM-DD or YYYYMMDD of a real calendar day, as ISO text into `out`.
bool plain_date(std::string_view s, char out[10]) {
  const char* p = s.data();
  auto all_digits = [](const char* q, int k) {
    for (int j = 0; j < k; ++j)
      if (q[j] < '0' || q[j] > '9') return false;
    return true;
  };
  const char *y, *m, *d;
  if (s.size() == 10 && p[4] == '-' && p[7] == '-') {
    y = p, m = p + 5, d = p + 8;
  } else if (s.size() == 8) {
    y = p, m = p + 4, d = p + 6;
  } else {
    return false;
  }
  if (!all_digits(y, 4) || !all_digits(m, 2) || !all_digits(d, 2)) return false;
  int year = two(y) * 100 + two(y + 2), month = two(m), day = two(d);
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > days[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  std::memcpy(out, y, 4);
  out[4] = '-';
  std::memcpy(out + 5, m, 2);
  out[7] = '-';
  std::memcpy(out + 8, d, 2);
  return true;
}

// A cell as the Python importer reads it: without the spaces and tabs
// around it. Any other white space is left in, where no cell accepts it, so
// that a file with it goes to the Python importer (whose strip() knows every
// kind of white space).
std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool plain_cell(std::string_view s) {
  for (unsigned char c : s)
    if (c <= ' ' || c >= 0x7f || c == '"') return false;  // spaces, controls, quotes, non-ASCII
  return true;
}

struct Connection {
  const Api& a;
  sqlite3* db = nullptr;
  bool open_tx = false;
  ~Connection() {
    if (db == nullptr) return;
    if (open_tx) a.exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    a.close(db);
  }
  bool exec(const char* sql) { return a.exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
};

class Reader {
 public:
  explicit Reader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
  ~Reader() {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool ok() const { return file_ != nullptr; }
  // The next line without its line break ("\n", or "\r\n" as the csv module
  // reads it too; a "\r" at the very end of the file ends its last line);
  // false at the end of the file. Any other "\r" stays in the line, where no
  // cell accepts it.
  bool line(std::string_view& out) {
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(buf_.data() + pos_, '\n', end_ - pos_));
      if (nl != nullptr) {
        out = without_cr(std::string_view(buf_.data() + pos_, nl - (buf_.data() + pos_)));
        pos_ = nl - buf_.data() + 1;
        return true;
      }
      if (eof_) {
        if (pos_ == end_) return false;
        out = without_cr(std::string_view(buf_.data() + pos_, end_ - pos_));
        pos_ = end_;
        return true;
      }
      fill();
    }
  }

 private:
  static std::string_view without_cr(std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
  }
  void fill() {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);  // a very long line
    std::size_t got = std::fread(buf_.data() + end_, 1, buf_.size() - end_, file_);
    end_ += got;
    if (got == 0) eof_ = true;
  }
  std::FILE* file_;
  std::vector<char> buf_ = std::vector<char>(1 << 20);
  std::size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
};

constexpr int kRowsPerInsert = 100;
constexpr std::string_view kStatuses[] = {"Open", "Limited", "Suspended", "Close"};

// Loads `path` into `table`; the row count, or None when the file is to be
// handed to the Python importer. `columns` lists the table columns in order
// with their kind ("id", "date", "status", or a number rule of letters:
// r required, a required for accruing funds, p > 0, n >= 0); `limits` names
// a (lower, upper) pair of columns where lower must not exceed upper.
std::optional<long long> load(const std::string& database, const std::string& path, const std::string& table,
                const std::vector<std::pair<std::string, std::string>>& columns,
                const std::unordered_map<std::string, bool>& funds,
                std::optional<std::pair<std::string, std::string>> limits, long long max_pages) {
  const Api& a = api();
  if (!a.ok) return std::nullopt;
  std::vector<Column> cols;
  std::string names, marks;
  for (const auto& [name, kind] : columns) {
    Column c{Kind::number, {}, -1};
    if (kind == "id") c.kind = Kind::id;
    else if (kind == "date") c.kind = Kind::date;
    else if (kind == "status") c.kind = Kind::status;
    else
      for (char ch : kind) {
        if (ch == 'r') c.rule.required = true;
        else if (ch == 'a') c.rule.per_fund = true;
        else if (ch == 'p') c.rule.positive = true;
        else if (ch == 'n') c.rule.nonneg = true;
        else throw std::invalid_argument("unknown column rule " + kind);
      }
    cols.push_back(c);
    names += (names.empty() ? "" : ", ") + name;
    marks += marks.empty() ? "?" : ", ?";
  }
  int lower = -1, upper = -1;

  std::unordered_map<std::string_view, bool> ids(funds.begin(), funds.end());
  Reader reader(path);
  if (!reader.ok()) return std::nullopt;
  std::string_view text;
  if (!reader.line(text)) return std::nullopt;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // The header: plain names, each a table column.
  std::size_t width = 0;
  for (std::size_t start = 0;; ++width) {
    std::size_t comma = text.find(',', start);
    std::string_view name = trimmed(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (!plain_cell(name)) return std::nullopt;
    bool found = false;
    for (std::size_t k = 0; k < cols.size(); ++k)
      if (columns[k].first == name) {
        if (cols[k].source >= 0) return std::nullopt;
        cols[k].source = static_cast<int>(width);
        found = true;
      }
    if (!found) return std::nullopt;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  ++width;
  for (std::size_t k = 0; k < cols.size(); ++k) {
    if (cols[k].source < 0 && (cols[k].kind != Kind::number || cols[k].rule.required)) return std::nullopt;
    if (limits && columns[k].first == limits->first) lower = cols[k].source;
    if (limits && columns[k].first == limits->second) upper = cols[k].source;
  }

  Connection conn{a};
  if (a.open_v2(database.c_str(), &conn.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) return std::nullopt;
  // The rows are all checked here, as the Python importer checks them.
  // Any failure to write leaves the file to the Python path, which meets it
  // again and reports it as the import's own write error.
  if (!conn.exec("PRAGMA foreign_keys = OFF") || !conn.exec("PRAGMA ignore_check_constraints = ON") ||
      !conn.exec("PRAGMA cache_size = -65536") ||
      !conn.exec(("PRAGMA max_page_count = " + std::to_string(max_pages)).c_str()) ||
      !conn.exec("BEGIN IMMEDIATE"))
    return std::nullopt;
  conn.open_tx = true;
  // Many rows to a statement: far fewer statement runs than rows.
  auto prepare = [&](Statement& st, int rows) {
    std::string sql = "INSERT INTO " + table + " (" + names + ") VALUES ";
    for (int r = 0; r < rows; ++r) sql += (r ? ", (" : "(") + marks + ")";
    return a.prepare_v2(conn.db, sql.c_str(), -1, &st.stmt, nullptr) == SQLITE_OK;
  };
  Statement full{a};
  if (!prepare(full, kRowsPerInsert)) return std::nullopt;
  sqlite3_stmt* stmt = full.stmt;
  int row = 0;  // rows held for the next statement
  const int ncols = static_cast<int>(cols.size());
  // The values of the rows held: a text, a number or NULL each.
  struct Slot {
    enum { null, number, text } type = null;
    double number_value = 0;
    std::string text_value;
  };
  std::vector<Slot> slots(static_cast<std::size_t>(kRowsPerInsert) * ncols);
  auto flush = [&](sqlite3_stmt* target, int rows) {
    for (int k = 0; k < rows * ncols; ++k) {
      const Slot& v = slots[k];
      if (v.type == Slot::number) a.bind_double(target, k + 1, v.number_value);
      else if (v.type == Slot::text)
        a.bind_text(target, k + 1, v.text_value.data(), static_cast<int>(v.text_value.size()), nullptr);
      else a.bind_null(target, k + 1);
    }
    bool done = a.step(target) == SQLITE_DONE;  // not: a key seen before, or a write error
    a.reset(target);
    return done;
  };

  std::vector<std::string_view> cells(width);
  std::vector<double> numbers(width);
  long long count = 0;
  while (reader.line(text)) {
    std::size_t k = 0, start = 0;
    for (;; ++k) {
      std::size_t comma = text.find(',', start);
      if (k >= width) return std::nullopt;
      cells[k] = trimmed(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (k + 1 != width) return std::nullopt;
    const auto& id = cells[cols[0].source];
    auto fund = ids.find(id);
    if (id.empty() || !plain_cell(id) || fund == ids.end()) return std::nullopt;
    for (std::size_t c = 0; c < cols.size(); ++c) {
      const Column& col = cols[c];
      Slot& slot = slots[static_cast<std::size_t>(row) * ncols + c];
      if (col.source < 0) {
        if (col.rule.per_fund && fund->second) return std::nullopt;
        slot.type = Slot::null;
        continue;
      }
      std::string_view cell = cells[col.source];
      switch (col.kind) {
        case Kind::id:
          slot.type = Slot::text;
          slot.text_value.assign(cell);
          break;
        case Kind::date: {
          char iso[10];
          if (!plain_date(cell, iso)) return std::nullopt;
          slot.type = Slot::text;
          slot.text_value.assign(iso, 10);
          break;
        }
        case Kind::status: {
          bool known = false;
          for (auto s : kStatuses) known = known || s == cell;
          if (!known) return std::nullopt;
          slot.type = Slot::text;
          slot.text_value.assign(cell);
          break;
        }
        case Kind::number: {
          if (cell.empty()) {
            if (col.rule.required || (col.rule.per_fund && fund->second)) return std::nullopt;
            numbers[col.source] = -1;  // no value: no limit to compare
            slot.type = Slot::null;
            break;
          }
          auto value = plain_number(cell);
          if (!value || (col.rule.positive && !(*value > 0)) || (col.rule.nonneg && *value < 0))
            return std::nullopt;
          numbers[col.source] = *value;
          slot.type = Slot::number;
          slot.number_value = *value;
          break;
        }
      }
    }
    if (lower >= 0 && upper >= 0 && !cells[lower].empty() && !cells[upper].empty() &&
        numbers[lower] > numbers[upper])
      return std::nullopt;
    ++count;
    if (++row == kRowsPerInsert) {
      if (!flush(stmt, row)) return std::nullopt;
      row = 0;
    }
  }
  if (row > 0) {  // the rows left, in a statement of their number
    Statement rest{a};
    if (!prepare(rest, row) || !flush(rest.stmt, row)) return std::nullopt;
  }
  if (!conn.exec("COMMIT")) return std::nullopt;
  conn.open_tx = false;
  return count;
}

}  // namespace

PYBIND11_MODULE(_bulkload, m) {
  m.doc() = "Native checked bulk load of the importer's NAV and status files.";
  m.def("available", [] { return api().ok; }, "Whether the SQLite library could be found.");
  m.def("load", &load, py::arg("database"), py::arg("path"), py::arg("table"), py::arg("columns"),
        py::arg("funds"), py::arg("limits") = py::none(),
        py::arg("max_pages") = 1073741823LL, py::call_guard<py::gil_scoped_release>());
}
