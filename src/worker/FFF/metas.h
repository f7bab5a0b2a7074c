// metas.h: the metadata records of an FFF document's contents and their encoding inside the
// binary form (one byte string holding the records back to back, no count, no terminator).
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace FFF {

// Meta types.
inline constexpr std::uint32_t meta_documentwide = 0;
inline constexpr std::uint32_t meta_positional = 1;
inline constexpr std::uint32_t meta_ranged = 2;

// One metadata entry. `beg` is the position of a positional meta and the first position of a
// ranged one, `end` the last position of a ranged one; both are 0 where they do not apply.
struct meta {
    std::uint32_t type = meta_documentwide;
    std::uint32_t dictid = 0;  // slice number (slice_name in worker/FFF/FFF.h)
    std::string key;
    std::string value;
    std::uint32_t beg = 0;
    std::uint32_t end = 0;

    bool operator==(const meta&) const = default;
};

// Appends the metas as one byte string (length, then the records): sorted by type, key, value,
// beg and end, with records equal in those five fields written once (the first in the caller's
// order keeps its dictid). Positions that a type does not carry are not written, and do not
// count in the comparison. The caller's records are left as they are.
void write_metas(std::string& out, const std::vector<meta>& metas);

// Replaces `metas` by the records encoded in `bytes` (the content of the byte string). A record
// cut short by the end of `bytes` ends the decoding and is dropped. Types other than 0, 1 and 2
// carry no positions.
void decode_metas(std::string_view bytes, std::vector<meta>& metas);

}  // namespace FFF
