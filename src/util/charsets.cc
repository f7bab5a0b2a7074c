// charsets.cc: UTF-8 coding, case folding, character classes and named code pages.
// SPDX-License-Identifier: MIT
#include "util/charsets.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "util/ascii.h"
#include "util/charsets_internal.h"

namespace marloven {
namespace {

namespace data = charsets_data;

// The lookup structures are built from the generated tables on first use.
struct fold_index {
    static constexpr unsigned block_bits = 7;
    static constexpr char32_t block_size = char32_t{1} << block_bits;

    // The UTF-8 form of one folding, at most 3 x 4 bytes.
    struct encoded {
        unsigned char size;
        char bytes[12];
    };

    char32_t limit = 0;                // no code point from here on has a folding
    std::vector<std::uint16_t> first;  // block number per block of code points (0: no foldings)
    std::vector<std::uint16_t> slots;  // per block and code point: entry number + 1, or 0
    std::vector<encoded> utf8;

    fold_index() {
        const std::size_t count = data::fold_entry_count;
        limit = (data::fold_entries[count - 1].from / block_size + 1) * block_size;
        first.assign(limit / block_size, 0);
        slots.assign(block_size, 0);  // block 0 stays empty
        utf8.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const data::fold_entry& e = data::fold_entries[i];
            std::uint16_t& block = first[e.from / block_size];
            if (block == 0) {
                block = static_cast<std::uint16_t>(slots.size() / block_size);
                slots.resize(slots.size() + block_size, 0);
            }
            slots[block * block_size + e.from % block_size] = static_cast<std::uint16_t>(i + 1);
            std::string text;
            for (char32_t to : e.to) {
                if (to != 0) {
                    encode_utf8(to, text);
                }
            }
            utf8[i].size = static_cast<unsigned char>(text.size());
            std::copy(text.begin(), text.end(), utf8[i].bytes);
        }
    }

    // The entry number + 1 of `cp`'s folding, or 0.
    unsigned find(char32_t cp) const {
        if (cp >= limit) {
            return 0;
        }
        return slots[first[cp >> block_bits] * block_size + (cp & (block_size - 1))];
    }
};

const fold_index& folds() {
    static const fold_index index;
    return index;
}

const std::array<unsigned char, 0x10000>& bmp_classes() {
    static const auto table = [] {
        auto t = std::make_unique<std::array<unsigned char, 0x10000>>();
        for (std::size_t i = 0; i < data::class_run_count && data::class_runs[i].first < 0x10000;
             ++i) {
            const char32_t end = i + 1 < data::class_run_count
                                     ? std::min<char32_t>(data::class_runs[i + 1].first, 0x10000)
                                     : 0x10000;
            std::fill(t->begin() + data::class_runs[i].first, t->begin() + end,
                      data::class_runs[i].value);
        }
        return t;
    }();
    return *table;
}

// Writes `cp` as UTF-8 at `p` (which has room for 6 bytes) and returns the end; values above
// 0x7FFFFFFF write nothing.
char* put_utf8(char32_t cp, char* p) {
    auto byte = [](char32_t v) { return static_cast<char>(static_cast<unsigned char>(v)); };
    if (cp < 0x80) {
        *p++ = byte(cp);
    } else if (cp < 0x800) {
        *p++ = byte(0xC0 | (cp >> 6));
        *p++ = byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = byte(0xE0 | (cp >> 12));
        *p++ = byte(0x80 | ((cp >> 6) & 0x3F));
        *p++ = byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x200000) {
        *p++ = byte(0xF0 | (cp >> 18));
        *p++ = byte(0x80 | ((cp >> 12) & 0x3F));
        *p++ = byte(0x80 | ((cp >> 6) & 0x3F));
        *p++ = byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x4000000) {
        *p++ = byte(0xF8 | (cp >> 24));
        *p++ = byte(0x80 | ((cp >> 18) & 0x3F));
        *p++ = byte(0x80 | ((cp >> 12) & 0x3F));
        *p++ = byte(0x80 | ((cp >> 6) & 0x3F));
        *p++ = byte(0x80 | (cp & 0x3F));
    } else if (cp <= 0x7FFFFFFF) {
        *p++ = byte(0xFC | (cp >> 30));
        *p++ = byte(0x80 | ((cp >> 24) & 0x3F));
        *p++ = byte(0x80 | ((cp >> 18) & 0x3F));
        *p++ = byte(0x80 | ((cp >> 12) & 0x3F));
        *p++ = byte(0x80 | ((cp >> 6) & 0x3F));
        *p++ = byte(0x80 | (cp & 0x3F));
    }
    return p;
}

// Accepted names and the generated table each selects ("" selects UTF-8).
struct charset_alias {
    std::string_view name;
    std::string_view table;
};
// clang-format off
constexpr charset_alias aliases[] = {
    {"utf-8", ""}, {"utf8", ""}, {"roman", "mac_roman"}, {"macroman", "mac_roman"},
    {"latin-1", "iso8859_1"}, {"us-ascii", "iso8859_1"}, {"iso-8859-1", "iso8859_1"},
    {"iso-8859-2", "iso8859_2"}, {"iso-8859-3", "iso8859_3"}, {"iso-8859-4", "iso8859_4"},
    {"iso-8859-5", "iso8859_5"}, {"iso-8859-6", "iso8859_6"}, {"iso-8859-7", "iso8859_7"},
    {"iso-8859-8", "iso8859_8"}, {"iso-8859-9", "iso8859_9"}, {"iso-8859-10", "iso8859_10"},
    {"iso-8859-11", "iso8859_11"}, {"iso-8859-13", "iso8859_13"}, {"iso-8859-14", "iso8859_14"},
    {"iso-8859-15", "iso8859_15"}, {"iso-8859-16", "iso8859_16"}, {"1250", "cp1250"},
    {"cp1250", "cp1250"}, {"windows-1250", "cp1250"}, {"1251", "cp1251"}, {"cp1251", "cp1251"},
    {"windows-1251", "cp1251"}, {"1252", "cp1252"}, {"cp1252", "cp1252"},
    {"windows-1252", "cp1252"}, {"1253", "cp1253"}, {"cp1253", "cp1253"},
    {"windows-1253", "cp1253"}, {"1254", "cp1254"}, {"cp1254", "cp1254"},
    {"windows-1254", "cp1254"}, {"1255", "cp1255"}, {"cp1255", "cp1255"},
    {"windows-1255", "cp1255"}, {"1256", "cp1256"}, {"cp1256", "cp1256"},
    {"windows-1256", "cp1256"}, {"1257", "cp1257"}, {"cp1257", "cp1257"},
    {"windows-1257", "cp1257"}, {"1258", "cp1258"}, {"cp1258", "cp1258"},
    {"windows-1258", "cp1258"}, {"cp437", "cp437"}, {"cp737", "cp737"}, {"cp775", "cp775"},
    {"cp850", "cp850"}, {"cp852", "cp852"}, {"cp855", "cp855"}, {"cp857", "cp857"},
    {"cp860", "cp860"}, {"cp861", "cp861"}, {"cp862", "cp862"}, {"cp863", "cp863"},
    {"cp864", "cp864"}, {"cp865", "cp865"}, {"cp866", "cp866"}, {"cp869", "cp869"},
    {"cp874", "cp874"},
};
// clang-format on

const charset_alias* find_alias(std::string_view name) {
    for (const charset_alias& a : aliases) {
        if (equals_ignoring_case(a.name, name)) {
            return &a;
        }
    }
    return nullptr;
}

const data::code_page_table* find_table(std::string_view canonical) {
    for (std::size_t i = 0; i < data::code_page_count; ++i) {
        if (data::code_pages[i].name == canonical) {
            return &data::code_pages[i];
        }
    }
    return nullptr;
}

}  // namespace

utf8_char decode_utf8(std::string_view text, std::size_t& pos) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char lead = s[pos];
    if (lead < 0xC2) {
        ++pos;
        return {lead, true};
    }
    if (lead >= 0xFE) {
        ++pos;
        return {0xFFFD, false};
    }
    std::size_t length;
    unsigned char lowest_second;  // rejects the overlong forms
    char32_t cp;
    if (lead < 0xE0) {
        length = 2, lowest_second = 0x80, cp = lead & 0x1F;
    } else if (lead < 0xF0) {
        length = 3, lowest_second = lead == 0xE0 ? 0xA0 : 0x80, cp = lead & 0x0F;
    } else if (lead < 0xF8) {
        length = 4, lowest_second = lead == 0xF0 ? 0x90 : 0x80, cp = lead & 0x07;
    } else if (lead < 0xFC) {
        length = 5, lowest_second = lead == 0xF8 ? 0x88 : 0x80, cp = lead & 0x03;
    } else {
        length = 6, lowest_second = lead == 0xFC ? 0x84 : 0x80, cp = lead & 0x01;
    }
    const std::size_t available = std::min(length, text.size() - pos);
    bool valid = available == length && s[pos + 1] >= lowest_second;
    for (std::size_t i = 1; valid && i < length; ++i) {
        const unsigned char c = s[pos + i];
        valid = c >= 0x80 && c <= 0xBF;
        cp = (cp << 6) | (c & 0x3F);
    }
    pos += available;
    if (!valid) {
        return {0xFFFD, false};
    }
    return {cp, true};
}

void encode_utf8(char32_t code_point, std::string& out) {
    char buffer[6];
    out.append(buffer, put_utf8(code_point, buffer));
}

bool fold_utf8(std::string_view text, std::string& out) {
    const fold_index& index = folds();
    // No character grows by more than three times its encoded length (one byte read as Latin-1
    // or replaced by U+FFFD gives up to three, U+0390 gives six bytes from two).
    out.resize(text.size() * 3);
    char* p = out.data();
    bool valid = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            *p++ = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte);
            ++pos;
            continue;
        }
        const utf8_char c = decode_utf8(text, pos);
        valid = valid && c.valid;
        if (const unsigned entry = index.find(c.code_point)) {
            const fold_index::encoded& e = index.utf8[entry - 1];
            p = std::copy(e.bytes, e.bytes + e.size, p);
        } else {
            p = put_utf8(c.code_point, p);
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
    return valid;
}

std::size_t fold_code_point(char32_t cp, char32_t out[3]) {
    const unsigned entry = folds().find(cp);
    if (entry == 0) {
        out[0] = cp;
        return 1;
    }
    const data::fold_entry& e = data::fold_entries[entry - 1];
    std::size_t n = 0;
    for (char32_t to : e.to) {
        if (to != 0) {
            out[n++] = to;
        }
    }
    return n;
}

unsigned char char_class_byte(char32_t cp) {
    if (cp < 0x10000) {
        return bmp_classes()[cp];
    }
    if (cp > 0x10FFFF) {
        return 0;
    }
    const data::class_run* end = data::class_runs + data::class_run_count;
    const data::class_run* run =
        std::upper_bound(data::class_runs, end, cp,
                         [](char32_t value, const data::class_run& r) { return value < r.first; });
    return (run - 1)->value;
}

char_class classify(char32_t cp) {
    return static_cast<char_class>(char_class_byte(cp) >> 4);
}

bool is_word_char(char32_t cp) {
    const char_class c = classify(cp);
    return c == char_class::letter || c == char_class::number;
}
bool is_separator(char32_t cp) {
    return classify(cp) == char_class::separator;
}

std::string_view unicode_version() {
    return data::unicode_version;
}

bool charset::set(std::string_view name) {
    name_.assign(name);
    kind_ = charset_kind::unknown;
    table_ = nullptr;
    const charset_alias* alias = find_alias(name);
    if (alias == nullptr) {
        return false;
    }
    if (alias->table.empty()) {
        kind_ = charset_kind::utf8;
        return true;
    }
    const data::code_page_table* t = find_table(alias->table);
    if (t == nullptr) {
        return false;
    }
    kind_ = charset_kind::single_byte;
    table_ = t->table;
    return true;
}

bool charset::to_utf8(std::string_view bytes, std::string& out) const {
    bool valid = kind_ != charset_kind::unknown;
    if (kind_ == charset_kind::utf8) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const utf8_char c = decode_utf8(bytes, pos);
            valid = valid && c.valid;
            encode_utf8(c.code_point, out);
        }
        return valid;
    }
    for (char b : bytes) {
        const auto byte = static_cast<unsigned char>(b);
        const char32_t cp = table_ != nullptr ? table_[byte] : byte;
        valid = valid && cp != 0xFFFD;
        encode_utf8(cp, out);
    }
    return valid;
}

int unknown_encoding_handler(void* /*handler_data*/, const XML_Char* name, XML_Encoding* info) {
    const charset_alias* alias = find_alias(name);
    if (alias == nullptr) {
        return XML_STATUS_ERROR;
    }
    const data::code_page_table* t = alias->table.empty() ? nullptr : find_table(alias->table);
    for (int b = 0; b < 256; ++b) {
        info->map[b] = t == nullptr || t->table[b] == 0xFFFD ? -1 : t->table[b];
    }
    // The tables are static: nothing to convert or release.
    info->data = const_cast<data::code_page_table*>(t);
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

}  // namespace marloven
