// Tests of stored compressed values: every way stored bytes or their recorded length can be wrong.
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

// Values that read back, binary or longer than the first buffer, and empty ones:
// docstorage_cache_test stores and reads them; a recorded length beyond the limit and bytes that
// are no compressed stream: docstorage_test (corrupt_blobs_are_reported_and_the_rest_still_reads).
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

INSTANTIATE_TEST_SUITE_P(cases, corrupt_blob_test,
                         testing::Values(corrupt_case{"length too small", hello, 23},
                                         corrupt_case{"length too large", hello, 25},
                                         corrupt_case{"cut short", big.substr(0, big.size() / 2),
                                                      300000}));

}  // namespace
}  // namespace marloven
