// backup.cc: /backup and /restore: table-by-table copies between the database and an attached
// backup file.
// SPDX-License-Identifier: MIT
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "db/sqlite.h"
#include "util/config_file.h"
#include "util/install_paths.h"
#include "util/log.h"
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

// Copies the rows of `from`.`table` into `to`.`table` in chunks of at most `chunk_rows` row ids,
// each chunk its own transaction, so that other connections can work in between. A chunk is the
// range between the first and the last of the next row ids, so gaps cost nothing. Returns the
// first SQLite error code of a statement, or SQLITE_OK.
int copy_rows(sqlite3* db, const char* table, const char* from, const char* to) {
    long long last = 0;
    while (true) {
        transaction t(db);
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
            t.commit();
            return SQLITE_OK;
        }
        int rc = try_exec(db, sql_text("insert into %s.%s select * from %s.%s where rowid between "
                                       "%lld and %lld",
                                       to, table, from, table, first, end));
        if (rc != SQLITE_OK) {
            return rc;
        }
        t.commit();
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

// Whether `file` is the database itself (under any name): backing up onto it would delete it,
// restoring from it would empty it.
bool is_the_database(const std::string& file) {
    struct stat a {};
    struct stat b {};
    return ::stat(file.c_str(), &a) == 0 && ::stat(install_paths::database, &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
    ::unlink(file.c_str());
    sqlite_connection db = open_database(config, install_paths::database);
    int rc = try_exec(db, sql_text("attach '%q' as backup", file.c_str()));
    if (rc == SQLITE_OK) {
        rc = for_each_table(db, "Backup", [&db](const char* table) {
            int r = create_backup_table(db, table);
            return r == SQLITE_OK ? copy_rows(db, table, "main", "backup") : r;
        });
    }
    try_exec(db, "detach backup");
    close_database(db);
    if (rc != SQLITE_OK) {
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
    int rc = try_exec(db, sql_text("attach '%q' as backup", file.c_str()));
    if (rc == SQLITE_OK) {
        // A table that the backup lacks (made by an older build) is emptied.
        rc = for_each_table(db, "Restore", [&db](const char* table) {
            bool in_backup = false;
            int r = find_table(db, "backup", table, in_backup);
            if (r == SQLITE_OK) {
                r = try_exec(db, sql_text("delete from %s", table));
            }
            return r == SQLITE_OK && in_backup ? copy_rows(db, table, "backup", "main") : r;
        });
    }
    if (rc == SQLITE_OK) {
        // The counters are not part of a backup: make sure that `add` continues after every
        // restored id.
        rc = try_exec(db,
                      "update cfgcounter set lastid=(select max(id) from cfgstorage where "
                      "cfgstorage.key=cfgcounter.key) where lastid<(select max(id) from cfgstorage "
                      "where cfgstorage.key=cfgcounter.key)");
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
