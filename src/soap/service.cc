// service.cc: building a service description.
// SPDX-License-Identifier: MIT
#include "soap/service.h"

#include <cctype>

#include "util/log.h"

namespace marloven::soap {

bool type::is_scalar() const {
    return kind == soap::kind::string || kind == soap::kind::integer ||
           kind == soap::kind::boolean || kind == soap::kind::base64;
}

const std::string* type::name_of(int value) const {
    for (const enum_name& n : names) {
        if (n.value == value && n.written) {
            return &n.name;
        }
    }
    return nullptr;
}

std::optional<int> type::value_of(std::string_view spelling) const {
    for (const enum_name& n : names) {
        if (n.name == spelling) {
            return n.value;
        }
    }
    return std::nullopt;
}

const element* type::find(std::string_view element_name) const {
    for (const element& e : elements) {
        if (e.name == element_name) {
            return &e;
        }
    }
    return nullptr;
}

service::service(std::string name, std::string ns, const std::function<void(service&)>& declare)
    : name_(std::move(name)), ns_(std::move(ns)) {
    scalars_.push_back(type{kind::string, "string", {}, {}, nullptr});
    scalars_.push_back(type{kind::integer, "int", {}, {}, nullptr});
    scalars_.push_back(type{kind::boolean, "boolean", {}, {}, nullptr});
    scalars_.push_back(type{kind::base64, "base64Binary", {}, {}, nullptr});
    declare(*this);
}

const type* service::find_type(std::string_view type_name) const {
    for (const type& t : scalars_) {
        if (t.name == type_name) {
            return &t;
        }
    }
    for (const type& t : types_) {
        if (t.name == type_name) {
            return &t;
        }
    }
    return nullptr;
}

const type& service::type_named(std::string_view type_text) {
    if (type_text.size() > 2 && type_text.ends_with("[]")) {
        const type& item = type_named(type_text.substr(0, type_text.size() - 2));
        std::string array_name = "ArrayOf" + item.name;
        array_name[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(array_name[7])));
        if (const type* t = find_type(array_name)) {
            return *t;
        }
        types_.push_back(type{kind::array, array_name, {}, {}, &item});
        return types_.back();
    }
    const type* t = find_type(type_text);
    VANT_CHECK(t != nullptr, "Unknown SOAP type " + std::string(type_text));
    return *t;
}

std::vector<element> service::elements_of(const std::vector<field>& fields) {
    std::vector<element> out;
    for (const field& f : fields) {
        for (const element& e : out) {
            VANT_CHECK(e.name != f.name, "Element named twice: " + std::string(f.name));
        }
        out.push_back(
            element{std::string(f.name), &type_named(f.type), f.optional, std::string(f.alias)});
    }
    return out;
}

void service::enumeration(std::string_view name, std::vector<enum_name> names) {
    VANT_CHECK(find_type(name) == nullptr, "Type declared twice: " + std::string(name));
    types_.push_back(type{kind::enumeration, std::string(name), {}, std::move(names), nullptr});
}

void service::record(std::string_view name, const std::vector<field>& fields) {
    VANT_CHECK(find_type(name) == nullptr, "Type declared twice: " + std::string(name));
    std::vector<element> elements = elements_of(fields);
    types_.push_back(type{kind::structure, std::string(name), std::move(elements), {}, nullptr});
}

void service::add_method(std::string_view name, const std::vector<field>& params,
                         const std::vector<field>& results) {
    VANT_CHECK(find_method(name) == nullptr, "Method declared twice: " + std::string(name));
    methods_.push_back(method{std::string(name), elements_of(params), elements_of(results)});
}

const method* service::find_method(std::string_view method_name) const {
    for (const method& m : methods_) {
        if (m.name == method_name) {
            return &m;
        }
    }
    return nullptr;
}

}  // namespace marloven::soap
