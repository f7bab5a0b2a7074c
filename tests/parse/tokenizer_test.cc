// Tokens of FFF runs: words and punctuation apart, by Unicode class.
// SPDX-License-Identifier: MIT
#include "parse/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker/FFF/renderers.h"

namespace {

using marloven::tokenize;

std::string tokens(std::string_view text) {
    std::string out;
    tokenize(text, [&](std::string_view t) {
        out += out.empty() ? "" : "|";
        out += t;
    });
    return out;
}

struct token_case {
    const char* text;
    const char* expected;
};
class tokenizer_test : public testing::TestWithParam<token_case> {};
TEST_P(tokenizer_test, splits_words_from_punctuation) {
    EXPECT_EQ(tokens(GetParam().text), GetParam().expected) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    cases, tokenizer_test,
    testing::Values(token_case{"Hello, world!", "Hello|,|world|!"},
                    token_case{"don't stop", "don|'|t|stop"},
                    token_case{"'quoted'", "'|quoted|'"},  // not between letters
                    token_case{"pi is 3.14, or 3,14.", "pi|is|3|.|14|,|or|3|,|14|."},
                    token_case{"max_connections", "max|_|connections"},
                    token_case{"caf\xC3\xA9 na\xC3\xAFve", "caf\xC3\xA9|na\xC3\xAFve"},
                    token_case{"e\xCC\x81t\xC3\xA9", "e\xCC\x81t\xC3\xA9"},  // combining mark stays
                    token_case{"soft\xC2\xADhyphen", "softhyphen"},          // U+00AD dropped
                    token_case{"a\xC2\xA0"
                               "b",
                               "a|b"},  // no-break space separates
                    token_case{"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
                               "\xE6\x97\xA5|\xE6\x9C\xAC|\xE8\xAA\x9E"},
                    token_case{"bad\xFFutf", "bad|utf"}));

// Titles, contexts and the document renderings write a space only between two word tokens, so
// words with punctuation inside them must come back from their tokens unchanged.
TEST(tokenizer_limits_test, plain_text_comes_back_from_its_tokens) {
    for (const char* text : {"one two's three", "pi is 3.14 or 3,14", "set max_connections to 5",
                             "l'\xC3\xA9t\xC3\xA9 well-known"}) {
        std::string joined;
        bool previous_is_word = false;
        tokenize(text, [&](std::string_view t) {
            const bool is_word = FFF::is_word_token(t);
            joined += previous_is_word && is_word ? " " : "";
            joined += t;
            previous_is_word = is_word;
        });
        EXPECT_EQ(joined, text);
    }
}

TEST(tokenizer_limits_test, overlong_words_are_cut_at_character_boundaries) {
    std::string word;
    for (int i = 0; i < 100; ++i) {
        word += "\xC3\xA9";  // 200 bytes of two-byte characters
    }
    std::vector<std::string> got;
    tokenize(word, [&](std::string_view t) { got.emplace_back(t); });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), marloven::max_token_bytes);
    EXPECT_EQ(got[0] + got[1], word);
    std::vector<std::string> dots;
    tokenize(std::string(300, '.'), [&](std::string_view t) { dots.emplace_back(t); });
    ASSERT_EQ(dots.size(), 3u);
    EXPECT_EQ(dots[0].size(), marloven::max_token_bytes);
}

}  // namespace
