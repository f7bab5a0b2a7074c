// The hand-over of index changes, with the real index server: what a daemon that died between
// storing and telling the index finds again at its next start, and turns given up.
// SPDX-License-Identifier: MIT
#include "storage/index_handoff.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>

#include "idxstorage/fff_builder.h"
#include "support/process.h"
#include "support/test_database.h"
#include "util/config_file.h"
#include "util/crawl_error.h"

namespace marloven {
namespace {

class index_handoff_test : public testing::Test {
  protected:
    index_handoff_test()
        : config_(dir_.write("v.conf", "DEPLOYDIR=" VANT_DEPLOY_DIR "\nLOGCFG=\n")),
          index_(config_, dir_ / "index"),
          documents_(db_),
          handoff_(index_, documents_) {
        EXPECT_TRUE(index_.start());
    }

    // A good version of archive `arcid` whose text is `word`.
    static document_version version(const std::string& guid, std::uint32_t arcid,
                                    const std::string& word) {
        document_version v;
        v.guid = guid;
        v.arcid = arcid;
        v.url = "http://example.org/" + guid;
        v.timestamp = 1700000000;
        v.fff = vant_test::make_blob({{{FFF::slice::centralNorm, word}}});
        return v;
    }
    void store(const document_version& v, cache_mode mode = cache_mode::full) {
        ASSERT_TRUE(documents_.store(db_, v, {}, mode));
    }
    // The guids of the indexed documents that hold `word`.
    std::vector<std::string> hits(const std::string& word) {
        index_.flush();
        query_options q;
        q.atoms = {{query_atom_type::ATOM_WORD, word, ""}};
        std::vector<query_hit> found;
        index_.query(q, nullptr, found);
        std::vector<std::string> guids;
        std::ranges::transform(found, std::back_inserter(guids), &query_hit::guid);
        return guids;
    }

    vant_test::temp_dir dir_;
    config_file config_;
    vant_test::test_database db_;
    idxstorage index_;
    docstorage documents_;
    index_handoff handoff_;
};

// Issue 15: index changes go to the index after their transaction commits; a daemon killed in
// between leaves them noted, and the next start brings the index in line with the store.
TEST_F(index_handoff_test, notes_left_by_a_dead_daemon_are_sent_at_the_next_start) {
    const std::string never_indexed(32, 'a'), no_fff_kept(32, 'b'), gone(32, 'c'),
        unchanged(32, 'd'), of_removed_archive(32, 'e');
    store(version(never_indexed, 1, "alpha"));
    store(version(no_fff_kept, 1, "beta"), cache_mode::none);  // its row keeps no FFF blob
    document_version copy = version(unchanged, 1, "delta");
    copy.error = static_cast<int>(crawl_error::unchanged);
    store(copy);
    // What the dead daemon had sent before: a version since removed, an unchanged copy (which
    // is never indexed), and a version of an archive removed since.
    index_.addDocument(index_form(version(gone, 1, "gamma")));
    index_.addDocument(index_form(copy));
    index_.addDocument(index_form(version(of_removed_archive, 2, "epsilon")));
    {
        index_handoff::batch changes(handoff_);
        changes.add(db_, version(never_indexed, 1, "alpha"), cache_mode::full);
        changes.add(db_, version(no_fff_kept, 1, "beta"), cache_mode::none);
        changes.remove(db_, gone);
        changes.remove(db_, unchanged);
        changes.remove_archive(db_, 2);
        // The daemon dies here: nothing is sent.
    }
    ASSERT_EQ(db_.integer("select count(*) from indexpending"), 5);
    EXPECT_EQ(handoff_.recover(db_), 5u);
    EXPECT_EQ(hits("alpha"), std::vector<std::string>{never_indexed});
    EXPECT_EQ(hits("beta"), std::vector<std::string>{no_fff_kept});
    EXPECT_TRUE(hits("gamma").empty());
    EXPECT_TRUE(hits("delta").empty());
    EXPECT_TRUE(hits("epsilon").empty());
    EXPECT_EQ(db_.integer("select count(*) from indexpending"), 0);
}

// A transaction that rolls back (a full disk) gives up its batch's turn: the batches after it
// are sent, and only the newest note of a version counts as settled.
TEST_F(index_handoff_test, a_batch_given_up_lets_the_next_ones_through) {
    const std::string guid(32, 'f');
    {
        index_handoff::batch rolled_back(handoff_);
        rolled_back.flush();
    }
    index_handoff::batch first(handoff_), second(handoff_);
    first.add(db_, version(guid, 1, "older"), cache_mode::full);
    second.add(db_, version(guid, 1, "newer"), cache_mode::full);
    first.send();
    handoff_.clear_settled(db_);
    EXPECT_EQ(db_.integer("select count(*) from indexpending"), 1) << "the newer note stays";
    second.send();
    handoff_.clear_settled(db_);
    EXPECT_EQ(db_.integer("select count(*) from indexpending"), 0);
    EXPECT_EQ(hits("newer"), std::vector<std::string>{guid});
    EXPECT_TRUE(hits("older").empty());
}

// Posting does not wait for the index server: a stalled server holds up no storing thread. The
// sender keeps the order of the transactions across its groups, so the last version stored is
// the one indexed.
TEST_F(index_handoff_test, posted_batches_reach_the_index_in_order_while_the_poster_goes_on) {
    const std::string guid(32, '1');
    const int versions = 3 * static_cast<int>(index_handoff::max_group);
    const pid_t server = index_.server_pid();
    ASSERT_EQ(::kill(server, SIGSTOP), 0);
    std::atomic<bool> posted = false;
    std::jthread poster([&] {
        for (int i = 1; i <= versions; ++i) {
            index_handoff::batch changes(handoff_);
            document_version v = version(guid, 1, "v" + std::to_string(i));
            ASSERT_TRUE(documents_.store(db_, v, {}, cache_mode::full));
            changes.add(db_, std::move(v), cache_mode::full);
            changes.post();
        }
        posted = true;
    });
    const bool went_on = vant_test::eventually([&] { return posted.load(); });
    ::kill(server, SIGCONT);
    ASSERT_TRUE(went_on) << "posting waited for the stalled index server";
    handoff_.drain();
    handoff_.clear_settled(db_);
    EXPECT_EQ(db_.integer("select count(*) from indexpending"), 0);
    EXPECT_EQ(hits("v" + std::to_string(versions)), std::vector<std::string>{guid});
    EXPECT_TRUE(hits("v" + std::to_string(versions - 1)).empty());
}

}  // namespace
}  // namespace marloven
