// The installed daemon's /reset: every crawl table and the index emptied and the file compacted,
// the configuration and the installation's identity left as they were.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>

#include "db/sqlite.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "logstorage/logstorage.h"
#include "robotschecker/robotschecker.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace marloven {
namespace {

using rows = std::vector<std::vector<std::string>>;

constexpr const char* crawl_tables[] = {"docstorage",  "auxstorage", "doccount",   "fetchqueue",
                                        "documentlog", "querylog",   "crawlstats", "robotscache"};

class reset_test : public testing::Test {
  protected:
    std::string conf() {
        return dir_.write("v.conf", "DATADIR=" + (dir_ / "data") +
                                        "\nDEPLOYDIR=" VANT_DEPLOY_DIR
                                        "\nLOGCFG=LOG:INFO\nSyncLevel=0\nHTTP_PORT=127.0.0.1:0\n");
    }
    vant_test::run_result run(const std::vector<std::string>& args) {
        return vant_test::run_program(
            vant_test::deployed("vantorelld"), args,
            {{"MARLOVEN_CONFIG_FILE", conf()}, {"MARLOVEN_POSTMORTEM_DEBUG", std::nullopt}});
    }
    sqlite_connection open() {
        config_file cfg(conf());
        return open_database(cfg, (dir_ / "data/vantorell.db").c_str());
    }
    rows query(sqlite3* db, const char* sql) {
        statement st(db, sql);
        rows out;
        while (st.next()) {
            const int columns = sqlite3_column_count(st.get());
            std::vector<std::string> row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                row.push_back(st.text(c));
            }
            out.push_back(std::move(row));
        }
        return out;
    }
    std::int64_t count(sqlite3* db, const char* table) {
        statement st(db, sql_text("select count(*) from %s", table));
        EXPECT_TRUE(st.next());
        return st.integer(0);
    }
    // Crawl state of every kind, as the crawl threads, the scheduler and the API leave it.
    void crawl_some(sqlite3* db) {
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
    }

    vant_test::temp_dir dir_;
};

TEST_F(reset_test, empties_every_crawl_table_and_keeps_the_configuration) {
    auto r = run({"/reset"});  // the first start creates the tables and the default plug-ins
    ASSERT_EQ(r.exit_code, 0) << r.err;
    rows configuration;
    {
        auto db = open();
        crawl_some(db);
        for (const char* table : crawl_tables) {
            EXPECT_GT(count(db, table), 0) << table;
        }
        configuration = query(db,
                              "select 'cfg', key, id, cfg from cfgstorage union all "
                              "select 'counter', key, lastid, '' from cfgcounter union all "
                              "select 'dbconfig', key, value, '' from dbconfig order by 1, 2, 3");
        EXPECT_GT(configuration.size(), 15u);
    }
    const std::string stale_index_file = dir_.write("data/index/stale", "from before the reset");

    r = run({"/reset"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto db = open();
    for (const char* table : crawl_tables) {
        EXPECT_EQ(count(db, table), 0) << table;
    }
    EXPECT_EQ(query(db,
                    "select 'cfg', key, id, cfg from cfgstorage union all "
                    "select 'counter', key, lastid, '' from cfgcounter union all "
                    "select 'dbconfig', key, value, '' from dbconfig order by 1, 2, 3"),
              configuration);
    EXPECT_FALSE(std::filesystem::exists(stale_index_file)) << "the index was cleared";
    // The file was compacted: the documents' pages went back to the file system.
    EXPECT_EQ(query(db, "pragma freelist_count"), (rows{{"0"}}));
}

TEST_F(reset_test, a_reset_with_a_path_is_refused_and_changes_nothing) {
    ASSERT_EQ(run({"/reset"}).exit_code, 0);
    {
        auto db = open();
        crawl_some(db);
    }
    auto r = run({"/reset", dir_ / "x"});
    EXPECT_EQ(r.exit_code, 1);
    auto db = open();
    EXPECT_EQ(count(db, "docstorage"), 50);
}

}  // namespace
}  // namespace marloven
