// clock.h: the seam through which time-dependent storage (the fetch queue's politeness delay,
// the robots cache's age) reads the current time, so that tests can set it.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

namespace marloven {

// Seconds since the epoch.
using clock_function = std::function<std::int64_t()>;

inline std::int64_t system_clock_seconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace marloven
