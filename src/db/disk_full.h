// disk_full.h: a full disk (SQLITE_FULL) as a survivable failure, in the few places where the
// daemon expects one: storing what a crawl brings in and storing an uploaded document. There the
// transaction is rolled back, crawling pauses for a while and an upload is refused; everywhere
// else an SQLite error stays fatal.
// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace marloven {

// Raised instead of the fatal end when a statement, or the commit of a `transaction`, fails with
// SQLITE_FULL on a thread inside a disk_full_tolerated scope. The `transaction` being unwound
// rolls back, so none of the work since its beginning is kept.
class disk_full : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Purpose: marks the database work of the calling thread, for the object's lifetime, as allowed
// to meet a full disk: SQLITE_FULL then throws disk_full. Scopes nest.
// Threads: affects only the thread that made it, which must also destroy it.
class disk_full_tolerated {
  public:
    disk_full_tolerated();
    ~disk_full_tolerated();
    disk_full_tolerated(const disk_full_tolerated&) = delete;
    disk_full_tolerated& operator=(const disk_full_tolerated&) = delete;

    // Whether the calling thread is inside such a scope.
    static bool active();
};

// Whether an SQLite result code (primary or extended) says the disk is full.
bool is_disk_full(int rc);

// Purpose: the daemon's memory of its last full disk. Crawling pauses for `seconds` after one,
// as it does while free space is below MINFREEDISK, and then tries again.
// Threads: thread-safe.
class disk_full_pause {
  public:
    static constexpr std::int64_t default_seconds = 60;

    explicit disk_full_pause(std::int64_t seconds = default_seconds) : seconds_(seconds) {}

    // A full disk was met at `now` (seconds since 1970).
    void note(std::int64_t now) { until_ = now + seconds_; }
    // Whether crawling is still paused at `now`.
    bool active(std::int64_t now) const { return now < until_.load(); }
    std::int64_t seconds() const { return seconds_; }

  private:
    const std::int64_t seconds_;
    std::atomic<std::int64_t> until_{0};
};

}  // namespace marloven
