// ascii.h: byte-level character tests shared by the URL, HTTP and character-set parsers; they
// look at ASCII only and never at the locale.
// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace marloven {

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

inline void ascii_lower_in_place(char* begin, char* end) {
    std::transform(begin, end, begin, ascii_lower);
}
inline void ascii_lower_in_place(std::string& text) {
    ascii_lower_in_place(text.data(), text.data() + text.size());
}

inline bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

// White space of HTTP heads and header values: SP, TAB, VT, FF and BS.
constexpr bool is_http_space(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\b';
}

// `text` without the leading and trailing characters for which `blank` holds.
template <typename Blank>
constexpr std::string_view trim_if(std::string_view text, Blank blank) {
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

constexpr bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// The value of a hexadecimal digit (is_hex_digit(c) must hold).
constexpr int hex_value(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

}  // namespace marloven
