// Fuzz target: content-type values.
// SPDX-License-Identifier: MIT
#include "fuzz_check.h"
#include "util/http_text.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    const content_type t = parse_content_type(input);
    FUZZ_CHECK(!t.media_type.empty() || t.parameters.empty());
    std::size_t total = t.media_type.size();
    for (const auto& [name, value] : t.parameters) {
        FUZZ_CHECK(!name.empty());
        total += name.size() + value.size();
    }
    FUZZ_CHECK(total <= input.size());
    (void)t.charset();
}
