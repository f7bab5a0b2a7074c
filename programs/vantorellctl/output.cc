// output.cc: tables, records and times as vantorellctl prints them.
// SPDX-License-Identifier: MIT
#include "output.h"

#include <algorithm>
#include <ctime>

namespace marloven::ctl {

namespace {

// Names are padded to this width, so that values line up (the longest element name, with its
// indentation, and two blanks).
constexpr std::size_t name_width = 28;

void pad(std::ostream& out, const std::string& text, std::size_t width) {
    out << text;
    for (std::size_t i = text.size(); i < width; ++i) {
        out << ' ';
    }
}

// A name and its value on one line; a name alone when the value is empty.
void name_line(std::ostream& out, int indent, const std::string& name,
               const std::string& text = {}) {
    std::string lead(static_cast<std::size_t>(indent) * 2, ' ');
    if (text.empty()) {
        out << lead << name << '\n';
        return;
    }
    pad(out, lead + name, name_width);
    out << text << '\n';
}

}  // namespace

void table::print(std::ostream& out) const {
    std::vector<std::size_t> widths(headings.size());
    for (std::size_t c = 0; c < headings.size(); ++c) {
        widths[c] = headings[c].size();
        for (const auto& row : rows) {
            widths[c] = std::max(widths[c], c < row.size() ? row[c].size() : 0);
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t c = 0; c < headings.size(); ++c) {
            std::string cell = c < cells.size() ? cells[c] : "";
            text += cell;
            if (c + 1 < headings.size()) {
                text += std::string(widths[c] - cell.size() + 2, ' ');
            }
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        out << text << '\n';
    };
    line(headings);
    for (const auto& row : rows) {
        line(row);
    }
}

std::string access_text(const soap::value& entry) {
    std::string text =
        entry.text_of("Name") + ":" + (entry.text_of("Access") == "true" ? "write" : "read");
    if (entry.text_of("Deny") == "true") {
        text += ":deny";
    }
    return text;
}

void print_record(std::ostream& out, const soap::type& t, const soap::value& v, int indent) {
    for (const soap::element& e : t.elements) {
        const soap::value* field = v.find(e.name);
        if (field == nullptr) {
            continue;
        }
        const soap::type& of = *e.of;
        if (of.kind == soap::kind::structure) {
            name_line(out, indent, e.name);
            print_record(out, of, *field, indent + 1);
        } else if (of.kind == soap::kind::array && of.item->kind == soap::kind::structure &&
                   of.item->name != "AccessSpec") {
            name_line(out, indent, e.name, field->items.empty() ? "-" : "");
            for (std::size_t i = 0; i < field->items.size(); ++i) {
                name_line(out, indent + 1, "[" + std::to_string(i + 1) + "]");
                print_record(out, *of.item, field->items[i], indent + 2);
            }
        } else if (of.kind == soap::kind::array) {
            // One item a line, the first beside the name.
            if (field->items.empty()) {
                name_line(out, indent, e.name, "-");
            }
            for (std::size_t i = 0; i < field->items.size(); ++i) {
                const soap::value& item = field->items[i];
                name_line(out, i == 0 ? indent : 0, i == 0 ? e.name : "",
                          of.item->name == "AccessSpec" ? access_text(item) : item.text);
            }
        } else {
            name_line(out, indent, e.name, field->text);
        }
    }
}

std::string utc_time(const std::string& seconds) {
    long long s = 0;
    try {
        s = std::stoll(seconds);
    } catch (const std::exception&) {
        return seconds;
    }
    if (s == 0) {
        return "-";
    }
    std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string joined(const soap::value* array, const std::string& separator) {
    std::string out;
    if (array != nullptr) {
        for (const soap::value& item : array->items) {
            out += (out.empty() ? "" : separator) + item.text;
        }
    }
    return out;
}

}  // namespace marloven::ctl
