// crawl_error.cc: the names of the fetch result codes.
// SPDX-License-Identifier: MIT
#include "util/crawl_error.h"

#include <algorithm>
#include <array>

namespace marloven {

namespace {

constexpr std::array<std::string_view, crawl_error_count> error_names = {
    "NONE",    "REDIRECT", "INDEX",     "NOTFOUND",  "UNPARSABLE", "BADREDIR", "BLOCKED",
    "NETWORK", "UNKNOWN",  "UNCHANGED", "OUTOFDOCS", "AUTHREQ",    "INTERNAL", "SERVER"};

}  // namespace

std::string_view crawl_error_name(crawl_error code) {
    auto i = static_cast<int>(code);
    return i >= 0 && i < crawl_error_count ? error_names[static_cast<size_t>(i)] : "?";
}

std::optional<crawl_error> crawl_error_from_name(std::string_view name) {
    auto it = std::find(error_names.begin(), error_names.end(), name);
    if (it == error_names.end()) {
        return std::nullopt;
    }
    return static_cast<crawl_error>(it - error_names.begin());
}

}  // namespace marloven
