// document_parser.h: a fetched (or stored) response turned into an FFF document: the content
// type and charset are worked out from the response head and the bytes, the text converted to
// UTF-8 and parsed, and the checksums and scores computed. No network access.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

struct document_input {
    std::string_view url;
    std::string_view headers;  // the raw response head; may be empty
    std::string_view content;  // the raw body
    std::string_view mime;     // a known MIME type (stored documents), used without a head
    std::string_view marker_begin;
    std::string_view marker_end;
    std::uint32_t depth = 0;  // link distance from the crawl's seeds
};

enum class parse_outcome {
    indexed,     // an FFF document to index
    noindex,     // parsed, but the page asks not to be indexed (robots meta tag or header)
    unparsable,  // a type without a parser (images, archives, ...) or binary content
};

struct document_link {
    std::string url;
    std::uint32_t score = 0;
};

struct parsed_document {
    parse_outcome outcome = parse_outcome::unparsable;
    std::string note;           // why, for unparsable content and lossy conversions; dropped links
    std::string mime;           // lower case, without parameters
    std::string charset;        // the charset the text was read in ("" for unparsable content)
    std::string fff;            // binary form; empty for unparsable content
    std::uint32_t fffcrc = 0;   // CRC-32 of `fff`
    std::uint32_t corecrc = 0;  // CRC-32 of the core text (parse/fff_builder.h)
    std::uint32_t score = 0;
    std::vector<document_link> outlinks;  // links the crawl may follow, with their scores
};

// The document score at `depth`: 1000000 * 2 / (depth + 2), so a seed has 1.0, its links 0.67,
// the next level 0.5 and so on: nearness to the seeds is what a crawl knows of importance.
std::uint32_t document_score(std::uint32_t depth);

// The media type of a Content-Type value, lower case and without parameters.
std::string media_type(std::string_view content_type);

// The checksum of an FFF document in binary form (fffcrc): its CRC-32.
std::uint32_t fff_crc(std::string_view fff);

// Parses one document. Never fails: everything is reported in the result.
parsed_document parse_document(const document_input& input);

}  // namespace marloven
