// charsets.h: named single-byte character sets, UTF-8 coding, Unicode case folding and the
// character classes used by the XML reader, the index client, the query parsers and plug-ins.
// SPDX-License-Identifier: MIT
#pragma once

#include <expat.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace marloven {

// One decoded character; `valid` is false for a broken sequence, whose code point is U+FFFD.
struct utf8_char {
    char32_t code_point;
    bool valid;
};

// Decodes the character at `pos` and advances `pos` past it (`pos` must be below text.size()).
// A lead byte below 0xC2 stands for itself (stray continuation bytes and 0xC0/0xC1 read as the
// Latin-1 characters of that value). 0xC2..0xFD start sequences of 2 to 6 bytes whose further
// bytes must be 0x80..0xBF; overlong forms after 0xE0, 0xF0, 0xF8 and 0xFC are rejected (the
// second byte must be at least 0xA0, 0x90, 0x88, 0x84). 0xFE and 0xFF are invalid alone. A broken
// sequence consumes the whole length its lead byte announced (or the rest of the text).
// Surrogates and values above U+10FFFF are accepted as they come.
utf8_char decode_utf8(std::string_view text, std::size_t& pos);

// Appends `code_point` in 1 to 6 bytes; values above 0x7FFFFFFF are dropped.
void encode_utf8(char32_t code_point, std::string& out);

// Replaces `out` with the Unicode full case folding of `text` (U+00DF gives "ss"; U+0130 gives
// U+0069 alone). Returns false when any character was invalid; each of those is folded to U+FFFD.
bool fold_utf8(std::string_view text, std::string& out);

// Writes the folding of `cp` (itself when it has none) to `out`; returns the count, 1 to 3.
std::size_t fold_code_point(char32_t cp, char32_t out[3]);

// The major Unicode general categories, as the high nibble of a class byte.
enum class char_class : unsigned char {
    unassigned = 0,
    letter = 1,
    mark = 2,
    number = 3,
    punctuation = 4,
    symbol = 5,
    separator = 6,
    other = 7,  // control, format, surrogate, private use
};

// The class byte of `cp`: class in the high nibble, subcategory in the low nibble (letters: Lu 0,
// Ll 1, Lt 2, Lm 3, Lo 4; marks: Mn 0, Mc 1, Me 2; numbers: Nd 0, Nl 1, No 2; punctuation: Pc 0,
// Pd 1, Ps 2, Pe 3, Pi 4, Pf 5, Po 6; symbols: Sm 0, Sc 1, Sk 2, So 3; separators: Zs 0, Zl 1,
// Zp 2; other: Cc 0, Cf 1, Cs 2, Co 3). Code points from U+10000 to U+10FFFF are classified from
// the same Unicode data as the 65,536-entry table below them; anything above U+10FFFF is
// unassigned (0).
unsigned char char_class_byte(char32_t cp);
char_class classify(char32_t cp);
bool is_word_char(char32_t cp);  // letter or number
bool is_separator(char32_t cp);

// The Unicode version of the folding and class tables.
std::string_view unicode_version();

enum class charset_kind : int { unknown = 0, single_byte = 1, utf8 = 2 };

// A named character set: UTF-8, or a single-byte code page with a table of 256 code points.
// Names (any case): roman, macroman; 1250..1258, cp1250..cp1258, windows-1250..windows-1258;
// latin-1, us-ascii, iso-8859-1; iso-8859-2..11 and 13..16; cp437, cp737, cp775, cp850, cp852,
// cp855, cp857, cp860..cp866, cp869, cp874; utf-8, utf8.
// Ownership: keeps its name; the tables are static and shared.
// Failure: an unknown name leaves the kind `unknown` and set() returns false.
// Threads: a const object may be shared.
class charset {
  public:
    charset() : charset("UTF-8") {}
    explicit charset(std::string_view name) { set(name); }

    // Selects the set called `name` (the name is kept as given, also when it is unknown).
    bool set(std::string_view name);

    const std::string& name() const { return name_; }
    charset_kind kind() const { return kind_; }
    // The 256 code points of a single-byte set (U+FFFD for undefined bytes); null otherwise.
    const char16_t* table() const { return table_; }

    // Appends `bytes`, read in this set, to `out` as UTF-8; undefined bytes and broken UTF-8
    // become U+FFFD. Returns false when there were any, or when the set is unknown (the bytes
    // are then read as Latin-1).
    bool to_utf8(std::string_view bytes, std::string& out) const;

  private:
    std::string name_;
    charset_kind kind_ = charset_kind::unknown;
    const char16_t* table_ = nullptr;
};

// expat's unknown-encoding handler (XML_SetUnknownEncodingHandler): fills `info` from the set
// named `name`. A single-byte set fills the byte map from its table (undefined bytes -1); any
// other known set marks every byte invalid (-1). Unknown names fail (XML_STATUS_ERROR), which
// makes expat report an unknown encoding.
int unknown_encoding_handler(void* handler_data, const XML_Char* name, XML_Encoding* info);

}  // namespace marloven
