// installation.h: the installed daemon run against a data directory of the test's own, and
// readers of the database, index and log it leaves behind.
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "db/sqlite.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "idxstorage/idxstorage.h"
#include "logstorage/logstorage.h"
#include "support/process.h"
#include "support/test_database.h"
#include "util/config_file.h"

namespace vant_test {

// "<data>.conf" in `dir`: the data directory `data` below `dir`, the build's programs, a port of
// the system's choice, no syncing; `extra` lines come last and win.
inline std::string write_conf(const temp_dir& dir, const std::string& extra = {},
                              const std::string& data = "data") {
    return dir.write(data + ".conf", "DATADIR=" + (dir / data) +
                                         "\nDEPLOYDIR=" VANT_DEPLOY_DIR
                                         "\nLOGCFG=LOG:INFO\nSyncLevel=0\nHTTP_PORT=127.0.0.1:0\n" +
                                         extra);
}

// The port of the daemon's HTTP server, from the last line after byte `from` of its log that
// says where it listens (tests configure port 0, so the system picks a port nobody holds).
inline std::optional<int> listening_port(const std::string& log, std::size_t from = 0) {
    static const std::regex line("HTTP server listening on [^ ]+ \\(port ([0-9]+)");
    std::optional<int> port;
    if (from > log.size()) {
        return port;
    }
    for (std::sregex_iterator
             it(log.cbegin() + static_cast<std::ptrdiff_t>(from), log.cend(), line),
         end;
         it != end; ++it) {
        port = std::stoi((*it)[1]);
    }
    return port;
}

inline env_changes daemon_env(const std::string& conf) {
    return {{"MARLOVEN_CONFIG_FILE", conf}, {"MARLOVEN_POSTMORTEM_DEBUG", std::nullopt}};
}

inline run_result run_daemon(const std::string& conf, const std::vector<std::string>& args) {
    return run_program(deployed("vantorelld"), args, daemon_env(conf));
}

// The configuration's data directory.
inline std::string data_dir(const std::string& conf) {
    std::string data;
    marloven::config_file(conf).get("DATADIR", data);
    return data;
}

// The configuration's database, opened as the daemon opens it.
inline marloven::sqlite_connection open_data(const std::string& conf) {
    marloven::config_file cfg(conf);
    return marloven::open_database(cfg, (data_dir(conf) + "/vantorell.db").c_str());
}

inline std::vector<std::string> query(const std::string& conf, const std::string& sql) {
    auto db = open_data(conf);
    return query(db, sql);
}

// Opens a crawl of `arcid` with `seeds` queued, or with every stored document of the archive
// queued again when `requeue`. The daemon must not run: its queue reads the table only when it
// starts. The crawl begins after every fetch stored so far, as one started later than a second
// after the last crawl's end does: pages stored since a crawl's start are not fetched again in it.
inline void open_crawl(const std::string& conf, std::uint32_t arcid,
                       const std::vector<std::string>& seeds, bool requeue = false) {
    auto db = open_data(conf);
    marloven::transaction t(db);
    marloven::logstorage logs(db);
    marloven::fetchqueue queue(db, 0);
    marloven::docstorage docs(db);
    const std::int64_t newest =
        std::stoll(query(db,
                         "select max((select ifnull(max(timestamp), 0) from docstorage), "
                         "(select ifnull(max(timestamp), 0) from documentlog), "
                         "(select ifnull(max(end), 0) from crawlstats))")[0]);
    while (std::time(nullptr) <= newest) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    logs.crawlStarted(db, arcid, std::time(nullptr));
    if (requeue) {
        docs.requeueArchive(db, arcid, queue);
    }
    for (const auto& seed : seeds) {
        queue.push(db, arcid, seed, 0);
    }
    t.commit();
}

// The hits for one word in the data directory's index (the daemon must not run).
inline std::vector<marloven::query_hit> search_index(const std::string& conf,
                                                     const std::string& word) {
    marloven::config_file cfg(conf);
    marloven::idxstorage index(cfg, data_dir(conf) + "/index");
    EXPECT_TRUE(index.start());
    marloven::query_options q;
    q.atoms = {{marloven::query_atom_type::ATOM_WORD, word, ""}};
    q.last = marloven::idxstorage::max_hits_per_query - 1;
    std::vector<marloven::query_hit> hits;
    const std::int32_t total = index.query(q, nullptr, hits);
    EXPECT_EQ(total, static_cast<std::int32_t>(hits.size()));
    index.stop();
    return hits;
}

}  // namespace vant_test
