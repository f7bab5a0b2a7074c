// The installed daemon's /reindex and the index rebuild that ends /restore (the index answers
// from the stored documents alone), and /reset: every crawl table and the index emptied and the
// file compacted, the configuration and the installation's identity left as they were.
// SPDX-License-Identifier: MIT
#include <algorithm>
#include <filesystem>

#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "idxstorage/fff_builder.h"
#include "installation.h"
#include "logstorage/logstorage.h"
#include "robotschecker/robotschecker.h"

namespace marloven {
namespace {

using vant_test::query;
using vant_test::run_daemon;

constexpr const char* crawl_tables[] = {"docstorage",  "auxstorage", "doccount",   "fetchqueue",
                                        "documentlog", "querylog",   "crawlstats", "robotscache"};
constexpr const char* configuration_sql =
    "select 'cfg', key, id, cfg from cfgstorage union all "
    "select 'counter', key, lastid, '' from cfgcounter union all "
    "select 'dbconfig', key, value, '' from dbconfig order by 1, 2, 3";

class maintenance_test : public testing::Test {
  protected:
    maintenance_test() {
        EXPECT_EQ(run_daemon(conf_, {"/reset"}).exit_code, 0);
    }  // makes the tables

    // Stores good documents, one failed fetch and one unchanged copy, without indexing them.
    void store_documents(int good) {
        auto db = vant_test::open_data(conf_);
        transaction t(db);
        docstorage docs(db);
        for (int i = 0; i < good + 2; ++i) {
            document_version d;
            d.guid = "guid" + std::to_string(i);
            d.arcid = 1 + i % 2;
            d.url = "http://site.test/page" + std::to_string(i);
            d.timestamp = 1700000000 + i;
            d.servertime = d.timestamp;
            d.score = 1000000;
            d.mime = "text/html";
            d.error = i < good ? 0 : (i == good ? 404 : 9);
            d.fff = vant_test::make_blob({{{15, "Page " + std::to_string(i)},
                                           {10, "common words and marker" + std::to_string(i)}}});
            ASSERT_TRUE(docs.store(db, d, {}, cache_mode::full));
        }
        t.commit();
    }
    // The sorted guids of the documents matching one word.
    std::vector<std::string> search(const std::string& word) {
        std::vector<std::string> guids;
        for (const auto& h : vant_test::search_index(conf_, word)) {
            guids.push_back(h.guid);
        }
        std::sort(guids.begin(), guids.end());
        return guids;
    }
    std::int64_t count(sqlite3* db, const char* table) {
        return std::stoll(query(db, sql_text("select count(*) from %s", table).c_str()).at(0));
    }
    // The tables of a first start, and crawl state of every kind, as the crawl threads, the
    // scheduler and the API leave it.
    void crawl_some() {
        auto db = vant_test::open_data(conf_);
        transaction t(db);
        docstorage docs(db);
        fetchqueue queue(db, 20);
        logstorage logs(db);
        robotschecker robots(db, "marlovenbot");
        for (int i = 0; i < 50; ++i) {
            document_version d;
            d.guid = "g" + std::to_string(i);
            d.arcid = 1 + i % 2;
            d.url = "http://example.com/" + std::to_string(i);
            d.content = "content of " + d.url;
            ASSERT_TRUE(docs.store(db, d, {{"lang", "en"}}, cache_mode::full));
            queue.push(db, d.arcid, d.url + "/next", 1);
            logs.logDocument(db, d.guid, d.arcid, d.url, 100 + i, 0);
        }
        logs.crawlStarted(db, 1, 100);
        logs.logQuery(db, 1, 120, "oil");
        robots.store(db, "http://example.com/robots.txt", "User-agent: *\nDisallow: /x\n");
        t.commit();
        for (const char* table : crawl_tables) {
            EXPECT_GT(count(db, table), 0) << table;
        }
    }

    vant_test::temp_dir dir_;
    std::string conf_ = vant_test::write_conf(dir_);
};

TEST_F(maintenance_test, reindex_and_restore_feed_every_good_stored_document_and_nothing_else) {
    store_documents(12);
    EXPECT_TRUE(search("common").empty()) << "stored without indexing";

    auto r = run_daemon(conf_, {"/reindex"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Reindexed 12 documents"), std::string::npos) << r.out;
    const auto before = search("common");
    EXPECT_EQ(before.size(), 12u) << "the failed and the unchanged copy are not indexed";
    EXPECT_EQ(search("marker7"), std::vector<std::string>{"guid7"});
    std::string backup = dir_ / "backup.db";
    ASSERT_EQ(run_daemon(conf_, {"/backup", backup}).exit_code, 0);

    // A rebuild starts from an empty index: documents no longer stored leave it.
    exec(vant_test::open_data(conf_), "delete from docstorage");
    ASSERT_EQ(run_daemon(conf_, {"/reindex"}).exit_code, 0);
    EXPECT_TRUE(search("common").empty());

    // A restore ends with a rebuild of the restored documents' index.
    r = run_daemon(conf_, {"/restore", backup});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(search("common"), before);
}

TEST_F(maintenance_test, reset_empties_every_crawl_table_and_keeps_the_configuration) {
    crawl_some();
    auto configuration = query(conf_, configuration_sql);
    EXPECT_GT(configuration.size(), 15u);
    const std::string stale_index_file = dir_.write("data/index/stale", "from before the reset");

    auto r = run_daemon(conf_, {"/reset"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto db = vant_test::open_data(conf_);
    for (const char* table : crawl_tables) {
        EXPECT_EQ(count(db, table), 0) << table;
    }
    EXPECT_EQ(query(db, configuration_sql), configuration);
    EXPECT_FALSE(std::filesystem::exists(stale_index_file)) << "the index was cleared";
    // The file was compacted: the freed pages went back to the file system.
    EXPECT_EQ(query(db, "pragma freelist_count"), std::vector<std::string>{"0"});
}

}  // namespace
}  // namespace marloven
