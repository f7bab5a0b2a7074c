// disk_space.cc: the free-space probe (statvfs) and the room rule.
// SPDX-License-Identifier: MIT
#include "util/disk_space.h"

#include <sys/statvfs.h>

namespace marloven {

std::optional<std::uint64_t> available_disk_space(const std::string& dir) {
    struct statvfs st {};
    if (::statvfs(dir.empty() ? "." : dir.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

bool disk_has_room(std::optional<std::uint64_t> available, std::uint64_t minimum) {
    return !available || *available >= minimum;
}

}  // namespace marloven
