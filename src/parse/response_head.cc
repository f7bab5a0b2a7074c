// response_head.cc: the status line, header fields and dates of a raw response head.
// SPDX-License-Identifier: MIT
#include "parse/response_head.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>

#include "util/ascii.h"

namespace marloven {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Reads `digits` decimal digits at `pos`; advances it.
std::optional<int> number(std::string_view s, size_t& pos, size_t digits) {
    if (pos + digits > s.size()) {
        return std::nullopt;
    }
    int v = 0;
    for (size_t i = 0; i < digits; ++i) {
        char c = s[pos + i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + (c - '0');
    }
    pos += digits;
    return v;
}

std::optional<int> month(std::string_view s) {
    static constexpr std::array<std::string_view, 12> names = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (size_t i = 0; i < names.size(); ++i) {
        if (equals_ignoring_case(s, names[i])) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

// Days since 1970-01-01 of a proleptic Gregorian date (no time zone involved).
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    auto yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy =
        (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::optional<std::string> response_head::field(std::string_view name) const {
    for (const auto& [n, v] : fields) {
        if (equals_ignoring_case(n, name)) {
            return v;
        }
    }
    return std::nullopt;
}

std::vector<std::string> response_head::all(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : fields) {
        if (equals_ignoring_case(n, name)) {
            out.push_back(v);
        }
    }
    return out;
}

response_head parse_response_head(std::string_view raw) {
    response_head head;
    bool first = true;
    while (!raw.empty()) {
        size_t end = raw.find('\n');
        std::string_view line = raw.substr(0, end);
        raw.remove_prefix(end == std::string_view::npos ? raw.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            if (first) {
                continue;  // tolerate leading blank lines
            }
            break;
        }
        if (first && line.starts_with("HTTP/")) {
            first = false;
            size_t sp = line.find(' ');
            if (sp != std::string_view::npos) {
                size_t pos = sp + 1;
                if (auto code = number(line, pos, 3)) {
                    head.status = *code;
                }
            }
            continue;
        }
        first = false;
        if ((line.front() == ' ' || line.front() == '\t') && !head.fields.empty()) {
            std::string& value = head.fields.back().second;
            value += ' ';
            value += trim(line);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        std::string_view name = trim(line.substr(0, colon));
        if (name.empty()) {
            continue;
        }
        head.fields.emplace_back(std::string(name), std::string(trim(line.substr(colon + 1))));
    }
    return head;
}

std::optional<std::int64_t> parse_http_date(std::string_view text) {
    text = trim(text);
    // Skip the weekday name and its comma, if any.
    size_t pos = 0;
    while (pos < text.size() && std::isalpha(static_cast<unsigned char>(text[pos])) != 0) {
        ++pos;
    }
    if (pos < text.size() && text[pos] == ',') {
        ++pos;
    }
    while (pos < text.size() && text[pos] == ' ') {
        ++pos;
    }
    int day = 0;
    int mon = 0;
    std::int64_t year = 0;
    auto read_time = [&](int& h, int& m, int& s) {
        auto hh = number(text, pos, 2);
        if (!hh || pos >= text.size() || text[pos++] != ':') {
            return false;
        }
        auto mm = number(text, pos, 2);
        if (!mm || pos >= text.size() || text[pos++] != ':') {
            return false;
        }
        auto ss = number(text, pos, 2);
        if (!ss) {
            return false;
        }
        h = *hh;
        m = *mm;
        s = *ss;
        return true;
    };
    int h = 0;
    int m = 0;
    int s = 0;
    if (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0) {
        // "06 Nov 1994 08:49:37 GMT" or "06-Nov-94 08:49:37 GMT"
        auto d = number(text, pos, 2);
        if (!d || pos >= text.size()) {
            return std::nullopt;
        }
        char sep = text[pos++];
        auto mo = month(text.substr(pos, 3));
        pos += 3;
        if (!mo || pos >= text.size() || text[pos++] != sep) {
            return std::nullopt;
        }
        size_t start = pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0) {
            ++pos;
        }
        size_t len = pos - start;
        if (len != 2 && len != 4) {
            return std::nullopt;
        }
        pos = start;
        year = *number(text, pos, len);
        if (len == 2) {
            year += year < 70 ? 2000 : 1900;
        }
        if (pos >= text.size() || text[pos++] != ' ' || !read_time(h, m, s)) {
            return std::nullopt;
        }
        day = *d;
        mon = *mo;
    } else {
        // asctime: "Nov  6 08:49:37 1994"
        auto mo = month(text.substr(pos, 3));
        pos += 3;
        if (!mo) {
            return std::nullopt;
        }
        while (pos < text.size() && text[pos] == ' ') {
            ++pos;
        }
        size_t start = pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0) {
            ++pos;
        }
        if (pos - start == 0 || pos - start > 2) {
            return std::nullopt;
        }
        size_t dl = pos - start;
        pos = start;
        day = *number(text, pos, dl);
        if (pos >= text.size() || text[pos++] != ' ' || !read_time(h, m, s) || pos >= text.size() ||
            text[pos++] != ' ') {
            return std::nullopt;
        }
        auto y = number(text, pos, 4);
        if (!y) {
            return std::nullopt;
        }
        year = *y;
        mon = *mo;
    }
    if (day < 1 || day > 31 || h > 23 || m > 59 || s > 60) {
        return std::nullopt;
    }
    return days_from_civil(year, mon + 1, day) * 86400 + std::int64_t{h} * 3600 +
           std::int64_t{m} * 60 + s;
}

}  // namespace marloven
