// xml_text.cc: XML character checks and escaping.
// SPDX-License-Identifier: MIT
#include "util/xml_text.h"

#include <cstddef>
#include <cstdint>

namespace marloven {

namespace {

// The length of the XML character that starts at `i`, or 0 when the bytes there are not one.
std::size_t xml_char_length(std::string_view text, std::size_t i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        return c < 0x20 && c != '\t' && c != '\n' && c != '\r' ? 0 : 1;
    }
    int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : -1;
    if (extra < 0 || c > 0xf4 || text.size() - i <= static_cast<std::size_t>(extra)) {
        return 0;
    }
    std::uint32_t cp = c & (0x3f >> extra);
    for (int k = 1; k <= extra; ++k) {
        auto d = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((d & 0xc0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (d & 0x3f);
    }
    static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) || cp == 0xfffe ||
        cp == 0xffff) {
        return 0;
    }
    return static_cast<std::size_t>(extra) + 1;
}

}  // namespace

bool is_xml_text(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t n = xml_char_length(text, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

void append_xml_text(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        switch (c) {
            case '&':
                out += "&amp;";
                ++i;
                continue;
            case '<':
                out += "&lt;";
                ++i;
                continue;
            case '>':
                out += "&gt;";
                ++i;
                continue;
            case '"':
                out += "&quot;";
                ++i;
                continue;
            case '\r':
                out += "&#13;";
                ++i;
                continue;
            default:
                break;
        }
        std::size_t n = xml_char_length(text, i);
        if (n == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
}

}  // namespace marloven
