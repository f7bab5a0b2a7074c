// portal_template.cc: the template language, special files and the result sections.
// SPDX-License-Identifier: MIT
#include "vantorelld/portal_template.h"

#include <algorithm>
#include <cstdio>

#include "util/ascii.h"
#include "util/charsets.h"
#include "util/config_file.h"
#include "util/uri.h"

namespace marloven {

namespace {

constexpr std::string_view open_marker = "{=";
constexpr std::string_view close_marker = "=}";
constexpr std::size_t max_first_line = 255;
constexpr std::size_t max_entry_line = 1023;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view t) {
    return trim_if(t, is_blank);
}

// The entry lines of a special file's rest: comments cut, blanks trimmed, empty lines skipped.
template <typename Visit>
void for_each_entry_line(std::string_view rest, Visit visit) {
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, std::min(end, max_entry_line));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        line = trim(line.substr(0, line.find('#')));
        if (!line.empty()) {
            visit(line);
        }
    }
}

// The text of `text` cut to its first `limit` characters (UTF-8), with "..." when it was longer.
std::string cut_characters(std::string_view text, std::size_t limit) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < limit && pos < text.size(); ++n) {
        decode_utf8(text, pos);
    }
    if (pos >= text.size()) {
        return std::string(text);
    }
    return std::string(text.substr(0, pos)) + "...";
}

// The URL with its escapes decoded, for people to read, when that gives clean UTF-8 text
// without control characters; otherwise the URL as it is.
std::string printable(std::string_view url) {
    std::string decoded = unescape_uri(url);
    for (std::size_t pos = 0; pos < decoded.size();) {
        const std::size_t at = pos;
        const utf8_char c = decode_utf8(decoded, pos);
        const bool stray = static_cast<unsigned char>(decoded[at]) >= 0x80 && pos == at + 1;
        if (!c.valid || stray || c.code_point < 0x20 || c.code_point == 0x7F) {
            return std::string(url);
        }
    }
    return decoded;
}

// The media type of a MIME value, in small letters.
std::string media_type(std::string_view mime) {
    return parse_content_type(mime).media_type;
}

struct mime_extension {
    std::string_view media;
    std::string_view extension;
    std::string_view flag;  // the row flag for "ifdef", or empty
};
constexpr mime_extension mime_extensions[] = {
    {"text/plain", ".txt", ""},         {"text/html", ".html", ""},
    {"text/rtf", ".rtf", "rtf"},        {"application/msword", ".doc", "doc"},
    {"application/pdf", ".pdf", "pdf"},
};

// The file name of a cache link: the last segment of the URL's path without its extension,
// reduced to letters, digits, "-" and "_" (at most 40), "document" when nothing is left; then the
// extension of the document's type.
std::string cache_file_name(const query_hit& hit, std::string_view extension) {
    const uri u = uri::parse(hit.url, "http");
    std::string_view segment = u.path();
    if (const std::size_t slash = segment.rfind('/'); slash != std::string_view::npos) {
        segment.remove_prefix(slash + 1);
    }
    segment = segment.substr(0, segment.rfind('.'));
    std::string name;
    for (char c : segment.substr(0, 40)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        name.push_back(plain ? c : '_');
    }
    if (name.empty()) {
        name = "document";
    }
    return name + std::string(extension);
}

std::string number(long long n) {
    return std::to_string(n);
}

void add_dates(template_variables& vars, std::string_view prefix, std::time_t t, bool rfc822) {
    const std::string p(prefix);
    vars[p + "dmy"] = format_utc("%d/%m/%Y", t);
    vars[p + "mdy"] = format_utc("%m/%d/%Y", t);
    vars[p + "dmy_time"] = format_utc("%d/%m/%Y %T", t);
    vars[p + "mdy_time"] = format_utc("%m/%d/%Y %T", t);
    if (rfc822) {
        vars[p + "rfc822"] = format_utc("%a, %d %b %Y %T GMT", t);
    }
}

// All request parameters but "start", as "name=value" pairs joined with "&" (values
// percent-encoded again), ready to be put into a link.
std::string all_parameters(const query_map& params) {
    std::string out;
    for (const auto& [name, value] : params) {
        if (name == "start") {
            continue;
        }
        if (!out.empty()) {
            out += '&';
        }
        out += name + "=" + percent_encode(value);
    }
    return escape_html(out);
}

void render_navigation(template_page& page, const template_variables& vars,
                       const search_outcome& result) {
    const long long p = portal_page_size;
    const long long s = result.start;
    const long long total = result.total;
    if (s == 0 && total <= p) {
        page.render("result_nonav", vars);
        return;
    }
    template_variables nav = vars;
    const long long current = s / p;
    nav["prev"] = number(std::max(s - p, 0LL));
    nav["next"] = number(s + p);
    nav["currpage"] = number(current + 1);
    nav["maxpages"] = number((total + p - 1) / p);
    nav["start"] = number(s);
    nav["allvars"] = all_parameters(page.params());
    page.render(s == 0 ? "result_nav_noprev" : "result_nav_prev", nav);
    // Pages from `radius` before the current one to 2 * radius - 1 after it; only those that
    // exist are visited, so a huge radius costs nothing.
    const long long radius = std::clamp(page.definition().nav_range, 0LL, 1LL << 30);
    const long long first = std::max(current - radius, 0LL);
    const long long last_page = total > 0 ? (total - 1) / p : -1;
    const long long last = std::min(current + 2 * radius - 1, last_page);
    for (long long i = first; i <= last; ++i) {
        nav["page"] = number(i + 1);
        nav["page_start"] = number(i * p);
        page.render(i == current ? "result_nav_currpage" : "result_nav_otherpage", nav);
    }
    nav.erase("page");
    nav.erase("page_start");
    page.render(s + p >= total ? "result_nav_nonext" : "result_nav_next", nav);
}

}  // namespace

void render_template(std::string_view text, const template_variables& page, const query_map& params,
                     std::string& out) {
    // `skipped` counts the parts open since the first one left out (0: output is on); `open`
    // counts the parts being output, so that a stray "endif" can be told apart.
    int skipped = 0;
    int open = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find(open_marker, pos);
        const std::size_t end = start == std::string_view::npos
                                    ? std::string_view::npos
                                    : text.find(close_marker, start + open_marker.size());
        if (end == std::string_view::npos) {
            if (skipped == 0) {
                out.append(text.substr(pos));
            }
            return;
        }
        if (skipped == 0) {
            out.append(text.substr(pos, start - pos));
        }
        const std::string_view content =
            text.substr(start + open_marker.size(), end - start - open_marker.size());
        pos = end + close_marker.size();
        if (content.starts_with("ifdef ")) {
            if (skipped > 0) {
                ++skipped;
            } else if (page.contains(content.substr(6))) {
                ++open;
            } else {
                skipped = 1;
            }
        } else if (content == "endif") {
            if (skipped > 0) {
                --skipped;
            } else if (open > 0) {
                --open;
            }
        } else if (skipped == 0) {
            if (auto v = page.find(content); v != page.end()) {
                out.append(v->second);
            } else if (auto p = params.find(content); p != params.end()) {
                out.append(escape_html(p->second));
            }
        }
    }
}

special_file parse_special_file(std::string_view text) {
    special_file f;
    const std::size_t end = text.find('\n');
    std::string_view first = text.substr(0, std::min(end, max_first_line));
    while (!first.empty() && (first.back() == '\r' || first.back() == '\n')) {
        first.remove_suffix(1);
    }
    if (end != std::string_view::npos) {
        f.rest = std::string(text.substr(end + 1));
    }
    if (first == "template") {
        f.kind = special_kind::template_page;
    } else if (first == "cache") {
        f.kind = special_kind::cache;
    } else if (first == "language") {
        f.kind = special_kind::language;
    } else if (first.starts_with("redirect ")) {
        f.kind = special_kind::redirect;
        f.redirect_target = std::string(first.substr(9));
    }
    return f;
}

template_definition parse_template_definition(std::string_view rest, std::string_view dir) {
    template_definition def;
    for_each_entry_line(rest, [&](std::string_view line) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        const std::string name(trim(line.substr(0, colon)));
        const std::string_view value = trim(line.substr(colon + 1));
        if (name == "mimetype") {
            // A control character would end the header line it is sent in.
            if (std::none_of(value.begin(), value.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
                def.mimetype = std::string(value);
            }
        } else if (name == "result_nav_range") {
            def.nav_range = leading_integer(value);
        } else {
            def.sections[name] = clean_portal_path(std::string(dir) + "/" + std::string(value));
        }
    });
    return def;
}

std::vector<language_entry> parse_language_file(std::string_view rest) {
    std::vector<language_entry> entries;
    for_each_entry_line(rest, [&](std::string_view line) {
        const std::size_t blank = line.find_first_of(" \t");
        if (blank == std::string_view::npos) {
            return;
        }
        language_entry e{std::string(line.substr(0, blank)),
                         std::string(trim(line.substr(blank + 1)))};
        ascii_lower_in_place(e.tag);
        entries.push_back(std::move(e));
    });
    return entries;
}

std::optional<std::string> choose_language(const std::vector<language_entry>& entries,
                                           const std::optional<std::string>& accepted) {
    if (entries.empty()) {
        return std::nullopt;
    }
    std::vector<language_range> ranges;
    if (accepted) {
        auto parsed = parse_accept_language(*accepted);
        if (!parsed) {
            return std::nullopt;
        }
        ranges = std::move(*parsed);
    }
    auto entry_for = [&](const std::string& tag) -> const language_entry* {
        if (tag == "*") {
            return &entries.front();
        }
        for (const std::string& t : {tag, tag.substr(0, tag.find('-'))}) {
            for (const language_entry& e : entries) {
                if (e.tag == t) {
                    return &e;
                }
            }
        }
        return nullptr;
    };
    const language_entry* best = nullptr;
    double best_weight = 0;
    for (const language_range& r : ranges) {
        const language_entry* e = entry_for(r.tag);
        if (e != nullptr && r.weight > best_weight) {
            best = e;
            best_weight = r.weight;
        }
    }
    return (best != nullptr ? best : &entries.front())->target;
}

std::string clean_portal_path(std::string_view path) {
    std::string collapsed = "/";
    for (char c : path) {
        if (c != '/' || collapsed.back() != '/') {
            collapsed.push_back(c);
        }
    }
    return normalise_path(collapsed);
}

std::string format_utc(const char* format, std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

// ---- template_page --------------------------------------------------------------------------

const std::string* template_page::section(std::string_view name) {
    auto cached = files_.find(name);
    if (cached == files_.end()) {
        std::optional<std::string> text;
        if (auto entry = definition_.sections.find(name); entry != definition_.sections.end()) {
            text = reader_(entry->second);
        }
        cached = files_.emplace(std::string(name), std::move(text)).first;
    }
    return cached->second ? &*cached->second : nullptr;
}

void template_page::render(std::string_view name, const template_variables& page) {
    if (const std::string* text = section(name)) {
        render_template(*text, page, params_, out_);
    }
}

bool template_page::has(std::string_view name) {
    return section(name) != nullptr;
}

bool template_page::inserts(std::string_view name, std::string_view variable) {
    const std::string* text = section(name);
    return text != nullptr && text->find(std::string(open_marker) + std::string(variable) +
                                         std::string(close_marker)) != std::string::npos;
}

// ---- results --------------------------------------------------------------------------------

void add_result_figures(template_variables& vars, const search_outcome& result) {
    if (!result.hits.empty()) {
        vars["from"] = number(static_cast<long long>(result.start) + 1);
        vars["to"] = number(static_cast<long long>(result.start) +
                            static_cast<long long>(result.hits.size()));
    }
    vars["maxresults"] = number(result.total);
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%5.3f", result.seconds);
    vars["time"] = seconds;
    if (result.total == 0) {
        vars["nohits"] = "1";
    } else if (result.hits.empty()) {
        vars["beyond"] = "1";  // "start" lies past the last result
    }
}

template_variables result_row_variables(const query_hit& hit, bool cache_links) {
    template_variables v;
    const std::string readable = printable(hit.url);
    v["url"] = escape_html(hit.url);
    v["real_url"] = v["url"];
    v["printable_url"] = escape_html(readable);
    if (!hit.title.empty()) {
        v["title"] = escape_html(hit.title);
    }
    v["truncated_title"] =
        escape_html(cut_characters(hit.title.empty() ? readable : hit.title, 70));
    v["score"] = number(hit.score);
    add_dates(v, "crawl_date_", hit.time, true);
    add_dates(v, "server_date_", hit.servertime, false);
    std::string ctx;
    for (const std::string& c : hit.contexts) {
        ctx += " " + escape_html(c) + " ...";
    }
    v["ctx"] = ctx;
    const bool web = hit.url.starts_with("http://") || hit.url.starts_with("https://");
    if (web) {
        v["url_or_cached"] = v["url"];
    }
    if (!cache_links) {
        return v;
    }
    const std::string media = media_type(hit.mime);
    std::string_view extension;
    for (const mime_extension& m : mime_extensions) {
        if (m.media == media) {
            extension = m.extension;
            if (!m.flag.empty()) {
                v[std::string(m.flag)] = "1";
            }
        }
    }
    const std::string link = "cache/" + percent_encode(cache_file_name(hit, extension)) +
                             "?doc=" + percent_encode(hit.guid);
    v["cache"] = escape_html(link);
    v["cache_internal"] = escape_html(link + "&html");
    if (!web) {
        v["url_or_cached"] = v["cache"];
    }
    return v;
}

void render_results(template_page& page, const template_variables& vars,
                    const search_outcome& result, bool cache_links) {
    page.render("result_head", vars);
    const bool titled_rows = page.has("result_trow");
    for (const query_hit& hit : result.hits) {
        template_variables row = vars;
        for (auto& [name, value] : result_row_variables(hit, cache_links)) {
            row[name] = std::move(value);
        }
        page.render(titled_rows && !hit.title.empty() ? "result_trow" : "result_row", row);
    }
    page.render("result_foot", vars);
    render_navigation(page, vars, result);
}

}  // namespace marloven
