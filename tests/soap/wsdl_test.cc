// Tests of the WSDL document of the search service, read with libxml2 as a client toolkit reads
// it: well-formed, every type, message and binding it names is defined, and the address is the
// placeholder the server fills in.
// SPDX-License-Identifier: MIT
#include "soap/wsdl.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <memory>
#include <set>

#include "soap/contract.h"

namespace marloven::soap {
namespace {

struct doc_free {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct context_free {
    void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};

class wsdl_document {
  public:
    explicit wsdl_document(const std::string& text)
        : doc_(xmlReadMemory(text.data(), static_cast<int>(text.size()), "wsdl", nullptr,
                             XML_PARSE_NONET)) {
        if (doc_) {
            context_.reset(xmlXPathNewContext(doc_.get()));
            xmlXPathRegisterNs(context_.get(), BAD_CAST "w",
                               BAD_CAST "http://schemas.xmlsoap.org/wsdl/");
            xmlXPathRegisterNs(context_.get(), BAD_CAST "x",
                               BAD_CAST "http://www.w3.org/2001/XMLSchema");
            xmlXPathRegisterNs(context_.get(), BAD_CAST "s",
                               BAD_CAST "http://schemas.xmlsoap.org/wsdl/soap/");
        }
    }
    bool well_formed() const { return doc_ != nullptr; }

    // The values an XPath expression selects (attribute or element values).
    std::multiset<std::string> values(const char* xpath) const {
        std::multiset<std::string> out;
        xmlXPathObject* result = xmlXPathEvalExpression(BAD_CAST xpath, context_.get());
        if (result != nullptr && result->nodesetval != nullptr) {
            for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
                xmlChar* v = xmlNodeGetContent(result->nodesetval->nodeTab[i]);
                out.insert(reinterpret_cast<const char*>(v));
                xmlFree(v);
            }
        }
        xmlXPathFreeObject(result);
        return out;
    }

  private:
    std::unique_ptr<xmlDoc, doc_free> doc_;
    std::unique_ptr<xmlXPathContext, context_free> context_;
};

std::set<std::string> without_prefix(const std::multiset<std::string>& refs,
                                     std::string_view prefix, std::string_view suffix = {}) {
    std::set<std::string> out;
    for (std::string r : refs) {
        if (r.starts_with(prefix)) {
            r = r.substr(prefix.size());
            if (!suffix.empty() && r.ends_with(suffix)) {
                r.resize(r.size() - suffix.size());
            }
            out.insert(r);
        }
    }
    return out;
}

TEST(wsdl, search_service_document_is_complete_and_consistent) {
    const service& s = search_service();
    const std::string text = wsdl(s, wsdl_address_placeholder);
    wsdl_document d(text);
    ASSERT_TRUE(d.well_formed());

    // Every type named anywhere is defined in the schema, and only once.
    std::multiset<std::string> defined =
        d.values("//x:schema/x:complexType/@name | //x:schema/x:simpleType/@name");
    std::set<std::string> unique(defined.begin(), defined.end());
    EXPECT_EQ(unique.size(), defined.size());
    std::set<std::string> referenced =
        without_prefix(d.values("//x:element/@type | //w:part/@type"), "tns:");
    for (const std::string& t :
         without_prefix(d.values("//@*[local-name()='arrayType']"), "tns:", "[]")) {
        referenced.insert(t);
    }
    for (const std::string& t : referenced) {
        EXPECT_TRUE(unique.contains(t)) << "undefined type " << t;
    }
    EXPECT_TRUE(unique.contains("ArrayOfSourceInfo"));

    // One operation per method in the port type and the binding, each with its two messages.
    std::multiset<std::string> operations = d.values("//w:portType/w:operation/@name");
    EXPECT_EQ(operations.size(), 71u);
    EXPECT_EQ(d.values("//w:binding/w:operation/@name"), operations);
    std::set<std::string> messages = without_prefix(d.values("//w:message/@name"), "");
    for (const std::string& m : without_prefix(d.values("//w:operation/@message"), "tns:")) {
        EXPECT_TRUE(messages.contains(m)) << "undefined message " << m;
    }
    EXPECT_EQ(d.values("//w:message[@name='GetCrawlLogResponse']/w:part/@name"),
              (std::multiset<std::string>{"data", "log"}));
    // RPC style, SOAP encoding, for every input and output.
    std::multiset<std::string> uses = d.values("//s:body/@use");
    EXPECT_EQ(uses.size(), operations.size() * 2);
    EXPECT_EQ(uses.count("encoded"), uses.size());
    EXPECT_EQ(d.values("//s:binding/@style"), std::multiset<std::string>{"rpc"});

    // The address is the placeholder, in double quotes, once.
    EXPECT_EQ(d.values("//s:address/@location"),
              std::multiset<std::string>{std::string(wsdl_address_placeholder)});
    EXPECT_EQ(text.find("\"@@@@@@@@@@\""), text.rfind("\"@@@@@@@@@@\""));
}

}  // namespace
}  // namespace marloven::soap
