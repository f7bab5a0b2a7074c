// disk_space.h: the free space of the data directory's disk, and the one rule that says whether
// it leaves room to crawl. Used by the crawl threads, the scheduler and the status operation.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace marloven {

// The bytes that an unprivileged caller may still use on the file system holding `dir` (the
// working directory when `dir` is empty); nothing when it cannot be told.
std::optional<std::uint64_t> available_disk_space(const std::string& dir);

// The seam through which the daemon reads the free space; tests replace it.
using disk_probe = std::function<std::optional<std::uint64_t>(const std::string&)>;

// Whether a disk with `available` bytes free has room to go on crawling: at least `minimum`
// (MINFREEDISK). A disk whose free space cannot be told counts as having room, so that a file
// system without the figure does not stop crawling for good; the status and the crawl threads
// both follow this rule.
bool disk_has_room(std::optional<std::uint64_t> available, std::uint64_t minimum);

}  // namespace marloven
