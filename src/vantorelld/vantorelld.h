// vantorelld.h: the application object, owner of the configuration, the storage objects and the
// daemon's threads, with the start-up, stop and clean-up sequences.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/api-common.h"
#include "db/cfgstorage.h"
#include "db/disk_full.h"
#include "records/records.h"
#include "storage/storage_set.h"
#include "util/config_file.h"
#include "util/metrics.h"
#include "vantorelld/crawl_services.h"
#include "vantorelld/httpstate.h"

namespace marloven {

class httpserver;
class process_thread;
class scheduler_thread;

// Purpose: brings the daemon up in a fixed order and tears it down in the reverse order.
// Ownership: owns the configuration, the storage set and every thread; members are declared in
// start-up order so that destruction runs in reverse. The threads borrow what they use (the
// crawl and API services, the HTTP services); the one-off commands borrow the object itself.
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
    // Stop sequence: asks the HTTP server, the scheduler and every crawl thread (whose worker is
    // killed at once) to stop, and only then waits for them, in that order, so that no thread's
    // stop waits for another's. Nothing once stopped.
    void stop();
    // Final clean-up: the storage objects in reverse order of creation, then the log.
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
    storage_set& storage() { return *storage_; }
    // What the API operations work on (valid from storage start-up to the final clean-up).
    const api_services& services() const { return services_; }
    // What the HTTP request threads borrow.
    http_services request_services() const { return {config_, services_}; }
    // The port the HTTP server listens on (0 when it does not run).
    int http_port() const;
    void set_command_path(std::string path) { command_path_ = std::move(path); }
    const std::string& command_path() const { return command_path_; }
    // The shared crawl map: the cookies of cookie log-ins, per archive.
    cookie_store& cookies() { return cookies_; }

  private:
    // Members in start-up order: destruction runs in reverse. The threads are stopped by stop()
    // before any of them goes, since they use everything declared above them.
    std::string program_path_;
    config_file config_;
    std::string data_dir_;   // DATADIR as configured
    std::string disk_path_;  // its absolute path, resolved at start-up: what the disk probes ask
    std::string command_path_;
    int lock_fd_ = -1;  // flock on DATADIR/vantorell.lock, held for the process's life
    bool log_open_ = false;
    unsigned throttling_ = 20;
    std::string user_agent_;
    std::string platform_guid_;
    // Shared by the crawl threads, the scheduler and the upload handler.
    disk_full_pause disk_pause_;
    cookie_store cookies_;
    daemon_metrics metrics_;  // counted by the crawl threads and searches, read by GET /metrics
    std::unique_ptr<storage_set> storage_;
    api_services services_;
    crawl_services crawl_;
    // Threads, in order of start.
    std::vector<std::unique_ptr<process_thread>> crawlers_;
    std::unique_ptr<scheduler_thread> scheduler_;
    std::unique_ptr<httpserver> http_;
};

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
