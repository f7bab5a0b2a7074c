// Fuzz target: what the portal reads from a request: the target's path and the accept-language
// value (a NUL byte splits the input into the two).
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "vantorelld/portal.h"

using namespace marloven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view target = input.substr(0, nul);
    if (const auto path = portal_path(target)) {
        // A cleaned path is absolute and can neither climb nor hide a segment.
        FUZZ_CHECK(path->starts_with("/"));
        FUZZ_CHECK(path->find("//") == std::string::npos);
        FUZZ_CHECK(path->find("/../") == std::string::npos && !path->ends_with("/.."));
        FUZZ_CHECK(path->find("/./") == std::string::npos && !path->ends_with("/."));
        FUZZ_CHECK(portal_path(*path) == path || path->find_first_of("%?") != std::string::npos);
    }
    if (nul != std::string_view::npos) {
        const std::string accepted(input.substr(nul + 1));
        if (const auto ranges = parse_accept_language(accepted)) {
            for (const language_range& r : *ranges) {
                FUZZ_CHECK(!r.tag.empty() && r.tag.size() < 15);
                FUZZ_CHECK(r.weight >= 0 && r.weight <= 1);
            }
        }
        const auto entries = parse_language_file("en /en/\nde /de/\n");
        const auto chosen = choose_language(entries, accepted);
        FUZZ_CHECK(!chosen || *chosen == "/en/" || *chosen == "/de/");
    }
    return 0;
}
