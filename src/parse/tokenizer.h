// tokenizer.h: splitting UTF-8 text into the tokens of FFF runs: words and punctuation, one
// token each, without spaces.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace marloven {

// The longest token kept whole, in bytes; longer words are cut into pieces of at most this
// size (at character boundaries), so that a page of base64 cannot make one huge index term.
inline constexpr std::size_t max_token_bytes = 128;

// Calls `emit` for each token of `text`, in order. Rules, by Unicode class:
// - letters, numbers and marks form words; every other visible character ends a word, also
//   inside "don't", "max_connections" or "3.14": a word token holds word characters only, which
//   is what the index keeps and what the query parsers split a searched term into, and the
//   renderers write the pieces back without spaces between a word and a punctuation token;
// - each Han, Hiragana or Katakana character is a token of its own (those scripts do not
//   separate words);
// - punctuation and symbols are tokens of their own; a run of the same character is one token
//   ("...", "--");
// - separators and control characters separate tokens; format characters (soft hyphen,
//   zero-width joiners) are dropped without separating;
// - invalid UTF-8 separates tokens and is dropped.
void tokenize(std::string_view text, const std::function<void(std::string_view)>& emit);

// True for the tokens after which a sentence ends: ".", "!", "?" (alone or mixed, as "?!"),
// and their CJK forms; not an ellipsis.
bool ends_sentence(std::string_view token);

}  // namespace marloven
