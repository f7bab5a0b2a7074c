// vantorelld.h: the application object, owner of the configuration, the storage objects and the
// daemon's threads, with the start-up, stop and clean-up sequences.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "util/config_file.h"

namespace marloven {

class idxstorage;

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
    // Storage start-up: the log, the database and every storage object.
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
    void set_command_path(std::string path) { command_path_ = std::move(path); }
    const std::string& command_path() const { return command_path_; }
    // The index storage client; null before storage start-up and after the final clean-up.
    idxstorage* index_storage() const { return index_.get(); }

  private:
    std::string program_path_;
    config_file config_;
    std::string platform_guid_;
    std::string data_dir_;
    std::string command_path_;
    int lock_fd_ = -1;  // flock on DATADIR/vantorell.lock, held for the process's life
    bool log_open_ = false;
    std::unique_ptr<idxstorage> index_;
};

// Checks a data directory as start-up does: creates it when missing, enters it, and checks that it
// and every entry in it can be read and written. Returns the failure message, or nothing.
[[nodiscard]] std::optional<std::string> check_data_directory(const std::string& dir);

}  // namespace marloven
