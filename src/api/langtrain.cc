// langtrain.cc: access to the embedded training text (the bytes are generated from
// src/api/data/langtrain.txt at build time).
// SPDX-License-Identifier: MIT
#include "api/langtrain.h"

#include <cstddef>

namespace marloven {

namespace embedded {
extern const unsigned char langtrain[];
extern const std::size_t langtrain_size;
}  // namespace embedded

std::string_view language_training_text() {
    return {reinterpret_cast<const char*>(embedded::langtrain), embedded::langtrain_size};
}

}  // namespace marloven
