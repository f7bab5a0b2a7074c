// complaints.h: the index server's reports of failed requests on standard error (which the
// daemon keeps), limited in rate so that a client sending garbage cannot flood it.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "util/clock.h"

namespace marloven {

// Purpose: writes failure reports, at most `burst` in each period of `period` seconds. Reports
// beyond that are counted instead; the count is written when the next report arrives in a new
// period, so failures are never hidden for longer than a period.
// Ownership: owns its counters; borrows the stream for the length of each call.
// Failure: none.
// Threads: one thread at a time.
class complaint_limiter {
  public:
    complaint_limiter(std::uint64_t burst, std::int64_t period,
                      clock_function now = system_clock_seconds);
    // Writes `line` and a line end to `out`, unless the reports of this period are spent.
    void report(std::ostream& out, const std::string& line);

  private:
    const std::uint64_t burst_;
    const std::int64_t period_;
    const clock_function now_;
    std::int64_t period_start_ = 0;
    std::uint64_t reported_ = 0;  // in the current period
    std::uint64_t held_ = 0;      // not written in the current period
};

}  // namespace marloven
