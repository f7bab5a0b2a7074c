// cfgstorage.cc: the database side of the configuration store. Its assertion texts print the
// path "hdr\marloven/cfgstorage", where the store's template has always been reported.
// SPDX-License-Identifier: MIT
#include "db/cfgstorage.h"

#include <zlib.h>

#include "db/sqlite.h"
#include "util/log.h"

namespace marloven {

namespace {

constexpr const char* printed_path = "hdr\\marloven/cfgstorage";

// The site of a statement of this file, under the printed path.
#define CFG_SITE ::marloven::sql_site::fixed(printed_path, __LINE__)

}  // namespace

cfgstorage_base::cfgstorage_base(sqlite3* db, std::string kind) : kind_(std::move(kind)) {
    if (try_exec(db, "select * from cfgstorage limit 1") != SQLITE_OK) {
        exec(db, "create table cfgstorage(key text, id integer, cfg text)", CFG_SITE);
        exec(db, "create unique index cfgstorage_idx1 on cfgstorage(key, id)", CFG_SITE);
    }
    if (try_exec(db, "select * from cfgcounter limit 1") != SQLITE_OK) {
        exec(db, "create table cfgcounter(key text, lastid integer)", CFG_SITE);
        exec(db, "create unique index cfgcounter_idx1 on cfgcounter(key)", CFG_SITE);
    }
    int rc = try_exec(db, sql_text("insert into cfgcounter values('%q', 0)", kind_.c_str()));
    if (rc != SQLITE_OK && rc != SQLITE_CONSTRAINT) {  // a constraint: the counter exists
        CFG_SITE.fail(db, rc);
    }
}

bool cfgstorage_base::get_text(sqlite3* db, int id, std::string& xml, std::uint32_t& magic) const {
    statement st(db,
                 sql_text("select cfg from cfgstorage where key='%q' and id=%d", kind_.c_str(), id),
                 CFG_SITE);
    if (!st.next(CFG_SITE)) {
        return false;
    }
    xml = st.text(0);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(xml.data()), static_cast<uInt>(xml.size()));
    magic = static_cast<std::uint32_t>(crc);
    return true;
}

std::vector<int> cfgstorage_base::ids(sqlite3* db) const {
    statement st(db,
                 sql_text("select id from cfgstorage where key='%q' order by id", kind_.c_str()),
                 CFG_SITE);
    std::vector<int> out;
    while (st.next(CFG_SITE)) {
        out.push_back(static_cast<int>(st.integer(0)));
    }
    return out;
}

int cfgstorage_base::add_text(sqlite3* db, const std::string& xml) {
    int id = 0;
    {
        statement st(db, sql_text("select lastid from cfgcounter where key='%q'", kind_.c_str()),
                     CFG_SITE);
        if (!st.next(CFG_SITE)) {
            CFG_SITE.fail(db, SQLITE_DONE);  // every kind's counter is made at start-up
        }
        id = static_cast<int>(st.integer(0)) + 1;
    }
    exec(db, sql_text("update cfgcounter set lastid=%d where key='%q'", id, kind_.c_str()),
         CFG_SITE);
    exec(db,
         sql_text("insert into cfgstorage values('%q', %d, '%q')", kind_.c_str(), id, xml.c_str()),
         CFG_SITE);
    return id;
}

void cfgstorage_base::set_text(sqlite3* db, int id, const std::string& xml) {
    exec(db,
         sql_text("insert or replace into cfgstorage values('%q', %d, '%q')", kind_.c_str(), id,
                  xml.c_str()),
         CFG_SITE);
    // Keeps `add` from handing out this id later.
    exec(db,
         sql_text("update cfgcounter set lastid=%d where key='%q' and lastid<%d", id, kind_.c_str(),
                  id),
         CFG_SITE);
}

bool cfgstorage_base::remove(sqlite3* db, int id) {
    exec(db, sql_text("delete from cfgstorage where key='%q' and id=%d", kind_.c_str(), id),
         CFG_SITE);
    return changes(db) == 1;
}

}  // namespace marloven
