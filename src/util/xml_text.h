// xml_text.h: the characters XML 1.0 can carry, and text escaped for XML elements and attributes,
// for every writer of XML (configuration records, SOAP envelopes).
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace marloven {

// Whether `text` is UTF-8 made only of characters that XML 1.0 allows (tab, line feed and
// carriage return are the only control characters; no surrogates, U+FFFE or U+FFFF).
bool is_xml_text(std::string_view text);

// Appends `text` escaped for element content or a double-quoted attribute value: "&", "<", ">"
// and the double quote become entities, and a carriage return becomes "&#13;" (a reader would
// otherwise turn it into a line feed). Bytes that XML cannot carry (broken UTF-8, other control
// characters) are each replaced by U+FFFD, so the output is always well-formed.
void append_xml_text(std::string& out, std::string_view text);

}  // namespace marloven
