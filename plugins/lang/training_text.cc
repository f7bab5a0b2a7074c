// training_text.cc: reading the sections of a training text.
// SPDX-License-Identifier: MIT
#include "training_text.h"

#include <set>

#include "utf8.h"

namespace marloven::embedded {
extern const unsigned char slr_training[];
extern const std::size_t slr_training_size;
}  // namespace marloven::embedded

namespace marloven::slr {

namespace {

bool is_code(std::string_view code) {
    if (code.size() < 2 || code.size() > 8 || code.front() < 'a' || code.front() > 'z') {
        return false;
    }
    for (char c : code) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    return true;
}

// "<number> <code>", blanks around and between allowed.
bool read_header(std::string_view line, std::string& code) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    std::size_t digits = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        ++i;
    }
    if (i == digits || i == line.size() || (line[i] != ' ' && line[i] != '\t')) {
        return false;
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    std::size_t end = line.find_last_not_of(" \t");
    if (end == std::string_view::npos || end < i) {
        return false;
    }
    code = std::string(line.substr(i, end + 1 - i));
    return is_code(code);
}

std::string at_line(int number, const std::string& what) {
    return "training text line " + std::to_string(number) + ": " + what;
}

}  // namespace

training_result read_training_text(std::string_view text) {
    training_result out;
    if (text.size() > max_training_bytes) {
        out.error = "training text of " + std::to_string(text.size()) +
                    " bytes is larger than the limit of " + std::to_string(max_training_bytes);
        return out;
    }
    std::set<std::string> codes;
    training_section* open = nullptr;  // the section being read
    bool want_header = false;
    int number = 0;
    while (!text.empty()) {
        std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!valid_utf8(line)) {
            out.error = at_line(number, "not UTF-8");
            break;
        }
        if (line == "###BEGIN###") {
            if (open != nullptr) {
                out.error = at_line(
                    number, "###BEGIN### inside the section of line " + std::to_string(open->line));
                break;
            }
            open = &out.sections.emplace_back();
            open->line = number;
            want_header = true;
            continue;
        }
        if (line == "###END###") {
            if (open == nullptr) {
                out.error = at_line(number, "###END### without ###BEGIN###");
                break;
            }
            if (want_header) {
                out.error = at_line(number, "section without its \"<number> <code>\" line");
                break;
            }
            open = nullptr;
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#') {
            continue;
        }
        if (open == nullptr) {
            out.error = at_line(number, "text outside a ###BEGIN### ... ###END### section");
            break;
        }
        if (want_header) {
            if (!read_header(line, open->code)) {
                out.error = at_line(number,
                                    "expected \"<number> <code>\" (a code of 2 to 8 "
                                    "lower-case letters, digits or '-'), found \"" +
                                        std::string(line.substr(0, 40)) + "\"");
                break;
            }
            if (!codes.insert(open->code).second) {
                out.error = at_line(number, "language '" + open->code + "' has a second section");
                break;
            }
            want_header = false;
            continue;
        }
        open->text.append(line).push_back('\n');
    }
    if (out.error.empty() && open != nullptr) {
        out.error = at_line(open->line, "section not closed by ###END###");
    }
    if (out.error.empty() && out.sections.empty()) {
        out.error = "training text has no ###BEGIN### ... ###END### section";
    }
    if (!out.error.empty()) {
        out.sections.clear();
    }
    return out;
}

std::string_view builtin_training_text() {
    return {reinterpret_cast<const char*>(embedded::slr_training), embedded::slr_training_size};
}

}  // namespace marloven::slr
