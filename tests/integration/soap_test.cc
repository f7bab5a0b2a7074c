// The SOAP front ends of the running daemon, over real HTTP with raw envelopes: a document added
// and found through the Research pane. (The client stacks' tests call every method; the envelope
// reader's guards and the transport's body and reply rules are unit tests.)
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>

#include <regex>

#include "daemon_fixture.h"
#include "util/http_text.h"

namespace vant_test {
namespace {

constexpr const char* ns = "http://marloven.invalid/search/";

class soap_test : public daemon_fixture {
  protected:
    static std::string envelope(const std::string& method, const std::string& content,
                                const std::string& method_ns = ns) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
               "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
               "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
               "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><SOAP-ENV:Body><m:" +
               method + " xmlns:m=\"" + method_ns + "\">" + content + "</m:" + method +
               "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    }
    std::string post(const std::string& target, const std::string& body) {
        return daemon_fixture::post(target, body,
                                    "Host: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n");
    }
    std::string call(const std::string& method, const std::string& content = {}) {
        return post("/soap", envelope(method, content));
    }
    // The text of the first element `name` of a reply.
    static std::string first(const std::string& reply, const std::string& name) {
        std::smatch m;
        return std::regex_search(reply, m,
                                 std::regex("<" + name + "(?: [^>]*)?>([^<]*)</" + name + ">"))
                   ? m[1].str()
                   : "(no " + name + ")";
    }
    static std::string unescaped(std::string text) {
        for (auto [from, to] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}}) {
            text = std::regex_replace(text, std::regex(from), to);
        }
        return std::regex_replace(text, std::regex("&amp;"), "&");
    }
};

TEST_F(soap_test, a_document_added_is_found_through_the_research_pane) {
    add_archive("");
    add_record(marloven::CollectionConfiguration{"Tax", "", {1}, {}});
    start_daemon();
    const std::string page =
        "<html><head><title>Airships</title></head><body><p>Zeppelins over the lake</p></body>"
        "</html>";
    std::string reply = call("AddDocument",
                             "<idxid>1</idxid><url>http://example.org/a</url><mimetype>text/html"
                             "</mimetype><content>" +
                                 marloven::encode_base64(page) + "</content>");
    ASSERT_TRUE(std::regex_match(first(reply, "docid"), std::regex("[0-9a-f]{32}"))) << reply;

    // The Research pane searches the collection the packet names.
    const std::string packet =
        "<QueryPacket xmlns=\"urn:Microsoft.Search.Query\"><Query "
        "domain=\"{00000001-4D61-726C-6F76-656E52657365}\"><Context><QueryText>airships"
        "</QueryText></Context><Range><StartAt>1</StartAt><Count>3</Count></Range></Query>"
        "</QueryPacket>";
    std::string text;
    for (char c : packet) {
        text += c == '<' ? "&lt;" : c == '&' ? "&amp;" : std::string(1, c);
    }
    // A crawl thread processes the stored page; the query then finds it.
    const std::string query =
        envelope("Query", "<queryXml>" + text + "</queryXml>", "urn:Microsoft.Search");
    ASSERT_TRUE(eventually([&] {
        reply = post("/research", query);
        return reply.find("TotalAvailable&gt;1&lt;") != std::string::npos;
    })) << log();
    EXPECT_EQ(unescaped(first(reply, "return")),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><ResponsePacket revision=\"1\" "
              "xmlns=\"urn:Microsoft.Search.Response\"><Response "
              "domain=\"{00000001-4D61-726C-6F76-656E52657365}\"><Range><StartAt>1</StartAt>"
              "<Count>3</Count><TotalAvailable>1</TotalAvailable><Results><Content "
              "xmlns=\"urn:Microsoft.Search.Response.Content\"><Heading collapsible=\"true\">"
              "<Text>Airships</Text><Hyperlink url=\"http://example.org/a\"><Text>"
              "http://example.org/a</Text></Hyperlink></Heading><HorizontalRule/></Content>"
              "</Results></Range><Status>SUCCESS</Status></Response></ResponsePacket>")
        << reply;
}

}  // namespace
}  // namespace vant_test
