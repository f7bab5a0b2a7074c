// metrics.h: GET /metrics: the daemon's monitoring counters and a few figures read from the
// database and the index directory, in the Prometheus text exposition format (version 0.0.4).
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>

namespace marloven {

class daemon_metrics;
class rest;
struct api_services;
struct httpstate;

// One archive's figures: its queue and its latest crawl.
struct archive_figures {
    std::int64_t queued = 0;
    std::int64_t documents = 0;
    std::int64_t errors = 0;
    std::int64_t not_modified = 0;
    bool crawling = false;
};

// What a scrape reads besides the counters.
struct metrics_figures {
    std::map<std::uint32_t, archive_figures> archives;  // every configured archive
    std::int64_t stored_documents = 0;                  // good versions in document storage
    std::uint64_t index_bytes = 0;                      // the index directory's files
};

// Reads the figures on `db`; the caller holds a transaction.
metrics_figures read_metrics_figures(sqlite3* db, const api_services& services);

// The exposition text: "# HELP" and "# TYPE" lines and one sample per line, each metric once.
std::string render_metrics(const daemon_metrics& counters, const metrics_figures& figures,
                           std::int64_t now);

// Answers GET /metrics (after the REST authentication) with the exposition text.
void write_metrics(httpstate& state, rest& out);

}  // namespace marloven
