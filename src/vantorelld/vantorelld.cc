// vantorelld.cc: start-up, stop and clean-up of the application object.
// SPDX-License-Identifier: MIT
#include "vantorelld/vantorelld.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "api/langtrain.h"
#include "db/dbconfig.h"
#include "db/sqlite.h"
#include "idxstorage/idxstorage.h"
#include "plugin-system/plugins.h"
#include "util/crash_dump.h"
#include "util/install_paths.h"
#include "util/log.h"
#include "util/private_file.h"
#include "vantorelld/httpserver.h"
#include "vantorelld/processthr.h"
#include "vantorelld/schedulerthr.h"

namespace marloven {

namespace {

// A server open to other machines without HTTP_USER is allowed, but never silently.
void warn_if_open_to_network(const config_file& config, const std::string& address) {
    std::string user;
    config.get(keys::HTTP_USER.name, user);
    if (auto message = open_server_warning(address, user)) {
        VANT_LOG(LOG, warning) << *message;
        report_to_event_log(1, "%s", message->c_str());
    }
}

}  // namespace

std::optional<std::string> check_data_directory(const std::string& dir) {
    // Only the daemon's user may enter: the database, the log, backups and exports hold crawl
    // passwords and password hashes.
    if (!create_private_directory(dir.c_str()) && errno != EEXIST) {
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
            // An entry gone since the listing (the database's shared-memory file, removed when
            // another connection closed meanwhile) needs no access; a dangling link does.
            const int error = errno;
            struct stat st;
            if (error == ENOENT && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
                continue;
            }
            failure = (error == EACCES ? "Bad owner/permission for " : "Error accessing ") + path;
            break;
        }
    }
    ::closedir(d);
    return failure;
}

std::optional<std::string> create_default_plugins(sqlite3* db, cfgstorage<Plugin>& plugins,
                                                  cfgstorage<DocFilter>& docfilters) {
    if (!plugins.ids(db).empty() || !docfilters.ids(db).empty()) {
        return std::nullopt;
    }
    const acl_list everybody = {{"All Users", access_type::read, false}};
    struct default_plugin {
        const char* name;
        const char* description;
        const char* module;
        bool has_filter;  // a document filter of the same name uses the plug-in
    };
    static constexpr default_plugin table[] = {
        {"SLR", "Stochastic Language Recognizer", "langplugin", true},
        {"URL", "URL Splitter", "urlplugin", true},
        {"Static", "Static metadata", "staticplugin", false},
        {"RegEx", "Adds metadata based on regular expression matches", "regexplugin", false},
        {"MetaExchange", "Gets metadata from an external program", "metaexchangeplugin", false},
    };
    for (const auto& d : table) {
        Plugin p;
        p.name = d.name;
        p.description = d.description;
        p.module = d.module;
        if (p.module == "langplugin") {
            p.configuration = std::string(language_training_text());
        }
        p.acl = everybody;
        int plugin_id = plugins.add(db, p);
        if (plugin_id == 0) {
            std::string message = std::string("Cannot create plugin ") + d.name;
            VANT_LOG(PLUGINSYSTEM, error) << message;
            return message;
        }
        if (!d.has_filter) {
            continue;
        }
        DocFilter f;
        f.name = d.name;
        f.description = d.description;
        f.plugin_id = plugin_id;
        f.acl = everybody;
        if (docfilters.add(db, f) == 0) {
            std::string message = std::string("Cannot create docfilter ") + d.name;
            VANT_LOG(PLUGINSYSTEM, error) << message;
            return message;
        }
    }
    return std::nullopt;
}

vantorelld::vantorelld(std::string program_path) : program_path_(std::move(program_path)) {}

vantorelld::~vantorelld() {
    stop();
    final_cleanup();
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
    // The working directory is now DATADIR. The free-space probes ask for its absolute path: a
    // relative DATADIR, taken from here, would name a place that does not exist.
    std::error_code ec;
    std::filesystem::path here = std::filesystem::current_path(ec);
    disk_path_ = ec ? data_dir_ : here.string();
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
    throttling_ = static_cast<unsigned>(config_.integer(keys::Throttling));
    user_agent_ = config_.value(keys::UserAgent).value_or("marlovenbot");

    // A new database file is the daemon user's alone (SQLite gives its journal the same mode).
    if (int fd = open_private_file(install_paths::database, O_RDWR); fd >= 0) {
        ::close(fd);
    }
    // One connection, only to create the tables: every later call passes its thread's own.
    sqlite_connection db = open_database(config_, install_paths::database);
    transaction t(db);
    storage_ = std::make_unique<storage_set>(db, config_, throttling_, user_agent_);
    ensure_dbconfig(db);
    platform_guid_ = read_platform_guid(db);
    if (auto failure = create_default_plugins(db, storage_->plugins, storage_->docfilters)) {
        return failure;  // rolled back and closed on the way out
    }
    t.commit();
    close_database(db);
    // The index server keeps its index in DATADIR/index (the working directory is DATADIR). A
    // server that does not start is logged; index requests then fail until it does.
    storage_->index.start();
    static_cast<storage_refs&>(services_) = storage_refs(*storage_);
    services_.platform_guid = platform_guid_;
    services_.data_dir = disk_path_;
    services_.plugin_directory = plugin_directory(config_);
    services_.disk_pause = &disk_pause_;
    services_.metrics = &metrics_;
    services_.crawl_start = static_cast<int>(config_.integer(keys::CRAWLSTART));
    services_.crawl_stop = static_cast<int>(config_.integer(keys::CRAWLSTOP));
    services_.min_free_disk =
        static_cast<std::uint64_t>(std::max(0LL, config_.integer(keys::MINFREEDISK))) << 20;
    return std::nullopt;
}

std::optional<std::string> vantorelld::start_threads() {
    static_cast<storage_refs&>(crawl_) = storage_refs(*storage_);
    crawl_.config = &config_;
    crawl_.database = install_paths::database;
    crawl_.platform_guid = platform_guid_;
    crawl_.cookies = &cookies_;
    crawl_.disk_pause = &disk_pause_;
    crawl_.metrics = &metrics_;
    crawl_.settings = crawl_settings::from(config_);
    crawl_.settings.data_dir = disk_path_;
    // Index changes that a daemon which died last time had stored but not yet sent go to the
    // index before anything else changes documents.
    {
        sqlite_connection db = open_database(config_, install_paths::database);
        if (std::size_t n = storage_->index_changes.recover(db)) {
            VANT_LOG(WORKERSCHEDULING, info)
                << "Sent " << n << " index changes left over from the last run";
        }
    }
    // Crawl processing threads first, each started as soon as it exists; then the scheduler,
    // whose watchdog pass checks them.
    const auto workers = config_.integer(keys::WORKERS);
    const std::chrono::seconds timeout(config_.integer(keys::WORKER_TIMEOUT));
    for (long long i = 0; i < workers; ++i) {
        crawlers_.push_back(std::make_unique<process_thread>(crawl_, timeout));
        crawlers_.back()->start();
    }
    scheduler_ = std::make_unique<scheduler_thread>(crawl_, [this] {
        for (auto& crawler : crawlers_) {
            crawler->check_worker(false);
        }
    });
    scheduler_->start();

    // The HTTP server starts last: requests may use everything started before it.
    std::string address = config_.value(keys::HTTP_PORT).value_or("*:2200");
    auto threads = static_cast<int>(config_.integer(keys::HTTP_THREADS));
    warn_if_open_to_network(config_, address);
    http_ = std::make_unique<httpserver>(request_services(), threads, address);
    http_->start();
    VANT_LOG(LOG, info) << "Vantorell " << version << " started, pid " << ::getpid();
    return std::nullopt;
}

void vantorelld::stop() {
    if (!http_ && !scheduler_ && crawlers_.empty()) {
        return;
    }
    VANT_LOG(LOG, info) << "Vantorell stopping";
    // Every thread is asked first, so that their stops overlap: a request that takes its time
    // to finish does not hold up the end of a fetch, nor the other way round. The HTTP server
    // goes first, so that no new request starts while the rest goes down.
    if (http_) {
        http_->request_stop();
    }
    if (scheduler_) {
        scheduler_->request_stop();
    }
    for (auto& crawler : crawlers_) {
        crawler->request_stop();  // kills its worker, so that no fetch is waited for
    }
    if (http_) {
        http_->join();
    }
    if (scheduler_) {
        scheduler_->join();
    }
    for (auto& crawler : crawlers_) {
        crawler->join();
        crawler.reset();
    }
    crawlers_.clear();
    http_.reset();  // its request threads get a few seconds to finish their requests
    scheduler_.reset();
    // What the crawl threads posted goes to the index now; the notes of index changes that have
    // been sent need not wait for the next start.
    storage_->index_changes.drain();
    sqlite_connection db = open_database(config_, install_paths::database);
    transaction t(db);
    storage_->index_changes.clear_settled(db);
    t.commit();
}

int vantorelld::http_port() const {
    return http_ ? http_->port() : 0;
}

void vantorelld::final_cleanup() {
    storage_.reset();  // its objects go in reverse order of creation
    if (log_open_) {
        VANT_LOG(LOG, info) << "Vantorell stopped";
        close_log();
        log_open_ = false;
    }
}

}  // namespace marloven
