// Tests of the database conventions: the configured sync level, and transactions that roll back
// on a full disk. Binary and empty blobs: docstorage_test; the fatal message of an unexpected
// result, with the calling file and line: docstorage_death_test and cfgstorage_death_test; the
// installation's identity kept across starts: integration/maintenance_test.
// SPDX-License-Identifier: MIT
#include "db/sqlite.h"

#include <gtest/gtest.h>

#include "db/disk_full.h"
#include "support/full_disk.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace marloven {
namespace {

class sqlite_test : public testing::Test {
  protected:
    sqlite_connection open(const std::string& conf = "LOGCFG=\n") {
        config_file cfg(dir_.write("v.conf", conf));
        return open_database(cfg, db_path_.c_str());
    }
    std::int64_t query_int(sqlite3* db, const char* sql) {
        statement st(db, sql);
        EXPECT_TRUE(st.next()) << sql;
        return st.integer(0);
    }
    vant_test::temp_dir dir_;
    std::string db_path_ = dir_ / "vantorell.db";
};

// Crawl threads opened while another thread held a transaction kept the default level and
// synced every commit: the pragma had failed with SQLITE_BUSY, unnoticed.
TEST_F(sqlite_test, sync_level_applies_while_another_connection_holds_the_database) {
    auto holder = open();
    exec(holder, "begin exclusive transaction");
    exec(holder, "create table t(x)");
    // Under write-ahead logging the opener does not wait for the writer, yet its level must be
    // the configured one, not the default.
    EXPECT_EQ(query_int(open("SyncLevel=0\n"), "pragma synchronous"), 0);
    EXPECT_EQ(query_int(open("SyncLevel=3\n"), "pragma synchronous"), 3);
    exec(holder, "commit transaction");
}

using sqlite_death_test = sqlite_test;

// A transaction left without commit rolls back. Issue 14: a full disk ended the daemon wherever
// it struck, also while crawling or uploading.
TEST_F(sqlite_death_test, full_disk_rolls_back_and_throws_only_where_it_is_tolerated) {
    vant_test::full_disk disk;
    auto db = open();
    exec(db, "create table t(x)");
    exec(db, "insert into t values(1)");
    {
        transaction t(db);
        exec(db, "insert into t values(100)");  // left without commit: rolled back
    }
    disk.set_full(true);
    {
        disk_full_tolerated tolerate;
        transaction t(db);
        exec(db, "insert into t values(2)");
        EXPECT_THROW(t.commit(), disk_full);
    }
    disk.set_full(false);
    {
        transaction t(db);  // the process-wide lock was released
        EXPECT_EQ(query_int(db, "select sum(x) from t"), 1);
        exec(db, "insert into t values(3)");
        t.commit();
    }
    EXPECT_EQ(query_int(db, "select sum(x) from t"), 4);
    disk.set_full(true);
    EXPECT_DEATH(exec(db, "insert into t values(4)"), "SQLite error: \\[13\\]");
}

}  // namespace
}  // namespace marloven
