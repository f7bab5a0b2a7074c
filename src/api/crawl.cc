// crawl.cc: crawl control, logs, documents, queries, status and the legacy index records.
// SPDX-License-Identifier: MIT
#include "api/crawl.h"

#include <algorithm>

#include "api/operations.h"
#include "api/query_parsers.h"
#include "db/disk_full.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "util/http_text.h"
#include "util/log.h"
#include "util/uri.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/renderers.h"

namespace marloven {

namespace {

// Reads archive `id` and checks the caller's access by its own list (administrators pass); on
// refusal (also for a missing record) sets AccessViolation.
bool archive_access(const api_session& s, api_result& r, int id, access_type wanted,
                    ArchiveConfiguration& archive) {
    if (!s.svc().archives->get(s.db, id, archive) || !check_access(s, archive.acl, wanted)) {
        set_error(r, api_error::AccessViolation);
        return false;
    }
    return true;
}

bool archive_access(const api_session& s, api_result& r, int id, access_type wanted) {
    ArchiveConfiguration archive;
    return archive_access(s, r, id, wanted, archive);
}

// Contexts of query hits come from the stored FFF blobs, read on the calling thread's
// connection inside its transaction.
class stored_documents : public document_source {
  public:
    explicit stored_documents(const api_session& s) : s_(s) {}
    std::optional<std::string> fff(const std::string& guid) override {
        document_version doc;
        if (s_.svc().documents->get(s_.db, guid, doc) == read_status::missing) {
            return std::nullopt;
        }
        return std::move(doc.fff);
    }

  private:
    const api_session& s_;
};

// The stamp of a legacy index: both records' stamps, so that a change of either shows.
std::uint32_t index_magic(std::uint32_t archive_magic, std::uint32_t source_magic) {
    return archive_magic ^ ((source_magic << 1) | (source_magic >> 31));
}

IndexConfiguration index_of(const ArchiveConfiguration& a, const SourceConfiguration& src) {
    IndexConfiguration cfg;
    cfg.name = a.name;
    cfg.historicize = a.historicize;
    cfg.administrative_contact = a.contact_email;
    cfg.seeds = src.seeds;
    cfg.include_filters = src.include_filters;
    cfg.exclude_filters = src.exclude_filters;
    cfg.scheduling_frequency = a.frequency;
    cfg.scheduling_attribute = a.attribute;
    cfg.access_time = a.access_time;
    cfg.pages_limit = a.page_limit;
    cfg.depth_limit = src.depth;
    cfg.garbage_limit = a.garbage_limit;
    return cfg;
}

// Writes the index's fields into its two records; the other fields of each stay.
void apply_index(const IndexConfiguration& cfg, ArchiveConfiguration& a, SourceConfiguration& src) {
    a.name = cfg.name;
    a.historicize = cfg.historicize;
    a.contact_email = cfg.administrative_contact;
    a.frequency = cfg.scheduling_frequency;
    a.attribute = cfg.scheduling_attribute;
    a.access_time = cfg.access_time;
    a.page_limit = cfg.pages_limit;
    a.garbage_limit = cfg.garbage_limit;
    src.name = cfg.name;
    src.seeds = cfg.seeds;
    src.include_filters = cfg.include_filters;
    src.exclude_filters = cfg.exclude_filters;
    src.depth = cfg.depth_limit;
}

// The archive of index `id` and its source, both granting `wanted`; AccessViolation otherwise.
bool index_access(const api_session& s, api_result& r, int id, access_type wanted,
                  ArchiveConfiguration& archive, std::uint32_t& archive_magic,
                  SourceConfiguration& source, std::uint32_t& source_magic) {
    if (!s.svc().archives->get(s.db, id, archive, archive_magic) ||
        !check_access(s, archive.acl, wanted) ||
        !s.svc().sources->get(s.db, archive.source_id, source, source_magic) ||
        !check_access(s, source.acl, wanted)) {
        set_error(r, api_error::AccessViolation);
        return false;
    }
    return true;
}

// The start of the crawl controls: write access on the archive, then its state.
bool control_crawl(const api_session& s, api_result& r, int id, ArchiveInfo& info) {
    reset_result(r);
    if (!archive_access(s, r, id, access_type::write)) {
        return false;
    }
    archive_info(s, id, info);
    return true;
}

}  // namespace

bool archive_info(const api_session& s, int id, ArchiveInfo& info) {
    ArchiveInfo fresh;
    if (!s.svc().archives->get(s.db, id, fresh.configuration, fresh.magic)) {
        return false;
    }
    fresh.archive = id;
    fresh.read_only = !check_access(s, fresh.configuration.acl, access_type::write);
    if (auto last = s.svc().logs->lastCrawl(s.db, static_cast<std::uint32_t>(id))) {
        fresh.documents = last->docs;
        fresh.errors = last->errors;
        fresh.last_run_start = last->start;
        fresh.last_run_end = last->end;
        fresh.crawling = last->start != 0 && last->end == 0;
    }
    fresh.next_run = next_run(fresh.configuration, s.svc().now());
    info = std::move(fresh);
    return true;
}

void GetArchiveInfo(const api_session& s, api_result& r, int id, ArchiveInfo& info) {
    reset_result(r);
    if (archive_access(s, r, id, access_type::read)) {
        archive_info(s, id, info);
    }
}

void StartCrawl(const api_session& s, api_result& r, int id, ArchiveInfo& info) {
    if (!control_crawl(s, r, id, info)) {
        return;
    }
    if (info.crawling) {
        return;  // a running crawl is not restarted
    }
    SourceConfiguration source;
    if (!s.svc().sources->get(s.db, info.configuration.source_id, source)) {
        return;
    }
    const auto arcid = static_cast<std::uint32_t>(id);
    s.svc().logs->crawlStarted(s.db, arcid, s.svc().now());
    for (const std::string& seed : source.seeds) {
        s.svc().queue->push(s.db, arcid, seed, 0);
    }
    archive_info(s, id, info);
}

void StopCrawl(const api_session& s, api_result& r, int id, ArchiveInfo& info) {
    if (!control_crawl(s, r, id, info)) {
        return;
    }
    if (!info.crawling) {
        return;
    }
    const auto arcid = static_cast<std::uint32_t>(id);
    s.svc().queue->clear(s.db, arcid);
    s.svc().logs->crawlEnded(s.db, arcid, s.svc().now());
    archive_info(s, id, info);
}

void ReprocessDocuments(const api_session& s, api_result& r, int id, ArchiveInfo& info) {
    if (!control_crawl(s, r, id, info)) {
        return;
    }
    if (info.crawling) {
        return;
    }
    const auto arcid = static_cast<std::uint32_t>(id);
    s.svc().logs->crawlStarted(s.db, arcid, s.svc().now());
    s.svc().documents->requeueArchive(s.db, arcid, *s.svc().queue);
    archive_info(s, id, info);
}

void GetAvailableCrawlLogs(const api_session& s, api_result& r, int id,
                           std::vector<std::int64_t>& starts) {
    reset_result(r);
    if (archive_access(s, r, id, access_type::read)) {
        starts = s.svc().logs->crawlStarts(s.db, static_cast<std::uint32_t>(id));
    }
}

void GetCrawlLog(const api_session& s, api_result& r, int id, std::int64_t start, int limit,
                 std::int64_t& cursor, std::vector<document_log_row>& rows) {
    reset_result(r);
    if (!archive_access(s, r, id, access_type::read)) {
        return;
    }
    document_log_page page =
        s.svc().logs->documentLog(s.db, static_cast<std::uint32_t>(id), start, limit, cursor);
    rows = std::move(page.rows);
    cursor = page.next_cursor;
}

void GetQueryLog(const api_session& s, api_result& r, int id, std::int64_t begin, std::int64_t end,
                 std::vector<query_log_row>& rows) {
    reset_result(r);
    if (archive_access(s, r, id, access_type::read)) {
        rows = s.svc().logs->queryLog(s.db, static_cast<std::uint32_t>(id), begin, end);
    }
}

void GetDocument(const api_session& s, api_result& r, const std::string& guid, int format,
                 std::string& url, std::string& mime, std::string& content) {
    reset_result(r);
    document_version doc;
    if (s.svc().documents->get(s.db, guid, doc) == read_status::missing) {
        return;
    }
    if (!archive_access(s, r, static_cast<int>(doc.arcid), access_type::read)) {
        url.clear();
        return;
    }
    url = doc.url;
    switch (static_cast<document_format>(format)) {
        case document_format::ORIGINAL:
            content = std::move(doc.content);
            mime = doc.mime;
            if (!doc.charset.empty()) {
                mime += "; charset=" + doc.charset;
            }
            return;
        case document_format::PARSED:
        case document_format::HTML: {
            FFF::binary_result tree = FFF::FromBinary(doc.fff);
            if (!tree.root || tree.state != read_state::Complete ||
                dynamic_cast<FFF::DocumentData*>(tree.root.get()) == nullptr) {
                return;  // a blob that does not read as a whole document: no content
            }
            if (static_cast<document_format>(format) == document_format::PARSED) {
                content = FFF::render_xml(guid, doc.url, doc.timestamp, *tree.root);
                mime = "application/vnd.marloven-fff; charset=UTF-8";
            } else {
                content = FFF::render_html(guid, doc.url, doc.timestamp, *tree.root);
                mime = "text/html; charset=UTF-8";
            }
            return;
        }
    }
}

void AddDocument(const api_session& s, api_result& r, int arcid, const std::string& url,
                 const std::string& content_type_value, const std::string& content,
                 std::string& guid) {
    reset_result(r);
    ArchiveConfiguration archive;
    if (!archive_access(s, r, arcid, access_type::write, archive)) {
        return;
    }
    // An upload stores nothing while the disk has less free space than crawling needs.
    if (s.svc().free_disk &&
        !disk_has_room(s.svc().free_disk(s.svc().data_dir), s.svc().min_free_disk)) {
        set_error(r, api_error::MaxDocuments);
        return;
    }
    const std::time_t now = s.svc().now();
    document_version doc;
    doc.url = normalise_url(url);
    std::string key = s.svc().platform_guid + "|" + std::to_string(arcid) + "|" + doc.url;
    if (archive.historicize) {
        key += "|" + std::to_string(now);
    }
    doc.guid = md5_hex(key);
    doc.arcid = static_cast<std::uint32_t>(arcid);
    doc.timestamp = now;
    doc.error = 0;
    doc.content = content;
    doc.score = 1000000;
    struct content_type type = parse_content_type(content_type_value);
    doc.mime = type.media_type;
    if (auto cs = type.parameters.find("charset"); cs != type.parameters.end()) {
        doc.charset = cs->second;
    }
    doc.servertime = now;
    // The content is kept whatever the archive's cache setting: the crawl thread parses it from
    // the storage and stores the result under the archive's own setting.
    if (!s.svc().documents->store(s.db, doc, {}, cache_mode::full)) {
        set_error(r, api_error::MaxDocuments);
        return;
    }
    guid = doc.guid;
    auto last = s.svc().logs->lastCrawl(s.db, doc.arcid);
    if (!last || last->end != 0) {
        s.svc().logs->crawlStarted(s.db, doc.arcid, now);
    }
    s.svc().queue->push(s.db, doc.arcid, "guid:" + doc.guid, 0);
}

void RemoveDocument(const api_session& s, api_result& r, const std::string& guid) {
    reset_result(r);
    document_version doc;
    if (s.svc().documents->get(s.db, guid, doc) == read_status::missing) {
        return;
    }
    if (!archive_access(s, r, static_cast<int>(doc.arcid), access_type::write)) {
        return;
    }
    s.svc().index->removeDocument(guid);
    s.svc().documents->remove(s.db, guid);
}

void GetDocumentURL(const api_session& s, api_result& r, const std::string& guid,
                    std::string& url) {
    reset_result(r);
    document_version doc;
    if (s.svc().documents->get(s.db, guid, doc) == read_status::missing) {
        return;
    }
    if (archive_access(s, r, static_cast<int>(doc.arcid), access_type::read)) {
        url = doc.url;
    }
}

void Query(const api_session& s, api_result& r, query_request& q, std::vector<query_hit>& hits,
           std::int32_t& count) {
    reset_result(r);
    count = -1;
    hits.clear();
    std::vector<int> candidates = q.archives;
    std::string watch_text;
    query_parser watch_parser = query_parser::none;
    int collection = q.collection;
    if (q.watch > 0) {
        WatchConfiguration watch;
        if (!s.svc().watches->get(s.db, q.watch, watch)) {
            set_error(r, api_error::AccessViolation);
            return;
        }
        watch_text = watch.query;
        watch_parser = watch.parser;
        collection = watch.collection;
        if (q.min_time == 0 && watch.freshness > 0) {
            q.min_time = static_cast<std::uint32_t>(s.svc().now() - watch.freshness);
        }
        q.view = 1;
        q.sort = query_sort::SORT_TIME_NEWER;
    }
    bool implicit = false;
    if (collection > 0) {
        CollectionConfiguration c;
        if (!s.svc().collections->get(s.db, collection, c) ||
            !check_access(s, c.acl, access_type::read)) {
            set_error(r, api_error::AccessViolation);
            return;
        }
        candidates.insert(candidates.end(), c.archives.begin(), c.archives.end());
    } else if (collection == -1) {
        candidates = s.svc().archives->ids(s.db);
        implicit = true;
    }
    std::vector<std::int32_t> searched;
    for (int id : candidates) {
        ArchiveConfiguration archive;
        if (s.svc().archives->get(s.db, id, archive) &&
            !check_access(s, archive.acl, access_type::read)) {
            if (implicit) {
                continue;
            }
            set_error(r, api_error::AccessViolation);
            return;
        }
        if (std::find(searched.begin(), searched.end(), id) == searched.end()) {
            searched.push_back(id);
        }
    }

    bool parsed = q.parser == query_parser::none || parse_query(q.parser, q.text, q.atoms);
    if (parsed && !watch_text.empty()) {
        std::vector<query_atom> watch_atoms;
        if (watch_parser == query_parser::none) {
            parsed = false;
        } else if (static_cast<int>(watch_parser) <= 3) {
            parsed = parse_query(watch_parser, watch_text, watch_atoms);
        }
        if (parsed) {
            const bool own = !q.atoms.empty();
            q.atoms.insert(q.atoms.end(), watch_atoms.begin(), watch_atoms.end());
            if (own && !watch_atoms.empty()) {
                q.atoms.push_back(query_atom{query_atom_type::ATOM_AND, "2", {}});
            }
        }
    }
    // Atoms handed in without a parser are checked too: the index would fail on a malformed
    // expression.
    if (!parsed || !well_formed_query(q.atoms)) {
        set_error(r, api_error::BadQuery);
        return;
    }
    const std::string log_text = query_log_text(q.atoms);

    query_options options;
    options.atoms = q.atoms;
    options.archives = searched;
    if (q.view == 1) {
        options.views = {1};
    }
    options.sort = q.sort;
    options.min_time = q.min_time;
    options.max_time = q.max_time;
    options.min_score = q.min_score;
    options.first = q.first;
    options.last = q.last;
    options.info = q.info;
    options.weights = q.weights;
    // Beyond the index server's limits or the result caps: refused before it reaches the index.
    if (auto why = idxstorage::query_refusal(options)) {
        VANT_LOG(API, info) << "Query refused: " << *why;
        set_error(r, api_error::BadQuery);
        return;
    }
    if (searched.empty()) {
        // Nothing the caller may search: no hits (the index would read an empty list as every
        // archive).
        count = 0;
        return;
    }
    stored_documents documents(s);
    // The index conversation holds the index client's own lock; the database lock is not needed
    // for it (contexts read stored documents without a transaction). The query log is written
    // there too, committed together with the rows of concurrent searches.
    outside_transaction(s.db, [&] {
        count = s.svc().index->query(options, &documents, hits);
        if (count >= 0 && !log_text.empty()) {
            const std::vector<std::uint32_t> logged(searched.begin(), searched.end());
            s.svc().logs->logQueryCommitted(s.db, logged, s.svc().now(), log_text);
        }
    });
}

void GetStatus(const api_session& s, api_result& r, daemon_status& status,
               std::vector<std::pair<std::string, std::string>>& extended) {
    reset_result(r);
    if (!check_access(s, root_acl(s, root_acl_browsing), access_type::read)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    const api_services& svc = s.svc();
    // The crawl threads' own test: a free space that cannot be told leaves room.
    const std::optional<std::uint64_t> available = svc.free_disk(svc.data_dir);
    const int hour = static_cast<int>((svc.now() / 3600) % 24);
    bool outside = svc.crawl_start < svc.crawl_stop
                       ? hour < svc.crawl_start || hour > svc.crawl_stop
                       : svc.crawl_stop < hour && hour < svc.crawl_start;
    if (!disk_has_room(available, svc.min_free_disk) ||
        (svc.disk_pause && svc.disk_pause->active(svc.now()))) {
        status = daemon_status::LOWDISKSPACE;
    } else if (outside) {
        status = daemon_status::CRAWLSTOPPED;
    } else {
        status = daemon_status::RUNNING;
    }
    extended.clear();
    extended.emplace_back("Platform: number of documents",
                          std::to_string(svc.documents->documentCount(s.db, 0)));
    extended.emplace_back("Platform: size of documents",
                          std::to_string(svc.documents->byteCount(s.db, 0)));
    extended.emplace_back("Platform: number of archives",
                          std::to_string(svc.archives->ids(s.db).size()));
    extended.emplace_back("Platform: free disk space (MB)",
                          std::to_string(available.value_or(0) >> 20));
}

void AddIndex(const api_session& s, api_result& r, const IndexConfiguration& cfg, int& id) {
    reset_result(r);
    id = 0;
    if (!check_access(s, root_acl(s, root_acl_crawling), access_type::write)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    ArchiveConfiguration archive;
    SourceConfiguration source;
    apply_index(cfg, archive, source);
    // The index record carries no access list; the creator may read and change what it made.
    const acl_list creator = {{s.user, access_type::read, false},
                              {s.user, access_type::write, false}};
    source.acl = creator;
    archive.acl = creator;
    archive.source_id = s.svc().sources->add(s.db, source);
    if (archive.source_id == 0) {
        set_error(r, api_error::ErrorWritingEntity);
        return;
    }
    id = s.svc().archives->add(s.db, archive);
    if (id == 0) {
        s.svc().sources->remove(s.db, archive.source_id);
        set_error(r, api_error::ErrorWritingEntity);
    }
}

void GetIndexConfiguration(const api_session& s, api_result& r, int id, IndexConfiguration& cfg,
                           std::uint32_t& magic) {
    reset_result(r);
    ArchiveConfiguration archive;
    SourceConfiguration source;
    std::uint32_t archive_magic = 0, source_magic = 0;
    if (index_access(s, r, id, access_type::read, archive, archive_magic, source, source_magic)) {
        cfg = index_of(archive, source);
        magic = index_magic(archive_magic, source_magic);
    }
}

void SetIndexConfiguration(const api_session& s, api_result& r, int id,
                           const IndexConfiguration& cfg, std::uint32_t magic) {
    reset_result(r);
    ArchiveConfiguration archive;
    SourceConfiguration source;
    std::uint32_t archive_magic = 0, source_magic = 0;
    if (!index_access(s, r, id, access_type::write, archive, archive_magic, source, source_magic)) {
        return;
    }
    if (index_magic(archive_magic, source_magic) != magic) {
        set_error(r, api_error::BadMagic);
        return;
    }
    apply_index(cfg, archive, source);
    // Both records are checked for being writable before either is stored.
    std::string archive_xml, source_xml;
    if (!to_xml(archive, archive_xml) || !to_xml(source, source_xml)) {
        set_error(r, api_error::BadMagic);  // as a failing set of any other record
        return;
    }
    s.svc().sources->set(s.db, archive.source_id, source);
    s.svc().archives->set(s.db, id, archive);
}

void RemoveIndex(const api_session& s, api_result& r, int id) {
    reset_result(r);
    ArchiveConfiguration archive;
    SourceConfiguration source;
    std::uint32_t archive_magic = 0, source_magic = 0;
    if (!index_access(s, r, id, access_type::write, archive, archive_magic, source, source_magic)) {
        return;
    }
    // The archive goes as RemoveArchive removes it (InUse while a collection lists it), with its
    // queue, documents, logs and index entries.
    RemoveArchive(s, r, id);
    if (r.failed()) {
        return;
    }
    auto& archives = *s.svc().archives;
    for (int other : archives.ids(s.db)) {
        ArchiveConfiguration a;
        if (archives.get(s.db, other, a) && a.source_id == archive.source_id) {
            return;  // the source serves another archive too
        }
    }
    s.svc().sources->remove(s.db, archive.source_id);
}

void EnumIndexConfigurations(const api_session& s, api_result& r, std::vector<IndexInfo>& infos) {
    reset_result(r);
    infos.clear();
    for (int id : s.svc().archives->ids(s.db)) {
        ArchiveInfo a;
        if (!archive_info(s, id, a) || !check_access(s, a.configuration.acl, access_type::read)) {
            continue;
        }
        SourceConfiguration source;
        std::uint32_t source_magic = 0;
        if (!s.svc().sources->get(s.db, a.configuration.source_id, source, source_magic) ||
            !check_access(s, source.acl, access_type::read)) {
            source = SourceConfiguration{};
            source_magic = 0;
        }
        IndexInfo info;
        info.name = a.configuration.name;
        info.index = id;
        info.crawling = a.crawling;
        info.historicize = a.configuration.historicize;
        info.documents = a.documents;
        info.errors = a.errors;
        info.last_run_start = a.last_run_start;
        info.last_run_end = a.last_run_end;
        info.next_run = a.next_run;
        info.configuration = index_of(a.configuration, source);
        info.magic = index_magic(a.magic, source_magic);
        infos.push_back(std::move(info));
    }
}

}  // namespace marloven
