// The crawl processing thread, pass by pass, with the real worker program against a scripted
// web site, and a clock and disk probe set by the test.
// SPDX-License-Identifier: MIT
#include "vantorelld/processthr.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/full_disk.h"
#include "support/process.h"
#include "vantorelld/crawl_fixture.h"

namespace marloven {
namespace {

using vant_test::page;

class process_thread_test : public vant_test::site_crawl_fixture {
  protected:
    // How many indexed documents hold `word`.
    int hits(const std::string& word) {
        query_options q;
        q.atoms = {{query_atom_type::ATOM_WORD, word, ""}};
        q.last = 10;
        std::vector<query_hit> found;
        return index_->query(q, nullptr, found);
    }
};

TEST_F(process_thread_test, archive_with_history_keeps_every_fetch) {
    site_.route("/", 200, "text/html", page("Home", "steady text"));
    ArchiveConfiguration archive;
    archive.historicize = true;
    std::uint32_t arcid = site_archive(archive);
    auto thread = make_thread();
    for (int round = 0; round < 3; ++round) {
        crawl_again(*thread, arcid, 3600);
    }
    // A fetch equal to the newest good version is UNCHANGED and kept as a version of its own;
    // the next is compared with that version, which is not a good one, and is stored as good.
    EXPECT_EQ(rows("select error from docstorage order by timestamp"), (row_list{"0", "9", "0"}));

    // Parsing the stored versions again: the stored content is parsed, not fetched; a guid that
    // is not stored is dropped. Issue 15: the UNCHANGED version became a good one (and indexed).
    now_ += 60;
    {
        transaction t(db_);
        svc_.logs->crawlStarted(db_, arcid, now_);
        svc_.documents->requeueArchive(db_, arcid, *svc_.queue);
        svc_.queue->push(db_, arcid, "guid:0000", 0);
        t.commit();
    }
    crawl(*thread, arcid);
    EXPECT_EQ(site_.count("/"), 3u);
    EXPECT_EQ(rows("select count(*) from documentlog where timestamp=" + std::to_string(now_)),
              (row_list{"3"}));
    EXPECT_EQ(rows("select error from docstorage order by timestamp"), (row_list{"0", "9", "0"}));
    index_->flush();
    EXPECT_EQ(hits("steady"), 2);
}

// A redirect target is queued at the redirect's own depth: with a depth limit of two, the page at
// the end of a chain and the page it links to are fetched, and that page's links are not. Issue 14:
// a redirect trap of ever-new URLs was followed for ever. The count of redirects in a row travels
// with the queued URL (whose table keeps it across a restart).
class redirect_chain_test : public process_thread_test, public testing::WithParamInterface<int> {};

TEST_P(redirect_chain_test, chain_of_more_than_twenty_redirects_ends) {
    const int n = GetParam();  // redirects in a row before the page
    auto path = [](int i) { return "/r/" + std::to_string(i); };
    for (int i = 0; i < n; ++i) {
        site_.route(path(i), vant_test::http_response(301, {{"Location", path(i + 1)}}, ""));
    }
    site_.route(path(n), 200, "text/html", page("End", "z", {"/deeper.html"}));
    site_.route("/deeper.html", 200, "text/html", page("Deeper", "z", {"/deepest.html"}));
    auto source = source_for(prefix(), {url(path(0))});
    source.depth = 2;
    std::uint32_t arcid = started(add_archive(source));
    auto thread = make_thread();
    crawl(*thread, arcid);
    EXPECT_EQ(site_.count(path(n)), n <= 20 ? 1u : 0u);
    EXPECT_EQ(site_.count("/deeper.html"), site_.count(path(n)));
    EXPECT_EQ(site_.count("/deepest.html"), 0u);
}

INSTANTIATE_TEST_SUITE_P(lengths, redirect_chain_test, testing::Values(20, 21));

// Issue 14: every link of a page was queued, however many it had.
TEST_F(process_thread_test, links_beyond_the_cap_are_dropped_and_counted) {
    std::vector<std::string> links;
    for (std::size_t i = 0; i < max_outlinks_per_page + 5; ++i) {
        links.push_back("/l" + std::to_string(i));
    }
    site_.route("/", 200, "text/html", page("Home", "x", links));
    start_crawl(site_archive());
    auto thread = make_thread();
    EXPECT_TRUE(thread->crawl_once());
    EXPECT_EQ(rows("select count(*) from fetchqueue"),
              (row_list{std::to_string(max_outlinks_per_page)}));
}

// Issue 14: a full disk (SQLITE_FULL) while storing ended the daemon. With history the version
// has a guid of its own, which no later fetch replaces in the index: it must not get there.
TEST_F(process_thread_test, full_disk_rolls_the_page_back_and_pauses_crawling) {
    site_.route("/", 200, "text/html", page("Home", "homeword", {"/a.html"}));
    site_.route("/a.html", 200, "text/html", page("A", "y"));
    vant_test::full_disk disk;
    auto source = source_for(prefix(), {url("/")});
    source.robots_check = false;
    ArchiveConfiguration archive;
    archive.historicize = true;
    std::uint32_t arcid = started(add_archive(source, archive));
    auto thread = make_thread();
    disk.set_full_after(8);  // while the page is stored
    EXPECT_TRUE(thread->crawl_once());
    disk.set_full(false);
    index_->flush();
    EXPECT_EQ(hits("homeword"), 0);
    EXPECT_TRUE(rows("select * from docstorage").empty());
    EXPECT_FALSE(thread->crawl_once()) << "crawling pauses";
    now_ += disk_full_pause::default_seconds;
    // The page is still queued, its host free, and its links are queued when it is stored.
    crawl(*thread, arcid);
    EXPECT_EQ(rows("select url, status from documentlog order by rowid"),
              (row_list{url("/") + "|0", url("/a.html") + "|0"}));
    EXPECT_EQ(hits("homeword"), 1);
}

// Issue 15: the crawl thread held the process-wide transaction lock while the index server
// answered addDocument and the crawl-end flush, so a stalled index server stalled every thread's
// database work. The page's pass commits first and then waits for the index outside the lock.
TEST_F(process_thread_test, a_stalled_index_server_holds_up_no_transaction) {
    site_.route("/", 200, "text/html", page("Home", "stallword"));
    start_crawl(site_archive());
    auto thread = make_thread();
    std::jthread pass;
    {
        auto stalled = stall_index();
        pass = std::jthread([&] { thread->crawl_once(); });
        ASSERT_TRUE(vant_test::eventually([&] {
            return committed("select count(*) from crawlstats where end>0") == 1;
        })) << "the page's pass did not commit while the index server was stalled";
        transaction t(db_);  // another thread gets the lock meanwhile
        t.commit();
    }
    pass.join();
    EXPECT_EQ(hits("stallword"), 1);
    EXPECT_EQ(rows("select count(*) from indexpending"), (row_list{"1"}));
    EXPECT_FALSE(thread->crawl_once());  // its transaction clears the note of what the index has
    EXPECT_TRUE(rows("select * from indexpending").empty());
}

TEST_F(process_thread_test, page_limit_ends_the_crawl) {
    std::vector<std::string> links;
    for (int i = 0; i < 10; ++i) {
        std::string path = "/p" + std::to_string(i) + ".html";
        links.push_back(path);
        site_.route(path, 200, "text/html", page("P", "page " + std::to_string(i)));
    }
    site_.route("/", 200, "text/html", page("Home", "x", links));
    ArchiveConfiguration archive;
    archive.page_limit = 4;
    std::uint32_t arcid = started(site_archive(archive));
    auto thread = make_thread();
    EXPECT_EQ(crawl(*thread, arcid), 4);
    EXPECT_EQ(last_crawl(arcid)->docs, 4);
    EXPECT_NE(last_crawl(arcid)->end, 0);
}

TEST_F(process_thread_test, results_after_the_crawl_ended_are_dropped) {
    site_.route("/", 200, "text/html", page("Home", "x", {"/a.html"}));
    std::uint32_t arcid = started(site_archive());
    {
        transaction t(db_);
        svc_.logs->crawlEnded(db_, arcid, now_);  // a stop, as StopCrawl does without the clear
        t.commit();
    }
    auto thread = make_thread();
    EXPECT_EQ(crawl(*thread, arcid), 1);
    EXPECT_TRUE(rows("select * from docstorage").empty());
    EXPECT_TRUE(rows("select * from documentlog").empty());
    EXPECT_EQ(site_.count("/a.html"), 0u);
}

TEST_F(process_thread_test, nothing_is_taken_outside_the_window_or_without_disk_space) {
    site_.route("/", 200, "text/html", page("Home", "x"));
    std::uint32_t arcid = started(site_archive());
    svc_.settings.crawl_start = 9;
    svc_.settings.crawl_stop = 17;  // start_time is 22:13 UTC
    auto thread = make_thread();
    EXPECT_FALSE(thread->crawl_once());
    svc_.settings.crawl_stop = 23;
    svc_.settings.min_free_disk = 1000;
    free_disk_ = 999;
    EXPECT_FALSE(thread->crawl_once());
    EXPECT_EQ(site_.requests().size(), 0u);
    free_disk_ = 1000;
    EXPECT_TRUE(thread->crawl_once());
    EXPECT_TRUE(queue_empty(arcid));
}

// A log-in is repeated only when its cookies are older than the freshness period. Issue 15: a
// log-in that failed was not remembered, so it was repeated before every URL. (A log-in that
// succeeds goes the whole way in the integration crawl.)
TEST_F(process_thread_test, failed_log_in_is_repeated_only_after_the_freshness_period) {
    site_.route("/login", vant_test::http_response(403, {}, "no"));
    site_.route("/m/1", 200, "text/html", page("1", "members"));
    site_.route("/m/2", 200, "text/html", page("2", "members"));
    auto source = source_for(prefix(), {url("/m/1"), url("/m/2")});
    source.auth = auth_type::cookie;
    source.cookie.url = url("/login");
    source.cookie.action = cookie_action::post;
    source.cookie.freshness = 3600;
    source.cookie.params = {{"user", "", cookie_param_type::username}};
    std::uint32_t arcid = add_archive(source);
    auto thread = make_thread();
    crawl_again(*thread, arcid, 0);
    EXPECT_EQ(site_.count("/login"), 1u);
    crawl_again(*thread, arcid, 3600);  // exactly as old as allowed: still fresh
    EXPECT_EQ(site_.count("/login"), 1u);
    crawl_again(*thread, arcid, 1);
    EXPECT_EQ(site_.count("/login"), 2u);
    EXPECT_EQ(rows("select count(*) from documentlog"), (row_list{"6"}));
}

// A worker that does not answer within the time-out is killed by the watchdog and replaced. A hang
// on a page costs that URL (INTERNAL); issue 15: a hang while fetching robots.txt cost the URL too,
// now the URL is fetched by the next worker.
struct hang_case {
    const char* hung;    // the path whose answer never comes
    const char* status;  // the URL's status in the crawl log
};
class worker_hang_test : public process_thread_test,
                         public testing::WithParamInterface<hang_case> {};

TEST_P(worker_hang_test, hung_worker_is_killed_and_replaced) {
    site_.route("/", 200, "text/html", page("Home", "x"));
    vant_test::http_response never(200, {{"Content-Type", "text/plain"}}, "late");
    never.delay = std::chrono::hours(1);
    site_.route(GetParam().hung, never);
    std::uint32_t arcid = started(site_archive());
    auto thread = make_thread(2);
    const pid_t first = thread->worker_pid();
    std::jthread pass([&] { thread->crawl_once(); });
    ASSERT_TRUE(vant_test::eventually([&] { return site_.count(GetParam().hung) == 1; }));
    thread->check_worker(false);  // not yet due: nothing happens
    EXPECT_EQ(thread->worker_pid(), first);
    now_ += 2;
    thread->check_worker(false);
    pass.join();
    EXPECT_NE(thread->worker_pid(), first);
    crawl(*thread, arcid);
    EXPECT_EQ(rows("select url, status from documentlog order by rowid"),
              (row_list{url("/") + "|" + GetParam().status}));
}

INSTANTIATE_TEST_SUITE_P(cases, worker_hang_test,
                         testing::Values(hang_case{"/robots.txt", "0"}, hang_case{"/", "12"}));

}  // namespace
}  // namespace marloven
