// schedule.h: the two rules of an archive's schedule: in which UTC hours the scheduler starts
// its crawls (is_due), and the next start that clients are shown as the archive's NextRun
// (next_run). Below the API and the daemon; needs only the records.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <ctime>

#include "records/records.h"

namespace marloven {

// An archive's schedule is its frequency, its attribute A and its access time H. The two rules
// below read it differently, and both are kept as they are: is_due decides when crawls start,
// while next_run gives the NextRun value that clients have always been shown and rely on. Where
// they differ, the scheduler's hour is the one that happens. Change neither to match the other;
// both are pinned, their differences included, by tests/schedule/schedule_test.cc.
//
// They agree for weekly schedules, for hourly and daily ones with A = 1, and for monthly ones
// with A from 1 to 28, all with H from 0 to 23. They differ here:
// - hourly, A > 1: next_run counts on from the current hour with a remainder truncated towards
//   zero, so before H it passes over the start that is_due makes at the next hour with
//   (h - H) a multiple of A (every 2 hours from 03:00, at 02:20: next_run says 05:00, the crawl
//   starts at 03:00); and it counts on past midnight, where is_due begins each day afresh at
//   hour 0, which differs whenever A does not divide 24 (every 5 hours from 00:00, at 22:20:
//   next_run says 01:00, the crawl starts at 00:00);
// - daily, A > 1: is_due takes the days of the year divisible by A (counted from 1 January, so
//   the pattern restarts each year), next_run counts days of the month: on a day that is not
//   due it names the day before the next due day (today when tomorrow is due, a moment already
//   past from H on), and on a due day before H it passes over that day's start;
// - monthly, A from 29 to 31: next_run is 0, is_due starts crawls on that day in the months
//   that have it;
// - daily, weekly and monthly with H outside 0 to 23: is_due never fires, next_run still names a
//   moment (its hour runs over into another day).

// Whether the archive's schedule starts a crawl in the UTC hour `utc` (h its hour, d the day of
// the year from 0, w the day of the week from Sunday = 0, m the day of the month): hourly when
// A > 0 and (h - H) rem A = 0, the remainder taking the sign of the dividend, so hours before H
// are due only when h - H is a multiple of A; daily when A > 0, h = H and d rem A = 0; weekly
// when h = H and w = A; monthly when h = H and m = A; never when disabled or for any other
// frequency.
bool is_due(const ArchiveConfiguration& archive, const std::tm& utc);

// NextRun: the next start of the archive's schedule after `now` (seconds since 1970, UTC), or 0
// when the schedule never fires (disabled, or an attribute out of range). The moment is taken to
// the whole hour in UTC; with h, m, d and w as above:
//   hourly:  today at hour h' = h - ((h - H) rem A) + A, less A when (h' - H) rem A is not 0;
//   daily:   day m + (A - d rem A) at H, one day earlier when d rem A is not 0 or h < H;
//   weekly:  day m + ((A - w + 7) rem 7) at H, a week later when w = A and h >= H;
//   monthly: day A at H of this month, or of the next when that moment has come.
// Remainders are truncated towards zero; hours and days run over into the following days,
// months and years.
std::time_t next_run(const ArchiveConfiguration& archive, std::time_t now);

// Whether the UTC hour of `now` (seconds since 1970) lies in the daily crawl window from hour
// `start` (CRAWLSTART) to hour `stop` (CRAWLSTOP), both included: start <= hour <= stop when
// start < stop, otherwise (the window wraps midnight, or start equals stop) hour <= stop or
// hour >= start. The crawl threads take URLs only inside it, and the status report says so.
bool in_crawl_window(std::int64_t now, int start, int stop);

}  // namespace marloven
