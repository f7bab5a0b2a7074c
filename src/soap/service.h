// service.h: the description of a SOAP service: its namespace, its named types (enumerations,
// records, SOAP-encoded arrays) and its methods with their parameters and results. The handler
// that serves the methods, the encoder and decoder that check every value against its type, and
// the WSDL generator all read the same description, so the wire and the WSDL cannot drift apart.
// SPDX-License-Identifier: MIT
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marloven::soap {

inline constexpr std::string_view envelope_ns = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view encoding_ns = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr std::string_view xsi_ns = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr std::string_view xsd_ns = "http://www.w3.org/2001/XMLSchema";

enum class kind { string, integer, boolean, base64, enumeration, structure, array };

struct type;

// One element of a record, or one parameter or result of a method.
struct element {
    std::string name;
    const type* of = nullptr;
    bool optional = false;  // may be left out (written only when it has a value)
    std::string alias;      // a parameter read under this name when `name` is absent
};

// One name of an enumeration. Several names may read as one value; the first name of a value
// that is `written` is the one sent.
struct enum_name {
    std::string name;
    int value = 0;
    bool written = true;
};

// Purpose: one type of the service: a scalar of XML Schema (string, int, boolean,
// base64Binary), an enumeration (sent as a name), a record, or a SOAP-encoded array.
// Ownership: owned by its `service`; types point at each other.
// Threads: immutable once the service is built.
struct type {
    soap::kind kind = soap::kind::string;
    std::string name;               // the schema name: "int", "SourceInfo", "ArrayOfString"
    std::vector<element> elements;  // records, in the order written
    std::vector<enum_name> names;   // enumerations
    const type* item = nullptr;     // arrays

    bool is_scalar() const;
    // The written name of `value`, or nothing for a value without one.
    const std::string* name_of(int value) const;
    // The value a name reads as, or nothing.
    std::optional<int> value_of(std::string_view spelling) const;
    // A record element by name, or null.
    const element* find(std::string_view element_name) const;
};

struct method {
    std::string name;
    std::vector<element> params;
    std::vector<element> results;  // in the order written
};

// A field of a record or method as it is declared: `type` names a type declared before, a
// scalar ("string", "int", "boolean", "base64Binary"), or either of them followed by "[]" for a
// SOAP-encoded array of it.
struct field {
    std::string_view name;
    std::string_view type;
    bool optional = false;
    std::string_view alias = {};
};

// Purpose: the description of one service, built once by its declaring function.
// Ownership: owns its types (their addresses stay put) and methods.
// Failure: a declaration that names an unknown type or repeats a name is a broken invariant.
// Threads: built on one thread, then immutable.
class service {
  public:
    // `declare` declares the types and methods; the service is immutable afterwards.
    service(std::string name, std::string ns, const std::function<void(service&)>& declare);
    service(const service&) = delete;
    service& operator=(const service&) = delete;

    void enumeration(std::string_view name, std::vector<enum_name> names);
    void record(std::string_view name, const std::vector<field>& fields);
    void add_method(std::string_view name, const std::vector<field>& params,
                    const std::vector<field>& results);

    const std::string& name() const { return name_; }
    const std::string& ns() const { return ns_; }
    // Every type in the order declared (scalars are not listed; an array type follows the
    // declaration that first used it).
    const std::deque<type>& types() const { return types_; }
    const std::vector<method>& methods() const { return methods_; }
    const method* find_method(std::string_view method_name) const;
    // A declared type, a scalar or an array of either; fatal when there is no such type.
    const type& type_named(std::string_view type_text);

  private:
    std::vector<element> elements_of(const std::vector<field>& fields);
    const type* find_type(std::string_view type_name) const;

    std::string name_;
    std::string ns_;
    std::deque<type> scalars_;
    std::deque<type> types_;
    std::vector<method> methods_;
};

}  // namespace marloven::soap
