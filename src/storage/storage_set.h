// storage_set.h: every storage object of the daemon in one set, owned by the application object,
// and the borrowed view of it through which the API operations, the crawl threads and the
// scheduler reach the objects.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "db/cfgstorage.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "idxstorage/idxstorage.h"
#include "logstorage/logstorage.h"
#include "records/records.h"
#include "robotschecker/robotschecker.h"
#include "storage/index_handoff.h"

namespace marloven {

class config_file;

// Purpose: the storage objects, built in start-up order: document storage, fetch queue, log
// storage, index storage client (with the hand-over of index changes), robots checker, then the
// ten configuration stores in the order of their kinds. Members are declared in that order, so
// destruction runs in reverse. Adding a record kind: a store here, its pointer in storage_refs (and
// its branch of storage_refs::store), and its rows in the export and import tables. Ownership: owns
// every object; none holds a database connection (each call borrows the calling thread's). The
// index client owns the index server, which starts with start_index(). Failure: the constructors'
// database errors are fatal. Threads: immutable after construction; the objects follow their own
// rules (the stores are used under the process-wide transaction lock; the index client has a lock
// of its own).
struct storage_set {
    // Creates every table that is missing, on `db` (inside the start-up transaction).
    // `throttling` is the fetch queue's delay per host (seconds), `user_agent` the robots
    // checker's agent name.
    storage_set(sqlite3* db, const config_file& config, unsigned throttling,
                std::string user_agent);
    storage_set(const storage_set&) = delete;
    storage_set& operator=(const storage_set&) = delete;

    docstorage documents;
    fetchqueue queue;
    logstorage logs;
    idxstorage index;
    index_handoff index_changes;  // how the index is changed: after the transaction, in order
    robotschecker robots;
    cfgstorage<SourceConfiguration> sources;
    cfgstorage<ArchiveConfiguration> archives;
    cfgstorage<CollectionConfiguration> collections;
    cfgstorage<WatchConfiguration> watches;
    cfgstorage<AuthConfiguration> auths;
    cfgstorage<Plugin> plugins;
    cfgstorage<DocFilter> docfilters;
    cfgstorage<RendererPluginPipe> renderer_pipes;
    cfgstorage<RootACL> root_acls;
    cfgstorage<LoginConfiguration> logins;
};

// Purpose: the storage objects as their users borrow them; the base of the API's and the crawl
// threads' service records, so the objects are listed once. Tests fill the pointers they need.
// Ownership: borrows; the lender keeps the objects alive while the view is used.
// Threads: immutable once lent.
struct storage_refs {
    storage_refs() = default;
    explicit storage_refs(storage_set& set);

    docstorage* documents = nullptr;
    fetchqueue* queue = nullptr;
    logstorage* logs = nullptr;
    idxstorage* index = nullptr;
    index_handoff* index_changes = nullptr;
    robotschecker* robots = nullptr;
    cfgstorage<SourceConfiguration>* sources = nullptr;
    cfgstorage<ArchiveConfiguration>* archives = nullptr;
    cfgstorage<CollectionConfiguration>* collections = nullptr;
    cfgstorage<WatchConfiguration>* watches = nullptr;
    cfgstorage<AuthConfiguration>* auths = nullptr;
    cfgstorage<Plugin>* plugins = nullptr;
    cfgstorage<DocFilter>* docfilters = nullptr;
    cfgstorage<RendererPluginPipe>* renderer_pipes = nullptr;
    cfgstorage<RootACL>* root_acls = nullptr;
    cfgstorage<LoginConfiguration>* logins = nullptr;

    // The store of a record type, for code that works on every kind alike.
    template <typename Record>
    cfgstorage<Record>& store() const;
};

// Starts a crawl of archive `arcid` at `now`: a new crawl row, and the seeds of its source queued
// with priority 0, in the source's order. The caller has checked that no crawl runs.
void start_crawl(sqlite3* db, const storage_refs& storage, std::uint32_t arcid,
                 const SourceConfiguration& source, std::int64_t now);

template <typename Record>
cfgstorage<Record>& storage_refs::store() const {
    if constexpr (std::is_same_v<Record, SourceConfiguration>) {
        return *sources;
    } else if constexpr (std::is_same_v<Record, ArchiveConfiguration>) {
        return *archives;
    } else if constexpr (std::is_same_v<Record, CollectionConfiguration>) {
        return *collections;
    } else if constexpr (std::is_same_v<Record, WatchConfiguration>) {
        return *watches;
    } else if constexpr (std::is_same_v<Record, AuthConfiguration>) {
        return *auths;
    } else if constexpr (std::is_same_v<Record, Plugin>) {
        return *plugins;
    } else if constexpr (std::is_same_v<Record, DocFilter>) {
        return *docfilters;
    } else if constexpr (std::is_same_v<Record, RendererPluginPipe>) {
        return *renderer_pipes;
    } else if constexpr (std::is_same_v<Record, RootACL>) {
        return *root_acls;
    } else {
        static_assert(std::is_same_v<Record, LoginConfiguration>, "not a configuration record");
        return *logins;
    }
}

}  // namespace marloven
