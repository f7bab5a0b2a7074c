// Tests of stored compressed values: what reads back, and every way stored bytes or their
// recorded length can be wrong.
// SPDX-License-Identifier: MIT
#include "db/compressed.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace marloven {
namespace {

std::string packed(std::string_view bytes) {
    std::string out;
    EXPECT_EQ(compress_blob(bytes, out), Z_OK);
    return out;
}

TEST(compressed_blob_test, values_read_back_and_empty_blobs_read_empty) {
    const std::string text(100000, 'x');
    const std::string bytes("\0\xff\x01 binary", 10);
    std::string out;
    for (const std::string& value : {text, bytes, std::string("a")}) {
        std::string blob = packed(value);
        EXPECT_FALSE(inflate_blob(blob, static_cast<std::int64_t>(value.size()), out));
        EXPECT_EQ(out, value);
    }
    EXPECT_TRUE(packed("").empty());
    // A value a store chose not to keep: empty blob, the length of what was handed in.
    out = "stale";
    EXPECT_FALSE(inflate_blob("", 12345, out));
    EXPECT_EQ(out, "");
}

struct corrupt_case {
    const char* what;
    std::string blob;
    std::int64_t length;
};

class corrupt_blob_test : public testing::TestWithParam<corrupt_case> {};

TEST_P(corrupt_blob_test, is_reported_with_a_reason_and_reads_empty) {
    std::string out = "stale";
    auto reason = inflate_blob(GetParam().blob, GetParam().length, out);
    ASSERT_TRUE(reason) << GetParam().what;
    EXPECT_FALSE(reason->empty());
    EXPECT_EQ(out, "");
}

const std::string hello = packed("hello world, hello world");  // 24 bytes
const std::string big = packed(std::string(300000, 'z'));

INSTANTIATE_TEST_SUITE_P(
    cases, corrupt_blob_test,
    testing::Values(corrupt_case{"length too small", hello, 23},
                    corrupt_case{"length too large", hello, 25},
                    corrupt_case{"negative length", hello, -1},
                    corrupt_case{"length beyond the limit", hello, max_blob_length + 1},
                    corrupt_case{"cut short", big.substr(0, big.size() / 2), 300000},
                    corrupt_case{"flipped byte",
                                 [] {
                                     std::string b = hello;
                                     b[b.size() / 2] ^= 0x55;
                                     return b;
                                 }(),
                                 24}));

}  // namespace
}  // namespace marloven
