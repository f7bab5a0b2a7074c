// Fuzz target: the HTTP head parser and its lookups.
// SPDX-License-Identifier: MIT
#include "fuzz_check.h"
#include "util/headerparser.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    const headerparser p(input);
    FUZZ_CHECK(p.head() == input);
    const std::string& m = p.method();
    FUZZ_CHECK(m.empty() || m == "GET" || m == "HEAD" || m == "POST" || m == "PUT" ||
               m == "DELETE");
    FUZZ_CHECK(p.ok() || (m.empty() && p.status() == -1));
    FUZZ_CHECK(m.empty() || p.status() == -1);  // a request or a response, never both
    for (const auto& [name, value] : p.headers()) {
        const auto lower = p.header_lower(name);
        FUZZ_CHECK(!name.empty() && lower && lower->size() == value.size());
        FUZZ_CHECK(p.header_verbatim(name) == std::string_view(value));
    }
}
