// fetchqueue.cc: the queue table and the host index that makes crawling polite.
// SPDX-License-Identifier: MIT
#include "fetchqueue/fetchqueue.h"

#include <utility>

#include "db/sqlite.h"
#include "util/uri.h"

namespace marloven {

namespace {

// Hosts served back to back: the machine itself, and URLs without a host ("guid:" entries).
bool is_local_host(std::string_view host) {
    return host.empty() || host == "localhost" || host == "127.0.0.1";
}

}  // namespace

fetchqueue::fetchqueue(sqlite3* db, unsigned throttling_seconds, clock_function now)
    : throttling_(throttling_seconds), now_(std::move(now)) {
    if (try_exec(db, "select * from fetchqueue limit 1") != SQLITE_OK) {
        exec(db, "create table fetchqueue(arcid integer, url text, host text, priority integer)");
        exec(db, "create unique index fetchqueue_idx1 on fetchqueue(arcid, url)");
        exec(db, "create index fetchqueue_idx2 on fetchqueue(arcid, host, priority)");
    }
    if (try_exec(db, "select * from fetchredirects limit 1") != SQLITE_OK) {
        exec(db, "create table fetchredirects(arcid integer, url text, redirects integer)");
        exec(db, "create unique index fetchredirects_idx1 on fetchredirects(arcid, url)");
    }
    // Counts of URLs no longer queued (a queue replaced by a restore) would wrongly shorten a
    // later chain through the same URL.
    exec(db,
         "delete from fetchredirects where not exists (select 1 from fetchqueue q where "
         "q.arcid=fetchredirects.arcid and q.url=fetchredirects.url)");
    statement st(db, "select distinct arcid, host from fetchqueue");
    while (st.next()) {
        auto& archive = archives_[static_cast<std::uint32_t>(st.integer(0))];
        archive.hosts.try_emplace(st.text(1));
    }
    for (auto& [arcid, archive] : archives_) {
        archive.host_cursor = archive.hosts.begin();
    }
    archive_cursor_ = archives_.begin();
}

void fetchqueue::push(sqlite3* db, std::uint32_t arcid, std::string_view url,
                      std::uint32_t priority, std::uint32_t redirects) {
    const uri u = uri::parse(url, "http");
    const std::string key = u.normalise();
    const std::string host(u.host());
    const int rc = try_exec(db, sql_text("insert into fetchqueue values(%lu, '%q', '%q', %lu)",
                                         static_cast<unsigned long>(arcid), key.c_str(),
                                         host.c_str(), static_cast<unsigned long>(priority)));
    if (rc != SQLITE_CONSTRAINT) {  // a constraint: already queued, the first priority stays
        VANT_SQLITE_CHECK(db, rc);
        if (redirects > 0) {
            exec(db, sql_text("insert or replace into fetchredirects values(%lu, '%q', %lu)",
                              static_cast<unsigned long>(arcid), key.c_str(),
                              static_cast<unsigned long>(redirects)));
        }
    }
    index_host(arcid, host);
}

std::uint32_t fetchqueue::redirects(sqlite3* db, std::uint32_t arcid, std::string_view url) const {
    const uri u = uri::parse(url, "http");
    statement st(db, sql_text("select redirects from fetchredirects where arcid=%lu and url='%q'",
                              static_cast<unsigned long>(arcid), u.normalise().c_str()));
    return st.next() ? static_cast<std::uint32_t>(st.integer(0)) : 0;
}

void fetchqueue::index_host(std::uint32_t arcid, const std::string& host) {
    auto& archive = archives_[arcid];
    archive.hosts.try_emplace(host);
    if (archive.hosts.size() == 1) {
        archive.host_cursor = archive.hosts.begin();
    }
    if (archives_.size() == 1) {
        archive_cursor_ = archives_.begin();
    }
}

std::optional<queued_url> fetchqueue::next(sqlite3* db) {
    const std::size_t archive_count = archives_.size();
    for (std::size_t i = 0; i < archive_count; ++i) {
        auto current = archive_cursor_++;
        auto found = next_of_archive(db, current->first, current->second);
        if (archive_cursor_ == archives_.end()) {
            archive_cursor_ = archives_.begin();
        }
        if (found) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<queued_url> fetchqueue::next_of_archive(sqlite3* db, std::uint32_t arcid,
                                                      archive_hosts& archive) {
    auto& hosts = archive.hosts;
    const std::size_t host_count = hosts.size();
    for (std::size_t i = 0; i < host_count && !hosts.empty(); ++i) {
        const std::string host = archive.host_cursor->first;
        host_state& state = archive.host_cursor->second;
        ++archive.host_cursor;
        std::optional<queued_url> found;
        const std::int64_t now = now_();
        // Not while a URL of the host is in work, nor before the delay has passed since the
        // last one was handed out (local hosts have no delay).
        const bool may_visit =
            !state.busy &&
            (is_local_host(host) || state.last_pop + static_cast<std::int64_t>(throttling_) <= now);
        if (may_visit) {
            statement st(db, sql_text("select url, priority from fetchqueue where arcid=%lu and "
                                      "host='%q' order by priority limit 1",
                                      static_cast<unsigned long>(arcid), host.c_str()));
            if (st.next()) {
                found = queued_url{arcid, st.text(0), static_cast<std::uint32_t>(st.integer(1))};
                state.last_pop = now;
                state.busy = true;
            } else {
                hosts.erase(host);  // the cursor has moved past it already
            }
        }
        if (archive.host_cursor == hosts.end()) {
            archive.host_cursor = hosts.begin();
        }
        if (found) {
            return found;
        }
    }
    return std::nullopt;
}

void fetchqueue::remove(sqlite3* db, std::uint32_t arcid, std::string_view url) {
    const uri u = uri::parse(url, "http");
    const std::string key = u.normalise();
    exec(db, sql_text("delete from fetchqueue where arcid=%lu and url='%q'",
                      static_cast<unsigned long>(arcid), key.c_str()));
    exec(db, sql_text("delete from fetchredirects where arcid=%lu and url='%q'",
                      static_cast<unsigned long>(arcid), key.c_str()));
    free_host(arcid, std::string(u.host()));
}

void fetchqueue::release(std::uint32_t arcid, std::string_view url) {
    free_host(arcid, std::string(uri::parse(url, "http").host()));
}

void fetchqueue::free_host(std::uint32_t arcid, const std::string& host) {
    auto archive = archives_.find(arcid);
    if (archive == archives_.end()) {
        return;
    }
    auto state = archive->second.hosts.find(host);
    if (state != archive->second.hosts.end()) {
        state->second.busy = false;
    }
}

bool fetchqueue::empty(sqlite3* db, std::uint32_t arcid) const {
    statement st(db, sql_text("select * from fetchqueue where arcid=%lu limit 1",
                              static_cast<unsigned long>(arcid)));
    return !st.next();
}

std::map<std::uint32_t, std::int64_t> fetchqueue::lengths(sqlite3* db) const {
    statement st(db, "select arcid, count(*) from fetchqueue group by arcid");
    std::map<std::uint32_t, std::int64_t> out;
    while (st.next()) {
        out[static_cast<std::uint32_t>(st.integer(0))] = st.integer(1);
    }
    return out;
}

void fetchqueue::clear(sqlite3* db, std::uint32_t arcid) {
    exec(db, sql_text("delete from fetchqueue where arcid=%lu", static_cast<unsigned long>(arcid)));
    exec(db,
         sql_text("delete from fetchredirects where arcid=%lu", static_cast<unsigned long>(arcid)));
}

void fetchqueue::clear_all(sqlite3* db) {
    exec(db, "delete from fetchqueue");
    exec(db, "delete from fetchredirects");
    archives_.clear();
    archive_cursor_ = archives_.end();
}

}  // namespace marloven
