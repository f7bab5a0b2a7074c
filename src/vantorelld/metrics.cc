// metrics.cc: the exposition text of GET /metrics.
// SPDX-License-Identifier: MIT
#include "vantorelld/metrics.h"

#include <charconv>
#include <filesystem>
#include <system_error>

#include "api/api-common.h"
#include "util/install_paths.h"
#include "util/metrics.h"
#include "vantorelld/httpstate.h"
#include "vantorelld/rest.h"

namespace marloven {

namespace {

std::string number(double v) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    return ec == std::errc() ? std::string(buffer, end) : std::string("NaN");
}

std::uint64_t directory_bytes(const std::filesystem::path& dir) {
    std::error_code ec;
    std::uint64_t total = 0;
    for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code size_ec;
        if (it->is_regular_file(size_ec)) {
            const auto size = it->file_size(size_ec);
            total += size_ec ? 0 : size;
        }
    }
    return total;
}

// Writes one metric family: its help and type lines, then its samples.
class exposition {
  public:
    void family(std::string_view name, std::string_view type, std::string_view help) {
        out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    void sample(std::string_view name, std::string_view labels, const std::string& value) {
        out_.append(name);
        if (!labels.empty()) {
            out_.append("{").append(labels).append("}");
        }
        out_.append(" ").append(value).append("\n");
    }
    template <typename Integer>
    void sample(std::string_view name, std::string_view labels, Integer value) {
        sample(name, labels, std::to_string(value));
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
};

std::string archive_label(std::uint32_t arcid) {
    return "archive=\"" + std::to_string(arcid) + "\"";
}

}  // namespace

metrics_figures read_metrics_figures(sqlite3* db, const api_services& services) {
    metrics_figures f;
    for (int id : services.archives->ids(db)) {
        archive_figures& a = f.archives[static_cast<std::uint32_t>(id)];
        if (auto last = services.logs->lastCrawl(db, static_cast<std::uint32_t>(id))) {
            a.documents = last->docs;
            a.errors = last->errors;
            a.crawling = last->end == 0;
            a.not_modified =
                services.logs->notModified(db, static_cast<std::uint32_t>(id), last->start);
        }
    }
    for (const auto& [arcid, length] : services.queue->sizes(db)) {
        f.archives[arcid].queued = length;
    }
    f.stored_documents = services.documents->documentCount(db, 0);
    std::filesystem::path index_dir = install_paths::index_dir;
    if (!services.data_dir.empty()) {
        index_dir = std::filesystem::path(services.data_dir) / index_dir;
    }
    f.index_bytes = directory_bytes(index_dir);
    return f;
}

std::string render_metrics(const daemon_metrics& counters, const metrics_figures& figures,
                           std::int64_t now) {
    exposition e;
    e.family("vantorell_pages_fetched_total", "counter",
             "URLs processed by the crawl threads, by result code.");
    for (int code = 0; code < crawl_error_count; ++code) {
        const auto result = static_cast<crawl_error>(code);
        e.sample("vantorell_pages_fetched_total",
                 "result=\"" + std::string(crawl_error_name(result)) + "\"",
                 counters.pages(result));
    }
    e.family("vantorell_fetched_bytes_total", "counter",
             "Bytes of document bodies received by the crawl threads.");
    e.sample("vantorell_fetched_bytes_total", "", counters.bytes());
    e.family("vantorell_not_modified_total", "counter",
             "Conditional fetches answered 304 Not Modified.");
    e.sample("vantorell_not_modified_total", "", counters.not_modified());
    e.family("vantorell_crawl_pages_per_second", "gauge",
             "URLs processed per second over the last minute.");
    e.sample("vantorell_crawl_pages_per_second", "", number(counters.crawl_rate(now)));

    e.family("vantorell_fetch_queue_length", "gauge", "URLs waiting in the archive's queue.");
    for (const auto& [arcid, a] : figures.archives) {
        e.sample("vantorell_fetch_queue_length", archive_label(arcid), a.queued);
    }
    e.family("vantorell_crawl_running", "gauge", "1 while the archive's crawl runs.");
    for (const auto& [arcid, a] : figures.archives) {
        e.sample("vantorell_crawl_running", archive_label(arcid), a.crawling ? 1 : 0);
    }
    e.family("vantorell_crawl_documents", "gauge", "Documents of the archive's latest crawl.");
    for (const auto& [arcid, a] : figures.archives) {
        e.sample("vantorell_crawl_documents", archive_label(arcid), a.documents);
    }
    e.family("vantorell_crawl_errors", "gauge", "Failed fetches of the archive's latest crawl.");
    for (const auto& [arcid, a] : figures.archives) {
        e.sample("vantorell_crawl_errors", archive_label(arcid), a.errors);
    }
    e.family("vantorell_crawl_not_modified", "gauge",
             "304 Not Modified answers in the archive's latest crawl.");
    for (const auto& [arcid, a] : figures.archives) {
        e.sample("vantorell_crawl_not_modified", archive_label(arcid), a.not_modified);
    }

    e.family("vantorell_searches_total", "counter", "Searches answered (REST, SOAP, portal).");
    e.sample("vantorell_searches_total", "", counters.searches.count());
    e.family("vantorell_search_duration_seconds", "histogram", "Time to answer a search.");
    std::uint64_t cumulative = 0;
    const auto& bounds = latency_histogram::bounds;
    for (std::size_t i = 0; i <= bounds.size(); ++i) {
        cumulative += counters.searches.bucket(i);
        const std::string le = i < bounds.size() ? number(bounds[i]) : "+Inf";
        e.sample("vantorell_search_duration_seconds_bucket", "le=\"" + le + "\"", cumulative);
    }
    e.sample("vantorell_search_duration_seconds_sum", "", number(counters.searches.sum_seconds()));
    // The count is the +Inf bucket, so that the two always agree within one scrape.
    e.sample("vantorell_search_duration_seconds_count", "", cumulative);

    e.family("vantorell_stored_documents", "gauge", "Good document versions stored.");
    e.sample("vantorell_stored_documents", "", figures.stored_documents);
    e.family("vantorell_index_bytes", "gauge", "Size of the full-text index on disk.");
    e.sample("vantorell_index_bytes", "", figures.index_bytes);
    e.family("vantorell_worker_restarts_total", "counter",
             "Worker processes replaced after a failure or a time-out.");
    e.sample("vantorell_worker_restarts_total", "", counters.worker_restarts());
    return e.take();
}

void write_metrics(httpstate& state, rest& out) {
    api_session session = state.context.session();
    const api_services& services = session.svc();
    metrics_figures figures;
    {
        api_transaction t(session.db);
        figures = read_metrics_figures(session.db, services);
    }
    static const daemon_metrics none;
    const daemon_metrics& counters = services.metrics != nullptr ? *services.metrics : none;
    out.content_type("text/plain; version=0.0.4; charset=utf-8");
    out.print(render_metrics(counters, figures, services.now()));
}

}  // namespace marloven
