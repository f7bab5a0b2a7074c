// Tests of UTF-8 coding, case folding, character classes, code pages and the expat hook.
// SPDX-License-Identifier: MIT
#include "util/charsets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/xml_parser.h"

namespace marloven {
namespace {

struct decode_case {
    std::string bytes;
    char32_t code_point;
    bool valid;
    std::size_t consumed;
};

class decode_utf8_test : public testing::TestWithParam<decode_case> {};

TEST_P(decode_utf8_test, reads_one_character_and_advances_by_its_announced_length) {
    const decode_case& c = GetParam();
    std::size_t pos = 0;
    const utf8_char got = decode_utf8(c.bytes, pos);
    EXPECT_EQ(got.code_point, c.code_point);
    EXPECT_EQ(got.valid, c.valid);
    EXPECT_EQ(pos, c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    cases, decode_utf8_test,
    testing::Values(decode_case{"A", U'A', true, 1}, decode_case{"\xC3\xA9", 0xE9, true, 2},
                    decode_case{"\xE9\x61", 0xFFFD, false, 2},      // cut short by the end
                    decode_case{"\xE9\x61\x62", 0xFFFD, false, 3},  // consumes all it announced
                    decode_case{"\x80", 0x80, true, 1},             // stray continuation: Latin-1
                    decode_case{"\xC1\xBF", 0xC1, true, 1},         // C0/C1 never start sequences
                    decode_case{"\xE0\x9F\xBF", 0xFFFD, false, 3},  // overlong
                    decode_case{"\xED\xA0\x80", 0xD800, true, 3},   // surrogates pass
                    decode_case{"\xEF\xBF\xBD", 0xFFFD, true, 3},   // a real U+FFFD is valid
                    decode_case{"\xF4\x90\x80\x80", 0x110000, true, 4},
                    decode_case{"\xFE", 0xFFFD, false, 1}));

TEST(encode_utf8_test, encodes_every_length_and_drops_values_beyond_31_bits) {
    const std::vector<std::pair<char32_t, std::string>> cases = {
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x800, "\xE0\xA0\x80"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x200000, "\xF8\x88\x80\x80\x80"},
        {0x4000000, "\xFC\x84\x80\x80\x80\x80"},
        {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"},
        {0x80000000, ""},
    };
    for (const auto& [cp, bytes] : cases) {
        std::string out = "x";
        encode_utf8(cp, out);
        EXPECT_EQ(out, "x" + bytes) << std::hex << static_cast<std::uint32_t>(cp);
        if (!bytes.empty()) {
            std::size_t pos = 0;
            const utf8_char back = decode_utf8(bytes, pos);
            EXPECT_TRUE(back.valid);
            EXPECT_EQ(back.code_point, cp);
            EXPECT_EQ(pos, bytes.size());
        }
    }
}

struct fold_case {
    std::string in;
    std::string out;
    bool valid;
};

class fold_utf8_test : public testing::TestWithParam<fold_case> {};

TEST_P(fold_utf8_test, folds_to_the_full_unicode_folding) {
    std::string out = "left over";
    EXPECT_EQ(fold_utf8(GetParam().in, out), GetParam().valid);
    EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    cases, fold_utf8_test,
    testing::Values(fold_case{"", "", true},
                    fold_case{"Hello, World 42!", "hello, world 42!", true},
                    fold_case{"Stra\xC3\x9F\x65", "strasse", true},  // U+00DF: two letters
                    fold_case{"\xC4\xB0", "i", true},                // U+0130 loses its dot
                    fold_case{"\xCE\x90", "\xCE\xB9\xCC\x88\xCC\x81",
                              true},  // U+0390: three, 2 -> 6 bytes
                    fold_case{"\xCE\xA3\xCF\x82", "\xCF\x83\xCF\x83", true},  // both sigmas
                    fold_case{"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", true},  // Deseret, four bytes
                    fold_case{"\xE1\x8F\xB8", "\xE1\x8F\xB0", true},     // Cherokee folds upward
                    fold_case{"\xC0", "\xC3\xA0", true},                 // lone C0 read as Latin-1
                    fold_case{"A\xE9\x62\x43", "a\xEF\xBF\xBD", false},  // E9 swallows "bC"
                    fold_case{"x\xF0\x90", "x\xEF\xBF\xBD", false}));

// Code points beyond the 16-bit table are classified from the same data; none above U+10FFFF.
TEST(char_class_test, classes_and_subcategories_follow_the_general_category) {
    const std::vector<std::pair<char32_t, unsigned char>> cases = {
        {U'A', 0x10},    {U'a', 0x11},     {0x1C5, 0x12},    {0x2B0, 0x13},      {0x4E2D, 0x14},
        {0x301, 0x20},   {0x903, 0x21},    {0x20DD, 0x22},   {U'7', 0x30},       {0x2160, 0x31},
        {0xBD, 0x32},    {U'_', 0x40},     {U'-', 0x41},     {U'(', 0x42},       {U')', 0x43},
        {0xAB, 0x44},    {0xBB, 0x45},     {U'!', 0x46},     {U'+', 0x50},       {U'$', 0x51},
        {U'^', 0x52},    {0xA9, 0x53},     {U' ', 0x60},     {0x2028, 0x61},     {0x2029, 0x62},
        {0x0A, 0x70},    {0xAD, 0x71},     {0xD800, 0x72},   {0xE000, 0x73},     {0x0378, 0x00},
        {0xFFFF, 0x00},  {0x10400, 0x10},  {0x1D7CE, 0x30},  {0x1F600, 0x53},    {0x20000, 0x14},
        {0xF0000, 0x73}, {0x10FFFF, 0x00}, {0x110000, 0x00}, {0x7FFFFFFF, 0x00},
    };
    for (const auto& [cp, byte] : cases) {
        EXPECT_EQ(char_class_byte(cp), byte) << std::hex << static_cast<std::uint32_t>(cp);
    }
}

TEST(charset_test, names_select_tables_without_regard_to_case_and_unknown_names_fail) {
    std::vector<std::string> names = {"roman", "MacRoman", "latin-1", "US-ASCII", "WINDOWS-1252"};
    for (int n = 1; n <= 16; ++n) {
        if (n != 12) {
            names.push_back("iso-8859-" + std::to_string(n));
        }
    }
    for (int n = 1250; n <= 1258; ++n) {
        names.push_back(std::to_string(n));
        names.push_back("cp" + std::to_string(n));
        names.push_back("windows-" + std::to_string(n));
    }
    for (int n : {437, 737, 775, 850, 852, 855, 857, 860, 861, 862, 863, 864, 865, 866, 869, 874}) {
        names.push_back("cp" + std::to_string(n));
    }
    for (const std::string& name : names) {
        EXPECT_EQ(charset(name).kind(), charset_kind::single_byte) << name;
    }
    EXPECT_EQ(charset("Windows-1252").table(), charset("1252").table());
    EXPECT_EQ(charset("US-ASCII").table(), charset("iso-8859-1").table());
    EXPECT_EQ(charset("roman").table(), charset("macroman").table());

    charset set;
    EXPECT_EQ(set.kind(), charset_kind::utf8);
    for (const char* name : {"latin1", "iso-8859-12", "windows-437", "cp1259", "utf-16", ""}) {
        EXPECT_FALSE(set.set(name)) << name;
        EXPECT_EQ(set.kind(), charset_kind::unknown);
    }
    EXPECT_TRUE(set.set("utf8"));
    EXPECT_EQ(set.kind(), charset_kind::utf8);
}

// Known code points of the published mappings, a few bytes per table.
TEST(charset_test, tables_hold_the_published_mappings) {
    struct probe {
        const char* name;
        unsigned char byte;
        char32_t code_point;
    };
    for (const probe& p : {probe{"iso-8859-11", 0xDB, 0xFFFD}, probe{"roman", 0xDB, 0x20AC},
                           probe{"cp437", 0xB0, 0x2591}, probe{"cp866", 0x80, 0x410}}) {
        EXPECT_EQ(charset(p.name).table()[p.byte], p.code_point) << p.name << " " << int(p.byte);
    }
}

TEST(charset_test, undefined_bytes_and_broken_utf8_become_replacement_characters) {
    struct conversion_case {
        const char* set;
        std::string in, out;
        bool clean;
    };
    for (const conversion_case& c :
         {conversion_case{"cp1252", "\x80\xFF", "\xE2\x82\xAC\xC3\xBF", true},
          conversion_case{"cp1252", "a\x81\x62", "a\xEF\xBF\xBD\x62", false},
          conversion_case{"utf-8", "\xC3(", "\xEF\xBF\xBD", false},
          conversion_case{"utf-8", "\xC3\xA9", "\xC3\xA9", true}}) {
        std::string out;
        EXPECT_EQ(charset(c.set).to_utf8(c.in, out), c.clean) << c.in;
        EXPECT_EQ(out, c.out) << c.in;
    }
}

// Collects the character data of one document read by the XML parser that every reader uses.
struct text_collector : xml_handler {
    void start_element(std::string_view, std::string_view, const xml_attributes&) override {}
    void end_element() override {}
    void text(std::string_view data) override { text_ += data; }
    std::string text_;
};

TEST(unknown_encoding_handler_test, the_xml_parser_reads_code_pages_and_rejects_what_they_lack) {
    struct hook_case {
        std::string encoding, body, text, error;
    };
    for (const hook_case& c : std::vector<hook_case>{
             {"iso-8859-15", "\xA4 \xBD", "\xE2\x82\xAC \xC5\x93", ""},  // euro, oe
             {"windows-1252", "\x81", "", "not well-formed"},            // undefined byte
             {"latin1", "", "", "unknown encoding"}}) {
        text_collector collected;
        guarded_xml_parser parser(collected, nullptr);
        const bool ok = parser.feed(
            "<?xml version=\"1.0\" encoding=\"" + c.encoding + "\"?><a>" + c.body + "</a>", true);
        EXPECT_EQ(ok, c.error.empty()) << c.encoding;
        EXPECT_EQ(parser.error().substr(0, c.error.size()), c.error) << parser.error();
        EXPECT_EQ(collected.text_, c.text) << c.encoding;
    }
}

}  // namespace
}  // namespace marloven
