// value.h: a value of any type of a service, for clients that work from the service's
// description alone (vantorellctl): the codec reads any response into it and writes it into any
// request, checking it against the described type as it does for typed records.
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marloven::soap {

// Purpose: one value: a scalar or an enumeration as its text (a boolean "true" or "false", a
// number in decimal, base64Binary as its decoded bytes), a record as its elements in the order
// given, or an array as its items. Which of these it is, the described type says.
// Ownership: owns its parts.
// Threads: a plain value.
struct value {
    std::string text;
    std::vector<std::pair<std::string, value>> fields;
    std::vector<value> items;

    value() = default;
    value(std::string t) : text(std::move(t)) {}  // NOLINT: a scalar is its text
    value(const char* t) : text(t) {}             // NOLINT
    static value list(std::vector<value> items) {
        value v;
        v.items = std::move(items);
        return v;
    }

    // The element `name` of a record, or null.
    const value* find(std::string_view name) const {
        for (const auto& [n, v] : fields) {
            if (n == name) {
                return &v;
            }
        }
        return nullptr;
    }
    // The element `name`, added at the end when the record has none.
    value& at(std::string_view name) {
        for (auto& [n, v] : fields) {
            if (n == name) {
                return v;
            }
        }
        return fields.emplace_back(std::string(name), value()).second;
    }
    // The text of element `name`, or "" when there is none.
    const std::string& text_of(std::string_view name) const {
        static const std::string none;
        const value* v = find(name);
        return v != nullptr ? v->text : none;
    }
};

}  // namespace marloven::soap
