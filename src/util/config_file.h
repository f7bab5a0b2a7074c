// config_file.h: the daemon's key=value configuration file, found through the environment.
// Every long-lived component builds its own copy; a copy is read once and never re-read.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/config_keys.h"

namespace marloven {

// The value of a named setting of the environment store (the process environment), or nothing.
std::optional<std::string> get_environment(const char* name);

// The parsed configuration file: the main file named by MARLOVEN_CONFIG_FILE and its companion
// files (same directory, same base and extension, at least two characters longer), read in
// byte order after the main file so that later files override earlier ones.
// Ownership: owns its entries; holds no file open.
// Failure: construction never fails; problems are written to standard error and leave the object
// unloaded, so every lookup fails and callers fall back to their defaults.
// Threads: immutable after construction.
class config_file {
  public:
    // Reads the file named by MARLOVEN_CONFIG_FILE.
    config_file();
    // Reads the file at `path` (and its companions), as if the environment named it.
    explicit config_file(const std::string& path);

    bool loaded() const { return loaded_; }

    // Without a loaded file: false, `value` untouched. With the key: its stored text (possibly
    // empty). Otherwise: `value` cleared, false.
    bool get(std::string_view key, std::string& value) const;

    // The value of `key` under its rule (see config_keys.h), or its default, or nothing.
    std::optional<std::string> value(const config_key& key) const;
    // The integer value of a key under its rule, or its default (0 when it has none).
    long long integer(const config_key& key) const;

    const std::map<std::string, std::string, std::less<>>& entries() const { return entries_; }
    // The files it read or tried to read: the main file first, then its companions.
    const std::vector<std::string>& sources() const { return sources_; }

  private:
    void read_all(const std::string& path);
    bool read_one(const std::string& path);

    bool loaded_ = false;
    std::map<std::string, std::string, std::less<>> entries_;
    std::vector<std::string> sources_;
};

// The leading decimal integer of `text` as atoi reads it (0 when there is none).
long long leading_integer(std::string_view text);

}  // namespace marloven
