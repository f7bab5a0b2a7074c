// http_text.cc: content-type values, query strings, Base64, escaping and entity names.
// SPDX-License-Identifier: MIT
#include "util/http_text.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "util/ascii.h"
#include "util/log.h"

namespace marloven {
namespace {

bool is_parameter_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}
bool is_parameter_separator(char c) {
    return c == ';' || is_http_space(c);
}

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr unsigned char not_base64 = 0xFF;
constexpr std::array<unsigned char, 256> base64_values = [] {
    std::array<unsigned char, 256> t{};
    t.fill(not_base64);
    for (int i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<unsigned char>(i);
    }
    return t;
}();

// Appends `text` with each character that has an entry in `names` replaced by "&name;".
template <std::size_t N>
void append_escaped(std::string& out, std::string_view text,
                    const std::array<std::pair<char, std::string_view>, N>& names) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto it = std::find_if(names.begin(), names.end(),
                                     [c](const auto& entry) { return entry.first == c; });
        if (it != names.end()) {
            out.append(text, from, i - from).append("&").append(it->second).append(";");
            from = i + 1;
        }
    }
    out.append(text, from);
}

constexpr std::array<std::pair<char, std::string_view>, 4> html_entities = {
    {{'&', "amp"}, {'<', "lt"}, {'>', "gt"}, {'"', "quot"}}};
constexpr std::array<std::pair<char, std::string_view>, 5> xml_entities = {
    {{'&', "amp"}, {'<', "lt"}, {'>', "gt"}, {'"', "quot"}, {'\'', "apos"}}};

// The names of U+00A0 to U+00FF, in code point order.
constexpr std::string_view latin1_entity_names[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};

constexpr std::array<std::pair<char32_t, std::string_view>, 5> markup_entity_names = {
    {{U'"', "quot"}, {U'&', "amp"}, {U'<', "lt"}, {U'>', "gt"}, {U'\'', "apos"}}};

std::string decode_query_value(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && is_hex_digit(text[i + 1]) &&
                   is_hex_digit(text[i + 2])) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string content_type::charset() const {
    const auto it = parameters.find("charset");
    return it == parameters.end() ? std::string("US-ASCII") : it->second;
}

content_type parse_content_type(std::string_view value) {
    content_type result;
    std::size_t pos = 0;
    while (pos < value.size() && !is_parameter_separator(value[pos])) {
        ++pos;
    }
    if (pos == 0) {
        return result;
    }
    result.media_type.assign(value.substr(0, pos));
    ascii_lower_in_place(result.media_type);
    for (;;) {
        while (pos < value.size() && is_parameter_separator(value[pos])) {
            ++pos;
        }
        const std::size_t name_start = pos;
        while (pos < value.size() && is_parameter_name_char(value[pos])) {
            ++pos;
        }
        if (pos == name_start || pos == value.size() || value[pos] != '=') {
            return result;
        }
        std::string name(value.substr(name_start, pos - name_start));
        ascii_lower_in_place(name);
        std::string& target = result.parameters[name];
        ++pos;
        if (pos < value.size() && value[pos] == '"') {
            for (++pos; pos < value.size() && value[pos] != '"'; ++pos) {
                if (value[pos] == '\\' && pos + 1 < value.size()) {
                    ++pos;
                }
                target.push_back(value[pos]);
            }
            ++pos;  // the closing quote, when there is one
        } else {
            const std::size_t start = pos;
            while (pos < value.size() && !is_parameter_separator(value[pos])) {
                ++pos;
            }
            target.append(value.substr(start, pos - start));
        }
    }
}

query_map parse_query_string(std::string_view qs) {
    query_map result;
    while (!qs.empty()) {
        const std::size_t amp = qs.find('&');
        const std::string_view piece = qs.substr(0, amp);
        qs.remove_prefix(amp == std::string_view::npos ? qs.size() : amp + 1);
        if (piece.empty()) {
            continue;
        }
        const std::size_t eq = piece.find('=');
        std::string value =
            eq == std::string_view::npos ? std::string() : decode_query_value(piece.substr(eq + 1));
        const std::string_view name = piece.substr(0, eq);
        const auto it = result.find(name);
        if (it == result.end()) {
            result.emplace(std::string(name), std::move(value));
        } else {
            it->second = std::move(value);
        }
    }
    return result;
}

query_map parse_query_string(const char* qs) {
    VANT_CHECK(qs != nullptr, "qs != 0");
    return parse_query_string(std::string_view(qs));
}

std::string decode_base64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t bits = 0;
    int count = 0;
    int padding = 0;
    for (char c : text) {
        unsigned char v = base64_values[static_cast<unsigned char>(c)];
        if (c == '=') {
            v = 0;
            ++padding;
        } else if (v == not_base64) {
            continue;
        }
        bits = bits << 6 | v;
        if (++count < 4) {
            continue;
        }
        const char group[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8),
                               static_cast<char>(bits)};
        out.append(group, static_cast<std::size_t>(std::max(0, 3 - padding)));
        if (padding > 0) {
            break;
        }
        bits = 0;
        count = 0;
    }
    return out;
}

std::string encode_base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto byte = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]));
    };
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        const char quad[4] = {base64_alphabet[v >> 18], base64_alphabet[(v >> 12) & 63],
                              base64_alphabet[(v >> 6) & 63], base64_alphabet[v & 63]};
        out.append(quad, 4);
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const std::uint32_t v = byte(i) << 16 | (two ? byte(i + 1) << 8 : 0);
        const char quad[4] = {base64_alphabet[v >> 18], base64_alphabet[(v >> 12) & 63],
                              two ? base64_alphabet[(v >> 6) & 63] : '=', '='};
        out.append(quad, 4);
    }
    return out;
}

void append_escaped_html(std::string& out, std::string_view text) {
    append_escaped(out, text, html_entities);
}

void append_escaped_xml(std::string& out, std::string_view text) {
    append_escaped(out, text, xml_entities);
}

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    append_escaped_html(out, text);
    return out;
}

std::string escape_xml(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    append_escaped_xml(out, text);
    return out;
}

std::optional<std::vector<language_range>> parse_accept_language(std::string_view value) {
    auto trim = [](std::string_view t) { return trim_if(t, is_http_space); };
    std::vector<language_range> ranges;
    while (true) {
        const std::size_t comma = value.find(',');
        std::string_view element = trim(value.substr(0, comma));
        if (!element.empty()) {
            const std::size_t semicolon = element.find(';');
            language_range range;
            range.tag = std::string(trim(element.substr(0, semicolon)));
            ascii_lower_in_place(range.tag);
            const bool tag_ok =
                !range.tag.empty() && range.tag.size() < 15 &&
                (range.tag == "*" || std::all_of(range.tag.begin(), range.tag.end(), [](char c) {
                     return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
                 }));
            if (!tag_ok) {
                return std::nullopt;
            }
            if (semicolon != std::string_view::npos) {
                std::string_view q = trim(element.substr(semicolon + 1));
                if (q.size() < 3 || ascii_lower(q[0]) != 'q' || q[1] != '=') {
                    return std::nullopt;
                }
                q.remove_prefix(2);
                // "0", "1", or either followed by "." and up to three digits.
                const bool form =
                    (q[0] == '0' || q[0] == '1') &&
                    (q.size() == 1 || (q[1] == '.' && q.size() <= 5 &&
                                       std::all_of(q.begin() + 2, q.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; })));
                if (!form) {
                    return std::nullopt;
                }
                double weight = q[0] - '0';
                double unit = 0.1;
                for (std::size_t i = 2; i < q.size(); ++i, unit /= 10) {
                    weight += (q[i] - '0') * unit;
                }
                if (weight > 1) {
                    return std::nullopt;
                }
                range.weight = weight;
            }
            ranges.push_back(std::move(range));
        }
        if (comma == std::string_view::npos) {
            return ranges;
        }
        value.remove_prefix(comma + 1);
    }
}

std::optional<char32_t> entity_code_point(std::string_view name) {
    for (std::size_t i = 0; i < std::size(latin1_entity_names); ++i) {
        if (latin1_entity_names[i] == name) {
            return static_cast<char32_t>(0xA0 + i);
        }
    }
    for (const auto& [cp, entity] : markup_entity_names) {
        if (entity == name) {
            return cp;
        }
    }
    return std::nullopt;
}

std::string_view entity_name(char32_t code_point) {
    if (code_point >= 0xA0 && code_point <= 0xFF) {
        return latin1_entity_names[code_point - 0xA0];
    }
    for (const auto& [cp, entity] : markup_entity_names) {
        if (cp == code_point) {
            return entity;
        }
    }
    return {};
}

}  // namespace marloven
