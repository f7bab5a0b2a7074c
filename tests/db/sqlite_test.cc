// Tests of the database conventions: statement texts, blobs, transactions, fatal results, and a
// database that survives a writer killed in the middle of its work.
// SPDX-License-Identifier: MIT
#include "db/sqlite.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "db/dbconfig.h"
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

TEST_F(sqlite_test, sync_level_comes_from_the_configuration) {
    EXPECT_EQ(query_int(open(), "pragma synchronous"), 1);
    EXPECT_EQ(query_int(open("SyncLevel=0\n"), "pragma synchronous"), 0);
    EXPECT_EQ(query_int(open("SyncLevel=3\n"), "pragma synchronous"), 3);
    EXPECT_EQ(query_int(open("SyncLevel=4\n"), "pragma synchronous"), 1);
}

// Crawl threads opened while another thread held a transaction kept the default level and
// synced every commit: the pragma had failed with SQLITE_BUSY, unnoticed.
TEST_F(sqlite_test, sync_level_applies_while_another_connection_holds_the_database) {
    auto holder = open();
    exec(holder, "begin exclusive transaction");
    exec(holder, "create table t(x)");
    // Under write-ahead logging the opener does not wait for the writer, yet its level must be
    // the configured one, not the default.
    std::int64_t level = -1;
    std::thread opener([&] {
        auto db = open("SyncLevel=0\n");
        level = query_int(db, "pragma synchronous");
    });
    opener.join();
    exec(holder, "commit transaction");
    EXPECT_EQ(level, 0);
}

TEST_F(sqlite_test, quoted_texts_and_bound_blobs_come_back_unchanged) {
    auto db = open();
    exec(db, "create table t(k text, v blob)");
    const std::string key = "it's a 'quote'; drop table t; --";
    const std::string bytes("\0\x01'\xff\0", 5);
    {
        statement st(db, sql_text("insert into t values('%q', ?)", key.c_str()));
        st.bind_blob(1, bytes);
        EXPECT_FALSE(st.next());
    }
    {
        statement st(db, sql_text("insert into t values('%q', ?)", "empty"));
        st.bind_blob(1, "");
        EXPECT_FALSE(st.next());
    }
    EXPECT_EQ(changes(db), 1);
    statement st(db, sql_text("select v from t where k='%q'", key.c_str()));
    ASSERT_TRUE(st.next());
    EXPECT_EQ(st.blob(0), bytes);
    EXPECT_FALSE(st.next());
    statement empty(db, "select v from t where k='empty'");
    ASSERT_TRUE(empty.next());
    EXPECT_FALSE(empty.is_null(0)) << "an empty blob is not NULL";
    EXPECT_EQ(empty.blob(0), "");
}

TEST_F(sqlite_test, transaction_rolls_back_unless_committed) {
    auto db = open();
    exec(db, "create table t(x integer)");
    {
        transaction t(db);
        exec(db, "insert into t values(1)");
    }
    {
        transaction t(db);
        exec(db, "insert into t values(2)");
        t.commit();
    }
    EXPECT_EQ(query_int(db, "select sum(x) from t"), 2);
    // The free pair releases the process-wide lock: another thread can begin afterwards.
    ASSERT_EQ(begin_transaction(db), SQLITE_OK);
    exec(db, "insert into t values(3)");
    EXPECT_EQ(commit_transaction(db), SQLITE_OK);
    std::thread other([this] {
        auto db2 = open();
        transaction t(db2);
        exec(db2, "insert into t values(4)");
        t.commit();
    });
    other.join();
    EXPECT_EQ(query_int(db, "select sum(x) from t"), 9);
}

using sqlite_death_test = sqlite_test;

TEST_F(sqlite_death_test, unexpected_result_names_the_code_message_and_calling_line) {
    auto db = open();
    int line = __LINE__ + 1;
    EXPECT_DEATH(exec(db, "bogus statement"),
                 "tests\\\\db\\\\sqlite_test\\(" + std::to_string(line) +
                     "\\): assertion \\[SQLite error: \\[1\\] near \"bogus\": syntax error\\] "
                     "failed");
    EXPECT_DEATH(VANT_SQLITE_CHECK_AS("hdr\\marloven/x", db, SQLITE_CONSTRAINT),
                 "hdr\\\\marloven/x\\([0-9]+\\): assertion \\[SQLite error: \\[19\\]");
    EXPECT_DEATH(statement(db, "select * from nowhere"), "no such table: nowhere");
    EXPECT_EQ(VANT_SQLITE_CHECK(db, SQLITE_DONE), SQLITE_DONE);
}

// Issue 14: a full disk ended the daemon wherever it struck, also while crawling or uploading.
TEST_F(sqlite_death_test, full_disk_rolls_back_and_throws_only_where_it_is_tolerated) {
    vant_test::full_disk disk;
    auto db = open();
    exec(db, "create table t(x)");
    exec(db, "insert into t values(1)");
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

TEST_F(sqlite_test, dbconfig_is_created_once_and_kept) {
    EXPECT_EQ(platform_guid_for(0), "cfcd208495d565ef66e7dff9f98764da") << "md5 of \"0\"";
    auto db = open();
    ensure_dbconfig(db);
    std::string guid = read_platform_guid(db);
    EXPECT_EQ(guid.size(), 32u);
    EXPECT_EQ(query_int(db, "select value from dbconfig where key='SchemaVersion'"), 1);
    ensure_dbconfig(db);
    EXPECT_EQ(read_platform_guid(db), guid);
    EXPECT_EQ(query_int(db, "select count(*) from dbconfig"), 2);
}

// A writer killed with SIGKILL in the middle of a burst of transactions leaves a database that
// opens, passes the integrity check and keeps every committed row.
TEST_F(sqlite_test, database_survives_a_writer_killed_during_a_burst) {
    {
        auto db = open();
        exec(db, "create table burst(n integer, payload blob)");
    }
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    struct reaper {  // the writer never outlives the test, whatever fails
        pid_t pid;
        ~reaper() {
            if (pid > 0) {
                int status = 0;
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
        }
    };
    if (child == 0) {
        ::close(pipe_fds[0]);
        auto db = open();
        std::string payload(20000, 'p');
        for (int n = 1;; ++n) {
            transaction t(db);
            statement st(db, sql_text("insert into burst values(%d, ?)", n));
            st.bind_blob(1, payload);
            st.next();
            exec(db, sql_text("update burst set payload=? where n=%d", n / 2));
            t.commit();
            char c = 'c';
            if (::write(pipe_fds[1], &c, 1) != 1) {
                ::_exit(0);
            }
        }
    }
    ::close(pipe_fds[1]);
    reaper guard{child};
    char buf[64];
    size_t committed = 0;
    while (committed < 100) {
        ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
        ASSERT_GT(n, 0);
        committed += static_cast<size_t>(n);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    guard.pid = 0;
    ::close(pipe_fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto db = open();
    statement check(db, "pragma integrity_check");
    ASSERT_TRUE(check.next());
    EXPECT_EQ(check.text(0), "ok");
    EXPECT_GE(query_int(db, "select count(*) from burst"), static_cast<std::int64_t>(committed));
    EXPECT_EQ(query_int(db, "select count(*) from burst"),
              query_int(db, "select max(n) from burst"));
    transaction t(db);
    exec(db, "insert into burst values(0, x'00')");
    t.commit();
}

}  // namespace
}  // namespace marloven
