// processthr.cc: the crawl processing loop: taking a URL, robots rules and cookie log-ins, the
// worker request, storing, indexing and logging the result, queueing links, ending crawls.
// SPDX-License-Identifier: MIT
#include "vantorelld/processthr.h"

#include <curl/curl.h>

#include <algorithm>
#include <set>
#include <type_traits>

#include "db/disk_full.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "idxstorage/idxstorage.h"
#include "logstorage/logstorage.h"
#include "robotschecker/robotschecker.h"
#include "schedule/schedule.h"
#include "storage/index_handoff.h"
#include "util/log.h"
#include "util/metrics.h"
#include "util/uri.h"
#include "vantorelld/crawl_services.h"
#include "vantorelld/recrawl.h"
#include "worker/worker_process.h"

namespace marloven {

namespace {

constexpr std::string_view guid_scheme_prefix = "guid:";

cache_mode cache_mode_of(const ArchiveConfiguration& archive) {
    switch (archive.cache) {
        case cache_policy::context:
            return cache_mode::context;
        case cache_policy::none:
            return cache_mode::none;
        default:
            return cache_mode::full;
    }
}

// Requests the notification URL once: no redirects, no connection kept, the answer discarded.
void request_url(const std::string& url) {
    static std::once_flag curl_ready;
    std::call_once(curl_ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    struct curl_closer {
        void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
    };
    std::unique_ptr<CURL, curl_closer> curl(curl_easy_init());
    if (!curl) {
        return;
    }
    CURL* c = curl.get();
    auto discard = +[](char*, size_t size, size_t count, void*) -> size_t { return size * count; };
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // A notification server that does not answer must not hold up the crawl thread for long.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    curl_easy_perform(c);
}

}  // namespace

// One URL taken from the queue, with what its archive and source say about it.
struct process_thread::job {
    queued_url queued;
    ArchiveConfiguration archive;
    SourceConfiguration source;
    std::string source_xml;  // the source in the form a worker request carries (write_source_xml)
    std::string auth_xml;    // the archive's credentials record, for sources with a log-in
    filter_settings filters;
    std::unique_ptr<url_filter> filter;  // the source's URL filter (not for "guid:" URLs)
    // The site's robots rules' answer, when the URL passed the filter and the cached rules were
    // fresh enough to be asked in the transaction that took the URL.
    std::optional<robots_answer> robots;
    // The URL's newest stored version, when an UNCHANGED answer can be completed from it.
    std::optional<stored_copy> stored;
};

// The outcome of a fetch, as it is stored and logged.
struct process_thread::record {
    std::int64_t fetch_time = 0;
    std::string guid;
    crawl_error error = crawl_error::none;
    process_reply reply;
    bool not_modified = false;  // the server answered the conditional request with 304
    // The reply was completed from a stored version read without body and FFF: its guid, and
    // the length of the body it stands for.
    std::string partial_copy;
    std::uint64_t stored_body_length = 0;
};

process_thread::process_thread(const crawl_services& services, std::chrono::seconds timeout)
    : svc_(services),
      timeout_(timeout.count()),
      db_(open_database(*services.config, services.database.c_str())) {
    // Every URL looks up its links and its stored version: read through a memory map, the pages
    // cost no system call each (on a crawl of one site this made the whole pipeline 1.7 times
    // faster). The result is ignored: without the map SQLite reads as before.
    try_exec(db_, "pragma mmap_size=268435456");
    wproc_init();
}

process_thread::~process_thread() {
    request_stop();
    join();
}

void process_thread::start() {
    thread_.start([this](const std::stop_token& stop) { run(stop); });
}

void process_thread::request_stop() {
    thread_.request_stop();
    check_worker(true);
}

void process_thread::join() {
    thread_.join();
}

void process_thread::check_worker(bool force) {
    std::scoped_lock lock(lock_);
    if (!wproc_) {
        return;
    }
    if (force) {
        wproc_->kill_child();
        return;
    }
    if (job_started_ > 0 && svc_.now() - job_started_ >= timeout_) {
        VANT_LOG(WORKERSCHEDULING, info) << "Worker timed out";
        wproc_->kill_child();
        job_started_ = 0;  // killed once; the request's end resets it anyway
    }
}

void process_thread::set_job_started(std::int64_t t) {
    std::scoped_lock lock(lock_);
    job_started_ = t;
}

pid_t process_thread::worker_pid() const {
    std::scoped_lock lock(lock_);
    return wproc_ ? wproc_->pid() : 0;
}

void process_thread::wproc_init() {
    std::unique_ptr<worker_process> old;
    {
        std::scoped_lock lock(lock_);
        old = std::move(wproc_);
        job_started_ = 0;
    }
    if (old) {
        old->kill_child();  // normally dead already; destruction waits for the process
        old.reset();
    }
    docfilter_cache_.clear();
    plugin_cache_.clear();
    auto fresh = std::make_unique<worker_process>(*svc_.config);
    std::string error;
    if (!fresh->start(error)) {
        VANT_LOG(WORKERSCHEDULING, error) << "wproc_init(): " << error;
        VANT_CHECK(false, "false");
    }
    std::scoped_lock lock(lock_);
    wproc_ = std::move(fresh);
    // A stop that came while the worker started found no worker to kill.
    if (stopping()) {
        wproc_->kill_child();
    }
}

bool process_thread::restart_worker() {
    check_worker(true);
    if (stopping()) {
        return false;
    }
    if (svc_.metrics != nullptr) {
        svc_.metrics->worker_restarted();
    }
    wproc_init();
    return true;
}

template <typename Request>
auto process_thread::call_worker(const Request& request) {
    set_job_started(svc_.now());
    struct idle_again {
        process_thread* thread;
        ~idle_again() { thread->set_job_started(0); }
    } guard{this};
    // Only this thread replaces the worker, so it reads the pointer without the lock.
    if constexpr (std::is_same_v<Request, process_request>) {
        return wproc_->process(request);
    } else {
        return wproc_->reprocess(request);
    }
}

void process_thread::run(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
        // Read before looking, so that a change made while this thread looks is not missed.
        const std::uint64_t seen = svc_.wakeup->changes();
        if (!crawl_once()) {
            svc_.wakeup->wait(seen, std::chrono::seconds(1), stop);
        }
    }
    std::scoped_lock lock(lock_);
    if (wproc_) {
        wproc_->kill_child();
    }
}

bool process_thread::crawl_once() {
    const std::int64_t now = svc_.now();
    if (!in_crawl_window(now, svc_.settings.crawl_start, svc_.settings.crawl_stop) ||
        !svc_.enough_disk()) {
        return false;
    }
    std::optional<job> j;
    try {
        // A full disk rolls back the transaction it struck (disk_full.h) and lands below.
        disk_full_tolerated tolerate;
        j = take_job();
        if (!j) {
            return false;
        }
        if (j->queued.url.starts_with(guid_scheme_prefix)) {
            reprocess(*j);
        } else {
            fetch(*j);
        }
    } catch (const disk_full& e) {
        abandon_after_full_disk(j ? &*j : nullptr, e);
    }
    return true;
}

void process_thread::abandon_after_full_disk(const job* j, const disk_full& e) {
    svc_.disk_was_full(j ? "while processing " + j->queued.url : std::string("taking a URL"),
                       e.what());
    // Links remembered as queued in this crawl may have been rolled back with the rest. (The
    // index hears of a version only after its transaction has committed.)
    {
        std::scoped_lock lock(svc_.links->lock);
        svc_.links->archives.clear();
    }
    if (j) {
        // The URL stays queued; its host must not wait for a removal that never comes.
        std::scoped_lock lock(transaction_mutex());
        svc_.queue->release(j->queued.arcid, j->queued.url);
    }
}

std::optional<process_thread::job> process_thread::take_job() {
    transaction t(db_);
    svc_.index_changes->clear_settled(db_);
    std::optional<job> j;
    if (auto q = svc_.queue->next(db_)) {
        j.emplace();
        j->queued = std::move(*q);
        VANT_LOG(WORKERSCHEDULING, info) << "Going to fetch " << j->queued.url;
        read_configuration(*j);
        update_filter_caches(*j);
        if (!j->queued.url.starts_with(guid_scheme_prefix)) {
            j->filter =
                std::make_unique<url_filter>(j->source.include_filters, j->source.exclude_filters);
            // Saves a transaction per URL while the site's rules are cached.
            if (j->source.robots_check && j->filter->accepts(j->queued.url) &&
                !svc_.robots->needs_fetch(db_, j->queued.url)) {
                j->robots = svc_.robots->allowed(db_, j->queued.url);
            }
            // Only an archive that keeps documents whole keeps what a re-crawl needs. With
            // history an unchanged page is stored again as a copy, so the copy is read whole.
            if (cache_mode_of(j->archive) == cache_mode::full &&
                j->filter->accepts(j->queued.url)) {
                j->stored = load_stored_copy(db_, *svc_.documents, j->queued.arcid, j->queued.url,
                                             j->archive.historicize);
            }
        }
    }
    t.commit();
    return j;
}

void process_thread::read_configuration(job& j) {
    const std::uint32_t arcid = j.queued.arcid;
    std::uint32_t magic = 0;
    bool have_archive = svc_.archives->get(db_, static_cast<int>(arcid), j.archive);
    bool have_source = have_archive && svc_.sources->get(db_, j.archive.source_id, j.source) &&
                       write_source_xml(j.source, j.source_xml);
    if (!have_source) {
        VANT_LOG(WORKERSCHEDULING, error) << "Cannot read configuration for archive " << arcid
                                          << " or source " << j.archive.source_id;
        // What could not be read is empty: a source without include filters fetches nothing.
        j.source = SourceConfiguration{};
        j.source_xml.clear();
    }
    if (j.source.auth != auth_type::none &&
        !svc_.auths->get_text(db_, j.archive.auth_id, j.auth_xml, magic)) {
        j.auth_xml.clear();
    }
}

void process_thread::update_filter_caches(job& j) {
    std::vector<int> ids;
    RendererPluginPipe pipe;
    if (svc_.renderer_pipes->get(db_, 0, pipe)) {
        ids = pipe.docfilters;
    }
    ids.insert(ids.end(), j.source.docfilters.begin(), j.source.docfilters.end());
    VANT_LOG(PLUGINSYSTEM, debug) << "Updating plugin cache...";
    std::set<int> filters_used;
    std::set<int> plugins_used;
    for (int id : ids) {
        VANT_LOG(PLUGINSYSTEM, boring) << "Considering docfilter " << id;
        DocFilter filter;
        std::uint32_t magic = 0;
        if (!svc_.docfilters->get(db_, id, filter, magic)) {
            VANT_LOG(PLUGINSYSTEM, error)
                << "Cannot find docfilter " << id << " for source " << j.archive.source_id;
            continue;
        }
        auto cached = docfilter_cache_.find(id);
        if (cached == docfilter_cache_.end() || cached->second.magic != magic) {
            VANT_LOG(PLUGINSYSTEM, debug) << "Docfilter " << id << " is dirty";
            // The 16-bit change counter is the low half of the stamp, which changes with the
            // record's text.
            docfilter_cache_[id] = {
                magic,
                {id, static_cast<std::int32_t>(magic), static_cast<std::int16_t>(magic & 0xffff),
                 filter.name, filter.description, filter.plugin_id, filter.parameters}};
        }
        filters_used.insert(id);
        VANT_LOG(PLUGINSYSTEM, boring) << " uses plugin " << filter.plugin_id;
        Plugin plugin;
        if (!svc_.plugins->get(db_, filter.plugin_id, plugin, magic)) {
            VANT_LOG(PLUGINSYSTEM, error)
                << "Cannot find plugin " << filter.plugin_id << " for docfilter " << id;
            continue;
        }
        auto cached_plugin_entry = plugin_cache_.find(filter.plugin_id);
        if (cached_plugin_entry == plugin_cache_.end() ||
            cached_plugin_entry->second.magic != magic) {
            VANT_LOG(PLUGINSYSTEM, debug) << "Plugin " << filter.plugin_id << " is dirty";
            plugin_cache_[filter.plugin_id] = {
                magic,
                {filter.plugin_id, static_cast<std::int32_t>(magic),
                 static_cast<std::int16_t>(magic & 0xffff), plugin.name, plugin.description,
                 plugin.module, plugin.configuration}};
        }
        plugins_used.insert(filter.plugin_id);
    }
    j.filters.docfilter_ids.assign(ids.begin(), ids.end());
    for (int id : filters_used) {
        j.filters.docfilters.push_back(docfilter_cache_[id].entry);
    }
    for (int id : plugins_used) {
        j.filters.plugins.push_back(plugin_cache_[id].entry);
    }
    j.filters.marker_begin = j.source.text_exclusion_begin;
    j.filters.marker_end = j.source.text_exclusion_end;
}

void process_thread::reprocess(job& j) {
    const std::uint32_t arcid = j.queued.arcid;
    const std::string guid = j.queued.url.substr(guid_scheme_prefix.size());
    document_version doc;
    extra_values extra;
    bool found = false;
    {
        transaction t(db_);
        found = svc_.documents->get(db_, guid, doc) == read_status::found;
        if (found) {
            svc_.documents->getExtra(db_, guid, extra);
        }
        t.commit();
    }
    std::optional<crawl_error> status;
    reprocess_reply reply;
    if (found) {
        reprocess_request q;
        q.depth_credit = depth_credit(j.queued.priority);
        q.guid = guid;
        q.url = doc.url;
        q.headers = doc.headers;
        q.content = doc.content;
        q.mime = doc.mime;
        if (auto side = extra.find("SideMeta"); side != extra.end()) {
            q.side_metadata = side->second;
        }
        q.filters = j.filters;
        try {
            reply = call_worker(q);
            status = reply.result.status;
        } catch (const socket_ipc::error& e) {
            if (stopping()) {
                return;
            }
            VANT_LOG(WORKERSCHEDULING, error)
                << "While reproccessing " << j.queued.url
                << " error executing wproc->reprocess(): " << e.what();
            status = crawl_error::internal;
            if (!restart_worker()) {
                return;
            }
        }
    }
    const std::string url = doc.url;
    index_handoff::batch changes(*svc_.index_changes);
    transaction t(db_);
    if (status) {
        if (*status == crawl_error::none) {
            // The version keeps its own error: a kept UNCHANGED version stays one, and only good
            // versions are in the index.
            const bool good = doc.error == static_cast<int>(crawl_error::none);
            doc.fff = std::move(reply.fff);
            doc.fffcrc = reply.result.fffcrc;
            doc.corecrc = reply.result.corecrc;
            doc.score = reply.score;
            const cache_mode mode = cache_mode_of(j.archive);
            if (!svc_.documents->store(db_, doc, extra, mode)) {
                status = crawl_error::outofdocs;
            } else if (good) {
                changes.add(db_, std::move(doc), mode);
            }
        }
        svc_.logs->logDocument(db_, guid, arcid, url, svc_.now(), static_cast<int>(*status));
        VANT_LOG(FETCHEDDOCS, info)
            << crawl_error_name(*status) << " " << url << " (reprocessed " << guid << ")";
    }
    finish(t, j, changes);
}

std::optional<crawl_error> process_thread::check_robots(const job& j) {
    const std::string& url = j.queued.url;
    std::optional<std::string> robots_url;
    robots_answer answer;
    if (j.robots) {
        answer = *j.robots;
    } else {
        transaction t(db_);
        robots_url = svc_.robots->needs_fetch(db_, url);
        if (!robots_url) {
            answer = svc_.robots->allowed(db_, url);
        }
        t.commit();
    }
    if (robots_url) {
        process_request q;
        q.depth_credit = robots_depth_credit;
        q.url = *robots_url;
        std::optional<std::string> body;
        try {
            process_reply reply = call_worker(q);
            VANT_LOG(WORKERSCHEDULING, debug) << "Processed robots.txt " << *robots_url;
            // A missing robots.txt (or any failed fetch) is cached empty: everything allowed.
            body.emplace();
            if (reply.result.status == crawl_error::none) {
                body = std::move(reply.content);
            }
        } catch (const socket_ipc::error& e) {
            if (stopping()) {
                return std::nullopt;
            }
            VANT_LOG(WORKERSCHEDULING, error) << "While proccessing " << *robots_url
                                              << " error executing wproc->process(): " << e.what();
            if (!restart_worker()) {
                return std::nullopt;
            }
            // The crawl goes on with the new worker: the URL is judged by what the cache holds
            // (nothing is stored, so the next URL of the site tries to read the rules again).
        }
        transaction t(db_);
        if (body) {
            svc_.robots->store(db_, *robots_url, *body);
        }
        answer = svc_.robots->allowed(db_, url);
        t.commit();
    }
    if (!answer.rules_parsed) {
        VANT_LOG(WORKERSCHEDULING, info)
            << "Error parsing robots.txt " << robots_url_for(url).value_or(url);
    }
    return answer.allowed ? crawl_error::none : crawl_error::blocked;
}

std::optional<std::string> process_thread::cookies_for(const job& j) {
    const std::uint32_t arcid = j.queued.arcid;
    if (auto cookies = svc_.cookies->usable(arcid, j.source.cookie.freshness, svc_.now())) {
        return cookies;
    }
    process_request q;
    q.url = j.source.cookie.url;
    q.login = true;
    q.source_xml = j.source_xml;
    q.auth_xml = j.auth_xml;
    try {
        process_reply reply = call_worker(q);
        std::string cookies = cookies_from_headers(reply.headers);
        if (cookies.empty() && reply.result.status != crawl_error::none) {
            VANT_LOG(WORKERSCHEDULING, warning) << "Log-in for archive " << arcid << " at " << q.url
                                                << " failed: " << reply.result.status_text;
        }
        // A failed log-in is remembered too (with no cookies), so the site is asked again only
        // after the freshness period and not before every URL of the archive.
        svc_.cookies->put(arcid, cookies, svc_.now());
        return cookies;
    } catch (const socket_ipc::error& e) {
        if (stopping()) {
            return std::nullopt;
        }
        VANT_LOG(WORKERSCHEDULING, error) << "Error executing wproc->process(): " << e.what();
        if (!restart_worker()) {
            return std::nullopt;
        }
        return std::string();
    }
}

void process_thread::fetch(job& j) {
    const std::string& url = j.queued.url;
    const url_filter& filter = *j.filter;
    record r;
    r.fetch_time = svc_.now();
    r.guid = document_guid(svc_.platform_guid, j.queued.arcid, url,
                           j.archive.historicize ? std::optional(r.fetch_time) : std::nullopt);
    if (!filter.accepts(url)) {
        r.error = crawl_error::blocked;
    }
    if (r.error == crawl_error::none && j.source.robots_check) {
        auto robots = check_robots(j);
        if (!robots) {
            return;
        }
        r.error = *robots;
    }
    std::string cookies;
    if (r.error == crawl_error::none && j.source.auth == auth_type::cookie) {
        auto c = cookies_for(j);
        if (!c) {
            return;
        }
        cookies = std::move(*c);
    }
    if (r.error == crawl_error::none) {
        process_request q;
        q.depth_credit = depth_credit(j.queued.priority);
        q.guid = r.guid;
        q.url = url;
        q.cookies = std::move(cookies);
        q.source_xml = j.source_xml;
        q.auth_xml = j.auth_xml;
        q.side_metadata = j.source.side_metadata_available;
        q.filters = std::move(j.filters);
        if (j.stored) {
            q.extra = encode_extra(validators_of(*j.stored));
        }
        try {
            r.reply = call_worker(q);
            r.error = r.reply.result.status;
            if (r.error == crawl_error::unchanged) {
                take_unchanged(j, q, r);
            }
        } catch (const socket_ipc::error& e) {
            if (stopping()) {
                return;
            }
            VANT_LOG(WORKERSCHEDULING, error)
                << "While proccessing " << url << " error executing wproc->process(): " << e.what();
            r.error = crawl_error::internal;
            r.reply = process_reply{};
            if (!restart_worker()) {
                return;
            }
        }
    }
    auto& links = r.reply.outlinks;
    std::erase_if(links, [&](const outlink& l) { return !filter.accepts(l.url); });
    if (links.size() > max_outlinks_per_page) {
        VANT_LOG(WORKERSCHEDULING, info)
            << "Dropped " << links.size() - max_outlinks_per_page << " of " << links.size()
            << " links of " << url << ": at most " << max_outlinks_per_page << " are kept";
        links.resize(max_outlinks_per_page);
    }
    if (r.error == crawl_error::redirect) {
        const std::string& target = r.reply.result.redirect;
        VANT_LOG(WORKERPARSERS, boring) << url << " is a redirect to " << target;
        if (!target.empty() && filter.accepts(target) &&
            std::none_of(links.begin(), links.end(),
                         [&](const outlink& l) { return l.url == target; })) {
            links.push_back({target, FFF::score_one});
        }
    }
    // Politeness limits fetching: the site may serve the next URL while this one is stored.
    {
        std::scoped_lock lock(transaction_mutex());
        svc_.queue->fetched(j.queued.arcid, url);
    }
    svc_.wakeup->changed();
    store_fetch(j, r);
}

void process_thread::take_unchanged(job& j, const process_request& q, record& r) {
    if (q.extra.empty() || !j.stored) {
        // Nothing was offered to compare with: a worker that says so is wrong.
        r.error = crawl_error::unknown;
        r.reply.result.status_text = "Unchanged answer to an unconditional request";
        return;
    }
    r.not_modified = r.reply.result.status_text == not_modified_text;
    if (!j.stored->whole) {
        r.partial_copy = j.stored->doc.guid;
    }
    r.stored_body_length = j.stored->body.length;
    complete_from_stored(std::move(*j.stored), r.reply);
    j.stored.reset();
    r.error = crawl_error::none;
}

void process_thread::fill_partial_copy(record& r) {
    document_version doc;
    if (svc_.documents->get(db_, r.partial_copy, doc) != read_status::found) {
        r.error = crawl_error::unknown;
        r.reply.result.status_text = "Stored version is gone or damaged";
        r.reply.outlinks.clear();
        return;
    }
    r.reply.headers = std::move(doc.headers);
    r.reply.content = std::move(doc.content);
    r.reply.fff = std::move(doc.fff);
}

void process_thread::store_fetch(const job& j, record& r) {
    const std::uint32_t arcid = j.queued.arcid;
    const std::string& url = j.queued.url;
    crawl_result& result = r.reply.result;
    // A 304 brought no body over the network; the stored copy stands in for it.
    const std::uint64_t body_bytes = r.not_modified            ? 0
                                     : !r.partial_copy.empty() ? r.stored_body_length
                                                               : r.reply.content.size();
    const cache_mode mode = cache_mode_of(j.archive);
    // The version as it is stored; its error and core-changed flag are settled in the
    // transaction. Its bodies are moved out of the reply.
    document_version doc;
    extra_values extra;
    auto take_version = [&] {
        doc.guid = r.guid;
        doc.arcid = arcid;
        doc.url = url;
        doc.timestamp = r.fetch_time;
        doc.error = static_cast<int>(r.error);
        doc.headers = std::move(r.reply.headers);
        doc.content = std::move(r.reply.content);
        doc.fff = std::move(r.reply.fff);
        doc.fffcrc = result.fffcrc;
        doc.corecrc = result.corecrc;
        doc.score = r.reply.score;
        doc.mime = result.mime;
        doc.charset = result.charset;
        doc.servertime = result.datetime;
        if (!result.side_metadata.empty()) {
            extra["SideMeta"] = result.side_metadata;
        }
        if (r.error == crawl_error::none || r.error == crawl_error::unchanged) {
            extra[std::string(outlinks_key)] =
                encode_outlinks(r.reply.outlinks, checksum_of(doc.content));
        }
    };
    // Compressing is most of a store's work and needs no lock, so a reply that came whole is
    // packed before the transaction. (Its error can only turn from NONE into UNCHANGED there,
    // which keeps the same blobs.)
    std::optional<packed_blobs> packed;
    if (r.partial_copy.empty()) {
        take_version();
        packed = docstorage::pack(doc, extra, mode);
    }
    index_handoff::batch changes(*svc_.index_changes);
    transaction t(db_);
    auto crawl = svc_.logs->lastCrawl(db_, arcid);
    // Results that arrive after their crawl has ended are neither stored nor followed.
    if (crawl && crawl->end == 0) {
        auto latest = svc_.documents->findLatest(db_, arcid, url);
        if (latest && r.error == crawl_error::none && latest->error == 0 &&
            result.fffcrc == latest->fffcrc) {
            r.error = crawl_error::unchanged;
        }
        const bool confirm_only = r.error == crawl_error::unchanged && !j.archive.historicize;
        // A reply completed from a version read without its body is meant to confirm a stored
        // version; when it is stored instead (a newer version came in between, say), it is whole.
        if (!r.partial_copy.empty() && !confirm_only) {
            fill_partial_copy(r);
        }
        // The links of a redirect are as deep as the redirect, and one redirect further along
        // its chain.
        const bool redirect = r.error == crawl_error::redirect;
        const std::uint32_t depth = j.queued.priority + (redirect ? 0 : 1);
        const std::uint32_t redirects = redirect ? svc_.queue->redirects(db_, arcid, url) + 1 : 0;
        if (redirects > max_redirect_chain) {
            VANT_LOG(WORKERSCHEDULING, info) << "Not following " << url << ": more than "
                                             << max_redirect_chain << " redirects in a row";
        } else if (j.source.depth == 0 || static_cast<std::uint32_t>(j.source.depth) > depth) {
            queue_links(arcid, crawl->start, url, r.reply.outlinks, depth, redirects);
        }
        if (confirm_only) {
            svc_.documents->touch(db_, latest->guid, r.fetch_time);
        } else {
            if (!packed) {
                take_version();
                packed = docstorage::pack(doc, extra, mode);
            }
            doc.error = static_cast<int>(r.error);
            doc.corechanged = !latest || latest->corecrc != result.corecrc;
            VANT_LOG(WORKERPARSERS, debug) << "Score for " << url << " is " << r.reply.score;
            if (!svc_.documents->store(db_, doc, *packed)) {
                r.error = crawl_error::outofdocs;
            } else if (r.error == crawl_error::none) {
                changes.add(db_, std::move(doc), mode);
            }
        }
        svc_.logs->logDocument(db_, r.guid, arcid, url, r.fetch_time, static_cast<int>(r.error));
        if (r.not_modified) {
            svc_.logs->countNotModified(db_, arcid);
        }
        if (j.archive.page_limit > 0) {
            auto now = svc_.logs->lastCrawl(db_, arcid);
            if (now && now->docs >= j.archive.page_limit) {
                svc_.queue->clear(db_, arcid);
            }
        }
        if (r.error == crawl_error::outofdocs) {
            svc_.queue->clear(db_, arcid);
        }
    }
    VANT_LOG(FETCHEDDOCS, info) << crawl_error_name(r.error) << " " << url
                                << (result.status_text.empty() ? ""
                                                               : " (" + result.status_text + ")");
    if (svc_.metrics != nullptr) {
        svc_.metrics->page_fetched(r.error, body_bytes, r.not_modified, r.fetch_time);
    }
    finish(t, j, changes);
}

void process_thread::queue_links(std::uint32_t arcid, std::int64_t crawl_start,
                                 const std::string& url, const std::vector<outlink>& links,
                                 std::uint32_t depth, std::uint32_t redirects) {
    std::scoped_lock lock(svc_.links->lock);
    auto& archives = svc_.links->archives;
    std::size_t known_count = 0;
    for (const auto& [id, k] : archives) {
        known_count += k.urls.size();
    }
    if (known_count > known_links::max_known_links) {
        archives.clear();
    }
    known_links::archive& known = archives[arcid];
    if (known.crawl_start != crawl_start) {
        known.crawl_start = crawl_start;
        known.urls.clear();
    }
    for (const outlink& link : links) {
        std::string target = normalise_url(link.url);
        if (target == url || !known.urls.insert(target).second) {
            continue;
        }
        // Pages stored since the crawl began are not fetched again in this crawl.
        if (svc_.documents->latestTimestamp(db_, arcid, target) < crawl_start) {
            svc_.queue->push(db_, arcid, target, depth, redirects);
        }
    }
}

void process_thread::finish(transaction& t, const job& j, index_handoff::batch& changes) {
    const std::uint32_t arcid = j.queued.arcid;
    svc_.queue->remove(db_, arcid, j.queued.url);
    bool ended = false;
    std::string summary;
    if (svc_.queue->empty(db_, arcid)) {
        auto crawl = svc_.logs->lastCrawl(db_, arcid);
        ended = crawl && crawl->end == 0;
        if (ended) {
            summary = ": " + std::to_string(crawl->docs) + " documents (" +
                      std::to_string(svc_.logs->notModified(db_, arcid, crawl->start)) +
                      " not modified), " + std::to_string(crawl->errors) + " errors";
        }
        svc_.logs->crawlEnded(db_, arcid, svc_.now());
        changes.flush();
        std::scoped_lock lock(svc_.links->lock);
        svc_.links->archives.erase(arcid);
    }
    t.commit();
    // A reprocessed URL's host is free only now. (A fetched URL's host was freed, and an idle
    // thread woken, when its fetch ended; waking another here would mostly cost an empty look.)
    if (j.queued.url.starts_with(guid_scheme_prefix)) {
        svc_.wakeup->changed();
    }
    // The index hears of the pass's changes only now, outside the transaction lock (a slow
    // index server holds up no other thread's database work), and after the changes that other
    // threads committed before. The thread goes on to its next URL while the sender sends them;
    // a crawl is reported ended only once the index has all of it.
    if (ended) {
        changes.send();
        VANT_LOG(WORKERSCHEDULING, info) << "Crawl of archive " << arcid << " ended" << summary;
        notify(arcid);
    } else {
        changes.post();
    }
}

void process_thread::notify(std::uint32_t arcid) const {
    if (!svc_.settings.notify) {
        return;
    }
    auto url = svc_.settings.notify->format(arcid);
    if (!url) {
        VANT_LOG(WORKERSCHEDULING, error)
            << "Notification URL for archive " << arcid << " is longer than "
            << max_notify_url_length << " bytes; not sent";
        return;
    }
    request_url(*url);
}

}  // namespace marloven
