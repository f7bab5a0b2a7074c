// envelope.h: reading a SOAP 1.1 request envelope into a tree of elements: namespaces, xsi:type,
// xsi:nil, the SOAP-ENC array attributes, and multi-reference values (href and id). The guards of
// util/xml_parser.h apply to every message.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "soap/fault.h"
#include "util/xml_parser.h"

namespace marloven::soap {

// The SOAP-ENC array attributes of an element, as sent.
struct array_attributes {
    std::optional<std::string> array_type;
    std::optional<std::string> offset;
    std::optional<std::string> position;
};

// One element of a message.
struct node {
    std::string ns;    // namespace URI, empty for none
    std::string name;  // local name
    std::string text;  // the character data it holds directly
    // xsi:type, with its prefix resolved: the namespace URI and the local name (both empty when
    // the element has none, or its prefix is not declared).
    std::string type_ns;
    std::string type_name;
    bool nil = false;
    bool must_understand = false;  // SOAP-ENV:mustUnderstand (header entries)
    std::string href;              // the id referred to, without "#"; empty for none
    std::string id;
    std::unique_ptr<array_attributes> array;  // null when it has none of them
    std::vector<std::unique_ptr<node>> children;

    // The first child of that name (any namespace), or null.
    const node* child(std::string_view child_name) const;
};

// A request: the envelope's root, the call (the first element of the Body) and the elements that
// carry an id, by id.
struct envelope {
    std::unique_ptr<node> root;
    const node* call = nullptr;
    std::unordered_map<std::string, const node*> ids;
};

// Purpose: builds the tree of a request that arrives in pieces, then checks that it is a SOAP 1.1
// envelope with a call in its Body.
// Ownership: owns the tree until `take()` hands it over.
// Failure: feed returns false on XML that is refused or not well-formed (error() tells why);
// take() throws a Client fault for a message that is not a usable envelope, and a MustUnderstand
// fault for a header entry that must be understood.
// Threads: one thread at a time.
class envelope_reader final : private xml_handler {
  public:
    explicit envelope_reader(const char* encoding, xml_limits limits = {});

    bool feed(std::string_view data, bool last) { return parser_.feed(data, last); }
    const std::string& error() const { return parser_.error(); }
    const xml_stats& stats() const { return parser_.stats(); }

    envelope take();

  private:
    void start_element(std::string_view ns, std::string_view name,
                       const xml_attributes& attributes) override;
    void end_element() override;
    void text(std::string_view data) override;
    void start_namespace(std::string_view prefix, std::string_view uri) override;
    void end_namespace(std::string_view prefix) override;

    guarded_xml_parser parser_;
    std::unique_ptr<node> root_;
    std::vector<node*> open_;
    std::vector<std::pair<std::string, std::string>> bindings_;  // prefix, URI; innermost last
    std::unordered_map<std::string, const node*> ids_;
    std::string duplicate_id_;
};

}  // namespace marloven::soap
