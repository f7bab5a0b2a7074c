// metrics.h: the daemon's running counters for monitoring: pages fetched by result, bytes,
// "not modified" answers, the crawl rate, searches and their latency, worker restarts. The crawl
// threads and the query operation count into one object; GET /metrics reads it.
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "util/crawl_error.h"

namespace marloven {

// Purpose: a latency histogram with fixed upper bounds, counted without a lock.
// Ownership: plain values.
// Threads: observe() from any thread; the readers may see a count a moment before its sum.
class latency_histogram {
  public:
    // Upper bounds of the buckets, in seconds; a last bucket takes everything above.
    static constexpr std::array<double, 12> bounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                      0.05,   0.1,   0.25,   0.5,   1.0,  2.5};
    void observe(std::chrono::nanoseconds elapsed);
    // Observations of bucket i alone (not cumulative); i == bounds.size() is the last bucket.
    std::uint64_t bucket(std::size_t i) const {
        return buckets_[i].load(std::memory_order_relaxed);
    }
    std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    double sum_seconds() const;

  private:
    std::array<std::atomic<std::uint64_t>, bounds.size() + 1> buckets_{};
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::uint64_t> sum_ns_{0};
};

// Purpose: events per second over the last `window` seconds (the crawl rate).
// Ownership: plain values.
// Threads: thread-safe; one short lock per event (crawl passes only, never a search).
class event_rate {
  public:
    static constexpr int window = 60;
    void add(std::int64_t now_seconds);
    double per_second(std::int64_t now_seconds) const;

  private:
    struct slot {
        std::int64_t second = -1;
        std::uint64_t count = 0;
    };
    mutable std::mutex mutex_;
    std::array<slot, window> slots_{};  // guarded by mutex_; slot second % window
};

// Purpose: the counters of one daemon run. Owned by the application object and lent to the crawl
// threads and the API operations (either may hold none, in tests).
// Threads: every member may be used from any thread.
class daemon_metrics {
  public:
    // One URL processed by a crawl thread: its result, the body bytes that came over the
    // network, and whether the server answered "304 Not Modified".
    void page_fetched(crawl_error result, std::uint64_t bytes, bool not_modified,
                      std::int64_t now_seconds);
    void search_done(std::chrono::nanoseconds elapsed) { searches.observe(elapsed); }
    void worker_restarted() { worker_restarts_.fetch_add(1, std::memory_order_relaxed); }

    std::uint64_t pages(crawl_error result) const;
    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    std::uint64_t not_modified() const { return not_modified_.load(std::memory_order_relaxed); }
    std::uint64_t worker_restarts() const {
        return worker_restarts_.load(std::memory_order_relaxed);
    }
    double crawl_rate(std::int64_t now_seconds) const { return rate_.per_second(now_seconds); }

    latency_histogram searches;

  private:
    std::array<std::atomic<std::uint64_t>, crawl_error_count> pages_{};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> not_modified_{0};
    std::atomic<std::uint64_t> worker_restarts_{0};
    event_rate rate_;
};

// Times one search into `metrics` (none: nothing is timed) when it goes out of scope.
class search_timer {
  public:
    explicit search_timer(daemon_metrics* metrics)
        : metrics_(metrics), start_(std::chrono::steady_clock::now()) {}
    ~search_timer() {
        if (metrics_ != nullptr) {
            metrics_->search_done(std::chrono::steady_clock::now() - start_);
        }
    }
    search_timer(const search_timer&) = delete;
    search_timer& operator=(const search_timer&) = delete;

  private:
    daemon_metrics* metrics_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace marloven
