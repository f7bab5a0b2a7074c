// Whole documents: type and charset decisions, outcomes, checksums and scores.
// SPDX-License-Identifier: MIT
#include "parse/document_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "parse/fff_builder.h"
#include "parse/fff_dump.h"
#include "support/corpus.h"
#include "worker/FFF/FFF-serialize.h"

namespace {

using namespace marloven;

std::string head(std::string_view content_type) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(content_type) + "\r\n\r\n";
}

struct type_case {
    std::string headers;
    std::string content;
    std::string mime_hint;
    parse_outcome outcome;
    const char* mime;
    const char* charset;
    const char* text;
};
class document_type_test : public testing::TestWithParam<type_case> {};
using O = parse_outcome;
TEST_P(document_type_test, type_and_charset_decide_the_parse) {
    const auto& c = GetParam();
    parsed_document d =
        parse_document({"http://h/x", c.headers, c.content, c.mime_hint, "", "", 0});
    EXPECT_EQ(std::tie(d.outcome, d.mime, d.charset), std::tuple(c.outcome, c.mime, c.charset))
        << c.headers << c.content;
    if (c.outcome == parse_outcome::unparsable) {
        EXPECT_TRUE(d.fff.empty());
        EXPECT_FALSE(d.note.empty());
    } else {
        EXPECT_EQ(vant_test::dump_fff_blob(d.fff), c.text);
    }
}
INSTANTIATE_TEST_SUITE_P(
    cases, document_type_test,
    testing::Values(
        // Meta charset when the header has none.
        type_case{head("text/html"), "<meta charset=windows-1251><p>\xCF\xF0\xE8\xE2\xE5\xF2</p>",
                  "", O::indexed, "text/html", "windows-1251",
                  "10[\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82]"},
        // The header wins over the page.
        type_case{head("text/html;charset=\"utf-8\""),
                  "<meta charset=koi8-r><p>\xC3\xA9t\xC3\xA9</p>", "", O::indexed, "text/html",
                  "utf-8", "10[\xC3\xA9t\xC3\xA9]"},
        type_case{head("TEXT/PLAIN"), "plain <b>text</b>", "", O::indexed, "text/plain", "utf-8",
                  "10[plain < b > text < / b >]"},
        // No head: the stored MIME type (REPROCESS of an upload).
        type_case{"", "<p>stored</p>", "text/html", O::indexed, "text/html", "utf-8", "10[stored]"},
        // Unknown types are sniffed.
        type_case{head("application/octet-stream"), "<!DOCTYPE html><p>sniffed</p>", "", O::indexed,
                  "application/octet-stream", "utf-8", "10[sniffed]"},
        type_case{"HTTP/1.1 200 OK\r\n\r\n", "just words", "", O::indexed, "text/plain", "utf-8",
                  "10[just words]"},
        type_case{head("image/png"), "\x89PNG\r\n\x1a\n", "", O::unparsable, "image/png", "", ""},
        type_case{head("text/css"), "p{}", "", O::unparsable, "text/css", "",
                  ""},  // text, not a page
        type_case{"", std::string("\x7f\x45LF\0\0\0\x01", 8), "", O::unparsable,
                  "application/octet-stream", "", ""},
        // Declared HTML that is binary.
        type_case{head("text/html"), std::string("GIF89a\0\0\x01\0", 10), "", O::unparsable,
                  "text/html", "", ""},
        // UTF-16 with a BOM is text, NUL bytes and all.
        type_case{head("text/plain"), std::string("\xFF\xFEh\0i\0", 6), "", O::indexed,
                  "text/plain", "utf-16le", "10[hi]"},
        type_case{"HTTP/1.1 200 OK\r\nX-Robots-Tag: noindex\r\nContent-Type: text/html\r\n\r\n",
                  "<p>secret</p>", "", O::noindex, "text/html", "utf-8", "10[secret]"}));

TEST(document_parser_test, checksums_are_stable_and_tell_core_from_boilerplate_changes) {
    auto parse = [](std::string_view html) {
        return parse_document({"http://h/p", head("text/html"), html, "", "", "", 2});
    };
    parsed_document a = parse("<title>T</title><p>Same body</p><footer>Mon</footer>");
    parsed_document again = parse("<title>T</title><p>Same body</p><footer>Mon</footer>");
    parsed_document footer = parse("<title>T</title><p>Same body</p><footer>Tue</footer>");
    parsed_document body = parse("<title>T</title><p>New body</p><footer>Mon</footer>");
    parsed_document markup =
        parse("<title>T</title><p>Same  <span>body</span></p><footer>x</footer>");
    parsed_document split = parse("<title>T</title><p>Same</p><p>body</p>");
    EXPECT_EQ(a.fffcrc, again.fffcrc);
    EXPECT_EQ(a.corecrc, again.corecrc);
    EXPECT_NE(a.fffcrc, footer.fffcrc);
    EXPECT_EQ(a.corecrc, footer.corecrc);
    EXPECT_NE(a.corecrc, body.corecrc);
    EXPECT_EQ(a.corecrc, markup.corecrc) << "markup without text changes nothing";
    EXPECT_NE(a.corecrc, split.corecrc) << "paragraphs count";
    EXPECT_EQ(a.score, 500000u) << "depth 2";
}

// The worker computes the core checksum again from the tree after document filters ran: for an
// unfiltered document it must be the parser's own, or every filtered page would look changed.
TEST(document_parser_test, core_checksum_of_the_tree_is_the_parsers) {
    std::vector<std::string> pages = {
        "<title>T</title><p>Same  <span>body</span></p><p>More</p><footer>x</footer>",
        "plain text\n\nin two paragraphs", vant_test::corpus_page("sql-select.html"),
        vant_test::corpus_page("index.html")};
    for (const std::string& page : pages) {
        if (page.empty()) {
            continue;  // the corpus is not on this machine
        }
        parsed_document d = parse_document({"http://h/p", "", page, "text/html", "", "", 0});
        auto tree = FFF::FromBinary(d.fff);
        ASSERT_NE(tree.root, nullptr);
        EXPECT_EQ(core_crc(dynamic_cast<FFF::DocumentData&>(*tree.root)), d.corecrc)
            << page.substr(0, 80);
    }
}

TEST(document_parser_test, outlinks_leave_out_nofollow_links_and_nofollow_pages) {
    std::string html = "<a href=/a>a</a><a href=/b rel=nofollow>b</a><nav><a href=/c>c</a></nav>";
    parsed_document d = parse_document({"http://h/", head("text/html"), html, "", "", "", 0});
    ASSERT_EQ(d.outlinks.size(), 2u);
    EXPECT_EQ(d.outlinks[0].url, "http://h/a");
    EXPECT_EQ(d.outlinks[1].url, "http://h/c");
    d = parse_document({"http://h/", head("text/html"),
                        "<meta name=robots content=nofollow>" + html, "", "", "", 0});
    EXPECT_EQ(d.outcome, parse_outcome::indexed);
    EXPECT_TRUE(d.outlinks.empty());
}

TEST(document_parser_test, document_score_falls_with_depth_without_overflow) {
    EXPECT_EQ(document_score(1), 666666u);
    EXPECT_EQ(document_score(4000000000u), 0u);
}

}  // namespace
