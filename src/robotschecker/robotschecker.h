// robotschecker.h: robots exclusion. Each site's robots.txt is cached compressed in the table
// robotscache, refetched when older than a day, and turned into one POSIX extended regular
// expression of the paths this crawler must not fetch, afresh for every check.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/clock.h"

namespace marloven {

// A cached robots.txt is fetched again when it is older than this many seconds.
inline constexpr std::int64_t robots_max_age = 86400;
// Bodies longer than this are cut to it before they are cached: the rules are parsed for every
// URL checked, and no real robots.txt comes near it.
inline constexpr std::size_t max_robots_length = std::size_t{512} * 1024;

// The robots.txt URL of the site of `url` (parsed with the default scheme "http"): "/robots.txt"
// resolved against it, normalised. Nothing for schemes without robots rules (all but http,
// https and shttp).
std::optional<std::string> robots_url_for(std::string_view url);

// The Disallow rules of a robots.txt text that apply to `agent`, in file order. Rules of "*"
// groups apply until a group naming `agent` (a User-agent value that begins with it, in any
// case) is met; that drops them, and from then on only that group's rules count. Consecutive
// User-agent lines form one group. Lines are cut at "#"; the field name is the first
// ":"-separated piece that does not begin with white space (so an indented line names no
// field); unknown fields (Allow, Crawl-delay, ...) are ignored; an empty Disallow adds nothing;
// a leading UTF-8 byte-order mark is skipped. Each rule comes without NUL bytes and without one
// trailing "*". A rule forbids the paths that begin with it, "*" standing for any text; every
// other character, "$" included, is taken literally.
std::vector<std::string> robots_rules(std::string_view robots_txt, std::string_view agent);

// The rules as one POSIX extended expression of the forbidden paths: "^I'm not an URL$" (which
// matches no path) and one alternative "|^<rule>" per rule, with the characters . [ ] | ( ) + ?
// ^ $ { } and the backslash escaped, and "*" written ".*".
std::string robots_expression(const std::vector<std::string>& rules);
std::string robots_expression(std::string_view robots_txt, std::string_view agent);

// Whether one rule forbids `path`: the same answer as the rule's alternative of the expression,
// without a regular expression (for sites with very many rules).
bool robots_rule_matches(std::string_view rule, std::string_view path);

// Expressions up to this many bytes are compiled; the rules of a longer one are matched one by
// one instead. The C library's compile time and memory grow faster than the expression (10,000
// rules take seconds and over a gigabyte, for every URL checked); at this size a compile takes
// about ten milliseconds, and typical files stay far below it.
inline constexpr std::size_t max_expression_length = 8192;

// The answer of robotschecker::allowed.
struct robots_answer {
    bool allowed = true;
    // False when the cached rules could not be used (the expression did not compile, or the
    // cached text was corrupt): every URL is then allowed, and the crawl thread logs it.
    bool rules_parsed = true;
};

// Purpose: the robots cache, robotscache(url, timestamp, content, contentlen), and the checks
// against it.
// Ownership: holds the crawler's agent name and the clock; no connection: every call borrows the
// calling thread's.
// Failure: database errors and compression failures are fatal. A corrupt cached text is logged
// and dropped from the cache (so the next check fetches it again); the check then allows the URL.
// Threads: immutable; callers hold the process-wide transaction lock.
class robotschecker {
  public:
    // Creates the table and its index when missing. `agent` is the configured UserAgent.
    robotschecker(sqlite3* db, std::string agent, clock_function now = system_clock_seconds);

    // The robots.txt URL to fetch before `url` may be checked, or nothing: other schemes never
    // need one, and a cached text is kept for robots_max_age seconds.
    std::optional<std::string> needs_fetch(sqlite3* db, std::string_view url) const;
    // Caches a fetched robots.txt body (empty after a failed fetch: that allows everything for
    // a day), stamped with the current time.
    void store(sqlite3* db, std::string_view robots_url, std::string_view body);
    // Whether the site's cached rules let this crawler fetch `url`; the URL's path ("/" when
    // empty) is matched. URLs of other schemes and sites without a cached text are allowed.
    robots_answer allowed(sqlite3* db, std::string_view url);
    // Empties the cache.
    void clear_all(sqlite3* db);

    const std::string& agent() const { return agent_; }

  private:
    const std::string agent_;
    const clock_function now_;
};

}  // namespace marloven
