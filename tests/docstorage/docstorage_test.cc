// Tests of document storage over a real database file: the counters through every store,
// replace, remove and clear, the cache modes, corrupt stored data, versions by URL, and the
// hand-over of stored documents to the queue and the index. Lookups by URL that slow down as an
// archive grows show in bench/recrawl_bench.sh.
// SPDX-License-Identifier: MIT
#include "docstorage/docstorage.h"

#include <gtest/gtest.h>

#include <tuple>

#include "fetchqueue/fetchqueue.h"
#include "support/test_database.h"

namespace marloven {
namespace {

document_version version(std::string guid, std::uint32_t arcid, int error, std::size_t bytes,
                         std::int64_t timestamp = 1000) {
    document_version d;
    d.guid = std::move(guid);
    d.arcid = arcid;
    d.url = "http://example.com/" + d.guid;
    d.timestamp = timestamp;
    d.error = error;
    d.headers = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
    d.content = std::string(bytes, 'c');
    d.fff = "FFF" + std::string(50, '\x01');
    d.fffcrc = 0xdeadbeef;  // above 2^31: must come back unsigned
    d.corecrc = 17;
    d.corechanged = true;
    d.score = 750000;
    d.mime = "text/html";
    d.charset = "utf-8";
    d.servertime = 999;
    return d;
}

// The fields kept whatever the cache mode.
void expect_fields(const document_version& got, const document_version& d) {
    EXPECT_EQ(std::tie(got.arcid, got.url, got.timestamp, got.error, got.fffcrc, got.corecrc,
                       got.corechanged, got.score, got.mime, got.charset, got.servertime),
              std::tie(d.arcid, d.url, d.timestamp, d.error, d.fffcrc, d.corecrc, d.corechanged,
                       d.score, d.mime, d.charset, d.servertime));
}

class docstorage_test : public testing::Test {
  protected:
    void store(const document_version& d, cache_mode mode = cache_mode::full,
               const extra_values& extra = {}) {
        ASSERT_TRUE(docs_.store(db_, d, extra, mode));
    }
    // "docs/bytes" of an archive (0: the totals).
    std::string counted(std::uint32_t arcid) {
        return std::to_string(docs_.documentCount(db_, arcid)) + "/" +
               std::to_string(docs_.byteCount(db_, arcid));
    }

    vant_test::test_database db_;
    docstorage docs_{db_};
};

// One step of a counter scenario and the counters of archives 1 and 2 and the totals after it.
struct counter_step {
    const char* what;
    enum { store, remove, clear } op;
    const char* guid;
    std::uint32_t arcid;
    int error;
    std::size_t bytes;
    const char* arc1;
    const char* arc2;
    const char* totals;
};

TEST_F(docstorage_test, counters_follow_every_store_replace_remove_and_clear) {
    const counter_step steps[] = {
        {"good document counts", counter_step::store, "a", 1, 0, 100, "1/100", "0/0", "1/100"},
        // Only NONE (0) counts; UNCHANGED (9) keeps its data uncounted.
        {"failed fetch does not count", counter_step::store, "it's", 1, 404, 70, "1/100", "0/0",
         "1/100"},
        {"good replaces good: bytes by the difference", counter_step::store, "a", 1, 0, 130,
         "1/130", "0/0", "1/130"},
        {"second archive", counter_step::store, "d", 2, 0, 5, "1/130", "1/5", "2/135"},
        {"unchanged replaces good: uncounted", counter_step::store, "d", 2, 9, 5, "1/130", "0/0",
         "1/130"},
        {"good replaces unchanged", counter_step::store, "d", 2, 0, 8, "1/130", "1/8", "2/138"},
        {"another good", counter_step::store, "e", 1, 0, 2, "2/132", "1/8", "3/140"},
        {"removing a good version", counter_step::remove, "e", 0, 0, 0, "1/130", "1/8", "2/138"},
        {"removing an uncounted version", counter_step::remove, "it's", 0, 0, 0, "1/130", "1/8",
         "2/138"},
        {"a guid moving to another archive", counter_step::store, "d", 1, 0, 8, "2/138", "0/0",
         "2/138"},
        {"a new version in archive 2", counter_step::store, "f", 2, 0, 1, "2/138", "1/1", "3/139"},
        {"clearing an archive", counter_step::clear, "", 1, 0, 0, "0/0", "1/1", "1/1"},
    };
    for (const auto& s : steps) {
        switch (s.op) {
            case counter_step::store:
                store(version(s.guid, s.arcid, s.error, s.bytes));
                break;
            case counter_step::remove:
                docs_.remove(db_, s.guid);
                break;
            case counter_step::clear:
                docs_.clearArchive(db_, s.arcid);
                break;
        }
        EXPECT_EQ(counted(1), s.arc1) << s.what;
        EXPECT_EQ(counted(2), s.arc2) << s.what;
        EXPECT_EQ(counted(0), s.totals) << s.what;
    }
    EXPECT_EQ(db_.integer("select count(*) from docstorage where arcid=1"), 0);
    EXPECT_EQ(db_.integer("select count(*) from docstorage"), 1);
}

TEST_F(docstorage_test, counters_hold_more_than_four_gigabytes) {
    const std::int64_t big = std::int64_t{3} << 30;
    exec(db_, sql_text("insert into doccount values(1, 2, %lld)", static_cast<long long>(big)));
    exec(db_, sql_text("insert into doccount values(0, 2, %lld)", static_cast<long long>(2 * big)));
    store(version("a", 1, 0, 10));
    EXPECT_EQ(docs_.byteCount(db_, 1), big + 10);
    EXPECT_EQ(docs_.byteCount(db_, 0), 2 * big + 10);
}

struct cache_case {
    cache_mode mode;
    int error;
    bool keeps_headers_and_content;
    bool keeps_fff;
};

class docstorage_cache_test : public docstorage_test,
                              public testing::WithParamInterface<cache_case> {};

// A version replaced loses its old extra values whatever the mode.
TEST_P(docstorage_cache_test, keeps_what_the_mode_says_and_every_length) {
    const auto& c = GetParam();
    store(version("g", 3, 0, 1), cache_mode::full, {{"old", "1"}});
    document_version d = version("g", 3, c.error, 70000);  // more than inflation's first buffer
    store(d, c.mode, {{"lang", "en"}, {"empty", ""}, {"bin", std::string("\0\xff", 2)}});

    document_version got;
    ASSERT_EQ(docs_.get(db_, "g", got), read_status::found);
    const std::string none;
    EXPECT_EQ(std::tie(got.headers, got.content, got.fff),
              std::tie(c.keeps_headers_and_content ? d.headers : none,
                       c.keeps_headers_and_content ? d.content : none, c.keeps_fff ? d.fff : none));
    EXPECT_EQ(db_.text("select headerslen || '/' || contentlen || '/' || ffflen from docstorage"),
              "42/70000/53");

    extra_values extra;
    EXPECT_TRUE(docs_.getExtra(db_, "g", extra));
    if (c.keeps_headers_and_content) {
        EXPECT_EQ(extra,
                  (extra_values{{"bin", std::string("\0\xff", 2)}, {"empty", ""}, {"lang", "en"}}));
        EXPECT_EQ(db_.integer("select valuelen from auxstorage where key='bin'"), 2);
    } else {
        EXPECT_TRUE(extra.empty());
    }
    expect_fields(got, d);
}

INSTANTIATE_TEST_SUITE_P(modes, docstorage_cache_test,
                         testing::Values(cache_case{cache_mode::full, 0, true, true},
                                         cache_case{cache_mode::full, 9, true, true},
                                         cache_case{cache_mode::context, 0, false, true},
                                         cache_case{cache_mode::none, 0, false, false},
                                         cache_case{cache_mode::full, 404, false, false}));

TEST_F(docstorage_test, corrupt_blobs_are_reported_and_the_rest_still_reads) {
    document_version d = version("g", 1, 0, 2000);
    store(d, cache_mode::full, {{"a", "alpha"}, {"b", "beta"}});
    store(version("h", 1, 0, 10));
    store(version("u", 2, 9, 1));
    exec(db_, "update docstorage set content=substr(content, 1, 10) where guid='g'");
    exec(db_, "update docstorage set fff=x'00112233' where guid='g'");
    exec(db_, "update auxstorage set valuelen=1099511627776 where key='a'");

    document_version got;
    EXPECT_EQ(docs_.get(db_, "g", got), read_status::corrupt);
    EXPECT_EQ(std::tie(got.headers, got.content, got.fff), std::make_tuple(d.headers, "", ""));
    expect_fields(got, d);
    EXPECT_EQ(docs_.get(db_, "nope", got), read_status::missing);

    extra_values extra;
    EXPECT_FALSE(docs_.getExtra(db_, "g", extra));
    EXPECT_EQ(extra, (extra_values{{"b", "beta"}}));

    // Feeding the index again skips the corrupt document and goes on with the other good ones
    // (what it hands over: integration/maintenance_test).
    std::string fed;
    EXPECT_EQ(docs_.forEachWithError(db_, 0, [&](const document_version& v) { fed += v.guid; }),
              1u);
    EXPECT_EQ(fed, "h");
}

TEST_F(docstorage_test, newest_version_is_found_under_any_spelling_of_the_url) {
    auto at = [](document_version d, std::string url) {
        d.url = std::move(url);
        return d;
    };
    store(at(version("v1", 1, 0, 10, 100), "HTTP://Example.COM:80/a/./b"));
    store(at(version("v2", 1, 404, 10, 200), "http://example.com/a/x/../b#section"));
    store(at(version("v3", 2, 0, 10, 300), "http://example.com/a/b"));
    auto latest = docs_.findLatest(db_, 1, "http://EXAMPLE.com/a/b");
    ASSERT_TRUE(latest);
    EXPECT_EQ(std::tie(latest->guid, latest->timestamp, latest->error),
              (std::tuple<std::string, std::int64_t, int>{"v2", 200, 404}));
    EXPECT_EQ(docs_.latestTimestamp(db_, 1, "http://example.com:80/a/b"), 200);
    docs_.touch(db_, "v1", 250);  // an unchanged fetch confirms the older version
    EXPECT_EQ(docs_.findLatest(db_, 1, "http://example.com/a/b")->guid, "v1");
    EXPECT_EQ(docs_.latestTimestamp(db_, 5, "http://example.com/a/b"), 0);
}

TEST_F(docstorage_test, requeue_queues_good_and_unchanged_versions_only_into_an_empty_queue) {
    fetchqueue queue(db_, 0);
    store(version("good", 1, 0, 1));
    store(version("same", 1, 9, 1));
    store(version("failed", 1, 3, 1));
    store(version("other", 2, 0, 1));
    docs_.requeueArchive(db_, 1, queue);
    EXPECT_EQ(db_.text("select group_concat(arcid || ' ' || url || ' ' || priority, ', ') from "
                       "(select * from fetchqueue order by url)"),
              "1 guid:good 0, 1 guid:same 0");

    queue.clear(db_, 1);
    queue.push(db_, 1, "http://example.com/pending", 0);
    docs_.requeueArchive(db_, 1, queue);
    EXPECT_EQ(db_.integer("select count(*) from fetchqueue"), 1);
}

using docstorage_death_test = docstorage_test;

TEST_F(docstorage_death_test, database_errors_end_the_process_naming_this_store) {
    exec(db_, "drop table doccount");
    EXPECT_DEATH((void)docs_.store(db_, version("a", 1, 0, 1), {}, cache_mode::full),
                 "src\\\\docstorage\\\\docstorage\\([0-9]+\\): assertion \\[SQLite error: "
                 "\\[1\\] no such table: doccount\\] failed");
}

}  // namespace
}  // namespace marloven
