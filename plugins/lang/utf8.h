// utf8.h: the little UTF-8 the language recogniser needs on its own: checking and decoding, and
// telling letters from the rest. The plug-in links nothing of the server, so it keeps these here.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string_view>

namespace marloven::slr {

// Decodes the character at `pos` into `cp` and advances past it. An invalid sequence (overlong
// forms, surrogates and values above U+10FFFF among them) gives U+FFFD, advances by one byte and
// returns false.
inline bool decode_utf8(std::string_view s, std::size_t& pos, char32_t& cp) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char b = byte(pos);
    std::size_t length = b < 0x80   ? 1
                         : b < 0xC2 ? 0
                         : b < 0xE0 ? 2
                         : b < 0xF0 ? 3
                         : b < 0xF5 ? 4
                                    : 0;
    cp = U'\uFFFD';
    if (length == 0 || pos + length > s.size()) {
        ++pos;
        return false;
    }
    char32_t value = length == 1 ? b : b & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char c = byte(pos + i);
        if ((c & 0xC0) != 0x80) {
            ++pos;
            return false;
        }
        value = (value << 6) | (c & 0x3F);
    }
    constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos;
        return false;
    }
    pos += length;
    cp = value;
    return true;
}

inline bool valid_utf8(std::string_view s) {
    char32_t cp;
    for (std::size_t pos = 0; pos < s.size();) {
        if (!decode_utf8(s, pos, cp)) {
            return false;
        }
    }
    return true;
}

// Whether `cp` belongs to a word: ASCII letters, and every character from U+00C0 on outside the
// blocks of punctuation, symbols, spaces and specials. Combining marks count as letters, so that
// decomposed accents stay inside their word. A rough rule that needs no tables; digits of other
// scripts, the only sizable error, are rare in running text.
inline bool is_letter(char32_t cp) {
    if (cp < 0x80) {
        return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
    }
    if (cp < 0xC0) {
        return cp == 0xAA || cp == 0xB5 || cp == 0xBA;  // ª µ º
    }
    if (cp == 0xD7 || cp == 0xF7) {  // × ÷
        return false;
    }
    struct range {
        char32_t first, last;
    };
    static constexpr range not_letters[] = {
        {0x2000, 0x2BFF},    // punctuation, super- and subscripts, currency, arrows, maths, shapes
        {0x2E00, 0x2E7F},    // supplemental punctuation
        {0x3000, 0x303F},    // CJK symbols and punctuation
        {0xD800, 0xF8FF},    // surrogates, private use
        {0xFE10, 0xFE1F},    // vertical forms
        {0xFE30, 0xFE6F},    // CJK compatibility forms, small forms
        {0xFF00, 0xFF20},    // full-width punctuation and digits
        {0xFF3B, 0xFF40},    // full-width punctuation
        {0xFF5B, 0xFF65},    // full-width and half-width punctuation
        {0xFFF0, 0xFFFF},    // specials
        {0x1F000, 0x1FAFF},  // emoji, pictographs, game symbols
    };
    for (const range& r : not_letters) {
        if (cp >= r.first && cp <= r.last) {
            return false;
        }
    }
    return true;
}

}  // namespace marloven::slr
