// text_check.cc: the plain-text test of the plug-in host.
// SPDX-License-Identifier: MIT
#include "plugin-system/text_check.h"

#include "util/charsets.h"

namespace marloven {

bool is_plain_text(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // The decoder reads a stray continuation byte (and 0xC0, 0xC1) as the Latin-1
        // character of that value; in text a plug-in hands over it is a broken sequence.
        const auto lead = static_cast<unsigned char>(text[pos]);
        if (lead >= 0x80 && lead < 0xC2) {
            return false;
        }
        utf8_char c = decode_utf8(text, pos);
        if (!c.valid) {
            return false;
        }
        if (c.code_point == '\t' || c.code_point == '\n' || c.code_point == '\r') {
            continue;
        }
        char_class k = classify(c.code_point);
        if (k == char_class::other || k == char_class::unassigned) {
            return false;
        }
    }
    return true;
}

}  // namespace marloven
