// Tests of content-type values, query strings, Base64, escaping and entity names.
// SPDX-License-Identifier: MIT
#include "util/http_text.h"

#include <gtest/gtest.h>

#include <string>

namespace marloven {
namespace {

TEST(content_type_test, reads_the_type_and_its_parameters) {
    const content_type t = parse_content_type(
        "Text/HTML;;  Charset=UTF-8 ; boundary=\"a b\\\"c\";start-info=x;charset=-2");
    EXPECT_EQ(t.media_type, "text/html");
    EXPECT_EQ(t.parameters.at("charset"), "UTF-8-2");  // a repeated parameter runs together
    EXPECT_EQ(t.parameters.at("boundary"), "a b\"c");
    EXPECT_EQ(t.parameters.at("start-info"), "x");
    EXPECT_EQ(t.charset(), "UTF-8-2");
}

TEST(content_type_test, unreadable_values_give_what_was_read_so_far) {
    for (std::string_view bad : {" text/html", ";charset=x", ""}) {
        const content_type t = parse_content_type(bad);
        EXPECT_EQ(t.media_type, "") << bad;
        EXPECT_TRUE(t.parameters.empty()) << bad;
        EXPECT_EQ(t.charset(), "US-ASCII");
    }
    const content_type t = parse_content_type("text/plain; a=1; b c=2; d=3");
    EXPECT_EQ(t.media_type, "text/plain");
    EXPECT_EQ(t.parameters.size(), 1u);
    EXPECT_EQ(parse_content_type("a/b; q=\"open").parameters.at("q"), "open");
    EXPECT_EQ(parse_content_type("a/b; q=").parameters.at("q"), "");
}

TEST(query_string_test, decodes_values_but_not_names_and_later_pieces_win) {
    EXPECT_EQ(parse_query_string("a=%41%2&b+c=d+e&f"),
              (query_map{{"a", "A%2"}, {"b+c", "d e"}, {"f", ""}}));
    const query_map q = parse_query_string("x=1&&x=2&y=a=b&%7A=%7a%zz%&=v&");
    EXPECT_EQ(q, (query_map{{"x", "2"}, {"y", "a=b"}, {"%7A", "z%zz%"}, {"", "v"}}));
    EXPECT_TRUE(parse_query_string("").empty());
    EXPECT_EQ(parse_query_string("q=%00").at("q"), std::string(1, '\0'));
}

struct base64_case {
    std::string_view encoded;
    std::string decoded;
};

class base64_decode_test : public testing::TestWithParam<base64_case> {};

TEST_P(base64_decode_test, skips_noise_and_stops_after_padding) {
    EXPECT_EQ(decode_base64(GetParam().encoded), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    cases, base64_decode_test,
    testing::Values(base64_case{"QUJDREVGR0hJSktMTU5PUFFS", "ABCDEFGHIJKLMNOPQR"},  // 24 -> 18
                    base64_case{"QUJDREU=", "ABCDE"},
                    base64_case{"QQ==QUJD", "A"},  // nothing after the padded group
                    base64_case{"QU\r\nJD\x80 RA=\xFF=", "ABCD"},
                    base64_case{"QU*JD", "ABC"},  // "*" (0x2A) is no Base64 character
                    base64_case{"QUJDR", "ABC"},  // a short last group gives nothing
                    base64_case{"Q===", ""}, base64_case{"////", "\xFF\xFF\xFF"}));

TEST(base64_test, encoding_round_trips_every_length) {
    std::string bytes;
    for (int i = 0; i < 40; ++i) {
        const std::string encoded = encode_base64(bytes);
        EXPECT_EQ(encoded.size() % 4, 0u);
        EXPECT_EQ(decode_base64(encoded), bytes) << encoded;
        bytes.push_back(static_cast<char>(i * 37 + 200));
    }
    EXPECT_EQ(encode_base64("A"), "QQ==");
    EXPECT_EQ(encode_base64("\xFB\xFF"), "+/8=");
}

struct escape_case {
    std::string_view in, html, xml;
};

class escape_test : public testing::TestWithParam<escape_case> {};

TEST_P(escape_test, escapes_markup_characters_once) {
    EXPECT_EQ(escape_html(GetParam().in), GetParam().html);
    EXPECT_EQ(escape_xml(GetParam().in), GetParam().xml);
}

INSTANTIATE_TEST_SUITE_P(
    cases, escape_test,
    testing::Values(escape_case{"a<\"b\">&'c'", "a&lt;&quot;b&quot;&gt;&amp;'c'",
                                "a&lt;&quot;b&quot;&gt;&amp;&apos;c&apos;"},
                    escape_case{"&lt;", "&amp;lt;", "&amp;lt;"}, escape_case{"", "", ""},
                    escape_case{"plain \xC3\xA9", "plain \xC3\xA9", "plain \xC3\xA9"}));

TEST(entity_test, names_and_code_points_map_both_ways) {
    EXPECT_EQ(entity_code_point("apos"), char32_t{'\''});
    EXPECT_EQ(entity_code_point("EACUTE"), std::nullopt);
    EXPECT_EQ(entity_name(U'&'), "amp");
    EXPECT_EQ(entity_name(U'a'), "");
    for (char32_t cp = 0xA0; cp <= 0xFF; ++cp) {
        EXPECT_EQ(entity_code_point(entity_name(cp)), cp);
    }
}

}  // namespace
}  // namespace marloven
