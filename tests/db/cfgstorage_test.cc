// Tests of the configuration store over a real database file: id assignment, quoting, records that
// cannot be written or read, and concurrent writers. Stamps that go stale: api/operations_test.
// SPDX-License-Identifier: MIT
#include "db/cfgstorage.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "db/sqlite.h"
#include "support/test_database.h"

namespace marloven {
namespace {

// A record kind of the tests' own: the store works with any type that has to_xml and from_xml.
struct note {
    static constexpr const char* kind = "Note";
    std::string text;
};
bool to_xml(const note& n, std::string& xml) {
    if (n.text.find('\x01') != std::string::npos) {
        return false;  // stands for a record that cannot be written
    }
    xml = "<note>" + n.text + "</note>";
    return true;
}
bool from_xml(std::string_view xml, note& n) {
    if (xml.substr(0, 6) != "<note>" || xml.size() < 13) {
        return false;
    }
    n.text = std::string(xml.substr(6, xml.size() - 13));
    return true;
}
class cfgstorage_test : public testing::Test {
  protected:
    std::string text_of(sqlite3* db, cfgstorage<note>& store, int id) {
        note n;
        return store.get(db, id, n) ? n.text : "(missing)";
    }
    vant_test::test_database db_;  // without syncing: these tests are about ids and locks
};

// That each record kind counts its own ids shows in vantorelld/default_plugins_test.
TEST_F(cfgstorage_test, ids_removed_or_set_above_the_counter_are_never_handed_out_again) {
    cfgstorage<note> notes(db_);
    EXPECT_EQ(notes.add(db_, {"bad\x01"}), 0) << "a record that cannot be written takes no id";
    EXPECT_FALSE(notes.set(db_, 5, {"bad\x01"}));
    EXPECT_EQ(notes.add(db_, {"one"}), 1);
    EXPECT_EQ(notes.add(db_, {"two"}), 2);
    EXPECT_TRUE(notes.remove(db_, 2));
    EXPECT_FALSE(notes.remove(db_, 2));
    // Creating the store again (the next start) leaves its counter alone.
    EXPECT_EQ(cfgstorage<note>(db_).add(db_, {"it's \"3\"; --"}), 3);
    EXPECT_TRUE(notes.set(db_, 10, {"set"}));
    EXPECT_TRUE(notes.set(db_, 4, {"below"}));  // below the highest: the counter stays at 10
    EXPECT_EQ(notes.add(db_, {"next"}), 11);
    EXPECT_TRUE(notes.set(db_, 1, {"replaced"}));
    EXPECT_EQ(text_of(db_, notes, 1), "replaced");
    EXPECT_EQ(text_of(db_, notes, 2), "(missing)");
    EXPECT_EQ(text_of(db_, notes, 3), "it's \"3\"; --");
    EXPECT_EQ(notes.ids(db_), (std::vector<int>{1, 3, 4, 10, 11}));
    exec(db_, "insert into cfgstorage values('Note', 7, 'garbage')");
    EXPECT_EQ(text_of(db_, notes, 7), "(missing)") << "a stored text that does not parse";
}

// Two processes, each with its own connection and transactions, get distinct ids: they meet at
// SQLite's lock and back off.
TEST_F(cfgstorage_test, concurrent_writers_get_distinct_ids) {
    constexpr int per_writer = 40;
    {
        transaction t(db_);
        cfgstorage<note> notes(db_);
        t.commit();
    }
    auto writer = [this](const char* tag) {
        auto db = db_.open();
        std::optional<cfgstorage<note>> store;
        {
            transaction t(db);
            store.emplace(db);
            t.commit();
        }
        for (int i = 0; i < per_writer; ++i) {
            transaction t(db);
            ASSERT_GT(store->add(db, {tag}), 0);
            t.commit();
        }
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writer("process");
        ::_exit(testing::Test::HasFailure() ? 1 : 0);
    }
    writer("parent");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    cfgstorage<note> notes(db_);
    std::vector<int> ids = notes.ids(db_);
    ASSERT_EQ(ids.size(), 2u * per_writer);
    EXPECT_EQ(ids.back(), 2 * per_writer);
    EXPECT_EQ(db_.integer("select count(*) from cfgstorage where cfg='<note>process</note>'"),
              per_writer);
}

using cfgstorage_death_test = cfgstorage_test;

TEST_F(cfgstorage_death_test, database_errors_print_the_store_path) {
    cfgstorage<note> notes(db_);
    exec(db_, "drop table cfgcounter");
    EXPECT_DEATH(notes.add(db_, {"x"}),
                 "hdr\\\\marloven/cfgstorage\\([0-9]+\\): assertion \\[SQLite error: \\[1\\] no "
                 "such table: cfgcounter\\] failed");
}

}  // namespace
}  // namespace marloven
