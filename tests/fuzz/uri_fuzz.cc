// Fuzz target: URL parsing, normalisation, resolution and escaping.
// The input is a URL, or a base and a reference separated by the first newline.
// SPDX-License-Identifier: MIT
#include <string>

#include "fuzz_check.h"
#include "util/uri.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    const std::size_t newline = input.find('\n');
    const std::string_view first = input.substr(0, newline);
    for (std::string_view scheme : {"http", ""}) {
        const uri u = uri::parse(first, scheme);
        // A key is its own key, and holds no byte that could end an attribute or start a tag.
        const std::string key = u.normalise();
        FUZZ_CHECK(uri::parse(key, scheme).normalise() == key);
        for (char c : key) {
            FUZZ_CHECK(c > 0x20 && c < 0x7F &&
                       std::string_view("\"<>\\^`{|}").find(c) == std::string_view::npos);
        }
        (void)u.has_valid_host();
        (void)u.host();
        (void)u.port();
        // Composing keeps every part.
        FUZZ_CHECK(u.compose().size() >= u.path().size() + u.query().size() + u.fragment().size());
        (void)uri::parse(first, scheme, false).normalise();
    }
    if (newline != std::string_view::npos) {
        const uri resolved = resolve(uri::parse(first, "http"), input.substr(newline + 1));
        const std::string key = resolved.normalise();
        FUZZ_CHECK(normalise_url(key) == key || resolved.scheme() != "http");
    }
    const std::string path = normalise_path(input);
    FUZZ_CHECK(path.size() <= input.size() && normalise_path(path) == path);
    const std::string escaped = escape_uri(input);
    FUZZ_CHECK(escape_uri(escaped) == escaped);
    FUZZ_CHECK(unescape_uri(input).size() <= input.size());
}
