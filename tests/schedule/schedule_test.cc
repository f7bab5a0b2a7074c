// Tests of the next scheduled run of an archive for every frequency, with the turns of day,
// month and year.
// SPDX-License-Identifier: MIT
#include "api/next_run.h"

#include <gtest/gtest.h>

#include <ctime>

namespace marloven {
namespace {

// Seconds since 1970 of a UTC moment.
std::time_t utc(int year, int month, int day, int hour, int minute = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return timegm(&t);
}

struct run_case {
    const char* what;
    schedule_frequency frequency;
    int attribute;
    int access_time;
    std::time_t now;
    std::time_t expected;
};

class next_run_test : public testing::TestWithParam<run_case> {};

TEST_P(next_run_test, computes_the_next_start) {
    const run_case& c = GetParam();
    ArchiveConfiguration a;
    a.frequency = c.frequency;
    a.attribute = c.attribute;
    a.access_time = c.access_time;
    EXPECT_EQ(next_run(a, c.now), c.expected) << c.what;
}

using f = schedule_frequency;
// 2023-03-15 is a Wednesday (weekday 3) and day 73 of the year (counted from 0).
INSTANTIATE_TEST_SUITE_P(
    cases, next_run_test,
    testing::Values(
        run_case{"disabled", f::disabled, 1, 0, utc(2023, 3, 15, 7), 0},
        run_case{"unknown frequency", static_cast<f>(9), 1, 0, utc(2023, 3, 15, 7), 0},
        run_case{"hourly every 4 from 5, at 07:20", f::hourly, 4, 5, utc(2023, 3, 15, 7, 20),
                 utc(2023, 3, 15, 9)},
        run_case{"hourly on the hour itself is the next one", f::hourly, 4, 5, utc(2023, 3, 15, 9),
                 utc(2023, 3, 15, 13)},
        run_case{"hourly before the access hour (remainder truncated towards zero)", f::hourly, 4,
                 5, utc(2023, 3, 15, 3), utc(2023, 3, 15, 9)},
        run_case{"hourly past midnight", f::hourly, 4, 5, utc(2023, 3, 15, 22),
                 utc(2023, 3, 16, 1)},
        run_case{"hourly past the year's end", f::hourly, 3, 0, utc(2023, 12, 31, 23),
                 utc(2024, 1, 1, 0)},
        run_case{"hourly without a period", f::hourly, 0, 5, utc(2023, 3, 15, 7), 0},
        run_case{"daily before the hour is today", f::daily, 1, 5, utc(2023, 3, 15, 3),
                 utc(2023, 3, 15, 5)},
        run_case{"daily after the hour is tomorrow", f::daily, 1, 5, utc(2023, 3, 15, 7),
                 utc(2023, 3, 16, 5)},
        run_case{"daily every second day, on an odd day", f::daily, 2, 5, utc(2023, 3, 15, 7),
                 utc(2023, 3, 15, 5)},
        run_case{"daily every second day, on an even day", f::daily, 2, 5, utc(2023, 3, 16, 7),
                 utc(2023, 3, 18, 5)},
        run_case{"daily over the month's end", f::daily, 1, 5, utc(2023, 2, 28, 6),
                 utc(2023, 3, 1, 5)},
        run_case{"daily over the year's end", f::daily, 1, 0, utc(2023, 12, 31, 6),
                 utc(2024, 1, 1, 0)},
        run_case{"daily without a period", f::daily, -1, 5, utc(2023, 3, 15, 7), 0},
        run_case{"weekly later this week", f::weekly, 5, 12, utc(2023, 3, 15, 7),
                 utc(2023, 3, 17, 12)},
        run_case{"weekly today, before the hour", f::weekly, 3, 12, utc(2023, 3, 15, 7),
                 utc(2023, 3, 15, 12)},
        run_case{"weekly today, after the hour", f::weekly, 3, 12, utc(2023, 3, 15, 13),
                 utc(2023, 3, 22, 12)},
        run_case{"weekly on Sunday, into the next month", f::weekly, 0, 12, utc(2023, 3, 30, 7),
                 utc(2023, 4, 2, 12)},
        run_case{"weekly with a weekday out of range", f::weekly, 7, 12, utc(2023, 3, 15, 7), 0},
        run_case{"monthly later this month", f::monthly, 20, 4, utc(2023, 3, 15, 7),
                 utc(2023, 3, 20, 4)},
        run_case{"monthly on the day, before the hour", f::monthly, 15, 8, utc(2023, 3, 15, 7),
                 utc(2023, 3, 15, 8)},
        run_case{"monthly on the day, at the hour", f::monthly, 15, 7, utc(2023, 3, 15, 7, 30),
                 utc(2023, 4, 15, 7)},
        run_case{"monthly past the year's end", f::monthly, 1, 0, utc(2023, 12, 31, 7),
                 utc(2024, 1, 1, 0)},
        run_case{"monthly on a day beyond 28", f::monthly, 29, 0, utc(2023, 3, 15, 7), 0}));

}  // namespace
}  // namespace marloven
