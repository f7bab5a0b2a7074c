// headerparser.cc: the scanner of HTTP request and status heads.
// SPDX-License-Identifier: MIT
#include "util/headerparser.h"

#include <algorithm>
#include <climits>

#include "util/ascii.h"

namespace marloven {
namespace {

constexpr auto is_space = is_http_space;

bool is_line_end(char c) {
    return c == '\r' || c == '\n';
}
bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool starts_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char p, char t) { return p == ascii_lower(t); });
}

// A cursor over the head; every read stops at the end of the text.
class scanner {
  public:
    explicit scanner(std::string_view text) : text_(text) {}

    bool at_end() const { return pos_ == text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }
    std::string_view rest() const { return text_.substr(pos_); }
    std::size_t pos() const { return pos_; }
    void seek(std::size_t pos) { pos_ = pos; }
    void skip(std::size_t n) { pos_ += n; }

    // Consumes the longest run of bytes for which `pred` holds and returns it.
    template <class Pred>
    std::string_view run(Pred pred) {
        const std::size_t start = pos_;
        while (!at_end() && pred(text_[pos_])) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    // One or more line ends, or the end of the text.
    bool line_end() { return !run(is_line_end).empty() || at_end(); }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

constexpr std::string_view methods[] = {"get", "head", "post", "put", "delete"};

// The method word at the scanner followed by white space, or empty.
std::string_view method_at(const scanner& s) {
    for (std::string_view m : methods) {
        if (starts_ignoring_case(s.rest(), m) && s.rest().size() > m.size() &&
            is_space(s.rest()[m.size()])) {
            return m;
        }
    }
    return {};
}

bool is_version_char(char c) {
    return !is_space(c) && !is_line_end(c);
}

}  // namespace

bool ignore_case_less::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(ascii_lower(x)) <
               static_cast<unsigned char>(ascii_lower(y));
    });
}

void headerparser::parse(std::string_view head) {
    *this = headerparser();
    head_.assign(head);
    scanner s(head.substr(0, std::min(head.size(), head.find('\0'))));
    std::string* last_header = nullptr;
    while (!s.at_end()) {
        const std::size_t line_start = s.pos();
        if (const std::string_view method = method_at(s); !method.empty()) {
            // Request line: method, white space, target, white space, "HTTP/" version.
            s.skip(method.size());
            s.run(is_space);
            const std::string_view target = s.run([](char c) { return !is_space(c); });
            const bool spaced = !s.run(is_space).empty();
            if (target.empty() || !spaced || !starts_ignoring_case(s.rest(), "http/")) {
                s.seek(line_start);
                break;
            }
            s.skip(5);
            const std::string_view version = s.run(is_version_char);
            s.run(is_space);
            if (version.empty() || !s.line_end()) {
                s.seek(line_start);
                break;
            }
            method_.assign(method);
            std::transform(method_.begin(), method_.end(), method_.begin(),
                           [](char c) { return static_cast<char>(c - 32); });
            target_.assign(target);
            version_.assign(version);
            status_ = -1;
            ok_ = true;
        } else if (starts_ignoring_case(s.rest(), "http/")) {
            // Status line: "HTTP/" version, white space, code, reason.
            s.skip(5);
            const std::string_view version = s.run(is_version_char);
            const bool spaced = !s.run(is_space).empty();
            const std::string_view code = s.run([](char c) { return c >= '0' && c <= '9'; });
            if (version.empty() || !spaced || code.empty()) {
                break;
            }
            s.run([](char c) { return !is_line_end(c); });
            s.line_end();
            long long value = 0;
            for (char c : code) {
                value = std::min<long long>(value * 10 + (c - '0'), INT_MAX);
            }
            method_.clear();
            version_.assign(version);
            status_ = static_cast<int>(value);
            ok_ = true;
        } else if (is_space(s.peek())) {
            // Continuation of the header before; without one the line is dropped.
            s.run(is_space);
            const std::string_view more = s.run([](char c) { return !is_line_end(c); });
            s.line_end();
            if (last_header != nullptr) {
                last_header->append(" ").append(more);
            }
        } else {
            const std::string_view name = s.run(is_name_char);
            if (name.empty() || s.peek() != ':') {
                break;
            }
            s.skip(1);
            s.run(is_space);
            const std::string_view value = s.run([](char c) { return !is_line_end(c); });
            s.line_end();
            auto it = headers_.find(name);
            if (it == headers_.end()) {
                std::string key(name);
                ascii_lower_in_place(key);
                it = headers_.emplace(std::move(key), std::string()).first;
            }
            last_header = &it->second.append(value);
        }
    }
}

std::optional<std::string> headerparser::header_lower(std::string_view name) const {
    const auto it = headers_.find(name);
    if (it == headers_.end()) {
        return std::nullopt;
    }
    std::string value = it->second;
    ascii_lower_in_place(value);
    return value;
}

std::optional<std::string_view> headerparser::header_verbatim(std::string_view name) const {
    const auto it = headers_.find(name);
    if (it == headers_.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace marloven
