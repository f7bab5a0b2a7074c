// fff_builder.h: building an FFF document token by token, as the HTML and text parsers walk a
// page: paragraphs, sentences, runs of one slice, the link table and the metas, with the
// checksum of the core text kept on the way.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "worker/FFF/FFF.h"

namespace marloven {

// The slices of the core text: central text and title (10 to 15).
constexpr bool is_core_slice(std::uint32_t dictid) {
    return dictid >= FFF::slice::centralNorm && dictid <= FFF::slice::title;
}

// Purpose: appends tokens to a new FFF document; a paragraph and a sentence are opened with
// their first token, so no empty nodes are made.
// Ownership: owns the document until finish() hands it over.
// Failure: none.
// Threads: one thread at a time.
class fff_builder {
  public:
    fff_builder();

    // The next token starts a new paragraph (and sentence).
    void break_paragraph();
    // The next token starts a new sentence.
    void break_sentence();
    // Appends the tokens of `text` (see parse/tokenizer.h) as runs of slice `dictid`; `urlid`
    // counts only for the link slices. A sentence ends after ".", "!", "?" and the like.
    void add_text(std::string_view text, std::uint32_t dictid, std::uint32_t urlid = 0);
    void add_token(std::string_view token, std::uint32_t dictid, std::uint32_t urlid = 0);
    // Enters `url` in the link table and returns its id; a URL seen before keeps its id and
    // the higher of its two scores.
    std::uint32_t add_link(std::string_view url, std::uint32_t score);
    void add_meta(FFF::meta m);

    std::size_t token_count() const { return tokens_; }
    // CRC-32 of the core text: the tokens of the central and title slices (10 to 15), each
    // followed by a blank, with a line feed after each paragraph that had any. Boilerplate
    // (the marginal slices) and metadata do not count, so a changed date in a page footer
    // leaves it alone.
    std::uint32_t core_crc() const { return core_crc_; }

    // The document, with `score` as its document score. Call once; the builder is spent.
    std::unique_ptr<FFF::DocumentData> finish(std::uint32_t score);

  private:
    std::unique_ptr<FFF::DocumentData> doc_;
    FFF::Contents* contents_ = nullptr;
    FFF::P* p_ = nullptr;
    FFF::S* s_ = nullptr;
    FFF::Low* low_ = nullptr;
    bool core_in_paragraph_ = false;
    std::uint32_t core_crc_ = 0;
    std::size_t tokens_ = 0;
};

// The core-text checksum of a finished document, by the rule of fff_builder::core_crc() (a
// paragraph is a P node): for a document the builder made, the value the builder gave. The
// worker computes it again after document filters changed the text.
std::uint32_t core_crc(const FFF::DocumentData& doc);

}  // namespace marloven
