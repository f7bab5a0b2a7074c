// envelope.cc: the request envelope reader.
// SPDX-License-Identifier: MIT
#include "soap/envelope.h"

#include "soap/service.h"

namespace marloven::soap {

namespace {

// Older clients write the instance attributes in the namespace of the 1999 schema draft.
constexpr std::string_view xsi_1999_ns = "http://www.w3.org/1999/XMLSchema-instance";

bool is_true(std::string_view v) {
    return v == "true" || v == "1";
}

}  // namespace

const node* node::child(std::string_view child_name) const {
    for (const auto& c : children) {
        if (c->name == child_name) {
            return c.get();
        }
    }
    return nullptr;
}

envelope_reader::envelope_reader(const char* encoding, xml_limits limits)
    : parser_(*this, encoding, limits) {}

void envelope_reader::start_namespace(std::string_view prefix, std::string_view uri) {
    bindings_.emplace_back(prefix, uri);
}

void envelope_reader::end_namespace(std::string_view prefix) {
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (it->first == prefix) {
            bindings_.erase(std::next(it).base());
            return;
        }
    }
}

void envelope_reader::start_element(std::string_view ns, std::string_view name,
                                    const xml_attributes& attributes) {
    auto n = std::make_unique<node>();
    n->ns = ns;
    n->name = name;
    auto instance = [&](std::string_view attribute) {
        auto v = attributes.find(xsi_ns, attribute);
        return v ? v : attributes.find(xsi_1999_ns, attribute);
    };
    if (auto type = instance("type")) {
        std::string_view qname = *type;
        std::size_t colon = qname.find(':');
        std::string_view prefix = colon == std::string_view::npos ? "" : qname.substr(0, colon);
        for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
            if (it->first == prefix) {
                n->type_ns = it->second;
                n->type_name = qname.substr(colon == std::string_view::npos ? 0 : colon + 1);
                break;
            }
        }
    }
    auto nil = instance("nil");
    n->nil = (nil && is_true(*nil)) || (instance("null") && is_true(*instance("null")));
    if (auto href = attributes.find("", "href")) {
        n->href = href->starts_with('#') ? href->substr(1) : *href;
    }
    auto must_understand = attributes.find(envelope_ns, "mustUnderstand");
    n->must_understand = must_understand && is_true(*must_understand);
    if (auto id = attributes.find("", "id")) {
        n->id = *id;
    }
    auto array_type = attributes.find(encoding_ns, "arrayType");
    auto offset = attributes.find(encoding_ns, "offset");
    auto position = attributes.find(encoding_ns, "position");
    if (array_type || offset || position) {
        n->array = std::make_unique<array_attributes>();
        if (array_type) {
            n->array->array_type = std::string(*array_type);
        }
        if (offset) {
            n->array->offset = std::string(*offset);
        }
        if (position) {
            n->array->position = std::string(*position);
        }
    }
    if (!n->id.empty() && !ids_.emplace(n->id, n.get()).second && duplicate_id_.empty()) {
        duplicate_id_ = n->id;
    }
    node* raw = n.get();
    if (open_.empty()) {
        root_ = std::move(n);
    } else {
        open_.back()->children.push_back(std::move(n));
    }
    open_.push_back(raw);
}

void envelope_reader::end_element() {
    open_.pop_back();
}

void envelope_reader::text(std::string_view data) {
    if (!open_.empty()) {
        open_.back()->text.append(data);
    }
}

envelope envelope_reader::take() {
    if (!root_ || root_->ns != envelope_ns || root_->name != "Envelope") {
        throw fault(fault_code::VersionMismatch, "The message is not a SOAP 1.1 envelope");
    }
    if (!duplicate_id_.empty()) {
        throw fault(fault_code::Client,
                    "Two elements of the message have the id '" + duplicate_id_ + "'");
    }
    const node* body = nullptr;
    for (const auto& c : root_->children) {
        if (c->ns != envelope_ns) {
            continue;
        }
        if (c->name == "Header") {
            // No header entry is understood here.
            for (const auto& entry : c->children) {
                if (entry->must_understand) {
                    throw fault(fault_code::MustUnderstand,
                                "The header entry '" + entry->name + "' is not understood");
                }
            }
        } else if (c->name == "Body" && body == nullptr) {
            body = c.get();
        }
    }
    if (body == nullptr || body->children.empty()) {
        throw fault(fault_code::Client, "The envelope has no call in its Body");
    }
    envelope e;
    e.call = body->children.front().get();
    e.root = std::move(root_);
    e.ids = std::move(ids_);
    return e;
}

}  // namespace marloven::soap
