// processthr.h: the crawl processing threads. Each takes URLs from the fetch queue, has its own
// worker program fetch and parse them, stores and indexes the results, logs them, queues the
// links found, and ends an archive's crawl when its queue runs empty.
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_set>
#include <vector>

#include "db/sqlite.h"
#include "storage/index_handoff.h"
#include "util/stoppable_thread.h"
#include "worker/protocol.h"

namespace marloven {

struct crawl_services;
struct queued_url;
class disk_full;
class worker_process;

// Purpose: one crawl processing thread and its worker. Every pass takes one URL, inside the
// crawl window and while the data directory's disk has room: a "guid:" URL is a stored
// document to parse again; any other URL is checked against its source's filters and the
// site's robots rules, fetched and parsed by the worker (after a cookie log-in for sources that
// need one), compared with the newest stored version (UNCHANGED), stored, indexed, logged, and
// its links (at most max_outlinks_per_page) are queued one level deeper; those of a redirect at
// the same depth, unless more than max_redirect_chain redirects in a row led there. Every group of
// database steps runs in an exclusive transaction; no worker request and no index request ever
// runs inside one (the index hears of a stored version through the index hand-over, after the
// commit), so a slow fetch or a slow index server blocks no other thread's database work.
// Ownership: owns its SQLite connection (opened by the
// constructor), its worker process (replaced when it dies or hangs) and the caches of document
// filter and plug-in records sent with each request; borrows the services, which must outlive it.
// Failure: a worker that breaks off or hangs (killed by the watchdog) gives the URL the error
// INTERNAL and is restarted, and the crawl goes on (tier 3); a full disk (SQLITE_FULL) rolls the
// URL's work back, leaves it queued and pauses crawling; a worker that cannot be started and
// every other SQLite error end the process.
// Threads: the loop runs on the object's own thread; check_worker(), set_job_started() and
// request_stop() may be called from any thread. Lock order: the process-wide transaction lock,
// then lock_.
class process_thread {
  public:
    // Opens the thread's connection and starts its worker; the loop starts with start().
    process_thread(const crawl_services& services, std::chrono::seconds timeout);
    // Stops the loop (see request_stop) and waits for it.
    ~process_thread();
    process_thread(const process_thread&) = delete;
    process_thread& operator=(const process_thread&) = delete;

    void start();
    // Sets the stop flag and kills the worker, so that a request in progress ends at once and
    // the loop ends without waiting out its pause. The URL in work stays queued.
    void request_stop();
    // Waits for the loop to end.
    void join();

    // The watchdog: kills the worker when `force` is set, or when its current request was sent
    // `timeout` seconds ago or earlier (logged "Worker timed out").
    void check_worker(bool force);
    // When the current worker request was sent; 0 while the worker is idle.
    void set_job_started(std::int64_t t);
    // Replaces the worker by a fresh one (the old one, if any, is killed and waited for) and
    // empties the record caches.
    void wproc_init();

    // One pass of the loop: false when no URL was taken (outside the crawl window, too little
    // disk space or paused after a full disk, or nothing may be fetched now); the loop then
    // waits a second, or less when another crawl thread frees a host or queues links.
    bool crawl_once();

    // The worker's process id (0 when none runs).
    pid_t worker_pid() const;

  private:
    struct job;
    struct record;
    struct cached_docfilter {
        std::uint32_t magic = 0;
        docfilter_entry entry;
    };
    struct cached_plugin {
        std::uint32_t magic = 0;
        plugin_entry entry;
    };

    void run(const std::stop_token& stop);
    bool stopping() const { return thread_.stop_requested(); }
    std::optional<job> take_job();
    void read_configuration(job& j);
    void update_filter_caches(job& j);
    void reprocess(job& j);
    void fetch(job& j);
    // Fetches robots.txt when the site's cached rules are missing or old, and checks the URL;
    // BLOCKED or NONE, or nothing when the thread is stopping.
    std::optional<crawl_error> check_robots(const job& j);
    // The archive's cookies, logging in first when there are none or they are stale; nothing
    // when the thread is stopping.
    std::optional<std::string> cookies_for(const job& j);
    // Sends one request to the worker with the watchdog armed; a broken exchange throws
    // socket_ipc::error.
    template <typename Request>
    auto call_worker(const Request& request);
    // After a broken exchange: kills and replaces the worker; false when the thread is
    // stopping, which abandons the pass.
    bool restart_worker();
    // A worker's UNCHANGED answer to the request `q`: completed from the stored copy when the
    // request offered one, else an UNKNOWN result.
    void take_unchanged(job& j, const process_request& q, record& r);
    // Reads the body and FFF of the stored version a reply was completed from without them.
    void fill_partial_copy(record& r);
    // The database work after the fetch, and the end of the pass.
    void store_fetch(const job& j, record& r);
    // Queues the links of `url` that are neither queued nor stored since the crawl began, at
    // `depth`, with the number of redirects in a row that led to them.
    void queue_links(std::uint32_t arcid, std::int64_t crawl_start, const std::string& url,
                     const std::vector<outlink>& links, std::uint32_t depth,
                     std::uint32_t redirects);
    // After a full disk rolled back the work on a URL (`j`, when one was taken): pauses
    // crawling, forgets what the rollback undid, and leaves the URL queued for a later pass.
    void abandon_after_full_disk(const job* j, const disk_full& e);
    // Removes the URL from the queue and, when that empties the archive's queue, ends the
    // crawl and flushes the index; commits, hands the pass's index changes over, then sends the
    // crawl-end notification.
    void finish(transaction& t, const job& j, index_handoff::batch& changes);
    void notify(std::uint32_t arcid) const;

    const crawl_services& svc_;
    const std::int64_t timeout_;
    sqlite_connection db_;

    mutable std::mutex lock_;
    std::unique_ptr<worker_process> wproc_;  // guarded by lock_; replaced only by this thread
    std::int64_t job_started_ = 0;           // guarded by lock_

    // Used by the loop's thread only.
    std::map<int, cached_docfilter> docfilter_cache_;
    std::map<int, cached_plugin> plugin_cache_;

    stoppable_thread thread_{"Crawl processing thread"};  // last: the loop uses the members above
};

}  // namespace marloven
