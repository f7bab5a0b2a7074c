// request_handler.h: what the worker program does with each request: PROCESS fetches a URL
// (or performs a cookie log-in) and parses the response, REPROCESS parses stored content again.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <map>
#include <string_view>

#include "fetch/http_fetcher.h"
#include "worker/protocol.h"

namespace marloven {

struct response_head;

// Maps a fetch onto a crawl error code (see the table in request_handler.cc).
crawl_error status_of_fetch(const fetch_response& response);

// Sets result.status (and status_text, redirect) from the HTTP status of `head` for a response
// to `url`: a 3xx becomes REDIRECT with the resolved, normalised target, or BADREDIR. Returns
// true when the response is a document to parse (2xx).
bool check_http_status(std::string_view url, const response_head& head, crawl_result& result);

// Purpose: answers PROCESS and REPROCESS requests of the worker program.
// Ownership: owns the HTTP client, and the document filter and plug-in records received.
// Failure: every failure is a status in the reply; nothing is thrown.
// Threads: one thread at a time.
class request_handler {
  public:
    explicit request_handler(fetch_settings settings);

    process_reply process(const process_request& request);
    reprocess_reply reprocess(const reprocess_request& request);

    // The filter and plug-in records received so far, by id (applied by the plug-in system).
    const std::map<std::int32_t, docfilter_entry>& docfilters() const { return docfilters_; }
    const std::map<std::int32_t, plugin_entry>& plugins() const { return plugins_; }

  private:
    process_reply fetch_and_parse(const process_request& request);
    process_reply log_in(const process_request& request);
    void keep_filters(const filter_settings& filters);

    http_fetcher fetcher_;
    std::map<std::int32_t, docfilter_entry> docfilters_;
    std::map<std::int32_t, plugin_entry> plugins_;
};

}  // namespace marloven
