// schedulerthr.cc: the scheduler's passes: due archives, retention, index flushes, watchdog.
// SPDX-License-Identifier: MIT
#include "vantorelld/schedulerthr.h"

#include "db/disk_full.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "idxstorage/idxstorage.h"
#include "logstorage/logstorage.h"
#include "schedule/schedule.h"
#include "storage/index_handoff.h"
#include "util/log.h"
#include "vantorelld/crawl_services.h"

namespace marloven {

scheduler_thread::scheduler_thread(const crawl_services& services, std::function<void()> watchdog)
    : svc_(services),
      watchdog_(std::move(watchdog)),
      db_(open_database(*services.config, services.database.c_str())),
      last_flush_(services.now()) {}

scheduler_thread::~scheduler_thread() {
    request_stop();
    join();
}

void scheduler_thread::start() {
    thread_.start([this](const std::stop_token& stop) { run(stop); });
}

void scheduler_thread::request_stop() {
    thread_.request_stop();
}

void scheduler_thread::join() {
    thread_.join();
}

void scheduler_thread::run(const std::stop_token& stop) {
    do {
        pass();
    } while (!stop.stop_requested() && thread_.pause(std::chrono::seconds(1)));
}

void scheduler_thread::pass() {
    if (svc_.enough_disk()) {
        try {
            // Starting crawls and removing old versions meet a full disk like the crawl threads
            // (disk_full.h): the step is rolled back and tried again after the pause.
            disk_full_tolerated tolerate;
            timed_work();
        } catch (const disk_full& e) {
            svc_.disk_was_full("in the scheduler", e.what());
        }
    }
    watchdog_();
}

void scheduler_thread::timed_work() {
    const std::int64_t now = svc_.now();
    const std::time_t t = static_cast<std::time_t>(now);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    std::tuple<int, int, int> this_hour{utc.tm_year + 1900, utc.tm_yday, utc.tm_hour};
    if (this_hour > last_step_) {
        hourly_step(now, utc);
        last_step_ = this_hour;
    } else if (now - last_flush_ >= svc_.settings.flush_latency) {
        svc_.index->flush();  // the index client's own lock orders it; no transaction needed
        last_flush_ = now;
    }
}

void scheduler_thread::hourly_step(std::int64_t now, const std::tm& utc) {
    index_handoff::batch changes(*svc_.index_changes);
    transaction t(db_);
    svc_.index_changes->clear_settled(db_);
    for (int id : svc_.archives->ids(db_)) {
        ArchiveConfiguration archive;
        if (!svc_.archives->get(db_, id, archive)) {
            continue;
        }
        const auto arcid = static_cast<std::uint32_t>(id);
        if (is_due(archive, utc)) {
            auto last = svc_.logs->lastCrawl(db_, arcid);
            SourceConfiguration source;
            if (last && last->end > 0 && svc_.sources->get(db_, archive.source_id, source)) {
                VANT_LOG(WORKERSCHEDULING, info) << "Starting crawl of archive " << arcid;
                start_crawl(db_, svc_, arcid, source, now);
            }
        }
        if (archive.garbage_limit > 0) {
            for (const std::string& guid :
                 svc_.documents->oldest(db_, arcid, now - archive.garbage_limit, retention_batch)) {
                changes.remove(db_, guid);
                svc_.documents->remove(db_, guid);
            }
        }
    }
    changes.flush();
    t.commit();
    // Index I/O only after the commit: the removals in their turn, and the optimisation, whose
    // reply may take hours, holds only the index client's own lock.
    changes.send();
    if (utc.tm_hour == svc_.settings.optimize_at) {
        svc_.index->optimise();
    }
}

}  // namespace marloven
