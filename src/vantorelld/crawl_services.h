// crawl_services.h: what the crawl processing threads and the scheduler borrow from the daemon:
// the storage objects, the configuration stores, the settings read once at start, the shared
// cookie store of cookie log-ins, and the seams through which they read the time and the free
// disk space.
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_set>

#include "db/disk_full.h"
#include "storage/storage_set.h"
#include "util/clock.h"
#include "util/disk_space.h"
#include "vantorelld/crawl_rules.h"

namespace marloven {

class config_file;
class daemon_metrics;
class disk_full_pause;

// Purpose: the daemon's shared crawl map: per archive, the cookies of its source's last cookie
// log-in and when they were obtained. Kept in memory only, so a restarted daemon logs in again.
// Ownership: owns its entries.
// Failure: none.
// Threads: thread-safe (its own mutex, taken only inside each call).
class cookie_store {
  public:
    struct entry {
        std::string cookies;  // "name=value; name=value"
        std::int64_t obtained = 0;
    };

    // The archive's cookies when they may still be used at `now`: there is an entry, and
    // `freshness` is 0 (good for the whole daemon run) or they are at most `freshness` seconds
    // old.
    std::optional<std::string> usable(std::uint32_t arcid, int freshness, std::int64_t now) const;
    // Replaces the archive's entry.
    void put(std::uint32_t arcid, std::string cookies, std::int64_t now);

  private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, entry> entries_;  // guarded by mutex_
};

// The crawl settings of the configuration file, read once when the daemon starts its threads.
struct crawl_settings {
    std::string data_dir;                        // DATADIR: the disk that is watched
    std::uint64_t min_free_disk = 500ull << 20;  // MINFREEDISK, in bytes
    int crawl_start = 0;                         // CRAWLSTART: UTC hour the window opens
    int crawl_stop = 23;                         // CRAWLSTOP: UTC hour it closes (included)
    std::optional<notify_url> notify;            // NOTIFYURL, when set and acceptable
    int optimize_at = 2;                         // OptimizeAt: UTC hour of the index optimisation
    int flush_latency = 120;                     // FlushLatency: seconds between index flushes

    // Reads the keys above; a NOTIFYURL that is not an acceptable format is logged once here
    // and leaves `notify` empty.
    static crawl_settings from(const config_file& config);
};

// Purpose: everything the crawl threads and the scheduler use, lent by the daemon: the storage
// objects (the borrowed view of its storage set) and the crawl's own pieces below.
// Ownership: borrows every object; the lender keeps them alive while any thread runs.
// Threads: immutable once the threads run; the objects follow their own rules (the storage
// objects are used only under the process-wide transaction lock).
// The links the crawl threads have queued, or found stored, in an archive's running crawl.
// Queueing one of them again would change nothing (it is still queued, or it has been stored
// since the crawl began), so no thread looks it up or queues it again. An archive's set is
// emptied when its crawl changes and dropped when its crawl ends; all are dropped when together
// they grow beyond max_known_links (a crawl of many archives would otherwise keep every
// archive's links for the daemon's life). Used inside the threads' transactions.
struct known_links {
    struct archive {
        std::int64_t crawl_start = 0;
        std::unordered_set<std::string> urls;
    };
    static constexpr std::size_t max_known_links = 50000;
    std::mutex lock;
    std::map<std::uint32_t, archive> archives;  // guarded by lock
};

// Purpose: wakes a crawl thread that found no URL to take when one may have become available (a
// host's fetch ended, a URL left the queue, links were queued), so that on a site of one host the
// next fetch starts while the previous page is stored, instead of after an idle thread's pause.
// Ownership: owns its counter.
// Failure: none.
// Threads: thread-safe.
class crawl_wakeup {
  public:
    // The number of changes so far; read before looking for a URL, and handed to wait().
    std::uint64_t changes() const;
    // Something changed: wakes one waiting thread.
    void changed();
    // Waits until a change after `seen`, `timeout`, or a stop request, whichever comes first.
    void wait(std::uint64_t seen, std::chrono::milliseconds timeout, const std::stop_token& stop);

  private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::uint64_t changes_ = 0;  // guarded by mutex_
};

struct crawl_services : storage_refs {
    const config_file* config = nullptr;    // DEPLOYDIR (workers), SyncLevel (connections)
    std::string database = "vantorell.db";  // the file every thread opens its connection to
    std::string platform_guid;
    cookie_store* cookies = nullptr;
    // The monitoring counters (pages, bytes, worker restarts); may be null.
    daemon_metrics* metrics = nullptr;
    // Shared by the crawl threads.
    std::shared_ptr<known_links> links = std::make_shared<known_links>();
    // Shared by the crawl threads, like `links`.
    std::shared_ptr<crawl_wakeup> wakeup = std::make_shared<crawl_wakeup>();
    // When set, crawling pauses for a while after a full disk (SQLITE_FULL) was met.
    disk_full_pause* disk_pause = nullptr;
    crawl_settings settings;
    // Seams: the current time and the free disk space.
    clock_function now = system_clock_seconds;
    disk_probe free_disk = available_disk_space;

    // True when the data directory's disk has room to crawl (util/disk_space.h: at least the
    // configured minimum, or a free space that cannot be told) and crawling is not paused after a
    // full disk.
    bool enough_disk() const;
    // Pauses crawling after a full disk that `where` met (logged with the error's text).
    void disk_was_full(const std::string& where, const std::string& error) const;
};

}  // namespace marloven
