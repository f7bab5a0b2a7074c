// crawl_rules.h: the small rules of crawling, kept apart from the threads that apply them: the
// URL filter of a source, the cookies of a log-in reply and the crawl-end notification URL (the
// daily crawl window is in schedule/schedule.h, as the status report needs it too).
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

class compiled_regex;

// Purpose: a source's include and exclude filters, each compiled as a POSIX extended,
// case-insensitive expression. A URL is accepted when no exclude expression matches anywhere in
// it and at least one include expression does; exclude expressions are tried first, and a
// source without include filters accepts nothing. A filter text that does not compile is left
// out without a message.
// Ownership: owns the compiled expressions.
// Failure: none.
// Threads: immutable after construction.
class url_filter {
  public:
    url_filter(const std::vector<std::string>& include, const std::vector<std::string>& exclude);
    ~url_filter();
    url_filter(const url_filter&) = delete;
    url_filter& operator=(const url_filter&) = delete;

    bool accepts(const std::string& url) const;

  private:
    std::vector<std::unique_ptr<compiled_regex>> include_;
    std::vector<std::unique_ptr<compiled_regex>> exclude_;
};

// The cookies that a log-in reply sets: from every header line (carriage returns removed) that
// begins with "Set-Cookie: " or "set-cookie: ", the text after that up to the first ";", the
// non-empty pieces joined with "; ". Empty when there are none.
std::string cookies_from_headers(std::string_view headers);

// Links kept of one fetched page, after the source's filters: the rest are dropped (and counted
// in the log), so that one hostile page cannot flood the queue. Ten times the largest link
// list of the documentation sites crawled in testing.
inline constexpr std::size_t max_outlinks_per_page = 10000;

// Redirects in a row that are followed, as browsers do: the links of a page reached through 20
// redirects in a row are queued only when that page is not itself a redirect, so that a trap
// redirecting to ever-new URLs ends.
inline constexpr std::uint32_t max_redirect_chain = 20;

// Formatted notification URLs longer than this are not requested.
inline constexpr std::size_t max_notify_url_length = 4096;

// Purpose: the configured crawl-end notification URL (NOTIFYURL), a printf format that receives
// the archive id. Only texts whose conversions are "%%" and at most one integer conversion
// (flags, width and precision allowed, e.g. %u, %d, %lu, %08x) are accepted, so that a text of
// the configuration file can never make the formatting read arguments that are not there.
// Ownership: owns the checked text.
// Failure: parse() refuses other texts with a reason; format() refuses results longer than
// max_notify_url_length.
// Threads: immutable.
class notify_url {
  public:
    static std::optional<notify_url> parse(std::string_view text, std::string& reason);
    // The URL for the archive, or nothing when it would be too long.
    std::optional<std::string> format(std::uint32_t arcid) const;

  private:
    notify_url() = default;
    std::string prefix_;      // the text before the conversion, "%%" already undone
    std::string conversion_;  // the conversion as written, without its length modifier; may be
                              // empty
    std::string length_;      // its length modifier: "", "hh", "h", "l", "ll", "j", "z" or "t"
    std::string suffix_;      // the text after the conversion, "%%" already undone
};

}  // namespace marloven
