// rest.h: the REST interface: searching indexes, reading and adding documents, and the daemon's
// status, with plain XML replies. Routes:
//   POST /index/<arcid>/doc?url=...        add a document (the body), answer its id
//   GET  /index/<arcid>/doc/<docid>        a stored document, in the form the accept header asks
//   GET  /index/<arcid>[,<arcid>...]?q=... search
//   GET  /platform/status                  status
//   GET  /metrics                          monitoring counters (Prometheus text format)
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "api/crawl.h"
#include "util/http_text.h"
#include "vantorelld/httpstate.h"

namespace marloven {

// Purpose: writes one REST reply: the status line, header lines and the body, in that order,
// each piece finishing the ones before it when they were left out (a header or body without a
// status gets "200 OK"; a body without a content type gets "text/html").
// Ownership: the implementation decides where the bytes go.
// Threads: one request thread.
class rest {
  public:
    virtual ~rest() = default;
    // "HTTP/1.1 <code> <text>".
    virtual void status(int code, std::string_view text) = 0;
    // "Content-Type: <type>" and the date line.
    virtual void content_type(std::string_view type) = 0;
    // "<name>: <value>".
    virtual void header(std::string_view name, std::string_view value) = 0;
    // The empty line that ends the head (once).
    virtual void end_head() = 0;
    // Body text and bytes.
    virtual void print(std::string_view text) = 0;
    virtual void write(std::string_view bytes) = 0;
    // Reads request body bytes; 0 at the end.
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

// Purpose: a `rest` reply over the client connection; output is collected and sent in large
// pieces. The destructor finishes a head that was not finished.
// Ownership: borrows the connection.
// Threads: one request thread.
class restembed final : public rest {
  public:
    explicit restembed(http_connection& connection) : connection_(connection) {}
    ~restembed() override;
    restembed(const restembed&) = delete;
    restembed& operator=(const restembed&) = delete;

    void status(int code, std::string_view text) override;
    void content_type(std::string_view type) override;
    void header(std::string_view name, std::string_view value) override;
    void end_head() override;
    void print(std::string_view text) override;
    void write(std::string_view bytes) override;
    std::size_t read(char* buffer, std::size_t size) override;

  private:
    void put(std::string_view bytes);
    void flush();

    http_connection& connection_;
    std::string out_;
    bool status_sent_ = false;
    bool type_sent_ = false;
    bool head_ended_ = false;
};

// A parameter taken from the path by a route pattern.
struct route_param {
    int number = 0;            // "%": a decimal number of at least 1
    std::string text;          // "$": a text (a document identifier)
    std::vector<int> numbers;  // "@": a list of numbers, sorted, without duplicates, without 0
};

// Matches `path` against `pattern`, whose "%", "$" and "@" each take the path up to the next
// character of the pattern (or the end); every other character must match, and the whole path
// must be used up. Up to two parameters.
bool match_route(std::string_view pattern, std::string_view path, std::vector<route_param>& params);

// Reads the search parameters of a query string into `q` (q, rpn, alg, mintime, maxtime,
// minscore, start, num, info, view, sort, w<slice>, enc). On a bad value (also a start beyond
// idxstorage::max_first_hit, or a num asking for more than idxstorage::max_hits_per_query
// results) returns false and sets `error` to the reason text of the 400 reply (the last bad
// parameter checked).
bool parse_search_parameters(const query_map& params, query_request& q, std::string& error);

// Offers a request to the REST interface; false when no route matches (the portal's turn).
// `path` and `query` are the target split at its first "?" (`has_query` tells whether it had
// one).
bool rest_handle(httpstate& state, std::string_view path, std::string_view query, bool has_query);

}  // namespace marloven
