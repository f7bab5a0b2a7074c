// httpstate.h: the handling of one HTTP request on a request thread: the per-thread context,
// the per-request state, authentication, the body-size check, routing to the front ends, and
// the fixed replies.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/api-common.h"
#include "db/sqlite.h"
#include "util/headerparser.h"
#include "vantorelld/httpconnection.h"

namespace marloven {

class config_file;

// What the request threads borrow from the daemon: the configuration (DEPLOYDIR, HTTP_USER and
// HTTP_MD5PASS, ...) and the services of the API operations (the storage objects and settings).
// The daemon keeps both alive while the HTTP server exists.
struct http_services {
    const config_file& config;
    const api_services& api;
};

// Purpose: what one request thread keeps from request to request: what it borrows from the
// daemon, the thread's own database connection, the portal switch, and the caller of the request
// being handled (copied from the request's state before a front end runs the API).
// Ownership: owns the connection (opened when the thread is built, closed with it); borrows the
// configuration and the services.
// Threads: belongs to one request thread.
struct threadcontext {
    explicit threadcontext(const http_services& lent);

    const config_file& config;
    const api_services& services;
    sqlite_connection db;
    bool portal_enabled = true;
    std::string user;
    std::vector<std::string> groups;
    bool admin = false;

    // The API's caller context for the current request.
    api_session session() const;
};

// Bodies larger than this are refused (SOAP, Research, WSDL and REST uploads).
inline constexpr std::uint64_t max_body_size = 16u << 20;
// Request heads larger than this are answered with the Bad-request reply.
inline constexpr std::size_t max_head_size = 64u << 10;

// Purpose: the state of one request: the client connection, the parsed head, the headers the
// front ends use, and the caller as authentication leaves it.
// Ownership: borrows the connection and the thread's context; lives on the request thread's
// stack for one request.
// Threads: one request thread.
struct httpstate {
    httpstate(http_connection& c, threadcontext& ctx) : connection(c), context(ctx) {}

    http_connection& connection;
    threadcontext& context;
    headerparser head;

    // The caller: an unauthenticated request is "Anonymous" in "All Users".
    std::string user = anonymous_user;
    std::string password_digest;  // 32 lower-case hexadecimal digits of MD5, or empty
    std::vector<std::string> groups = {all_users_group};
    bool admin = false;

    // Header values (lower-cased) collected from the head.
    std::optional<std::string> content_length;  // as sent
    std::string content_type_value;             // the whole value
    std::string content_type;                   // the media type alone
    std::string charset = "US-ASCII";
    std::string accept;
    bool accepts_deflate = false;
    std::string soapaction;  // without one pair of surrounding double quotes
    // HTTP/1.1 with "expect: 100-continue".
    bool expect_continue = false;

    // The content-length as a number (0 when absent or not a number; saturates when huge).
    std::uint64_t content_length_value() const;
    // Copies the caller into the thread's context, before a front end runs the API.
    void publish_caller() const;
};

// The date line "Date: Tue, 15 Nov 1994 08:12:31 GMT" with its CR LF, for the current time.
std::string date_line();

// The reply "HTTP/1.1 <status>", "Content-Type: text/html", the date line and the empty line.
std::string html_status_reply(std::string_view status);
// The reply to a client that did not send its request head within the time-out.
inline constexpr std::string_view reply_timeout = "HTTP/1.1 408 Request timeout\r\n\r\n";

// The number a content-length value starts with (0 when absent or not a number; saturates when
// huge).
std::uint64_t content_length_number(const std::optional<std::string>& value);
// True when the client waits for "100 continue" before it sends its body: HTTP/1.1 with
// "expect: 100-continue".
bool expects_continue(const headerparser& head);

// Handles one request whose head `head` has arrived on `connection` (complete, or cut short by
// the client): authenticates where the path needs it, and routes to SOAP, Research, the WSDL
// document, REST and the portal. `listen_port` is the port the server listens on (for
// self-URLs).
void handle(http_connection& connection, headerparser head, int listen_port,
            const std::string& listen_address, bool secure, threadcontext& context);

// Authenticates the request against the built-in account (HTTP_USER and HTTP_MD5PASS, read
// afresh from the configuration file) and the users of the login record. Without HTTP_USER the
// caller is an administrator. On failure the body is drained and the 401 reply sent.
bool authenticate(httpstate& state);

// The built-in account as the configuration files (MARLOVEN_CONFIG_FILE and its companions) say
// it at the moment of the call, or nothing when there is no readable file. The files are read
// again only when they or their directory may have changed. Thread-safe.
struct built_in_account_values {
    std::string user;             // HTTP_USER, empty when the key is missing
    std::string password_digest;  // HTTP_MD5PASS, likewise
};
std::optional<built_in_account_values> built_in_account();

// The body-size check: a declared body above `limit` is refused (417 when the client waits for
// 100-continue, otherwise the body is drained and 400 sent); an accepted body gets the 100
// continue reply when the client waits for it.
bool check_body_size(httpstate& state, std::uint64_t limit);

}  // namespace marloven
