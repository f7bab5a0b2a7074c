// Fuzz target: query-string decoding.
// SPDX-License-Identifier: MIT
#include "fuzz_check.h"
#include "util/http_text.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    std::size_t total = 0;
    for (const auto& [name, value] : parse_query_string(input)) {
        FUZZ_CHECK(name.find_first_of("&=") == std::string_view::npos);
        total += name.size() + value.size();
    }
    FUZZ_CHECK(total <= input.size());
}
