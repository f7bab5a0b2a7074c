// Fuzz target: UTF-8 decoding, case folding and code-page conversion.
// SPDX-License-Identifier: MIT
#include <string>

#include "fuzz_check.h"
#include "util/charsets.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    std::size_t pos = 0;
    bool all_valid = true;
    std::string reencoded, folded, twice, round, converted, clean;
    while (pos < input.size()) {
        const std::size_t before = pos;
        const utf8_char c = decode_utf8(input, pos);
        FUZZ_CHECK(pos > before && pos <= input.size() && pos - before <= 6);
        FUZZ_CHECK(c.valid || c.code_point == 0xFFFD);
        all_valid = all_valid && c.valid;
        (void)char_class_byte(c.code_point);
        encode_utf8(c.code_point, reencoded);
    }
    // Folding decodes like the loop above, its output is clean, and folding is idempotent.
    FUZZ_CHECK(fold_utf8(input, folded) == all_valid && folded.size() <= 3 * input.size());
    FUZZ_CHECK(fold_utf8(folded, twice) && twice == folded);
    // A clean text decodes back to the same bytes.
    FUZZ_CHECK(charset("utf-8").to_utf8(reencoded, round) && round == reencoded);
    if (!input.empty()) {
        static const char* const names[] = {"cp1252", "iso-8859-7", "cp864", "macroman", "utf8"};
        charset(names[static_cast<unsigned char>(input[0]) % 5])
            .to_utf8(input.substr(1), converted);
        FUZZ_CHECK(fold_utf8(converted, clean));
    }
}
