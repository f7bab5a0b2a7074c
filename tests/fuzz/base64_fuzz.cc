// Fuzz target: Base64 decoding and encoding.
// SPDX-License-Identifier: MIT
#include <string>

#include "fuzz_check.h"
#include "util/http_text.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    const std::string decoded = decode_base64(input);
    FUZZ_CHECK(decoded.size() <= input.size() / 4 * 3);
    const std::string encoded = encode_base64(input);
    FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4);
    FUZZ_CHECK(decode_base64(encoded) == input);
    FUZZ_CHECK(decode_base64(encode_base64(decoded)) == decoded);
}
