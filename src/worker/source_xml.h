// source_xml.h: the source description that travels with every PROCESS request (source_xml)
// and the credentials record beside it (auth_xml): written by the crawl thread from the source
// and auth records, read back by the worker program.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marloven {

enum class source_auth_type { none = 0, basic = 1, cookie = 2 };
enum class cookie_action { get = 0, post = 1 };
enum class cookie_param_type { username = 0, password = 1, other = 2 };

struct cookie_param {
    std::string name;
    std::string value;  // used for type other; username and password come from the auth record
    cookie_param_type type = cookie_param_type::other;
    bool operator==(const cookie_param&) const = default;
};

struct source_acl_entry {
    std::string name;
    bool write = false;
    bool deny = false;
    bool operator==(const source_acl_entry&) const = default;
};

// What a worker needs to know about the source of a URL.
struct source_description {
    std::string name;
    std::string description;
    std::vector<std::string> seeds;
    std::vector<std::string> include_filters;
    std::vector<std::string> exclude_filters;
    std::int32_t depth = 0;
    bool robots_check = true;
    bool side_metadata = false;
    source_auth_type auth = source_auth_type::none;
    // Cookie log-in: the form's URL and method, how long its cookies are good (seconds, 0 for
    // the whole daemon run), the form fields and the pages to visit first.
    std::string cookie_url;
    cookie_action action = cookie_action::get;
    std::int32_t freshness = 0;
    std::vector<cookie_param> cookie_params;
    std::vector<std::string> pre_urls;
    std::vector<std::int32_t> docfilter_ids;
    std::string marker_begin;
    std::string marker_end;
    std::vector<source_acl_entry> acl;
    bool operator==(const source_description&) const = default;
};

// A credentials record: the user name and password, and extra form parameters.
struct auth_credentials {
    std::string username;
    std::string password;
    std::vector<std::pair<std::string, std::string>> params;
    bool operator==(const auth_credentials&) const = default;
};

// The source's XML text as the worker receives it: a declaration, then `source` with `seed`,
// `filter`, `limit`, `robots`, `sidemetadata`, `auth` (with `cookieauth`, `cookieparam`,
// `cookiepreurl`), `docfilters`, the two `textexclusionmarker`s and `acl` elements.
std::string write_source_xml(const source_description& source);

// Reads a source text. Elements are recognised wherever they stand; unknown elements are
// ignored; a value that cannot be understood keeps the field's starting value and is logged.
// Nothing when the text is not well-formed XML.
std::optional<source_description> read_source_xml(std::string_view xml);

// Reads an `auth` record (attributes username and password, `param` children with name and
// value). Nothing when the text is not well-formed XML.
std::optional<auth_credentials> read_auth_xml(std::string_view xml);

}  // namespace marloven
