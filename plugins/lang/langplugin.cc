// langplugin.cc: SLR, the stochastic language recogniser ("langplugin"): an FFF plug-in that
// tells the language of each document from its text, sets it as the document's language meta,
// and marks paragraphs written in another language with ranged language metas.
// Trained when a document filter is configured: from the plug-in record's configuration when it
// holds a training text, else from the built-in one. Settings come from the filter's parameters.
// SPDX-License-Identifier: MIT
#include <charconv>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ngram_model.h"
#include "plugin_support.h"
#include "training_text.h"

namespace {

using namespace marloven::slr;
using namespace vantorell_plugins;

// The document filter's parameters: name=value lines ('#' starts a comment line).
struct settings {
    int order = 4;  // n-gram length of the models
    // A document needs this many letters that the training text knows to be given a language.
    std::size_t min_document_letters = 10;
    // A paragraph needs this many known letters to be marked as another language, and must fit
    // that language better than the document's by `run_margin` nats a symbol on average.
    std::size_t min_run_letters = 60;
    double run_margin = 0.1;
    // The text read from one document at most, in bytes: the bound of a document's cost.
    std::size_t max_text_bytes = std::size_t{256} * 1024;
    // The training text needs this many letters for each language.
    std::size_t min_training_letters = 200;
};

constexpr std::size_t max_marked_runs = 1000;

struct instance {
    settings config;
    ngram_model model;
};

template <typename Number>
bool parse_number(const std::string& text, Number& out, Number low, Number high) {
    Number value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

// Reads the parameters into `s`; the reason when a line is not understood.
std::string read_settings(std::string_view text, settings& s) {
    for (const config_line& line : config_lines(text)) {
        std::string name;
        std::string value;
        constexpr std::size_t large = std::size_t{1} << 30;
        bool ok = false;
        const char* range = "";
        if (!split_setting(line.text, name, value)) {
            range = "a name=value line";
        } else if (name == "order") {
            ok = parse_number(value, s.order, 1, ngram_model::max_order);
            range = "1 to 5";
        } else if (name == "min_document_letters") {
            ok = parse_number<std::size_t>(value, s.min_document_letters, 1, large);
            range = "a positive integer";
        } else if (name == "min_run_letters") {
            ok = parse_number<std::size_t>(value, s.min_run_letters, 1, large);
            range = "a positive integer";
        } else if (name == "run_margin") {
            ok = parse_number(value, s.run_margin, 0.0, 10.0);
            range = "a number from 0 to 10";
        } else if (name == "max_text_bytes") {
            ok = parse_number<std::size_t>(value, s.max_text_bytes, 1, large);
            range = "a positive integer";
        } else if (name == "min_training_letters") {
            ok = parse_number<std::size_t>(value, s.min_training_letters, 1, large);
            range = "a positive integer";
        } else {
            return "parameter line " + std::to_string(line.number) + ": unknown setting '" +
                   name.substr(0, 64) + "'";
        }
        if (!ok) {
            return "parameter line " + std::to_string(line.number) + ": expected " + range +
                   ", found '" + std::string(line.text.substr(0, 64)) + "'";
        }
    }
    return {};
}

// A text folded by the host (the index's case folding), released with the host's allocator.
struct folded {
    explicit folded(std::string_view text) : data(host->fold(std::string(text).c_str())) {}
    ~folded() { host->free(data); }
    folded(const folded&) = delete;
    folded& operator=(const folded&) = delete;
    char* data;
};

// The instance of a document filter, or the reason it cannot be made.
std::unique_ptr<instance> configure(const marloven_plugin_config& config, std::string& error) {
    settings s;
    error = read_settings({config.parameters, config.parameters_length}, s);
    if (!error.empty()) {
        return nullptr;
    }
    std::string_view text(config.configuration, config.configuration_length);
    bool blank = text.find_first_not_of(" \t\r\n") == std::string_view::npos;
    training_result training = read_training_text(blank ? builtin_training_text() : text);
    if (!training.error.empty()) {
        error = training.error;
        return nullptr;
    }
    std::vector<std::unique_ptr<folded>> lower;
    std::vector<ngram_model::language_text> languages;
    for (const training_section& section : training.sections) {
        lower.push_back(std::make_unique<folded>(section.text));
        if (lower.back()->data == nullptr) {
            error = "the host could not fold the text of language '" + section.code + "'";
            return nullptr;
        }
        languages.push_back({section.code, lower.back()->data});
    }
    auto made = std::make_unique<instance>(instance{s, ngram_model::train(languages, s.order)});
    for (std::size_t l = 0; l < training.sections.size(); ++l) {
        std::size_t letters = made->model.training_letters()[l];
        if (letters < s.min_training_letters) {
            error = "training text line " + std::to_string(training.sections[l].line) +
                    ": language '" + training.sections[l].code + "' has " +
                    std::to_string(letters) + " letters of text, fewer than the " +
                    std::to_string(s.min_training_letters) + " needed";
            return nullptr;
        }
    }
    return made;
}

void* create(const marloven_plugin_config* config) {
    std::string error;
    try {
        if (auto made = configure(*config, error)) {
            std::string codes;
            for (const std::string& code : made->model.languages()) {
                codes += (codes.empty() ? "" : " ") + code;
            }
            std::string message = "Docfilter " + std::to_string(config->docfilter_id) +
                                  " knows the languages " + codes;
            host->log_debug(self, message.c_str());
            return made.release();
        }
    } catch (const std::bad_alloc&) {
        error = "out of memory while training";
    }
    std::string message = "Cannot configure docfilter " + std::to_string(config->docfilter_id) +
                          " (" + (config->docfilter_name ? config->docfilter_name : "") +
                          "): " + error;
    log_error(message);
    return nullptr;
}

// One paragraph's worth of text: the runs of one paragraph, in document order.
struct segment {
    std::string text;
    std::uint32_t first = 0;  // position of its first token
    std::uint32_t last = 0;   // position of its last token
    text_score score;
};

// The document's text by paragraph, at most `max_bytes` bytes. Invisible runs (keywords and
// such that the page does not show) say little about the language of its text.
std::vector<segment> collect_segments(const marloven_fff_document& doc, std::size_t max_bytes) {
    std::vector<segment> out;
    std::size_t bytes = 0;
    std::uint32_t paragraph = 0;
    for (std::uint32_t r = 0; r < doc.run_count && bytes < max_bytes; ++r) {
        const marloven_fff_run& run = doc.runs[r];
        if (run.dictid == MARLOVEN_SLICE_INVISIBLE || run.word_count == 0) {
            continue;
        }
        if (out.empty() || run.paragraph != paragraph) {
            out.emplace_back().first = run.position;
            paragraph = run.paragraph;
        }
        segment& s = out.back();
        for (std::uint32_t w = 0; w < run.word_count && bytes < max_bytes; ++w) {
            std::string_view word(run.words[w]);
            word = word.substr(0, max_bytes - bytes);
            s.text.append(word).push_back(' ');
            bytes += word.size() + 1;
            s.last = run.position + w;
        }
    }
    return out;
}

int transform(void* p, marloven_fff_document* doc) {
    try {
        const instance& in = *static_cast<const instance*>(p);
        std::vector<segment> segments = collect_segments(*doc, in.config.max_text_bytes);
        text_score whole;
        for (segment& s : segments) {
            folded lower(s.text);
            if (lower.data != nullptr) {
                in.model.score(lower.data, s.score);
            }
            if (s.score.log_likelihood.empty()) {
                continue;
            }
            whole.log_likelihood.resize(s.score.log_likelihood.size());
            for (std::size_t l = 0; l < whole.log_likelihood.size(); ++l) {
                whole.log_likelihood[l] += s.score.log_likelihood[l];
            }
            whole.known_letters += s.score.known_letters;
        }
        if (whole.known_letters < in.config.min_document_letters) {
            return 0;  // too little text to tell: the document keeps what it had
        }
        const std::vector<std::string>& codes = in.model.languages();
        const std::size_t language = whole.best();
        if (host->set_language(doc, codes[language].c_str()) == 0) {
            return 1;
        }
        // Paragraphs of another language, neighbours of the same language joined.
        int refused = 0;
        std::size_t marked = 0;
        const segment* open = nullptr;
        std::size_t open_language = 0;
        std::uint32_t open_last = 0;
        auto close = [&] {
            if (open == nullptr) {
                return;
            }
            marloven_fff_meta m{MARLOVEN_META_RANGED,         0,           MARLOVEN_META_LANGUAGE,
                                codes[open_language].c_str(), open->first, open_last};
            refused += host->add_meta(doc, &m) == 0 ? 1 : 0;
            ++marked;
            open = nullptr;
        };
        for (const segment& s : segments) {
            if (marked == max_marked_runs) {
                break;
            }
            std::size_t best = s.score.log_likelihood.empty() ? language : s.score.best();
            bool foreign = best != language && s.score.known_letters >= in.config.min_run_letters &&
                           s.score.margin(best, language) >= in.config.run_margin;
            if (open != nullptr && (!foreign || best != open_language)) {
                close();
            }
            if (foreign && open == nullptr) {
                open = &s;
                open_language = best;
            }
            if (foreign) {
                open_last = s.last;
            }
        }
        if (marked < max_marked_runs) {
            close();
        }
        return refused;
    } catch (...) {
        // Out of memory on a huge document: the document goes on as it is.
        log_error("Out of memory while reading a document");
        return 1;
    }
}

}  // namespace

extern "C" MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(
    const marloven_host_services* services, marloven_plugin_regdata* regdata) {
    return register_plugin(services, regdata, "SLR", "Stochastic Language Recognizer", create,
                           destroy_instance<instance>, transform);
}
