// Fuzz target: what the portal reads from a request: the target's path and the accept-language
// value (a NUL byte splits the input into the two).
// SPDX-License-Identifier: MIT
#include <string>

#include "fuzz_check.h"
#include "vantorelld/portal.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    const std::size_t nul = input.find('\0');
    if (const auto path = portal_path(input.substr(0, nul))) {
        // A cleaned path is absolute and can neither climb nor hide a segment.
        FUZZ_CHECK(path->starts_with("/") && path->find("//") == std::string::npos);
        FUZZ_CHECK(path->find("/../") == std::string::npos && !path->ends_with("/.."));
        FUZZ_CHECK(path->find("/./") == std::string::npos && !path->ends_with("/."));
        FUZZ_CHECK(portal_path(*path) == path || path->find_first_of("%?") != std::string::npos);
    }
    if (nul != std::string_view::npos) {
        const std::string accepted(input.substr(nul + 1));
        for (const language_range& r :
             parse_accept_language(accepted).value_or(std::vector<language_range>{})) {
            FUZZ_CHECK(!r.tag.empty() && r.tag.size() < 15 && r.weight >= 0 && r.weight <= 1);
        }
        const auto chosen = choose_language(parse_language_file("en /en/\nde /de/\n"), accepted);
        FUZZ_CHECK(!chosen || *chosen == "/en/" || *chosen == "/de/");
    }
}
