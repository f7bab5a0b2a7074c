// fetchqueue.h: the URLs waiting to be crawled, for every archive, kept in the database so that a
// queue survives a restart. The crawl threads take URLs one at a time, politely: one URL per host
// at a time, a delay between two URLs of one host, and turns taken across archives and hosts.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace marloven {

// One queued URL as `next` hands it out.
struct queued_url {
    std::uint32_t arcid = 0;
    std::string url;  // as stored: normalised, or "guid:" and a stored document's guid
    std::uint32_t priority = 0;
};

// Purpose: the table fetchqueue(arcid, url, host, priority), one row per URL and archive, and an
// in-memory index of archives and their hosts. Beside it, fetchredirects(arcid, url, redirects)
// remembers, for queued URLs that a redirect led to, how many redirects in a row did, so that a
// chain of redirects can be ended even across restarts. The table is the truth; the index is a hint
// that remembers when each host was last served and whether a URL of it is in work. After a restart
// every host starts idle, so a URL that was handed out and never removed is served again.
// Ownership: holds no connection; every call borrows the calling thread's.
// Failure: database errors are fatal; nothing is thrown.
// Threads: callers hold the process-wide transaction lock, which also guards the host index.
class fetchqueue {
  public:
    // Creates the table and its indexes when missing and builds the host index from the queued
    // rows. `throttling_seconds` is the politeness delay between two URLs of one host (0: none),
    // counted from the moment the first was handed out; `now` is the queue's only view of time.
    fetchqueue(sqlite3* db, unsigned throttling_seconds, clock_function now = system_clock_seconds);
    // The cursors point into the object's own maps.
    fetchqueue(const fetchqueue&) = delete;
    fetchqueue& operator=(const fetchqueue&) = delete;

    // Queues `url` (normalised with the default scheme "http") for `arcid`; a URL already queued
    // for the archive keeps its first priority (and its redirect count). Among a host's URLs the
    // smallest priority is served first. `redirects`: how many redirects in a row led to the URL
    // (0 for seeds and links of ordinary pages).
    void push(sqlite3* db, std::uint32_t arcid, std::string_view url, std::uint32_t priority,
              std::uint32_t redirects = 0);
    // How many redirects in a row led to the queued URL (0 when none did, or it is not queued).
    std::uint32_t redirects(sqlite3* db, std::uint32_t arcid, std::string_view url) const;
    // The next URL whose host may be visited now, or nothing. The row stays queued (and its host
    // busy) until `remove`. Each call starts at the archive after the previous call's, and
    // within an archive the host search resumes where it stopped. Hosts without rows are
    // dropped from the index on the way.
    std::optional<queued_url> next(sqlite3* db);
    // The URL's processing is finished: deletes its row and frees its host.
    void remove(sqlite3* db, std::uint32_t arcid, std::string_view url);
    // The URL's processing was abandoned and its database changes rolled back: it stays queued
    // and its host is free again.
    void release(std::uint32_t arcid, std::string_view url);
    // True when nothing is queued for the archive.
    bool empty(sqlite3* db, std::uint32_t arcid) const;
    // The number of queued URLs of each archive that has any.
    std::map<std::uint32_t, std::int64_t> lengths(sqlite3* db) const;
    // Deletes the archive's rows; its hosts leave the index as `next` finds them empty.
    void clear(sqlite3* db, std::uint32_t arcid);
    // Deletes every row and forgets every archive.
    void clear_all(sqlite3* db);

    unsigned throttling() const { return throttling_; }

  private:
    struct host_state {
        std::int64_t last_pop = 0;  // when a URL of the host was last handed out; 0: not yet
        bool busy = false;          // a URL of the host is handed out and not yet removed
    };
    // Hosts by name (byte order). host_cursor is hosts.end() only while hosts is empty.
    struct archive_hosts {
        archive_hosts() = default;
        archive_hosts(const archive_hosts&) = delete;  // built in place: the cursor points inside
        archive_hosts& operator=(const archive_hosts&) = delete;
        std::map<std::string, host_state> hosts;
        std::map<std::string, host_state>::iterator host_cursor = hosts.end();
    };

    void index_host(std::uint32_t arcid, const std::string& host);
    // Marks the host idle (`last_pop` stays).
    void free_host(std::uint32_t arcid, const std::string& host);
    // Searches one archive's hosts, once round at most, for a URL that may be served now.
    std::optional<queued_url> next_of_archive(sqlite3* db, std::uint32_t arcid,
                                              archive_hosts& archive);

    // Guarded by the process-wide transaction lock. archive_cursor_ is archives_.end() only
    // while archives_ is empty; entries are dropped only by clear_all.
    std::map<std::uint32_t, archive_hosts> archives_;
    std::map<std::uint32_t, archive_hosts>::iterator archive_cursor_ = archives_.end();
    const unsigned throttling_;
    const clock_function now_;
};

}  // namespace marloven
