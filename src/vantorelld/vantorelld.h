// vantorelld.h: the application object, owner of the configuration, the storage objects and the
// daemon's threads, with the start-up, stop and clean-up sequences.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "api/api-common.h"
#include "db/cfgstorage.h"
#include "db/disk_full.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "logstorage/logstorage.h"
#include "records/records.h"
#include "robotschecker/robotschecker.h"
#include "util/config_file.h"
#include "vantorelld/crawl_services.h"

namespace marloven {

class httpserver;
class idxstorage;
class process_thread;
class scheduler_thread;

// Purpose: brings the daemon up in a fixed order and tears it down in the reverse order.
// Ownership: owns the configuration, every storage object and every thread; members are declared
// in start-up order so that destruction runs in reverse. Other components borrow it by reference.
// Failure: start-up steps return their message (tier 2); SQLite errors are fatal.
// Threads: start-up, one-off commands, stop and clean-up run on the main thread; the accessors
// are safe from any thread once start-up has finished.
class vantorelld {
  public:
    static constexpr const char* service_name = "vantorell";
    static constexpr const char* display_name = "Vantorell Server";
    static constexpr const char* version = "2.0.2.1010";

    // `program_path` is the absolute path of the running executable (for crash dumps).
    explicit vantorelld(std::string program_path);
    ~vantorelld();
    vantorelld(const vantorelld&) = delete;
    vantorelld& operator=(const vantorelld&) = delete;

    // Preparation: crash-dump handler, DATADIR checks, working directory, instance lock.
    [[nodiscard]] std::optional<std::string> prepare();
    // Storage start-up: the log; then, inside one exclusive transaction on a connection of its
    // own, every storage object (each creating its tables), the dbconfig table and the default
    // plug-in records.
    [[nodiscard]] std::optional<std::string> start_storage();
    // Thread start (normal start only).
    [[nodiscard]] std::optional<std::string> start_threads();
    // Stop sequence: HTTP server, scheduler, then the crawl threads (their workers killed first).
    void stop();
    // Final clean-up: storage objects in reverse order of creation, then the log.
    void final_cleanup();

    const config_file& config() const { return config_; }
    const std::string& data_dir() const { return data_dir_; }
    const std::string& program_path() const { return program_path_; }
    const std::string& platform_guid() const { return platform_guid_; }
    // Settings read at storage start-up for the fetch queue and the robots checker.
    unsigned throttling() const { return throttling_; }
    const std::string& user_agent() const { return user_agent_; }

    // The storage objects and configuration stores (valid from storage start-up to the final
    // clean-up). They hold no connection: every call passes the calling thread's own, inside a
    // transaction of the process-wide lock.
    docstorage& documents() { return *documents_; }
    fetchqueue& fetch_queue() { return *fetch_queue_; }
    logstorage& logs() { return *logs_; }
    robotschecker& robots() { return *robots_; }
    cfgstorage<SourceConfiguration>& sources() { return *sources_; }
    cfgstorage<ArchiveConfiguration>& archives() { return *archives_; }
    cfgstorage<CollectionConfiguration>& collections() { return *collections_; }
    cfgstorage<WatchConfiguration>& watches() { return *watches_; }
    cfgstorage<AuthConfiguration>& auths() { return *auths_; }
    cfgstorage<Plugin>& plugins() { return *plugins_; }
    cfgstorage<DocFilter>& docfilters() { return *docfilters_; }
    cfgstorage<RendererPluginPipe>& renderer_pipes() { return *renderer_pipes_; }
    cfgstorage<RootACL>& root_acls() { return *root_acls_; }
    cfgstorage<LoginConfiguration>& logins() { return *logins_; }
    // What the API operations work on (valid from storage start-up to the final clean-up).
    const api_services& services() const { return services_; }
    // The port the HTTP server listens on (0 when it does not run).
    int http_port() const;
    // The store of a record type, for code that works on every kind alike.
    template <typename Record>
    cfgstorage<Record>& store();
    void set_command_path(std::string path) { command_path_ = std::move(path); }
    const std::string& command_path() const { return command_path_; }
    // The index storage client; null before storage start-up and after the final clean-up.
    idxstorage* index_storage() const { return index_.get(); }
    // The shared crawl map: the cookies of cookie log-ins, per archive (valid from storage
    // start-up to the final clean-up).
    cookie_store& cookies() { return *cookies_; }

  private:
    // Asks the scheduler and every crawl processing thread to stop (killing the workers first,
    // so that no fetch is waited for), then waits for them.
    void stop_crawling();
    void stop_http();

    std::string program_path_;
    config_file config_;
    std::string platform_guid_;
    unsigned throttling_ = 20;
    std::string user_agent_;
    // Shared by the crawl threads, the scheduler and the upload handler.
    disk_full_pause disk_pause_;
    // Storage objects, in order of creation.
    std::unique_ptr<cookie_store> cookies_;
    std::unique_ptr<docstorage> documents_;
    std::unique_ptr<fetchqueue> fetch_queue_;
    std::unique_ptr<logstorage> logs_;
    std::unique_ptr<idxstorage> index_;
    std::unique_ptr<robotschecker> robots_;
    std::unique_ptr<cfgstorage<SourceConfiguration>> sources_;
    std::unique_ptr<cfgstorage<ArchiveConfiguration>> archives_;
    std::unique_ptr<cfgstorage<CollectionConfiguration>> collections_;
    std::unique_ptr<cfgstorage<WatchConfiguration>> watches_;
    std::unique_ptr<cfgstorage<AuthConfiguration>> auths_;
    std::unique_ptr<cfgstorage<Plugin>> plugins_;
    std::unique_ptr<cfgstorage<DocFilter>> docfilters_;
    std::unique_ptr<cfgstorage<RendererPluginPipe>> renderer_pipes_;
    std::unique_ptr<cfgstorage<RootACL>> root_acls_;
    std::unique_ptr<cfgstorage<LoginConfiguration>> logins_;
    api_services services_;
    std::string data_dir_;
    std::string command_path_;
    // What the crawl threads borrow, and the threads, in order of start.
    crawl_services crawl_;
    std::vector<std::unique_ptr<process_thread>> crawlers_;
    std::unique_ptr<scheduler_thread> scheduler_;
    // Threads, in order of start; stop() ends them in reverse.
    std::unique_ptr<httpserver> http_;
    int lock_fd_ = -1;  // flock on DATADIR/vantorell.lock, held for the process's life
    bool log_open_ = false;
};

template <typename Record>
cfgstorage<Record>& vantorelld::store() {
    if constexpr (std::is_same_v<Record, SourceConfiguration>) {
        return sources();
    } else if constexpr (std::is_same_v<Record, ArchiveConfiguration>) {
        return archives();
    } else if constexpr (std::is_same_v<Record, CollectionConfiguration>) {
        return collections();
    } else if constexpr (std::is_same_v<Record, WatchConfiguration>) {
        return watches();
    } else if constexpr (std::is_same_v<Record, AuthConfiguration>) {
        return auths();
    } else if constexpr (std::is_same_v<Record, Plugin>) {
        return plugins();
    } else if constexpr (std::is_same_v<Record, DocFilter>) {
        return docfilters();
    } else if constexpr (std::is_same_v<Record, RendererPluginPipe>) {
        return renderer_pipes();
    } else if constexpr (std::is_same_v<Record, RootACL>) {
        return root_acls();
    } else {
        static_assert(std::is_same_v<Record, LoginConfiguration>, "not a configuration record");
        return logins();
    }
}

// Creates the default plug-in and document-filter records (language recognizer, URL splitter,
// static metadata, regular expressions, metadata exchange), each readable by "All Users", when
// both stores are empty. Returns the failure message ("Cannot create plugin <name>" or "Cannot
// create docfilter <name>", also logged), or nothing.
[[nodiscard]] std::optional<std::string> create_default_plugins(sqlite3* db,
                                                                cfgstorage<Plugin>& plugins,
                                                                cfgstorage<DocFilter>& docfilters);

// Checks a data directory as start-up does: creates it when missing, enters it, and checks that it
// and every entry in it can be read and written. Returns the failure message, or nothing.
[[nodiscard]] std::optional<std::string> check_data_directory(const std::string& dir);

}  // namespace marloven
