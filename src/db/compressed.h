// compressed.h: zlib-compressed values as the storage tables keep them: the compressed bytes in
// one column and the length before compression in another (documents, extra values, robots.txt).
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace marloven {

// The largest length before compression that a stored value may have: 512 MiB. Stores refuse
// larger values, and readers take a larger stored length for corrupt data. No crawled document
// comes near it, and a value of this size still compresses to less than SQLite's limit on one
// value (10^9 bytes), so storing it can never fail with "string or blob too big".
inline constexpr std::int64_t max_blob_length = std::int64_t{512} << 20;

// Compresses `bytes` with zlib's one-shot compression into `out` (sized to the result); empty
// input gives empty output without calling zlib. Returns zlib's result code, Z_OK on success:
// callers assert on it, so that the assertion names their own source file.
int compress_blob(std::string_view bytes, std::string& out);

// Reads a stored value back: inflates `blob`, whose length before compression was recorded as
// `length`, into `out`. An empty blob reads as empty bytes whatever `length` says (stores record
// the length of values they chose not to keep). Otherwise the blob must inflate to exactly
// `length` bytes, and `length` must lie in [0, max_blob_length]. Returns nothing on success, or
// the reason the stored value is corrupt (and `out` is empty). The output grows with the bytes
// that actually come out of the blob, so a corrupt length never sizes an allocation.
// Threads: any.
[[nodiscard]] std::optional<std::string> inflate_blob(std::string_view blob, std::int64_t length,
                                                      std::string& out);

}  // namespace marloven
