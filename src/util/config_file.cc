// config_file.cc: reading the configuration file and its companions.
// SPDX-License-Identifier: MIT
#include "util/config_file.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <vector>

namespace marloven {

std::optional<std::string> get_environment(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) {
        return std::nullopt;
    }
    return std::string(v);
}

long long leading_integer(std::string_view text) {
    return std::atoll(std::string(text).c_str());
}

namespace {

bool iequals_prefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

bool iequals_suffix(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    return iequals_prefix(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

config_file::config_file() {
    auto path = get_environment("MARLOVEN_CONFIG_FILE");
    if (!path) {
        std::cerr << "MARLOVEN_CONFIG_FILE not defined" << std::endl;
        return;
    }
    read_all(*path);
}

config_file::config_file(const std::string& path) {
    read_all(path);
}

void config_file::read_all(const std::string& path) {
    if (!read_one(path)) {
        return;
    }
    loaded_ = true;

    std::string dir = ".";
    std::string name = path;
    if (auto sep = path.find_last_of("\\/"); sep != std::string::npos) {
        dir = path.substr(0, sep);
        name = path.substr(sep + 1);
    }
    std::string base = name;
    std::string ext;
    if (auto dot = name.rfind('.'); dot != std::string::npos) {
        base = name.substr(0, dot);
        ext = name.substr(dot);
    }

    std::vector<std::string> companions;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string_view entry = e->d_name;
            if (entry.size() >= name.size() + 2 && iequals_prefix(entry, base) &&
                iequals_suffix(entry, ext)) {
                companions.push_back(dir + "/" + std::string(entry));
            }
        }
        closedir(d);
    }
    std::sort(companions.begin(), companions.end());
    for (const auto& c : companions) {
        read_one(c);
    }
}

bool config_file::read_one(const std::string& path) {
    sources_.push_back(path);
    std::ifstream in(path);
    if (!in) {
        std::cerr << "Cannot open configfile " << path << std::endl;
        return false;
    }
    std::string line;
    unsigned number = 0;
    while (std::getline(in, line)) {
        ++number;
        // A file edited on Windows ends its lines with CR LF: the CR belongs to the line end, not
        // to the value (it would break paths, ports and level names).
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto first = line.find_first_not_of(' ');
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        auto eq = line.find('=', first);
        if (eq == std::string::npos) {
            std::cerr << path << "(" << number << "): can't find '='" << std::endl;
            continue;
        }
        entries_.insert_or_assign(line.substr(first, eq - first), line.substr(eq + 1));
    }
    return true;
}

bool config_file::get(std::string_view key, std::string& value) const {
    if (!loaded_) {
        return false;
    }
    if (auto it = entries_.find(key); it != entries_.end()) {
        value = it->second;
        return true;
    }
    value.clear();
    return false;
}

std::optional<std::string> config_file::value(const config_key& key) const {
    std::string v;
    bool found = get(key.name, v);
    bool accepted = false;
    if (found) {
        switch (key.rule) {
            case key_rule::present:
            case key_rule::present_integer:
                accepted = true;
                break;
            case key_rule::text:
                accepted = !v.empty();
                break;
            case key_rule::positive_integer:
                accepted = !v.empty() && leading_integer(v) > 0;
                break;
            case key_rule::non_negative_integer:
                accepted = !v.empty() && (leading_integer(v) > 0 || v == "0");
                break;
            case key_rule::below_four:
                accepted =
                    !v.empty() && (leading_integer(v) > 0 || v == "0") && leading_integer(v) < 4;
                break;
        }
    }
    if (accepted) {
        return v;
    }
    if (key.fallback != nullptr) {
        return std::string(key.fallback);
    }
    return std::nullopt;
}

long long config_file::integer(const config_key& key) const {
    auto v = value(key);
    return v ? leading_integer(*v) : 0;
}

}  // namespace marloven
