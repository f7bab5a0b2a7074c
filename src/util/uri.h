// uri.h: URL parsing by scheme, composition, normalisation, resolution and escaping.
// Every URL the daemon stores, queues, compares or reports is keyed by uri::normalise().
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marloven {

// What a scheme's URLs are made of and how they behave.
enum class scheme_flag : std::uint16_t {
    relative = 1 << 0,          // references may be resolved against a base
    netloc = 1 << 1,            // "//" and a net location follow the scheme
    non_hierarchical = 1 << 2,  // the path is opaque: normalisation leaves dot segments alone
    params = 1 << 3,            // ";" starts the parameters
    query = 1 << 4,             // "?" starts the query
    fragment = 1 << 5,          // "#" starts the fragment
    canonical = 1 << 6,         // path, parameters and query are re-escaped on normalisation
    web = 1 << 7,               // http, https, shttp: sites with robots rules
    fetchable = 1 << 8,         // ftp, http, https, nntp, shttp
};

// One row of the scheme table. The empty entry (empty name, no flags, port 0) stands for an
// absent or unknown scheme.
struct scheme_entry {
    std::string_view name;
    std::uint16_t default_port;
    std::uint16_t flags;

    bool has(scheme_flag flag) const { return (flags & static_cast<std::uint16_t>(flag)) != 0; }
};

inline constexpr scheme_entry empty_scheme_entry{{}, 0, 0};

// The entry of the lower-case `scheme`, or empty_scheme_entry.
const scheme_entry& find_scheme(std::string_view scheme);

// A URL split into scheme (lower case), net location (lower case), path, parameters (after ";"),
// query (after "?") and fragment (after "#"); which parts exist depends on the scheme's entry.
// A part is present when it is not empty.
// Ownership: owns one buffer that holds all parts; the views it returns live as long as it does.
// Failure: none; any text parses into something, and normalise() always gives a key.
// Threads: immutable after construction.
class uri {
  public:
    uri() = default;

    // Splits `text`. A prefix before the first ":" made only of letters, digits, "+", "-" and
    // "." is the scheme when the table knows it or it is shorter than 5 characters; otherwise
    // `default_scheme` is taken and the whole text is the rest. The net location runs from "//"
    // to the next "/" (or "?" and "#" where the scheme has them); the fragment follows the last
    // "#" (only with `allow_fragments`), the query the first "?", the parameters the first ";".
    static uri parse(std::string_view text, std::string_view default_scheme = {},
                     bool allow_fragments = true);

    // A URL made of the given parts; scheme and net location are lower-cased.
    static uri from_parts(std::string_view scheme, std::string_view netloc, std::string_view path,
                          std::string_view params, std::string_view query,
                          std::string_view fragment);

    std::string_view scheme() const { return part(scheme_part); }
    std::string_view netloc() const { return part(netloc_part); }
    std::string_view path() const { return part(path_part); }
    std::string_view params() const { return part(params_part); }
    std::string_view query() const { return part(query_part); }
    std::string_view fragment() const { return part(fragment_part); }
    const scheme_entry& entry() const { return *entry_; }
    bool empty() const { return text_.empty(); }

    // The host of the net location, without user information and port: the key of the fetch
    // queue's per-host politeness. A net location whose port is not a number up to 65535 is
    // taken as a host as a whole.
    std::string_view host() const;
    // Whether host() follows the host grammar of RFC 3986: a reg-name (letters, digits,
    // "-._~!$&'()*+,;=" and "%XX"; bytes from 0x80 on count too, as normalise() writes them
    // "%XX") or IPv4 address, or an IP literal in brackets (IPv6 or "v" future form). A host
    // with markup characters, blanks, a second colon or a bad escape is not one: links to it
    // are refused. The empty host passes; callers that need a host check for it.
    bool has_valid_host() const;
    // The port of the net location, or the scheme's default port.
    std::uint16_t port() const;

    // The URL as text; a scheme with a net location always gets a path ("http://h" gives
    // "http://h/").
    std::string compose() const;

    // The key form: scheme and host in small letters, the default port and the fragment dropped,
    // dot segments removed (hierarchical schemes), and for schemes with canonical escaping the
    // path, parameters and query escaped in one form: needless escapes are decoded, the escape
    // set is escaped with upper-case digits, and escapes of the characters that delimit parts
    // of a URL (% / ? ; : = & + $ ,) stay escaped, so that "q=C%2B%2B" keeps its meaning.
    // In every other part (user information, host, and the path, parameters and query of
    // schemes without canonical escaping) the bytes that no URI may hold (controls, blanks,
    // " < > \ ^ ` { | } and bytes from 0x7F on) are written "%XX" and a "%" that starts no
    // escape "%25", so that a key never holds markup. normalise() of a parsed normalise() gives
    // the same text.
    std::string normalise() const;

  private:
    enum part_index { scheme_part, netloc_part, path_part, params_part, query_part, fragment_part };

    std::string_view part(part_index i) const {
        return std::string_view(text_).substr(bounds_[i], bounds_[i + 1] - bounds_[i]);
    }

    std::string text_;                        // the parts one after another
    std::array<std::size_t, 7> bounds_ = {};  // part i is text_[bounds_[i], bounds_[i + 1])
    const scheme_entry* entry_ = &empty_scheme_entry;
};

// Resolves `reference` against `base` (RFC 1808 with the dot-segment rules of RFC 3986): a
// reference of another scheme, or of a scheme that is not relative, stands for itself; a net
// location replaces all after the scheme; a path starting with "/" replaces the base path; an
// empty path keeps the base's path, parameters and (without a query of its own) query; any other
// path is joined to the base's directory. Dot segments are removed, and ".." never climbs above
// the root. A reference without a scheme takes the base's scheme.
uri resolve(const uri& base, const uri& reference);
// The same for a reference text, parsed with the base's scheme as its default.
uri resolve(const uri& base, std::string_view reference);

// parse(text, "http").normalise(): the form under which documents, queue entries and logs are
// keyed.
std::string normalise_url(std::string_view text);
// `reference` resolved against `base` (both with the default scheme "http") and normalised.
std::string resolve_url(std::string_view base, std::string_view reference);

// Writes the escape set (bytes below 0x21, from 0x7F on, and < > " # { } | \ ^ ~ [ ] ` @) as
// "%XX"; an existing "%XX" is kept with upper-case digits, any other "%" becomes "%25".
std::string escape_uri(std::string_view text);
// Writes every byte as "%XX" (upper-case digits) except letters, digits, "-", ".", "_", "~" and
// the bytes of `keep`: for a path ("/" kept) or a query value (nothing kept) built from decoded
// text, so that the text comes back unchanged when the URL is decoded.
std::string percent_encode(std::string_view text, std::string_view keep = {});
// Decodes every "%XX" (either case); everything else is kept.
std::string unescape_uri(std::string_view text);

// Removes "." segments and lets ".." remove the segment before it; ".." at the root (or at the
// start of a relative path) is dropped. Empty segments are kept ("a//b" stays), a final "." or
// ".." leaves a trailing "/", and a relative path stays relative. Also used by the portal.
std::string normalise_path(std::string_view path);

}  // namespace marloven
