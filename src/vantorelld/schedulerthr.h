// schedulerthr.h: the scheduler thread: starts the crawls of archives when their schedule says
// so, deletes documents that have outlived their archive's retention time, flushes and
// optimises the index, and watches the crawl processing threads' workers for time-outs.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <stop_token>
#include <tuple>

#include "db/sqlite.h"
#include "util/stoppable_thread.h"

namespace marloven {

struct crawl_services;

// Expired documents removed per archive and hourly step: a large backlog shrinks by this many
// an hour instead of holding the database for one long step.
inline constexpr int retention_batch = 100;

// Purpose: the scheduler. Once a second (each pass) it runs the hourly step when a new UTC hour
// has begun (the first pass always runs it), or else flushes the index when FlushLatency seconds
// have passed since its last flush, and then calls the watchdog. The hourly step, in one
// exclusive transaction: starts every due archive whose last crawl has ended (a new crawl row,
// the source's seeds queued with priority 0; an archive never crawled has no row and is left to
// StartCrawl) and removes at most retention_batch expired documents of every archive with a
// retention time from storage; after the commit the index hears of the removals and is flushed
// (through the index hand-over), and at the hour OptimizeAt it is optimised. No index request
// runs inside a transaction. With too little free disk space, or while crawling pauses after a
// full disk, only the watchdog runs.
// Ownership: owns its SQLite connection (opened by the constructor); borrows the services and
// the watchdog, which must outlive it.
// Failure: a full disk (SQLITE_FULL) rolls the step back and pauses crawling; other SQLite
// errors end the process; unreadable archive or source records are skipped.
// Threads: the loop runs on the object's own thread; request_stop() may come from any thread.
class scheduler_thread {
  public:
    // `watchdog` is called once every pass (the daemon's checks every crawl processing thread's
    // worker for a time-out).
    scheduler_thread(const crawl_services& services, std::function<void()> watchdog);
    ~scheduler_thread();
    scheduler_thread(const scheduler_thread&) = delete;
    scheduler_thread& operator=(const scheduler_thread&) = delete;

    void start();
    // Ends the loop at once, without waiting out its pause.
    void request_stop();
    void join();

    // One pass of the loop, at the services' present time.
    void pass();

  private:
    void run(const std::stop_token& stop);
    // The hourly step when a new hour has begun, else the index flush when it is due.
    void timed_work();
    void hourly_step(std::int64_t now, const std::tm& utc);

    const crawl_services& svc_;
    const std::function<void()> watchdog_;
    sqlite_connection db_;
    // The UTC year, day of the year and hour of the last hourly step (zeros: none yet).
    std::tuple<int, int, int> last_step_{0, 0, 0};
    std::int64_t last_flush_;  // the last flush outside the hourly step

    stoppable_thread thread_{"Scheduler thread"};  // last: the loop uses the members above
};

}  // namespace marloven
