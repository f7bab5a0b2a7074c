// search_client.h: a client of a running daemon's search service: calls its SOAP methods over
// HTTP (libcurl) with Basic credentials, deflated replies accepted, and returns their results as
// generic values (soap/value.h). Used by vantorellctl and the SOAP benchmarks.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "soap/value.h"

namespace marloven {

// Where the daemon is and who calls it. `url` is the daemon's address ("http://host:port"); the
// calls go to its "/soap". An empty user sends no credentials.
struct client_options {
    std::string url;
    std::string user;
    std::string password;
    long timeout_seconds = 300;
    // Whether replies may come deflated (the daemon compresses them for clients that accept it).
    bool accept_deflate = true;
};

// Purpose: thrown when a call fails: the text is the fault's faultstring ("AccessViolation",
// "BadMagic", ...) for a fault reply, and says what went wrong for anything else (the daemon
// cannot be reached, refuses the credentials, or answers with something that is not SOAP).
// Failure: tier 3 (one call).
class call_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Purpose: calls methods of the search service, one HTTP request each.
// Ownership: owns one libcurl handle.
// Failure: every failed call throws `call_error`; a method the service does not describe is a
// broken invariant.
// Threads: one thread at a time.
class search_client {
  public:
    explicit search_client(client_options options);
    ~search_client();
    search_client(const search_client&) = delete;
    search_client& operator=(const search_client&) = delete;

    // Calls `method` with `params` (a record of parameters by name) and returns its results (a
    // record of results by name).
    soap::value call(std::string_view method, const soap::value& params = {});
    // Posts a request envelope written beforehand (soap::request_envelope) as a call of
    // `method`, and returns the HTTP status: 200 for results, 500 for a fault; the body is
    // last_reply(). Throws call_error when there is no SOAP reply (no connection, 401, another
    // status).
    long post(std::string_view method, const std::string& envelope);
    // The body of the last reply, as the daemon sent it (inflated).
    const std::string& last_reply() const { return reply_; }

  private:
    struct curl_handle;
    client_options options_;
    std::string endpoint_;
    std::unique_ptr<curl_handle> curl_;
    std::string reply_;
};

}  // namespace marloven
