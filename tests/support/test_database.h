// test_database.h: a database file of its own for one test, and quick readers for assertions.
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/sqlite.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace vant_test {

// The rows of `sql`, each as its columns joined with "|" (NULL as "NULL").
inline std::vector<std::string> query(sqlite3* db, const std::string& sql) {
    marloven::statement st(db, sql.c_str());
    std::vector<std::string> out;
    while (st.next()) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(st.get()); ++c) {
            row += (c > 0 ? "|" : "") + (st.is_null(c) ? std::string("NULL") : st.text(c));
        }
        out.push_back(row);
    }
    return out;
}

// A fresh "vantorell.db" in a temporary directory, opened the way the daemon opens it (without
// syncing: tests are not about power cuts), removed with the directory.
class test_database {
  public:
    test_database() : db_(open()) {}

    operator sqlite3*() const { return db_.get(); }
    // Another connection to the same file, as a second thread or a restarted daemon has.
    marloven::sqlite_connection open() const {
        marloven::config_file cfg(dir_.write("v.conf", "LOGCFG=\nSyncLevel=0\n"));
        return marloven::open_database(cfg, path().c_str());
    }
    std::string path() const { return dir_ / "vantorell.db"; }

    // The first column of the first row of `sql`; a query without rows fails the test (-1).
    std::int64_t integer(const char* sql) const {
        marloven::statement st(db_, sql);
        if (!st.next()) {
            ADD_FAILURE() << "no row: " << sql;
            return -1;
        }
        return st.integer(0);
    }
    std::string text(const char* sql) const {
        marloven::statement st(db_, sql);
        if (!st.next()) {
            ADD_FAILURE() << "no row: " << sql;
            return {};
        }
        return st.text(0);
    }

  private:
    temp_dir dir_;
    marloven::sqlite_connection db_;
};

}  // namespace vant_test
