// request_handler.h: what the worker program does with each request: PROCESS fetches a URL
// (or performs a cookie log-in) and parses the response, REPROCESS parses stored content again.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fetch/http_fetcher.h"
#include "worker/protocol.h"

namespace marloven {

class document_filters;
struct response_head;

// Maps a fetch onto a crawl error code (see the table in request_handler.cc).
crawl_error status_of_fetch(const fetch_response& response);

// Sets result.status (and status_text, redirect) from the HTTP status of `head` for a response
// to `url`: a 3xx becomes REDIRECT with the resolved, normalised target, or BADREDIR. Returns
// true when the response is a document to parse (2xx).
bool check_http_status(std::string_view url, const response_head& head, crawl_result& result);

// Purpose: answers PROCESS and REPROCESS requests of the worker program. A parsed document
// that is to be indexed goes through the document filters the request lists; the checksums of
// the reply are those of the filtered document. A filter that crashes or hangs makes the URL
// UNPARSABLE, with the plug-in named in the status text.
// Ownership: owns the HTTP client; borrows the document filters (null: no filtering), which
// must outlive the handler.
// Failure: every failure is a status in the reply; nothing is thrown.
// Threads: one thread at a time.
class request_handler {
  public:
    explicit request_handler(fetch_settings settings, document_filters* filters = nullptr);

    process_reply process(const process_request& request);
    reprocess_reply reprocess(const reprocess_request& request);

  private:
    process_reply fetch_and_parse(const process_request& request);
    process_reply log_in(const process_request& request);
    // Applies the request's document filters to a parsed document (status NONE only).
    void filter(const filter_settings& settings, std::string_view url, crawl_result& result,
                std::string& fff, std::uint32_t& score);

    http_fetcher fetcher_;
    document_filters* filters_;
};

}  // namespace marloven
