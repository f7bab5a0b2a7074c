// validators.cc: the coding of the `extra` field of a PROCESS request.
// SPDX-License-Identifier: MIT
#include "worker/validators.h"

#include <zlib.h>

#include <charconv>

namespace marloven {

namespace {

constexpr std::string_view if_none_match = "If-None-Match";
constexpr std::string_view if_modified_since = "If-Modified-Since";
constexpr std::string_view body_checksum_name = "Body-Checksum";

// Printable ASCII only: a value may not end its header line or start another.
bool is_safe_value(std::string_view v) {
    if (v.empty() || v.size() > max_validator_length) {
        return false;
    }
    for (unsigned char c : v) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

template <typename Number>
bool read_number(std::string_view text, Number& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::optional<body_checksum> read_checksum(std::string_view value) {
    size_t blank = value.find(' ');
    body_checksum b;
    if (blank == std::string_view::npos || !read_number(value.substr(0, blank), b.length) ||
        !read_number(value.substr(blank + 1), b.crc)) {
        return std::nullopt;
    }
    return b;
}

}  // namespace

std::string encode_extra(const stored_validators& v) {
    std::string out;
    auto add = [&](std::string_view name, std::string_view value) {
        if (is_safe_value(value)) {
            out.append(name).append(": ").append(value).append("\n");
        }
    };
    add(if_none_match, v.etag);
    add(if_modified_since, v.last_modified);
    if (v.body) {
        add(body_checksum_name, std::to_string(v.body->length) + " " + std::to_string(v.body->crc));
    }
    // Two values of at most max_validator_length and a checksum always fit.
    static_assert(2 * (max_validator_length + 24) + 64 < max_extra_length);
    return out;
}

stored_validators decode_extra(std::string_view extra) {
    stored_validators v;
    if (extra.size() > max_extra_length) {
        return v;
    }
    while (!extra.empty()) {
        size_t eol = extra.find('\n');
        std::string_view line = extra.substr(0, eol);
        extra = eol == std::string_view::npos ? std::string_view() : extra.substr(eol + 1);
        size_t colon = line.find(": ");
        if (colon == std::string_view::npos) {
            continue;
        }
        std::string_view name = line.substr(0, colon);
        std::string_view value = line.substr(colon + 2);
        if (!is_safe_value(value)) {
            continue;
        }
        if (name == if_none_match) {
            v.etag = value;
        } else if (name == if_modified_since) {
            v.last_modified = value;
        } else if (name == body_checksum_name) {
            v.body = read_checksum(value);
        }
    }
    return v;
}

std::vector<std::string> conditional_headers(const stored_validators& v) {
    std::vector<std::string> lines;
    if (is_safe_value(v.etag)) {
        lines.push_back(std::string(if_none_match) + ": " + v.etag);
    }
    if (is_safe_value(v.last_modified)) {
        lines.push_back(std::string(if_modified_since) + ": " + v.last_modified);
    }
    return lines;
}

body_checksum checksum_of(std::string_view body) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32 takes at most a uInt per call.
    constexpr size_t piece = 1u << 30;
    for (size_t at = 0; at < body.size(); at += piece) {
        size_t n = std::min(piece, body.size() - at);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(body.data() + at), static_cast<uInt>(n));
    }
    return {body.size(), static_cast<std::uint32_t>(crc)};
}

}  // namespace marloven
