// math-coding.h: the variable-length number coding of the FFF binary form, on fixed buffers.
// Numbers are cut into 7-bit groups, least significant first; bit 7 marks the last byte, so
// 0 is 80, 128 is 00 81 and 4294967295 is 7F 7F 7F 7F 8F. The string-appending form that
// the tree writer uses is append_number in worker/FFF/tXMLTree.h.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace marloven {

// Most bytes a number of type T can take: 5 for 32-bit values, 3 for 16-bit ones.
template <typename T>
inline constexpr std::size_t max_coded_bytes = (sizeof(T) * 8 + 6) / 7;

// Bytes that `value` takes when coded (1 to 5).
std::size_t coded_size(std::uint32_t value) noexcept;

// Writes `value` into `buf` and returns the number of bytes written, or 0 when `buflen` is too
// small (nothing useful is then in `buf`). A `buflen` of 0 is a programming error (fatal).
std::size_t encode_number(std::uint32_t value, char* buf, std::size_t buflen);
std::size_t encode_number(std::uint16_t value, char* buf, std::size_t buflen);

// Reads one number starting at `pos` of `buf[0, len)` and returns the position after it, or 0
// when the input ends before the byte with bit 7, or when the number does not fit its type (more
// bytes than max_coded_bytes<T>, or bits above the type's width). `value` is set on success.
std::size_t decode_number(const char* buf, std::size_t len, std::size_t pos,
                          std::uint32_t& value) noexcept;
std::size_t decode_number(const char* buf, std::size_t len, std::size_t pos,
                          std::uint16_t& value) noexcept;

}  // namespace marloven
