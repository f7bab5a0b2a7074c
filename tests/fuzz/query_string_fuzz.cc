// Fuzz target: query-string decoding.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "util/http_text.h"

using namespace marloven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const query_map q = parse_query_string(input);
    std::size_t total = 0;
    for (const auto& [name, value] : q) {
        FUZZ_CHECK(name.find('&') == std::string_view::npos);
        FUZZ_CHECK(name.find('=') == std::string_view::npos);
        total += name.size() + value.size();
    }
    FUZZ_CHECK(total <= input.size());
    return 0;
}
