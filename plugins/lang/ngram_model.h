// ngram_model.h: the statistical model of the language recogniser: one character n-gram
// language model per language, trained from the sections of a training text.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace marloven::slr {

// How well a text fits each language.
struct text_score {
    std::vector<double> log_likelihood;  // per language, in the model's order; natural logarithm
    std::size_t letters = 0;             // letters of the text
    std::size_t known_letters = 0;       // of them, letters that occur in the training text
    std::size_t symbols = 0;             // symbols predicted: known letters, unknown ones, gaps

    // The language that fits best (the first of equals); the text must have been scored.
    std::size_t best() const;
    // What one symbol of the text fits `a` better than `b`, on average, in nats.
    double margin(std::size_t a, std::size_t b) const;
};

// Purpose: tells the language of a text. Each language has a model of the probability of each
// character given the up to order-1 characters before it, smoothed by Witten-Bell interpolation
// down to a uniform distribution over the alphabet; a text is scored by the log-likelihood of
// its characters under each language's model. Text is reduced to the model's symbols first:
// letters (ASCII letters are put in lower case; callers fold the rest beforehand), the
// apostrophe between two letters, and one word gap for every run of anything else.
// Ownership: owns its tables; immutable after train().
// Failure: none once trained; train() needs sections with text.
// Threads: const calls from any number of threads.
class ngram_model {
  public:
    static constexpr int max_order = 5;

    struct language_text {
        std::string code;
        std::string_view text;  // lower-case UTF-8
    };
    // Trains a model of the given order (1 to max_order) on each language's text.
    static ngram_model train(const std::vector<language_text>& languages, int order);

    const std::vector<std::string>& languages() const { return codes_; }
    // The letters each language's training text held.
    const std::vector<std::size_t>& training_letters() const { return training_letters_; }
    int order() const { return order_; }

    // Adds the fit of `text` (lower-case UTF-8; invalid bytes count as word gaps) to `score`,
    // whose log_likelihood has one entry per language (or is empty, and is then sized).
    void score(std::string_view text, text_score& score) const;

  private:
    using key = std::uint64_t;
    using symbol = std::uint16_t;

    using alphabet_map = std::unordered_map<char32_t, symbol>;

    ngram_model() = default;
    // Appends the symbols of `text` to `out`, each word gap one 0, starting and ending with a
    // gap. Letters missing from `alphabet` are added to it when `learning` points to it, and
    // are the unknown letter otherwise.
    static void symbolise(std::string_view text, const alphabet_map& alphabet,
                          alphabet_map* learning, std::vector<symbol>& out, std::size_t& letters,
                          std::size_t& known);
    static key pack(const symbol* first, int count);

    std::vector<std::string> codes_;
    std::vector<std::size_t> training_letters_;
    int order_ = 0;
    alphabet_map alphabet_;  // letter -> symbol (from 2 on)
    float uniform_ = 0;      // log(1 / alphabet size)
    // n-gram (context and last symbol) -> row of log P(symbol | context), one per language;
    // `unseen` where the language never saw the n-gram.
    std::unordered_map<key, std::uint32_t> ngram_rows_;
    std::vector<float> ngram_log_p_;
    // context -> row of the log of the weight given to the shorter context, per language; 0
    // (weight 1) where the language never saw the context.
    std::unordered_map<key, std::uint32_t> context_rows_;
    std::vector<float> context_log_w_;
};

}  // namespace marloven::slr
