// xml_parser.h: expat with the guards that every reader of XML from outside the daemon needs
// (SOAP envelopes, Research-pane query packets): no document type declaration, so no entity is
// ever declared, expanded or fetched; bounded nesting depth, element count, input size and parser
// memory; namespace processing.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct XML_ParserStruct;

namespace marloven {

struct xml_limits {
    std::size_t max_depth = 64;
    std::size_t max_elements = 100000;
    std::size_t max_input = 16u << 20;          // bytes fed in all
    std::size_t max_parser_memory = 64u << 20;  // bytes expat may hold at one time
};

// What a parse has used so far.
struct xml_stats {
    std::size_t elements = 0;
    std::size_t deepest = 0;  // the deepest nesting reached (the root element is 1)
    std::size_t input = 0;
    std::size_t text = 0;                // bytes of character data reported
    std::size_t parser_memory_peak = 0;  // the most memory expat held at one time
};

// The attributes of a start tag, as expat hands them over (names "uri\xff" + "local" when
// namespaced).
class xml_attributes {
  public:
    explicit xml_attributes(const char** pairs) : pairs_(pairs) {}
    // The value of the attribute `name` in namespace `ns` ("" for an attribute without one).
    std::optional<std::string_view> find(std::string_view ns, std::string_view name) const;

  private:
    const char** pairs_;
};

// Purpose: receives the events of a parse.
// Threads: called on the thread that feeds the parser.
class xml_handler {
  public:
    virtual ~xml_handler() = default;
    // `ns` is the element's namespace URI, empty when it has none.
    virtual void start_element(std::string_view ns, std::string_view name,
                               const xml_attributes& attributes) = 0;
    virtual void end_element() = 0;
    virtual void text(std::string_view data) = 0;
    // Namespace declarations come before the start tag that holds them and end after its end
    // tag; `prefix` is empty for the default namespace.
    virtual void start_namespace(std::string_view /*prefix*/, std::string_view /*uri*/) {}
    virtual void end_namespace(std::string_view /*prefix*/) {}
};

// Purpose: parses one document that arrives in pieces, refusing it as soon as it breaks a guard:
// a document type declaration, a nesting deeper than the limit, more elements than the limit,
// more input than the limit, or more parser memory than the limit. A handler may refuse the
// document too (stop). After a refusal nothing more is reported.
// Ownership: owns the expat parser; borrows the handler, which must outlive it.
// Failure: returned (feed gives false; error() tells why).
// Threads: one thread at a time.
class guarded_xml_parser {
  public:
    // `encoding`: the character set to read the document in, overriding its own declaration;
    // null to let the document say (UTF-8 when it does not).
    guarded_xml_parser(xml_handler& handler, const char* encoding, xml_limits limits = {});
    ~guarded_xml_parser();
    guarded_xml_parser(const guarded_xml_parser&) = delete;
    guarded_xml_parser& operator=(const guarded_xml_parser&) = delete;

    // Parses the next piece (`last` for the final one); false once the document is refused or
    // not well-formed.
    bool feed(std::string_view data, bool last);
    // Refuses the document with `reason` (for handlers).
    void stop(std::string reason);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    const xml_stats& stats() const { return stats_; }

    // The separator between namespace URI and local name in expat's names.
    static constexpr char separator = '\xff';

  private:
    struct callbacks;
    struct memory;

    xml_handler& handler_;
    xml_limits limits_;
    xml_stats stats_;
    std::size_t depth_ = 0;
    std::size_t memory_in_use_ = 0;
    std::string error_;
    XML_ParserStruct* parser_ = nullptr;
};

}  // namespace marloven
