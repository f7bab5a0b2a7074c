// Tests of URL parsing, normalisation keys, resolution and escaping.
// SPDX-License-Identifier: MIT
#include "util/uri.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace marloven {
namespace {

// The parts come back joined: "scheme|netloc|path|params|query|fragment".
struct parse_case {
    std::string_view text, default_scheme, parts;
    bool allow_fragments = true;
};

class uri_parse_test : public testing::TestWithParam<parse_case> {};

TEST_P(uri_parse_test, splits_the_parts_the_scheme_has) {
    const parse_case& c = GetParam();
    const uri u = uri::parse(c.text, c.default_scheme, c.allow_fragments);
    const std::string parts = std::string(u.scheme()) + "|" + std::string(u.netloc()) + "|" +
                              std::string(u.path()) + "|" + std::string(u.params()) + "|" +
                              std::string(u.query()) + "|" + std::string(u.fragment());
    EXPECT_EQ(parts, c.parts);
    EXPECT_EQ(u.entry().name, find_scheme(u.scheme()).name);
}

INSTANTIATE_TEST_SUITE_P(cases, uri_parse_test,
                         testing::ValuesIn(std::vector<parse_case>{
                             {"", "http", "|||||"},
                             {"HTTP://Host.EXAMPLE:80/A/b;P?Q=1#F", "",
                              "http|host.example:80|/A/b|P|Q=1|F"},
                             {"abcde:x", "http", "http||abcde:x|||"},  // too long, unknown
                             {"abcd:x", "http", "abcd||x|||"},         // short: a scheme
                             {"javascript:a#b;c?d", "http", "javascript||a#b;c?d|||"},
                             {"//host/x", "http", "http|host|/x|||"},
                             {"//host/x", "", "||//host/x|||"},  // no scheme, no netloc
                             {":80//host/x", "http", "http||:80//host/x|||"},
                             {"/a:b", "http", "http||/a:b|||"},  // "/" is no scheme char
                             {"http://host?q=1", "", "http|host|||q=1|"},
                             {"http://h/a#b#c", "", "http|h|/a#b|||c"},  // the last "#"
                             {"http://h/a?b?c;d", "", "http|h|/a||b?c;d|"},
                             {"http://h/a;b;c/d", "", "http|h|/a|b;c/d||"},
                             {"http://h/a?b#c", "", "http|h|/a||b#c|", false},
                             {"ftp://h/a;type=i?x", "", "ftp|h|/a|type=i?x||"},  // no query
                             {"file:///C:/x#y", "", "file||/C:/x|||y"},
                         }));

struct text_case {
    std::string_view in, out;
};

struct key_case {
    std::string_view in, key;
    std::optional<bool> valid_host = std::nullopt;
};

class normalise_url_test : public testing::TestWithParam<key_case> {};

TEST_P(normalise_url_test, gives_one_markup_free_key_for_equivalent_urls) {
    const key_case& c = GetParam();
    EXPECT_EQ(normalise_url(c.in), c.key);
    EXPECT_EQ(normalise_url(c.key), c.key) << "a stored key normalises to itself";
    EXPECT_EQ(c.key.find_first_of(" \"<>\\^`{|}\x7F"), std::string::npos) << c.key;
    if (c.valid_host) {
        EXPECT_EQ(uri::parse(c.in, "http").has_valid_host(), *c.valid_host) << c.in;
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, normalise_url_test,
    testing::Values(
        key_case{"HTTP://Host:80/a/./b/../c?x=%7e#top", "http://host/a/c?x=%7E"},
        key_case{"http://host:", "http://host/"}, key_case{"http://host:0080/", "http://host/"},
        key_case{"https://host:443/x", "https://host/x"},
        key_case{"https://host:80/x", "https://host:80/x"},
        key_case{"http://host:99999/", "http://host:99999/"},  // not a port: kept as it is
        key_case{"http://User:Pw@Host:80/", "http://user:pw@host/"},
        key_case{"http://h/100%", "http://h/100%25"},
        key_case{"http://h/%41%62%2d%2E", "http://h/Ab-."},  // needless escapes decoded
        key_case{"http://h/a%2fb?q=C%2b%2b&r=%26%3d", "http://h/a%2Fb?q=C%2B%2B&r=%26%3D"},
        key_case{"http://h/%2e%2E/a/%2E/b", "http://h/a/b"},
        key_case{"http://h/~user/\xC3\xA9t\xC3\xA9", "http://h/%7Euser/%C3%A9t%C3%A9"},
        key_case{"http://h/a//b/../c", "http://h/a//c"},
        key_case{"host/a/./b", "http:///host/a/b"},  // no "//": not a net location
        key_case{"mailto:Joe@Example.com", "mailto:Joe%40Example.com"},
        key_case{"javascript:a/../b#c", "javascript:a/../b#c"},  // opaque, not escaped
        key_case{"abcd:x/../y", "abcd:y"},
        // Crawled links are hostile: whatever they hold, a key must not be able to leave an HTML
        // attribute, and a host outside the host grammar must be recognised so that the link is
        // dropped.
        key_case{"http://x\"><img src=x onerror=alert(1)>/",
                 "http://x%22%3E%3Cimg%20src=x%20onerror=alert(1)%3E/", false},
        key_case{"http://x/'><img src=x onerror=alert(1)>",
                 "http://x/'%3E%3Cimg%20src=x%20onerror=alert(1)%3E", true},
        key_case{"http://U\"<>@h/", "http://u%22%3C%3E@h/", true},  // user information
        key_case{"http://h{x}|y/", "http://h%7Bx%7D%7Cy/", false},
        key_case{"http://h%4/", "http://h%254/", false},
        key_case{"http://H%3c/", "http://h%3C/", true},  // an escape is a host character
        key_case{"http://a:b:80/", "http://a:b:80/", false},
        key_case{"http://b\xC3\xBC"
                 "cher.de/",
                 "http://b%C3%BCcher.de/", true},
        key_case{"http://[v1.a:b]/", "http://[v1.a:b]/", true},
        key_case{"http://[1.2.3.4]/", "http://[1.2.3.4]/", false},
        key_case{"http://[::1/", "http://[::1/", false},
        key_case{"javascript:alert(\"<b>\")", "javascript:alert(%22%3Cb%3E%22)", true},
        key_case{"abcd:a\"b%zz", "abcd:a%22b%25zz", true}));

// Each text is normalised, and the key normalised again must not change.
class normalise_stability_test : public testing::TestWithParam<std::string_view> {};

TEST_P(normalise_stability_test, a_key_is_its_own_key) {
    for (std::string_view scheme : {"http", ""}) {
        const std::string once = uri::parse(GetParam(), scheme).normalise();
        EXPECT_EQ(uri::parse(once, scheme).normalise(), once) << GetParam() << " -> " << once;
    }
}

INSTANTIATE_TEST_SUITE_P(cases, normalise_stability_test,
                         testing::Values("http://a:80:80/", "./a:b", "http:a/..", "http:////x",
                                         "%%41", "http://h/%2541", ":a:b", "http://h;p/x",
                                         "//h/x/../y", "http://@:/", "http://h/;?"));

struct resolve_case {
    std::string_view reference, expected;
};

class rfc3986_resolve_test : public testing::TestWithParam<resolve_case> {};

TEST_P(rfc3986_resolve_test, resolves_like_the_rfc_examples) {
    const uri base = uri::parse("http://a/b/c/d;p?q");
    EXPECT_EQ(resolve(base, GetParam().reference).compose(), GetParam().expected);
}

// RFC 3986 section 5.4, one example for each rule. A net location always gets a path here, so
// "//g" gives "http://g/"; "http:g" takes the backward-compatible reading (same scheme: relative).
INSTANTIATE_TEST_SUITE_P(
    examples, rfc3986_resolve_test,
    testing::Values(
        resolve_case{"g:h", "g:h"}, resolve_case{"g", "http://a/b/c/g"},
        resolve_case{"//g", "http://g/"}, resolve_case{"/./g", "http://a/g"},
        resolve_case{"?y", "http://a/b/c/d;p?y"}, resolve_case{"#s", "http://a/b/c/d;p?q#s"},
        resolve_case{";x", "http://a/b/c/;x"}, resolve_case{"g;x?y#s", "http://a/b/c/g;x?y#s"},
        resolve_case{"", "http://a/b/c/d;p?q"}, resolve_case{".", "http://a/b/c/"},
        resolve_case{"../..", "http://a/"}, resolve_case{"../../../g", "http://a/g"},
        resolve_case{"./g/.", "http://a/b/c/g/"}, resolve_case{"g;x=1/../y", "http://a/b/c/y"},
        resolve_case{"g?y/../x", "http://a/b/c/g?y/../x"},
        resolve_case{"g#s/../x", "http://a/b/c/g#s/../x"},
        resolve_case{"http:g", "http://a/b/c/g"}));

TEST(uri_resolve_test, other_and_non_relative_schemes_stand_for_themselves) {
    const uri base = uri::parse("https://a/b/c");
    EXPECT_EQ(resolve(base, "http://x/../y").compose(), "http://x/../y");
    EXPECT_EQ(resolve(base, "mailto:me@x").compose(), "mailto:me@x");
    EXPECT_EQ(resolve(uri::parse("mailto:a/b"), "c").compose(), "mailto:c");
    // A reference parsed without a scheme still gets the base's net-location reading.
    EXPECT_EQ(resolve(base, uri::parse("//g/./x")).compose(), "https://g/x");
    EXPECT_EQ(resolve(uri::parse("http://a"), "g").compose(), "http://a/g");
}

TEST(uri_resolve_test, robots_and_plugin_urls_resolve_and_normalise) {
    EXPECT_EQ(resolve_url("HTTP://Example.com:80/a/b.html?x#y", "/robots.txt"),
              "http://example.com/robots.txt");
    EXPECT_EQ(resolve_url("example.com/a/", "b c"), "http:///example.com/a/b%20c");
    EXPECT_EQ(resolve_url("http://h/a/b", "../../../x?%7e"), "http://h/x?%7E");
}

TEST(uri_test, host_drops_user_information_and_port) {
    struct host_case {
        std::string_view url, host;
        std::uint16_t port;
    };
    for (const host_case& c :
         {host_case{"http://Example.COM:8080/x", "example.com", 8080},
          host_case{"https://u:p@h/", "h", 443}, host_case{"http://h:/", "h", 80},
          host_case{"http://[::1]:81/", "[::1]", 81}, host_case{"http://a:b:80/", "a:b:80", 80},
          host_case{"http://h:65536/", "h:65536", 80}, host_case{"ftp://h/x", "h", 21},
          host_case{"mailto:a@b", "", 0}}) {
        const uri u = uri::parse(c.url);
        EXPECT_EQ(u.host(), c.host) << c.url;
        EXPECT_EQ(u.port(), c.port) << c.url;
    }
}

class escape_uri_test : public testing::TestWithParam<text_case> {};
TEST_P(escape_uri_test, escapes_the_escape_set_once) {
    EXPECT_EQ(escape_uri(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(
    cases, escape_uri_test,
    testing::Values(text_case{"a b", "a%20b"},
                    text_case{"<>\"#{}|\\^~[]`@", "%3C%3E%22%23%7B%7D%7C%5C%5E%7E%5B%5D%60%40"},
                    text_case{"%7e%7E", "%7E%7E"}, text_case{"%", "%25"}, text_case{"%4", "%254"},
                    text_case{"%g1", "%25g1"}, text_case{"\x01\x7F\x80\xFF", "%01%7F%80%FF"},
                    text_case{"/a?b=c&d;e", "/a?b=c&d;e"}));

class unescape_uri_test : public testing::TestWithParam<text_case> {};
TEST_P(unescape_uri_test, decodes_complete_escapes_only) {
    EXPECT_EQ(unescape_uri(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(cases, unescape_uri_test,
                         testing::Values(text_case{"%41%6a%2F", "Aj/"}, text_case{"%", "%"},
                                         text_case{"%4", "%4"}, text_case{"%%41", "%A"},
                                         text_case{"%zz+", "%zz+"},
                                         text_case{"%00x", std::string_view("\0x", 2)}));

class normalise_path_test : public testing::TestWithParam<text_case> {};
TEST_P(normalise_path_test, removes_dot_segments_without_climbing_above_the_root) {
    EXPECT_EQ(normalise_path(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(
    cases, normalise_path_test,
    testing::Values(text_case{"", ""}, text_case{"/", "/"}, text_case{"/a/b/c/./../../g", "/a/g"},
                    text_case{"mid/content=5/../6", "mid/6"}, text_case{"/..", "/"},
                    text_case{"/../../etc/passwd", "/etc/passwd"},
                    text_case{"../../etc/passwd", "etc/passwd"},  // relative stays inside
                    text_case{"a/../../b", "b"}, text_case{"/a/b/..", "/a/"},
                    text_case{"/a/b/.", "/a/b/"}, text_case{".", ""}, text_case{"..", ""},
                    text_case{"/a//../b", "/a/b"}, text_case{"/.a/a./b", "/.a/a./b"}));

}  // namespace
}  // namespace marloven
