// backup.cc: /backup and /restore: table-by-table copies between the database and an attached
// backup file.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "db/sqlite.h"
#include "util/config_file.h"
#include "util/install_paths.h"
#include "util/log.h"
#include "util/private_file.h"
#include "vantorelld/maintenance.h"

namespace marloven {

namespace {

// The tables copied, in order. cfgcounter and robotscache are not copied: the counters are
// derived from the records, the robots cache refills itself.
constexpr const char* copied_tables[] = {"dbconfig",   "cfgstorage", "docstorage",
                                         "auxstorage", "doccount",   "documentlog",
                                         "querylog",   "crawlstats", "fetchqueue"};

constexpr int chunk_rows = 100;

// Sets `exists` to whether `schema` has the table; returns an SQLite error code (the attached
// file may turn out not to be a database).
int find_table(sqlite3* db, const char* schema, const char* table, bool& exists) {
    int rc = SQLITE_OK;
    statement st = statement::try_prepare(
        db,
        sql_text("select count(*) from %s.sqlite_master where type='table' and name='%q'", schema,
                 table),
        rc);
    if (rc != SQLITE_OK) {
        return rc;
    }
    rc = st.step();
    exists = rc == SQLITE_ROW && st.integer(0) > 0;
    return rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// Copies the rows of `from`.`table` into `to`.`table` in chunks of at most `chunk_rows` row ids.
// A chunk is the range between the first and the last of the next row ids, so gaps cost nothing.
// With `chunk_transactions` each chunk is its own transaction, so that other connections can work
// in between; without, the caller holds one transaction around the whole copy. Returns the first
// SQLite error code of a statement, or SQLITE_OK.
int copy_rows(sqlite3* db, const char* table, const char* from, const char* to,
              bool chunk_transactions) {
    long long last = 0;
    while (true) {
        std::optional<transaction> t;
        if (chunk_transactions) {
            t.emplace(db);
        }
        long long first = 0;
        long long end = 0;
        bool any = false;
        {
            int rc = SQLITE_OK;
            statement st = statement::try_prepare(
                db,
                sql_text("select rowid from %s.%s where rowid>%lld order by rowid limit %d", from,
                         table, last, chunk_rows),
                rc);
            if (rc != SQLITE_OK) {
                return rc;
            }
            while ((rc = st.step()) == SQLITE_ROW) {
                end = st.integer(0);
                if (!any) {
                    first = end;
                    any = true;
                }
            }
            if (rc != SQLITE_DONE) {
                return rc;
            }
        }
        if (!any) {
            if (t) {
                t->commit();
            }
            return SQLITE_OK;
        }
        int rc = try_exec(db, sql_text("insert into %s.%s select * from %s.%s where rowid between "
                                       "%lld and %lld",
                                       to, table, from, table, first, end));
        if (rc != SQLITE_OK) {
            return rc;
        }
        if (t) {
            t->commit();
        }
        last = end;
    }
}

// Creates backup.`table` with the columns of `table`, empty. Returns an SQLite error code.
int create_backup_table(sqlite3* db, const char* table) {
    transaction t(db);
    int rc =
        try_exec(db, sql_text("create table backup.%s as select * from %s limit 1", table, table));
    if (rc == SQLITE_OK) {
        rc = try_exec(db, sql_text("delete from backup.%s", table));
    }
    if (rc == SQLITE_OK) {
        t.commit();
    }
    return rc;
}

// The column names of `schema`.`table` in order, or an SQLite error code.
int column_names(sqlite3* db, const char* schema, const char* table,
                 std::vector<std::string>& names) {
    int rc = SQLITE_OK;
    statement st =
        statement::try_prepare(db, sql_text("pragma %s.table_info('%q')", schema, table), rc);
    if (rc != SQLITE_OK) {
        return rc;
    }
    while ((rc = st.step()) == SQLITE_ROW) {
        names.push_back(st.text(1));
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Checks the attached backup as a whole before anything is changed: the file passes SQLite's
// integrity check, and every copied table that this database has is in it, as a table, with the
// same columns in the same order (rows are copied by position). Returns SQLITE_OK, the SQLite
// error code of a check that could not run, SQLITE_CORRUPT for a damaged file, or SQLITE_ERROR for
// a missing or different table (what the copy would have met). The reason is logged.
int check_backup(sqlite3* db) {
    {
        int rc = SQLITE_OK;
        statement st = statement::try_prepare(db, "pragma backup.integrity_check", rc);
        if (rc == SQLITE_OK) {
            rc = st.step();
        }
        if (rc != SQLITE_ROW) {
            VANT_LOG(LOG, error) << "Restore: the backup file cannot be checked: "
                                 << sqlite3_errmsg(db);
            return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
        }
        if (std::string first = st.text(0); first != "ok") {
            VANT_LOG(LOG, error) << "Restore: the backup file is damaged: " << first;
            return SQLITE_CORRUPT;
        }
    }
    for (const char* table : copied_tables) {
        bool live = false;
        bool saved = false;
        int rc = find_table(db, "main", table, live);
        if (rc == SQLITE_OK && live) {
            rc = find_table(db, "backup", table, saved);
        }
        if (rc != SQLITE_OK) {
            return rc;
        }
        if (!live) {
            continue;  // not part of this build: not restored
        }
        if (!saved) {
            VANT_LOG(LOG, error) << "Restore: the backup file has no table " << table;
            return SQLITE_ERROR;
        }
        std::vector<std::string> live_columns;
        std::vector<std::string> saved_columns;
        rc = column_names(db, "main", table, live_columns);
        if (rc == SQLITE_OK) {
            rc = column_names(db, "backup", table, saved_columns);
        }
        if (rc != SQLITE_OK) {
            return rc;
        }
        if (saved_columns != live_columns) {
            VANT_LOG(LOG, error) << "Restore: the columns of table " << table
                                 << " in the backup file differ from this database's";
            return SQLITE_ERROR;
        }
    }
    return SQLITE_OK;
}

// Whether `file` is the database itself (under any name): backing up onto it would delete it,
// restoring from it would empty it.
bool is_the_database(const std::string& file) {
    struct stat a {};
    struct stat b {};
    return ::stat(file.c_str(), &a) == 0 && ::stat(install_paths::database, &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes the file's data to the disk before it replaces another file.
bool sync_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string copy_failure(const char* what, const std::string& file, int rc) {
    return std::string(what) + ": file=" + file + " code=" + std::to_string(rc);
}

// Runs `copy(table)` for every listed table that this database has, in order, until one
// returns an SQLite error code; returns that code, or SQLITE_OK.
template <typename F>
int for_each_table(sqlite3* db, const char* command, F copy) {
    for (const char* table : copied_tables) {
        bool exists = false;
        int rc = find_table(db, "main", table, exists);
        if (rc == SQLITE_OK && !exists) {
            VANT_LOG(LOG, info) << command << ": no table " << table
                                << " in this database, skipped";
            continue;
        }
        if (rc == SQLITE_OK) {
            rc = copy(table);
        }
        if (rc != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

}  // namespace

std::optional<std::string> backup_database(const config_file& config, const std::string& file) {
    if (is_the_database(file)) {
        return "Backup file " + file + " is the database itself";
    }
    // The copy goes into a new file beside the target and replaces it only when complete, so a
    // failed or interrupted backup leaves the previous one as it was. Created for the owner only:
    // a backup holds crawl passwords and password hashes.
    std::string partial = file + ".XXXXXX";
    int fd = ::mkostemp(partial.data(), O_CLOEXEC);
    if (fd < 0) {
        return copy_failure("Error while backing up", file, SQLITE_CANTOPEN);
    }
    bool private_mode = ::fchmod(fd, private_file_mode) == 0;
    ::close(fd);
    int rc = private_mode ? SQLITE_OK : SQLITE_CANTOPEN;
    if (rc == SQLITE_OK) {
        sqlite_connection db = open_database(config, install_paths::database);
        rc = try_exec(db, sql_text("attach '%q' as backup", partial.c_str()));
        if (rc == SQLITE_OK) {
            rc = for_each_table(db, "Backup", [&db](const char* table) {
                int r = create_backup_table(db, table);
                return r == SQLITE_OK ? copy_rows(db, table, "main", "backup", true) : r;
            });
        }
        try_exec(db, "detach backup");
        close_database(db);
    }
    if (rc == SQLITE_OK && !sync_file(partial)) {
        rc = SQLITE_IOERR;
    }
    if (rc == SQLITE_OK && ::rename(partial.c_str(), file.c_str()) != 0) {
        rc = SQLITE_CANTOPEN;
    }
    if (rc != SQLITE_OK) {
        ::unlink(partial.c_str());
        return copy_failure("Error while backing up", file, rc);
    }
    return std::nullopt;
}

std::optional<std::string> restore_database(const config_file& config, const std::string& file) {
    if (::access(file.c_str(), R_OK) != 0) {
        return "Backup file " + file + " not found";
    }
    if (is_the_database(file)) {
        return "Backup file " + file + " is the database itself";
    }
    sqlite_connection db = open_database(config, install_paths::database);
    // The file comes from outside: its schema may call no function with side effects.
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    int rc = try_exec(db, sql_text("attach '%q' as backup", file.c_str()));
    if (rc == SQLITE_OK) {
        rc = check_backup(db);
    }
    if (rc == SQLITE_OK) {
        // One transaction around the whole replacement: a copy that still fails (a row that
        // breaks a constraint, a full disk) rolls every table back to what it was. No other
        // process uses the database while a maintenance command runs.
        transaction t(db);
        rc = for_each_table(db, "Restore", [&db](const char* table) {
            int r = try_exec(db, sql_text("delete from %s", table));
            return r == SQLITE_OK ? copy_rows(db, table, "backup", "main", false) : r;
        });
        if (rc == SQLITE_OK) {
            // The counters are not part of a backup: make sure that `add` continues after every
            // restored id.
            rc = try_exec(
                db,
                "update cfgcounter set lastid=(select max(id) from cfgstorage where "
                "cfgstorage.key=cfgcounter.key) where lastid<(select max(id) from cfgstorage "
                "where cfgstorage.key=cfgcounter.key)");
        }
        if (rc == SQLITE_OK) {
            t.commit();
        }
    }
    // The caller rebuilds the index from the restored documents afterwards (the /reindex step).
    try_exec(db, "detach backup");
    close_database(db);
    if (rc != SQLITE_OK) {
        return copy_failure("Error while restoring", file, rc);
    }
    return std::nullopt;
}

}  // namespace marloven
