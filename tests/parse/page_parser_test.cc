// HTML and plain text into FFF: slices, structure, links, metas and exclusion markers.
// SPDX-License-Identifier: MIT
#include "parse/page_parser.h"

#include <gtest/gtest.h>

#include <tuple>

#include "parse/fff_dump.h"

namespace {

using namespace marloven;
using vant_test::dump_fff;

page_settings at(std::string_view url) {
    return page_settings{url, "", "", 1000000};
}

std::string body_dump(std::string_view html) {
    return dump_fff(*parse_html(html, at("http://h.test/dir/page.html")).doc);
}

struct slice_case {
    const char* html;
    const char* expected;  // the whole dump of the page
};
class html_slice_test : public testing::TestWithParam<slice_case> {};
TEST_P(html_slice_test, elements_land_in_their_slices) {
    EXPECT_EQ(body_dump(GetParam().html), GetParam().expected) << GetParam().html;
}
INSTANTIATE_TEST_SUITE_P(
    cases, html_slice_test,
    testing::Values(
        slice_case{"<title>My  Page</title><p>x</p>", "15[My Page] | 10[x]"},
        slice_case{"<title>a</title><title>b</title>", "15[a]"},  // the first title only
        slice_case{"<h2>Intro</h2><h6>Fine</h6>", "14[Intro] | 14[Fine]"},
        slice_case{"<p>a <em>b</em> <strong>c</strong> d</p>", "10[a] 11[b c] 10[d]"},
        slice_case{"<p>go <a href=x.html>there</a> now</p>", "10[go] 12#0[there] 10[now]"},
        slice_case{"<p><a href='mailto:a@b.c'>mail</a> <a href='javascript:f()'>js</a></p>",
                   "13[mail js]"},
        slice_case{"<p><a href='#top'>up</a></p>", "10[up]"},  // in-page: no link
        slice_case{"<h1><a href=/>Home</a></h1>", "12#0[Home]"},
        slice_case{"<nav><a href=/a>A</a> text <b>bold</b> <h3>H</h3></nav>",
                   "7#0[A] 5[text] 6[bold] | 9[H]"},
        slice_case{"<header>Site</header><footer>(c) 2024</footer>", "5[Site] | 5[( c ) 2024]"},
        slice_case{"<article><header><h1>T</h1></header><footer>by me</footer></article>",
                   "14[T] | 10[by me]"},
        slice_case{"<aside>side</aside><main><nav>n</nav>m</main>", "5[side] | 5[n] | 10[m]"},
        slice_case{"<div role=navigation>r</div><div role=main>m</div>", "5[r] | 10[m]"},
        slice_case{"<div class='navheader'>p</div><div id=sidebar-left>s</div>"
                   "<div class=unavailable>u</div><div class='x footnote'>f</div>",
                   "5[p] | 5[s] | 10[u] | 10[f]"},
        slice_case{"<script>var hidden=1</script><style>p{}</style><noscript>js</noscript>"
                   "<template>t</template><svg><title>s</title></svg><p hidden>h</p>ok",
                   "10[ok]"},
        slice_case{"<img alt='A cat'><a href=/c><img alt=Logo></a>", "4[A cat] 12#0[Logo]"},
        slice_case{"<map><area href=/r alt=Region></map>", "12#0[Region]"},
        slice_case{"<p>One. Two! Three</p><p>Four<br>Five</p>",
                   "10[One .] / 10[Two !] / 10[Three] | 10[Four] / 10[Five]"},
        slice_case{"<ul><li>a<li>b</ul>", "10[a] | 10[b]"},
        slice_case{"<p>caf&eacute; &amp; &#x263A;</p>", "10[caf\xC3\xA9 & \xE2\x98\xBA]"},
        slice_case{"if a < b && c >>> d", "10[if a < b && c >>> d]"}));

TEST(html_meta_test, keywords_description_and_author_are_runs_and_metas) {
    parsed_page page = parse_html(
        "<head><meta name=Keywords content='sql, index'><meta name=description "
        "content='A manual.'><meta name=author content='Jo Doe'><meta name=generator "
        "content=x></head><body>text</body>",
        at("http://h/"));
    EXPECT_EQ(dump_fff(*page.doc), "2[sql , index] | 3[A manual .] | 1[Jo Doe] | 10[text]");
    EXPECT_EQ(dynamic_cast<FFF::Contents&>(*page.doc->children.at(0)).metas(),
              (std::vector<FFF::meta>{{0, 2, "keywords", "sql, index", 0, 0},
                                      {0, 3, "description", "A manual.", 0, 0},
                                      {0, 1, "author", "Jo Doe", 0, 0}}));
}

TEST(html_link_test, links_are_resolved_normalised_and_scored) {
    parsed_page page = parse_html(
        "<a href='b.html#frag'>1</a><a href='../up/'>2</a><a href='HTTP://Other.TEST:80/x'>3</a>"
        "<a href=' b.html '>again</a><nav><a href=/n>nav</a><a href=b.html>4</a></nav>"
        "<a href='ftp://f.test/'>ftp</a><iframe src=/frame>fallback</iframe>"
        "<a href=/nf rel='external nofollow'>nf</a><a href=/nf2 rel=nofollow>x</a>"
        "<a href=/nf2>y</a><meta http-equiv=refresh content=\"0; URL='/next'\">",
        page_settings{"http://h.test/dir/page.html", "", "", 800000});
    const auto& links = page.doc->links();
    std::vector<FFF::link> expected = {
        {"http://h.test/dir/b.html", 800000},  // the central score wins over the marginal one
        {"http://h.test/up/", 800000},        {"http://other.test/x", 800000},
        {"http://h.test/n", 400000},  // marginal links get half
        {"http://h.test/frame", 800000},      {"http://h.test/nf", 800000},
        {"http://h.test/nf2", 800000},        {"http://h.test/next", 800000},
    };
    EXPECT_EQ(links, expected);
    EXPECT_EQ(page.follow, (std::vector<bool>{true, true, true, true, true, false, true, true}))
        << "nofollow holds only where every occurrence has it";
    EXPECT_EQ(dump_fff(*page.doc),
              "12#0[1] 12#1[2] 12#2[3] 12#0[again] | 7#3[nav] 7#0[4] | 13[ftp] 12#5[nf] 12#6[x y]");
}

TEST(html_link_test, base_href_is_the_base_of_every_link) {
    parsed_page page = parse_html(
        "<html><head><base href='http://cdn.test/root/'></head><body><a href=p>p</a></body>",
        at("http://h.test/a/b"));
    EXPECT_EQ(page.doc->links(), std::vector<FFF::link>{{"http://cdn.test/root/p"}});
}

TEST(html_robots_test, robots_meta_tag_sets_noindex_and_nofollow) {
    struct robots_case {
        const char* content;
        bool noindex, nofollow;
    } cases[] = {
        {"NOINDEX, follow", true, false}, {"index,nofollow", false, true}, {"none", true, true}};
    for (const auto& c : cases) {
        std::string html =
            std::string("<meta name=robots content='") + c.content + "'><a href=/x>x</a>";
        parsed_page page = parse_html(html, at("http://h/"));
        // The link table is kept either way.
        EXPECT_EQ(std::tuple(page.noindex, page.nofollow, page.doc->links().size()),
                  std::tuple(c.noindex, c.nofollow, 1u))
            << c.content;
    }
}

TEST(html_exclusion_test, text_between_markers_is_left_out_but_links_stay) {
    page_settings s{"http://h/", "<!--noindex-->", "<!--/noindex-->", 1000000};
    parsed_page page = parse_html(
        "<p>keep <!--noindex-->drop <a href=/in>linked</a></p><p>more drop<!--/noindex--> "
        "back</p><!--noindex-->tail",
        s);
    EXPECT_EQ(dump_fff(*page.doc), "10[keep] | 10[back]");
    EXPECT_EQ(page.doc->links(), std::vector<FFF::link>{{"http://h/in"}});

    // Markers may be plain words too; a lone end marker is ordinary text.
    s = {"http://h/", "BEGIN-SKIP", "END-SKIP", 1000000};
    EXPECT_EQ(dump_fff(*parse_html("<p>a BEGIN-SKIP b END-SKIP c END-SKIP d</p>", s).doc),
              "10[a c END - SKIP d]");
    // One marker alone does nothing.
    s = {"http://h/", "BEGIN-SKIP", "", 1000000};
    EXPECT_EQ(dump_fff(*parse_html("<p>a BEGIN-SKIP b</p>", s).doc), "10[a BEGIN - SKIP b]");
}

TEST(html_hostile_test, deep_nesting_and_garbage_give_a_document) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<div><b>";
    }
    deep += "x";
    EXPECT_NE(parse_html(deep, at("http://h/")).doc, nullptr);
    std::string garbage;
    for (int i = 0; i < 5000; ++i) {
        garbage += static_cast<char>((i * 131) % 256);
    }
    EXPECT_NE(parse_html(garbage, at("http://h/")).doc, nullptr);
    EXPECT_NE(parse_html(std::string("\0\0<p>a\0b</p>", 12), at("http://h/")).doc, nullptr);
}

TEST(text_page_test, blank_lines_end_paragraphs_and_markers_apply) {
    page_settings s{"http://h/t.txt", "[[", "]]", 1000000};
    parsed_page page =
        parse_text("First line\nsame para.\n\n  \t\nSecond [[hidden\n\nstill]] seen\n", s);
    EXPECT_EQ(dump_fff(*page.doc), "10[First line same para .] | 10[Second seen]");
    EXPECT_TRUE(page.doc->links().empty());
}

}  // namespace
