// Fuzz target: URL parsing, normalisation, resolution and escaping.
// The input is a URL, or a base and a reference separated by the first newline.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "util/uri.h"

using namespace marloven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view first = input.substr(0, newline);

    for (std::string_view scheme : {"http", ""}) {
        const uri u = uri::parse(first, scheme);
        // A key is its own key, and composing keeps every part.
        const std::string key = u.normalise();
        FUZZ_CHECK(uri::parse(key, scheme).normalise() == key);
        // No key holds a byte that could end an attribute or start a tag.
        for (char c : key) {
            const auto b = static_cast<unsigned char>(c);
            FUZZ_CHECK(b > 0x20 && b < 0x7F &&
                       std::string_view("\"<>\\^`{|}").find(c) == std::string_view::npos);
        }
        (void)u.has_valid_host();
        const std::string text = u.compose();
        FUZZ_CHECK(text.size() >= u.path().size() + u.query().size() + u.fragment().size());
        (void)u.host();
        (void)u.port();
        (void)uri::parse(first, scheme, false).normalise();
    }

    if (newline != std::string_view::npos) {
        const uri base = uri::parse(first, "http");
        const uri resolved = resolve(base, input.substr(newline + 1));
        const std::string key = resolved.normalise();
        FUZZ_CHECK(normalise_url(key) == key || resolved.scheme() != "http");
    }

    const std::string path = normalise_path(input);
    FUZZ_CHECK(path.size() <= input.size());
    FUZZ_CHECK(normalise_path(path) == path);
    const std::string escaped = escape_uri(input);
    FUZZ_CHECK(escape_uri(escaped) == escaped);
    FUZZ_CHECK(unescape_uri(input).size() <= input.size());
    return 0;
}
