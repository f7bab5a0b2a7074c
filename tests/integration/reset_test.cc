// The installed daemon's /reset: every crawl table and the index emptied and the file compacted,
// the configuration and the installation's identity left as they were.
// SPDX-License-Identifier: MIT
#include <filesystem>

#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
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

class reset_test : public testing::Test {
  protected:
    std::int64_t count(sqlite3* db, const char* table) {
        return std::stoll(query(db, sql_text("select count(*) from %s", table).c_str()).at(0));
    }
    // The tables of a first start, and crawl state of every kind, as the crawl threads, the
    // scheduler and the API leave it.
    void crawl_some() {
        ASSERT_EQ(run_daemon(conf_, {"/reset"}).exit_code, 0);
        auto db = vant_test::open_data(conf_);
        transaction t(db);
        docstorage docs(db);
        fetchqueue queue(db, 20);
        logstorage logs(db);
        robotschecker robots(db, "marlovenbot");
        std::uint32_t noise = 1;
        for (int i = 0; i < 50; ++i) {
            document_version d;
            d.guid = "g" + std::to_string(i);
            d.arcid = 1 + i % 2;
            d.url = "http://example.com/" + std::to_string(i);
            d.content.resize(20000);
            for (char& c : d.content) {  // does not compress: the rows take many pages
                noise = noise * 1103515245 + 12345;
                c = static_cast<char>(noise >> 16);
            }
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

TEST_F(reset_test, empties_every_crawl_table_and_keeps_the_configuration) {
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
    // The file was compacted: the documents' pages went back to the file system.
    EXPECT_EQ(query(db, "pragma freelist_count"), std::vector<std::string>{"0"});
}

}  // namespace
}  // namespace marloven
