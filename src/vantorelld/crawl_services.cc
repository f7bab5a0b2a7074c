// crawl_services.cc: the shared cookie store, the crawl settings and the disk-room test.
// SPDX-License-Identifier: MIT
#include "vantorelld/crawl_services.h"

#include <algorithm>

#include "db/disk_full.h"
#include "util/config_file.h"
#include "util/log.h"

namespace marloven {

std::optional<std::string> cookie_store::usable(std::uint32_t arcid, int freshness,
                                                std::int64_t now) const {
    std::scoped_lock lock(mutex_);
    auto it = entries_.find(arcid);
    if (it == entries_.end() || (freshness != 0 && now - it->second.obtained > freshness)) {
        return std::nullopt;
    }
    return it->second.cookies;
}

void cookie_store::put(std::uint32_t arcid, std::string cookies, std::int64_t now) {
    std::scoped_lock lock(mutex_);
    entries_[arcid] = entry{std::move(cookies), now};
}

std::uint64_t crawl_wakeup::changes() const {
    std::scoped_lock lock(mutex_);
    return changes_;
}

void crawl_wakeup::changed() {
    {
        std::scoped_lock lock(mutex_);
        ++changes_;
    }
    changed_.notify_one();
}

void crawl_wakeup::wait(std::uint64_t seen, std::chrono::milliseconds timeout,
                        const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, stop, timeout, [&] { return changes_ != seen; });
}

crawl_settings crawl_settings::from(const config_file& config) {
    crawl_settings s;
    s.data_dir = config.value(keys::DATADIR).value_or("");
    s.min_free_disk = static_cast<std::uint64_t>(std::max(0LL, config.integer(keys::MINFREEDISK)))
                      << 20;
    s.crawl_start = static_cast<int>(config.integer(keys::CRAWLSTART));
    s.crawl_stop = static_cast<int>(config.integer(keys::CRAWLSTOP));
    s.optimize_at = static_cast<int>(config.integer(keys::OptimizeAt));
    s.flush_latency = static_cast<int>(config.integer(keys::FlushLatency));
    if (auto text = config.value(keys::NOTIFYURL); text && !text->empty()) {
        std::string reason;
        s.notify = notify_url::parse(*text, reason);
        if (!s.notify) {
            VANT_LOG(WORKERSCHEDULING, error)
                << "NOTIFYURL '" << *text << "' is not used: " << reason;
        }
    }
    return s;
}

bool crawl_services::enough_disk() const {
    if (disk_pause != nullptr && disk_pause->active(now())) {
        return false;
    }
    return disk_has_room(free_disk(settings.data_dir), settings.min_free_disk);
}

void crawl_services::disk_was_full(const std::string& where, const std::string& error) const {
    if (disk_pause != nullptr) {
        disk_pause->note(now());
    }
    VANT_LOG(WORKERSCHEDULING, error)
        << "Disk full " << where << ": " << error << "; the changes were rolled back, crawling "
        << "pauses for " << (disk_pause != nullptr ? disk_pause->seconds() : 0) << " seconds";
}

}  // namespace marloven
