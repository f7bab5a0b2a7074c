// codec.cc: reading and writing SOAP-encoded values, and the SOAP-ENC array rules with the
// fault texts that clients know.
// SPDX-License-Identifier: MIT
#include "soap/codec.h"

#include <charconv>
#include <limits>
#include <optional>

#include "util/http_text.h"
#include "util/xml_text.h"

namespace marloven::soap {

namespace {

// XML Schema collapses white space around scalar values.
std::string_view trimmed(std::string_view v) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!v.empty() && blank(v.front())) {
        v.remove_prefix(1);
    }
    while (!v.empty() && blank(v.back())) {
        v.remove_suffix(1);
    }
    return v;
}

// The number of an array attribute value that ends in "[" decimal "]". Nothing when the value
// does not; `empty_ok` lets "[]" through as the number -1.
std::optional<std::int64_t> bracketed(std::string_view value, bool empty_ok) {
    if (!value.ends_with(']')) {
        return std::nullopt;
    }
    std::size_t open = value.rfind('[');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view digits = value.substr(open + 1, value.size() - open - 2);
    if (digits.empty()) {
        return empty_ok ? std::optional<std::int64_t>(-1) : std::nullopt;
    }
    std::int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return n;
}

[[noreturn]] void invalid_tag(std::string_view attribute, std::string_view value) {
    throw fault(fault_code::Client, "Invalid value for array encoding tag '" +
                                        std::string(attribute) + "': " + std::string(value));
}

bool is_base64_type(const node& n) {
    return (n.type_ns == xsd_ns && n.type_name == "base64Binary") ||
           (n.type_ns == encoding_ns && (n.type_name == "base64" || n.type_name == "base64Binary"));
}

}  // namespace

void decoder::count_visits(std::size_t n) {
    visits_ += n;
    if (visits_ > limits_.max_visits) {
        throw fault(fault_code::Client, "The message's values refer to more than " +
                                            std::to_string(limits_.max_visits) + " elements");
    }
}

const node& decoder::deref(const node& n) {
    const node* current = &n;
    for (int hops = 0; !current->href.empty(); ++hops) {
        constexpr int max_hops = 8;
        if (hops == max_hops) {
            throw fault(fault_code::Client,
                        "Reference chain too long at id '" + current->href + "'");
        }
        auto it = envelope_.ids.find(current->href);
        if (it == envelope_.ids.end()) {
            throw fault(fault_code::Client,
                        "No element of the message has the id '" + current->href + "'");
        }
        current = it->second;
    }
    count_visits(1);
    return *current;
}

std::vector<const node*> decoder::array_items(const node& a) {
    if (a.nil) {
        if (!a.children.empty()) {
            throw fault(fault_code::Client,
                        "Got xsi:nil attribute on array but parameter has values..");
        }
        return {};
    }
    const std::size_t count = a.children.size();
    std::size_t size = count;
    if (a.array && a.array->array_type) {
        auto n = bracketed(*a.array->array_type, true);
        if (!n) {
            invalid_tag("arrayType", *a.array->array_type);
        }
        if (*n >= 0) {
            size = static_cast<std::size_t>(*n);
        }
    }
    if (count > size) {
        throw fault(fault_code::Client,
                    "Error de-serializing array.  Too many values in array.  Array specified " +
                        std::to_string(size) + ", found " + std::to_string(count) + ".");
    }
    if (size > limits_.max_array) {
        throw fault(fault_code::Client, "Error de-serializing array.  Array specified " +
                                            std::to_string(size) + ", more than the limit of " +
                                            std::to_string(limits_.max_array) + ".");
    }
    count_visits(size);
    std::size_t position = 0;
    if (a.array && a.array->offset) {
        auto k = bracketed(*a.array->offset, false);
        if (!k) {
            invalid_tag("offset", *a.array->offset);
        }
        position = static_cast<std::size_t>(*k);
    }
    std::vector<const node*> items(size, nullptr);
    for (const auto& c : a.children) {
        if (c->array && c->array->position) {
            auto p = bracketed(*c->array->position, false);
            if (!p) {
                invalid_tag("position", *c->array->position);
            }
            if (static_cast<std::size_t>(*p) < position) {
                throw fault(fault_code::Client,
                            "Error decoding array, position attribute cannot point to a previous "
                            "element. Current position: [" +
                                std::to_string(position) + "], next position: [" +
                                std::to_string(*p) + "]");
            }
            position = static_cast<std::size_t>(*p);
        }
        if (position >= size) {
            throw fault(fault_code::Client,
                        "Error decoding array, position out of range. Current size: [" +
                            std::to_string(size) + "], requested position: [" +
                            std::to_string(position) + "]");
        }
        items[position++] = c.get();
    }
    return items;
}

void decoder::read_value(const node& n, const type& t, value& out) {
    switch (t.kind) {
        case kind::string:
        case kind::base64:
        case kind::enumeration:
            out.text = text(n, t);
            break;
        case kind::integer:
            out.text = std::to_string(integer(n, std::numeric_limits<std::int32_t>::min(),
                                              std::numeric_limits<std::int32_t>::max()));
            break;
        case kind::boolean:
            out.text = boolean(n) ? "true" : "false";
            break;
        case kind::structure: {
            element_reader r(*this, n, t.elements);
            r.all(out);
            break;
        }
        case kind::array: {
            std::vector<const node*> items = array_items(n);
            out.items.assign(items.size(), value());
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (items[i] != nullptr) {
                    read(*items[i], *t.item, out.items[i]);
                }
            }
            break;
        }
    }
}

std::string decoder::text(const node& n, const type& t) {
    if (n.nil) {
        return {};
    }
    std::string out = t.kind == kind::base64 || (t.kind == kind::string && is_base64_type(n))
                          ? decode_base64(n.text)
                          : n.text;
    text_ += out.size();
    if (text_ > limits_.max_text) {
        throw fault(fault_code::Client, "The message's values take more than " +
                                            std::to_string(limits_.max_text) + " bytes");
    }
    return out;
}

std::int64_t decoder::integer(const node& n, std::int64_t low, std::int64_t high) {
    if (n.nil) {
        return 0;
    }
    std::string_view v = trimmed(n.text);
    if (v.starts_with('+')) {
        v.remove_prefix(1);
    }
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size() || value < low ||
        value > high) {
        throw fault(fault_code::Client, "Cannot read '" + std::string(n.text.substr(0, 64)) +
                                            "' of element '" + n.name + "' as an int");
    }
    return value;
}

bool decoder::boolean(const node& n) {
    if (n.nil) {
        return false;
    }
    std::string_view v = trimmed(n.text);
    if (v == "true" || v == "1") {
        return true;
    }
    if (v == "false" || v == "0") {
        return false;
    }
    throw fault(fault_code::Client, "Cannot read '" + std::string(n.text.substr(0, 64)) +
                                        "' of element '" + n.name + "' as a boolean");
}

const element& element_reader::described(std::string_view name) const {
    for (const element& e : described_) {
        if (e.name == name) {
            return e;
        }
    }
    fatal_assertion_at("Element not described: " + std::string(name), __FILE__, __LINE__);
}

const node* element_reader::find(const element& e) const {
    const node* alias = nullptr;
    for (const auto& c : node_.children) {
        if (c->name == e.name) {
            return c.get();
        }
        if (alias == nullptr && !e.alias.empty() && c->name == e.alias) {
            alias = c.get();
        }
    }
    return alias;
}

const element& element_writer::next(std::string_view name) {
    for (std::size_t i = next_; i < described_.size(); ++i) {
        if (described_[i].name == name) {
            next_ = i + 1;
            return described_[i];
        }
        VANT_CHECK(described_[i].optional, "Element " + described_[i].name + " of " +
                                               std::string(what_) + " left out before " +
                                               std::string(name));
    }
    fatal_assertion_at(
        "Element " + std::string(name) + " not described in " + std::string(what_) + " here",
        __FILE__, __LINE__);
}

void element_writer::finish() {
    for (std::size_t i = next_; i < described_.size(); ++i) {
        VANT_CHECK(described_[i].optional,
                   "Element " + described_[i].name + " of " + std::string(what_) + " not written");
    }
    next_ = described_.size();
}

std::string encoder::qualified(const type& t) const {
    return (t.is_scalar() ? std::string("xsd") : prefix_) + ":" + t.name;
}

void encoder::any_value(std::string_view name, const type& t, const soap::value& v) {
    switch (t.kind) {
        case kind::string:
        case kind::integer:
        case kind::boolean:
        case kind::base64:
        case kind::enumeration:
            scalar(name, t, v.text);
            break;
        case kind::structure:
            open(name, t);
            for (const auto& [field, ignored] : v.fields) {
                VANT_CHECK(t.find(field) != nullptr,
                           "Element " + field + " not described in " + t.name);
            }
            for (const element& e : t.elements) {
                if (const soap::value* field = v.find(e.name)) {
                    any_value(e.name, *e.of, *field);
                }
            }
            close(name);
            break;
        case kind::array:
            open_array(name, t, v.items.size());
            for (const soap::value& item : v.items) {
                any_value("item", *t.item, item);
            }
            close(name);
            break;
    }
}

void encoder::scalar(std::string_view name, const type& t, std::string_view text) {
    out_ += '<';
    out_ += name;
    out_ += " xsi:type=\"";
    out_ += qualified(t);
    out_ += "\">";
    if (t.kind == kind::base64) {
        out_ += encode_base64(text);
    } else {
        append_xml_text(out_, text);
    }
    close(name);
}

void encoder::open(std::string_view name, const type& t) {
    out_ += '<';
    out_ += name;
    out_ += " xsi:type=\"";
    out_ += qualified(t);
    out_ += "\">";
}

void encoder::open_array(std::string_view name, const type& t, std::size_t size) {
    out_ += '<';
    out_ += name;
    out_ += " xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"";
    out_ += qualified(*t.item);
    out_ += '[';
    out_ += std::to_string(size);
    out_ += "]\">";
}

void encoder::close(std::string_view name) {
    out_ += "</";
    out_ += name;
    out_ += '>';
}

}  // namespace marloven::soap
