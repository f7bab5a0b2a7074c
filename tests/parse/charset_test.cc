// Choosing a document's charset and converting it to UTF-8.
// SPDX-License-Identifier: MIT
#include "parse/charset.h"

#include <gtest/gtest.h>

namespace {

using namespace marloven;

struct choice_case {
    std::string bytes;
    const char* declared;
    bool html;
    const char* expected;
};
class charset_choice_test : public testing::TestWithParam<choice_case> {};
TEST_P(charset_choice_test, picks_bom_then_header_then_meta_then_detection) {
    const auto& c = GetParam();
    EXPECT_EQ(choose_charset(c.bytes, c.declared, c.html), c.expected) << c.bytes;
}
INSTANTIATE_TEST_SUITE_P(
    cases, charset_choice_test,
    testing::Values(
        // A BOM wins over everything.
        choice_case{"\xEF\xBB\xBF<meta charset=koi8-r>", "iso-8859-2", true, "utf-8"},
        // The header wins over the meta tag.
        choice_case{"<meta charset=koi8-r>", "ISO-8859-2", true, "iso-8859-2"},
        choice_case{"<html><head><meta charset=\"KOI8-R\"></head>", "", true, "koi8-r"},
        choice_case{"<meta http-equiv='Content-Type' content='text/html; charset=windows-1251'>",
                    "", true, "windows-1251"},
        // A declared name that no converter knows is passed over.
        choice_case{"<meta charset=x-nonsense>", "bogus-9", true, "utf-8"},
        // Meta tags mean nothing in plain text.
        choice_case{"<meta charset=koi8-r> plain", "", false, "utf-8"},
        // Detection: valid multi-byte UTF-8 text.
        choice_case{"Gr\xC3\xBC\xC3\x9F\x65 aus M\xC3\xBCnchen, sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F"
                    "e",
                    "", false, "utf-8"},
        // Detection: Russian text in KOI8-R.
        choice_case{"\xF7\xD3\xC5 \xCC\xC0\xC4\xC9 \xD2\xCF\xD6\xC4\xC1\xC0\xD4\xD3\xD1 "
                    "\xD3\xD7\xCF\xC2\xCF\xC4\xCE\xD9\xCD\xC9 \xC9 \xD2\xC1\xD7\xCE\xD9\xCD\xC9.",
                    "", false, "koi8-r"}));

TEST(charset_test, conversion_decodes_and_marks_invalid_bytes) {
    EXPECT_EQ(to_utf8("caf\xE9", "iso-8859-1").text, "caf\xC3\xA9");
    // The web's iso-8859-1 is windows-1252: 0x93/0x94 are curly quotes.
    EXPECT_EQ(to_utf8("\x93q\x94", "ISO-8859-1").text, "\xE2\x80\x9Cq\xE2\x80\x9D");
    utf8_text bad = to_utf8("a\xFF\x62\xC3", "utf-8");
    EXPECT_EQ(bad.text, "a\xEF\xBF\xBD\x62\xEF\xBF\xBD");
    EXPECT_TRUE(bad.lossy);
    EXPECT_EQ(to_utf8("\xEF\xBB\xBFx", "utf-8").text, "x") << "the BOM is dropped";
    // Well-formed UTF-8 passes unchanged; overlong forms, surrogates and cut sequences do not.
    std::string good = "plain ascii, \xC3\xA9, \xE2\x82\xAC, \xF0\x9F\x98\x80 and more text";
    EXPECT_EQ(to_utf8(good, "UTF-8").text, good);
    EXPECT_FALSE(to_utf8(good, "utf8").lossy);
    for (const char* bad_utf8 :
         {"a\xC0\xAFz", "a\xED\xA0\x80z", "a\xF4\x90\x80\x80z", "abc\xE2\x82"}) {
        utf8_text t = to_utf8(bad_utf8, "utf-8");
        EXPECT_TRUE(t.lossy) << bad_utf8;
        EXPECT_NE(t.text.find("\xEF\xBF\xBD"), std::string::npos) << bad_utf8;
    }
    EXPECT_EQ(to_utf8(std::string("\xFF\xFEh\0i\0", 6), "utf-16le").text, "hi");
    EXPECT_EQ(to_utf8("\x80", "no-such-charset").text, "\xE2\x82\xAC") << "read as windows-1252";
}

TEST(charset_test, meta_tag_beyond_the_prefix_is_not_seen) {
    std::string late = std::string(5000, ' ') + "<meta charset=koi8-r>";
    EXPECT_FALSE(meta_charset(late).has_value());
    EXPECT_EQ(meta_charset("<META CHARSET = 'Shift_JIS'>"), "shift_jis");
}

}  // namespace
