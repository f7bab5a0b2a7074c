// charset.cc: charset choice (BOM, declarations, uchardet) and conversion (iconv).
// SPDX-License-Identifier: MIT
#include "parse/charset.h"

#include <iconv.h>
#include <uchardet/uchardet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

namespace marloven {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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
        return "UTF-8";
    }
    return name;
}

struct iconv_closer {
    void operator()(iconv_t cd) const noexcept { iconv_close(cd); }
};
using iconv_handle = std::unique_ptr<std::remove_pointer_t<iconv_t>, iconv_closer>;

iconv_handle open_converter(std::string_view charset) {
    iconv_t cd = iconv_open("UTF-8", converter_name(charset).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return nullptr;
    }
    return iconv_handle(cd);
}

// Case-insensitive search from `from`.
size_t find_nocase(std::string_view hay, std::string_view needle, size_t from = 0) {
    auto it = std::search(hay.begin() + static_cast<std::ptrdiff_t>(std::min(from, hay.size())),
                          hay.end(), needle.begin(), needle.end(), [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
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
