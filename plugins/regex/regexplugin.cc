// regexplugin.cc: the RegEx plug-in ("regexplugin"): metas set from regular-expression matches
// on a document's text, title, URL or another meta. Configuration: the plug-in record's text,
// then the filter's parameters; one rule or setting a line ('#' starts a comment line):
//
//   KEY SOURCE /REGEX/FLAGS VALUE
//
//   KEY     the meta key to set (no blank, no ':')
//   SOURCE  text (all runs, paragraphs one line each), title, url, or meta:NAME (the values of
//           the documentwide metas NAME)
//   REGEX   a POSIX extended regular expression between two equal delimiters (any punctuation
//           character; "\" before the delimiter stands for the delimiter itself)
//   FLAGS   i (ignore case), g (every match, not only the first)
//   VALUE   the rest of the line: the meta's value, with $0 for the match and $1 to $9 for its
//           groups; empty means $0
//
//   maxtext=N      bytes of text searched per source (default 262144)
//   maxmatches=N   metas one rule may add per document (default 20)
//
// Cost: the expressions are POSIX ERE as the C library matches them, without backreferences
// (refused: they make matching exponential), over at most maxtext bytes per source and up to
// maxmatches matches; the host's time limit per call stops anything beyond that.
// SPDX-License-Identifier: MIT
#include <regex.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "plugin_support.h"

namespace {

using namespace vantorell_plugins;

enum class source_kind { text, title, url, meta };

struct rule {
    std::string key;
    source_kind source = source_kind::text;
    std::string meta_name;
    bool global = false;
    std::string value;  // the template
    regex_t expression{};
    bool compiled = false;

    rule() = default;
    rule(const rule&) = delete;
    rule& operator=(const rule&) = delete;
    ~rule() {
        if (compiled) {
            regfree(&expression);
        }
    }
};

struct rule_set {
    std::vector<std::unique_ptr<rule>> rules;
    std::size_t max_text = 262144;
    std::size_t max_matches = 20;
};

void log_line_error(int number, const std::string& why) {
    log_error("line " + std::to_string(number) + ": " + why);
}

std::string_view next_word(std::string_view& line) {
    line = trim(line);
    std::size_t end = line.find_first_of(" \t");
    std::string_view word = line.substr(0, end);
    line = end == std::string_view::npos ? std::string_view() : line.substr(end);
    return word;
}

bool read_rule(const config_line& line, rule_set& set) {
    std::string_view text = line.text;
    std::string name;
    std::string value;
    if (text.find_first_of(" \t") == std::string_view::npos ||
        text.find('=') < text.find_first_of(" \t")) {
        // A setting: name=value before any blank.
        if (!split_setting(text, name, value) || (name != "maxtext" && name != "maxmatches")) {
            log_line_error(line.number, "not a rule or setting: " + std::string(text));
            return false;
        }
        char* end = nullptr;
        unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || n == 0 || n > (1ull << 30)) {
            log_line_error(line.number, "bad number " + value);
            return false;
        }
        (name == "maxtext" ? set.max_text : set.max_matches) = static_cast<std::size_t>(n);
        return true;
    }
    auto r = std::make_unique<rule>();
    r->key = std::string(next_word(text));
    std::string_view source = next_word(text);
    if (r->key.find(':') != std::string::npos || !host->check_text(r->key.c_str())) {
        log_line_error(line.number, "bad key " + r->key);
        return false;
    }
    if (source == "text") {
        r->source = source_kind::text;
    } else if (source == "title") {
        r->source = source_kind::title;
    } else if (source == "url") {
        r->source = source_kind::url;
    } else if (source.substr(0, 5) == "meta:" && source.size() > 5) {
        r->source = source_kind::meta;
        r->meta_name = std::string(source.substr(5));
    } else {
        log_line_error(line.number, "unknown source " + std::string(source));
        return false;
    }
    text = trim(text);
    if (text.empty() || std::isalnum(static_cast<unsigned char>(text.front())) != 0) {
        log_line_error(line.number, "the expression needs a delimiter");
        return false;
    }
    const char delimiter = text.front();
    std::string pattern;
    std::size_t i = 1;
    for (; i < text.size() && text[i] != delimiter; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            if (text[i + 1] == delimiter) {
                pattern += delimiter;
                ++i;
                continue;
            }
            if (text[i + 1] >= '1' && text[i + 1] <= '9') {
                log_line_error(line.number, "backreferences are not allowed");
                return false;
            }
            pattern += text[i++];
        }
        pattern += text[i];
    }
    if (i >= text.size()) {
        log_line_error(line.number, "the expression has no closing delimiter");
        return false;
    }
    text = text.substr(i + 1);
    int flags = REG_EXTENDED | REG_NEWLINE;
    for (; !text.empty() && (text.front() == 'i' || text.front() == 'g'); text.remove_prefix(1)) {
        if (text.front() == 'i') {
            flags |= REG_ICASE;
        } else {
            r->global = true;
        }
    }
    if (!text.empty() && text.front() != ' ' && text.front() != '\t') {
        log_line_error(line.number, "unknown flag " + std::string(1, text.front()));
        return false;
    }
    r->value = std::string(trim(text));
    if (r->value.empty()) {
        r->value = "$0";
    }
    int rc = regcomp(&r->expression, pattern.c_str(), flags);
    if (rc != 0) {
        char why[256];
        regerror(rc, &r->expression, why, sizeof why);
        log_line_error(line.number, "bad expression: " + std::string(why));
        return false;
    }
    r->compiled = true;
    set.rules.push_back(std::move(r));
    return true;
}

bool read_rules(std::string_view text, rule_set& set) {
    for (const config_line& line : config_lines(text)) {
        if (!read_rule(line, set)) {
            return false;
        }
    }
    return true;
}

void* create(const marloven_plugin_config* config) {
    auto* set = new (std::nothrow) rule_set;
    if (set == nullptr ||
        !read_rules({config->configuration, config->configuration_length}, *set) ||
        !read_rules({config->parameters, config->parameters_length}, *set)) {
        delete set;
        return nullptr;
    }
    return set;
}

// The value template with $0..$9 replaced by the match and its groups.
std::string expand(const std::string& templ, const char* subject, const regmatch_t* groups) {
    std::string out;
    for (std::size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] == '$' && i + 1 < templ.size() && templ[i + 1] >= '0' && templ[i + 1] <= '9') {
            const regmatch_t& g = groups[templ[i + 1] - '0'];
            if (g.rm_so >= 0) {
                out.append(subject + g.rm_so, static_cast<std::size_t>(g.rm_eo - g.rm_so));
            }
            ++i;
        } else {
            out += templ[i];
        }
    }
    return out;
}

// Adds the metas of one rule's matches in `subject`; `added` counts them against the limit.
void match(const rule& r, const rule_set& set, const std::string& subject,
           marloven_fff_document* doc, std::size_t& added) {
    std::size_t at = 0;
    int eflags = 0;
    while (added < set.max_matches && at <= subject.size()) {
        regmatch_t groups[10];
        if (regexec(&r.expression, subject.c_str() + at, 10, groups, eflags) != 0) {
            return;
        }
        for (regmatch_t& g : groups) {
            if (g.rm_so >= 0) {
                g.rm_so += static_cast<regoff_t>(at);
                g.rm_eo += static_cast<regoff_t>(at);
            }
        }
        std::string value = expand(r.value, subject.c_str(), groups);
        if (!value.empty() && add_documentwide(doc, r.key, value)) {
            ++added;
        }
        if (!r.global) {
            return;
        }
        auto next = static_cast<std::size_t>(groups[0].rm_eo);
        if (groups[0].rm_eo == groups[0].rm_so) {
            // An empty match: step over one character (a UTF-8 lead byte and its followers).
            ++next;
            while (next < subject.size() &&
                   (static_cast<unsigned char>(subject[next]) & 0xC0) == 0x80) {
                ++next;
            }
        }
        at = next;
        eflags = REG_NOTBOL;
    }
}

int transform(void* instance, marloven_fff_document* doc) {
    const rule_set& set = *static_cast<rule_set*>(instance);
    std::string text;
    std::string title;
    bool have_text = false;
    bool have_title = false;
    for (const auto& r : set.rules) {
        std::vector<std::string> subjects;
        switch (r->source) {
            case source_kind::text:
                if (!have_text) {
                    text = document_text(
                        doc, [](std::uint32_t) { return true; }, set.max_text);
                    have_text = true;
                }
                subjects.push_back(text);
                break;
            case source_kind::title:
                if (!have_title) {
                    title = document_text(
                        doc, [](std::uint32_t d) { return d == MARLOVEN_SLICE_TITLE; },
                        set.max_text);
                    have_title = true;
                }
                subjects.push_back(title);
                break;
            case source_kind::url:
                subjects.emplace_back(doc->url);
                break;
            case source_kind::meta:
                // Copied first: the metas this rule adds move the array.
                for (std::uint32_t m = 0; m < doc->meta_count; ++m) {
                    const marloven_fff_meta& meta = doc->metas[m];
                    if (meta.type == MARLOVEN_META_DOCUMENTWIDE && r->meta_name == meta.key) {
                        subjects.emplace_back(std::string(meta.value).substr(0, set.max_text));
                    }
                }
                break;
        }
        std::size_t added = 0;
        for (const std::string& subject : subjects) {
            match(*r, set, subject, doc, added);
        }
    }
    return 0;
}

}  // namespace

extern "C" MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(
    const marloven_host_services* services, marloven_plugin_regdata* regdata) {
    return register_plugin(services, regdata, "RegEx",
                           "Adds metadata based on regular expression matches", create,
                           destroy_instance<rule_set>, transform);
}
