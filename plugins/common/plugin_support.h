// plugin_support.h: what the default plug-ins share: their registration, the host's services,
// reading their configuration texts (name=value lines), adding metas, and the plain text of a
// document. Built into each plug-in (each library has its own copy of the variables); like the
// plug-ins, it needs nothing but vantorell/plugin.h.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vantorell/plugin.h"

namespace vantorell_plugins {

// The host's services and this plug-in's registration record, from registration to unregister.
inline const marloven_host_services* host = nullptr;
inline marloven_plugin_regdata* self = nullptr;

// Writes "Plugin <name>: <message>" to the server's log at level ERROR.
inline void log_error(const std::string& message) {
    host->log_error(self, message.c_str());
}

// config_destroy of a plug-in whose instances are `Instance` objects made with new.
template <typename Instance>
void destroy_instance(void* instance) {
    delete static_cast<Instance*>(instance);
}

// Fills the registration record of an ARCHIVEFFF plug-in and keeps the host's table; the
// plug-in's export returns what this returns.
inline int register_plugin(const marloven_host_services* services, marloven_plugin_regdata* regdata,
                           const char* name, const char* description,
                           void* (*create)(const marloven_plugin_config*), void (*destroy)(void*),
                           int (*transform)(void*, marloven_fff_document*)) {
    host = services;
    self = regdata;
    regdata->interface_version = MARLOVEN_PLUGIN_INTERFACE_VERSION;
    regdata->type = ARCHIVEFFF_PLUGINTYPE;
    regdata->name = name;
    regdata->description = description;
    regdata->unregister = [] {
        host = nullptr;
        self = nullptr;
    };
    regdata->config_create = create;
    regdata->config_destroy = destroy;
    regdata->fff_transform = transform;
    return 0;
}

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// One meaningful line of a configuration text.
struct config_line {
    int number = 0;  // from 1
    std::string_view text;
};

// The lines of `text` that are neither blank nor comments (first non-blank character '#'),
// trimmed; CR LF and LF both end a line.
inline std::vector<config_line> config_lines(std::string_view text) {
    std::vector<config_line> out;
    int number = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.front() != '#') {
            out.push_back({number, line});
        }
    }
    return out;
}

// Splits "name = value" at the first '='; false when there is none or the name is empty.
inline bool split_setting(std::string_view line, std::string& name, std::string& value) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    name = std::string(trim(line.substr(0, eq)));
    value = std::string(trim(line.substr(eq + 1)));
    return !name.empty();
}

// Adds a documentwide meta; false when the host refuses it.
inline bool add_documentwide(marloven_fff_document* doc, const std::string& key,
                             const std::string& value) {
    marloven_fff_meta m{MARLOVEN_META_DOCUMENTWIDE, 0, key.c_str(), value.c_str(), 0, 0};
    return host->add_meta(doc, &m) != 0;
}

// The text of the runs whose slice `wanted` accepts: tokens joined by blanks, paragraphs by a
// line feed, at most `max_bytes` bytes (cut at a token's end).
template <typename Wanted>
std::string document_text(const marloven_fff_document* doc, Wanted wanted, std::size_t max_bytes) {
    std::string text;
    std::uint32_t paragraph = 0;
    for (std::uint32_t r = 0; r < doc->run_count; ++r) {
        const marloven_fff_run& run = doc->runs[r];
        if (!wanted(run.dictid)) {
            continue;
        }
        for (std::uint32_t w = 0; w < run.word_count; ++w) {
            std::string_view word(run.words[w]);
            if (text.size() + word.size() + 1 > max_bytes) {
                return text;
            }
            if (!text.empty()) {
                text += run.paragraph != paragraph ? '\n' : ' ';
            }
            paragraph = run.paragraph;
            text += word;
        }
    }
    return text;
}

}  // namespace vantorell_plugins
