// Tests of the Research-pane provider: the query packets Office clients send, service
// identifiers, and the provider update byte for byte. Answers with results are tested against a
// running daemon (tests/integration/soap_test.cc).
// SPDX-License-Identifier: MIT
#include "vantorelld/researchhandler.h"

#include <gtest/gtest.h>

#include "api/api_fixture.h"

namespace marloven {
namespace {

// A query packet for the collection `domain`, with `range` inside, and the second query text that
// Office adds (which is not the query).
std::string packet(std::string_view domain, std::string_view text, std::string_view range) {
    return "<QueryPacket xmlns=\"urn:Microsoft.Search.Query\"><Query domain=\"" +
           std::string(domain) + "\"><Context><QueryText>" + std::string(text) +
           "</QueryText></Context>" + std::string(range) +
           "<OfficeContext xmlns=\"urn:Microsoft.Search.Query.Office.Context\">"
           "<QueryText>not this one</QueryText></OfficeContext></Query></QueryPacket>";
}

std::string entries(const std::vector<research_query>& queries) {
    std::string out;
    for (const research_query& q : queries) {
        out += std::to_string(q.collection) + ":" + std::to_string(q.first) + "-" +
               std::to_string(q.last) + ":" + q.text + ";";
    }
    return out;
}

struct packet_case {
    std::string xml;
    std::string_view queries;
};

class query_packet_test : public testing::TestWithParam<packet_case> {};

TEST_P(query_packet_test, reads_the_queries_of_this_server) {
    EXPECT_EQ(entries(parse_query_packet(GetParam().xml)), GetParam().queries) << GetParam().xml;
}

const std::string five = research_service_id(5);

INSTANTIATE_TEST_SUITE_P(
    cases, query_packet_test,
    testing::Values(
        packet_case{packet(five, "tax", ""), "5:0-4:tax;"},
        // The domain is read without regard to case, and without leading zeros.
        packet_case{packet("{a-4d61-726c-6f76-656e52657365}", "x", ""), "10:0-4:x;"},
        packet_case{packet("{0000000A-0000-0000-0000-000000000000}", "x", ""), ""},
        // Values that are no positive numbers are left alone.
        packet_case{packet(five, "x",
                           "<Range><StartAt>2147483647</StartAt><Count>2147483647"
                           "</Count></Range>"),
                    "5:2147483646-2147483647:x;"},
        // A packet that is not well-formed gives nothing, not even the queries before the error.
        packet_case{packet(five, "x", "<Range>"), ""},
        packet_case{"<!DOCTYPE q [<!ENTITY e \"x\">]>" + packet(five, "&e;", ""), ""}));

TEST(research_service_id, reads_back_its_collection) {
    EXPECT_EQ(research_service_id(255), "{000000FF-4D61-726C-6F76-656E52657365}");
    EXPECT_EQ(research_collection(research_service_id(123456)), 123456);
    EXPECT_EQ(research_collection("{FFFFFFFF-4D61-726C-6F76-656E52657365}"), std::nullopt);
    EXPECT_EQ(research_collection("{123456789-4D61-726C-6F76-656E52657365}"), std::nullopt);
}

class researchhandler_test : public api_fixture {};

TEST_F(researchhandler_test, provider_update_lists_the_collections_the_caller_may_read) {
    storage_->collections.add(
        db_, CollectionConfiguration{"Tax & <Law>", "", {}, {grant("ann", access_type::read)}});
    storage_->collections.add(db_, CollectionConfiguration{"Secret", "", {}, {}});
    const std::string head =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><ProviderUpdate "
        "xmlns=\"urn:Microsoft.Search.Registration.Response\"><Status>SUCCESS</Status>"
        "<Providers><Provider><Message>marloven vantorell research library</Message><Id>" +
        std::string(research_provider_id) + "</Id><Name>marloven vantorell</Name>";
    const std::string services =
        "<AboutPath/><Type>SOAP</Type><Services><Service><Id>" + research_service_id(1) +
        "</Id><Name>marloven vantorell: Tax &amp; &lt;Law&gt;</Name><Description>marloven "
        "vantorell collection</Description><Copyright>Copyright (c) marloven. All rights "
        "reserved.</Copyright><Display>On</Display><Category>RESEARCH_GENERAL</Category>"
        "</Service></Services></Provider></Providers></ProviderUpdate>";

    api_session ann = user("ann");
    EXPECT_EQ(MarlovenResearchHandler(ann, "search.example", 2200, false).provider_update(),
              head +
                  "<QueryPath>http://search.example:2200/research</QueryPath>"
                  "<RegistrationPath>http://search.example:2200/research</RegistrationPath>" +
                  services);
    // Port 80 is not named; the registration path is always http.
    EXPECT_NE(MarlovenResearchHandler(ann, "h", 80, true)
                  .provider_update()
                  .find("<QueryPath>https://h/research</QueryPath>"
                        "<RegistrationPath>http://h/research</RegistrationPath>"),
              std::string::npos);
}

TEST_F(researchhandler_test, answers_only_the_queries_that_may_run) {
    storage_->collections.add(db_, CollectionConfiguration{"Secret", "", {}, {}});
    api_session bob = user("bob");
    MarlovenResearchHandler handler(bob, "h", 2200, false);
    const std::string empty =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><ResponsePacket revision=\"1\" "
        "xmlns=\"urn:Microsoft.Search.Response\"></ResponsePacket>";
    EXPECT_EQ(handler.response_packet("<QueryPacket"), empty) << "malformed";
    EXPECT_EQ(handler.response_packet(packet(research_service_id(1), "x", "")), empty)
        << "bob may not read the collection";
}

}  // namespace
}  // namespace marloven
