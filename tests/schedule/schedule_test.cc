// Both rules of an archive's schedule, side by side: the NextRun that clients are shown and the
// hour in which the scheduler really starts the crawl, for every frequency, where they differ too.
// SPDX-License-Identifier: MIT
#include "schedule/schedule.h"

#include <gtest/gtest.h>

#include <vector>

// Designated initializers name only the fields a case sets; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace marloven {
namespace {

// Seconds since 1970 of a UTC moment.
std::time_t utc(int year, int month, int day, int hour, int minute = 0) {
    std::tm t{.tm_min = minute,
              .tm_hour = hour,
              .tm_mday = day,
              .tm_mon = month - 1,
              .tm_year = year - 1900};
    return timegm(&t);
}

ArchiveConfiguration schedule(schedule_frequency frequency, int attribute, int access_time) {
    return {.frequency = frequency, .attribute = attribute, .access_time = access_time};
}

constexpr std::time_t hour = 3600;
constexpr std::time_t horizon = hour * 24 * 62;  // a monthly schedule fires within two months

// The first whole hour after `now` in which is_due starts the archive; 0 when none comes before
// the horizon.
std::time_t scheduler_start(const ArchiveConfiguration& a, std::time_t now) {
    for (std::time_t t = now - now % hour + hour; t <= now + horizon; t += hour) {
        std::tm broken{};
        gmtime_r(&t, &broken);
        if (is_due(a, broken)) {
            return t;
        }
    }
    return 0;
}

struct schedule_case {
    const char* what;
    schedule_frequency frequency;
    int attribute;
    int access_time;
    std::time_t now;
    std::time_t next_run;  // what clients are shown (0: never)
    std::time_t started;   // when the scheduler starts the crawl (0: never)
};

class schedule_test : public testing::TestWithParam<schedule_case> {};

TEST_P(schedule_test, next_run_and_the_scheduler_start_as_pinned) {
    const schedule_case& c = GetParam();
    const ArchiveConfiguration a = schedule(c.frequency, c.attribute, c.access_time);
    EXPECT_EQ(next_run(a, c.now), c.next_run) << c.what;
    EXPECT_EQ(scheduler_start(a, c.now), c.started) << c.what;
}

using f = schedule_frequency;
// 2023-03-15 is a Wednesday (weekday 3), day 73 of the year counted from 0.
INSTANTIATE_TEST_SUITE_P(
    cases, schedule_test,
    testing::Values(
        schedule_case{"hourly, at a start: the next one", f::hourly, 4, 5, utc(2023, 3, 15, 9),
                      utc(2023, 3, 15, 13), utc(2023, 3, 15, 13)},
        schedule_case{"hourly every 2 from 3, at 02:20: NextRun passes over 03:00", f::hourly, 2, 3,
                      utc(2023, 3, 15, 2, 20), utc(2023, 3, 15, 5), utc(2023, 3, 15, 3)},
        schedule_case{"hourly every 3 from 1 runs over midnight to 01:00, not 00:00", f::hourly, 3,
                      1, utc(2023, 3, 15, 22, 20), utc(2023, 3, 16, 1), utc(2023, 3, 16, 1)},
        schedule_case{"hourly every 5: the scheduler begins the day afresh", f::hourly, 5, 0,
                      utc(2023, 3, 15, 22, 20), utc(2023, 3, 16, 1), utc(2023, 3, 16, 0)},
        schedule_case{"hourly without a period", f::hourly, 0, 5, utc(2023, 3, 15, 7), 0, 0},
        schedule_case{"daily every 2nd day, on an odd day: NextRun lies in the past", f::daily, 2,
                      5, utc(2023, 3, 15, 7), utc(2023, 3, 15, 5), utc(2023, 3, 16, 5)},
        schedule_case{"daily every 2nd day, even day before the hour: NextRun skips today",
                      f::daily, 2, 5, utc(2023, 3, 16, 3), utc(2023, 3, 17, 5),
                      utc(2023, 3, 16, 5)},
        schedule_case{"daily every 3rd day: NextRun a day early", f::daily, 3, 5,
                      utc(2023, 3, 15, 7), utc(2023, 3, 16, 5), utc(2023, 3, 17, 5)},
        schedule_case{"daily every 2nd day: the days of the year restart on 1 January", f::daily, 2,
                      5, utc(2023, 12, 31, 7), utc(2024, 1, 2, 5), utc(2024, 1, 1, 5)},
        schedule_case{"daily at an hour past 23: never started, NextRun still a moment", f::daily,
                      1, 24, utc(2023, 3, 15, 7), utc(2023, 3, 16, 0), 0},
        schedule_case{"daily without a period", f::daily, -1, 5, utc(2023, 3, 15, 7), 0, 0},
        schedule_case{"weekly with a weekday out of range", f::weekly, 7, 12, utc(2023, 3, 15, 7),
                      0, 0},
        schedule_case{"monthly on day 31: no NextRun, started in months that have it", f::monthly,
                      31, 0, utc(2023, 4, 15, 7), 0, utc(2023, 5, 31, 0)},
        schedule_case{"disabled", f::disabled, 1, 0, utc(2023, 3, 15, 7), 0, 0},
        schedule_case{"unknown frequency", static_cast<f>(9), 1, 0, utc(2023, 3, 15, 7), 0, 0}));

// Where the two rules agree (weekly, monthly on days 1 to 28, hourly and daily with a period of
// 1), NextRun is the scheduler's next start at every hour, over a year's end and a leap day. The
// table above adds longer periods, the cases where the rules differ and schedules that never run.
TEST(schedule_sweep, next_run_is_the_scheduler_start_wherever_the_rules_agree) {
    std::vector<ArchiveConfiguration> agreeing;
    for (int h : {0, 11, 23}) {
        agreeing.push_back(schedule(f::hourly, 1, h));
        agreeing.push_back(schedule(f::daily, 1, h));
        for (int w = 0; w <= 6; ++w) {
            agreeing.push_back(schedule(f::weekly, w, h));
        }
        for (int m = 1; m <= 28; ++m) {
            agreeing.push_back(schedule(f::monthly, m, h));
        }
    }
    for (const ArchiveConfiguration& a : agreeing) {
        // Walking back from the horizon, `next` is the first start after each hour.
        const std::time_t from = utc(2023, 12, 20, 0, 20);
        const std::time_t to = utc(2024, 3, 5, 0, 20);
        std::time_t next = scheduler_start(a, to);
        for (std::time_t t = to; t >= from; t -= hour) {
            ASSERT_EQ(next_run(a, t), next) << static_cast<int>(a.frequency) << " " << a.attribute
                                            << " " << a.access_time << " at " << t;
            std::tm broken{};
            const std::time_t whole = t - t % hour;
            gmtime_r(&whole, &broken);
            if (is_due(a, broken)) {
                next = whole;
            }
        }
    }
}

struct window_case {
    int start;
    int stop;
    int hour;
    bool open;
};

class crawl_window_test : public testing::TestWithParam<window_case> {};

TEST_P(crawl_window_test, opens_from_start_to_stop_hour_inclusive) {
    const auto& c = GetParam();
    const std::int64_t day = 19000 * std::int64_t{86400};  // a midnight, UTC
    for (int minute : {0, 59}) {
        EXPECT_EQ(in_crawl_window(day + std::int64_t{c.hour} * 3600 + std::int64_t{minute} * 60,
                                  c.start, c.stop),
                  c.open)
            << c.start << "-" << c.stop << " at " << c.hour << ":" << minute;
    }
}

INSTANTIATE_TEST_SUITE_P(cases, crawl_window_test,
                         testing::Values(window_case{9, 17, 8, false}, window_case{9, 17, 9, true},
                                         window_case{9, 17, 17, true},
                                         window_case{9, 17, 18, false},
                                         // Wrapping midnight: 22:00 to 06:59.
                                         window_case{22, 6, 21, false},
                                         window_case{22, 6, 22, true}, window_case{22, 6, 0, true},
                                         window_case{22, 6, 6, true}, window_case{22, 6, 7, false},
                                         // Equal hours count as wrapping: open all day.
                                         window_case{5, 5, 4, true}));

}  // namespace
}  // namespace marloven
