// commands.h: the subcommands of vantorellctl, each a few calls of the daemon's search service:
// status and version; add, show, change, list and remove of sources, archives, collections,
// watches, users and groups; crawls started (and followed), stopped and their logs read;
// queries; stored documents.
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "soapclient/search_client.h"

namespace marloven::ctl {

// The words and options of a command line, as main parsed it.
struct command_line {
    std::vector<std::string> words;                            // command, verb, arguments
    std::vector<std::pair<std::string, std::string>> options;  // in the order given
    std::set<std::string> flags;                               // options without a value

    std::vector<std::string> all(std::string_view option) const;
    std::optional<std::string> last(std::string_view option) const;
    bool has(std::string_view flag) const { return flags.contains(std::string(flag)); }
};

// Options that take no value.
bool is_flag(std::string_view option);

// Purpose: a command line that cannot be understood; the text says why.
// Failure: tier 3: main prints it and exits with status 1.
class usage_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What a command works with: the client, whether to print the daemon's XML replies instead of
// tables, where output goes, and whether it goes to a terminal (for the live progress line).
struct session {
    search_client& client;
    bool xml = false;
    std::ostream& out;
    bool terminal = false;
};

// The first line of a password file ("-": standard input), without its line end; throws
// usage_error when the file cannot be read.
std::string first_line_of(const std::string& file);

// Runs the command of `line`. Throws usage_error, and call_error (search_client.h) when the
// daemon refuses a call.
void run(session& s, const command_line& line);

// The help of `command` ("source", "crawl", ...), or the overview for an empty one; nothing for
// a command that does not exist.
std::optional<std::string> help(std::string_view command);

}  // namespace marloven::ctl
