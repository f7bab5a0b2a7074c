// fuzz_check.h: the property check of the fuzz targets; a failed property aborts, which
// libFuzzer reports as a crash with the input that caused it.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (false)
