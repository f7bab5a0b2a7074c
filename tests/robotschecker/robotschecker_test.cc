// Tests of robots exclusion: the translation of robots.txt into one expression (agent groups,
// rule syntax), checks of URLs against cached files, and the cache's age and damage rules.
// SPDX-License-Identifier: MIT
#include "robotschecker/robotschecker.h"

#include <gtest/gtest.h>

#include "support/test_database.h"

namespace marloven {
namespace {

using namespace std::string_literals;

constexpr const char* agent = "marlovenbot";
const std::string none = "^I'm not an URL$";

struct expression_case {
    const char* what;
    std::string robots_txt;
    std::string expression;
};

class robots_expression_test : public testing::TestWithParam<expression_case> {};

TEST_P(robots_expression_test, translates_the_rules_for_this_agent) {
    EXPECT_EQ(robots_expression(GetParam().robots_txt, agent), GetParam().expression)
        << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    cases, robots_expression_test,
    testing::Values(
        expression_case{"every agent", "User-agent: *\nDisallow: /private", none + "|^/private"},
        expression_case{"star inside", "User-agent: *\nDisallow: /a*b", none + "|^/a.*b"},
        expression_case{"empty disallow allows everything", "User-agent: *\nDisallow:\n", none},
        expression_case{"rules before any group", "Disallow: /x\nUser-agent: *\n", none},
        expression_case{"own group replaces the star rules",
                        "User-agent: *\nDisallow: /a\n\nUser-agent: marlovenbot\nDisallow: /b\n",
                        none + "|^/b"},
        expression_case{"star group after the own group ignored",
                        "User-agent: marlovenbot\nDisallow: /b\n\nUser-agent: *\nDisallow: /c\n",
                        none + "|^/b"},
        expression_case{"agent matched by prefix, any case",
                        "USER-AGENT: MarlovenBot/2.1 (+http://x)\nDISALLOW: /x", none + "|^/x"},
        expression_case{"agent listed second in a group",
                        "User-agent: otherbot\nUser-agent: marlovenbot\nDisallow: /x\n",
                        none + "|^/x"},
        expression_case{"comments, CRLF and blanks",
                        "# robots\r\nUser-agent: * # everyone\r\n\r\nDisallow:   /tmp/  # temp\r\n",
                        none + "|^/tmp/"},
        expression_case{"space before the colon", "User-agent : *\nDisallow : /x", none + "|^/x"},
        expression_case{"indented line names no field", "User-agent: *\n  Disallow: /x\n", none},
        expression_case{"other fields ignored",
                        "User-agent: *\nAllow: /a\nCrawl-delay: 5\nDisallow: /b\n"
                        "Sitemap: http://example.com/s.xml\n",
                        none + "|^/b"},
        expression_case{"byte-order mark", "\xEF\xBB\xBFUser-agent: *\nDisallow: /x",
                        none + "|^/x"},
        expression_case{"a NUL byte in a rule is dropped, not cut at",
                        "User-agent: *\nDisallow: /a\0b\nDisallow: /c"s, none + "|^/ab|^/c"}));

// That rule-by-rule matching answers as the expression does, and that a rule matches its own
// text whatever bytes it holds: the robots fuzz target.
TEST(robots_rules_test, a_file_with_very_many_rules_is_checked_rule_by_rule) {
    std::string file = "User-agent: *\n";
    for (int i = 0; i < 1000; ++i) {
        file += "Disallow: /dir" + std::to_string(i) + "/*.html\n";
    }
    file += "Disallow: /private\n";
    EXPECT_GT(robots_expression(file, agent).size(), max_expression_length);
    vant_test::test_database db;
    robotschecker robots(db, agent);
    robots.store(db, "http://example.com/robots.txt", file);
    EXPECT_FALSE(robots.allowed(db, "http://example.com/private/a").allowed);
    EXPECT_FALSE(robots.allowed(db, "http://example.com/dir700/x/a.html").allowed);
    EXPECT_TRUE(robots.allowed(db, "http://example.com/dir700/a.txt").allowed);
    EXPECT_TRUE(robots.allowed(db, "http://example.com/public").rules_parsed);
}

TEST(robots_url_test, is_the_site_root_file_for_web_schemes_only) {
    EXPECT_EQ(robots_url_for("https://Example.com:443/a/b?q=1#f"),
              "https://example.com/robots.txt");
    EXPECT_EQ(robots_url_for("http://example.com:8080/x"), "http://example.com:8080/robots.txt");
    for (const char* url : {"ftp://example.com/x", "guid:0123", "mailto:a@b"}) {
        EXPECT_FALSE(robots_url_for(url)) << url;
    }
}

class robotschecker_test : public testing::Test {
  protected:
    robotschecker make(std::string name = agent) {
        return robotschecker(db_, std::move(name), [this] { return now_; });
    }
    vant_test::test_database db_;
    std::int64_t now_ = 1'700'000'000;
};

TEST_F(robotschecker_test, file_is_fetched_again_only_after_a_day) {
    auto robots = make();
    const std::string url = "http://example.com/a/page.html";
    EXPECT_EQ(robots.needs_fetch(db_, url), "http://example.com/robots.txt");
    robots.store(db_, "http://example.com/robots.txt", "");
    EXPECT_FALSE(robots.needs_fetch(db_, url));
    now_ += 86400;
    EXPECT_FALSE(robots.needs_fetch(db_, url));
    now_ += 1;
    EXPECT_EQ(robots.needs_fetch(db_, url), "http://example.com/robots.txt");
    robots.store(db_, "http://example.com/robots.txt", "User-agent: *\nDisallow: /a/");
    EXPECT_FALSE(robots.needs_fetch(db_, url));
    EXPECT_FALSE(robots.allowed(db_, url).allowed) << "the new file replaced the old";
    EXPECT_EQ(db_.integer("select count(*) from robotscache"), 1);
}

// The rules of a file: robots_expression_test. A site's file rules only that site.
TEST_F(robotschecker_test, the_agent_name_comes_from_the_configuration_and_the_file_from_the_site) {
    const char* file = "User-agent: otherbot\nDisallow: /\n\nUser-agent: *\nDisallow: /x\n";
    auto ours = make();
    ours.store(db_, "http://example.com/robots.txt", file);
    EXPECT_TRUE(ours.allowed(db_, "http://example.com/y").allowed);
    EXPECT_FALSE(ours.allowed(db_, "http://example.com/x").allowed);
    EXPECT_TRUE(ours.allowed(db_, "https://example.com/x").allowed);
    EXPECT_FALSE(make("OtherBot").allowed(db_, "http://example.com/y").allowed);
}

TEST_F(robotschecker_test, corrupt_cached_file_allows_reports_and_is_fetched_again) {
    auto robots = make();
    robots.store(db_, "http://example.com/robots.txt", "User-agent: *\nDisallow: /\n");
    exec(db_, "update robotscache set contentlen=contentlen+1");
    auto answer = robots.allowed(db_, "http://example.com/x");
    EXPECT_TRUE(answer.allowed);
    EXPECT_FALSE(answer.rules_parsed);
    EXPECT_EQ(robots.needs_fetch(db_, "http://example.com/x"), "http://example.com/robots.txt");
}

TEST_F(robotschecker_test, oversized_file_is_cut_before_caching) {
    auto robots = make();
    std::string body = "User-agent: *\nDisallow: /x\n";
    body.resize(max_robots_length + 1000, '#');
    robots.store(db_, "http://example.com/robots.txt", body);
    EXPECT_EQ(db_.integer("select contentlen from robotscache"),
              static_cast<std::int64_t>(max_robots_length));
    EXPECT_FALSE(robots.allowed(db_, "http://example.com/x").allowed);
}

}  // namespace
}  // namespace marloven
