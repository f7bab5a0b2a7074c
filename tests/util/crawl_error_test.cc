// The names of the fetch result codes.
// SPDX-License-Identifier: MIT
#include "util/crawl_error.h"

#include <gtest/gtest.h>

namespace marloven {
namespace {

TEST(crawl_error_test, error_names_follow_the_code_table) {
    EXPECT_EQ(crawl_error_name(crawl_error::unchanged), "UNCHANGED");
    EXPECT_EQ(crawl_error_name(static_cast<crawl_error>(14)), "?");
    EXPECT_EQ(crawl_error_name(static_cast<crawl_error>(-1)), "?");
    for (int i = 0; i < crawl_error_count; ++i) {
        auto code = static_cast<crawl_error>(i);
        EXPECT_EQ(crawl_error_from_name(crawl_error_name(code)), code);
    }
    EXPECT_FALSE(crawl_error_from_name("none").has_value());
}

}  // namespace
}  // namespace marloven
