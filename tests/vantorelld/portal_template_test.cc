// Tests of the portal's texts: the template language, special files, the language chooser, and
// the result sections with their navigation.
// SPDX-License-Identifier: MIT
#include "vantorelld/portal_template.h"

#include <gtest/gtest.h>

#include <tuple>

namespace marloven {
namespace {

struct render_case {
    std::string_view text;
    template_variables page;
    std::string_view query;  // the request parameters, as a query string
    std::string_view expected;
};

class render_template_test : public testing::TestWithParam<render_case> {};

TEST_P(render_template_test, renders) {
    const render_case& c = GetParam();
    std::string out = "<";
    render_template(c.text, c.page, parse_query_string(c.query), out);
    EXPECT_EQ(out, "<" + std::string(c.expected)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    cases, render_template_test,
    testing::Values(
        render_case{"a{=x=}b", {{"x", "<i>"}}, "", "a<i>b"},  // page variables go in as they are
        render_case{
            "{=q=}", {}, "q=%3Cscript%3E%22", "&lt;script&gt;&quot;"},  // parameters escaped
        render_case{"{=x=}", {{"x", "page"}}, "x=param", "page"},       // page variables first
        render_case{"{=ifdef q=}yes{=endif=}:{=q=}", {}, "q=1", ":1"},  // parameters are no flag
        render_case{"{=ifdef x=}a{=ifdef y=}b{=endif=}c{=endif=}d", {{"x", ""}}, "", "acd"},
        render_case{"{=ifdef y=}a{=ifdef x=}b{=endif=}c{=endif=}d", {{"x", ""}}, "", "d"},
        render_case{"a{=endif=}b", {}, "", "ab"},               // a stray endif is dropped
        render_case{"a{=ifdef y=}b", {}, "", "a"},              // an open part ends with the text
        render_case{"a{=x=}b{=c", {{"x", "1"}}, "", "a1b{=c"},  // unclosed: the rest, once
        render_case{"{=ifdef  x=}1{=endif=}{=endif =}2", {{"x", ""}}, "", "2"}));

// The other kinds are read with the portal's files.
TEST(special_file, first_line_decides_the_kind) {
    const special_file redirect = parse_special_file("redirect /new/\r\n");
    EXPECT_EQ(std::tie(redirect.kind, redirect.redirect_target),
              std::make_tuple(special_kind::redirect, "/new/"));
    EXPECT_EQ(parse_special_file("Template\n").kind, special_kind::unknown) << "exact spelling";
    EXPECT_EQ(parse_special_file("template\nhead: h\n").rest, "head: h\n");
}

TEST(template_definition, reads_entries_relative_to_the_special_files_directory) {
    const template_definition def = parse_template_definition(
        "  head :  top.tmpl  # the page head\n"
        "\n"
        "# foot: commented.tmpl\n"
        "no colon here\n"
        "result_row: rows/row.tmpl:odd\n"
        "foot: ../../../etc/passwd\n"
        "mimetype: text/plain\n"
        "result_nav_range: 3\n" +
            std::string(1100, 'x') + ": too-long.tmpl\n",
        "/en");
    EXPECT_EQ(def.mimetype, "text/plain");
    EXPECT_EQ(def.nav_range, 3);
    const std::map<std::string, std::string, std::less<>> expected = {
        {"head", "/en/top.tmpl"},
        {"result_row", "/en/rows/row.tmpl:odd"},
        {"foot", "/etc/passwd"}};  // below the document root, never above it
    EXPECT_EQ(def.sections, expected);

    const template_definition defaults = parse_template_definition("mimetype: a\rb\n", "");
    EXPECT_EQ(defaults.mimetype, "text/html; charset=UTF-8") << "a CR would split the header";
}

struct language_case {
    std::optional<std::string> header;
    std::optional<std::string> target;
};

class choose_language_test : public testing::TestWithParam<language_case> {};

TEST_P(choose_language_test, chooses) {
    const auto entries = parse_language_file("EN /en/\n de /de/  # German\nfr-ca /fr/\nbroken\n");
    EXPECT_EQ(choose_language(entries, GetParam().header), GetParam().target)
        << GetParam().header.value_or("(none)");
}

INSTANTIATE_TEST_SUITE_P(
    cases, choose_language_test,
    testing::Values(language_case{"en;q=0.5, de;q=0.9", "/de/"},
                    language_case{"de;q=0.5,en;q=0.5", "/de/"},  // equal weights: listed first
                    language_case{"fr-ca", "/fr/"}, language_case{"fr", "/en/"},
                    language_case{"de;q=0, it", "/en/"},
                    language_case{"abcdefghijklmno", std::nullopt},
                    language_case{" , de ;q=1.000,", "/de/"},
                    language_case{"de;q=1.5", std::nullopt}));

// ---- result sections --------------------------------------------------------------------------

// A page whose sections are short marker texts, so that the order and variables of the sections
// show in the output.
class results_test : public testing::Test {
  protected:
    std::string render(std::int32_t total, std::int32_t start, long long range,
                       std::string_view query = "q=x") {
        template_definition def;
        def.nav_range = range;
        for (const auto& [name, text] : sections_) {
            def.sections[name] = "/" + name;
        }
        params_ = parse_query_string(query);
        template_page page(
            def,
            [this](const std::string& path) -> std::optional<std::string> {
                return sections_.at(path.substr(1));
            },
            params_);
        search_outcome result;
        result.total = total;
        result.start = start;
        for (std::int32_t i = start; i < total && i < start + portal_page_size; ++i) {
            result.hits.push_back(query_hit{"g", "http://h/", "", "text/html", {}, 0, 0, 0, 1});
        }
        template_variables vars;
        add_result_figures(vars, result);
        render_results(page, vars, result, false);
        return page.text();
    }

    std::map<std::string, std::string> sections_ = {
        {"result_head",
         "{=from=}-{=to=}/{=maxresults=}{=ifdef nohits=}none{=endif=}{=ifdef "
         "beyond=}past{=endif=}:"},
        {"result_row", "r"},
        {"result_foot", ":"},
        {"result_nonav", "N"},
        {"result_nav_prev", "<{=prev=} "},
        {"result_nav_noprev", "<- "},
        {"result_nav_currpage", "[{=page=}]"},
        {"result_nav_otherpage", "{=page=}@{=page_start=} "},
        {"result_nav_next", " >{=next=} {=currpage=}/{=maxpages=} {=allvars=}"},
        {"result_nav_nonext", " >-"}};
    query_map params_;
};

TEST_F(results_test, navigation_follows_start_total_and_radius) {
    struct {
        std::int32_t total, start;
        long long range;
        std::string_view expected;
    } cases[] = {
        {0, 0, 5, "-/0none::N"},
        {11, 0, 5, "1-10/11:rrrrrrrrrr:<- [1]2@10  >10 1/2 q=x"},
        {11, 10, 5, "11-11/11:r:<0 1@0 [2] >-"},
        {35, 10, 1, "11-20/35:rrrrrrrrrr:<0 1@0 [2]3@20  >20 2/4 q=x"},
        {200, 100, 2,
         "101-110/200:rrrrrrrrrr:<90 9@80 10@90 [11]12@110 13@120 14@130  >110 11/20 q=x"},
        {5, 20, 5, "-/5past::<10 1@0  >-"},  // a start beyond the end shows no rows
    };
    for (const auto& c : cases) {
        EXPECT_EQ(render(c.total, c.start, c.range), c.expected)
            << c.total << " " << c.start << " " << c.range;
    }
    // A huge radius stops at the last page.
    EXPECT_TRUE(render(3000, 10, 1LL << 40).ends_with("299@2980 300@2990  >20 2/300 q=x"));
}

TEST_F(results_test, link_parameters_are_encoded_and_escaped) {
    const std::string out = render(30, 0, 0, "q=a%26b+%22%3Cscript%3E&start=10&c=-1&x%22y=%3E");
    EXPECT_NE(out.find(" >10 1/3 c=-1&amp;q=a%26b%20%22%3Cscript%3E&amp;x%22y=%3E"),
              std::string::npos)
        << out;
}

TEST(result_row, variables_of_a_row) {
    query_hit hit;
    hit.guid = "0123456789abcdef0123456789abcdef";
    hit.url = "ftp://h/dir/R%C3%A9sum%C3%A9%20%3Cb%3E.PDF";
    hit.title = std::string(69, 'a') + "\xc3\xa9\xc3\xa9<";  // 72 characters
    hit.mime = "application/pdf";
    hit.time = 86400 * 365;
    hit.servertime = 1;
    const template_variables v = result_row_variables(hit, true);
    EXPECT_EQ(v.at("url"), hit.url);
    EXPECT_EQ(v.at("printable_url"), "ftp://h/dir/Résumé &lt;b&gt;.PDF");
    EXPECT_EQ(v.at("truncated_title"), std::string(69, 'a') + "\xc3\xa9...");
    EXPECT_EQ(v.at("title"), std::string(69, 'a') + "\xc3\xa9\xc3\xa9&lt;");
    EXPECT_EQ(v.at("crawl_date_rfc822"), "Fri, 01 Jan 1971 00:00:00 GMT");
    EXPECT_EQ(v.at("server_date_dmy_time"), "01/01/1970 00:00:01");
    const std::string cache = "cache/R_C3_A9sum_C3_A9_20_3Cb_3E.pdf?doc=" + hit.guid;
    EXPECT_EQ(v.at("cache"), cache);
    EXPECT_EQ(v.at("url_or_cached"), cache) << "not a web URL";

    hit.url = "http://h/";
    hit.title.clear();
    hit.mime = "image/png";
    const template_variables plain = result_row_variables(hit, false);
    EXPECT_EQ(plain.at("url_or_cached"), "http://h/");
    EXPECT_EQ(plain.at("truncated_title"), "http://h/") << "the URL stands in for a title";
    EXPECT_FALSE(plain.contains("title"));
    EXPECT_FALSE(plain.contains("cache"));
    EXPECT_EQ(result_row_variables(hit, true).at("cache"), "cache/document?doc=" + hit.guid);
}

}  // namespace
}  // namespace marloven
