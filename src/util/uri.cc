// uri.cc: the scheme table, URL parsing, composition, normalisation, resolution and escaping.
// SPDX-License-Identifier: MIT
#include "util/uri.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "util/ascii.h"

namespace marloven {
namespace {

constexpr std::uint16_t operator|(scheme_flag a, scheme_flag b) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(a) |
                                      static_cast<std::uint16_t>(b));
}
constexpr std::uint16_t operator|(std::uint16_t a, scheme_flag b) {
    return static_cast<std::uint16_t>(a | static_cast<std::uint16_t>(b));
}

using enum scheme_flag;

// Sorted by name for the binary search in find_scheme().
constexpr scheme_entry schemes[] = {
    {"file", 0, relative | netloc | fragment | canonical},
    {"ftp", 21, relative | netloc | params | fragment | canonical | fetchable},
    {"gopher", 70, relative | netloc | non_hierarchical | query | fragment | canonical},
    {"guid", 0, static_cast<std::uint16_t>(non_hierarchical)},
    {"htl", 0, non_hierarchical | params | fragment | canonical},
    {"http", 80, relative | netloc | params | query | fragment | canonical | web | fetchable},
    {"https", 443, relative | netloc | params | query | fragment | canonical | web | fetchable},
    {"javascript", 0, static_cast<std::uint16_t>(non_hierarchical)},
    {"mailto", 0, non_hierarchical | canonical},
    {"news", 119, non_hierarchical | fragment | canonical},
    {"nntp", 119, relative | netloc | fragment | canonical | fetchable},
    {"prospero", 191, relative | netloc | params | fragment | canonical},
    {"rtsp", 554, relative | netloc | non_hierarchical | params | query | canonical},
    {"rtspu", 554, relative | netloc | non_hierarchical | params | query | canonical},
    {"shttp", 443, relative | netloc | params | query | fragment | canonical | web | fetchable},
    {"sip", 5060, non_hierarchical | params | query | canonical},
    {"snews", 563, netloc | non_hierarchical | fragment | canonical},
    {"telnet", 23, netloc | non_hierarchical | canonical},
    {"wais", 210, relative | netloc | non_hierarchical | query | fragment | canonical},
};
static_assert(std::is_sorted(std::begin(schemes), std::end(schemes),
                             [](const scheme_entry& a, const scheme_entry& b) {
                                 return a.name < b.name;
                             }));

// Byte classes of the escaping rules and the host grammar.
enum : unsigned char {
    escaped = 1,
    delimiter = 2,
    hex_digit = 4,
    scheme_char = 8,
    forbidden = 16,  // never part of a URI: controls, space, " < > \ ^ ` { | }, DEL, non-ASCII
    host_char = 32,  // a reg-name's own characters: unreserved and sub-delims
};

constexpr std::array<unsigned char, 256> byte_classes = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
        if (c <= 0x20 || c >= 0x7F) {
            t[c] |= escaped | forbidden;
        }
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            t[c] |= hex_digit;
        }
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            c == '+' || c == '-' || c == '.') {
            t[c] |= scheme_char;
        }
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            t[c] |= host_char;
        }
    }
    for (unsigned char c : std::string_view("-._~!$&'()*+,;=")) {
        t[c] |= host_char;
    }
    for (unsigned char c : std::string_view("\"<>\\^`{|}")) {
        t[c] |= forbidden;
    }
    for (unsigned char c : std::string_view("<>\"#{}|\\^~[]`@")) {
        t[c] |= escaped;
    }
    // Escapes of these stay escaped on normalisation: decoding them would change what the URL
    // says to the server ("a%26b" is one value, "a&b" two).
    for (unsigned char c : std::string_view("%/?;:=&+$,")) {
        t[c] |= delimiter;
    }
    return t;
}();

bool is(unsigned char c, unsigned char cls) {
    return (byte_classes[c] & cls) != 0;
}

constexpr char hex_upper[] = "0123456789ABCDEF";

void append_escaped(unsigned char c, std::string& out) {
    const char esc[3] = {'%', hex_upper[c >> 4], hex_upper[c & 15]};
    out.append(esc, 3);
}

// True when text[i] starts "%XX".
bool escape_at(std::string_view text, std::size_t i) {
    return i + 2 < text.size() && text[i] == '%' &&
           is(static_cast<unsigned char>(text[i + 1]), hex_digit) &&
           is(static_cast<unsigned char>(text[i + 2]), hex_digit);
}

// Appends `text` with the escape set escaped and every "%" not starting "%XX" written "%25".
// Existing escapes get upper-case digits; with `decode_needless` (the canonical form of
// normalise()) those of characters outside the escape set and the delimiters are decoded.
void append_escaped_text(std::string_view text, bool decode_needless, std::string& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (escape_at(text, i)) {
                const auto v = static_cast<unsigned char>(hex_value(text[i + 1]) * 16 +
                                                          hex_value(text[i + 2]));
                if (!decode_needless || is(v, escaped | delimiter)) {
                    append_escaped(v, out);
                } else {
                    out.push_back(static_cast<char>(v));
                }
                i += 2;
            } else {
                out.append("%25");
            }
        } else if (is(c, escaped)) {
            append_escaped(c, out);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
}

// Appends `text` with the bytes that no URI may hold written "%XX", and every "%" that does not
// start "%XX" written "%25"; all else is kept. With `upper_escapes`, existing escapes get
// upper-case digits (the net location, which parsing lower-cases).
void append_forbidden_escaped(std::string_view text, bool upper_escapes, std::string& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (!escape_at(text, i)) {
                out.append("%25");
            } else if (upper_escapes) {
                append_escaped(static_cast<unsigned char>(hex_value(text[i + 1]) * 16 +
                                                          hex_value(text[i + 2])),
                               out);
                i += 2;
            } else {
                out.append(text.substr(i, 3));
                i += 2;
            }
        } else if (is(c, forbidden)) {
            append_escaped(c, out);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
}

// IPvFuture inside brackets: "v", hex digits, ".", then unreserved, sub-delims and ":".
bool is_ipv_future(std::string_view s) {
    if (s.size() < 4 || s[0] != 'v') {
        return false;
    }
    std::size_t i = 1;
    while (i < s.size() && is(static_cast<unsigned char>(s[i]), hex_digit)) {
        ++i;
    }
    if (i == 1 || i + 1 >= s.size() || s[i] != '.') {
        return false;
    }
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i) + 1, s.end(), [](char c) {
        return c == ':' || is(static_cast<unsigned char>(c), host_char);
    });
}

// Dot-segment removal on s[0, n), in place; returns the new length. The write position never
// passes the read position, so segments move only towards the front.
std::size_t remove_dot_segments(char* s, std::size_t n) {
    const std::size_t root = n > 0 && s[0] == '/' ? 1 : 0;  // the output never shrinks below it
    std::size_t w = root;
    std::size_t r = root;
    for (;;) {
        const char* slash = static_cast<const char*>(std::memchr(s + r, '/', n - r));
        const std::size_t e = slash != nullptr ? static_cast<std::size_t>(slash - s) : n;
        const std::size_t len = e - r;
        // Between segments the output is the root or ends with "/".
        if (len == 1 && s[r] == '.') {
        } else if (len == 2 && s[r] == '.' && s[r + 1] == '.') {
            if (w > root) {
                --w;
                while (w > root && s[w - 1] != '/') {
                    --w;
                }
            }
        } else {
            std::memmove(s + w, s + r, len);
            w += len;
            if (e < n) {
                s[w++] = '/';
            }
        }
        if (e == n) {
            return w;
        }
        r = e + 1;
    }
}

// The net location split into user information (with its "@"), host and port.
struct netloc_parts {
    std::string_view userinfo;
    std::string_view host;
    bool has_port = false;   // a valid port was given (possibly empty)
    std::uint32_t port = 0;  // its value; meaningless when empty
    bool empty_port = true;
};

netloc_parts split_netloc(std::string_view netloc) {
    netloc_parts parts;
    const std::size_t at = netloc.rfind('@');
    if (at != std::string_view::npos) {
        parts.userinfo = netloc.substr(0, at + 1);
        netloc.remove_prefix(at + 1);
    }
    parts.host = netloc;
    const std::size_t colon = netloc.rfind(':');
    if (colon == std::string_view::npos) {
        return parts;
    }
    // An IPv6 literal holds colons of its own; otherwise only one colon may separate a port.
    if (!netloc.empty() && netloc[0] == '[') {
        if (colon == 0 || netloc[colon - 1] != ']') {
            return parts;
        }
    } else if (netloc.find(':') != colon) {
        return parts;
    }
    const std::string_view port = netloc.substr(colon + 1);
    std::uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return parts;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return parts;
        }
    }
    parts.host = netloc.substr(0, colon);
    parts.has_port = true;
    parts.empty_port = port.empty();
    parts.port = value;
    return parts;
}

// Cuts `rest` before position `at` (npos: nowhere) and returns what followed the separator there.
std::string_view cut_at(std::string_view& rest, std::size_t at) {
    if (at == std::string_view::npos) {
        return {};
    }
    const std::string_view tail = rest.substr(at + 1);
    rest = rest.substr(0, at);
    return tail;
}

void append_number(std::uint32_t value, std::string& out) {
    char digits[10];
    char* p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(p, digits + sizeof digits);
}

}  // namespace

const scheme_entry& find_scheme(std::string_view scheme) {
    const auto* end = std::end(schemes);
    const auto* it = std::lower_bound(
        std::begin(schemes), end, scheme,
        [](const scheme_entry& e, std::string_view name) { return e.name < name; });
    return it != end && it->name == scheme ? *it : empty_scheme_entry;
}

uri uri::parse(std::string_view text, std::string_view default_scheme, bool allow_fragments) {
    if (text.empty()) {
        return uri();
    }
    std::string_view scheme = default_scheme;
    std::string_view rest = text;
    bool netloc_allowed = true;
    char lowered[16];  // a scheme is looked up in small letters; longer ones are never in the table
    const std::size_t colon = text.find(':');
    if (colon == 0) {
        netloc_allowed = false;
    } else if (colon != std::string_view::npos &&
               std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                           [](char c) { return is(static_cast<unsigned char>(c), scheme_char); })) {
        const std::string_view candidate = text.substr(0, colon);
        bool known = false;
        if (candidate.size() < sizeof lowered) {
            std::copy(candidate.begin(), candidate.end(), lowered);
            ascii_lower_in_place(lowered, lowered + candidate.size());
            known = &find_scheme({lowered, candidate.size()}) != &empty_scheme_entry;
        }
        if (known || candidate.size() < 5) {
            scheme = candidate;
            rest = text.substr(colon + 1);
        }
    }
    std::string scheme_lower(scheme);
    ascii_lower_in_place(scheme_lower);
    const scheme_entry& entry = find_scheme(scheme_lower);

    std::string_view netloc;
    if (netloc_allowed && entry.has(scheme_flag::netloc) && rest.substr(0, 2) == "//") {
        std::string_view ends = "/";
        if (entry.has(scheme_flag::query)) {
            ends = allow_fragments && entry.has(scheme_flag::fragment) ? "/?#" : "/?";
        } else if (allow_fragments && entry.has(scheme_flag::fragment)) {
            ends = "/#";
        }
        const std::size_t end = std::min(rest.find_first_of(ends, 2), rest.size());
        netloc = rest.substr(2, end - 2);
        rest.remove_prefix(end);
    }
    const std::string_view fragment = allow_fragments && entry.has(scheme_flag::fragment)
                                          ? cut_at(rest, rest.rfind('#'))
                                          : std::string_view();
    const std::string_view query =
        entry.has(scheme_flag::query) ? cut_at(rest, rest.find('?')) : std::string_view();
    const std::string_view params =
        entry.has(scheme_flag::params) ? cut_at(rest, rest.find(';')) : std::string_view();
    return from_parts(scheme_lower, netloc, rest, params, query, fragment);
}

uri uri::from_parts(std::string_view scheme, std::string_view netloc, std::string_view path,
                    std::string_view params, std::string_view query, std::string_view fragment) {
    uri u;
    const std::string_view parts[] = {scheme, netloc, path, params, query, fragment};
    std::size_t size = 0;
    for (std::string_view p : parts) {
        size += p.size();
    }
    u.text_.reserve(size);
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        u.bounds_[i] = u.text_.size();
        u.text_.append(parts[i]);
    }
    u.bounds_[std::size(parts)] = u.text_.size();
    ascii_lower_in_place(u.text_.data(), u.text_.data() + u.bounds_[path_part]);
    u.entry_ = &find_scheme(u.scheme());
    return u;
}

std::string_view uri::host() const {
    return split_netloc(netloc()).host;
}

bool uri::has_valid_host() const {
    const std::string_view h = host();
    if (!h.empty() && h.front() == '[') {
        if (h.size() < 2 || h.back() != ']') {
            return false;
        }
        const std::string literal(h.substr(1, h.size() - 2));
        in6_addr address{};
        return is_ipv_future(literal) || ::inet_pton(AF_INET6, literal.c_str(), &address) == 1;
    }
    // A dotted IPv4 address is made of reg-name characters, so one loop serves both.
    for (std::size_t i = 0; i < h.size(); ++i) {
        const auto c = static_cast<unsigned char>(h[i]);
        if (c == '%') {
            if (!escape_at(h, i)) {
                return false;
            }
            i += 2;
        } else if (!is(c, host_char) && c < 0x80) {
            return false;
        }
    }
    return true;
}

std::uint16_t uri::port() const {
    const netloc_parts parts = split_netloc(netloc());
    if (!parts.has_port || parts.empty_port) {
        return entry_->default_port;
    }
    return static_cast<std::uint16_t>(parts.port);
}

std::string uri::compose() const {
    std::string out;
    out.reserve(text_.size() + 8);
    if (!scheme().empty()) {
        out.append(scheme()).push_back(':');
    }
    const bool netloc_flag = entry_->has(scheme_flag::netloc);
    if (!netloc().empty() || netloc_flag) {
        out.append("//").append(netloc());
        if (path().empty() ? netloc_flag : path()[0] != '/') {
            out.push_back('/');
        }
    }
    out.append(path());
    if (!params().empty()) {
        out.append(";").append(params());
    }
    if (!query().empty()) {
        out.append("?").append(query());
    }
    if (!fragment().empty()) {
        out.append("#").append(fragment());
    }
    return out;
}

std::string uri::normalise() const {
    const bool canonical = entry_->has(scheme_flag::canonical);
    std::string out;
    // Escaping grows a part at most threefold; most URLs need no escaping at all.
    out.reserve(text_.size() + (canonical ? text_.size() / 4 : 0) + 16);
    if (!scheme().empty()) {
        out.append(scheme()).push_back(':');
    }
    const bool netloc_mode = !netloc().empty() || entry_->has(scheme_flag::netloc);
    if (netloc_mode) {
        const netloc_parts parts = split_netloc(netloc());
        out.append("//");
        append_forbidden_escaped(parts.userinfo, true, out);
        append_forbidden_escaped(parts.host, true, out);
        if (parts.has_port && !parts.empty_port && parts.port != entry_->default_port) {
            out.push_back(':');
            append_number(parts.port, out);
        }
    }
    const std::size_t path_start = out.size();
    if (netloc_mode && (path().empty() || path()[0] != '/')) {
        out.push_back('/');
    }
    if (canonical) {
        append_escaped_text(path(), true, out);
    } else {
        append_forbidden_escaped(path(), false, out);
    }
    if (!entry_->has(scheme_flag::non_hierarchical)) {
        out.resize(path_start +
                   remove_dot_segments(out.data() + path_start, out.size() - path_start));
        // Without a scheme, a first segment with a colon would read as one next time.
        if (scheme().empty() && !netloc_mode) {
            const std::string_view p = std::string_view(out).substr(path_start);
            const std::size_t colon = p.find(':');
            if (colon != std::string_view::npos &&
                p.substr(0, colon).find('/') == std::string_view::npos) {
                out.insert(path_start, "./");
            }
        }
    }
    auto append_part = [&](char mark, std::string_view text) {
        if (text.empty()) {
            return;
        }
        out.push_back(mark);
        if (canonical) {
            append_escaped_text(text, true, out);
        } else {
            append_forbidden_escaped(text, false, out);
        }
    };
    append_part(';', params());
    append_part('?', query());
    return out;
}

uri resolve(const uri& base, const uri& reference) {
    if (reference.scheme().empty() && !base.scheme().empty() && !reference.empty()) {
        // Read the reference again as the base's scheme reads it ("//g" has a net location);
        // a text that is not empty always gets a scheme that way.
        return resolve(base, uri::parse(reference.compose(), base.scheme()));
    }
    const scheme_entry& entry = reference.empty() ? base.entry() : reference.entry();
    if ((!reference.empty() && reference.scheme() != base.scheme()) ||
        !entry.has(scheme_flag::relative)) {
        return reference;
    }
    if (!reference.netloc().empty()) {
        return uri::from_parts(base.scheme(), reference.netloc(), normalise_path(reference.path()),
                               reference.params(), reference.query(), reference.fragment());
    }
    if (reference.path().empty() && reference.params().empty()) {
        return uri::from_parts(base.scheme(), base.netloc(), base.path(), base.params(),
                               reference.query().empty() ? base.query() : reference.query(),
                               reference.fragment());
    }
    // Parameters take part in the merge: in "g;x=1/../y" the ".." removes "g;x=1".
    std::string merged;
    const std::string_view ref_path = reference.path();
    if (ref_path.empty() || ref_path[0] != '/') {
        const std::string_view base_path = base.path();
        if (!base.netloc().empty() && base_path.empty()) {
            merged = "/";
        } else {
            const std::size_t slash = base_path.rfind('/');
            merged = base_path.substr(0, slash == std::string_view::npos ? 0 : slash + 1);
        }
    }
    merged.append(ref_path);
    if (!reference.params().empty()) {
        merged.append(";").append(reference.params());
    }
    merged.resize(remove_dot_segments(merged.data(), merged.size()));
    std::string_view path = merged;
    const std::string_view params =
        base.entry().has(scheme_flag::params) ? cut_at(path, path.find(';')) : std::string_view();
    return uri::from_parts(base.scheme(), base.netloc(), path, params, reference.query(),
                           reference.fragment());
}

uri resolve(const uri& base, std::string_view reference) {
    return resolve(base, uri::parse(reference, base.scheme()));
}

std::string normalise_url(std::string_view text) {
    return uri::parse(text, "http").normalise();
}

std::string resolve_url(std::string_view base, std::string_view reference) {
    return resolve(uri::parse(base, "http"), reference).normalise();
}

std::string escape_uri(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    append_escaped_text(text, false, out);
    return out;
}

std::string percent_encode(std::string_view text, std::string_view keep) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           keep.find(c) != std::string_view::npos;
        if (plain) {
            out.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 15]);
        }
    }
    return out;
}

std::string unescape_uri(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (escape_at(text, i)) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string normalise_path(std::string_view path) {
    std::string out(path);
    out.resize(remove_dot_segments(out.data(), out.size()));
    return out;
}

}  // namespace marloven
