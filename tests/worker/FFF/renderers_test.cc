// Tests of the XML and HTML renderings of FFF documents, compared as whole texts. Trees that
// are not sound (link ids out of range, foreign nodes) still render: the FFF fuzz target.
// SPDX-License-Identifier: MIT
#include "worker/FFF/renderers.h"

#include <gtest/gtest.h>

#include "worker/FFF/sample_document.h"

namespace FFF {
namespace {

using vant_test::add_run;

TEST(render_xml, sample_page_prints_structure_links_and_metas) {
    auto doc = vant_test::sample_page();
    EXPECT_EQ(render("xml", "0123abcd", "http://example.com/?q=a&b", 1700000000, *doc),
              R"(<?xml version="1.0"?>
<document id="0123abcd" url="http://example.com/?q=a&amp;b" timestamp="1700000000" score= "0.75" >
 <fff>
  <link urlid="0" url="http://example.com/" score="1e+06"/>
  <link urlid="1" url="http://example.com/about?a=1&amp;b=2" score="0.25"/>
  <contents>
   <p><s><low dictid="15" sliceid="title">Big house,garden</low></s></p>
   <p><s><low dictid="10" sliceid="centralNorm">Rooms:3&lt;5&amp;&quot;quiet&quot;</low><low dictid="11" sliceid="centralEmph">l&apos;étéchaud</low><low dictid="12" sliceid="centralLink" urlid="0">Home</low></s></p>
   <p><s><low dictid="7" sliceid="marginalLink" urlid="1">About us</low><low dictid="13" sliceid="centralRemote">elsewhere</low></s><s><low dictid="12" sliceid="centralLink" urlid="0">home again.</low></s></p>
  </contents>
  <meta type="documentwide" dictid="2" sliceid="keyword" key="author">A &amp; B &lt;x&gt;</meta>
  <meta type="positional" pos="4" dictid="11" sliceid="centralEmph" key="anchor">it&apos;s</meta>
  <meta type="ranged" beg="3" end="9" dictid="10" sliceid="centralNorm" key="lang">fr</meta>
 </fff>
</document>
)");
}

TEST(render_html, sample_page_prints_title_anchors_and_body) {
    auto doc = vant_test::sample_page();
    EXPECT_EQ(render("html", "0123abcd", "http://example.com/", 1700000000, *doc),
              "<html>\n"
              "<head><title>Big house,garden</title>"
              "<meta name=\"vantorell-score\" content=\"0.75\" /></head>\n"
              "<body>\n"
              "<b>Big house,garden</b><br />\n"
              "<p>  </p>\n"
              "<p>Rooms:3&lt;5&amp;&quot;quiet&quot; l'étéchaud "
              "<a href=\"http://example.com/\">Home</a>  </p>\n"
              "<p><a href=\"http://example.com/about?a=1&b=2\">About us</a> elsewhere  "
              "<a href=\"http://example.com/\">home again.</a>  </p>\n"
              "</body>\n"
              "</html>\n");
}

TEST(render_html, the_first_title_run_with_words_is_the_title_and_later_ones_stay_in_the_body) {
    DocumentData doc;
    auto& s = doc.add<Contents>().add<P>().add<S>();
    add_run(s, slice::centralNorm, {"x"});
    add_run(s, slice::title, {});  // an empty title run does not claim the title
    add_run(s, slice::title, {"First"});
    add_run(s, slice::title, {"Second"});
    doc.score = 500000;
    EXPECT_EQ(render_html("id", "u", 0, doc),
              "<html>\n<head><title>First</title><meta name=\"vantorell-score\" content=\"0.5\" />"
              "</head>\n<body>\n<b>First</b><br />\n<p>x   Second  </p>\n</body>\n</html>\n");
}

TEST(word_tokens, only_letters_and_digits_make_a_word) {
    for (std::string_view word : {"", "house", "été", "2024", "Straße", "日本語", "٣"}) {
        EXPECT_TRUE(is_word_token(word)) << word;  // "٣": an Arabic-Indic digit
    }
    for (std::string_view other : {",", "a-b", "l'été", "a b", "\xE9\x61"}) {  // last: broken UTF-8
        EXPECT_FALSE(is_word_token(other)) << other;
    }
}

}  // namespace
}  // namespace FFF
