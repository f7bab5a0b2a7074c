// logstorage.cc: the crawl statistics, the document log and the query log. Assertions of this
// file print the path "src\logstorage\logstorage".
// SPDX-License-Identifier: MIT
#include "logstorage/logstorage.h"

#include "db/disk_full.h"
#include "db/sqlite.h"
#include "util/crawl_error.h"
#include "util/uri.h"

namespace marloven {

status_count count_of_status(int status) {
    if (status < 0 || status >= crawl_error_count) {
        return status_count::none;  // a code this build does not know
    }
    switch (static_cast<crawl_error>(status)) {
        case crawl_error::none:
        case crawl_error::unchanged:
            return status_count::document;
        case crawl_error::notfound:
        case crawl_error::unparsable:
        case crawl_error::badredir:
        case crawl_error::network:
        case crawl_error::unknown:
        case crawl_error::authreq:
        case crawl_error::internal:
        case crawl_error::server:
            return status_count::error;
        case crawl_error::redirect:
        case crawl_error::index:
        case crawl_error::blocked:
        case crawl_error::outofdocs:
            return status_count::none;
    }
    return status_count::none;
}

logstorage::logstorage(sqlite3* db) {
    if (try_exec(db, "select * from documentlog limit 1") != SQLITE_OK) {
        exec(db,
             "create table documentlog(guid text, arcid integer, url text, timestamp integer, "
             "status integer)");
        exec(db, "create index documentlog_idx1 on documentlog(arcid, timestamp)");
    }
    if (try_exec(db, "select * from querylog limit 1") != SQLITE_OK) {
        exec(db, "create table querylog(arcid integer, timestamp integer, query text)");
        exec(db, "create index querylog_idx1 on querylog(arcid, timestamp)");
    }
    if (try_exec(db, "select * from crawlstats limit 1") != SQLITE_OK) {
        exec(db,
             "create table crawlstats(arcid integer, start integer, end integer, docs "
             "integer, errors integer)");
        exec(db, "create unique index crawlstats_idx1 on crawlstats(arcid, start, end)");
    }
    if (try_exec(db, "select * from crawlnotmodified limit 1") != SQLITE_OK) {
        exec(db,
             "create table crawlnotmodified(arcid integer, start integer, notmodified integer)");
        exec(db, "create unique index crawlnotmodified_idx1 on crawlnotmodified(arcid, start)");
    }
}

void logstorage::crawlStarted(sqlite3* db, std::uint32_t arcid, std::int64_t start) {
    // A crawl's start identifies it (crawl logs are asked for by start), and the rows are unique
    // on (arcid, start, end): a crawl started, stopped and started again within one second gets
    // the next second as its start, so that ending it cannot collide with the earlier row.
    statement last(
        db, sql_text("select max(start) from crawlstats where arcid=%d", static_cast<int>(arcid)));
    if (last.next() && !last.is_null(0) && last.integer(0) >= start) {
        start = last.integer(0) + 1;
    }
    exec(db, sql_text("insert into crawlstats values(%d, %lld, 0, 0, 0)", static_cast<int>(arcid),
                      static_cast<long long>(start)));
}

void logstorage::crawlEnded(sqlite3* db, std::uint32_t arcid, std::int64_t end) {
    exec(db, sql_text("update crawlstats set end=%lld where arcid=%d and end=0",
                      static_cast<long long>(end), static_cast<int>(arcid)));
}

void logstorage::logDocument(sqlite3* db, std::string_view guid, std::uint32_t arcid,
                             std::string_view url, std::int64_t timestamp, int status) {
    exec(db, sql_text("insert into documentlog values('%q', %lu, '%q', %lld, %d)",
                      std::string(guid).c_str(), static_cast<unsigned long>(arcid),
                      normalise_url(url).c_str(), static_cast<long long>(timestamp), status));
    switch (count_of_status(status)) {
        case status_count::document:
            exec(db, sql_text("update crawlstats set docs=docs+1 where arcid=%d and end=0",
                              static_cast<int>(arcid)));
            break;
        case status_count::error:
            exec(db, sql_text("update crawlstats set errors=errors+1 where arcid=%d and end=0",
                              static_cast<int>(arcid)));
            break;
        case status_count::none:
            break;
    }
}

void logstorage::countNotModified(sqlite3* db, std::uint32_t arcid) {
    exec(db, sql_text("insert into crawlnotmodified select arcid, start, 1 from crawlstats where "
                      "arcid=%d and end=0 on conflict(arcid, start) do update set "
                      "notmodified=notmodified+1",
                      static_cast<int>(arcid)));
}

std::int64_t logstorage::notModified(sqlite3* db, std::uint32_t arcid, std::int64_t start) const {
    statement st(db, sql_text("select notmodified from crawlnotmodified where arcid=%d and "
                              "start=%lld",
                              static_cast<int>(arcid), static_cast<long long>(start)));
    return st.next() ? st.integer(0) : 0;
}

void logstorage::logQuery(sqlite3* db, std::uint32_t arcid, std::int64_t timestamp,
                          std::string_view query) {
    exec(db,
         sql_text("insert into querylog values(%lu, %lld, '%q')", static_cast<unsigned long>(arcid),
                  static_cast<long long>(timestamp), std::string(query).c_str()));
}

void logstorage::logQueryCommitted(sqlite3* db, const std::vector<std::uint32_t>& arcids,
                                   std::int64_t timestamp, std::string_view query) {
    // The text as logQuery's quoted literal holds it: up to a zero byte.
    const std::string text(query.substr(0, query.find('\0')));
    std::unique_lock lock(batch_mutex_);
    for (std::uint32_t arcid : arcids) {
        batch_.push_back({arcid, timestamp, text});
    }
    const std::uint64_t mine = batch_number_;
    while (committed_ < mine) {
        if (writing_) {
            batch_committed_.wait(lock, [&] { return committed_ >= mine || !writing_; });
            continue;
        }
        // No one writes: this caller writes every waiting row, its own among them.
        writing_ = true;
        std::vector<query_row> rows;
        rows.swap(batch_);
        const std::uint64_t number = batch_number_++;
        lock.unlock();
        try {
            transaction t(db);
            statement st(db, "insert into querylog values(?, ?, ?)");
            for (const query_row& r : rows) {
                st.bind_int64(1, r.arcid);
                st.bind_int64(2, r.timestamp);
                st.bind_text(3, r.query);
                st.next();
                st.reset();
            }
            t.commit();
        } catch (const disk_full&) {
            // A full disk inside a tolerant scope (db/disk_full.h): the rows wait for the next
            // writer, one of the waiting callers.
            lock.lock();
            batch_.insert(batch_.begin(), rows.begin(), rows.end());
            writing_ = false;
            batch_committed_.notify_all();
            throw;
        }
        lock.lock();
        writing_ = false;
        committed_ = number;
        batch_committed_.notify_all();
    }
}

std::optional<crawl_stats> logstorage::lastCrawl(sqlite3* db, std::uint32_t arcid) const {
    statement st(db, sql_text("select start, end, docs, errors from crawlstats where arcid=%d "
                              "order by start desc limit 1",
                              static_cast<int>(arcid)));
    if (!st.next()) {
        return std::nullopt;
    }
    return crawl_stats{st.integer(0), st.integer(1), st.integer(2), st.integer(3)};
}

std::vector<std::int64_t> logstorage::crawlStarts(sqlite3* db, std::uint32_t arcid) const {
    statement st(db, sql_text("select start from crawlstats where arcid=%d order by start",
                              static_cast<int>(arcid)));
    std::vector<std::int64_t> starts;
    while (st.next()) {
        starts.push_back(st.integer(0));
    }
    return starts;
}

document_log_page logstorage::documentLog(sqlite3* db, std::uint32_t arcid, std::int64_t start,
                                          int limit, std::int64_t cursor) const {
    document_log_page page;
    if (cursor < 0) {
        page.next_cursor = cursor;
        return page;
    }
    if (start < 1) {
        return page;  // next cursor -1
    }
    std::int64_t end = 0;
    {
        statement st(db, sql_text("select end from crawlstats where arcid=%d and start=%lld",
                                  static_cast<int>(arcid), static_cast<long long>(start)));
        if (st.next()) {
            end = st.integer(0);
        }
    }
    statement st(
        db, end == 0
                ? sql_text("select guid, url, timestamp, status from documentlog where "
                           "arcid=%d and timestamp>=%lld order by timestamp, rowid "
                           "limit %d offset %lld",
                           static_cast<int>(arcid), static_cast<long long>(start), limit,
                           static_cast<long long>(cursor))
                : sql_text("select guid, url, timestamp, status from documentlog where "
                           "arcid=%d and timestamp between %lld and %lld order by "
                           "timestamp, rowid limit %d offset %lld",
                           static_cast<int>(arcid), static_cast<long long>(start),
                           static_cast<long long>(end), limit, static_cast<long long>(cursor)));
    while (st.next()) {
        page.rows.push_back(
            {st.text(0), st.text(1), st.integer(2), static_cast<int>(st.integer(3))});
    }
    const auto count = static_cast<std::int64_t>(page.rows.size());
    page.next_cursor = end != 0 && count < limit ? -1 : cursor + count;
    return page;
}

std::vector<query_log_row> logstorage::queryLog(sqlite3* db, std::uint32_t arcid, std::int64_t from,
                                                std::int64_t to) const {
    statement st(db, sql_text("select timestamp, query from querylog where arcid=%d and "
                              "timestamp between %lld and %lld order by timestamp, rowid",
                              static_cast<int>(arcid), static_cast<long long>(from),
                              static_cast<long long>(to)));
    std::vector<query_log_row> rows;
    while (st.next()) {
        rows.push_back({st.integer(0), st.text(1)});
    }
    return rows;
}

void logstorage::clearArchive(sqlite3* db, std::uint32_t arcid) {
    const int id = static_cast<int>(arcid);
    exec(db, sql_text("delete from documentlog where arcid=%d", id));
    exec(db, sql_text("delete from querylog where arcid=%d", id));
    exec(db, sql_text("delete from crawlstats where arcid=%d", id));
    exec(db, sql_text("delete from crawlnotmodified where arcid=%d", id));
}

void logstorage::clearAll(sqlite3* db) {
    exec(db, "delete from documentlog");
    exec(db, "delete from querylog");
    exec(db, "delete from crawlstats");
    exec(db, "delete from crawlnotmodified");
}

}  // namespace marloven
