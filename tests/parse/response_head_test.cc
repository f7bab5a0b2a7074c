// Raw response heads and HTTP dates, as fetched and as stored.
// SPDX-License-Identifier: MIT
#include "parse/response_head.h"

#include <gtest/gtest.h>

namespace {

using namespace marloven;

TEST(response_head_test, status_fields_and_continuations_are_read) {
    response_head h = parse_response_head(
        "HTTP/1.1 301 Moved Permanently\r\nLocation:  /x \r\nset-cookie: a=1\r\n"
        "X-Long: one\r\n\ttwo\r\nSet-Cookie: b=2\r\nno colon here\r\n\r\nBody: ignored\r\n");
    EXPECT_EQ(h.status, 301);
    EXPECT_EQ(h.field("location"), "/x");
    EXPECT_EQ(h.field("X-LONG"), "one two");
    EXPECT_EQ(h.all("Set-Cookie"), (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_FALSE(h.field("body").has_value()) << "the head ends at the blank line";
}

TEST(response_head_test, odd_heads_give_what_can_be_read) {
    EXPECT_EQ(parse_response_head("").status, 0);
    EXPECT_EQ(
        parse_response_head("HTTP/1.0 200 OK\nContent-Type: text/plain\n").field("content-type"),
        "text/plain")
        << "bare LF line ends";
    EXPECT_EQ(parse_response_head("HTTP/2 404\r\n\r\n").status, 404);
    EXPECT_EQ(parse_response_head("HTTP/1.1 abc\r\n").status, 0);
    EXPECT_TRUE(parse_response_head(":\r\n : x\r\n").fields.empty());
}

struct date_case {
    const char* text;
    std::optional<std::int64_t> seconds;
};
class http_date_test : public testing::TestWithParam<date_case> {};
TEST_P(http_date_test, all_three_forms_and_bad_dates) {
    EXPECT_EQ(parse_http_date(GetParam().text), GetParam().seconds) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(cases, http_date_test,
                         testing::Values(date_case{"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
                                         date_case{"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
                                         date_case{"Sun Nov  6 08:49:37 1994", 784111777},
                                         date_case{"Tue, 29 Feb 2028 23:59:59 GMT", 1835481599},
                                         date_case{"Sun, 06 Nov 1994 08:49 GMT", std::nullopt},
                                         date_case{"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
                                         date_case{"Sun, 36 Nov 1994 08:49:37 GMT", std::nullopt},
                                         date_case{"yesterday", std::nullopt}));

}  // namespace
