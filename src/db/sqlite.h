// sqlite.h: how every module uses the one SQLite database: connections, transactions under the
// process-wide lock, statement texts, prepared statements, and the fatal check of results.
// SPDX-License-Identifier: MIT
//
// Storage modules borrow the calling thread's connection as a raw `sqlite3*` in every call:
//
//     void fetchqueue::push(sqlite3* db, std::uint32_t arcid, std::string_view url) {
//         sql_text sql("insert into fetchqueue values(%u, '%q')", arcid, std::string(url).c_str());
//         exec(db, sql);                                  // any error ends the process
//     }
//     std::optional<std::string> fetchqueue::first(sqlite3* db, std::uint32_t arcid) {
//         statement st(db, sql_text("select url from fetchqueue where arcid=%u limit 1", arcid));
//         if (!st.next()) {                               // SQLITE_DONE: no row
//             return std::nullopt;
//         }
//         return st.text(0);
//     }
//     // A group of statements, on a thread that owns the connection:
//     transaction t(db);      // process-wide lock, then BEGIN EXCLUSIVE (retried while busy)
//     ...                     // leaving early (return, exception) rolls back
//     t.commit();
//
// Failures: every unexpected result code is fatal: fatal_assertion with "SQLite error: [<code>]
// <message>" and the source path and line of the caller (the helpers take the caller's
// location as a defaulted argument; `sql_site::fixed` prints a fixed path instead). The `try_`
// forms return the code for the few places where failure is an expected answer ("does this table
// exist yet?") or a reported one (backup and restore). The single exception: SQLITE_FULL inside a
// disk_full_tolerated scope (db/disk_full.h) throws disk_full instead.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace marloven {

class config_file;

// Where a statement is written in the source, for the fatal message.
class sql_site {
  public:
    // The caller's file and line (used as a defaulted argument: the builtins then name the line
    // that calls the function taking the site).
    sql_site(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE())
        : file_(file), line_(line) {}
    // A printed path given as it is to appear, such as "hdr\\marloven/cfgstorage".
    static sql_site fixed(const char* path, unsigned line) { return sql_site(path, line, true); }

    // Ends the process: "SQLite error: [<rc>] <sqlite3_errmsg(db)>" (just "SQLite error: [<rc>]"
    // without a connection), at this site; throws disk_full with that text instead for
    // SQLITE_FULL inside a disk_full_tolerated scope.
    [[noreturn]] void fail(sqlite3* db, int rc) const;
    // Ends the process whatever the code: for places that must not throw (closing).
    [[noreturn]] void fail_fatally(sqlite3* db, int rc) const noexcept;
    // Fails unless `rc` is SQLITE_OK, SQLITE_ROW or SQLITE_DONE; returns `rc`.
    int check(sqlite3* db, int rc) const;

  private:
    sql_site(const char* file, unsigned line, bool fixed)
        : file_(file), line_(line), fixed_(fixed) {}
    const char* file_;
    unsigned line_;
    bool fixed_ = false;
};

// Checks a result code at this line: fatal unless SQLITE_OK, SQLITE_ROW or SQLITE_DONE.
#define VANT_SQLITE_CHECK(db, rc) (::marloven::sql_site().check((db), (rc)))
// The same, printing `path` instead of this file's path.
#define VANT_SQLITE_CHECK_AS(path, db, rc) \
    (::marloven::sql_site::fixed((path), __LINE__).check((db), (rc)))

// An owned connection; closes on destruction (a failure to close is fatal, since it means a
// statement was leaked). Move-only; converts to the raw handle that storage calls borrow.
// Threads: one thread at a time.
class sqlite_connection {
  public:
    sqlite_connection() = default;
    explicit sqlite_connection(sqlite3* db) : db_(db) {}
    sqlite_connection(sqlite_connection&& other) noexcept
        : db_(std::exchange(other.db_, nullptr)) {}
    sqlite_connection& operator=(sqlite_connection&& other) noexcept;
    ~sqlite_connection();
    sqlite_connection(const sqlite_connection&) = delete;
    sqlite_connection& operator=(const sqlite_connection&) = delete;

    sqlite3* get() const { return db_; }
    operator sqlite3*() const { return db_; }
    // Closes now; a failure is fatal at the caller's site.
    void close(sql_site where = {});

  private:
    sqlite3* db_ = nullptr;
};

// Opens the database file (by default "vantorell.db" in the working directory, which start-up
// makes the data directory) and applies SyncLevel ("pragma synchronous=<n>", result ignored).
// A failure to open is fatal. Every thread that touches the database opens its own.
sqlite_connection open_database(const config_file& config, const char* file = "vantorell.db",
                                sql_site where = {});
// Closes the connection; a failure is fatal.
void close_database(sqlite_connection& db, sql_site where = {});

// A statement text built by sqlite3_mprintf and freed on destruction. Text values go in through
// '%q' inside single quotes, integers through %d / %u / %lld; binary values are bound instead
// (statement::bind_blob). Arguments must be C strings or numbers.
class sql_text {
  public:
    template <typename... Args>
    explicit sql_text(const char* format, Args... args) : text_(sqlite3_mprintf(format, args...)) {
        static_assert(((std::is_arithmetic_v<Args> || std::is_pointer_v<Args>)&&...),
                      "sql_text takes C strings and numbers; pass std::string as .c_str()");
        check_allocated();
    }
    sql_text(const sql_text&) = delete;
    sql_text& operator=(const sql_text&) = delete;

    const char* c_str() const { return text_.get(); }
    operator const char*() const { return text_.get(); }

  private:
    void check_allocated() const;
    struct freer {
        void operator()(char* p) const noexcept { sqlite3_free(p); }
    };
    std::unique_ptr<char, freer> text_;
};

// Runs a statement without result rows (sqlite3_exec); any error is fatal.
void exec(sqlite3* db, const char* sql, sql_site where = {});
// The same, returning the result code instead of checking it.
int try_exec(sqlite3* db, const char* sql);
// Rows changed by the last insert, update or delete of this connection.
int changes(sqlite3* db);

// A prepared statement; finalized on destruction. Move-only. Columns are read by index from 0,
// parameters bound by index from 1. Threads: the thread that owns its connection.
class statement {
  public:
    // Prepares `sql`; an error is fatal.
    statement(sqlite3* db, const char* sql, sql_site where = {});
    // Prepares `sql` and sets `rc`; on failure the statement is empty and must not be stepped.
    static statement try_prepare(sqlite3* db, const char* sql, int& rc);
    statement(statement&& other) noexcept;
    statement& operator=(statement&& other) noexcept;
    ~statement();
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    // One step: true with a row, false at the end (SQLITE_DONE); anything else is fatal.
    bool next(sql_site where = {});
    // One step, returning the code unchecked.
    int step();
    void reset();

    // Binds bytes to parameter `index` (from 1); SQLite copies them. An error is fatal.
    void bind_blob(int index, std::string_view bytes, sql_site where = {});
    void bind_int64(int index, std::int64_t value, sql_site where = {});
    // Binds text (stored with the type TEXT, as a quoted literal would be); SQLite copies it.
    void bind_text(int index, std::string_view text, sql_site where = {});

    std::int64_t integer(int column) const;
    // The column as text (a NULL gives the empty text); also reads blobs, byte for byte.
    std::string text(int column) const;
    std::string blob(int column) const { return text(column); }
    bool is_null(int column) const;

    sqlite3_stmt* get() const { return stmt_; }

  private:
    statement() = default;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

// The lock that serialises the transactions of the whole process. It is the outermost lock:
// take no other lock before it.
std::mutex& transaction_mutex();

// An exclusive transaction: locks the process-wide mutex, then runs "begin exclusive
// transaction", retrying while the database is busy (another process) after a random pause:
// before retry n it sleeps rand() mod 2^min(n, 8) milliseconds, with no limit on the retries.
// Another error is fatal. The destructor rolls back unless commit() ran, and unlocks.
// Threads: the thread that owns the connection; not movable.
class transaction {
  public:
    explicit transaction(sqlite3* db, sql_site where = {});
    ~transaction();
    transaction(const transaction&) = delete;
    transaction& operator=(const transaction&) = delete;

    // "commit transaction"; a failure is fatal. A disk_full thrown here (inside a
    // disk_full_tolerated scope) leaves the transaction to the destructor, which rolls it back.
    void commit(sql_site where = {});

  private:
    sqlite3* db_;
    std::unique_lock<std::mutex> lock_;
    bool open_ = true;
};

// The same pair as free functions, for callers whose transaction spans calls (the SOAP methods):
// begin_transaction locks the mutex and begins as above; it returns the result, which the caller
// checks (on a result other than SQLITE_OK the mutex has been released again).
// commit_transaction commits and unlocks whatever the result, and returns it. Prefer
// `transaction` where one scope covers the work.
int begin_transaction(sqlite3* db);
int commit_transaction(sqlite3* db);

}  // namespace marloven
