// recrawl.cc: validators, stored links and the completion of UNCHANGED replies.
// SPDX-License-Identifier: MIT
#include "vantorelld/recrawl.h"

#include <charconv>

#include "parse/response_head.h"
#include "vantorelld/crawl_rules.h"

namespace marloven {

namespace {

// First line of the Outlinks value; a different one is a form this build does not read.
constexpr std::string_view outlinks_header = "links 1\n";

}  // namespace

std::optional<stored_copy> load_stored_copy(sqlite3* db, const docstorage& documents,
                                            std::uint32_t arcid, std::string_view url) {
    auto latest = documents.findLatest(db, arcid, url);
    if (!latest || latest->error != static_cast<int>(crawl_error::none)) {
        return std::nullopt;
    }
    stored_copy copy;
    if (documents.get(db, latest->guid, copy.doc) != read_status::found ||
        !documents.getExtra(db, latest->guid, copy.extra)) {
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
    copy.links = std::move(*decoded);
    return copy;
}

stored_validators validators_of(const document_version& doc) {
    stored_validators v;
    response_head head = parse_response_head(doc.headers);
    v.etag = head.field("ETag").value_or("");
    v.last_modified = head.field("Last-Modified").value_or("");
    v.body = checksum_of(doc.content);
    return v;
}

std::string encode_outlinks(const std::vector<outlink>& links) {
    std::string out(outlinks_header);
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

std::optional<std::vector<outlink>> decode_outlinks(std::string_view text) {
    if (!text.starts_with(outlinks_header)) {
        return std::nullopt;
    }
    text.remove_prefix(outlinks_header.size());
    std::vector<outlink> links;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const size_t blank = text.find(' ');
        if (eol == std::string_view::npos || blank == std::string_view::npos || blank > eol ||
            links.size() > max_outlinks_per_page) {
            return std::nullopt;
        }
        outlink l;
        auto [end, ec] = std::from_chars(text.data(), text.data() + blank, l.score);
        if (ec != std::errc() || end != text.data() + blank || blank + 1 == eol) {
            return std::nullopt;
        }
        l.url = text.substr(blank + 1, eol - blank - 1);
        links.push_back(std::move(l));
        text.remove_prefix(eol + 1);
    }
    return links;
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
