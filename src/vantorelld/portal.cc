// portal.cc: portal request handling: classification against the document root, plain files,
// redirects, the language chooser, template pages with their search, and cached documents.
// SPDX-License-Identifier: MIT
#include "vantorelld/portal.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "api/crawl.h"
#include "api/operations.h"
#include "util/ascii.h"
#include "util/install_paths.h"
#include "util/uri.h"
#include "vantorelld/rest.h"
#include "vantorelld/vantorelld.h"

namespace marloven {

namespace {

// Special files and section files are small; a larger one is taken as broken.
constexpr std::size_t max_portal_text = 1u << 20;
// Deeper paths are not looked up (each level below a cached-document view costs lookups).
constexpr int max_depth = 64;
constexpr std::string_view special_suffix = ".special";

constexpr std::string_view page_not_found = "<html><body>Error 404 - File not found.</body></html>";
constexpr std::string_view page_invalid_template =
    "<html><body>Error 500 - Internal server error, invalid template.</body></html>";
constexpr std::string_view page_invalid_redirect =
    "<html><body>Error 500 - Internal server error, invalid redirect.</body></html>";
constexpr std::string_view html_type = "text/html; charset=UTF-8";

// ---- replies --------------------------------------------------------------------------------

// The lines that keep browsers and proxies from storing a page.
std::string no_cache_block() {
    return format_utc("Last-Modified: %a, %d %b %Y %T GMT\r\n", std::time(nullptr)) +
           "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
           "Expires: Mon, 26 Jul 1997 05:00:00 GMT\r\n"
           "Pragma: no-cache\r\n";
}

// "HTTP/1.1 <status>", the content type, the date line and the no-cache block; the caller adds
// further lines and the empty line.
std::string page_head(std::string_view status, std::string_view type) {
    std::string head = "HTTP/1.1 ";
    head += status;
    head += "\r\nContent-Type: ";
    head += type;
    head += "\r\n";
    head += date_line();
    head += no_cache_block();
    return head;
}

void send_fixed_page(http_connection& c, std::string_view status, std::string_view body) {
    std::string reply = page_head(status, html_type);
    reply += "\r\n";
    reply += body;
    c.send(reply);
}

void send_not_found(http_connection& c) {
    send_fixed_page(c, "404 Not found", page_not_found);
}

void send_invalid_template(http_connection& c) {
    send_fixed_page(c, "500 Internal server error", page_invalid_template);
}

std::string server_url(const std::pair<std::string, int>& self, bool secure) {
    return std::string("http") + (secure ? "s" : "") + "://" + self.first + ":" +
           std::to_string(self.second);
}

// The redirect to `location`, a path already escaped for a URL.
void send_redirect(http_connection& c, const std::pair<std::string, int>& self, bool secure,
                   std::string_view location) {
    const std::string url = server_url(self, secure) + std::string(location);
    std::string reply = page_head("302 Found", html_type);
    reply += "Location: " + url + "\r\n\r\n";
    reply += "<html><body>Moved <a href=\"" + escape_html(url) + "\">here</a></body></html>\r\n";
    c.send(reply);
}

// The content type of a plain file, by its extension.
std::string_view plain_file_type(std::string_view path) {
    static constexpr std::pair<std::string_view, std::string_view> types[] = {
        {".html", "text/html; charset=UTF-8"}, {".gif", "image/gif"}, {".jpg", "image/jpeg"},
        {".pdf", "application/pdf"},           {".css", "text/css"},
    };
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
        for (const auto& [extension, type] : types) {
            if (equals_ignoring_case(path.substr(dot), extension)) {
                return type;
            }
        }
    }
    return html_type;
}

void serve_plain_file(http_connection& c, const directory_beneath& root, const std::string& path) {
    std::uint64_t size = 0;
    const int fd = root.open_file(path, size);
    if (fd < 0) {
        send_not_found(c);
        return;
    }
    std::string reply = page_head("200 OK", plain_file_type(path));
    reply += "Content-Length: " + std::to_string(size) + "\r\n\r\n";
    c.send(reply);
    // The declared length is sent in full: a file cut short meanwhile ends the connection early,
    // which the client sees as an incomplete reply.
    std::string buffer(std::min<std::uint64_t>(size, 1u << 16), '\0');
    for (std::uint64_t left = size; left > 0 && !c.send_failed();) {
        const ssize_t n = ::read(fd, buffer.data(), std::min<std::uint64_t>(left, buffer.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        c.send(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        left -= static_cast<std::uint64_t>(n);
    }
    ::close(fd);
}

// A path of a special file as a URL path: absolute ones as they are, others relative to the
// special file's directory; bytes that may not stand in a URL escaped.
std::string special_location(std::string_view target, std::string_view dir) {
    std::string path(target);
    if (!target.starts_with("/")) {
        path = clean_portal_path(std::string(dir) + "/" + path);
    }
    return escape_uri(path);
}

std::string parent_of(std::string_view path) {
    return std::string(path.substr(0, path.rfind('/')));
}

portal_target classify(const directory_beneath& root, std::string_view requested, int depth) {
    portal_target t;
    t.path = requested.starts_with("/") ? std::string(requested) : "/" + std::string(requested);
    if (t.path.ends_with("/")) {
        t.path += "index.html";
    }
    if (t.path.ends_with(special_suffix) || depth > max_depth) {
        return t;
    }
    const std::string special_path = t.path + std::string(special_suffix);
    if (root.kind_of(special_path) != directory_beneath::kind::missing) {
        t.special_dir = parent_of(t.path);
        auto text = root.read(special_path, max_portal_text);
        if (!text) {
            t.kind = portal_kind::broken_special;
            return t;
        }
        t.special = parse_special_file(*text);
        switch (t.special.kind) {
            case special_kind::template_page:
                t.kind = portal_kind::template_page;
                break;
            case special_kind::cache:
                t.kind = portal_kind::cache;
                break;
            case special_kind::language:
                t.kind = portal_kind::language;
                break;
            case special_kind::redirect:
                t.kind = portal_kind::redirect;
                break;
            case special_kind::unknown:
                break;
        }
        return t;
    }
    switch (root.kind_of(t.path)) {
        case directory_beneath::kind::directory:
            t.kind = portal_kind::directory;
            return t;
        case directory_beneath::kind::missing:
            break;
        default:
            t.kind = portal_kind::plain_file;
            return t;
    }
    const std::string parent = parent_of(t.path);
    if (!parent.empty()) {
        portal_target p = classify(root, parent, depth + 1);
        if (p.kind == portal_kind::cache) {
            p.path = t.path;
            return p;
        }
    }
    return t;
}

// ---- template pages -------------------------------------------------------------------------

// Everything one portal request works with.
struct portal_request {
    httpstate& state;
    const self_address_function& self;
    bool secure;
    const directory_beneath& root;
    const query_map& params;
    std::string_view raw_path;  // as sent
    std::string_view query;     // as sent
};

template_page make_page(const portal_request& req, const template_definition& def) {
    const directory_beneath& root = req.root;
    return template_page(
        def, [&root](const std::string& path) { return root.read(path, max_portal_text); },
        req.params);
}

// A request parameter's leading number, 0 when it is missing.
int number_parameter(const query_map& params, std::string_view name) {
    auto p = params.find(name);
    return p == params.end() ? 0 : static_cast<int>(leading_integer(p->second));
}

// The option list of `items`: an empty option of value 0, the `extra` lines, then one option per
// item, `chosen` marked " selected"; the chosen item's name goes to `current`.
template <typename Record>
std::string option_list(const std::vector<config_info<Record>>& items, int chosen,
                        std::string_view extra, std::optional<std::string>& current) {
    std::string out = "<option value=\"0\"></option>\n";
    out += extra;
    for (const config_info<Record>& item : items) {
        const std::string name = escape_html(item.configuration.name);
        out += "<option value=\"" + std::to_string(item.id) + "\"";
        if (item.id == chosen) {
            out += " selected";
            current = name;
        }
        out += ">" + name + "</option>\n";
    }
    return out;
}

// The scope choices ("a" or "i", "c", "t") as option lists, and the chosen scope's name.
void add_scope_variables(const api_session& session, const query_map& params,
                         template_variables& vars) {
    const int archive =
        params.contains("a") ? number_parameter(params, "a") : number_parameter(params, "i");
    const int collection = number_parameter(params, "c");
    const int watch = number_parameter(params, "t");
    std::vector<config_info<ArchiveConfiguration>> archives;
    std::vector<config_info<CollectionConfiguration>> collections;
    std::vector<config_info<WatchConfiguration>> watches;
    {
        api_transaction t(session.db);
        api_result r;
        EnumArchiveConfigurations(session, r, archives);
        EnumCollectionConfigurations(session, r, collections);
        EnumWatchConfigurations(session, r, watches);
    }
    std::optional<std::string> current;
    vars["archiveselect"] = option_list(archives, archive, "", current);
    std::string all = "<option value=\"-1\"";
    if (collection == -1) {
        all += " selected";
        current = "*";
    }
    all += ">*</option>\n";
    vars["collectionselect"] = option_list(collections, collection, all, current);
    vars["watchselect"] = option_list(watches, watch, "", current);
    if (current) {
        vars["currname"] = *current;
    }
}

enum class search_state { none, failed, done };

// Runs the search the parameters ask for as the caller: the text of "q", "rpn" or "alg" (a
// watch brings its own query, so with "t" the text may be empty), with the other search
// parameters of REST ("sort", "mintime", ...). No query: none. A bad parameter or a failed
// query: failed, with the reason in `error`.
search_state run_search(const api_session& session, const query_map& params, bool contexts,
                        search_outcome& result, std::string& error) {
    query_request q;
    const bool parameters_ok = parse_search_parameters(params, q, error);
    q.watch = number_parameter(params, "t");
    if (q.text.find_first_not_of(" \t\r\n") == std::string::npos) {
        if (q.watch <= 0) {
            return search_state::none;
        }
        q.parser = query_parser::none;  // the watch's query alone
    }
    if (!parameters_ok) {
        return search_state::failed;
    }
    result.start = q.first;
    q.last = q.first + portal_page_size - 1;
    q.info = contexts ? query_info::INFO_CONTEXT : query_info::INFO_TITLE;
    const int archive =
        params.contains("a") ? number_parameter(params, "a") : number_parameter(params, "i");
    if (archive > 0) {
        q.archives.push_back(archive);
    }
    q.collection = number_parameter(params, "c");
    if (q.archives.empty() && q.collection == 0 && q.watch <= 0) {
        q.collection = -1;  // no scope chosen: every archive the caller may read
    }
    api_result r;
    std::int32_t count = -1;
    const auto began = std::chrono::steady_clock::now();
    {
        api_transaction t(session.db);
        Query(session, r, q, result.hits, count);
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (r.failed() || count < 0) {
        error = r.failed() ? r.message : "The index could not be searched";
        return search_state::failed;
    }
    result.total = count;
    return search_state::done;
}

void serve_template(const portal_request& req, const portal_target& t) {
    const template_definition def = parse_template_definition(t.special.rest, t.special_dir);
    const api_session session = req.state.context.session();
    const std::pair<std::string, int> self = req.self();
    const std::time_t now = std::time(nullptr);

    template_variables vars;
    vars["user"] = escape_html(session.user);
    add_scope_variables(session, req.params, vars);
    vars["self_url"] = escape_html(server_url(self, req.secure) + std::string(req.raw_path) + "?" +
                                   std::string(req.query));
    vars["server_url"] = escape_html(server_url(self, req.secure));
    vars["now_dmy"] = format_utc("%d/%m/%Y", now);
    vars["now_mdy"] = format_utc("%m/%d/%Y", now);
    vars["now_dmy_time"] = format_utc("%d/%m/%Y %T", now);
    vars["now_mdy_time"] = format_utc("%m/%d/%Y %T", now);
    vars["now_rfc822"] = format_utc("%a, %d %b %Y %T GMT", now);

    // Contexts are read from the stored documents of the hits, which costs far more than the
    // search itself: only rows that show them ask for them.
    template_page page = make_page(req, def);
    const bool contexts = page.inserts("result_row", "ctx") || page.inserts("result_trow", "ctx");
    search_outcome result;
    std::string error;
    const search_state state = run_search(session, req.params, contexts, result, error);
    if (state == search_state::done) {
        add_result_figures(vars, result);
    } else if (state == search_state::failed) {
        vars["error"] = escape_html(error);
    }
    std::string cache_setting;
    const bool cache_links =
        !(req.state.context.config.get(keys::DOCUMENT_CACHE.name, cache_setting) &&
          cache_setting == "NO");

    page.render("head", vars);
    if (state == search_state::none) {
        page.render("no_result", vars);
    } else if (state == search_state::failed) {
        page.render("internalerror", vars);
    } else {
        render_results(page, vars, result, cache_links);
    }
    page.render("foot", vars);

    std::string reply = page_head("200 OK", def.mimetype);
    reply += "\r\n";
    reply += page.text();
    req.state.connection.send(reply);
}

// ---- cached documents -----------------------------------------------------------------------

bool is_mail(std::string_view mime) {
    std::string lower(mime);
    ascii_lower_in_place(lower);
    return lower.starts_with("message/rfc822") || lower.starts_with("text/x-mail");
}

void serve_cache(const portal_request& req, const portal_target& t) {
    const template_definition def = parse_template_definition(t.special.rest, t.special_dir);
    auto doc = req.params.find("doc");
    if (doc == req.params.end()) {
        send_invalid_template(req.state.connection);
        return;
    }
    const api_session session = req.state.context.session();
    int format = req.params.contains("html") ? static_cast<int>(document_format::HTML)
                                             : static_cast<int>(document_format::ORIGINAL);
    api_result r;
    std::string url, mime, content;
    {
        api_transaction tx(session.db);
        GetDocument(session, r, doc->second, format, url, mime, content);
        if (!r.failed() && format != static_cast<int>(document_format::HTML) && is_mail(mime)) {
            format = static_cast<int>(document_format::HTML);
            GetDocument(session, r, doc->second, format, url, mime, content);
        }
    }
    if (r.failed() || content.empty()) {
        template_variables vars;
        vars["user"] = escape_html(session.user);
        vars["error"] = escape_html(r.failed() ? r.message : "No such document");
        template_page page = make_page(req, def);
        page.render("head", vars);
        page.render("internalerror", vars);
        page.render("foot", vars);
        std::string reply = page_head("200 OK", html_type);
        reply += "\r\n";
        reply += page.text();
        req.state.connection.send(reply);
        return;
    }
    // Links of the page resolve against its own site. The document is another site's markup and
    // scripts: the browser runs it in a sandbox (no script, a unique origin) and must not guess
    // another type than the one declared.
    std::string base;
    if (parse_content_type(mime).media_type == "text/html") {
        base = "<base href=\"" + escape_html(url) + "\">\n";
    }
    std::string reply = page_head("200 OK", mime.empty() ? "application/octet-stream" : mime);
    reply += "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: sandbox\r\n";
    reply += "Content-Length: " + std::to_string(base.size() + content.size()) + "\r\n\r\n";
    reply += base;
    req.state.connection.send(reply);
    req.state.connection.send(content);
}

// ---- language and redirects -----------------------------------------------------------------

void serve_language(const portal_request& req, const portal_target& t) {
    const auto target = choose_language(parse_language_file(t.special.rest),
                                        req.state.head.header_lower("accept-language"));
    if (!target) {
        send_fixed_page(req.state.connection, "500 Internal server error", page_invalid_redirect);
        return;
    }
    send_redirect(req.state.connection, req.self(), req.secure,
                  special_location(*target, t.special_dir));
}

}  // namespace

portal_target classify_portal_path(const directory_beneath& root, std::string_view path) {
    return classify(root, path, 0);
}

std::optional<std::string> portal_path(std::string_view target) {
    const std::string decoded = unescape_uri(target.substr(0, target.find('?')));
    if (decoded.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return clean_portal_path(decoded);
}

void portal_handle(httpstate& st, const self_address_function& self, bool secure) {
    const std::string& target = st.head.target();
    const std::size_t question = target.find('?');
    const std::optional<std::string> path = portal_path(target);
    if (path && path->starts_with("/private/") && !authenticate(st)) {
        return;
    }
    // Pages outside "/private/" run as the anonymous caller the state starts with.
    st.publish_caller();
    if (!check_body_size(st, max_body_size)) {
        return;
    }
    query_map params;
    if (question != std::string::npos) {
        params = parse_query_string(std::string_view(target).substr(question + 1));
    }
    const directory_beneath root(install_paths::from(st.context.config).portal);
    if (!path || !root.is_open()) {
        send_not_found(st.connection);
        return;
    }
    const std::string_view raw = target;
    const portal_request req{
        st,
        self,
        secure,
        root,
        params,
        raw.substr(0, question),
        question == std::string::npos ? std::string_view() : raw.substr(question + 1)};
    const portal_target t = classify_portal_path(root, *path);
    switch (t.kind) {
        case portal_kind::not_found:
            send_not_found(st.connection);
            return;
        case portal_kind::plain_file:
            serve_plain_file(st.connection, root, t.path);
            return;
        case portal_kind::directory:
            send_redirect(st.connection, self(), secure,
                          percent_encode(t.path, "/!$&'()*+,;=:@") + "/");
            return;
        case portal_kind::redirect:
            send_redirect(st.connection, self(), secure,
                          special_location(t.special.redirect_target, t.special_dir));
            return;
        case portal_kind::language:
            serve_language(req, t);
            return;
        case portal_kind::template_page:
            serve_template(req, t);
            return;
        case portal_kind::cache:
            serve_cache(req, t);
            return;
        case portal_kind::broken_special:
            send_invalid_template(st.connection);
            return;
    }
}

}  // namespace marloven
