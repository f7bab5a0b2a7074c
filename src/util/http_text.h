// http_text.h: small text utilities of the HTTP front ends: content-type values, query strings,
// Base64, HTML and XML escaping, and the HTML character entity names.
// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

// A parsed content-type value.
struct content_type {
    std::string media_type;                         // in small letters; empty when unreadable
    std::map<std::string, std::string> parameters;  // names in small letters, values as sent

    // The charset parameter, or "US-ASCII" when there is none.
    std::string charset() const;
};

// Reads "type/subtype; name=value; name=\"quoted value\"". A value that starts with white space
// or ";" gives an empty result. Parameters are separated by ";" and white space; a name is made
// of letters, digits, "_", "-" and "."; a quoted value may escape a character with "\". A
// parameter given twice holds both values run together. The first piece that is not a
// parameter ends the list.
content_type parse_content_type(std::string_view value);

using query_map = std::map<std::string, std::string, std::less<>>;

// Splits a query string at "&". The name before the first "=" is taken as sent; the value after
// it is decoded ("+" is a space, "%XX" a byte, any other "%" stays). A piece without "=" is a
// name with an empty value; empty pieces are skipped; a later piece replaces an earlier one of
// the same name.
query_map parse_query_string(std::string_view qs);
// The same for a C string; a null pointer is a broken invariant and ends the process.
query_map parse_query_string(const char* qs);

// Decodes Base64 (A-Z a-z 0-9 + /). Other bytes are skipped, except "=": every four counted
// characters give three bytes, less one for each "=" among them, and decoding ends after the
// first group with a "=". A last group of fewer than four characters gives nothing.
std::string decode_base64(std::string_view text);
// Encodes with the standard alphabet and "=" padding.
std::string encode_base64(std::string_view bytes);

// For HTML text and attribute values: & < > and the double quote become entities; the
// apostrophe is kept. Escaped text is escaped again ("&lt;" becomes "&amp;lt;").
std::string escape_html(std::string_view text);
// For XML text and attribute values: & < > " and ' become &amp; &lt; &gt; &quot; &apos;.
std::string escape_xml(std::string_view text);
// The same, appended to `out`.
void append_escaped_html(std::string& out, std::string_view text);
void append_escaped_xml(std::string& out, std::string_view text);

// One language of an accept-language value: a tag in small letters ("de-ch", "*") and its
// weight from 0 to 1 (1 when the value gives none).
struct language_range {
    std::string tag;
    double weight = 1;
};
// Reads an accept-language value: language tags (letters, digits, "-", or "*"; each shorter than
// 15 characters) separated by commas, each optionally followed by ";q=" and a weight from 0 to 1;
// blanks around the pieces and empty list elements are allowed. Nothing when the value does
// not follow this form.
std::optional<std::vector<language_range>> parse_accept_language(std::string_view value);

// The HTML 4 entity names of the Latin-1 range ("nbsp" U+00A0 to "yuml" U+00FF) and of quot,
// amp, lt, gt and apos, in both directions. Names are case-sensitive ("Eacute" is not
// "eacute"); a code point without a name gives an empty view.
std::optional<char32_t> entity_code_point(std::string_view name);
std::string_view entity_name(char32_t code_point);

}  // namespace marloven
