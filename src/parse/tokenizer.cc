// tokenizer.cc: words and punctuation from UTF-8 text, by Unicode character class.
// SPDX-License-Identifier: MIT
#include "parse/tokenizer.h"

#include "util/charsets.h"

namespace marloven {

namespace {

enum class kind { word, single, punct, drop, space };

bool is_cjk(char32_t cp) {
    return (cp >= 0x2E80 && cp <= 0x2FDF) || (cp >= 0x3005 && cp <= 0x3007) ||
           (cp >= 0x3021 && cp <= 0x3029) || (cp >= 0x3038 && cp <= 0x303B) ||
           (cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0x31F0 && cp <= 0x31FF) ||
           (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFF66 && cp <= 0xFF9F) ||
           (cp >= 0x20000 && cp <= 0x3FFFF);
}

struct decoded {
    char32_t cp;
    kind k;
    unsigned char subclass;  // low nibble of the class byte
    std::size_t begin, end;
};

decoded next_char(std::string_view text, std::size_t& pos) {
    decoded d{};
    d.begin = pos;
    utf8_char c = decode_utf8(text, pos);
    d.end = pos;
    d.cp = c.code_point;
    if (!c.valid) {
        d.k = kind::space;
        return d;
    }
    unsigned char byte = char_class_byte(c.code_point);
    d.subclass = byte & 0x0F;
    if (is_cjk(c.code_point)) {
        d.k = kind::single;
        return d;
    }
    switch (static_cast<char_class>(byte >> 4)) {
        case char_class::letter:
        case char_class::number:
        case char_class::mark:
        case char_class::unassigned:
            d.k = kind::word;
            break;
        case char_class::punctuation:
        case char_class::symbol:
            d.k = kind::punct;
            break;
        case char_class::other:
            // Format characters (subclass 1) sit inside words; controls, surrogates and private
            // use separate.
            d.k = d.subclass == 1 ? kind::drop : kind::space;
            break;
        default:
            d.k = kind::space;
    }
    return d;
}

}  // namespace

void tokenize(std::string_view text, const std::function<void(std::string_view)>& emit) {
    // The current word is text[word_begin, word_end) while it is contiguous; a dropped format
    // character inside it moves it into `spliced`.
    std::size_t word_begin = 0;
    std::size_t word_end = 0;
    std::string spliced;
    bool in_word = false;
    bool is_spliced = false;
    auto extend = [&](const decoded& d) {
        if (!in_word) {
            in_word = true;
            word_begin = d.begin;
        } else if (is_spliced) {
            spliced.append(text.substr(d.begin, d.end - d.begin));
        } else if (word_end != d.begin) {
            spliced.assign(text.substr(word_begin, word_end - word_begin));
            spliced.append(text.substr(d.begin, d.end - d.begin));
            is_spliced = true;
        }
        word_end = d.end;
    };
    auto flush = [&] {
        if (!in_word) {
            return;
        }
        std::string_view w =
            is_spliced ? std::string_view(spliced) : text.substr(word_begin, word_end - word_begin);
        while (w.size() > max_token_bytes) {
            std::size_t cut = max_token_bytes;
            while (cut > 0 && (static_cast<unsigned char>(w[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            if (cut == 0) {
                cut = max_token_bytes;
            }
            emit(w.substr(0, cut));
            w.remove_prefix(cut);
        }
        if (!w.empty()) {
            emit(w);
        }
        in_word = false;
        is_spliced = false;
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        decoded d = next_char(text, pos);
        switch (d.k) {
            case kind::word:
                extend(d);
                break;
            case kind::drop:
                break;
            case kind::single:
                flush();
                emit(text.substr(d.begin, d.end - d.begin));
                break;
            case kind::space:
                flush();
                break;
            case kind::punct: {
                flush();
                // A run of the same punctuation character is one token.
                std::size_t end = d.end;
                while (end < text.size()) {
                    std::size_t peek = end;
                    decoded more = next_char(text, peek);
                    if (more.cp != d.cp || more.k != kind::punct) {
                        break;
                    }
                    end = peek;
                }
                pos = end;
                std::string_view run = text.substr(d.begin, end - d.begin);
                while (run.size() > max_token_bytes) {
                    std::size_t cut = max_token_bytes - max_token_bytes % (d.end - d.begin);
                    emit(run.substr(0, cut));
                    run.remove_prefix(cut);
                }
                emit(run);
                break;
            }
        }
    }
    flush();
}

bool ends_sentence(std::string_view t) {
    if (t.empty()) {
        return false;
    }
    if (t.find_first_not_of(".!?") == std::string_view::npos) {
        // An ellipsis ("...") more often trails off inside a sentence ("[, ...]").
        return t.size() == 1 || t.find_first_not_of('.') != std::string_view::npos;
    }
    return t == "\u3002" || t == "\uFF01" || t == "\uFF1F" || t == "\uFF0E";
}

}  // namespace marloven
