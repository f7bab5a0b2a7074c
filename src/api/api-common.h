// api-common.h: what every API operation shares: the caller context (`api_session`), the
// storage the operations work on (`api_services`, lent by the daemon), the access check, and the
// transaction that wraps one call of a front end.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "api/errors.h"
#include "db/cfgstorage.h"
#include "records/records.h"
#include "storage/storage_set.h"
#include "util/disk_space.h"
#include "util/md5.h"  // md5_hex: password hashes

namespace marloven {

class daemon_metrics;
class disk_full_pause;

// The server-wide access lists (RootACL ids) and the one login record.
inline constexpr int root_acl_browsing = 0;  // who may create collections and watches
inline constexpr int root_acl_crawling = 1;  // who may create sources, archives and credentials
inline constexpr int login_record_id = 0;
// The built-in group that stands for everybody, and the name of an unauthenticated caller.
inline constexpr const char* all_users_group = "All Users";
inline constexpr const char* anonymous_user = "Anonymous";

// Purpose: what the operations use, lent by the daemon: the storage objects (the borrowed view
// of its storage set: `sources`, `documents`, `store<Record>()` ...) and the settings below.
// Ownership: borrows everything; the daemon keeps the objects alive from storage start-up to the
// final clean-up, and builds this record only in between.
// Threads: immutable; the objects it points to follow their own rules (callers hold the
// process-wide transaction lock while they use them).
struct api_services : storage_refs {
    // The daemon's memory of its last full disk (SQLITE_FULL): crawling pauses after one, and
    // the status reports low disk space meanwhile. May be null.
    disk_full_pause* disk_pause = nullptr;
    // The monitoring counters: searches count into them, GET /metrics reads them. May be null.
    daemon_metrics* metrics = nullptr;

    // The installation's identifier (part of every document guid) and the data directory.
    std::string platform_guid;
    std::string data_dir;
    // DEPLOYDIR/plugins, where the plug-in listings load libraries from; nothing without
    // DEPLOYDIR.
    std::optional<std::string> plugin_directory;
    // The daily crawl window (UTC hours CRAWLSTART to CRAWLSTOP) and the free disk space to keep
    // (MINFREEDISK, bytes), as the daemon read them at start-up.
    int crawl_start = 0;
    int crawl_stop = 23;
    std::uint64_t min_free_disk = 500ull << 20;

    // Seams: the current time (seconds since 1970), and the bytes of free disk space available
    // to the daemon in a directory (nothing when it cannot be told).
    std::function<std::time_t()> clock;
    disk_probe free_disk = available_disk_space;

    std::time_t now() const { return clock ? clock() : std::time(nullptr); }
};

// Purpose: the caller of one operation: the request thread's connection and the authenticated
// user, with the storage the operation works on.
// Ownership: borrows the connection and the services for the length of one call.
// Threads: used by one request thread.
struct api_session {
    sqlite3* db = nullptr;
    std::string user;
    std::vector<std::string> groups;
    bool admin = false;  // an administrator passes every access check
    const api_services* services = nullptr;

    const api_services& svc() const { return *services; }
};

// True when `acl` grants `wanted` to the user: the principals are the user, "All Users" and the
// user's groups; only entries of exactly the wanted access count (a write entry does not grant
// read); a matching denial refuses at once; otherwise one matching entry grants.
bool check_access(const std::string& user, const std::vector<std::string>& groups,
                  const acl_list& acl, access_type wanted);
// The same for a session: administrators pass.
bool check_access(const api_session& session, const acl_list& acl, access_type wanted);

// The access list of a RootACL record (empty when the record is missing).
acl_list root_acl(const api_session& session, int id);

// Purpose: the transaction around one front-end call of an operation: begins an exclusive
// transaction on the request thread's connection, commits it when the call is over, whether the
// operation succeeded or not.
// Failure: an SQLite error when beginning or committing is fatal (printed source path
// "src\api\api-common").
// Threads: the request thread that owns the connection.
class api_transaction {
  public:
    explicit api_transaction(sqlite3* db);
    ~api_transaction();
    api_transaction(const api_transaction&) = delete;
    api_transaction& operator=(const api_transaction&) = delete;

  private:
    sqlite3* db_;
};

// Runs `work` with the caller's transaction committed and the process-wide lock released, then
// begins a new transaction: for slow work that needs no consistency with the database (the
// index query), so that the crawl threads and other requests are not held up by it. Without an
// open transaction `work` simply runs.
void outside_transaction(sqlite3* db, const std::function<void()>& work);

}  // namespace marloven
