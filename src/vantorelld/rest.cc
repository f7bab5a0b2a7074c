// rest.cc: REST routes, dispatch, parameters and the XML replies.
// SPDX-License-Identifier: MIT
#include "vantorelld/rest.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <new>

#include "api/operations.h"
#include "db/disk_full.h"
#include "db/sqlite.h"
#include "util/log.h"
#include "vantorelld/metrics.h"
namespace marloven {

namespace {

constexpr std::size_t max_path_length = 8192;
constexpr std::size_t flush_size = 65536;

// ---- parameters ---------------------------------------------------------------------------

// A decimal number that uses up its whole text.
template <typename Number>
bool whole(std::string_view text, Number& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

struct name_value {
    std::string_view name;
    int value;
};

template <std::size_t N>
bool lookup(const name_value (&table)[N], std::string_view name, int& value) {
    for (const auto& e : table) {
        if (e.name == name) {
            value = e.value;
            return true;
        }
    }
    return false;
}

constexpr name_value info_names[] = {
    {"none", 0}, {"noinfo", 0}, {"url", 1}, {"title", 2}, {"context", 3}};
constexpr name_value view_names[] = {{"published", 0}, {"corechanged", 1}};
constexpr name_value sort_names[] = {
    {"standard", 0}, {"relevance", 1}, {"docscore", 2}, {"newer", 3}, {"older", 4}};

// ---- replies ------------------------------------------------------------------------------

void error_reply(rest& out, int code, std::string_view text) {
    out.status(code, text);
    out.end_head();
}

void api_error_reply(rest& out, const api_result& r) {
    error_reply(out, r.http_status, r.message);
}

std::string number(long long n) {
    return std::to_string(n);
}

// ---- handlers -----------------------------------------------------------------------------

struct rest_request {
    httpstate& state;
    rest& out;
    std::vector<route_param> params;
    query_map query;
    std::string body;
    bool has_body = false;
};

void search(rest_request& req) {
    query_request q;
    q.archives = req.params[0].numbers;
    std::string error;
    if (!parse_search_parameters(req.query, q, error)) {
        error_reply(req.out, 400, error);
        return;
    }
    api_session session = req.state.context.session();
    api_result r;
    std::vector<query_hit> hits;
    std::int32_t count = -1;
    // Without a transaction: a search only reads records (each read sees a committed state) and
    // commits its query-log rows by itself, so it never holds the process-wide lock for reading.
    Query(session, r, q, hits, count);
    if (r.failed()) {
        api_error_reply(req.out, r);
        return;
    }
    if (count < 0) {
        error_reply(req.out, 500, "Internal Server Error");
        return;
    }
    rest& out = req.out;
    out.content_type("text/xml");
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<results>\n";
    for (const query_hit& h : hits) {
        xml += "\t<result>\n\t\t<id>" + escape_xml(h.guid) + "</id>\n\t\t<URL>" +
               escape_xml(h.url) + "</URL>\n\t\t<title>" + escape_xml(h.title) +
               "</title>\n\t\t<mimetype>" + escape_xml(h.mime) + "</mimetype>\n\t\t<contextlist>\n";
        for (const std::string& c : h.contexts) {
            xml += "\t\t\t<context>" + escape_xml(c) + "</context>\n";
        }
        xml += "\t\t</contextlist>\n\t\t<archives>\n\t\t\t<archive>" + number(h.arcid) +
               "</archive>\n\t\t</archives>\n\t\t<timestamp>" + number(h.time) +
               "</timestamp>\n\t\t<servertime>" + number(h.servertime) +
               "</servertime>\n\t\t<score>" + number(h.score) + "</score>\n\t</result>\n";
        if (xml.size() >= flush_size) {
            out.print(xml);
            xml.clear();
        }
    }
    xml += "\t<maxresults>" + number(count) + "</maxresults>\n</results>\n";
    out.print(xml);
}

void read_document(rest_request& req) {
    int format = 0;
    std::string media = parse_content_type(req.state.accept).media_type;
    if (media == "application/vnd.marloven-fff") {
        format = static_cast<int>(document_format::PARSED);
    } else if (media == "text/html") {
        format = static_cast<int>(document_format::HTML);
    }
    api_session session = req.state.context.session();
    api_result r;
    std::string url, mime, content;
    {
        api_transaction t(session.db);
        GetDocument(session, r, req.params[1].text, format, url, mime, content);
    }
    if (r.failed()) {
        api_error_reply(req.out, r);
        return;
    }
    if (content.empty()) {
        error_reply(req.out, 404, "No such content");
        return;
    }
    req.out.content_type(mime);
    req.out.header("Content-Length", number(static_cast<long long>(content.size())));
    // Stored pages are other sites' markup and scripts: the browser must neither guess another
    // type nor run them in the daemon's origin.
    req.out.header("X-Content-Type-Options", "nosniff");
    req.out.header("Content-Security-Policy", "sandbox");
    req.out.write(content);
}

void add_document(rest_request& req) {
    if (!req.has_body) {
        error_reply(req.out, 400, "Input document expected");
        return;
    }
    auto url = req.query.find("url");
    if (url == req.query.end()) {
        error_reply(req.out, 400, "Required parameter 'url' not specified");
        return;
    }
    const int arcid = req.params[0].number;
    api_session session = req.state.context.session();
    api_result r;
    std::string guid;
    try {
        // A full disk rolls the upload back (disk_full.h) and is answered like the storage limit.
        disk_full_tolerated tolerate;
        transaction t(session.db);
        AddDocument(session, r, arcid, url->second, req.state.content_type_value, req.body, guid);
        t.commit();
    } catch (const disk_full& e) {
        const api_services& svc = session.svc();
        if (svc.disk_pause != nullptr) {
            svc.disk_pause->note(svc.now());
        }
        VANT_LOG(HTTPSERVER, error) << "Disk full while storing a document for archive " << arcid
                                    << ": " << e.what() << "; nothing was stored";
        set_error(r, api_error::MaxDocuments);
    }
    if (r.failed()) {
        api_error_reply(req.out, r);
        return;
    }
    req.out.content_type("text/xml");
    req.out.print("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<newdocument>\n\t<id archive=\"" +
                  number(arcid) + "\">" + escape_xml(guid) + "</id>\n</newdocument>\n");
}

void platform_status(rest_request& req) {
    api_session session = req.state.context.session();
    api_result r;
    daemon_status status = daemon_status::RUNNING;
    std::vector<std::pair<std::string, std::string>> extended;
    {
        api_transaction t(session.db);
        GetStatus(session, r, status, extended);
    }
    if (r.failed()) {
        api_error_reply(req.out, r);
        return;
    }
    const char* status_text = "Running";
    if (status == daemon_status::CRAWLSTOPPED) {
        status_text = "Crawl stopped";
    } else if (status == daemon_status::LOWDISKSPACE) {
        status_text = "Low disk space";
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusinfo>\n\t<status>";
    xml += status_text;
    xml += "</status>\n";
    if (!extended.empty()) {
        xml += "\t<extendedstatuslist>\n";
        for (const auto& [key, value] : extended) {
            xml += "\t\t<extendedstatus>\n\t\t\t<key>" + escape_xml(key) + "</key>\n\t\t\t<value>" +
                   escape_xml(value) + "</value>\n\t\t</extendedstatus>\n";
        }
        xml += "\t</extendedstatuslist>\n";
    }
    xml += "</statusinfo>\n";
    req.out.content_type("text/xml");
    req.out.print(xml);
}

void metrics(rest_request& req) {
    write_metrics(req.state, req.out);
}

// ---- routes -------------------------------------------------------------------------------

enum method_index { GET = 0, PUT = 1, POST = 2, DELETE = 3 };
using handler = void (*)(rest_request&);

struct route {
    std::string_view pattern;
    handler methods[4];  // GET, PUT, POST, DELETE; empty cells answer 405
};

constexpr route routes[] = {
    {"/index/%/doc", {nullptr, nullptr, add_document, nullptr}},
    {"/index/%/doc/$", {read_document, nullptr, nullptr, nullptr}},
    {"/index/@", {search, nullptr, nullptr, nullptr}},
    {"/platform/status", {platform_status, nullptr, nullptr, nullptr}},
    {"/metrics", {metrics, nullptr, nullptr, nullptr}},
};

int method_of(std::string_view method) {
    static constexpr std::string_view names[] = {"GET", "PUT", "POST", "DELETE"};
    for (int i = 0; i < 4; ++i) {
        if (method == names[i]) {
            return i;
        }
    }
    return -1;
}

bool is_pattern_char(char c) {
    return c == '%' || c == '$' || c == '@';
}

// The numbers of an "@" parameter, or false.
bool number_list(std::string_view text, std::vector<int>& out) {
    out.clear();
    while (true) {
        std::size_t comma = text.find(',');
        int n = 0;
        if (!whole(text.substr(0, comma), n) || n < 1) {
            return false;
        }
        out.push_back(n);
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return true;
}

}  // namespace

// ---- restembed ----------------------------------------------------------------------------

restembed::~restembed() {
    end_head();
    flush();
}

void restembed::put(std::string_view bytes) {
    out_.append(bytes);
    if (out_.size() >= flush_size) {
        flush();
    }
}

void restembed::flush() {
    if (!out_.empty()) {
        connection_.send(out_);
        out_.clear();
    }
}

void restembed::status(int code, std::string_view text) {
    put("HTTP/1.1 " + std::to_string(code) + " ");
    put(text);
    put("\r\n");
    status_sent_ = true;
}

void restembed::content_type(std::string_view type) {
    if (!status_sent_) {
        status(200, "OK");
    }
    put("Content-Type: ");
    put(type);
    put("\r\n");
    put(date_line());
    type_sent_ = true;
}

void restembed::header(std::string_view name, std::string_view value) {
    if (!status_sent_) {
        status(200, "OK");
    }
    put(name);
    put(": ");
    put(value);
    put("\r\n");
}

void restembed::end_head() {
    if (head_ended_) {
        return;
    }
    if (!type_sent_) {
        content_type("text/html");
    }
    put("\r\n");
    head_ended_ = true;
}

void restembed::print(std::string_view text) {
    end_head();
    put(text);
}

void restembed::write(std::string_view bytes) {
    end_head();
    put(bytes);
}

std::size_t restembed::read(char* buffer, std::size_t size) {
    return connection_.read(buffer, size);
}

// ---- matching and parameters --------------------------------------------------------------

bool match_route(std::string_view pattern, std::string_view path,
                 std::vector<route_param>& params) {
    params.clear();
    std::size_t p = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (!is_pattern_char(c)) {
            if (p >= path.size() || path[p] != c) {
                return false;
            }
            ++p;
            continue;
        }
        // The parameter runs to the pattern's next character in the path, or to the end.
        std::size_t end = path.size();
        if (i + 1 < pattern.size()) {
            end = path.find(pattern[i + 1], p);
            if (end == std::string_view::npos) {
                return false;
            }
        }
        std::string_view text = path.substr(p, end - p);
        p = end;
        route_param param;
        if (c == '%') {
            if (!whole(text, param.number) || param.number < 1) {
                return false;
            }
        } else if (c == '@') {
            if (!number_list(text, param.numbers)) {
                return false;
            }
        } else {
            param.text = std::string(text);
        }
        params.push_back(std::move(param));
    }
    return p == path.size();
}

bool parse_search_parameters(const query_map& params, query_request& q, std::string& error) {
    error.clear();
    auto get = [&](std::string_view name) -> const std::string* {
        auto it = params.find(name);
        return it == params.end() ? nullptr : &it->second;
    };
    // A later language wins.
    static constexpr std::pair<std::string_view, query_parser> languages[] = {
        {"q", query_parser::net}, {"rpn", query_parser::rpn}, {"alg", query_parser::alg}};
    for (const auto& [name, parser] : languages) {
        if (const std::string* v = get(name)) {
            q.text = *v;
            q.parser = parser;
        }
    }
    if (const std::string* v = get("mintime"); v && !whole(*v, q.min_time)) {
        error = "'mintime' parameter incorrectly specified";
    }
    if (const std::string* v = get("maxtime"); v && !whole(*v, q.max_time)) {
        error = "'maxtime' parameter incorrectly specified";
    }
    if (const std::string* v = get("minscore"); v && !whole(*v, q.min_score)) {
        error = "'minscore' parameter incorrectly specified";
    }
    // One request returns at most idxstorage::max_hits_per_query results (num=n asks for the
    // n + 1 positions start to start + n) from a first position of at most max_first_hit.
    if (const std::string* v = get("start")) {
        std::int32_t start = 0;
        if (!whole(*v, start) || start < 0 || start > idxstorage::max_first_hit) {
            error = "'start' parameter incorrectly specified";
        } else {
            q.first = start;
            q.last = start + 9;
        }
    }
    if (const std::string* v = get("num")) {
        std::int32_t num = 0;
        if (!whole(*v, num) || num < 0 || num >= idxstorage::max_hits_per_query) {
            error = "'num' parameter incorrectly specified";
        } else {
            q.last = q.first + num;
        }
    }
    int value = 0;
    if (const std::string* v = get("info")) {
        if (lookup(info_names, *v, value)) {
            q.info = static_cast<query_info>(value);
        } else {
            error = "'info' parameter incorrectly specified";
        }
    }
    if (const std::string* v = get("view")) {
        if (lookup(view_names, *v, value)) {
            q.view = value;
        } else {
            error = "'published' parameter incorrectly specified";
        }
    }
    if (const std::string* v = get("sort")) {
        if (lookup(sort_names, *v, value)) {
            q.sort = static_cast<query_sort>(value);
        } else {
            error = "'sort' parameter incorrectly specified";
        }
    }
    for (const auto& [name, v] : params) {
        if (name.empty() || name[0] != 'w') {
            continue;
        }
        slice_weight w;
        if (name.size() < 2 || !whole(std::string_view(name).substr(1), w.slice) ||
            !whole(std::string_view(v), w.weight)) {
            error = "Invalid slice weight";
            continue;
        }
        q.weights.push_back(w);
    }
    return error.empty();
}

// ---- dispatch -----------------------------------------------------------------------------

bool rest_handle(httpstate& st, std::string_view path, std::string_view query, bool has_query) {
    if (path.empty()) {
        path = "/";
    }
    const std::string& method = st.head.method();
    if (method.empty() || path.size() >= max_path_length) {
        restembed out(st.connection);
        error_reply(out, 400, "Missing or bad request method");
        return true;
    }
    const route* matched = nullptr;
    std::vector<route_param> params;
    for (const route& r : routes) {
        if (match_route(r.pattern, path, params)) {
            matched = &r;
            break;
        }
    }
    if (matched == nullptr) {
        return false;
    }
    if (!authenticate(st)) {
        return true;
    }
    st.publish_caller();
    int m = method_of(method);
    if (m < 0) {
        restembed out(st.connection);
        error_reply(out, 405, "Method Not Allowed");
        return true;
    }
    std::string body;
    bool has_body = false;
    const std::uint64_t length = st.content_length_value();
    if (m != GET && length != 0) {
        if (!check_body_size(st, max_body_size)) {
            return true;
        }
        try {
            body.reserve(static_cast<std::size_t>(length) + 1);
        } catch (const std::bad_alloc&) {
            restembed out(st.connection);
            error_reply(out, 500, "Out of memory");
            return true;
        }
        if (st.connection.read_exact(body, static_cast<std::size_t>(length)) != length) {
            restembed out(st.connection);
            error_reply(out, 400, "Document size error");
            return true;
        }
        has_body = true;
    }
    restembed out(st.connection);
    rest_request req{st, out, std::move(params), {}, std::move(body), has_body};
    if (has_query) {
        req.query = parse_query_string(query);
    }
    handler h = matched->methods[m];
    if (h == nullptr) {
        error_reply(out, 405, "Method Not Allowed");
        return true;
    }
    h(req);
    return true;
}

}  // namespace marloven
