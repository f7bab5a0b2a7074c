// request_handler.cc: PROCESS (fetch, log-in) and REPROCESS for the worker program.
// SPDX-License-Identifier: MIT
#include "worker-program/request_handler.h"

#include <exception>
#include <set>

#include "parse/document_parser.h"
#include "parse/response_head.h"
#include "records/records.h"
#include "util/log.h"
#include "util/uri.h"
#include "worker-program/document_filters.h"
#include "worker/validators.h"

namespace marloven {

namespace {

std::int32_t to_int32(std::int64_t seconds) {
    return seconds < INT32_MIN || seconds > INT32_MAX ? 0 : static_cast<std::int32_t>(seconds);
}

// The server's date of the document: Last-Modified, else Date, else 0.
std::int32_t server_time(const response_head& head) {
    for (const char* name : {"Last-Modified", "Date"}) {
        if (auto v = head.field(name)) {
            if (auto t = parse_http_date(*v)) {
                return to_int32(*t);
            }
        }
    }
    return 0;
}

std::uint32_t depth_of(std::int32_t credit) {
    return credit >= 1000000 || credit < 0 ? 0 : static_cast<std::uint32_t>(1000000 - credit);
}

// Moves the parse results into a reply's common fields.
void take_parse(parsed_document& doc, crawl_result& result, std::string& fff,
                std::uint32_t& score) {
    result.mime = doc.mime;
    result.charset = doc.charset;
    result.fffcrc = doc.fffcrc;
    result.corecrc = doc.corecrc;
    fff = std::move(doc.fff);
    score = doc.score;
    switch (doc.outcome) {
        case parse_outcome::indexed:
            result.status = crawl_error::none;
            break;
        case parse_outcome::noindex:
            result.status = crawl_error::index;
            result.status_text = "Page asks not to be indexed";
            break;
        case parse_outcome::unparsable:
            result.status = crawl_error::unparsable;
            break;
    }
    if (!doc.note.empty()) {
        result.status_text += (result.status_text.empty() ? "" : "; ") + doc.note;
    }
}

bool is_robots_txt(const process_request& q) {
    if (!q.source_xml.empty()) {
        return false;
    }
    uri u = uri::parse(q.url, "http");
    return u.path() == "/robots.txt";
}

// The cookie name of a Set-Cookie value.
std::string cookie_name(std::string_view set_cookie) {
    std::string_view pair = set_cookie.substr(0, set_cookie.find(';'));
    std::string_view name = pair.substr(0, pair.find('='));
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    return std::string(name);
}

}  // namespace

bool check_http_status(std::string_view url, const response_head& head, crawl_result& result) {
    fetch_response status_only;
    status_only.status = head.status;
    result.status = status_of_fetch(status_only);
    if (result.status == crawl_error::redirect) {
        auto location = head.field("Location");
        std::string target;
        if (location && !location->empty()) {
            uri t = resolve(uri::parse(url, "http"), *location);
            if ((t.scheme() == "http" || t.scheme() == "https") && !t.host().empty() &&
                t.has_valid_host()) {
                target = t.normalise();
            }
        }
        if (target.empty() || target == normalise_url(url)) {
            result.status = crawl_error::badredir;
            result.status_text = location ? "Unusable redirect target '" + *location + "'"
                                          : "Redirect without a target";
        } else {
            result.redirect = target;
            result.status_text = "Redirect " + std::to_string(head.status);
        }
        return false;
    }
    if (result.status != crawl_error::none) {
        result.status_text = "HTTP status " + std::to_string(head.status);
        return false;
    }
    return true;
}

// How a fetch maps onto the crawl error codes:
//   no response: DNS failure, refused or failed connection, time-out, TLS failure, broken
//                connection or a response that is not HTTP         NETWORK
//                not an http(s) URL, or a malformed one            UNKNOWN
//                content encoding that cannot be undone            UNPARSABLE
//   2xx                                                            NONE (the parser decides
//                                                                  further: INDEX, UNPARSABLE)
//   3xx with a Location that resolves to another http(s) URL       REDIRECT
//   3xx without a usable Location, or pointing to itself           BADREDIR
//   304 (UNCHANGED when the request carried validators, see below)  UNKNOWN
//   401, 403, 407                                                  AUTHREQ
//   404, 410                                                       NOTFOUND
//   408 (request time-out)                                         NETWORK
//   429 and 5xx (the server is failing or overloaded)              SERVER
//   any other status                                               UNKNOWN
// The redirect checks need the request URL and are made by fetch_and_parse; this function
// gives REDIRECT for every 3xx but 304.
crawl_error status_of_fetch(const fetch_response& r) {
    switch (r.failure) {
        case transfer_failure::none:
            break;
        case transfer_failure::bad_url:
        case transfer_failure::other:
            return crawl_error::unknown;
        case transfer_failure::decoding:
            return crawl_error::unparsable;
        default:
            return crawl_error::network;
    }
    long s = r.status;
    if (s >= 200 && s < 300) {
        return crawl_error::none;
    }
    if (s == 304) {
        return crawl_error::unknown;
    }
    if (s >= 300 && s < 400) {
        return crawl_error::redirect;
    }
    if (s == 401 || s == 403 || s == 407) {
        return crawl_error::authreq;
    }
    if (s == 404 || s == 410) {
        return crawl_error::notfound;
    }
    if (s == 408) {
        return crawl_error::network;
    }
    if (s == 429 || (s >= 500 && s < 600)) {
        return crawl_error::server;
    }
    return crawl_error::unknown;
}

request_handler::request_handler(fetch_settings settings, document_filters* filters)
    : fetcher_(std::move(settings)), filters_(filters) {}

void request_handler::filter(const filter_settings& settings, std::string_view url,
                             crawl_result& result, std::string& fff, std::uint32_t& score) {
    if (filters_ == nullptr || !document_filters::wanted(settings) ||
        result.status != crawl_error::none || fff.empty()) {
        return;
    }
    filtered_document out =
        filters_->apply(settings, fff, {std::string(url), result.mime, result.charset});
    if (!out.applied) {
        return;
    }
    if (!out.ok) {
        result.status = crawl_error::unparsable;
        result.status_text = out.failure;
        result.fffcrc = 0;
        result.corecrc = 0;
        fff.clear();
        return;
    }
    fff = std::move(out.fff);
    score = out.score;
    result.fffcrc = fff_crc(fff);
    result.corecrc = out.corecrc;
}

process_reply request_handler::process(const process_request& request) {
    try {
        return request.login ? log_in(request) : fetch_and_parse(request);
    } catch (const std::exception& e) {
        // Out of memory on a huge page and the like: the daemon gets an answer all the same.
        process_reply reply;
        reply.result.status = crawl_error::unknown;
        reply.result.status_text = std::string("Worker failure: ") + e.what();
        VANT_LOG(WORKER, error) << "Processing " << request.url << " failed: " << e.what();
        return reply;
    }
}

process_reply request_handler::fetch_and_parse(const process_request& q) {
    process_reply reply;
    crawl_result& result = reply.result;
    SourceConfiguration source;
    if (!q.source_xml.empty() && !from_xml(q.source_xml, source)) {
        VANT_LOG(WORKER, warning) << "Unreadable source description for " << q.url;
        source = {};
    }
    fetch_request fr{q.url, q.cookies, std::nullopt, std::nullopt};
    if (AuthConfiguration auth; source.auth == auth_type::basic && from_xml(q.auth_xml, auth)) {
        fr.basic_auth = std::pair{auth.username, auth.password};
    }
    // A robots.txt or portal fetch carries no validators: those are always fetched and read.
    const stored_validators stored = decode_extra(q.extra);
    const std::vector<std::string> conditions = conditional_headers(stored);
    fetch_response r = fetcher_.fetch(fr, conditions);
    reply.headers = r.headers;
    result.status = status_of_fetch(r);
    // What the daemon has stored is still current: it keeps its copy, so neither the body nor
    // a parse goes back.
    if (r.failure == transfer_failure::none && r.status == 304 && !conditions.empty()) {
        result.status = crawl_error::unchanged;
        result.status_text = not_modified_text;
        return reply;
    }
    reply.content = r.body;
    if (r.failure != transfer_failure::none) {
        result.status_text = r.failure_text;
        return reply;
    }
    response_head head = parse_response_head(r.headers);
    result.datetime = server_time(head);
    result.mime = media_type(head.field("Content-Type").value_or(""));
    if (!check_http_status(q.url, head, result)) {
        return reply;
    }
    if (is_robots_txt(q)) {
        // The daemon reads robots.txt itself from the raw content.
        return reply;
    }
    if (stored.body && checksum_of(r.body) == *stored.body) {
        result.status = crawl_error::unchanged;
        result.status_text = same_body_text;
        reply.content.clear();
        return reply;
    }
    document_input in{q.url,
                      r.headers,
                      r.body,
                      {},
                      q.filters.marker_begin,
                      q.filters.marker_end,
                      depth_of(q.depth_credit)};
    parsed_document doc = parse_document(in);
    take_parse(doc, result, reply.fff, reply.score);
    filter(q.filters, q.url, result, reply.fff, reply.score);
    for (auto& link : doc.outlinks) {
        reply.outlinks.push_back({std::move(link.url), link.score});
    }
    if (r.truncated) {
        result.status_text += std::string(result.status_text.empty() ? "" : "; ") + "Body cut at " +
                              std::to_string(r.body.size()) + " bytes";
    }
    return reply;
}

// The log-in of a cookie-authenticated source: visit the pre-URLs, then send the form with
// the source's parameters. Parameters of type username and password take the credentials of
// the auth record; other parameters their own value, unless the auth record has a parameter of
// the same name; the auth record's further parameters are added. The returned head is that of
// the log-in response, with the Set-Cookie fields of earlier responses added for cookies that
// it does not set itself, so that the daemon sees every cookie of the session once.
process_reply request_handler::log_in(const process_request& q) {
    process_reply reply;
    crawl_result& result = reply.result;
    SourceConfiguration source;
    if (!from_xml(q.source_xml, source) || source.auth != auth_type::cookie) {
        result.status = crawl_error::unknown;
        result.status_text = "No cookie log-in described for this source";
        return reply;
    }
    AuthConfiguration auth;
    if (!from_xml(q.auth_xml, auth)) {
        auth = {};
    }
    http_fetcher::session session(fetcher_.settings());
    std::vector<std::string> earlier_cookies;
    for (const std::string& pre : source.cookie.pre_urls) {
        fetch_response r = session.fetch({pre, q.cookies, std::nullopt, std::nullopt});
        if (r.failure != transfer_failure::none) {
            VANT_LOG(WORKERFETCHERS, warning)
                << "Log-in pre-URL " << pre << " failed: " << r.failure_text;
        }
        for (std::string& c : parse_response_head(r.headers).all("Set-Cookie")) {
            earlier_cookies.push_back(std::move(c));
        }
    }
    std::vector<std::pair<std::string, std::string>> fields;
    std::set<std::string> named;
    for (const cookie_param& p : source.cookie.params) {
        std::string value = p.type == cookie_param_type::username   ? auth.username
                            : p.type == cookie_param_type::password ? auth.password
                                                                    : p.value;
        for (const auto& [name, v] : auth.params) {
            if (name == p.name && p.type == cookie_param_type::other) {
                value = v;
            }
        }
        fields.emplace_back(p.name, value);
        named.insert(p.name);
    }
    for (const auto& [name, value] : auth.params) {
        if (named.insert(name).second) {
            fields.emplace_back(name, value);
        }
    }
    std::string form;
    for (const auto& [name, value] : fields) {
        form += (form.empty() ? "" : "&") + form_encode(name) + "=" + form_encode(value);
    }
    std::string url = q.url.empty() ? source.cookie.url : q.url;
    fetch_request fr{url, q.cookies, std::nullopt, std::nullopt};
    if (source.cookie.action == cookie_action::post) {
        fr.form_body = form;
    } else if (!form.empty()) {
        fr.url += (url.find('?') == std::string::npos ? "?" : "&") + form;
    }
    fetch_response r = session.fetch(fr);
    result.status = status_of_fetch(r);
    // A log-in form commonly answers with a redirect to the protected area: that is success.
    if (result.status == crawl_error::redirect) {
        result.status = crawl_error::none;
    }
    result.status_text = r.failure != transfer_failure::none
                             ? r.failure_text
                             : "Log-in answered " + std::to_string(r.status);
    response_head head = parse_response_head(r.headers);
    result.datetime = server_time(head);
    result.mime = media_type(head.field("Content-Type").value_or(""));
    std::set<std::string> set_now;
    for (const std::string& c : head.all("Set-Cookie")) {
        set_now.insert(cookie_name(c));
    }
    std::string extra;
    for (const std::string& c : earlier_cookies) {
        if (set_now.insert(cookie_name(c)).second) {
            extra += "Set-Cookie: " + c + "\r\n";
        }
    }
    reply.headers = r.headers;
    size_t end = reply.headers.rfind("\r\n\r\n");
    if (end != std::string::npos) {
        reply.headers.insert(end + 2, extra);
    } else {
        reply.headers += extra;
    }
    reply.content = r.body;
    return reply;
}

reprocess_reply request_handler::reprocess(const reprocess_request& q) {
    reprocess_reply reply;
    try {
        response_head head = parse_response_head(q.headers);
        reply.result.datetime = server_time(head);
        reply.result.side_metadata = q.side_metadata;
        // Stored documents without a head (uploads) have nothing to check.
        if (head.status != 0 && !check_http_status(q.url, head, reply.result)) {
            reply.result.mime = q.mime;
            return reply;
        }
        document_input in{q.url,
                          q.headers,
                          q.content,
                          q.mime,
                          q.filters.marker_begin,
                          q.filters.marker_end,
                          depth_of(q.depth_credit)};
        parsed_document doc = parse_document(in);
        take_parse(doc, reply.result, reply.fff, reply.score);
        filter(q.filters, q.url, reply.result, reply.fff, reply.score);
    } catch (const std::exception& e) {
        reply = reprocess_reply{};
        reply.result.status = crawl_error::unknown;
        reply.result.status_text = std::string("Worker failure: ") + e.what();
        VANT_LOG(WORKER, error) << "Reprocessing " << q.url << " failed: " << e.what();
    }
    return reply;
}

}  // namespace marloven
