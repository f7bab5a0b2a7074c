// test_http_server.h: a small threaded HTTP/1.1 server on 127.0.0.1 (ephemeral port) for tests
// of the fetcher, the worker program and whole crawls: scripted routes with status, headers,
// body, delay, compression, Basic and cookie checks, and a record of every request.
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vant_test {

struct http_request {
    std::string method;
    std::string target;                               // as on the request line: path and query
    std::string path;                                 // target before "?"
    std::multimap<std::string, std::string> headers;  // names in lower case
    std::string body;
    // The first value of a header (name in any case), or "".
    std::string header(std::string_view name) const;
};

struct http_response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers{};  // sent in this order
    std::string body{};
    // Waits this long before answering (the wait ends early when the server stops).
    std::chrono::milliseconds delay{0};
    // Compresses the body with gzip when the client accepts it.
    bool gzip = false;
};

struct http_route {
    http_response response;
    // When set, requests without these Basic credentials get 401 with a WWW-Authenticate header.
    std::optional<std::pair<std::string, std::string>> basic_auth{};
    // When set ("name=value"), requests whose Cookie header lacks it get 403.
    std::optional<std::string> required_cookie{};
};

using http_handler = std::function<http_response(const http_request&)>;

// An HTML page with a title, a paragraph and links (each link's text is its address).
inline std::string page(const std::string& title, const std::string& text,
                        const std::vector<std::string>& links = {}) {
    std::string html = "<html><head><title>" + title + "</title></head><body><p>" + text + "</p>";
    for (const auto& l : links) {
        html += "<a href=\"" + l + "\">" + l + "</a> ";
    }
    return html + "</body></html>";
}

// Purpose: serves scripted routes to the code under test and records what it asked for.
// Ownership: owns its listening socket and one thread per connection; the destructor stops
// them (pending delays end at once) and joins them.
// Failure: construction aborts the test program if the loopback port cannot be opened.
// Threads: routes may be changed and records read from the test thread while serving.
class test_http_server {
  public:
    test_http_server();
    ~test_http_server();
    test_http_server(const test_http_server&) = delete;
    test_http_server& operator=(const test_http_server&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(std::string_view path = "/") const;

    // Routes match the request path exactly (the query is not compared). A later call for the
    // same path replaces the route.
    void route(const std::string& path, http_route r);
    void route(const std::string& path, http_response r);
    void route(const std::string& path, int status, std::string content_type, std::string body);
    void route(const std::string& path, http_handler handler);

    std::vector<http_request> requests() const;
    size_t count(std::string_view path) const;  // requests for `path`

  private:
    struct connection {
        int fd = -1;
        bool done = false;  // guarded by mutex_
        std::jthread thread;
    };
    void accept_loop();
    void serve(connection& c);
    http_response answer(const http_request& request);
    bool wait_or_stop(std::chrono::milliseconds delay);

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopped_cv_;
    bool stopping_ = false;                         // guarded by mutex_
    std::map<std::string, http_handler> handlers_;  // guarded by mutex_
    std::vector<http_request> requests_;            // guarded by mutex_
    std::list<connection> connections_;             // guarded by mutex_

    std::jthread acceptor_;
};

}  // namespace vant_test
