// fuzz_check.h: what every fuzz target shares: the property check, whose failure aborts (libFuzzer
// reports it as a crash with the input that caused it), and the entry point over text.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (false)

// Defines the target's entry point, which sees the input as text:
//     FUZZ_TEXT_TARGET(input) { ... }
#define FUZZ_TEXT_TARGET(input)                                                         \
    static void fuzz_text(std::string_view input);                                      \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        fuzz_text(std::string_view(reinterpret_cast<const char*>(data), size));         \
        return 0;                                                                       \
    }                                                                                   \
    static void fuzz_text(std::string_view input)
