// The stable SQLite C interface, looked up at run time in the libsqlite3 that
// Python's sqlite3 module has already loaded (one SQLite library per process
// and per database file), so nothing is linked or needs a header at build time.
#pragma once

#include <dlfcn.h>

#include <cstdint>

namespace tmf::sqlite {

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

constexpr int OK = 0;
constexpr int ROW = 100;
constexpr int DONE = 101;
constexpr int OPEN_READONLY = 0x00000001;
constexpr int OPEN_READWRITE = 0x00000002;
constexpr int OPEN_URI = 0x00000040;
constexpr int OPEN_NOMUTEX = 0x00008000;  // the connection is used by one thread at a time
constexpr int INTEGER = 1;
constexpr int FLOAT = 2;
constexpr int TEXT = 3;
constexpr int BLOB = 4;
constexpr int NULL_VALUE = 5;
using destructor_t = void (*)(void*);
// SQLITE_TRANSIENT: SQLite copies a bound text before the call returns.
inline destructor_t transient() { return reinterpret_cast<destructor_t>(-1); }

struct Api {
    int (*open_v2)(const char*, sqlite3**, int, const char*) = nullptr;
    int (*close)(sqlite3*) = nullptr;
    int (*exec)(sqlite3*, const char*, void*, void*, char**) = nullptr;
    int (*prepare_v2)(sqlite3*, const char*, int, sqlite3_stmt**, const char**) = nullptr;
    int (*bind_text)(sqlite3_stmt*, int, const char*, int, destructor_t) = nullptr;
    int (*bind_double)(sqlite3_stmt*, int, double) = nullptr;
    int (*bind_int64)(sqlite3_stmt*, int, std::int64_t) = nullptr;
    int (*bind_null)(sqlite3_stmt*, int) = nullptr;
    int (*bind_parameter_count)(sqlite3_stmt*) = nullptr;
    int (*step)(sqlite3_stmt*) = nullptr;
    int (*reset)(sqlite3_stmt*) = nullptr;
    int (*finalize)(sqlite3_stmt*) = nullptr;
    int (*column_count)(sqlite3_stmt*) = nullptr;
    int (*column_type)(sqlite3_stmt*, int) = nullptr;
    double (*column_double)(sqlite3_stmt*, int) = nullptr;
    const unsigned char* (*column_text)(sqlite3_stmt*, int) = nullptr;
    int (*column_bytes)(sqlite3_stmt*, int) = nullptr;
    std::int64_t (*column_int64)(sqlite3_stmt*, int) = nullptr;
    const void* (*column_blob)(sqlite3_stmt*, int) = nullptr;
    int (*clear_bindings)(sqlite3_stmt*) = nullptr;
    // A column's value and what it holds.  The value is one SQLite does not
    // guard by the connection's mutex, so these are for connections one
    // thread uses at a time (OPEN_NOMUTEX); one call per column instead of
    // one per question asked of it.
    sqlite3_value* (*column_value)(sqlite3_stmt*, int) = nullptr;
    int (*value_type)(sqlite3_value*) = nullptr;
    double (*value_double)(sqlite3_value*) = nullptr;
    const unsigned char* (*value_text)(sqlite3_value*) = nullptr;
    int (*value_bytes)(sqlite3_value*) = nullptr;
    bool ok = false;
};

template <class F>
bool resolve(void* lib, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(lib, name));
    return slot != nullptr;
}

// The library's functions; ok is false when the library or one of them is missing.
inline const Api& api() {
    static const Api loaded = [] {
        Api a;
        // The copy already in the process first.
        void* lib = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
        if (lib == nullptr) lib = dlopen("libsqlite3.so.0", RTLD_NOW);
        if (lib == nullptr) return a;
        a.ok = resolve(lib, "sqlite3_open_v2", a.open_v2) && resolve(lib, "sqlite3_close", a.close) &&
               resolve(lib, "sqlite3_exec", a.exec) && resolve(lib, "sqlite3_prepare_v2", a.prepare_v2) &&
               resolve(lib, "sqlite3_bind_text", a.bind_text) &&
               resolve(lib, "sqlite3_bind_double", a.bind_double) &&
               resolve(lib, "sqlite3_bind_int64", a.bind_int64) &&
               resolve(lib, "sqlite3_bind_null", a.bind_null) &&
               resolve(lib, "sqlite3_bind_parameter_count", a.bind_parameter_count) &&
               resolve(lib, "sqlite3_step", a.step) &&
               resolve(lib, "sqlite3_reset", a.reset) && resolve(lib, "sqlite3_finalize", a.finalize) &&
               resolve(lib, "sqlite3_column_count", a.column_count) &&
               resolve(lib, "sqlite3_column_type", a.column_type) &&
               resolve(lib, "sqlite3_column_double", a.column_double) &&
               resolve(lib, "sqlite3_column_text", a.column_text) &&
               resolve(lib, "sqlite3_column_bytes", a.column_bytes) &&
               resolve(lib, "sqlite3_column_int64", a.column_int64) &&
               resolve(lib, "sqlite3_column_blob", a.column_blob) &&
               resolve(lib, "sqlite3_clear_bindings", a.clear_bindings) &&
               resolve(lib, "sqlite3_column_value", a.column_value) &&
               resolve(lib, "sqlite3_value_type", a.value_type) &&
               resolve(lib, "sqlite3_value_double", a.value_double) &&
               resolve(lib, "sqlite3_value_text", a.value_text) &&
               resolve(lib, "sqlite3_value_bytes", a.value_bytes);
        return a;
    }();
    return loaded;
}

// A prepared statement, finalized with its owner.
struct Statement {
    const Api& a;
    sqlite3_stmt* stmt = nullptr;
    explicit Statement(const Api& api) : a(api) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() {
        if (stmt != nullptr) a.finalize(stmt);
    }
};

}  // namespace tmf::sqlite
