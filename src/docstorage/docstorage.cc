// docstorage.cc: the document tables, their counters and the compressed blobs. Assertions and
// log lines of this file print the path "src\docstorage\docstorage".
// SPDX-License-Identifier: MIT
#include "docstorage/docstorage.h"

#include <zlib.h>

#include "db/compressed.h"
#include "db/sqlite.h"
#include "fetchqueue/fetchqueue.h"
#include "util/crawl_error.h"
#include "util/log.h"
#include "util/md5.h"
#include "util/uri.h"

namespace marloven {

namespace {

// The stored form of a result code.
constexpr int code(crawl_error e) {
    return static_cast<int>(e);
}

// Versions of NONE and UNCHANGED keep their data; only NONE is counted.
bool keeps_data(int error) {
    return error == code(crawl_error::none) || error == code(crawl_error::unchanged);
}

// Compressed form of a value to keep, or empty.
std::string compressed(std::string_view bytes) {
    std::string out;
    int r = compress_blob(bytes, out);
    VANT_ASSERT(r == Z_OK);
    return out;
}

// One doccount row: counted versions and the sum of their content lengths.
struct counts {
    std::int64_t docs = 0;
    std::int64_t bytes = 0;
};

// The archive's row (arcid 0: the totals); a missing row reads as zeros.
counts read_counts(sqlite3* db, std::uint32_t arcid) {
    statement st(
        db, sql_text("select ndocs, nbytes from doccount where arcid=%d", static_cast<int>(arcid)));
    return st.next() ? counts{st.integer(0), st.integer(1)} : counts{};
}

void write_counts(sqlite3* db, std::uint32_t arcid, counts c) {
    exec(db,
         sql_text("insert or replace into doccount values(%d, %d, %lld)", static_cast<int>(arcid),
                  static_cast<int>(c.docs), static_cast<long long>(c.bytes)));
}

// The doccount rows that one store or remove corrects: the totals and the rows of the archives
// it touches (a replaced version is uncounted from its own archive), written back together.
class counter_rows {
  public:
    explicit counter_rows(sqlite3* db) : db_(db) { rows_[0] = read_counts(db, 0); }

    // Adds `docs` versions of `bytes` content bytes to an archive and to the totals.
    void add(std::uint32_t arcid, std::int64_t docs, std::int64_t bytes) {
        rows_[0].docs += docs;
        rows_[0].bytes += bytes;
        if (arcid == 0) {
            return;
        }
        auto [it, inserted] = rows_.try_emplace(arcid);
        if (inserted) {
            it->second = read_counts(db_, arcid);
        }
        it->second.docs += docs;
        it->second.bytes += bytes;
    }
    // Writes every row read, totals first.
    void write() const {
        for (const auto& [arcid, c] : rows_) {
            write_counts(db_, arcid, c);
        }
    }

  private:
    sqlite3* db_;
    std::map<std::uint32_t, counts> rows_;
};

// Inflates one stored blob of `guid`; a corrupt one is logged and read as empty.
bool read_blob(const statement& st, int column, const char* name, std::string_view guid,
               std::string& out) {
    auto failure = inflate_blob(st.blob(column), st.integer(column + 1), out);
    if (failure) {
        VANT_LOG(LOG, error) << "Corrupt stored document " << guid << ": " << name << " "
                             << *failure;
        return false;
    }
    return true;
}

// A version, with or without its body and FFF.
read_status read_version(sqlite3* db, std::string_view guid, document_version& out, bool bodies) {
    // Without the bodies the statement reads empty blobs in their place (no pages of them).
    statement st(db, sql_text("select arcid, url, timestamp, error, headers, headerslen, %s, "
                              "fffcrc, corecrc, corechanged, score, mime, charset, servertime "
                              "from docstorage where guid='%q'",
                              bodies ? "content, contentlen, fff, ffflen" : "x'', 0, x'', 0",
                              std::string(guid).c_str()));
    if (!st.next()) {
        return read_status::missing;
    }
    out.guid = std::string(guid);
    out.arcid = static_cast<std::uint32_t>(st.integer(0));
    out.url = st.text(1);
    out.timestamp = st.integer(2);
    out.error = static_cast<int>(st.integer(3));
    bool intact = read_blob(st, 4, "headers", guid, out.headers);
    intact = read_blob(st, 6, "content", guid, out.content) && intact;
    intact = read_blob(st, 8, "fff", guid, out.fff) && intact;
    out.fffcrc = static_cast<std::uint32_t>(st.integer(10));
    out.corecrc = static_cast<std::uint32_t>(st.integer(11));
    out.corechanged = st.integer(12) != 0;
    out.score = static_cast<std::uint32_t>(st.integer(13));
    out.mime = st.text(14);
    out.charset = st.text(15);
    out.servertime = st.integer(16);
    return intact ? read_status::found : read_status::corrupt;
}

// Subtracts the counted version `guid` would replace or lose; returns whether a row exists.
bool uncount(sqlite3* db, std::string_view guid, counter_rows& counters) {
    statement st(db, sql_text("select arcid, error, contentlen from docstorage where guid='%q'",
                              std::string(guid).c_str()));
    if (!st.next()) {
        return false;
    }
    if (st.integer(1) == code(crawl_error::none)) {
        counters.add(static_cast<std::uint32_t>(st.integer(0)), -1, -st.integer(2));
    }
    return true;
}

}  // namespace

std::string document_guid(std::string_view platform_guid, std::uint32_t arcid, std::string_view url,
                          std::optional<std::int64_t> fetch_time) {
    std::string key;
    key.reserve(platform_guid.size() + url.size() + 32);
    key.append(platform_guid).append("|").append(std::to_string(arcid)).append("|").append(url);
    if (fetch_time) {
        key.append("|").append(std::to_string(*fetch_time));
    }
    return md5_hex(key);
}

docstorage::docstorage(sqlite3* db) {
    if (try_exec(db, "select * from docstorage limit 1") != SQLITE_OK) {
        exec(db,
             "create table docstorage(guid text, arcid integer, url text, timestamp integer, "
             "error integer, headers blob, headerslen integer, content blob, contentlen "
             "integer, fff blob, ffflen integer, fffcrc integer, corecrc integer, corechanged "
             "integer, score integer, mime text, charset text, servertime integer)");
        exec(db, "create unique index docstorage_idx1 on docstorage(guid)");
        exec(db, "create index docstorage_idx2 on docstorage(arcid, url)");
        exec(db, "create index docstorage_idx3 on docstorage(arcid, timestamp)");
    }
    if (try_exec(db, "select * from auxstorage limit 1") != SQLITE_OK) {
        exec(db, "create table auxstorage(guid text, key text, value blob, valuelen integer)");
        exec(db, "create index auxstorage_idx1 on auxstorage(guid)");
    }
    if (try_exec(db, "select * from doccount limit 1") != SQLITE_OK) {
        exec(db, "create table doccount(arcid integer, ndocs integer, nbytes integer)");
        exec(db, "create unique index doccount_idx1 on doccount(arcid)");
    }
    if (try_exec(db, "select * from indexpending limit 1") != SQLITE_OK) {
        exec(db, "create table indexpending(guid text, seq integer, fff blob, ffflen integer)");
        exec(db, "create unique index indexpending_idx1 on indexpending(guid)");
    } else if (try_exec(db, "select seq, fff, ffflen from indexpending limit 1") != SQLITE_OK) {
        // A database of a build that noted guids alone.
        exec(db, "alter table indexpending add column seq integer");
        exec(db, "alter table indexpending add column fff blob");
        exec(db, "alter table indexpending add column ffflen integer");
    }
}

packed_blobs docstorage::pack(const document_version& doc, const extra_values& extra,
                              cache_mode mode) {
    packed_blobs p;
    p.keeps_data = keeps_data(doc.error);
    const bool keep_all = p.keeps_data && mode == cache_mode::full;
    const bool keep_fff = p.keeps_data && mode != cache_mode::none;
    const auto too_long = [](std::string_view v) {
        return static_cast<std::int64_t>(v.size()) > max_blob_length;
    };
    p.refused = keep_fff && too_long(doc.fff);
    if (keep_all) {
        p.refused = p.refused || too_long(doc.headers) || too_long(doc.content);
        for (const auto& [key, value] : extra) {
            p.refused = p.refused || too_long(value);
        }
    }
    if (p.refused) {
        return p;
    }
    if (keep_all) {
        p.headers = compressed(doc.headers);
        p.content = compressed(doc.content);
        for (const auto& [key, value] : extra) {
            p.extra.emplace_back(key, compressed(value));
            p.extra_lengths.push_back(value.size());
        }
    }
    if (keep_fff) {
        p.fff = compressed(doc.fff);
    }
    return p;
}

bool docstorage::store(sqlite3* db, const document_version& doc, const extra_values& extra,
                       cache_mode mode) {
    return store(db, doc, pack(doc, extra, mode));
}

bool docstorage::store(sqlite3* db, const document_version& doc, const packed_blobs& packed) {
    VANT_CHECK(packed.keeps_data == keeps_data(doc.error), "Blobs packed for another error class");
    if (packed.refused) {
        VANT_LOG(LOG, error) << "Document " << doc.url << " (guid " << doc.guid
                             << ") is too large to store";
        return false;
    }
    counter_rows counters(db);
    uncount(db, doc.guid, counters);
    if (doc.error == code(crawl_error::none)) {
        counters.add(doc.arcid, 1, static_cast<std::int64_t>(doc.content.size()));
    }

    const std::string url = normalise_url(doc.url);
    {
        statement st(
            db, sql_text("insert or replace into docstorage values('%q', %lu, '%q', %lld, %d, ?, "
                         "%lu, ?, %lu, ?, %lu, %d, %d, %d, %lu, '%q', '%q', %lld)",
                         doc.guid.c_str(), static_cast<unsigned long>(doc.arcid), url.c_str(),
                         static_cast<long long>(doc.timestamp), doc.error,
                         static_cast<unsigned long>(doc.headers.size()),
                         static_cast<unsigned long>(doc.content.size()),
                         static_cast<unsigned long>(doc.fff.size()), static_cast<int>(doc.fffcrc),
                         static_cast<int>(doc.corecrc), doc.corechanged ? 1 : 0,
                         static_cast<unsigned long>(doc.score), doc.mime.c_str(),
                         doc.charset.c_str(), static_cast<long long>(doc.servertime)));
        st.bind_blob(1, packed.headers);
        st.bind_blob(2, packed.content);
        st.bind_blob(3, packed.fff);
        st.next();
    }
    exec(db, sql_text("delete from auxstorage where guid='%q'", doc.guid.c_str()));
    for (std::size_t i = 0; i < packed.extra.size(); ++i) {
        const auto& [key, value] = packed.extra[i];
        statement st(db,
                     sql_text("insert into auxstorage values('%q', '%q', ?, %lu)", doc.guid.c_str(),
                              key.c_str(), static_cast<unsigned long>(packed.extra_lengths[i])));
        st.bind_blob(1, value);
        st.next();
    }
    counters.write();
    return true;
}

read_status docstorage::get(sqlite3* db, std::string_view guid, document_version& out) const {
    return read_version(db, guid, out, true);
}

read_status docstorage::getHead(sqlite3* db, std::string_view guid, document_version& out) const {
    return read_version(db, guid, out, false);
}

bool docstorage::getExtra(sqlite3* db, std::string_view guid, extra_values& out) const {
    out.clear();
    statement st(db, sql_text("select key, value, valuelen from auxstorage where guid='%q'",
                              std::string(guid).c_str()));
    bool intact = true;
    while (st.next()) {
        std::string key = st.text(0);
        std::string value;
        if (auto failure = inflate_blob(st.blob(1), st.integer(2), value)) {
            VANT_LOG(LOG, error) << "Corrupt extra value " << key << " of stored document " << guid
                                 << ": " << *failure;
            intact = false;
            continue;
        }
        out[std::move(key)] = std::move(value);
    }
    return intact;
}

std::optional<latest_version> docstorage::findLatest(sqlite3* db, std::uint32_t arcid,
                                                     std::string_view url) const {
    // Without statistics SQLite would take the (arcid, timestamp) index to save the sort, and
    // scan every version of the archive: a crawl of n pages then costs n^2 row reads. The URL
    // index finds the few versions of the URL directly.
    statement st(db, sql_text("select guid, timestamp, error, fffcrc, corecrc from docstorage "
                              "indexed by docstorage_idx2 "
                              "where arcid=%d and url='%q' order by timestamp desc limit 1",
                              static_cast<int>(arcid), normalise_url(url).c_str()));
    if (!st.next()) {
        return std::nullopt;
    }
    return latest_version{st.text(0), st.integer(1), static_cast<int>(st.integer(2)),
                          static_cast<std::uint32_t>(st.integer(3)),
                          static_cast<std::uint32_t>(st.integer(4))};
}

std::int64_t docstorage::latestTimestamp(sqlite3* db, std::uint32_t arcid,
                                         std::string_view url) const {
    // The URL index, as in findLatest.
    statement st(db, sql_text("select timestamp from docstorage indexed by docstorage_idx2 "
                              "where arcid=%d and url='%q' order by timestamp desc limit 1",
                              static_cast<int>(arcid), normalise_url(url).c_str()));
    return st.next() ? st.integer(0) : 0;
}

void docstorage::touch(sqlite3* db, std::string_view guid, std::int64_t timestamp) {
    exec(db, sql_text("update docstorage set timestamp=%lld where guid='%q'",
                      static_cast<long long>(timestamp), std::string(guid).c_str()));
}

void docstorage::remove(sqlite3* db, std::string_view guid) {
    counter_rows counters(db);
    if (!uncount(db, guid, counters)) {
        return;
    }
    const std::string g(guid);
    exec(db, sql_text("delete from docstorage where guid='%q'", g.c_str()));
    exec(db, sql_text("delete from auxstorage where guid='%q'", g.c_str()));
    counters.write();
}

std::int64_t docstorage::documentCount(sqlite3* db, std::uint32_t arcid) const {
    statement st(db,
                 sql_text("select ndocs from doccount where arcid=%d", static_cast<int>(arcid)));
    return st.next() ? st.integer(0) : 0;
}

std::int64_t docstorage::byteCount(sqlite3* db, std::uint32_t arcid) const {
    statement st(db,
                 sql_text("select nbytes from doccount where arcid=%d", static_cast<int>(arcid)));
    return st.next() ? st.integer(0) : 0;
}

void docstorage::clearArchive(sqlite3* db, std::uint32_t arcid) {
    if (arcid == 0) {
        return;  // no archive has id 0: its row holds the totals
    }
    const counts total = read_counts(db, 0);
    const counts archive = read_counts(db, arcid);
    exec(db, sql_text("delete from docstorage where arcid=%d", static_cast<int>(arcid)));
    write_counts(db, 0, {total.docs - archive.docs, total.bytes - archive.bytes});
    exec(db, sql_text("delete from doccount where arcid=%d", static_cast<int>(arcid)));
}

void docstorage::clearAll(sqlite3* db) {
    exec(db, "delete from docstorage");
    exec(db, "delete from auxstorage");
    exec(db, "delete from doccount");
    exec(db, "delete from indexpending");
}

void docstorage::notePending(sqlite3* db, std::string_view key, std::int64_t seq,
                             std::string_view fff) {
    statement st(db, sql_text("insert or replace into indexpending values('%q', %lld, ?, %lld)",
                              std::string(key).c_str(), static_cast<long long>(seq),
                              static_cast<long long>(fff.size())));
    st.bind_blob(1, compressed(fff));
    st.next();
}

void docstorage::clearPending(sqlite3* db, std::string_view key, std::int64_t seq) {
    exec(db, sql_text("delete from indexpending where guid='%q' and seq=%lld",
                      std::string(key).c_str(), static_cast<long long>(seq)));
}

std::vector<pending_index_change> docstorage::pending(sqlite3* db) const {
    std::vector<pending_index_change> notes;
    statement st(db, "select guid, seq, fff, ffflen from indexpending order by rowid");
    while (st.next()) {
        pending_index_change note{st.text(0), st.integer(1), {}};
        read_blob(st, 2, "pending fff", note.key, note.fff);
        notes.push_back(std::move(note));
    }
    return notes;
}

void docstorage::requeueArchive(sqlite3* db, std::uint32_t arcid, fetchqueue& queue) const {
    if (!queue.empty(db, arcid)) {
        return;
    }
    std::vector<std::string> guids;
    {
        statement st(db, sql_text("select guid from docstorage where arcid=%d and error in (%d, "
                                  "%d)",
                                  static_cast<int>(arcid), code(crawl_error::none),
                                  code(crawl_error::unchanged)));
        while (st.next()) {
            guids.push_back(st.text(0));
        }
    }
    for (const auto& guid : guids) {
        queue.push(db, arcid, "guid:" + guid, 0);
    }
}

std::size_t docstorage::forEachWithError(
    sqlite3* db, int error, const std::function<void(const document_version&)>& fn) const {
    statement st(db, sql_text("select guid, arcid, url, timestamp, fff, ffflen, corechanged, "
                              "score, mime, servertime from docstorage where error=%d",
                              error));
    std::size_t skipped = 0;
    while (st.next()) {
        document_version doc;
        doc.guid = st.text(0);
        if (!read_blob(st, 4, "fff", doc.guid, doc.fff)) {
            ++skipped;
            continue;
        }
        doc.arcid = static_cast<std::uint32_t>(st.integer(1));
        doc.url = st.text(2);
        doc.timestamp = st.integer(3);
        doc.error = error;
        doc.corechanged = st.integer(6) != 0;
        doc.score = static_cast<std::uint32_t>(st.integer(7));
        doc.mime = st.text(8);
        doc.servertime = st.integer(9);
        fn(doc);
    }
    return skipped;
}

std::vector<std::string> docstorage::oldest(sqlite3* db, std::uint32_t arcid,
                                            std::int64_t timestamp, int limit) const {
    statement st(db, sql_text("select guid from docstorage where arcid=%d and timestamp<=%lld "
                              "order by timestamp limit %d",
                              static_cast<int>(arcid), static_cast<long long>(timestamp), limit));
    std::vector<std::string> guids;
    while (st.next()) {
        guids.push_back(st.text(0));
    }
    return guids;
}

}  // namespace marloven
