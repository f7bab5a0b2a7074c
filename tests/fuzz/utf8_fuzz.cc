// Fuzz target: UTF-8 decoding, case folding and code-page conversion.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "util/charsets.h"

using namespace marloven;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    std::size_t pos = 0;
    bool all_valid = true;
    std::string reencoded;
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
    std::string folded;
    FUZZ_CHECK(fold_utf8(input, folded) == all_valid);
    FUZZ_CHECK(folded.size() <= 3 * input.size());
    std::string twice;
    FUZZ_CHECK(fold_utf8(folded, twice));
    FUZZ_CHECK(twice == folded);

    // A clean text decodes back to the same bytes.
    std::string round;
    FUZZ_CHECK(charset("utf-8").to_utf8(reencoded, round));
    FUZZ_CHECK(round == reencoded);

    if (!input.empty()) {
        static const char* const names[] = {"cp1252", "iso-8859-7", "cp864", "macroman", "utf8"};
        const charset set(names[data[0] % 5]);
        std::string converted;
        set.to_utf8(input.substr(1), converted);
        std::string clean;
        FUZZ_CHECK(fold_utf8(converted, clean));
    }
    return 0;
}
