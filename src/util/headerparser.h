// headerparser.h: the parser of an HTTP request or status head and its header lookups; the
// HTTP server keeps one per request.
// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace marloven {

// Orders header names without regard to ASCII case, so lookups need no lower-cased copy.
struct ignore_case_less {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// The parsed head of one HTTP request (or response). The grammar, line by line, up to the first
// NUL: a request line (GET, HEAD, POST, PUT or DELETE in any case, white space, the target,
// white space, "HTTP/" and the version); a status line ("HTTP/" version, white space, a number,
// a reason); header lines (a name of letters, digits, "-" and "_", a colon, the value up to the
// line end); lines starting with white space continue the header before them; a later request
// line replaces the earlier one. White space is SP, TAB, VT, FF and BS; lines end at CR or LF.
// The first line that fits none of these ends the scan; what was read so far stands.
// Ownership: owns copies of the head and of everything it read from it.
// Failure: never fails loudly; ok() is false unless a complete request or status line was read.
// Threads: immutable after construction.
class headerparser {
  public:
    using header_map = std::map<std::string, std::string, ignore_case_less>;

    headerparser() = default;
    explicit headerparser(std::string_view head) { parse(head); }

    // Forgets everything and reads `head`.
    void parse(std::string_view head);

    bool ok() const { return ok_; }
    const std::string& head() const { return head_; }  // as received
    // "GET", "HEAD", "POST", "PUT" or "DELETE"; empty for a status line.
    const std::string& method() const { return method_; }
    // The target as sent (path and query string, not decoded).
    const std::string& target() const { return target_; }
    // The text after "HTTP/", such as "1.1".
    const std::string& version() const { return version_; }
    // The status code of a status line, otherwise -1.
    int status() const { return status_; }
    // Names in small letters; a header sent twice holds both values run together.
    const header_map& headers() const { return headers_; }

    // The value of header `name` (any case) in small letters: for content-length, content-type,
    // accept, accept-encoding, soapaction, host, expect, accept-language.
    std::optional<std::string> header_lower(std::string_view name) const;
    // The value as sent: for authorization.
    std::optional<std::string_view> header_verbatim(std::string_view name) const;

  private:
    std::string head_;
    std::string method_;
    std::string target_;
    std::string version_;
    int status_ = -1;
    header_map headers_;
    bool ok_ = false;
};

}  // namespace marloven
