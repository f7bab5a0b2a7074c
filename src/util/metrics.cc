// metrics.cc: the monitoring counters.
// SPDX-License-Identifier: MIT
#include "util/metrics.h"

#include <algorithm>

namespace marloven {

void latency_histogram::observe(std::chrono::nanoseconds elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const auto at = std::lower_bound(bounds.begin(), bounds.end(), seconds);
    buckets_[static_cast<std::size_t>(at - bounds.begin())].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    const auto ns = elapsed.count() > 0 ? static_cast<std::uint64_t>(elapsed.count()) : 0;
    sum_ns_.fetch_add(ns, std::memory_order_relaxed);
}

double latency_histogram::sum_seconds() const {
    return static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
}

void event_rate::add(std::int64_t now_seconds) {
    std::scoped_lock lock(mutex_);
    slot& s = slots_[static_cast<std::size_t>(now_seconds % window)];
    if (s.second != now_seconds) {
        s = {now_seconds, 0};
    }
    ++s.count;
}

double event_rate::per_second(std::int64_t now_seconds) const {
    std::scoped_lock lock(mutex_);
    std::uint64_t total = 0;
    for (const slot& s : slots_) {
        if (s.second > now_seconds - window && s.second <= now_seconds) {
            total += s.count;
        }
    }
    return static_cast<double>(total) / window;
}

void daemon_metrics::page_fetched(crawl_error result, std::uint64_t bytes, bool not_modified,
                                  std::int64_t now_seconds) {
    const auto i = static_cast<std::size_t>(result);
    if (i < pages_.size()) {
        pages_[i].fetch_add(1, std::memory_order_relaxed);
    }
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
    if (not_modified) {
        not_modified_.fetch_add(1, std::memory_order_relaxed);
    }
    rate_.add(now_seconds);
}

std::uint64_t daemon_metrics::pages(crawl_error result) const {
    const auto i = static_cast<std::size_t>(result);
    return i < pages_.size() ? pages_[i].load(std::memory_order_relaxed) : 0;
}

}  // namespace marloven
