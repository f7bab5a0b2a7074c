// next_run.h: when an archive's schedule starts its next crawl.
// SPDX-License-Identifier: MIT
#pragma once

#include <ctime>

#include "records/records.h"

namespace marloven {

// The next start of `archive`'s schedule after `now` (seconds since 1970, UTC), or 0 when the
// schedule never fires (disabled, or an attribute out of range). The moment is taken to the whole
// hour in UTC; with h the hour, m the day of the month, d the day of the year (from 0), w the day
// of the week (Sunday 0), A the attribute and H the access time:
//   hourly:  today at hour h' = h - ((h - H) rem A) + A, less A when (h' - H) rem A is not 0;
//   daily:   day m + (A - d rem A) at H, one day earlier when d rem A is not 0 or h < H;
//   weekly:  day m + ((A - w + 7) rem 7) at H, a week later when w = A and h >= H;
//   monthly: day A at H of this month, or of the next when that moment has come.
// Remainders are truncated towards zero; hours and days run over into the following days,
// months and years.
std::time_t next_run(const ArchiveConfiguration& archive, std::time_t now);

}  // namespace marloven
