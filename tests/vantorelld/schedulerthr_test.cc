// The scheduler's passes driven by a clock the test sets: which archives start when, retention in
// batches, and the watchdog on every pass.
// SPDX-License-Identifier: MIT
#include "vantorelld/schedulerthr.h"

#include <gtest/gtest.h>

#include "support/full_disk.h"
#include "support/process.h"
#include "vantorelld/crawl_fixture.h"

namespace marloven {
namespace {

// 2024-01-07 00:00:00 UTC, a Sunday.
constexpr std::int64_t sunday = 1704585600;
constexpr std::int64_t hour = 3600;

class scheduler_test : public vant_test::crawl_fixture {
  protected:
    scheduler_test() {
        now_ = sunday;
        scheduler_ = std::make_unique<scheduler_thread>(svc_, [this] { ++watchdog_calls_; });
    }
    // An archive of a one-seed source on the given schedule, with an ended crawl (so that the
    // scheduler may start the next) unless `never_crawled`.
    std::uint32_t scheduled(schedule_frequency f, int attribute, int access_time,
                            bool never_crawled = false) {
        ArchiveConfiguration a;
        a.frequency = f;
        a.attribute = attribute;
        a.access_time = access_time;
        std::uint32_t arcid = add_archive(source_for("http://x/", {"http://x/seed"}), a);
        if (!never_crawled) {
            transaction t(db_);
            svc_.logs->crawlStarted(db_, arcid, 1);
            svc_.logs->crawlEnded(db_, arcid, 2);
            t.commit();
        }
        return arcid;
    }
    std::unique_ptr<scheduler_thread> scheduler_;
    std::atomic<int> watchdog_calls_{0};
};

TEST_F(scheduler_test, first_pass_starts_a_due_archive_and_queues_its_seeds) {
    std::uint32_t arcid = scheduled(schedule_frequency::hourly, 1, 0);
    std::uint32_t never = scheduled(schedule_frequency::hourly, 1, 0, true);
    scheduler_->pass();
    // Starting a crawl (its row and its seeds) is the storage set's, shared with StartCrawl.
    EXPECT_EQ(rows("select arcid, start, end from crawlstats where end=0"),
              (row_list{std::to_string(arcid) + "|" + std::to_string(sunday) + "|0"}));
    EXPECT_FALSE(last_crawl(never));
    // The next hour the crawl still runs: it is not started again.
    now_ += hour;
    scheduler_->pass();
    EXPECT_EQ(rows("select count(*) from crawlstats where arcid=" + std::to_string(arcid)),
              (row_list{"2"}));
}

TEST_F(scheduler_test, retention_removes_at_most_a_batch_per_archive_and_hour) {
    ArchiveConfiguration a;
    a.garbage_limit = static_cast<int>(hour * 24 * 7);
    std::uint32_t arcid = add_archive(source_for("http://x/", {}), a);
    {
        transaction t(db_);
        for (int i = 0; i <= 160; ++i) {  // 160 expired versions and a fresh one
            document_version d;
            d.guid = i < 160 ? "old" + std::to_string(i) : "fresh";
            d.arcid = arcid;
            d.url = "http://x/" + d.guid;
            d.timestamp = i < 160 ? sunday - a.garbage_limit - 1000 + i : sunday - hour;
            ASSERT_TRUE(svc_.documents->store(db_, d, {}, cache_mode::full));
        }
        t.commit();
    }
    auto count = [&] { return rows("select count(*) from docstorage")[0]; };
    scheduler_->pass();
    EXPECT_EQ(count(), "61");
    // The oldest went first.
    EXPECT_EQ(rows("select min(timestamp) - " + std::to_string(sunday - a.garbage_limit - 1000) +
                   " from docstorage"),
              (row_list{"100"}));
    now_ += 120;  // within the hour: only a flush
    scheduler_->pass();
    EXPECT_EQ(count(), "61");
    now_ = sunday + hour;
    scheduler_->pass();
    EXPECT_EQ(rows("select guid from docstorage"), (row_list{"fresh"}));
}

// Issue 15: the hourly step held the process-wide transaction lock across its index requests,
// the daily optimisation among them (whose reply may take hours).
TEST_F(scheduler_test, a_stalled_index_server_holds_up_no_transaction) {
    std::uint32_t arcid = scheduled(schedule_frequency::hourly, 1, 0);
    now_ = sunday + svc_.settings.optimize_at * hour;
    std::jthread pass;
    {
        auto stalled = stall_index();
        pass = std::jthread([&] { scheduler_->pass(); });
        ASSERT_TRUE(vant_test::eventually([&] {
            return committed("select count(*) from crawlstats where arcid=" +
                             std::to_string(arcid) + " and end=0") == 1;
        })) << "the hourly step did not commit while the index server was stalled";
        transaction t(db_);  // another thread gets the lock meanwhile
        t.commit();
    }
    pass.join();
    EXPECT_EQ(watchdog_calls_, 1);
}

TEST_F(scheduler_test, too_little_disk_space_leaves_only_the_watchdog) {
    std::uint32_t arcid = scheduled(schedule_frequency::hourly, 1, 0);
    svc_.settings.min_free_disk = 1000;
    free_disk_ = 10;
    scheduler_->pass();
    EXPECT_EQ(last_crawl(arcid)->end, 2);
    EXPECT_EQ(watchdog_calls_, 1);
    free_disk_ = 1000;
    scheduler_->pass();
    EXPECT_EQ(last_crawl(arcid)->end, 0);
}

// Issue 14: a full disk while the scheduler started a crawl ended the daemon.
TEST_F(scheduler_test, full_disk_rolls_the_step_back_and_it_runs_again_after_the_pause) {
    std::uint32_t arcid = scheduled(schedule_frequency::hourly, 1, 0);
    vant_test::full_disk disk;
    scheduler_thread scheduler(svc_, [] {});  // its connection goes through the disk
    disk.set_full(true);
    scheduler.pass();
    disk.set_full(false);
    scheduler.pass();
    EXPECT_EQ(last_crawl(arcid)->end, 2) << "no crawl started yet";
    now_ += disk_full_pause::default_seconds;
    scheduler.pass();
    EXPECT_EQ(last_crawl(arcid)->end, 0);
}

}  // namespace
}  // namespace marloven
