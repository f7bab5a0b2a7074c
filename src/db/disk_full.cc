// disk_full.cc: the per-thread scope in which a full disk is survivable.
// SPDX-License-Identifier: MIT
#include "db/disk_full.h"

#include <sqlite3.h>
#include <sys/statvfs.h>

namespace marloven {

namespace {
thread_local int tolerated_depth = 0;
}  // namespace

disk_full_tolerated::disk_full_tolerated() {
    ++tolerated_depth;
}

disk_full_tolerated::~disk_full_tolerated() {
    --tolerated_depth;
}

bool disk_full_tolerated::active() {
    return tolerated_depth > 0;
}

bool is_disk_full(int rc) {
    return (rc & 0xff) == SQLITE_FULL;
}

std::optional<std::uint64_t> available_disk_space(const std::string& dir) {
    struct statvfs st {};
    if (::statvfs(dir.empty() ? "." : dir.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

}  // namespace marloven
