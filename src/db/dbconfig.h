// dbconfig.h: the dbconfig table, which identifies the installation (PlatformGUID) and the
// layout of its tables (SchemaVersion).
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace marloven {

inline constexpr int schema_version = 1;

// Creates dbconfig when it is missing, with a new PlatformGUID (from the current time) and the
// SchemaVersion; an existing table is left alone. Database errors are fatal.
void ensure_dbconfig(sqlite3* db);

// The stored PlatformGUID; a missing row is fatal.
std::string read_platform_guid(sqlite3* db);

// 32 lower-case hexadecimal digits: the MD5 digest of the decimal text of `milliseconds` (since
// 1970-01-01, seconds * 1000 + milliseconds).
std::string platform_guid_for(std::int64_t milliseconds);

}  // namespace marloven
