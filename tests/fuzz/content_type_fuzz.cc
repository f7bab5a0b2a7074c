// Fuzz target: content-type values.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "util/http_text.h"

using namespace marloven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const content_type t = parse_content_type(input);
    FUZZ_CHECK(t.media_type.size() <= input.size());
    FUZZ_CHECK(!t.media_type.empty() || t.parameters.empty());
    std::size_t total = t.media_type.size();
    for (const auto& [name, value] : t.parameters) {
        FUZZ_CHECK(!name.empty());
        total += name.size() + value.size();
    }
    FUZZ_CHECK(total <= input.size());
    (void)t.charset();
    return 0;
}
