// sqlite.cc: connections, statements, transactions and the fatal check of SQLite results.
// SPDX-License-Identifier: MIT
#include "db/sqlite.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "db/disk_full.h"
#include "util/config_file.h"
#include "util/log.h"

namespace marloven {

namespace {

std::string error_text(sqlite3* db, int rc) {
    std::string message = "SQLite error: [" + std::to_string(rc) + "]";
    if (db != nullptr) {
        message += " ";
        message += sqlite3_errmsg(db);
    }
    return message;
}

}  // namespace

void sql_site::fail(sqlite3* db, int rc) const {
    // The one exception to "every SQLite error is fatal": see disk_full.h.
    if (is_disk_full(rc) && disk_full_tolerated::active()) {
        throw disk_full(error_text(db, rc));
    }
    fail_fatally(db, rc);
}

void sql_site::fail_fatally(sqlite3* db, int rc) const noexcept {
    const std::string message = error_text(db, rc);
    if (fixed_) {
        fatal_assertion(message, file_, line_);
    }
    fatal_assertion_at(message, file_, line_);
}

int sql_site::check(sqlite3* db, int rc) const {
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
        fail(db, rc);
    }
    return rc;
}

sqlite_connection& sqlite_connection::operator=(sqlite_connection&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

sqlite_connection::~sqlite_connection() {
    close();
}

void sqlite_connection::close(sql_site where) {
    if (db_ == nullptr) {
        return;
    }
    int rc = sqlite3_close(db_);
    if (rc != SQLITE_OK) {
        // The handle stays open (a statement was not finalized): report without its message,
        // which would describe the last statement rather than the close.
        where.fail_fatally(nullptr, rc);
    }
    db_ = nullptr;
}

namespace {

// Runs `sql`, retrying while the database is busy: before retry n it sleeps rand() mod
// 2^min(n, 8) milliseconds, with no limit on the retries. Returns the last result.
int retry_while_busy(sqlite3* db, const char* sql) {
    int rc = try_exec(db, sql);
    for (int n = 0; rc == SQLITE_BUSY; ++n) {
        int ms = std::rand() % (1 << std::min(n, 8));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        rc = try_exec(db, sql);
    }
    return rc;
}

}  // namespace

sqlite_connection open_database(const config_file& config, const char* file, sql_site where) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open(file, &raw);
    sqlite_connection db(raw);  // sqlite3_open returns a handle even on failure; it must be closed
    if (rc != SQLITE_OK) {
        where.fail(nullptr, rc);
    }
    // Write-ahead logging: readers never wait for the writer, and with synchronous levels below
    // 2 a commit does not wait for the disk (a killed process still loses nothing; a power cut
    // may lose the last commits, never the file's consistency). The mode is kept in the file.
    try_exec(db, "pragma journal_mode=WAL");
    int sync = static_cast<int>(config.integer(keys::SyncLevel));
    // The pragma reads the schema first, which another connection's exclusive transaction
    // refuses (SQLITE_BUSY): a connection opened while another thread works would silently keep
    // the default level. It is retried like the beginning of a transaction.
    retry_while_busy(db, sql_text("pragma synchronous=%d", sync));
    return db;
}

void close_database(sqlite_connection& db, sql_site where) {
    db.close(where);
}

void sql_text::check_allocated() const {
    VANT_CHECK(text_ != nullptr, "sqlite3_mprintf: out of memory");
}

void exec(sqlite3* db, const char* sql, sql_site where) {
    int rc = try_exec(db, sql);
    if (rc != SQLITE_OK) {
        where.fail(db, rc);
    }
}

int try_exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int changes(sqlite3* db) {
    return sqlite3_changes(db);
}

statement::statement(sqlite3* db, const char* sql, sql_site where) : db_(db) {
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        where.fail(db, rc);
    }
}

statement statement::try_prepare(sqlite3* db, const char* sql, int& rc) {
    statement st;
    st.db_ = db;
    rc = sqlite3_prepare_v2(db, sql, -1, &st.stmt_, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(st.stmt_);
        st.stmt_ = nullptr;
    }
    return st;
}

statement::statement(statement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}

statement& statement::operator=(statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        db_ = other.db_;
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

statement::~statement() {
    sqlite3_finalize(stmt_);
}

bool statement::next(sql_site where) {
    int rc = step();
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc != SQLITE_DONE) {
        where.fail(db_, rc);
    }
    return false;
}

int statement::step() {
    VANT_CHECK(stmt_ != nullptr, "Stepping a statement that was not prepared");
    return sqlite3_step(stmt_);
}

void statement::reset() {
    sqlite3_reset(stmt_);
}

void statement::bind_blob(int index, std::string_view bytes, sql_site where) {
    VANT_CHECK(bytes.size() <= static_cast<size_t>(INT_MAX), "Blob too large for SQLite");
    // A non-null pointer even for no bytes: SQLite stores a NULL for a null pointer.
    const char* data = bytes.empty() ? "" : bytes.data();
    int rc =
        sqlite3_bind_blob(stmt_, index, data, static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
        where.fail(db_, rc);
    }
}

void statement::bind_text(int index, std::string_view text, sql_site where) {
    VANT_CHECK(text.size() <= static_cast<size_t>(INT_MAX), "Text too large for SQLite");
    const char* data = text.empty() ? "" : text.data();
    int rc = sqlite3_bind_text(stmt_, index, data, static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
        where.fail(db_, rc);
    }
}

void statement::bind_int64(int index, std::int64_t value, sql_site where) {
    int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK) {
        where.fail(db_, rc);
    }
}

std::int64_t statement::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string statement::text(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) {
        return {};
    }
    return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

bool statement::is_null(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::mutex& transaction_mutex() {
    static std::mutex m;
    return m;
}

namespace {

// "begin exclusive transaction", retried while another process holds the database.
int begin_exclusive(sqlite3* db) {
    return retry_while_busy(db, "begin exclusive transaction");
}

}  // namespace

transaction::transaction(sqlite3* db, sql_site where) : db_(db), lock_(transaction_mutex()) {
    int rc = begin_exclusive(db);
    if (rc != SQLITE_OK) {
        where.fail(db, rc);
    }
}

transaction::~transaction() {
    if (open_) {
        // Fails harmlessly when SQLite has already rolled back after an error.
        try_exec(db_, "rollback transaction");
    }
}

void transaction::commit(sql_site where) {
    int rc = try_exec(db_, "commit transaction");
    if (rc != SQLITE_OK) {
        // Still open and locked: a disk_full thrown here leaves the rollback to the destructor.
        where.fail(db_, rc);
    }
    open_ = false;
    lock_.unlock();
}

// The free pair holds the mutex from one call to the other, so it cannot use a scoped lock.
int begin_transaction(sqlite3* db) {
    transaction_mutex().lock();
    int rc = begin_exclusive(db);
    if (rc != SQLITE_OK) {
        transaction_mutex().unlock();
    }
    return rc;
}

int commit_transaction(sqlite3* db) {
    int rc = try_exec(db, "commit transaction");
    transaction_mutex().unlock();
    return rc;
}

}  // namespace marloven
