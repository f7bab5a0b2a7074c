// portal.h: the portal, the daemon's own web site: static files, search pages built from
// templates, views of cached documents, language choice and redirects, all served from the
// document root (PORTAL_DOCS, else DEPLOYDIR/portal). It answers every request that SOAP,
// Research, WSDL and REST leave; pages below "/private/" need the caller's credentials.
// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "util/file_beneath.h"
#include "vantorelld/httpstate.h"
#include "vantorelld/portal_template.h"

namespace marloven {

// How the client reached the server, host name and port (its Host header, else the listen
// address): for the absolute URLs of redirects and of "self_url".
using self_address_function = std::function<std::pair<std::string, int>()>;

// What a path of the document root is.
enum class portal_kind {
    not_found,
    plain_file,
    directory,       // to be redirected to its form with a trailing "/"
    template_page,   // a "template" special file
    cache,           // a "cache" special file, or a missing path below one
    language,        // a "language" special file
    redirect,        // a "redirect <path>" special file
    broken_special,  // a special file that cannot be read whole
};

// A path of the document root classified.
struct portal_target {
    portal_kind kind = portal_kind::not_found;
    std::string path;         // as looked up: "/" prefixed, "index.html" appended to "/"
    std::string special_dir;  // the directory of the special file that decided the kind
    special_file special;     // that file's kind, redirect target and remaining lines
};

// Classifies `path` (decoded and cleaned, see clean_portal_path) against the document root:
// "<path>.special" decides when it exists; else an existing directory or file; else, below a
// cached-document view, the view; else not found. Names ending in ".special" are never files.
portal_target classify_portal_path(const directory_beneath& root, std::string_view path);

// The path of a request target as the portal looks it up: the part before "?", with its escapes
// decoded and then cleaned (so "%2e%2e" and "//" cannot climb or hide "/private/"); nothing when
// it holds a NUL byte.
std::optional<std::string> portal_path(std::string_view target);

// Serves one request that no other front end took: authenticates paths below "/private/" (the
// other pages run as the anonymous caller), checks the body size, classifies the path and
// answers with the file, page, redirect or fixed error page. `self` gives the host and port the
// client used; it is asked only for replies that need them.
// Failure: every failure is one of the fixed pages; nothing is logged and nothing thrown for
// bad requests or broken portal files.
void portal_handle(httpstate& state, const self_address_function& self, bool secure);

}  // namespace marloven
