// charsets_internal.h: the generated tables behind charsets.cc (see tools/gen_charsets.py).
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string_view>

namespace marloven::charsets_data {

// One single-byte code page: its canonical name and the code point of every byte (U+FFFD where
// the published mapping leaves the byte undefined).
struct code_page_table {
    std::string_view name;
    char16_t table[256];
};

// One case folding: `from` folds to to[0], then to[1] and to[2] where they are not 0.
struct fold_entry {
    char32_t from;
    char32_t to[3];
};

// The class byte of the code points from `first` up to the next run's `first`.
struct class_run {
    char32_t first;
    unsigned char value;
};

extern const std::string_view unicode_version;  // of the folding and the classes
extern const code_page_table code_pages[];
extern const std::size_t code_page_count;
extern const fold_entry fold_entries[];  // sorted by `from`
extern const std::size_t fold_entry_count;
extern const class_run class_runs[];  // sorted by `first`, the first one at 0
extern const std::size_t class_run_count;

}  // namespace marloven::charsets_data
