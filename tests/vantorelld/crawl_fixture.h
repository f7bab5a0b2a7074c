// crawl_fixture.h: the storage and services that the crawl threads and the scheduler borrow,
// built on a temporary database with the real index server and a clock the test sets.
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "db/disk_full.h"
#include "db/sqlite.h"
#include "idxstorage/idxstorage.h"
#include "records/records.h"
#include "storage/index_handoff.h"
#include "storage/storage_set.h"
#include "support/test_database.h"
#include "support/test_http_server.h"
#include "util/config_file.h"
#include "vantorelld/crawl_services.h"
#include "vantorelld/processthr.h"

namespace vant_test {

class crawl_fixture : public testing::Test {
  protected:
    // 2023-11-14 22:13:20 UTC, a Tuesday.
    static constexpr std::int64_t start_time = 1700000000;
    using row_list = std::vector<std::string>;

    crawl_fixture()
        : config_(dir_.write("v.conf", "DEPLOYDIR=" VANT_DEPLOY_DIR "\nLOGCFG=\nSyncLevel=0\n")),
          db_(marloven::open_database(config_, (dir_ / "vantorell.db").c_str())) {
        marloven::transaction t(db_);
        storage_ = std::make_unique<marloven::storage_set>(db_, config_, 0, "marlovenbot");
        t.commit();
        // The set's own index client is never started: the fixture's runs on an index of its own.
        static_cast<marloven::storage_refs&>(svc_) = marloven::storage_refs(*storage_);
        index_ = std::make_unique<marloven::idxstorage>(config_, dir_ / "index");
        EXPECT_TRUE(index_->start());
        changes_ = std::make_unique<marloven::index_handoff>(*index_, storage_->documents);
        svc_.config = &config_;
        svc_.database = dir_ / "vantorell.db";
        svc_.platform_guid = "0123456789abcdef0123456789abcdef";
        svc_.index = index_.get();
        svc_.index_changes = changes_.get();
        svc_.cookies = &cookies_;
        svc_.disk_pause = &disk_pause_;
        svc_.settings = marloven::crawl_settings::from(config_);
        svc_.now = [this] { return now_.load(); };
        svc_.free_disk = [this](const std::string&) { return free_disk_.load(); };
    }
    // `f()` inside a transaction of the test's connection.
    template <typename F>
    auto in_transaction(F f) {
        marloven::transaction t(db_);
        auto out = f();
        t.commit();
        return out;
    }

    // A source that accepts every URL below `prefix` (a regular expression).
    marloven::SourceConfiguration source_for(const std::string& prefix,
                                             std::vector<std::string> seeds) {
        marloven::SourceConfiguration s;
        s.name = "site";
        s.seeds = std::move(seeds);
        s.include_filters = {"^" + prefix};
        return s;
    }
    // Stores the source and an archive of it; returns the archive id.
    std::uint32_t add_archive(const marloven::SourceConfiguration& source,
                              marloven::ArchiveConfiguration archive = {}) {
        return in_transaction([&] {
            archive.source_id = svc_.sources->add(db_, source);
            return static_cast<std::uint32_t>(svc_.archives->add(db_, archive));
        });
    }
    // Opens a crawl at the present time and queues the source's seeds.
    void start_crawl(std::uint32_t arcid) {
        marloven::transaction t(db_);
        marloven::ArchiveConfiguration a;
        marloven::SourceConfiguration s;
        ASSERT_TRUE(svc_.archives->get(db_, static_cast<int>(arcid), a));
        ASSERT_TRUE(svc_.sources->get(db_, a.source_id, s));
        marloven::start_crawl(db_, svc_, arcid, s, now_);
        t.commit();
    }
    std::optional<marloven::crawl_stats> last_crawl(std::uint32_t arcid) {
        return in_transaction([&] { return svc_.logs->lastCrawl(db_, arcid); });
    }
    // A number read without the process-wide transaction lock: the committed state (readers of
    // the write-ahead log never wait for a writer).
    std::int64_t committed(const std::string& sql) {
        marloven::statement st(db_, sql.c_str());
        return st.next() ? st.integer(0) : -1;
    }
    // Stops the index server's process until the guard goes: the client's requests then wait
    // for replies that do not come.
    struct stalled_index {
        pid_t pid;
        ~stalled_index() { ::kill(pid, SIGCONT); }
    };
    stalled_index stall_index() {
        const pid_t pid = index_->server_pid();
        EXPECT_EQ(::kill(pid, SIGSTOP), 0);
        return {pid};
    }
    bool queue_empty(std::uint32_t arcid) {
        return in_transaction([&] { return svc_.queue->empty(db_, arcid); });
    }
    // Rows of a query, each as its columns joined with "|".
    std::vector<std::string> rows(const std::string& sql) {
        return in_transaction([&] { return query(db_, sql); });
    }

    temp_dir dir_;
    marloven::config_file config_;
    marloven::sqlite_connection db_;
    std::unique_ptr<marloven::storage_set> storage_;
    std::unique_ptr<marloven::idxstorage> index_;
    std::unique_ptr<marloven::index_handoff> changes_;
    marloven::cookie_store cookies_;
    marloven::disk_full_pause disk_pause_;
    std::atomic<std::int64_t> now_{start_time};
    std::atomic<std::uint64_t> free_disk_{std::uint64_t{1} << 40};
    marloven::crawl_services svc_;
};

// The crawl services with a scripted web site to crawl and the real worker program.
class site_crawl_fixture : public crawl_fixture {
  protected:
    std::unique_ptr<marloven::process_thread> make_thread(int timeout = 180) {
        return std::make_unique<marloven::process_thread>(svc_, std::chrono::seconds(timeout));
    }
    // Runs passes until the archive's queue is empty (at most `limit` passes).
    int crawl(marloven::process_thread& t, std::uint32_t arcid, int limit = 100) {
        int passes = 0;
        while (!queue_empty(arcid) && passes < limit) {
            EXPECT_TRUE(t.crawl_once());
            ++passes;
        }
        return passes;
    }
    // Starts a crawl `later` seconds on and runs it to its end.
    void crawl_again(marloven::process_thread& t, std::uint32_t arcid, int later) {
        now_ += later;
        start_crawl(arcid);
        crawl(t, arcid);
    }
    std::string url(const std::string& path) const { return site_.url(path); }
    std::string prefix() const { return "http://127\\.0\\.0\\.1:" + std::to_string(site_.port()); }
    // An archive of a source seeded with the site's root page.
    std::uint32_t site_archive(const marloven::ArchiveConfiguration& archive = {}) {
        return add_archive(source_for(prefix(), {url("/")}), archive);
    }
    // `arcid`, with a crawl opened now.
    std::uint32_t started(std::uint32_t arcid) {
        start_crawl(arcid);
        return arcid;
    }

    test_http_server site_;
};

}  // namespace vant_test
