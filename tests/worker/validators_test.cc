// The validators of a conditional fetch on their way through the `extra` field: what a server
// sent must never become a header line of its own, and a damaged field is only ignored.
// SPDX-License-Identifier: MIT
#include "worker/validators.h"

#include <gtest/gtest.h>

namespace {

using namespace marloven;

struct validators_case {
    const char* name;
    stored_validators stored;
    std::vector<std::string> headers;  // the request lines the worker adds
};
class validators_test : public testing::TestWithParam<validators_case> {};

TEST_P(validators_test, only_safe_values_reach_the_request) {
    const validators_case& c = GetParam();
    const std::string extra = encode_extra(c.stored);
    EXPECT_LE(extra.size(), max_extra_length);
    const stored_validators read = decode_extra(extra);
    EXPECT_EQ(conditional_headers(read), c.headers);
    EXPECT_EQ(read.body, c.stored.body);
}

const std::string long_value(max_validator_length + 1, 'e');
INSTANTIATE_TEST_SUITE_P(
    cases, validators_test,
    testing::Values(
        validators_case{
            "both",
            {"\"v1\"", "Tue, 14 Nov 2023 22:13:20 GMT", body_checksum{12, 345}},
            {"If-None-Match: \"v1\"", "If-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT"}},
        validators_case{"checksum_only", {"", "", body_checksum{0, 0}}, {}},
        // A value that would end the header line and add one: dropped, the rest kept.
        validators_case{"injected_line",
                        {"\"a\"\r\nX-Evil: 1", "Mon, 01 Jan 2024 00:00:00 GMT", std::nullopt},
                        {"If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT"}},
        validators_case{"bare_newline", {"\"a\"\nIf-None-Match: *", "", std::nullopt}, {}},
        validators_case{"non_ascii", {"\"caf\xc3\xa9\"", "", std::nullopt}, {}},
        validators_case{"too_long", {long_value, long_value, body_checksum{1, 2}}, {}}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(validators_decode_test, damaged_fields_give_no_validators) {
    for (const char* extra :
         {"If-None-Match \"x\"\n", "If-None-Match: \n", "Body-Checksum: 12\n",
          "Body-Checksum: x 1\n", "Body-Checksum: 1 99999999999\n", "Unknown: 1\n", "\n\n\n"}) {
        EXPECT_TRUE(decode_extra(extra).empty()) << extra;
    }
    EXPECT_TRUE(decode_extra(std::string(max_extra_length + 1, 'x')).empty());
}

}  // namespace
