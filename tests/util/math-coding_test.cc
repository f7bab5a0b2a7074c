// Tests of the 7-bit group number coding on fixed buffers.
// SPDX-License-Identifier: MIT
#include "util/math-coding.h"

#include <gtest/gtest.h>

#include <string>

namespace marloven {
namespace {

std::string encoded(std::uint32_t v, std::size_t buflen = 5) {
    char buf[8] = {};
    return std::string(buf, encode_number(v, buf, buflen));
}

struct coding_case {
    std::uint32_t value;
    std::string bytes;
};

class number_coding_test : public testing::TestWithParam<coding_case> {};

TEST_P(number_coding_test, encodes_to_the_documented_bytes_and_decodes_back) {
    const auto& c = GetParam();
    EXPECT_EQ(encoded(c.value), c.bytes);
    EXPECT_EQ(coded_size(c.value), c.bytes.size());
    std::uint32_t v = 12345;
    EXPECT_EQ(decode_number(c.bytes.data(), c.bytes.size(), 0, v), c.bytes.size());
    EXPECT_EQ(v, c.value);
}

INSTANTIATE_TEST_SUITE_P(examples, number_coding_test,
                         testing::Values(coding_case{0, "\x80"}, coding_case{5, "\x85"},
                                         coding_case{127, "\xFF"},
                                         coding_case{128, std::string("\x00\x81", 2)},
                                         coding_case{300, "\x2C\x82"},
                                         // inner zero groups are kept
                                         coding_case{16384, std::string("\x00\x00\x81", 3)},
                                         coding_case{1000000, "\x40\x04\xBD"},
                                         coding_case{4294967295u, "\x7F\x7F\x7F\x7F\x8F"}));

TEST(number_coding, buffer_too_small_writes_nothing_and_returns_zero) {
    EXPECT_EQ(encoded(16384, 2), "");
    EXPECT_EQ(encoded(0, 1), "\x80");
}

// Decoding from a position: the position after the number, or 0 for no complete number that fits.
TEST(number_coding, decoder_starts_at_the_position_and_needs_a_final_byte_that_fits) {
    struct decode_case {
        std::string_view bytes;
        std::size_t pos, next;
        std::uint32_t value;
    };
    for (const decode_case& c : {
             decode_case{std::string_view("\x85\x00\x81", 3), 0, 1, 5},
             decode_case{std::string_view("\x85\x00\x81", 3), 1, 3, 128},
             decode_case{std::string_view("\x00\x00\x00", 3), 0, 0, 0},  // no final byte
             decode_case{"\x81", 1, 0, 0},                               // at the end
             decode_case{"\x7F\x7F\x7F\x7F\x7F\x81", 0, 0, 0},           // six bytes
             decode_case{"\x7F\x7F\x7F\x7F\x90", 0, 0, 0},               // bits above bit 31
         }) {
        std::uint32_t v = 0;
        EXPECT_EQ(decode_number(c.bytes.data(), c.bytes.size(), c.pos, v), c.next) << c.pos;
        if (c.next != 0) {
            EXPECT_EQ(v, c.value) << c.pos;
        }
    }
}

TEST(number_coding, decoder_rejects_numbers_wider_than_their_type) {
    std::uint16_t s = 0;
    EXPECT_EQ(decode_number("\x7F\x7F\x83", 3, 0, s), 3u);
    EXPECT_EQ(s, 65535u);
    EXPECT_EQ(decode_number("\x7F\x7F\x84", 3, 0, s), 0u);
    EXPECT_EQ(decode_number("\x00\x00\x00\x81", 4, 0, s), 0u);
}

}  // namespace
}  // namespace marloven
