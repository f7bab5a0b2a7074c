// The rate limit of the index server's failure reports.
// SPDX-License-Identifier: MIT
#include "idxserv/complaints.h"

#include <gtest/gtest.h>

#include <sstream>

namespace marloven {
namespace {

// Issue 15: after 100 reports the server wrote no failure for the rest of its life.
TEST(complaint_limiter_test, reports_again_once_a_period_has_passed_and_counts_the_held_ones) {
    std::int64_t now = 1000;
    complaint_limiter limiter(2, 60, [&] { return now; });
    std::ostringstream out;
    for (const char* line : {"a", "b", "c", "d"}) {
        limiter.report(out, line);
    }
    now += 59;
    limiter.report(out, "e");
    now += 1;
    limiter.report(out, "f");
    EXPECT_EQ(out.str(),
              "a\nb\n"
              "idxserv: over 2 failures in 60 seconds; further ones are counted until the period "
              "ends\n"
              "idxserv: 3 more failures were not reported\n"
              "f\n");
}

}  // namespace
}  // namespace marloven
