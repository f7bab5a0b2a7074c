// query.cc: the query operation.
// SPDX-License-Identifier: MIT
#include "api/query.h"

#include <algorithm>

#include "api/query_parsers.h"
#include "docstorage/docstorage.h"
#include "logstorage/logstorage.h"
#include "util/log.h"
#include "util/metrics.h"

namespace marloven {

namespace {

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

}  // namespace

void Query(const api_session& s, api_result& r, query_request& q, std::vector<query_hit>& hits,
           std::int32_t& count) {
    search_timer timer(s.svc().metrics);
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
        // An administrator may read every archive: the record (a query and an XML parse per
        // archive and search) is read only for other callers.
        ArchiveConfiguration archive;
        if (!s.admin && s.svc().archives->get(s.db, id, archive) &&
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

}  // namespace marloven
