// ngram_model.cc: training and scoring of the character n-gram models.
// SPDX-License-Identifier: MIT
#include "ngram_model.h"

#include <algorithm>
#include <cmath>

#include "utf8.h"

namespace marloven::slr {

namespace {

// Symbols are packed 12 bits each into a key, with the n-gram's length in the top 4 bits.
constexpr int symbol_bits = 12;
constexpr std::uint16_t max_symbols = 1 << symbol_bits;
constexpr std::uint16_t gap = 0;
constexpr std::uint16_t unknown_letter = 1;
constexpr std::uint64_t symbols_mask = (std::uint64_t{1} << 60) - 1;
// The log-probability row entry of a language that never saw the n-gram (log-probabilities are
// below 0, so no real entry equals it).
constexpr float unseen = 1.0f;

int length_of(std::uint64_t k) {
    return static_cast<int>(k >> 60);
}
// The n-gram without its last symbol: the context it was seen in.
std::uint64_t context_of(std::uint64_t k) {
    int n = length_of(k);
    return n <= 1 ? 0 : ((k & symbols_mask) >> symbol_bits) | (std::uint64_t(n - 1) << 60);
}
// The n-gram without its first symbol: the next shorter n-gram.
std::uint64_t shorter(std::uint64_t k) {
    int n = length_of(k);
    std::uint64_t mask = (std::uint64_t{1} << (symbol_bits * (n - 1))) - 1;
    return (k & mask) | (std::uint64_t(n - 1) << 60);
}

bool is_apostrophe(char32_t cp) {
    return cp == U'\'' || cp == U'\u2019' || cp == U'\u02BC';
}

}  // namespace

std::size_t text_score::best() const {
    return log_likelihood.empty()
               ? 0
               : static_cast<std::size_t>(
                     std::max_element(log_likelihood.begin(), log_likelihood.end()) -
                     log_likelihood.begin());
}

double text_score::margin(std::size_t a, std::size_t b) const {
    return (log_likelihood[a] - log_likelihood[b]) /
           static_cast<double>(std::max<std::size_t>(symbols, 1));
}

ngram_model::key ngram_model::pack(const symbol* first, int count) {
    key k = std::uint64_t(count) << 60;
    for (int i = 0; i < count; ++i) {
        k |= std::uint64_t(first[i]) << (symbol_bits * (count - 1 - i));
    }
    return k;
}

void ngram_model::symbolise(std::string_view text, const alphabet_map& alphabet,
                            alphabet_map* learning, std::vector<symbol>& out, std::size_t& letters,
                            std::size_t& known) {
    auto symbol_of = [&](char32_t cp) -> symbol {
        auto it = alphabet.find(cp);
        if (it != alphabet.end()) {
            return it->second;
        }
        if (learning == nullptr || alphabet.size() + 2 >= max_symbols) {
            return unknown_letter;
        }
        return learning->emplace(cp, static_cast<symbol>(alphabet.size() + 2)).first->second;
    };
    out.push_back(gap);
    bool apostrophe = false;  // an apostrophe after a letter, kept if a letter follows
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t cp;
        if (!decode_utf8(text, pos, cp)) {
            cp = U' ';
        }
        if (cp >= U'A' && cp <= U'Z') {
            cp += U'a' - U'A';
        }
        if (!is_letter(cp)) {
            apostrophe = is_apostrophe(cp) && out.back() != gap && !apostrophe;
            if (!apostrophe && out.back() != gap) {
                out.push_back(gap);
            }
            continue;
        }
        if (apostrophe) {
            out.push_back(symbol_of(U'\''));
            apostrophe = false;
        }
        ++letters;
        symbol s = symbol_of(cp);
        known += s != unknown_letter ? 1 : 0;
        out.push_back(s);
    }
    if (out.back() != gap) {
        out.push_back(gap);
    }
}

ngram_model ngram_model::train(const std::vector<language_text>& languages, int order) {
    ngram_model m;
    m.order_ = std::clamp(order, 1, max_order);
    std::vector<std::vector<symbol>> streams(languages.size());
    for (std::size_t l = 0; l < languages.size(); ++l) {
        m.codes_.push_back(languages[l].code);
        std::size_t letters = 0;
        std::size_t known = 0;
        symbolise(languages[l].text, m.alphabet_, &m.alphabet_, streams[l], letters, known);
        m.training_letters_.push_back(letters);
    }
    const std::size_t n_languages = languages.size();
    const double alphabet_size = static_cast<double>(m.alphabet_.size() + 2);
    m.uniform_ = static_cast<float>(-std::log(alphabet_size));

    for (std::size_t l = 0; l < n_languages; ++l) {
        const std::vector<symbol>& s = streams[l];
        // Counts of the n-grams of each length, and of the contexts they follow: how often a
        // context was followed by anything, and by how many different symbols.
        std::vector<std::unordered_map<key, std::uint32_t>> counts(m.order_ + 1);
        for (std::size_t i = 0; i < s.size(); ++i) {
            int longest = static_cast<int>(std::min<std::size_t>(m.order_, i + 1));
            for (int n = 1; n <= longest; ++n) {
                ++counts[n][pack(&s[i + 1 - n], n)];
            }
        }
        struct context_counts {
            std::uint32_t total = 0;
            std::uint32_t types = 0;
        };
        std::unordered_map<key, context_counts> contexts;
        for (int n = 1; n <= m.order_; ++n) {
            for (const auto& [k, c] : counts[n]) {
                context_counts& cc = contexts[context_of(k)];
                cc.total += c;
                ++cc.types;
            }
        }
        // Witten-Bell: P(c | h) = (C(hc) + T(h) P(c | h')) / (C(h) + T(h)), where h' is h
        // without its first symbol, T(h) the number of different symbols seen after h, and
        // below the shortest context the uniform distribution. Every suffix of a seen n-gram
        // was seen too, so the shorter estimate is always at hand.
        std::unordered_map<key, double> p;
        for (int n = 1; n <= m.order_; ++n) {
            for (const auto& [k, c] : counts[n]) {
                const context_counts& cc = contexts[context_of(k)];
                double lower = n == 1 ? 1.0 / alphabet_size : p[shorter(k)];
                double value = (c + cc.types * lower) / (cc.total + cc.types);
                p[k] = value;
                auto [row, fresh] = m.ngram_rows_.emplace(
                    k, static_cast<std::uint32_t>(m.ngram_log_p_.size() / n_languages));
                if (fresh) {
                    m.ngram_log_p_.resize(m.ngram_log_p_.size() + n_languages, unseen);
                }
                m.ngram_log_p_[row->second * n_languages + l] = static_cast<float>(std::log(value));
            }
        }
        for (const auto& [k, cc] : contexts) {
            auto [row, fresh] = m.context_rows_.emplace(
                k, static_cast<std::uint32_t>(m.context_log_w_.size() / n_languages));
            if (fresh) {
                m.context_log_w_.resize(m.context_log_w_.size() + n_languages, 0.0f);
            }
            m.context_log_w_[row->second * n_languages + l] =
                static_cast<float>(std::log(double(cc.types) / (cc.total + cc.types)));
        }
    }
    return m;
}

void ngram_model::score(std::string_view text, text_score& score) const {
    const std::size_t n_languages = codes_.size();
    if (score.log_likelihood.size() != n_languages) {
        score.log_likelihood.assign(n_languages, 0.0);
    }
    std::vector<symbol> s;
    s.reserve(text.size() + 2);
    symbolise(text, alphabet_, nullptr, s, score.letters, score.known_letters);
    std::vector<float> backoff(n_languages);
    std::vector<char> done(n_languages);
    for (std::size_t i = 1; i < s.size(); ++i) {
        std::fill(backoff.begin(), backoff.end(), 0.0f);
        std::fill(done.begin(), done.end(), 0);
        std::size_t left = n_languages;
        // From the longest n-gram ending here down to the single symbol: a language takes the
        // longest one it has seen, after the weights of the longer contexts it passed.
        for (int n = static_cast<int>(std::min<std::size_t>(order_, i + 1)); n >= 1 && left > 0;
             --n) {
            key k = pack(&s[i + 1 - n], n);
            if (auto row = ngram_rows_.find(k); row != ngram_rows_.end()) {
                const float* log_p = &ngram_log_p_[row->second * n_languages];
                for (std::size_t l = 0; l < n_languages; ++l) {
                    if (!done[l] && log_p[l] != unseen) {
                        score.log_likelihood[l] += backoff[l] + log_p[l];
                        done[l] = 1;
                        --left;
                    }
                }
            }
            if (auto row = context_rows_.find(context_of(k)); row != context_rows_.end()) {
                const float* log_w = &context_log_w_[row->second * n_languages];
                for (std::size_t l = 0; l < n_languages; ++l) {
                    backoff[l] += log_w[l];
                }
            }
        }
        for (std::size_t l = 0; l < n_languages; ++l) {
            if (!done[l]) {
                score.log_likelihood[l] += backoff[l] + uniform_;
            }
        }
    }
    score.symbols += s.size() - 1;
}

}  // namespace marloven::slr
