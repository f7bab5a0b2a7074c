// math-coding.cc: 7-bit group coding of unsigned numbers into and out of fixed buffers.
// SPDX-License-Identifier: MIT
#include "util/math-coding.h"

#include <array>

#include "util/log.h"

namespace marloven {

namespace {

constexpr const char* coding_path = "hdr\\util/math-coding";

template <typename T>
std::size_t encode(T value, char* buf, std::size_t buflen) {
    VANT_CHECK_AS(coding_path, buflen > 0, "buflen > 0");
    constexpr std::size_t l = sizeof(T);
    std::array<unsigned char, max_coded_bytes<T>> groups{};
    int lastnot0 = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i] = static_cast<unsigned char>(value & 0x7F);
        value = static_cast<T>(value >> 7);
        if (groups[i] != 0) {
            lastnot0 = static_cast<int>(i);
        }
    }
    // A number never needs more groups than its width allows.
    VANT_CHECK_AS(coding_path, (size_t)lastnot0 < l + 2, "(size_t)lastnot0 < l + 2");
    const std::size_t n = static_cast<std::size_t>(lastnot0) + 1;
    if (n > buflen) {
        return 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        buf[i] = static_cast<char>(groups[i]);
    }
    buf[n - 1] = static_cast<char>(groups[n - 1] | 0x80);
    return n;
}

template <typename T>
std::size_t decode(const char* buf, std::size_t len, std::size_t pos, T& value) noexcept {
    constexpr unsigned width = sizeof(T) * 8;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < max_coded_bytes<T>; ++i) {
        if (pos + i >= len) {
            return 0;
        }
        const auto b = static_cast<unsigned char>(buf[pos + i]);
        const std::uint32_t group = b & 0x7Fu;
        const unsigned shift = static_cast<unsigned>(7 * i);
        if (width - shift < 7 && (group >> (width - shift)) != 0) {
            return 0;  // bits above the width of T
        }
        v |= group << shift;
        if (b & 0x80) {
            value = static_cast<T>(v);
            return pos + i + 1;
        }
    }
    return 0;  // longer than any number of this width
}

}  // namespace

std::size_t coded_size(std::uint32_t value) noexcept {
    std::size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

std::size_t encode_number(std::uint32_t value, char* buf, std::size_t buflen) {
    return encode(value, buf, buflen);
}

std::size_t encode_number(std::uint16_t value, char* buf, std::size_t buflen) {
    return encode(value, buf, buflen);
}

std::size_t decode_number(const char* buf, std::size_t len, std::size_t pos,
                          std::uint32_t& value) noexcept {
    return decode(buf, len, pos, value);
}

std::size_t decode_number(const char* buf, std::size_t len, std::size_t pos,
                          std::uint16_t& value) noexcept {
    return decode(buf, len, pos, value);
}

}  // namespace marloven
