// docstorage.h: every fetched document version of every archive, kept in the database with its
// headers, content and FFF blob compressed, the checksums that recognise an unchanged document,
// named extra values, and per-archive counts of the good documents and their bytes.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

class fetchqueue;

// What of a document an archive keeps (the archive's cache setting; the numbers are those of
// `cache_policy` in the configuration records): FULLCACHE keeps headers, content, FFF blob and
// extra values; CONTEXTCACHE only the FFF blob; NOCACHE none of them (the row is still written,
// with the lengths of what was handed in).
enum class cache_mode : int { full = 0, context = 1, none = 2 };

// Named extra values of a document version, in key order.
using extra_values = std::map<std::string, std::string>;

// One stored document version. `error` is the fetch result code: 0 a good document, 9 a document
// identical to the newest stored version, anything else a failed fetch.
struct document_version {
    std::string guid;
    std::uint32_t arcid = 0;
    std::string url;  // stored in its normalised form
    std::int64_t timestamp = 0;
    int error = 0;
    std::string headers;
    std::string content;
    std::string fff;
    std::uint32_t fffcrc = 0;
    std::uint32_t corecrc = 0;
    bool corechanged = false;
    std::uint32_t score = 0;  // millionths
    std::string mime;
    std::string charset;
    std::int64_t servertime = 0;
};

// The newest stored version of a URL, as the crawl thread compares a fetch with it.
struct latest_version {
    std::string guid;
    std::int64_t timestamp = 0;
    int error = 0;
    std::uint32_t fffcrc = 0;
    std::uint32_t corecrc = 0;
};

// The guid of a document version: the MD5 digest in 32 lower-case hexadecimal digits of
// "<platform guid>|<arcid>|<url>", with "|<fetch time>" appended when the archive keeps history
// (so every fetch makes a new version; otherwise a fetch replaces the URL's earlier version).
// The crawl threads and uploads make it alike, so an upload and a fetch of one URL meet.
std::string document_guid(std::string_view platform_guid, std::uint32_t arcid, std::string_view url,
                          std::optional<std::int64_t> fetch_time);

// A change of the index noted in the database until the index has it (see notePending).
struct pending_index_change {
    std::string key;       // a version's guid, or another key its writer chose
    std::int64_t seq = 0;  // the writer's number for the note
    std::string fff;       // an FFF blob noted with it, for a version whose row does not keep one
};

// A version's values compressed as store() keeps them, made by docstorage::pack.
struct packed_blobs {
    bool keeps_data = false;  // made for a version with error 0 or 9
    bool refused = false;     // a value to keep is longer than max_blob_length
    std::string headers;
    std::string content;
    std::string fff;
    std::vector<std::pair<std::string, std::string>> extra;  // key, compressed value; key order
    std::vector<std::size_t> extra_lengths;                  // lengths before compression
};

enum class read_status {
    found,
    missing,
    corrupt,  // the row exists but a stored blob does not inflate to its stored length
};

// Purpose: the tables docstorage (one row per version, keyed by guid), auxstorage (extra values
// by guid) and doccount (per archive, and as totals under arcid 0: the number of versions with
// error 0 and the sum of their content lengths); and indexpending, the index changes that were
// stored but may not have reached the index.
// Ownership: holds no connection; every call borrows the calling thread's.
// Failure: database errors and zlib compression failures are fatal. Corrupt stored data (a blob
// that does not inflate to its recorded length, or a recorded length beyond max_blob_length) is
// not: it is logged, the getters say so, and the daemon carries on.
// Threads: the object has no state; callers hold the process-wide transaction lock around
// groups of calls (a store and the counters it corrects must not interleave with another).
class docstorage {
  public:
    // Creates the four tables and their indexes when missing.
    explicit docstorage(sqlite3* db);

    // Stores one version under doc.guid, replacing a version there, and corrects the counters.
    // Blobs are kept for errors 0 and 9 as `mode` says (extra values only with cache_mode::full),
    // never for other errors; the length columns always hold the lengths handed in. False, with
    // nothing written, when a value to keep is longer than max_blob_length.
    [[nodiscard]] bool store(sqlite3* db, const document_version& doc, const extra_values& extra,
                             cache_mode mode);
    // As store, with the blobs compressed beforehand by pack() from the same headers, content,
    // FFF and extra values (compression is most of a store's work, and needs no transaction).
    // The pack must be made for the same class of error (kept or not): a broken invariant else.
    [[nodiscard]] bool store(sqlite3* db, const document_version& doc, const packed_blobs& packed);
    // The blobs store() would write for `doc`, `extra` and `mode`. Needs no connection.
    static packed_blobs pack(const document_version& doc, const extra_values& extra,
                             cache_mode mode);
    // Reads a version. With read_status::corrupt the other fields are read and each corrupt blob
    // is empty.
    read_status get(sqlite3* db, std::string_view guid, document_version& out) const;
    // As get, without the body and the FFF (left empty, neither read nor inflated).
    read_status getHead(sqlite3* db, std::string_view guid, document_version& out) const;
    // The version's extra values (`out` is emptied first). False when a stored value is corrupt;
    // that value is left out.
    bool getExtra(sqlite3* db, std::string_view guid, extra_values& out) const;
    // The newest version (greatest timestamp) of `url`, normalised as store does.
    std::optional<latest_version> findLatest(sqlite3* db, std::uint32_t arcid,
                                             std::string_view url) const;
    // The newest version's timestamp, or 0.
    std::int64_t latestTimestamp(sqlite3* db, std::uint32_t arcid, std::string_view url) const;
    // Sets a version's timestamp (an unchanged fetch confirms the stored version).
    void touch(sqlite3* db, std::string_view guid, std::int64_t timestamp);
    // Deletes a version and its extra values and corrects the counters; a missing guid is no-op.
    void remove(sqlite3* db, std::string_view guid);
    // Counted versions and their content bytes of an archive; arcid 0 gives the totals.
    std::int64_t documentCount(sqlite3* db, std::uint32_t arcid) const;
    std::int64_t byteCount(sqlite3* db, std::uint32_t arcid) const;
    // Deletes every version of an archive and its counters, and lowers the totals. The extra
    // values of its versions stay.
    void clearArchive(sqlite3* db, std::uint32_t arcid);
    // Empties all four tables.
    void clearAll(sqlite3* db);
    // An index change goes to the index after the transaction that stores (or removes) the
    // version has committed, so a daemon that dies in between must find it again: the same
    // transaction notes it under `key` with the writer's number `seq` (replacing an older note of
    // the key), and, for a version whose row keeps no FFF blob, the blob. A note is cleared once
    // the change has reached the index, only while it still has that number, so that the
    // settling of an older change does not clear a newer one.
    void notePending(sqlite3* db, std::string_view key, std::int64_t seq,
                     std::string_view fff = {});
    void clearPending(sqlite3* db, std::string_view key, std::int64_t seq);
    // Every note, oldest first.
    std::vector<pending_index_change> pending(sqlite3* db) const;
    // When nothing is queued for the archive, queues "guid:<guid>" (priority 0) for each of its
    // versions with error 0 or 9, so that the crawl threads process them again.
    void requeueArchive(sqlite3* db, std::uint32_t arcid, fetchqueue& queue) const;
    // Hands each version with this error to `fn` (guid, arcid, url, timestamp, fff, corechanged,
    // score, mime and servertime filled in), in the database's order. Versions whose FFF blob is
    // corrupt are logged and skipped; returns how many were.
    std::size_t forEachWithError(sqlite3* db, int error,
                                 const std::function<void(const document_version&)>& fn) const;
    // At most `limit` guids of the archive's versions stored at or before `timestamp`, oldest
    // first (the caller removes them one by one).
    std::vector<std::string> oldest(sqlite3* db, std::uint32_t arcid, std::int64_t timestamp,
                                    int limit) const;
};

}  // namespace marloven
