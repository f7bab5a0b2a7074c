// storage_set.cc: building the storage set, lending it, and starting a crawl.
// SPDX-License-Identifier: MIT
#include "storage/storage_set.h"

namespace marloven {

storage_set::storage_set(sqlite3* db, const config_file& config, unsigned throttling,
                         std::string user_agent)
    : documents(db),
      queue(db, throttling),
      logs(db),
      index(config),
      index_changes(index, documents),
      robots(db, std::move(user_agent)),
      sources(db),
      archives(db),
      collections(db),
      watches(db),
      auths(db),
      plugins(db),
      docfilters(db),
      renderer_pipes(db),
      root_acls(db),
      logins(db) {}

storage_refs::storage_refs(storage_set& set)
    : documents(&set.documents),
      queue(&set.queue),
      logs(&set.logs),
      index(&set.index),
      index_changes(&set.index_changes),
      robots(&set.robots),
      sources(&set.sources),
      archives(&set.archives),
      collections(&set.collections),
      watches(&set.watches),
      auths(&set.auths),
      plugins(&set.plugins),
      docfilters(&set.docfilters),
      renderer_pipes(&set.renderer_pipes),
      root_acls(&set.root_acls),
      logins(&set.logins) {}

void start_crawl(sqlite3* db, const storage_refs& storage, std::uint32_t arcid,
                 const SourceConfiguration& source, std::int64_t now) {
    storage.logs->crawlStarted(db, arcid, now);
    for (const std::string& seed : source.seeds) {
        storage.queue->push(db, arcid, seed, 0);
    }
}

}  // namespace marloven
