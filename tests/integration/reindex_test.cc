// The installed daemon's /reindex and the index rebuild that ends /restore: the index answers
// from the stored documents alone.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>

#include "db/sqlite.h"
#include "docstorage/docstorage.h"
#include "idxstorage/fff_builder.h"
#include "idxstorage/idxstorage.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace marloven {
namespace {

class reindex_test : public testing::Test {
  protected:
    std::string conf() {
        return dir_.write("v.conf", "DATADIR=" + (dir_ / "data") +
                                        "\nDEPLOYDIR=" VANT_DEPLOY_DIR
                                        "\nLOGCFG=\nSyncLevel=0\nHTTP_PORT=127.0.0.1:0\n");
    }
    vant_test::run_result run(const std::vector<std::string>& args) {
        return vant_test::run_program(
            vant_test::deployed("vantorelld"), args,
            {{"MARLOVEN_CONFIG_FILE", conf()}, {"MARLOVEN_POSTMORTEM_DEBUG", std::nullopt}});
    }
    // Stores good documents, one failed fetch and one unchanged copy, without indexing them.
    void store_documents(int good) {
        config_file cfg(conf());
        sqlite_connection db = open_database(cfg, (dir_ / "data/vantorell.db").c_str());
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
    // The guids of the documents matching one word, read through a client of the same index.
    std::vector<std::string> search(const std::string& word) {
        config_file cfg(conf());
        idxstorage index(cfg, dir_ / "data/index");
        EXPECT_TRUE(index.start());
        query_options q;
        q.atoms.push_back({query_atom_type::ATOM_WORD, word, ""});
        q.first = 0;
        q.last = 99;
        std::vector<query_hit> hits;
        std::int32_t n = index.query(q, nullptr, hits);
        std::vector<std::string> guids;
        for (const auto& h : hits) {
            guids.push_back(h.guid);
        }
        std::sort(guids.begin(), guids.end());
        EXPECT_EQ(n, static_cast<std::int32_t>(guids.size()));
        index.stop();
        return guids;
    }
    vant_test::temp_dir dir_;
};

TEST_F(reindex_test, reindex_feeds_every_good_stored_document_and_nothing_else) {
    ASSERT_EQ(run({"/reset"}).exit_code, 0);  // creates the tables
    store_documents(12);
    EXPECT_TRUE(search("common").empty()) << "stored without indexing";

    auto r = run({"/reindex"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Reindexed 12 documents"), std::string::npos) << r.out;
    EXPECT_EQ(search("common").size(), 12u) << "the failed and the unchanged copy are not indexed";
    EXPECT_EQ(search("marker7"), std::vector<std::string>{"guid7"});
    EXPECT_TRUE(search("marker12").empty());

    // A second rebuild starts from an empty index: nothing is counted twice.
    ASSERT_EQ(run({"/reindex"}).exit_code, 0);
    EXPECT_EQ(search("common").size(), 12u);
}

TEST_F(reindex_test, restore_rebuilds_the_index_of_the_restored_documents) {
    ASSERT_EQ(run({"/reset"}).exit_code, 0);
    store_documents(5);
    ASSERT_EQ(run({"/reindex"}).exit_code, 0);
    auto before = search("common");
    ASSERT_EQ(before.size(), 5u);

    std::string backup = dir_ / "backup.db";
    ASSERT_EQ(run({"/backup", backup}).exit_code, 0);
    ASSERT_EQ(run({"/reset"}).exit_code, 0);
    EXPECT_TRUE(search("common").empty());

    auto r = run({"/restore", backup});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(search("common"), before);
    EXPECT_EQ(search("marker3"), std::vector<std::string>{"guid3"});
}

}  // namespace
}  // namespace marloven
