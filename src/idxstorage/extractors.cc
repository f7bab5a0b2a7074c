// extractors.cc: the words extractor and the context extractor.
// SPDX-License-Identifier: MIT
#include "idxstorage/extractors.h"

#include <algorithm>

#include "idxstorage/index_protocol.h"
#include "util/charsets.h"
#include "worker/FFF/FFF.h"
#include "worker/FFF/renderers.h"

namespace marloven {

bool fold_index_word(std::string_view word, std::string& folded) {
    if (word.empty() || !fold_utf8(word, folded) || folded.size() > max_index_word) {
        return false;
    }
    std::size_t pos = 0;
    while (pos < folded.size()) {
        if (!is_word_char(decode_utf8(folded, pos).code_point)) {
            return false;
        }
    }
    return true;
}

namespace {

// Appends the tokens of one run the way the renderers print them: one space between two word
// tokens, none next to punctuation.
void join_run(const FFF::word_list& words, std::string& out) {
    bool previous_word = false;
    for (std::string_view w : words) {
        bool is_word = FFF::is_word_token(w);
        if (is_word && previous_word) {
            out += ' ';
        }
        out += w;
        previous_word = is_word;
    }
}

bool counts_for_context(std::uint32_t slice) {
    switch (slice) {
        case FFF::slice::marginalNorm:
        case FFF::slice::marginalEmph:
        case FFF::slice::marginalLink:
        case FFF::slice::marginaHeader:
        case FFF::slice::centralNorm:
        case FFF::slice::centralEmph:
        case FFF::slice::centralLink:
        case FFF::slice::centralHeader:
            return true;
        default:
            return false;
    }
}

}  // namespace

void words_extractor::add_token(std::string_view term, std::uint32_t slice) {
    if (!text_.empty()) {
        text_ += index_protocol::token_separator;
    }
    text_ += term;
    text_ += static_cast<char>(slice + index_protocol::slice_byte_offset);
}

void words_extractor::visit(tXMLTree& node, unsigned /*depth*/, bool closing) {
    if (dynamic_cast<FFF::DocumentData*>(&node) != nullptr) {
        if (closing) {
            finished_ = true;
        }
        return;
    }
    if (closing) {
        return;
    }
    if (auto* contents = dynamic_cast<FFF::Contents*>(&node)) {
        for (const FFF::meta& m : contents->metas()) {
            add_token(m.key + ":" + m.value, m.dictid);
        }
        return;
    }
    if (auto* low = dynamic_cast<FFF::Low*>(&node)) {
        for (std::string_view w : low->words) {
            if (fold_index_word(w, folded_)) {
                add_token(folded_, low->dictid);
            }
        }
        if (low->dictid == FFF::slice::title) {
            join_run(low->words, title_);
        }
    }
}

fffExtractor::fffExtractor(std::set<std::string> query_words)
    : query_words_(std::move(query_words)) {}

void fffExtractor::visit(tXMLTree& node, unsigned /*depth*/, bool closing) {
    if (dynamic_cast<FFF::P*>(&node) != nullptr) {
        if (!closing) {
            in_paragraph_ = true;
            current_ = passage{};
            runs_ = 0;
            slice_sum_ = 0;
            gains_ = 0;
            penalties_.clear();
            seen_words_.clear();
            position_ = 0;
            pending_space_ = false;
            previous_word_ = false;
            return;
        }
        in_paragraph_ = false;
        if (runs_ == 0) {
            return;
        }
        current_.score = static_cast<long long>(slice_sum_ / runs_) + gains_;
        if (seen_words_.size() > 1 && last_hit_ > first_hit_) {
            current_.score += static_cast<long long>(1000 / (last_hit_ - first_hit_));
        }
        current_.sequence = passages_.size();
        passages_.push_back(std::move(current_));
        return;
    }
    if (!in_paragraph_) {
        return;
    }
    if (dynamic_cast<FFF::S*>(&node) != nullptr) {
        if (closing) {
            pending_space_ = true;
        }
        return;
    }
    auto* low = dynamic_cast<FFF::Low*>(&node);
    if (low == nullptr || closing || !counts_for_context(low->dictid)) {
        return;
    }
    ++runs_;
    slice_sum_ += low->dictid;
    for (std::string_view w : low->words) {
        token t;
        t.text = w;
        bool is_word = FFF::is_word_token(w);
        t.space_before = pending_space_ || (is_word && previous_word_);
        pending_space_ = false;
        previous_word_ = is_word;
        if (fold_utf8(w, folded_) && query_words_.count(folded_) > 0) {
            t.is_query_word = true;
            long long& penalty = penalties_[folded_];
            gains_ += 1000LL * low->dictid - penalty;
            penalty += 31;
            if (!current_.has_query_word) {
                first_hit_ = position_;
            }
            last_hit_ = position_;
            seen_words_.insert(folded_);
            current_.has_query_word = true;
        }
        current_.tokens.push_back(std::move(t));
        ++position_;
    }
}

std::string fffExtractor::cut(const passage& p) const {
    const auto& tokens = p.tokens;
    std::size_t begin = 0;
    std::size_t end = tokens.size();
    if (tokens.size() > max_passage_tokens) {
        // The window of max_passage_tokens tokens, starting a few tokens before a query word,
        // that holds the most query words.
        constexpr std::size_t lead = 4;
        std::size_t best_count = 0;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (!tokens[i].is_query_word) {
                continue;
            }
            std::size_t start = i > lead ? i - lead : 0;
            start = std::min(start, tokens.size() - max_passage_tokens);
            std::size_t count = 0;
            for (std::size_t j = start; j < start + max_passage_tokens; ++j) {
                count += tokens[j].is_query_word ? 1 : 0;
            }
            if (count > best_count) {
                best_count = count;
                begin = start;
            }
        }
        end = begin + max_passage_tokens;
    }
    std::string text;
    for (std::size_t i = begin; i < end; ++i) {
        if (!text.empty() && tokens[i].space_before) {
            text += ' ';
        }
        text += tokens[i].text;
    }
    return text;
}

std::vector<std::string> fffExtractor::contexts() const {
    std::vector<const passage*> chosen;
    for (const passage& p : passages_) {
        if (p.has_query_word) {
            chosen.push_back(&p);
        }
    }
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const passage* a, const passage* b) { return a->score > b->score; });
    if (chosen.size() > max_passages) {
        chosen.resize(max_passages);
    }
    if (chosen.empty() && !passages_.empty()) {
        chosen.push_back(&passages_.front());
    }
    std::sort(chosen.begin(), chosen.end(),
              [](const passage* a, const passage* b) { return a->sequence < b->sequence; });
    std::vector<std::string> out;
    for (const passage* p : chosen) {
        std::string text = cut(*p);
        if (!text.empty()) {
            out.push_back(std::move(text));
        }
    }
    return out;
}

std::string fffExtractor::context_text() const {
    std::string out;
    for (const std::string& c : contexts()) {
        if (!out.empty()) {
            out += " ... ";
        }
        out += c;
    }
    return out;
}

}  // namespace marloven
