// charset.cc: charset choice (BOM, declarations, uchardet) and conversion (iconv).
// SPDX-License-Identifier: MIT
#include "parse/charset.h"

#include <iconv.h>
#include <uchardet/uchardet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "util/ascii.h"

namespace marloven {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    ascii_lower_in_place(out);
    return out;
}

// The name handed to iconv for a charset label.
std::string converter_name(std::string_view charset) {
    std::string name = lower(charset);
    if (name == "iso-8859-1" || name == "iso8859-1" || name == "latin1" || name == "us-ascii" ||
        name == "ascii" || name == "l1" || name == "iso_8859-1") {
        return "WINDOWS-1252";
    }
    if (name == "x-sjis" || name == "shift-jis") {
        return "SHIFT_JIS";
    }
    if (name == "utf8") {
        return "utf-8";
    }
    return name;
}

struct iconv_closer {
    void operator()(iconv_t cd) const noexcept { iconv_close(cd); }
};
using iconv_handle = std::unique_ptr<std::remove_pointer_t<iconv_t>, iconv_closer>;

iconv_handle open_converter(std::string_view charset) {
    iconv_t cd = iconv_open("UTF-8", converter_name(charset).c_str());
    // (iconv_t)-1 is how iconv_open reports failure.
    if (cd == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        return nullptr;
    }
    return iconv_handle(cd);
}

// Case-insensitive search from `from`.
size_t find_nocase(std::string_view hay, std::string_view needle, size_t from = 0) {
    auto it = std::search(hay.begin() + static_cast<std::ptrdiff_t>(std::min(from, hay.size())),
                          hay.end(), needle.begin(), needle.end(),
                          [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
    return it == hay.end() ? std::string_view::npos : static_cast<size_t>(it - hay.begin());
}

// The charset value after "charset=" in `text` (quoted or not).
std::optional<std::string> charset_parameter(std::string_view text) {
    size_t at = find_nocase(text, "charset");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    size_t pos = at + 7;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
        ++pos;
    }
    if (pos >= text.size() || text[pos] != '=') {
        return std::nullopt;
    }
    ++pos;
    while (pos < text.size() &&
           (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '"' || text[pos] == '\'')) {
        ++pos;
    }
    size_t end = pos;
    while (end < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[end])) != 0 || text[end] == '-' ||
            text[end] == '_' || text[end] == ':' || text[end] == '.')) {
        ++end;
    }
    if (end == pos) {
        return std::nullopt;
    }
    return lower(text.substr(pos, end - pos));
}

// The length of the well-formed UTF-8 sequence at `p` (1 to 4), or 0 when it is broken:
// overlong forms, surrogates, values past U+10FFFF and sequences cut by `end` are broken.
int sequence_length(const unsigned char* p, const unsigned char* end) {
    unsigned char c = *p;
    if (c < 0x80) {
        return 1;
    }
    int n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    if (c < 0xC2 || c > 0xF4 || end - p <= n) {
        return 0;
    }
    unsigned char c1 = p[1];
    if ((c1 & 0xC0) != 0x80 || (c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) ||
        (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) {
        return 0;
    }
    for (int i = 2; i <= n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return n + 1;
}

// UTF-8 to UTF-8: well-formed sequences are copied, every byte of a broken one becomes U+FFFD.
void repair_utf8(std::string_view bytes, utf8_text& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    const auto* run = p;  // start of the well-formed stretch not yet copied
    while (p < end) {
        // Plain ASCII eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ull) != 0) {
                break;
            }
            p += 8;
        }
        if (p >= end) {
            break;
        }
        if (int n = sequence_length(p, end); n > 0) {
            p += n;
            continue;
        }
        out.text.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        out.text += "\xEF\xBF\xBD";
        out.lossy = true;
        run = ++p;
    }
    out.text.append(reinterpret_cast<const char*>(run), static_cast<size_t>(end - run));
}

}  // namespace

std::optional<std::string> bom_charset(std::string_view b) {
    if (b.starts_with("\xEF\xBB\xBF")) {
        return "utf-8";
    }
    if (b.starts_with("\xFF\xFE")) {
        return "utf-16le";
    }
    if (b.starts_with("\xFE\xFF")) {
        return "utf-16be";
    }
    return std::nullopt;
}

std::optional<std::string> meta_charset(std::string_view html) {
    html = html.substr(0, 4096);
    size_t pos = 0;
    while ((pos = find_nocase(html, "<meta", pos)) != std::string_view::npos) {
        size_t end = html.find('>', pos);
        std::string_view tag = html.substr(pos, end == std::string_view::npos ? end : end - pos);
        pos += 5;
        if (auto c = charset_parameter(tag)) {
            // <meta charset=x> and <meta http-equiv=content-type content="text/html; charset=x">
            // both carry "charset" followed by "=".
            return c;
        }
    }
    return std::nullopt;
}

std::optional<std::string> detect_charset(std::string_view bytes) {
    struct detector_free {
        void operator()(uchardet_t d) const noexcept { uchardet_delete(d); }
    };
    std::unique_ptr<std::remove_pointer_t<uchardet_t>, detector_free> d(uchardet_new());
    if (!d) {
        return std::nullopt;
    }
    // 64 KiB are plenty for a verdict and bound the cost on large documents.
    std::string_view sample = bytes.substr(0, 65536);
    if (uchardet_handle_data(d.get(), sample.data(), sample.size()) != 0) {
        return std::nullopt;
    }
    uchardet_data_end(d.get());
    std::string name = lower(uchardet_get_charset(d.get()));
    if (name.empty()) {
        return std::nullopt;
    }
    if (name == "ascii") {
        return "utf-8";  // pure ASCII reads the same as UTF-8
    }
    return name;
}

bool charset_supported(std::string_view charset) {
    return !charset.empty() && open_converter(charset) != nullptr;
}

std::string choose_charset(std::string_view bytes, std::string_view declared, bool is_html) {
    if (auto bom = bom_charset(bytes)) {
        return *bom;
    }
    if (charset_supported(declared)) {
        return lower(declared);
    }
    if (is_html) {
        if (auto meta = meta_charset(bytes); meta && charset_supported(*meta)) {
            // A page that claims UTF-16 in a meta tag cannot be read that far in that encoding.
            if (!meta->starts_with("utf-16")) {
                return *meta;
            }
        }
    }
    if (auto detected = detect_charset(bytes); detected && charset_supported(*detected)) {
        return *detected;
    }
    return is_html ? "windows-1252" : "utf-8";
}

utf8_text to_utf8(std::string_view bytes, std::string_view charset) {
    utf8_text out;
    if (auto bom = bom_charset(bytes); bom && converter_name(*bom) == converter_name(charset)) {
        bytes.remove_prefix(*bom == "utf-8" ? 3 : 2);
    }
    // Most of the web is UTF-8 already: it is copied, and only repaired where it is broken.
    if (converter_name(charset) == "utf-8") {
        out.text.reserve(bytes.size());
        repair_utf8(bytes, out);
        return out;
    }
    iconv_handle cd = open_converter(charset);
    if (!cd) {
        cd = open_converter("windows-1252");
    }
    out.text.reserve(bytes.size() + bytes.size() / 4);
    char* in = const_cast<char*>(bytes.data());
    size_t in_left = bytes.size();
    char buffer[8192];
    while (in_left > 0) {
        char* o = buffer;
        size_t o_left = sizeof buffer;
        size_t r = iconv(cd.get(), &in, &in_left, &o, &o_left);
        out.text.append(buffer, static_cast<size_t>(o - buffer));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            // EILSEQ: an invalid sequence; EINVAL: cut short at the end. Either way one byte is
            // replaced and conversion resumes after it.
            out.text += "\xEF\xBF\xBD";
            out.lossy = true;
            ++in;
            --in_left;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    // Flush any shift state (stateful encodings such as ISO-2022-JP).
    char* o = buffer;
    size_t o_left = sizeof buffer;
    iconv(cd.get(), nullptr, nullptr, &o, &o_left);
    out.text.append(buffer, static_cast<size_t>(o - buffer));
    return out;
}

}  // namespace marloven
