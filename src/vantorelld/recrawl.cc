// recrawl.cc: validators, stored links and the completion of UNCHANGED replies.
// SPDX-License-Identifier: MIT
#include "vantorelld/recrawl.h"

#include <charconv>

#include "parse/response_head.h"
#include "vantorelld/crawl_rules.h"

namespace marloven {

namespace {

// First line of the Outlinks value; a different one is a form this build does not read. The
// second form has the body's checksum on its second line.
constexpr std::string_view outlinks_header = "links 1\n";
constexpr std::string_view outlinks_header_2 = "links 2\n";
constexpr std::string_view body_prefix = "body ";

template <typename T>
bool read_number(std::string_view text, T& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "<length> <crc>", as the second line of the second form holds it.
std::optional<body_checksum> read_body_checksum(std::string_view line) {
    const size_t blank = line.find(' ');
    body_checksum body;
    if (blank == std::string_view::npos || !read_number(line.substr(0, blank), body.length) ||
        !read_number(line.substr(blank + 1), body.crc)) {
        return std::nullopt;
    }
    return body;
}

}  // namespace

std::optional<stored_copy> load_stored_copy(sqlite3* db, const docstorage& documents,
                                            std::uint32_t arcid, std::string_view url, bool whole) {
    auto latest = documents.findLatest(db, arcid, url);
    if (!latest || latest->error != static_cast<int>(crawl_error::none)) {
        return std::nullopt;
    }
    stored_copy copy;
    if (!documents.getExtra(db, latest->guid, copy.extra)) {
        return std::nullopt;
    }
    auto links = copy.extra.find(std::string(outlinks_key));
    if (links == copy.extra.end()) {
        return std::nullopt;  // stored without its links (uploaded, or kept without extras)
    }
    auto decoded = decode_outlinks(links->second);
    if (!decoded) {
        return std::nullopt;
    }
    copy.whole = whole || !decoded->body;
    const read_status read = copy.whole ? documents.get(db, latest->guid, copy.doc)
                                        : documents.getHead(db, latest->guid, copy.doc);
    if (read != read_status::found) {
        return std::nullopt;
    }
    copy.links = std::move(decoded->links);
    copy.body = decoded->body ? *decoded->body : checksum_of(copy.doc.content);
    return copy;
}

stored_validators validators_of(const stored_copy& copy) {
    stored_validators v;
    response_head head = parse_response_head(copy.doc.headers);
    v.etag = head.field("ETag").value_or("");
    v.last_modified = head.field("Last-Modified").value_or("");
    v.body = copy.body;
    return v;
}

std::string encode_outlinks(const std::vector<outlink>& links, const body_checksum& body) {
    std::string out(outlinks_header_2);
    out += body_prefix;
    out += std::to_string(body.length);
    out += ' ';
    out += std::to_string(body.crc);
    out += '\n';
    for (const outlink& l : links) {
        // Queued links are normalised (no blanks or line breaks); anything else is not kept.
        if (l.url.empty() || l.url.find_first_of(" \r\n") != std::string::npos) {
            continue;
        }
        out += std::to_string(l.score);
        out += ' ';
        out += l.url;
        out += '\n';
    }
    return out;
}

std::optional<stored_links> decode_outlinks(std::string_view text) {
    stored_links stored;
    if (text.starts_with(outlinks_header_2)) {
        text.remove_prefix(outlinks_header_2.size());
        const size_t eol = text.find('\n');
        if (eol == std::string_view::npos || !text.starts_with(body_prefix)) {
            return std::nullopt;
        }
        stored.body = read_body_checksum(text.substr(body_prefix.size(), eol - body_prefix.size()));
        if (!stored.body) {
            return std::nullopt;
        }
        text.remove_prefix(eol + 1);
    } else if (text.starts_with(outlinks_header)) {
        text.remove_prefix(outlinks_header.size());
    } else {
        return std::nullopt;
    }
    std::vector<outlink>& links = stored.links;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const size_t blank = text.find(' ');
        if (eol == std::string_view::npos || blank == std::string_view::npos || blank > eol ||
            links.size() > max_outlinks_per_page) {
            return std::nullopt;
        }
        outlink l;
        if (!read_number(text.substr(0, blank), l.score) || blank + 1 == eol) {
            return std::nullopt;
        }
        l.url = text.substr(blank + 1, eol - blank - 1);
        links.push_back(std::move(l));
        text.remove_prefix(eol + 1);
    }
    return stored;
}

void complete_from_stored(stored_copy copy, process_reply& reply) {
    crawl_result& r = reply.result;
    document_version& doc = copy.doc;
    r.status = crawl_error::none;
    r.mime = std::move(doc.mime);
    r.charset = std::move(doc.charset);
    r.datetime = static_cast<std::int32_t>(doc.servertime);
    r.redirect.clear();
    auto side = copy.extra.find("SideMeta");
    r.side_metadata = side != copy.extra.end() ? side->second : std::string();
    r.fffcrc = doc.fffcrc;
    r.corecrc = doc.corecrc;
    reply.fff = std::move(doc.fff);
    reply.score = doc.score;
    reply.headers = std::move(doc.headers);
    reply.content = std::move(doc.content);
    reply.outlinks = std::move(copy.links);
}

}  // namespace marloven
