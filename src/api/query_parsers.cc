// query_parsers.cc: the RPN, ALG and NET query parsers and the query log text.
// SPDX-License-Identifier: MIT
#include "api/query_parsers.h"

#include <algorithm>
#include <charconv>
#include <cstddef>

#include "util/charsets.h"

namespace marloven {

namespace {

query_atom atom(query_atom_type type, std::string param, std::string meta = {}) {
    query_atom a;
    a.type = type;
    a.param = std::move(param);
    a.meta = std::move(meta);
    return a;
}

// ---- RPN ----------------------------------------------------------------------------------

struct rpn_label {
    std::string_view text;
    query_atom_type type;
};
constexpr rpn_label rpn_labels[] = {
    {"NOT:", query_atom_type::ATOM_NOT},   {"AND:", query_atom_type::ATOM_AND},
    {"OR:", query_atom_type::ATOM_OR},     {"WORD:", query_atom_type::ATOM_WORD},
    {"NEAR:", query_atom_type::ATOM_NEAR}, {"META:", query_atom_type::ATOM_META},
};

// ---- ALG ----------------------------------------------------------------------------------

struct alg_token {
    char op = 0;           // one of ! ( ) & | " ; 0 for a word
    bool closing = false;  // a double quote that closes a phrase
    std::string word;
    std::string text() const { return op != 0 ? std::string(1, op) : word; }
};

bool is_alg_operator(char c) {
    return c == '!' || c == '(' || c == ')' || c == '&' || c == '|' || c == '"';
}

std::vector<alg_token> alg_tokens(std::string_view text) {
    std::vector<alg_token> tokens;
    bool quoted = false;
    std::string word;
    // Blank-separated words are joined by AND: before a word, "!", "(" or an opening quote that
    // follows a word or a closing quote (outside a phrase), an "&" is inserted.
    auto joins_previous = [&] {
        return !quoted && !tokens.empty() &&
               (tokens.back().op == 0 || (tokens.back().op == '"' && tokens.back().closing));
    };
    auto push_op = [&](char op, bool closing = false) {
        alg_token t;
        t.op = op;
        t.closing = closing;
        tokens.push_back(std::move(t));
    };
    auto flush_word = [&] {
        if (word.empty()) {
            return;
        }
        if (joins_previous()) {
            push_op('&');
        }
        alg_token t;
        t.word = std::move(word);
        tokens.push_back(std::move(t));
        word.clear();
    };
    for (char c : text) {
        if (c == ' ') {
            flush_word();
        } else if (is_alg_operator(c)) {
            flush_word();
            if (c == '"' && quoted) {
                push_op('"', true);
                quoted = false;
                continue;
            }
            if ((c == '"' || c == '!' || c == '(') && joins_previous()) {
                push_op('&');
            }
            push_op(c);
            if (c == '"') {
                quoted = true;
            }
        } else {
            word += c;
        }
    }
    flush_word();
    return tokens;
}

// Recursive descent over the tokens. Nesting is bounded so that hostile input cannot exhaust
// the stack of a request thread.
class alg_parser {
  public:
    alg_parser(const std::vector<alg_token>& tokens, std::vector<query_atom>& atoms)
        : tokens_(tokens), atoms_(atoms) {}

    bool parse() { return expression() && pos_ == tokens_.size(); }

  private:
    static constexpr int max_depth = 200;

    bool at(char op) const { return pos_ < tokens_.size() && tokens_[pos_].op == op; }

    bool expression() {
        if (!term()) {
            return false;
        }
        while (pos_ < tokens_.size() && !at(')')) {
            char op = tokens_[pos_].op;
            if (op != '&' && op != '|') {
                return false;
            }
            ++pos_;
            if (!term()) {
                return false;
            }
            atoms_.push_back(
                atom(op == '&' ? query_atom_type::ATOM_AND : query_atom_type::ATOM_OR, "2"));
        }
        return true;
    }

    bool term() {
        if (pos_ >= tokens_.size() || depth_ >= max_depth) {
            return false;
        }
        const alg_token& t = tokens_[pos_++];
        switch (t.op) {
            case 0:
                atoms_.push_back(atom(query_atom_type::ATOM_WORD, t.word));
                return true;
            case '!': {
                ++depth_;
                bool ok = term();
                --depth_;
                if (!ok) {
                    return false;
                }
                atoms_.push_back(atom(query_atom_type::ATOM_NOT, "1"));
                return true;
            }
            case '(': {
                ++depth_;
                bool ok = expression();
                --depth_;
                if (!ok || !at(')')) {
                    return false;  // also an opening parenthesis that is never closed
                }
                ++pos_;
                return true;
            }
            case '"':
                return phrase();
            default:  // ) & | cannot start a term
                return false;
        }
    }

    // Every token up to the closing quote is one word of the phrase.
    bool phrase() {
        int words = 0;
        while (pos_ < tokens_.size() && !(tokens_[pos_].op == '"' && tokens_[pos_].closing)) {
            atoms_.push_back(atom(query_atom_type::ATOM_WORD, tokens_[pos_].text()));
            ++words;
            ++pos_;
        }
        if (pos_ == tokens_.size() || words == 0) {
            return false;  // a phrase never closed, or an empty one
        }
        ++pos_;
        atoms_.push_back(atom(query_atom_type::ATOM_NEAR, std::to_string(words)));
        return true;
    }

    const std::vector<alg_token>& tokens_;
    std::vector<query_atom>& atoms_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

// An operator's operand count: decimal digits only, at least 1.
bool operand_count(const std::string& param, std::size_t& n) {
    const char* end = param.data() + param.size();
    auto [p, ec] = std::from_chars(param.data(), end, n);
    return !param.empty() && param[0] != '+' && ec == std::errc() && p == end && n >= 1;
}

// A NEAR atom's meta: empty, "PHRASE", another text (the default window), or a window in word
// positions that holds its n words.
bool near_window(const std::string& meta, std::size_t n) {
    if (meta.empty() || meta.find_first_not_of("0123456789") != std::string::npos) {
        return true;
    }
    std::size_t window = 0;
    return operand_count(meta, window) && window >= n;
}

}  // namespace

bool well_formed_query(const std::vector<query_atom>& atoms) {
    // Per operand on the stack: whether it is a single word (NEAR combines only those; AND, OR
    // and NEAR of one operand keep it).
    std::vector<bool> words;
    for (const query_atom& a : atoms) {
        std::size_t n = 1;
        switch (a.type) {
            case query_atom_type::ATOM_WORD:
            case query_atom_type::ATOM_META:
                if (a.param.empty()) {
                    return false;
                }
                words.push_back(a.type == query_atom_type::ATOM_WORD);
                continue;
            case query_atom_type::ATOM_NOT:
                if (a.param != "1" || words.empty()) {
                    return false;
                }
                words.back() = false;
                continue;
            case query_atom_type::ATOM_AND:
            case query_atom_type::ATOM_OR:
            case query_atom_type::ATOM_NEAR:
                if (!operand_count(a.param, n) || n > words.size()) {
                    return false;
                }
                break;
            default:
                return false;
        }
        const auto operands = words.end() - static_cast<std::ptrdiff_t>(n);
        if (a.type == query_atom_type::ATOM_NEAR &&
            (std::find(operands, words.end(), false) != words.end() || !near_window(a.meta, n))) {
            return false;
        }
        const bool word = n == 1 && words.back();
        words.erase(operands, words.end());
        words.push_back(word);
    }
    return words.size() <= 1;
}

bool parse_rpn(std::string_view text, std::vector<query_atom>& atoms) {
    atoms.clear();
    std::size_t p = 0;
    const std::size_t n = text.size();
    while (true) {
        while (p < n && text[p] == ' ') {
            ++p;
        }
        if (p == n) {
            return well_formed_query(atoms);
        }
        query_atom a;
        a.type = query_atom_type::ATOM_META;
        for (const rpn_label& label : rpn_labels) {
            if (text.substr(p, label.text.size()) == label.text) {
                a.type = label.type;
                p += label.text.size();
                break;
            }
        }
        if (a.type == query_atom_type::ATOM_META) {
            // "META:" and a token without a label: the key runs to the next colon, wherever it
            // is.
            std::size_t colon = text.find(':', p);
            if (colon == std::string_view::npos || colon == p) {
                return false;
            }
            a.meta = std::string(text.substr(p, colon - p));
            p = colon + 1;
        }
        std::size_t end = text.find(' ', p);
        if (end == std::string_view::npos) {
            end = n;
        }
        if (end == p) {
            return false;  // a label or key with nothing after it
        }
        a.param = std::string(text.substr(p, end - p));
        p = end;
        atoms.push_back(std::move(a));
    }
}

bool parse_alg(std::string_view text, std::vector<query_atom>& atoms) {
    atoms.clear();
    std::vector<alg_token> tokens = alg_tokens(text);
    if (tokens.empty()) {
        return true;
    }
    alg_parser parser(tokens, atoms);
    return parser.parse() && !atoms.empty() && well_formed_query(atoms);
}

void parse_net(std::string_view text, std::vector<query_atom>& atoms) {
    atoms.clear();
    std::string input(text);
    input += ' ';
    bool in_term = false;
    bool quoted = false;
    bool negated = false;
    int terms = 0;
    std::vector<std::string> words;
    std::string word;
    auto end_word = [&] {
        if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    };
    auto end_term = [&] {
        end_word();
        if (!words.empty()) {
            for (std::string& w : words) {
                atoms.push_back(atom(query_atom_type::ATOM_WORD, std::move(w)));
            }
            if (words.size() > 1) {
                atoms.push_back(atom(query_atom_type::ATOM_NEAR, std::to_string(words.size())));
            }
            if (negated) {
                atoms.push_back(atom(query_atom_type::ATOM_NOT, "1"));
            }
            ++terms;
        }
        words.clear();
        in_term = false;
        quoted = false;
        negated = false;
    };
    std::size_t pos = 0;
    while (pos < input.size()) {
        char32_t cp = decode_utf8(input, pos).code_point;
        if (!in_term) {
            if (cp == U'-') {
                negated = true;
            } else if (cp == U'"') {
                in_term = true;
                quoted = true;
            } else if (is_word_char(cp)) {
                in_term = true;
                encode_utf8(cp, word);
            }
            continue;
        }
        if (is_word_char(cp)) {
            encode_utf8(cp, word);
        } else if (quoted && cp == U'"') {
            end_word();
            quoted = false;
        } else if (is_separator(cp)) {
            if (quoted) {
                end_word();
            } else {
                end_term();
            }
        } else {
            end_word();
        }
    }
    if (in_term) {
        end_term();  // a phrase whose closing quote never came
    }
    if (terms >= 2) {
        atoms.push_back(atom(query_atom_type::ATOM_AND, std::to_string(terms)));
    }
}

bool parse_query(query_parser parser, std::string_view text, std::vector<query_atom>& atoms) {
    switch (parser) {
        case query_parser::rpn:
            return parse_rpn(text, atoms);
        case query_parser::alg:
            return parse_alg(text, atoms);
        case query_parser::net:
            parse_net(text, atoms);
            return true;
        default:
            return false;
    }
}

std::string query_log_text(const std::vector<query_atom>& atoms) {
    std::string out;
    for (const query_atom& a : atoms) {
        if (!out.empty()) {
            out += ' ';
        }
        switch (a.type) {
            case query_atom_type::ATOM_WORD:
                out += "WORD:";
                break;
            case query_atom_type::ATOM_NOT:
                out += "NOT:";
                break;
            case query_atom_type::ATOM_AND:
                out += "AND:";
                break;
            case query_atom_type::ATOM_OR:
                out += "OR:";
                break;
            case query_atom_type::ATOM_NEAR:
                out += "NEAR:";
                break;
            case query_atom_type::ATOM_META:
                out += "META:" + a.meta + ":";
                break;
        }
        out += a.param;
    }
    return out;
}

}  // namespace marloven
