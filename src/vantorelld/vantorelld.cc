// vantorelld.cc: start-up, stop and clean-up of the application object.
// SPDX-License-Identifier: MIT
#include "vantorelld/vantorelld.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "idxstorage/idxstorage.h"
#include "util/crash_dump.h"
#include "util/install_paths.h"
#include "util/log.h"

namespace marloven {

std::optional<std::string> check_data_directory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return "Can't create directory " + dir;
    }
    if (::chdir(dir.c_str()) != 0) {
        return std::string("Could not access DATADIR");
    }
    if (::access(".", R_OK | W_OK) != 0) {
        return std::string("Could not access DATADIR");
    }
    DIR* d = ::opendir(".");
    if (d == nullptr) {
        return std::string("Could not open DATADIR");
    }
    std::optional<std::string> failure;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        std::string path = dir + "/" + e->d_name;
        if (::access(path.c_str(), R_OK | W_OK) != 0) {
            failure = (errno == EACCES ? "Bad owner/permission for " : "Error accessing ") + path;
            break;
        }
    }
    ::closedir(d);
    return failure;
}

vantorelld::vantorelld(std::string program_path) : program_path_(std::move(program_path)) {}

vantorelld::~vantorelld() {
    index_.reset();
    if (lock_fd_ >= 0) {
        ::close(lock_fd_);
    }
}

std::optional<std::string> vantorelld::prepare() {
    setup_crash_dumps(program_path_);
    auto dir = config_.value(keys::DATADIR);
    if (!dir) {
        return std::string("No DATADIR defined in configuration file");
    }
    data_dir_ = *dir;
    if (auto failure = check_data_directory(data_dir_)) {
        return failure;
    }
    // One process at a time per data directory: a second daemon, or a maintenance command while
    // the daemon runs, would fight over the database and the index.
    lock_fd_ = ::open("vantorell.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        return "Error accessing " + data_dir_ + "/vantorell.lock";
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        char buf[32] = {};
        ssize_t n = ::pread(lock_fd_, buf, sizeof buf - 1, 0);
        std::string owner = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("?");
        while (!owner.empty() && (owner.back() == '\n' || owner.back() == ' ')) {
            owner.pop_back();
        }
        return "DATADIR " + data_dir_ + " is in use by another vantorelld process (pid " + owner +
               ")";
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock_fd_, 0) == 0) {
        [[maybe_unused]] ssize_t w = ::pwrite(lock_fd_, pid.data(), pid.size(), 0);
    }
    return std::nullopt;
}

std::optional<std::string> vantorelld::start_storage() {
    std::string message;
    if (!open_log(config_, install_paths::log_file, message)) {
        return message;
    }
    log_open_ = true;
    // The index server keeps its index in DATADIR/index (the working directory is DATADIR). A
    // server that does not start is logged; index requests then fail until it does.
    index_ = std::make_unique<idxstorage>(config_);
    index_->start();
    return std::nullopt;
}

std::optional<std::string> vantorelld::start_threads() {
    VANT_LOG(LOG, info) << "Vantorell " << version << " started, pid " << ::getpid();
    return std::nullopt;
}

void vantorelld::stop() {
    VANT_LOG(LOG, info) << "Vantorell stopping";
}

void vantorelld::final_cleanup() {
    index_.reset();
    if (log_open_) {
        VANT_LOG(LOG, info) << "Vantorell stopped";
        close_log();
        log_open_ = false;
    }
}

}  // namespace marloven
