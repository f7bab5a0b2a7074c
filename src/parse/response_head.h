// response_head.h: reading a raw HTTP response head (as fetched, or as stored with a document):
// the status line, the header fields, and HTTP dates.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marloven {

struct response_head {
    long status = 0;                                          // 0 when there is no status line
    std::vector<std::pair<std::string, std::string>> fields;  // in order; values trimmed

    // The value of the first field named `name` (any letter case), or nothing.
    std::optional<std::string> field(std::string_view name) const;
    // Every value of the fields named `name`, in order.
    std::vector<std::string> all(std::string_view name) const;
};

// Parses a head whose lines end in CRLF or LF. A first line "HTTP/x.y NNN ..." gives the status;
// lines without a colon are skipped; a line that begins with a blank or tab continues the
// previous field's value. Parsing stops at the first empty line. Never fails.
response_head parse_response_head(std::string_view raw);

// Seconds since the epoch of an HTTP date in any of the three forms HTTP allows (IMF-fixdate,
// RFC 850, asctime), or nothing.
std::optional<std::int64_t> parse_http_date(std::string_view text);

}  // namespace marloven
