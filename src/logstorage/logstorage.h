// logstorage.h: the daemon's histories: one row per crawl of an archive with its counts of good
// and failed documents, one row per processed document, and one row per query of an archive.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

// One crawl's row; `end` is 0 while the crawl runs.
struct crawl_stats {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t docs = 0;
    std::int64_t errors = 0;
};

struct document_log_row {
    std::string guid;
    std::string url;
    std::int64_t timestamp = 0;
    int status = 0;  // the fetch result code
};

struct query_log_row {
    std::int64_t timestamp = 0;
    std::string query;
};

// One page of a crawl's document log and the cursor of the next page: the offset of its first
// row, or -1 once a finished crawl has no more rows. A running crawl never ends paging, so a
// caller can poll it for rows that arrive.
struct document_log_page {
    std::vector<document_log_row> rows;
    std::int64_t next_cursor = -1;
};

// How a fetch result code counts in the running crawl's row: NONE (0) and UNCHANGED (9) are
// documents; NOTFOUND, UNPARSABLE, BADREDIR, NETWORK, UNKNOWN, AUTHREQ, INTERNAL and SERVER
// (3, 4, 5, 7, 8, 11, 12, 13) are errors; REDIRECT, INDEX, BLOCKED, OUTOFDOCS and unknown codes
// count as neither.
enum class status_count { document, error, none };
status_count count_of_status(int status);

// Purpose: the tables crawlstats (at most one running row per archive; its count of "304 Not
// Modified" answers in crawlnotmodified), documentlog and querylog, written by the crawl threads,
// the scheduler and the query front ends and read back by the administration API.
// Ownership: holds no connection; every call borrows the calling thread's.
// Failure: database errors are fatal; missing rows are not errors.
// Threads: callers hold the process-wide transaction lock, except for logQueryCommitted, which
// takes it itself; the object's only state is that call's queue of rows.
class logstorage {
  public:
    // Creates the three tables and their indexes when missing.
    explicit logstorage(sqlite3* db);

    // Opens a crawl row (end 0, no documents, no errors).
    void crawlStarted(sqlite3* db, std::uint32_t arcid, std::int64_t start);
    // Closes the archive's running crawl, if any.
    void crawlEnded(sqlite3* db, std::uint32_t arcid, std::int64_t end);
    // Logs a processed document under its normalised URL and counts its status in the archive's
    // running crawl (none running: only the document row is written).
    void logDocument(sqlite3* db, std::string_view guid, std::uint32_t arcid, std::string_view url,
                     std::int64_t timestamp, int status);
    // Counts a "304 Not Modified" answer in the archive's running crawl (none running: nothing).
    // Kept beside the crawl's row, in crawlnotmodified, keyed by archive and start.
    void countNotModified(sqlite3* db, std::uint32_t arcid);
    // The "304 Not Modified" answers counted in the crawl that began at `start`.
    std::int64_t notModified(sqlite3* db, std::uint32_t arcid, std::int64_t start) const;
    void logQuery(sqlite3* db, std::uint32_t arcid, std::int64_t timestamp, std::string_view query);
    // Logs the query for each archive, as logQuery does, and commits the rows before it returns.
    // Called without an open transaction on `db`: it takes the process-wide transaction lock
    // itself. Rows that other threads log meanwhile share the transaction (one caller writes
    // all that are waiting, the others wait for its commit), so concurrent searches cost one
    // commit between them, not one each.
    void logQueryCommitted(sqlite3* db, const std::vector<std::uint32_t>& arcids,
                           std::int64_t timestamp, std::string_view query);

    // The archive's latest crawl (greatest start), or nothing.
    std::optional<crawl_stats> lastCrawl(sqlite3* db, std::uint32_t arcid) const;
    // The start times of the archive's crawls, ascending.
    std::vector<std::int64_t> crawlStarts(sqlite3* db, std::uint32_t arcid) const;
    // Up to `limit` document rows of the crawl that began at `start`, from offset `cursor`, in
    // processing order. A cursor below 0 gives no rows and stays as it is; a start below 1
    // gives no rows and the cursor -1.
    document_log_page documentLog(sqlite3* db, std::uint32_t arcid, std::int64_t start, int limit,
                                  std::int64_t cursor) const;
    // The archive's queries with from <= timestamp <= to, in the order they were logged.
    std::vector<query_log_row> queryLog(sqlite3* db, std::uint32_t arcid, std::int64_t from,
                                        std::int64_t to) const;

    // Deletes the archive's rows of all three tables.
    void clearArchive(sqlite3* db, std::uint32_t arcid);
    // Empties all three tables.
    void clearAll(sqlite3* db);

  private:
    struct query_row {
        std::uint32_t arcid;
        std::int64_t timestamp;
        std::string query;
    };
    // The group commit of logQueryCommitted. Never held while waiting for the transaction lock.
    std::mutex batch_mutex_;
    std::condition_variable batch_committed_;
    std::vector<query_row> batch_;    // rows waiting for a writer; guarded by batch_mutex_
    std::uint64_t batch_number_ = 1;  // the batch that batch_ fills; guarded by batch_mutex_
    std::uint64_t committed_ = 0;     // the last batch committed; guarded by batch_mutex_
    bool writing_ = false;            // a caller writes a batch; guarded by batch_mutex_
};

}  // namespace marloven
