// charset.h: finding the character set of a fetched document and converting it to UTF-8:
// a byte-order mark, then the declared charset (Content-Type header, then an HTML meta tag),
// then statistical detection.
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marloven {

// The charset named by a byte-order mark at the start of `bytes` ("utf-8", "utf-16le", ...).
std::optional<std::string> bom_charset(std::string_view bytes);

// The charset an HTML document declares in its first 4096 bytes: <meta charset="..."> or
// <meta http-equiv="Content-Type" content="...; charset=...">. Lower case.
std::optional<std::string> meta_charset(std::string_view html);

// The charset detected from the bytes themselves, lower case; nothing when undecided.
std::optional<std::string> detect_charset(std::string_view bytes);

// True when the converter knows `charset`.
bool charset_supported(std::string_view charset);

// Chooses the charset of a document: BOM, `declared` (from the Content-Type header), the meta
// tag when `is_html`, detection, and finally "windows-1252" for HTML or "utf-8" otherwise.
// Names the converter does not know are passed over.
std::string choose_charset(std::string_view bytes, std::string_view declared, bool is_html);

struct utf8_text {
    std::string text;
    bool lossy = false;  // some bytes were not valid in the charset and became U+FFFD
};

// Converts `bytes` from `charset` to UTF-8. A byte-order mark is dropped. Invalid sequences
// become U+FFFD; an unknown charset is read as windows-1252. Labels that the web uses for
// windows-1252 (iso-8859-1, us-ascii, latin1) are read as windows-1252, which agrees with them
// wherever they are defined.
utf8_text to_utf8(std::string_view bytes, std::string_view charset);

}  // namespace marloven
