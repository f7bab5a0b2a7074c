// The installed daemon's /reindex and the index rebuild that ends /restore: the index answers
// from the stored documents alone.
// SPDX-License-Identifier: MIT
#include <algorithm>

#include "docstorage/docstorage.h"
#include "idxstorage/fff_builder.h"
#include "installation.h"

namespace marloven {
namespace {

using vant_test::run_daemon;

class reindex_test : public testing::Test {
  protected:
    reindex_test() { EXPECT_EQ(run_daemon(conf_, {"/reset"}).exit_code, 0); }  // makes the tables

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
    vant_test::temp_dir dir_;
    std::string conf_ = vant_test::write_conf(dir_);
};

TEST_F(reindex_test, reindex_feeds_every_good_stored_document_and_nothing_else) {
    store_documents(12);
    EXPECT_TRUE(search("common").empty()) << "stored without indexing";

    auto r = run_daemon(conf_, {"/reindex"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Reindexed 12 documents"), std::string::npos) << r.out;
    EXPECT_EQ(search("common").size(), 12u) << "the failed and the unchanged copy are not indexed";
    EXPECT_EQ(search("marker7"), std::vector<std::string>{"guid7"});
    EXPECT_TRUE(search("marker12").empty());

    // A second rebuild starts from an empty index: nothing is counted twice.
    ASSERT_EQ(run_daemon(conf_, {"/reindex"}).exit_code, 0);
    EXPECT_EQ(search("common").size(), 12u);
}

TEST_F(reindex_test, restore_rebuilds_the_index_of_the_restored_documents) {
    store_documents(5);
    ASSERT_EQ(run_daemon(conf_, {"/reindex"}).exit_code, 0);
    auto before = search("common");
    ASSERT_EQ(before.size(), 5u);

    std::string backup = dir_ / "backup.db";
    ASSERT_EQ(run_daemon(conf_, {"/backup", backup}).exit_code, 0);
    ASSERT_EQ(run_daemon(conf_, {"/reset"}).exit_code, 0);
    EXPECT_TRUE(search("common").empty());

    auto r = run_daemon(conf_, {"/restore", backup});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(search("common"), before);
    EXPECT_EQ(search("marker3"), std::vector<std::string>{"guid3"});
}

}  // namespace
}  // namespace marloven
