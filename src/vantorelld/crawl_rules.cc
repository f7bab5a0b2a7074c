// crawl_rules.cc: URL filters, log-in cookies, the crawl window and the notification URL.
// SPDX-License-Identifier: MIT
#include "vantorelld/crawl_rules.h"

#include <cstdio>
#include <cstdlib>

#include "util/log.h"
#include "util/posix_regex.h"

namespace marloven {

namespace {

std::vector<std::unique_ptr<compiled_regex>> compile_all(const std::vector<std::string>& texts) {
    std::vector<std::unique_ptr<compiled_regex>> out;
    out.reserve(texts.size());
    for (const std::string& t : texts) {
        auto re = std::make_unique<compiled_regex>(t, REG_EXTENDED | REG_ICASE);
        if (re->ok()) {
            out.push_back(std::move(re));
        }
    }
    return out;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a run of decimal digits at `pos`; false when it stands for more than the largest
// formatted length (a field width of a billion would only make the formatting fail).
bool skip_number(std::string_view text, std::size_t& pos) {
    std::size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) {
        ++pos;
    }
    return pos - start <= 4 &&
           (pos == start || std::atoi(std::string(text.substr(start, pos - start)).c_str()) <=
                                static_cast<int>(max_notify_url_length));
}

}  // namespace

url_filter::url_filter(const std::vector<std::string>& include,
                       const std::vector<std::string>& exclude)
    : include_(compile_all(include)), exclude_(compile_all(exclude)) {}

url_filter::~url_filter() = default;

bool url_filter::accepts(const std::string& url) const {
    for (const auto& re : exclude_) {
        if (re->matches(url)) {
            return false;
        }
    }
    for (const auto& re : include_) {
        if (re->matches(url)) {
            return true;
        }
    }
    return false;
}

std::string cookies_from_headers(std::string_view headers) {
    std::string out;
    std::size_t pos = 0;
    while (pos < headers.size()) {
        std::size_t end = headers.find('\n', pos);
        if (end == std::string_view::npos) {
            end = headers.size();
        }
        std::string line(headers.substr(pos, end - pos));
        pos = end + 1;
        std::erase(line, '\r');
        if (line.rfind("Set-Cookie: ", 0) != 0 && line.rfind("set-cookie: ", 0) != 0) {
            continue;
        }
        std::string_view value = std::string_view(line).substr(12);
        value = value.substr(0, value.find(';'));
        if (value.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += "; ";
        }
        out += value;
    }
    return out;
}

std::optional<notify_url> notify_url::parse(std::string_view text, std::string& reason) {
    notify_url n;
    bool have_conversion = false;
    std::string* out = &n.prefix_;
    std::size_t pos = 0;
    while (pos < text.size()) {
        char c = text[pos];
        if (c != '%') {
            *out += c;
            ++pos;
            continue;
        }
        if (pos + 1 < text.size() && text[pos + 1] == '%') {
            *out += '%';
            pos += 2;
            continue;
        }
        std::size_t start = pos++;
        while (pos < text.size() &&
               std::string_view("-+ #0").find(text[pos]) != std::string_view::npos) {
            ++pos;
        }
        bool ok = skip_number(text, pos);
        if (ok && pos < text.size() && text[pos] == '.') {
            ++pos;
            ok = skip_number(text, pos);
        }
        std::size_t conversion_end = pos;
        std::string length;
        for (const char* l : {"hh", "ll", "h", "l", "j", "z", "t"}) {
            if (text.substr(pos).rfind(l, 0) == 0) {
                length = l;
                pos += length.size();
                break;
            }
        }
        if (!ok || pos >= text.size() ||
            std::string_view("diouxX").find(text[pos]) == std::string_view::npos) {
            reason = "only %% and one integer conversion (such as %u) may appear, not '" +
                     std::string(text.substr(start, pos + 1 - start)) + "'";
            return std::nullopt;
        }
        if (have_conversion) {
            reason = "more than one conversion";
            return std::nullopt;
        }
        have_conversion = true;
        n.conversion_ = std::string(text.substr(start, conversion_end - start)) + text[pos];
        n.length_ = length;
        ++pos;
        out = &n.suffix_;
    }
    return n;
}

std::optional<std::string> notify_url::format(std::uint32_t arcid) const {
    std::string number;
    if (!conversion_.empty()) {
        // The conversion is formatted on its own, with the argument converted as the length
        // modifier says and passed at the width the rewritten conversion ("ll") reads.
        const char conv = conversion_.back();
        const bool is_signed = conv == 'd' || conv == 'i';
        std::string rewritten = conversion_.substr(0, conversion_.size() - 1) + "ll" + conv;
        long long value = 0;
        if (length_ == "hh") {
            value = is_signed ? static_cast<signed char>(arcid) : static_cast<unsigned char>(arcid);
        } else if (length_ == "h") {
            value = is_signed ? static_cast<short>(arcid) : static_cast<unsigned short>(arcid);
        } else if (length_.empty()) {
            value = is_signed ? static_cast<long long>(static_cast<int>(arcid))
                              : static_cast<long long>(arcid);
        } else {
            value = static_cast<long long>(arcid);
        }
        char buf[max_notify_url_length + 1];
        int n = std::snprintf(buf, sizeof buf, rewritten.c_str(), value);
        if (n < 0 || static_cast<std::size_t>(n) > max_notify_url_length) {
            return std::nullopt;
        }
        number.assign(buf, static_cast<std::size_t>(n));
    }
    if (prefix_.size() + number.size() + suffix_.size() > max_notify_url_length) {
        return std::nullopt;
    }
    return prefix_ + number + suffix_;
}

}  // namespace marloven
