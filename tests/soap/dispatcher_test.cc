// Tests of serving a call: the response envelope as clients read it, faults, and reading that
// stops at the first refused byte. Every method's results of the real service pass the check
// against its description in vantorelld/searchhandler_test.
// SPDX-License-Identifier: MIT
#include "soap/dispatcher.h"

#include <gtest/gtest.h>

#include "soap_fixture.h"

namespace marloven::soap {
namespace {

std::string body_of(const std::string& payload) {
    const std::string start = "<SOAP-ENV:Body>";
    std::size_t from = payload.find(start);
    std::size_t to = payload.rfind("</SOAP-ENV:Body>");
    return from == std::string::npos || to == std::string::npos
               ? payload
               : payload.substr(from + start.size(), to - from - start.size());
}

TEST(dispatcher, writes_results_in_order_with_their_types) {
    dispatcher d = echo_dispatcher();
    text_transport t(request(
        "Echo", "<p><B>b</B><A>1</A></p><s xsi:type=\"xsd:base64Binary\">PGEmDf8=</s><n>7</n>"));
    call_outcome outcome = d.handle(t);
    EXPECT_FALSE(outcome.failed);
    EXPECT_FALSE(t.error);
    EXPECT_EQ(outcome.method, "Echo");
    EXPECT_NE(t.reply.find(" xmlns:ns=\"urn:t\""), std::string::npos);
    // The carriage return survives a reader as a reference; a byte that XML cannot carry does not
    // break the reply.
    EXPECT_EQ(body_of(t.reply),
              "<ns:EchoResponse><n xsi:type=\"xsd:int\">7</n>"
              "<s xsi:type=\"xsd:string\">&lt;a&amp;&#13;\xef\xbf\xbd</s>"
              "<raw xsi:type=\"xsd:base64Binary\">PGEmDf8=</raw>"
              "<p xsi:type=\"ns:Pair\"><A xsi:type=\"xsd:int\">1</A>"
              "<B xsi:type=\"xsd:string\">b</B></p></ns:EchoResponse>");
    // Arrays in replies: suds and PHP's SoapClient read them (soap_clients).
}

struct fault_case {
    std::string text;
    std::string_view code;
    std::string_view fault_text;
};

class dispatcher_fault_test : public testing::TestWithParam<fault_case> {};

TEST_P(dispatcher_fault_test, answers_with_a_fault_and_no_results) {
    dispatcher d = echo_dispatcher();
    text_transport t(GetParam().text);
    call_outcome outcome = d.handle(t);
    EXPECT_TRUE(outcome.failed);
    EXPECT_TRUE(t.error);
    EXPECT_EQ(outcome.fault_text, GetParam().fault_text);
    EXPECT_EQ(body_of(t.reply), "<SOAP-ENV:Fault><faultcode>" + std::string(GetParam().code) +
                                    "</faultcode><faultstring>" +
                                    std::string(GetParam().fault_text) +
                                    "</faultstring></SOAP-ENV:Fault>");
}

INSTANTIATE_TEST_SUITE_P(
    cases, dispatcher_fault_test,
    testing::Values(
        fault_case{request("Echo", "", "", "urn:other"), "SOAP-ENV:Client",
                   "Unknown method 'Echo' in namespace 'urn:other'"},
        fault_case{request("Echo", "<s/><p/>"), "SOAP-ENV:Client", "Missing parameter 'n'"},
        // The handler's own fault, after it read its parameters.
        fault_case{request("Echo", "<n>-1</n><s/><p/>"), "SOAP-ENV:Server", "BadMagic"},
        fault_case{"<a><b></a>", "SOAP-ENV:Client", "mismatched tag at line 1, column 8"}));

TEST(dispatcher, stops_reading_a_refused_request) {
    dispatcher d = echo_dispatcher();
    // A declaration followed by 64 MB: only the first piece is read.
    std::string text = "<!DOCTYPE a [<!ENTITY e \"e\">]><a>" + std::string(64u << 20, 'x');
    text_transport t(std::move(text), 4096);
    call_outcome outcome = d.handle(t);
    EXPECT_EQ(outcome.fault_text, "Document type declarations are not allowed");
    EXPECT_EQ(t.reads, 1);
}

}  // namespace
}  // namespace marloven::soap
