// validators.h: what a PROCESS request's `extra` field tells the worker about the stored version
// of the URL, so that a page that has not changed costs neither a transfer nor a parse.
// Shared by the crawl thread, which writes it, and the worker program, which reads it.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

// The longest `extra` field either end of the worker channel accepts; a longer one ends the
// conversation.
inline constexpr std::size_t max_extra_length = 8192;
// The longest validator value passed on; a longer one (a hostile server's) is left out.
inline constexpr std::size_t max_validator_length = 1024;

// The status texts of the worker's two UNCHANGED answers: the server answered "304 Not
// Modified", or it sent the stored body again.
inline constexpr std::string_view not_modified_text = "Not modified";
inline constexpr std::string_view same_body_text = "Same body as stored";

// The stored version's body, as the worker recognises an unchanged one.
struct body_checksum {
    std::uint64_t length = 0;
    std::uint32_t crc = 0;  // zlib's crc32 of the body
    bool operator==(const body_checksum&) const = default;
};

// What the stored version's response head and body said.
struct stored_validators {
    std::string etag;           // its ETag, sent back as If-None-Match
    std::string last_modified;  // its Last-Modified, sent back as If-Modified-Since
    std::optional<body_checksum> body;
    bool operator==(const stored_validators&) const = default;
    bool empty() const { return etag.empty() && last_modified.empty() && !body; }
};

// The `extra` text: one "Name: value" line per validator (If-None-Match, If-Modified-Since,
// Body-Checksum "<length> <crc>"). A value that is longer than max_validator_length or holds a
// control character is left out, so that nothing a server sent can add a header line of its own.
// Empty when nothing is left; never longer than max_extra_length.
std::string encode_extra(const stored_validators& v);
// Reads an `extra` text leniently: lines that are unknown, malformed or unsafe are ignored (a
// request without usable validators is an ordinary fetch).
stored_validators decode_extra(std::string_view extra);
// The request header lines that make the fetch conditional.
std::vector<std::string> conditional_headers(const stored_validators& v);
body_checksum checksum_of(std::string_view body);

}  // namespace marloven
