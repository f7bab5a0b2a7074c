// schedule.cc: the scheduler's rule and NextRun's rule of an archive's schedule (see the header
// for where and why they differ).
// SPDX-License-Identifier: MIT
#include "schedule/schedule.h"

namespace marloven {

bool is_due(const ArchiveConfiguration& archive, const std::tm& utc) {
    const int h = utc.tm_hour;
    const int a = archive.attribute;
    const int at = archive.access_time;
    switch (archive.frequency) {
        case schedule_frequency::hourly:
            return a > 0 && (h - at) % a == 0;
        case schedule_frequency::daily:
            return a > 0 && h == at && utc.tm_yday % a == 0;
        case schedule_frequency::weekly:
            return h == at && utc.tm_wday == a;
        case schedule_frequency::monthly:
            return h == at && utc.tm_mday == a;
        default:
            return false;
    }
}

std::time_t next_run(const ArchiveConfiguration& archive, std::time_t now) {
    std::tm t{};
    gmtime_r(&now, &t);
    t.tm_min = 0;
    t.tm_sec = 0;
    const int h = t.tm_hour;
    const int m = t.tm_mday;
    const int d = t.tm_yday;
    const int w = t.tm_wday;
    const int a = archive.attribute;
    const int at = archive.access_time;
    switch (archive.frequency) {
        case schedule_frequency::hourly: {
            if (a < 1) {
                return 0;
            }
            int next = h - ((h - at) % a) + a;
            if ((next - at) % a != 0) {
                next -= a;
            }
            t.tm_hour = next;
            break;
        }
        case schedule_frequency::daily: {
            if (a < 1) {
                return 0;
            }
            int day = m + (a - (d % a));
            if (d % a != 0 || h < at) {
                day -= 1;
            }
            t.tm_mday = day;
            t.tm_hour = at;
            break;
        }
        case schedule_frequency::weekly: {
            if (a < 0 || a > 6) {
                return 0;
            }
            int day = m + ((a - w + 7) % 7);
            if (w == a && h >= at) {
                day += 7;
            }
            t.tm_mday = day;
            t.tm_hour = at;
            break;
        }
        case schedule_frequency::monthly:
            if (a < 1 || a > 28) {
                return 0;
            }
            if (m > a || (m == a && h >= at)) {
                t.tm_mon += 1;
            }
            t.tm_mday = a;
            t.tm_hour = at;
            break;
        default:
            return 0;
    }
    t.tm_isdst = 0;
    return timegm(&t);
}

bool in_crawl_window(std::int64_t now, int start, int stop) {
    const auto hour = static_cast<int>((now / 3600) % 24);
    if (start < stop) {
        return start <= hour && hour <= stop;
    }
    return hour <= stop || hour >= start;
}

}  // namespace marloven
