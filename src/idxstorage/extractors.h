// extractors.h: walks over FFF documents for the index: the words extractor that builds the
// full-text field and the title sent to the index server, and the context extractor that picks
// the passages shown with a hit.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "worker/FFF/tXMLTree.h"

namespace marloven {

// The index folding of one word: Unicode case folding, kept only when the folding succeeded, the
// result holds word characters only (letters and numbers) and is at most 64 bytes long.
bool fold_index_word(std::string_view word, std::string& folded);
inline constexpr std::size_t max_index_word = 64;

// Purpose: builds, in one walk over a document, the full-text string (tokens joined by 0x01,
// each a term and its slice byte: metas as "key:value", words folded) and the title (the words
// of the title runs, joined as the renderers join them, nothing between two runs).
// Ownership: keeps its own strings; borrows nothing after the walk.
// Failure: none; words that do not fold cleanly are left out.
// Threads: one walk at a time.
class words_extractor : public tXMLTree::visitor {
  public:
    void visit(tXMLTree& node, unsigned depth, bool closing) override;

    // True once the walk has left the document's root: only then are the fields complete.
    bool finished() const { return finished_; }
    const std::string& text() const { return text_; }
    const std::string& title() const { return title_; }

  private:
    void add_token(std::string_view term, std::uint32_t slice);

    std::string text_;
    std::string title_;
    std::string folded_;
    bool finished_ = false;
};

// Purpose: scores the paragraphs of a hit's document against the folded query words and gives
// the best ones as short readable passages. A paragraph counts only its runs of normal,
// emphasised, link and header text (slices 5, 6, 7, 9, 10, 11, 12, 14); its score is the mean
// slice of those runs, plus for each query-word occurrence 1000 x the run's slice less a
// penalty that grows by 31 with each repeat of that word, plus 1000 / the spread of positions
// when more than one query word occurs. Up to max_passages paragraphs with query words (or,
// failing any, the first paragraph) are kept in document order, each cut at word boundaries to
// max_passage_tokens tokens around its densest group of query words.
// Ownership: keeps copies of the query words and of the paragraphs' tokens.
// Failure: none.
// Threads: one walk at a time.
class fffExtractor : public tXMLTree::visitor {
  public:
    static constexpr std::size_t max_passages = 3;
    static constexpr std::size_t max_passage_tokens = 32;

    explicit fffExtractor(std::set<std::string> query_words);
    void visit(tXMLTree& node, unsigned depth, bool closing) override;

    // The chosen passages, in document order.
    std::vector<std::string> contexts() const;
    // The passages joined by " ... ".
    std::string context_text() const;

  private:
    struct token {
        std::string text;
        bool is_query_word = false;
        bool space_before = false;
    };
    struct passage {
        std::vector<token> tokens;
        long long score = 0;
        std::size_t sequence = 0;
        bool has_query_word = false;
    };

    std::string cut(const passage& p) const;

    std::set<std::string> query_words_;
    std::vector<passage> passages_;
    // State of the paragraph being walked.
    bool in_paragraph_ = false;
    passage current_;
    unsigned runs_ = 0;
    unsigned long slice_sum_ = 0;
    long long gains_ = 0;
    std::map<std::string, long long, std::less<>> penalties_;
    std::set<std::string, std::less<>> seen_words_;
    std::size_t first_hit_ = 0, last_hit_ = 0, position_ = 0;
    bool pending_space_ = false;
    bool previous_word_ = false;  // the last token was a word (runs of one paragraph join)
    std::string folded_;
};

}  // namespace marloven
