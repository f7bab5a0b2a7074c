// The small rules of crawling: source URL filters, document guids, log-in cookies, the crawl
// window and the notification URL.
// SPDX-License-Identifier: MIT
#include "vantorelld/crawl_rules.h"

#include <gtest/gtest.h>

namespace marloven {
namespace {

struct filter_case {
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    std::string url;
    bool accepted;
};

class url_filter_test : public testing::TestWithParam<filter_case> {};

TEST_P(url_filter_test, accepts_what_an_include_matches_and_no_exclude_does) {
    const auto& c = GetParam();
    EXPECT_EQ(url_filter(c.include, c.exclude).accepts(c.url), c.accepted) << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    cases, url_filter_test,
    testing::Values(
        // An escaped host name matches anywhere in the URL, in any letter case.
        filter_case{{"www\\.example\\.com"}, {}, "http://WWW.Example.COM/a", true},
        filter_case{{"www\\.example\\.com"}, {}, "http://wwwxexample.com/", false},
        // No include filter: nothing is accepted.
        filter_case{{}, {}, "http://example.com/", false},
        // Exclude filters win over include filters.
        filter_case{{"example"}, {"\\.PDF$"}, "http://example.com/a.pdf", false},
        // Any one include filter suffices; anchors work.
        filter_case{{"^https://", "^http://a\\."}, {}, "http://a.org/", true},
        // A filter that does not compile is left out, the others still count.
        filter_case{{"(unclosed", "example"}, {}, "http://example.com/", true},
        filter_case{{"example"}, {"[z-a]"}, "http://example.com/", true}));

struct cookie_case {
    std::string headers;
    std::string cookies;
};

class cookie_extraction_test : public testing::TestWithParam<cookie_case> {};

TEST_P(cookie_extraction_test, joins_the_set_cookie_values) {
    EXPECT_EQ(cookies_from_headers(GetParam().headers), GetParam().cookies);
}

INSTANTIATE_TEST_SUITE_P(
    cases, cookie_extraction_test,
    testing::Values(
        cookie_case{"HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/\r\nContent-Type: text/html\r\n"
                    "set-cookie: b=2\r\n\r\n",
                    "a=1; b=2"},
        // Lines end in LF alone too; the value is cut at its first ";".
        cookie_case{"Set-Cookie: sid=abc;HttpOnly;Secure\nSet-Cookie: lang=en", "sid=abc; lang=en"},
        // A line without a value adds nothing.
        cookie_case{"Set-Cookie: \r\nSet-Cookie: k=v\r\nSet-Cookie: ;x\r\n", "k=v"}));

// Each case: the text, and the URL it gives for archive 42; "refused" when the text is not read,
// "too long" when the URL would pass the bound.
struct notify_case {
    std::string text;
    std::string url;
};

class notify_url_test : public testing::TestWithParam<notify_case> {};

TEST_P(notify_url_test, takes_at_most_one_integer_conversion) {
    std::string reason;
    auto n = notify_url::parse(GetParam().text, reason);
    EXPECT_EQ(n ? n->format(42).value_or("too long") : "refused", GetParam().url)
        << GetParam().text;
    EXPECT_TRUE(n || !reason.empty()) << "a refusal gives its reason";
}

INSTANTIATE_TEST_SUITE_P(
    cases, notify_url_test,
    testing::Values(notify_case{"http://h/done?arc=%u", "http://h/done?arc=42"},
                    notify_case{"http://h/%08x", "http://h/0000002a"},
                    notify_case{"http://h/%X%%20", "http://h/2A%20"},
                    // Anything that would read a pointer, write memory, or a second argument.
                    notify_case{"http://h/%s", "refused"}, notify_case{"http://h/%n", "refused"},
                    notify_case{"http://h/%u/%u", "refused"},
                    notify_case{"http://h/%*d", "refused"}, notify_case{"http://h/%1$d", "refused"},
                    // A width that would make a giant URL is refused when read, or when formatted.
                    notify_case{"http://h/%99999999d", "refused"},
                    notify_case{"http://h/%4000u" + std::string(100, 'x'), "too long"},
                    notify_case{"http://h/%3000u", "http://h/" + std::string(2998, ' ') + "42"}));

}  // namespace
}  // namespace marloven
