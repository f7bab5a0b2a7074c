// dbconfig.cc: creating and reading the dbconfig table.
// SPDX-License-Identifier: MIT
#include "db/dbconfig.h"

#include <chrono>

#include "db/sqlite.h"
#include "util/log.h"
#include "util/md5.h"

namespace marloven {

std::string platform_guid_for(std::int64_t milliseconds) {
    return md5_hex(std::to_string(milliseconds));
}

void ensure_dbconfig(sqlite3* db) {
    if (try_exec(db, "select * from dbconfig limit 1") == SQLITE_OK) {
        return;
    }
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::string guid = platform_guid_for(now.count());
    exec(db, "create table dbconfig(key text, value text)");
    exec(db, "create unique index dbconfig_idx1 on dbconfig(key)");
    exec(db, sql_text("insert into dbconfig values('PlatformGUID', '%q')", guid.c_str()));
    exec(db, sql_text("insert into dbconfig values('SchemaVersion', %d)", schema_version));
}

std::string read_platform_guid(sqlite3* db) {
    statement st(db, "select value from dbconfig where key='PlatformGUID'");
    VANT_CHECK(st.next(), "No PlatformGUID row in dbconfig");
    return st.text(0);
}

}  // namespace marloven
