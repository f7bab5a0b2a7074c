// crawl.h: the API operations that act on crawling and the index: the archive's state record
// with its next scheduled run, starting, stopping and reprocessing crawls, the crawl and query
// logs, stored documents, queries, the daemon's status, and the legacy index records (a source
// and an archive handled as one).
// SPDX-License-Identifier: MIT
//
// Frame as in api/operations.h: each operation resets the result, refuses with AccessViolation
// unless said otherwise (access to an archive: the record exists and grants the access wanted
// by its own list; administrators pass), and runs inside the caller's `api_transaction`.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "api/api-common.h"
#include "idxstorage/idxstorage.h"
#include "logstorage/logstorage.h"
#include "records/records.h"
#include "schedule/schedule.h"

namespace marloven {

// The state of an archive.
struct ArchiveInfo {
    int archive = 0;
    ArchiveConfiguration configuration;
    std::uint32_t magic = 0;
    bool read_only = false;  // the caller may not write the archive
    bool crawling = false;   // its newest crawl has started and not ended
    // Of the newest crawl (all 0 without one):
    std::int64_t documents = 0;
    std::int64_t errors = 0;
    std::int64_t last_run_start = 0;
    std::int64_t last_run_end = 0;
    std::time_t next_run = 0;  // 0 when the schedule never fires
};

// Fills `info` for archive `id` without an access test; false when the record cannot be read.
bool archive_info(const api_session& s, int id, ArchiveInfo& info);
// The same for a caller who may read the archive.
void GetArchiveInfo(const api_session& s, api_result& r, int id, ArchiveInfo& info);

// Starts a crawl now (write access): a new crawl row and the source's seeds queued with priority
// 0. A running crawl is left alone; an archive whose source cannot be read is not started (no
// error).
void StartCrawl(const api_session& s, api_result& r, int id, ArchiveInfo& info);
// Stops a running crawl (write access): its queue is emptied and the crawl row ended.
void StopCrawl(const api_session& s, api_result& r, int id, ArchiveInfo& info);
// Has the crawl threads process the archive's stored documents again (write access): a new crawl
// row and a "guid:" queue entry per document. Nothing happens while a crawl runs.
void ReprocessDocuments(const api_session& s, api_result& r, int id, ArchiveInfo& info);

// Crawl and query logs (read access).
void GetAvailableCrawlLogs(const api_session& s, api_result& r, int id,
                           std::vector<std::int64_t>& starts);
// Up to `limit` rows of the crawl that began at `start`, from `cursor`: `rows` is replaced by
// the page and `cursor` set to the position of the next one (-1 after the last page of a
// finished crawl).
void GetCrawlLog(const api_session& s, api_result& r, int id, std::int64_t start, int limit,
                 std::int64_t& cursor, std::vector<document_log_row>& rows);
void GetQueryLog(const api_session& s, api_result& r, int id, std::int64_t begin, std::int64_t end,
                 std::vector<query_log_row>& rows);

// The forms of a stored document.
enum class document_format : int { ORIGINAL = 0, PARSED = 1, HTML = 2 };

// A stored document (read access on its archive): as fetched (its MIME type with "; charset="
// and the charset when one is stored), as FFF XML or as HTML. An unknown guid, an unknown form,
// or an FFF blob that cannot be read or rendered give success with empty values.
void GetDocument(const api_session& s, api_result& r, const std::string& guid, int format,
                 std::string& url, std::string& mime, std::string& content);
// Stores a document supplied by the caller (write access on the archive) under the guid a crawl
// would give its URL, and queues it for processing ("guid:" entry), opening a crawl row when none
// runs. MaxDocuments when it cannot be stored, and, storing nothing, while the data directory's
// disk has less free space than MINFREEDISK.
void AddDocument(const api_session& s, api_result& r, int arcid, const std::string& url,
                 const std::string& content_type, const std::string& content, std::string& guid);
// Deletes a stored document from the index and the storage (write access on its archive).
void RemoveDocument(const api_session& s, api_result& r, const std::string& guid);
// The URL of a stored document (read access on its archive).
void GetDocumentURL(const api_session& s, api_result& r, const std::string& guid, std::string& url);

// The query record.
struct query_request {
    std::vector<int> archives;
    int collection = 0;  // -1: every archive the caller may read
    int watch = 0;       // 0 or less: none
    std::int32_t first = 0;
    std::int32_t last = 9;
    std::uint32_t min_time = 0;
    std::uint32_t max_time = 0;
    std::uint32_t min_score = 0;
    query_info info = query_info::INFO_TITLE;
    int view = 0;  // 1: only documents whose core text changed
    query_sort sort = query_sort::SORT_STANDARD;
    query_parser parser = query_parser::none;
    std::vector<query_atom> atoms;  // the query itself with parser none
    std::string text;               // parsed with `parser` otherwise
    std::vector<slice_weight> weights;
};

// Runs a query over the archives the caller may read (read access on each archive named;
// archives of collection -1 that the caller may not read are skipped), with a watch's query and
// collection when one is named, and logs it per archive. `count` is the number of hits (-1 when
// the index failed) and `hits` those from `first` to `last`. BadQuery when a text does not
// parse, the atoms are no well-formed expression, or the query breaks a limit of the index
// (idxstorage::query_refusal: terms, slice weights, more than max_hits_per_query hits, a first
// hit beyond max_first_hit); such a query is neither searched nor logged. `documents` gives the
// contexts of hits (INFO_CONTEXT). Runs inside the caller's transaction, or without one (the
// reads then each see a committed state); either way the index query and the query log happen
// outside any transaction, the log rows committed before it returns.
void Query(const api_session& s, api_result& r, query_request& q, std::vector<query_hit>& hits,
           std::int32_t& count);

// The crawl state of the daemon.
enum class daemon_status : int { RUNNING = 0, CRAWLSTOPPED = 1, LOWDISKSPACE = 2 };
// The state (low disk space, outside the crawl window, running) and the platform figures
// ("Platform: number of documents", "... size of documents", "... number of archives",
// "... free disk space (MB)"). Needs read access by the browsing root list.
void GetStatus(const api_session& s, api_result& r, daemon_status& status,
               std::vector<std::pair<std::string, std::string>>& extended);

// The legacy index record: a source and the archive that crawls it, handled as one. Its id is
// the archive's id.
struct IndexConfiguration {
    std::string name;
    bool historicize = false;
    std::string administrative_contact;
    std::vector<std::string> seeds;
    std::vector<std::string> include_filters;
    std::vector<std::string> exclude_filters;
    schedule_frequency scheduling_frequency = schedule_frequency::disabled;
    int scheduling_attribute = 0;
    int access_time = 0;
    int pages_limit = 0;
    int depth_limit = 0;
    int garbage_limit = 0;
};

struct IndexInfo {
    std::string name;
    int index = 0;
    bool crawling = false;
    bool historicize = false;
    std::int64_t documents = 0;
    std::int64_t errors = 0;
    std::int64_t last_run_start = 0;
    std::int64_t last_run_end = 0;
    std::time_t next_run = 0;
    IndexConfiguration configuration;
    std::uint32_t magic = 0;
};

// Creating needs write access by the crawling root list; both new records grant their creator
// read and write. Reading needs read access on both records, changing and removing write access
// on both. The stamp covers both records. Removing an index removes its archive as
// RemoveArchive does (InUse while a collection lists it; its queue, documents, logs and index
// entries go with it) and its source unless another archive uses the source.
void AddIndex(const api_session& s, api_result& r, const IndexConfiguration& cfg, int& id);
void GetIndexConfiguration(const api_session& s, api_result& r, int id, IndexConfiguration& cfg,
                           std::uint32_t& magic);
void SetIndexConfiguration(const api_session& s, api_result& r, int id,
                           const IndexConfiguration& cfg, std::uint32_t magic);
void RemoveIndex(const api_session& s, api_result& r, int id);
void EnumIndexConfigurations(const api_session& s, api_result& r, std::vector<IndexInfo>& infos);

}  // namespace marloven
