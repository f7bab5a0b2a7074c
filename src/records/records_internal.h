// records_internal.h: what the record writer and reader share: the spellings of enumerations and
// booleans, and the Base64 coding of byte fields.
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace marloven::records_detail {

// Spellings by enumeration value; reading compares them exactly (case-sensitive).
inline constexpr std::array<std::string_view, 2> bool_names = {"false", "true"};
inline constexpr std::array<std::string_view, 2> access_names = {"read", "write"};
inline constexpr std::array<std::string_view, 3> auth_names = {"none", "basic", "cookie"};
inline constexpr std::array<std::string_view, 2> action_names = {"get", "post"};
inline constexpr std::array<std::string_view, 3> param_type_names = {"username", "password",
                                                                     "other"};
inline constexpr std::array<std::string_view, 5> frequency_names = {"disabled", "hourly", "daily",
                                                                    "weekly", "monthly"};
inline constexpr std::array<std::string_view, 3> cache_names = {"full", "context", "none"};
inline constexpr std::array<std::string_view, 4> parser_names = {"none", "rpn", "alg", "net"};

// The spelling of `value`, or the empty text for a value outside the table.
template <size_t N>
std::string_view spelling(const std::array<std::string_view, N>& names, int value) {
    return value >= 0 && static_cast<size_t>(value) < N ? names[static_cast<size_t>(value)]
                                                        : std::string_view();
}

// Base64 of byte fields: standard alphabet with "=" padding, a CRLF after every 72nd character
// (also after the last one). The records' own rule; HTTP and SOAP code their bytes elsewhere.
std::string base64_encode(std::string_view bytes);
// Skips CR and LF; any other character outside the alphabet and "=" gives nothing, and so does
// data after the padding or a final group of one character.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace marloven::records_detail
