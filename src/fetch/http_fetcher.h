// http_fetcher.h: the worker program's HTTP(S) client: one request, no redirects followed,
// bounded in time and size, with the raw response head and the decoded body.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marloven {

class config_file;
struct curl_handle;

struct fetch_settings {
    long connect_timeout_seconds = 20;
    long timeout_seconds = 120;  // the whole transfer
    std::size_t max_size = std::size_t{16} * 1024 * 1024;
    std::string user_agent = "marlovenbot";

    // FETCH_CONNECT_TIMEOUT, FETCH_TIMEOUT, MAXDOCSIZE and UserAgent, or their defaults.
    static fetch_settings from(const config_file& config);
};

// Why no HTTP response arrived.
enum class transfer_failure {
    none,      // a response arrived (its status may still be an error)
    resolve,   // the host name could not be resolved
    connect,   // no connection could be made
    timeout,   // the connect or total time-out ran out
    tls,       // the TLS handshake or the certificate check failed
    broken,    // the connection broke, or the response was not HTTP
    bad_url,   // not an http or https URL, or a malformed one
    decoding,  // the content encoding could not be undone
    other,
};

struct fetch_request {
    std::string url;
    std::string cookies;  // sent as the Cookie header when not empty
    std::optional<std::pair<std::string, std::string>> basic_auth;  // user name, password
    // When set, the request is a POST of this application/x-www-form-urlencoded body.
    std::optional<std::string> form_body;
};

struct fetch_response {
    transfer_failure failure = transfer_failure::none;
    std::string failure_text;  // the client library's message when failure is not none
    long status = 0;           // HTTP status code
    std::string headers;       // the response head as received: status line, fields, blank line
    std::string body;          // with the content encoding undone
    bool truncated = false;    // the body was longer than max_size and was cut there
};

// Purpose: performs single HTTP requests for the worker program.
// Ownership: owns one client handle, reused so that connections to a host are kept open.
// Failure: every problem is reported in the response; nothing is thrown.
// Threads: one thread at a time.
class http_fetcher {
  public:
    explicit http_fetcher(fetch_settings settings);
    ~http_fetcher();
    http_fetcher(const http_fetcher&) = delete;
    http_fetcher& operator=(const http_fetcher&) = delete;

    // `extra_headers` are further request header lines ("Name: value"), such as the validators
    // of a conditional request; the caller makes sure that they hold no line breaks.
    fetch_response fetch(const fetch_request& request,
                         const std::vector<std::string>& extra_headers = {});

    // A sequence of requests (borrows the settings, which must outlive it) that share a cookie jar
    // (a log-in with its preparatory pages): cookies that one response sets are sent with the later
    // requests of the same session.
    class session {
      public:
        explicit session(const fetch_settings& settings);
        ~session();
        session(const session&) = delete;
        session& operator=(const session&) = delete;
        fetch_response fetch(const fetch_request& request);

      private:
        const fetch_settings& settings_;
        std::unique_ptr<curl_handle> handle_;
    };

    const fetch_settings& settings() const { return settings_; }

  private:
    fetch_settings settings_;
    std::unique_ptr<curl_handle> handle_;
};

// Encodes `text` for a form body or query (RFC 3986 unreserved characters kept, others %XX).
std::string form_encode(std::string_view text);

}  // namespace marloven
