// document_parser.cc: content type, charset, parser choice, checksums and scores.
// SPDX-License-Identifier: MIT
#include "parse/document_parser.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

#include "parse/charset.h"
#include "parse/page_parser.h"
#include "parse/response_head.h"
#include "util/ascii.h"
#include "util/http_text.h"
#include "util/log.h"
#include "worker/FFF/FFF-serialize.h"

namespace marloven {

namespace {

enum class content_kind { html, text, binary };

std::string lower(std::string_view s) {
    std::string out(s);
    ascii_lower_in_place(out);
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())) != 0) {
        s.remove_suffix(1);
    }
    return s;
}

// The charset parameter of a Content-Type value, in small letters, or "".
std::string charset_param(const content_type& type) {
    auto it = type.parameters.find("charset");
    return it == type.parameters.end() ? std::string() : lower(it->second);
}

bool has_nul(std::string_view bytes) {
    return bytes.substr(0, 1024).find('\0') != std::string_view::npos;
}

// Guesses the kind of content that came without a usable type.
content_kind sniff(std::string_view bytes) {
    std::string start = lower(trim(bytes.substr(0, 1024)));
    if (start.starts_with("\xef\xbb\xbf")) {
        start.erase(0, 3);
    }
    if (start.starts_with("<!doctype html") || start.starts_with("<html") ||
        start.find("<head") != std::string::npos || start.find("<body") != std::string::npos) {
        return content_kind::html;
    }
    if (bom_charset(bytes) || !has_nul(bytes)) {
        return content_kind::text;
    }
    return content_kind::binary;
}

content_kind kind_of(std::string_view type, std::string_view bytes) {
    if (type == "text/html" || type == "application/xhtml+xml") {
        return content_kind::html;
    }
    // Style sheets, scripts and data formats are text, but not documents for people.
    if (type == "text/css" || type == "text/javascript" || type == "text/ecmascript" ||
        type == "text/xml") {
        return content_kind::binary;
    }
    if (type.starts_with("text/")) {
        return content_kind::text;
    }
    if (type.empty() || type == "application/octet-stream" || type == "unknown/unknown") {
        // A server that does not know the type; look at the bytes.
        return sniff(bytes);
    }
    return content_kind::binary;
}

}  // namespace

std::uint32_t fff_crc(std::string_view fff) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(fff.data()), static_cast<uInt>(fff.size())));
}

std::uint32_t document_score(std::uint32_t depth) {
    return static_cast<std::uint32_t>(2000000ull / (static_cast<std::uint64_t>(depth) + 2));
}

std::string media_type(std::string_view value) {
    return parse_content_type(trim(value)).media_type;
}

parsed_document parse_document(const document_input& in) {
    parsed_document out;
    out.score = document_score(in.depth);
    response_head head = parse_response_head(in.headers);
    content_type declared =
        parse_content_type(trim(head.field("Content-Type").value_or(std::string(in.mime))));
    std::string type = declared.media_type;
    content_kind kind = kind_of(type, in.content);
    bool is_html = kind == content_kind::html;
    // Declared text that holds NUL bytes is binary, unless it is UTF-16.
    if (kind != content_kind::binary && has_nul(in.content) && !bom_charset(in.content) &&
        !charset_param(declared).starts_with("utf-16")) {
        kind = content_kind::binary;
    }
    if (type.empty()) {
        type = is_html                      ? "text/html"
               : kind == content_kind::text ? "text/plain"
                                            : "application/octet-stream";
    }
    out.mime = type;
    if (kind == content_kind::binary) {
        out.note = "No parser for " + type;
        return out;
    }
    out.charset = choose_charset(in.content, charset_param(declared), is_html);
    utf8_text text = to_utf8(in.content, out.charset);
    if (text.lossy) {
        out.note = "Invalid " + out.charset + " bytes replaced";
    }
    page_settings settings{in.url, in.marker_begin, in.marker_end, out.score};
    parsed_page page = is_html ? parse_html(text.text, settings) : parse_text(text.text, settings);

    // An X-Robots-Tag header says the same as a robots meta tag.
    for (const std::string& tag : head.all("X-Robots-Tag")) {
        std::string v = lower(tag);
        bool none = v.find("none") != std::string::npos;
        page.noindex = page.noindex || none || v.find("noindex") != std::string::npos;
        page.nofollow = page.nofollow || none || v.find("nofollow") != std::string::npos;
    }
    out.outcome = page.noindex ? parse_outcome::noindex : parse_outcome::indexed;
    out.fff = FFF::ToBinary(*page.doc);
    out.fffcrc = fff_crc(out.fff);
    out.corecrc = page.core_crc;
    if (!page.nofollow) {
        const auto& links = page.doc->links();
        for (size_t id = 0; id < links.size(); ++id) {
            if (id < page.follow.size() && page.follow[id]) {
                out.outlinks.push_back({links[id].url, links[id].score});
            }
        }
    }
    if (page.refused_links > 0) {
        // One line per document, however many links a hostile page holds.
        const std::string dropped =
            std::to_string(page.refused_links) + " links with a malformed host dropped";
        VANT_LOG(WORKERPARSERS, warning) << dropped << " from " << in.url;
        out.note += (out.note.empty() ? "" : "; ") + dropped;
    }
    VANT_LOG(WORKERPARSERS, debug)
        << "Parsed " << in.url << " as " << type << " in " << out.charset << ": " << page.tokens
        << " tokens, " << page.doc->links().size() << " links";
    return out;
}

}  // namespace marloven
