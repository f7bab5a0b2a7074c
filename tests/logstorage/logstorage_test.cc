// Tests of log storage over a real database file: how result codes count in the running crawl,
// the crawl rows, document-log paging of running and finished crawls, and the query log.
// SPDX-License-Identifier: MIT
#include "logstorage/logstorage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/test_database.h"

namespace marloven {
namespace {

class logstorage_test : public testing::Test {
  protected:
    std::string stats(std::uint32_t arcid) {
        auto c = logs_.lastCrawl(db_, arcid);
        if (!c) {
            return "none";
        }
        return std::to_string(c->start) + "-" + std::to_string(c->end) + " docs " +
               std::to_string(c->docs) + " errors " + std::to_string(c->errors);
    }
    // Logs `n` documents "d<i>" for the archive at times from `first` on.
    void log_documents(std::uint32_t arcid, int n, std::int64_t first, int from = 0) {
        for (int i = from; i < from + n; ++i) {
            logs_.logDocument(db_, "d" + std::to_string(i), arcid,
                              "http://example.com/" + std::to_string(i), first + i, 0);
        }
    }

    // One page of archive 1's crawl started at `start`: each row's guid and URL, and the cursor
    // after it.
    std::string page(std::int64_t start, int n, std::int64_t cursor) {
        auto p = logs_.documentLog(db_, 1, start, n, cursor);
        std::string out;
        for (const auto& row : p.rows) {
            out += row.guid + " " + row.url + ", ";
        }
        return out + "next " + std::to_string(p.next_cursor);
    }

    vant_test::test_database db_;
    logstorage logs_{db_};
};

TEST_F(logstorage_test, each_archive_has_at_most_one_running_crawl_and_only_it_counts) {
    EXPECT_EQ(stats(1), "none");
    logs_.crawlStarted(db_, 1, 100);
    logs_.crawlStarted(db_, 2, 110);
    log_documents(1, 2, 120);
    logs_.crawlEnded(db_, 1, 200);
    logs_.crawlEnded(db_, 1, 300);  // nothing running: the first crawl keeps its end
    log_documents(1, 1, 310);       // and counts no more
    EXPECT_EQ(stats(1), "100-200 docs 2 errors 0");
    logs_.crawlStarted(db_, 1, 400);
    for (int status : {0, 3, 1}) {  // a good page, a failed fetch, a redirect
        logs_.logDocument(db_, "g" + std::to_string(status), 1, "http://example.com/", 410, status);
    }
    EXPECT_EQ(stats(1), "400-0 docs 1 errors 1");
    EXPECT_EQ(stats(2), "110-0 docs 0 errors 0");
}

// Paging itself, through GetCrawlLog: api/crawl_test.
TEST_F(logstorage_test,
       finished_crawl_pages_hold_its_rows_in_logging_order_and_end_with_minus_one) {
    logs_.crawlStarted(db_, 1, 1000);
    log_documents(1, 10, 1000);
    for (const char* guid : {"z", "it's"}) {  // rows of one second, logged under the normalised URL
        logs_.logDocument(db_, guid, 1, "HTTP://Example.com:80/a/../b#x", 1500, 0);
    }
    logs_.crawlEnded(db_, 1, 2000);
    log_documents(1, 3, 3000, 12);  // documents of a later crawl are not this crawl's
    logs_.logDocument(db_, "elsewhere", 2, "http://example.com/", 1500, 0);
    EXPECT_TRUE(page(1000, 10, 0).ends_with("d9 http://example.com/9, next 10"));
    EXPECT_EQ(page(1000, 10, 10), "z http://example.com/b, it's http://example.com/b, next -1");
}

TEST_F(logstorage_test, running_crawl_pages_never_end_while_rows_arrive) {
    logs_.crawlStarted(db_, 1, 1000);
    log_documents(1, 12, 1000);
    EXPECT_TRUE(page(1000, 10, 0).ends_with(", next 10"));
    EXPECT_EQ(page(1000, 10, 10), "d10 http://example.com/10, d11 http://example.com/11, next 12");
    EXPECT_EQ(page(1000, 10, 12), "next 12") << "nothing new yet: the same poll again";
    log_documents(1, 1, 1000, 12);
    EXPECT_EQ(page(1000, 10, 12), "d12 http://example.com/12, next 13");
    // Once the crawl ends, the same poll finishes the paging.
    logs_.crawlEnded(db_, 1, 5000);
    EXPECT_EQ(page(1000, 10, 13), "next -1");
}

// A crawl start below one names no crawl; a negative cursor is handed back as it came.
TEST_F(logstorage_test, start_below_one_gives_no_rows_and_ends_the_paging) {
    log_documents(1, 3, 0);
    EXPECT_EQ(page(0, 10, 0), "next -1");
    EXPECT_EQ(page(5, 10, -7), "next -7");
}

TEST_F(logstorage_test, query_log_reads_a_time_range_in_logging_order) {
    logs_.logQuery(db_, 1, 200, "second");
    logs_.logQuery(db_, 1, 100, "first 'quoted'");
    logs_.logQuery(db_, 1, 200, "third");
    logs_.logQuery(db_, 1, 300, "later");
    logs_.logQuery(db_, 2, 150, "other archive");
    auto rows = logs_.queryLog(db_, 1, 100, 200);
    std::vector<std::string> texts;
    for (const auto& r : rows) {
        texts.push_back(std::to_string(r.timestamp) + " " + r.query);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"100 first 'quoted'", "200 second", "200 third"}));
}

// Concurrent searches share the commits of their query-log rows; each caller's rows must still be
// committed (visible to another connection) when its call returns, and none may be lost or
// written twice.
TEST_F(logstorage_test, query_rows_logged_together_are_each_committed_once_before_the_return) {
    constexpr int threads = 6, per_thread = 40;
    std::atomic<int> unseen{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            sqlite_connection own = db_.open();
            sqlite_connection other = db_.open();
            for (int i = 0; i < per_thread; ++i) {
                const std::string text = "t" + std::to_string(t) + "'" + std::to_string(i);
                logs_.logQueryCommitted(own.get(), {1, 2}, 100 + i,
                                        text + std::string(1, '\0') + "x");
                statement st(other.get(), sql_text("select count(*) from querylog where query='%q'",
                                                   text.c_str()));
                st.next();
                unseen += st.integer(0) == 2 ? 0 : 1;
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
    EXPECT_EQ(unseen, 0) << "rows not committed when the call returned";
    EXPECT_EQ(db_.integer("select count(*) from querylog"), 2 * threads * per_thread);
    EXPECT_EQ(db_.integer("select count(distinct arcid || query) from querylog"),
              2 * threads * per_thread);
}

TEST_F(logstorage_test, clearing_one_archive_leaves_the_others) {
    for (std::uint32_t arcid : {1u, 2u}) {
        logs_.crawlStarted(db_, arcid, 10);
        log_documents(arcid, 2, 10);
        logs_.logQuery(db_, arcid, 10, "q");
    }
    logs_.clearArchive(db_, 1);
    EXPECT_EQ(stats(1), "none");
    EXPECT_EQ(stats(2), "10-0 docs 2 errors 0");
    EXPECT_EQ(db_.integer("select count(*) from documentlog"), 2);
    EXPECT_EQ(db_.integer("select count(*) from querylog where arcid=2"), 1);
}

}  // namespace
}  // namespace marloven
