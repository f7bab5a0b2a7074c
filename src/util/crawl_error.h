// crawl_error.h: the result codes of a fetch (NONE to SERVER), one table for the worker
// protocol, the document store, the logs and the administration interface.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace marloven {

// The outcome of one fetch. The numbers are stored in the document and crawl logs and shown by
// the administration interface: never renumber.
enum class crawl_error : std::int16_t {
    none = 0,
    redirect = 1,
    index = 2,
    notfound = 3,
    unparsable = 4,
    badredir = 5,
    blocked = 6,
    network = 7,
    unknown = 8,
    unchanged = 9,
    outofdocs = 10,
    authreq = 11,
    internal = 12,
    server = 13,
};
inline constexpr int crawl_error_count = 14;

// "NONE", "REDIRECT", ..., "SERVER"; "?" for a number outside the table.
std::string_view crawl_error_name(crawl_error code);
// The code of a name as crawl_error_name spells it, or nothing.
std::optional<crawl_error> crawl_error_from_name(std::string_view name);

}  // namespace marloven
