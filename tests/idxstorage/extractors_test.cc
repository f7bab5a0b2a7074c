// The words extractor (full-text field and title) and the context extractor.
// SPDX-License-Identifier: MIT
#include "idxstorage/extractors.h"

#include <gtest/gtest.h>

#include "idxstorage/fff_builder.h"

namespace {

using marloven::fffExtractor;
using marloven::words_extractor;
using vant_test::make_document;

// The full-text string with 0x01 shown as '|' and each slice byte as "/<slice>".
std::string readable(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i + 1 == text.size() || text[i + 1] == '\x01') {
            out += "/" + std::to_string(static_cast<unsigned char>(text[i]) - 64);
        } else {
            out += text[i] == '\x01' ? '|' : text[i];
        }
    }
    return out;
}

struct fold_case {
    std::string in;
    bool kept;
    std::string out;
};

// The folding itself is fold_utf8's (tests/util); these rows are the index's own limits.
TEST(fold_index_word_test, keeps_only_cleanly_folded_word_characters) {
    const std::vector<fold_case> cases = {
        {"Hello", true, "hello"},
        {"e-mail", false, ""},   // punctuation inside
        {"", false, ""},         // nothing to index
        {"caf\xE9", false, ""},  // broken UTF-8
        {std::string(64, 'a'), true, std::string(64, 'a')},
        {std::string(65, 'a'), false, ""},  // too long after folding
        {std::string(32, 'A') + "\xC3\x9F" + std::string(31, 'a'), false, ""},  // 65 once folded
    };
    for (const auto& c : cases) {
        std::string folded;
        EXPECT_EQ(marloven::fold_index_word(c.in, folded), c.kept) << c.in;
        if (c.kept) {
            EXPECT_EQ(folded, c.out) << c.in;
        }
    }
}

TEST(words_extractor_test, builds_tokens_with_slice_bytes_metas_first_and_the_title) {
    auto doc = make_document(
        {{{15, "The Big House , garden"}, {15, "Annex"}}, {{10, "Walls and STRA\xC3\x9F\x45 ."}}},
        {{0, 2, "lang", "en", 0, 0}, {0, 1, "author", "Jane Doe", 0, 0}});
    words_extractor w;
    doc->accept(w, 0);
    ASSERT_TRUE(w.finished());
    // Metas are written sorted by the binary form, but a tree built in memory keeps its order.
    EXPECT_EQ(readable(w.text()),
              "lang:en/2|author:Jane Doe/1|the/15|big/15|house/15|garden/15|annex/15|walls/10|"
              "and/10|strasse/10");
    // One space between words of a run, none next to punctuation, nothing between runs.
    EXPECT_EQ(w.title(), "The Big House,gardenAnnex");
}

TEST(fff_extractor_test, ranks_paragraphs_by_slice_and_query_words_and_keeps_document_order) {
    auto doc = make_document({
        {{10, "nothing to see here"}},
        {{10, "the vacuum command in body text"}},
        {{15, "vacuum in a title run does not count"}},
        {{14, "vacuum header"}},
        {{10, "vacuum vacuum vacuum repeated"}},
        {{5, "vacuum in the margin"}},
    });
    fffExtractor x({"vacuum"});
    doc->accept(x, 0);
    // The thrice repeated body word (10000 + 9969 + 9938) beats the header (14000), which beats
    // one body mention (10000); the margin (5000) is fourth and left out.
    EXPECT_EQ(x.contexts(),
              (std::vector<std::string>{"the vacuum command in body text", "vacuum header",
                                        "vacuum vacuum vacuum repeated"}));
    EXPECT_EQ(x.context_text(),
              "the vacuum command in body text ... vacuum header ... vacuum vacuum vacuum "
              "repeated");
}

TEST(fff_extractor_test, long_paragraphs_are_cut_at_word_boundaries_around_the_query_words) {
    std::string text;
    for (int i = 0; i < 100; ++i) {
        text += "w" + std::to_string(i) + " ";
        if (i == 60) {
            text += "Target , ";
        }
    }
    auto doc = make_document({{{10, text}}});
    fffExtractor x({"target"});
    doc->accept(x, 0);
    auto contexts = x.contexts();
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_EQ(contexts[0].rfind("w57 w58 w59 w60 Target,w61", 0), 0u) << contexts[0];
    std::size_t words = 1 + std::count(contexts[0].begin(), contexts[0].end(), ' ');
    EXPECT_LE(words, fffExtractor::max_passage_tokens);
}

TEST(fff_extractor_test, without_query_words_the_first_counted_paragraph_is_the_context) {
    auto doc = make_document(
        {{{15, "Title only"}}, {{10, "first body"}, {11, "words"}}, {{10, "second body"}}});
    fffExtractor x({"absent"});
    doc->accept(x, 0);
    EXPECT_EQ(x.contexts(), std::vector<std::string>{"first body words"});
}

}  // namespace
