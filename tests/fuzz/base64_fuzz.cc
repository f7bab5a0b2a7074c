// Fuzz target: Base64 decoding and encoding.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "util/http_text.h"

using namespace marloven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string decoded = decode_base64(input);
    FUZZ_CHECK(decoded.size() <= input.size() / 4 * 3);
    const std::string encoded = encode_base64(input);
    FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4);
    FUZZ_CHECK(decode_base64(encoded) == input);
    FUZZ_CHECK(decode_base64(encode_base64(decoded)) == decoded);
    return 0;
}
