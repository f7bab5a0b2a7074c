// The SOAP front ends of the running daemon, over real HTTP with raw envelopes: a site set up,
// a document added and found through the search service and the Research pane; the
// transport's body and reply rules; a hostile message refused while the daemon goes on.
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
    std::string post(const std::string& target, const std::string& body,
                     const std::string& headers = {}) {
        return daemon_fixture::post(
            target, body, "Host: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\n" + headers);
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

TEST_F(soap_test, a_site_is_set_up_and_its_document_found_and_read) {
    start_daemon();
    std::string reply = call("AddSource", "<cfg><Name>site</Name></cfg>");
    ASSERT_EQ(first(reply, "Source"), "1") << reply;
    reply = call("AddArchive",
                 "<cfg><Name>daily</Name><Source>1</Source><ACL SOAP-ENC:arrayType="
                 "\"ns:AccessSpec[1]\"><item><Name>All Users</Name><Access>false</Access>"
                 "<Deny>false</Deny></item></ACL></cfg>");
    ASSERT_EQ(first(reply, "Archive"), "1") << reply;
    reply = call("AddCollection",
                 "<cfg><Name>Tax &amp; Law</Name><Archives><item>1</item></Archives></cfg>");
    ASSERT_EQ(first(reply, "Collection"), "1") << reply;

    const std::string page =
        "<html><head><title>Airships</title></head><body><p>Zeppelins over the lake</p></body>"
        "</html>";
    reply = call("AddDocument",
                 "<idxid>1</idxid><url>http://example.org/a</url><mimetype>text/html</mimetype>"
                 "<content>" +
                     marloven::encode_base64(page) + "</content>");
    const std::string guid = first(reply, "docid");
    ASSERT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{32}"))) << reply;

    // A crawl thread processes the stored page; the query then finds it. (The client stacks'
    // tests read it back through every method.)
    const std::string query =
        "<query><Collection>1</Collection><FirstDoc>0</FirstDoc><LastDoc>9</LastDoc>"
        "<Info>INFO_TITLE</Info><Sort>SCORE</Sort><Parser>NETPARSER</Parser>"
        "<QueryString>zeppelins</QueryString></query>";
    ASSERT_TRUE(eventually([&] { return first(call("Query", query), "maxresults") == "1"; }))
        << log();
    EXPECT_EQ(first(call("Query", query), "ID"), guid);

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
    reply = post("/research",
                 envelope("Query", "<queryXml>" + text + "</queryXml>", "urn:Microsoft.Search"));
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
    reply =
        post("/research", envelope("Registration", "<registrationXml/>", "urn:Microsoft.Search"));
    EXPECT_THAT(reply, testing::HasSubstr("marloven vantorell: Tax &amp;amp; Law"));
}

TEST_F(soap_test, transport_reads_bodies_and_writes_replies_as_clients_expect) {
    start_daemon();
    const std::string version = envelope("GetVersion", "");
    // Deflated for a client that accepts it (the deflated form is in the transport's tests).
    const std::string reply = post("/soap", version, "Accept-Encoding: gzip, deflate\r\n");
    EXPECT_THAT(reply, testing::HasSubstr("\r\nContent-Encoding: deflate\r\n\r\n"));
    EXPECT_THAT(reply, testing::Not(testing::HasSubstr("<SOAP-ENV:Body>")));

    // Without a content-length the body ends when the client closes its side.
    http_client c(port_);
    c.send("POST /soap HTTP/1.1\r\n\r\n" + version);
    c.finish_sending();
    EXPECT_EQ(first(c.read_all(), "version"), "2.0.2.1010");

    // The installed WSDL names the address the client used.
    EXPECT_THAT(http_exchange(port_, "GET /wsdl HTTP/1.1\r\nHost: search.example:8123\r\n\r\n"),
                testing::HasSubstr("<soap:address location=\"http://search.example:8123/soap\"/>"));
}

TEST_F(soap_test, hostile_messages_get_a_fault_and_the_daemon_goes_on) {
    start_daemon();
    std::string laughs = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            laughs += "&l" + std::to_string(i - 1) + ";";
        }
        laughs += "\">";
    }
    laughs += "]>" + envelope("GetVersion", "&l9;");
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<a>";
    }
    for (const std::string& hostile : {laughs, deep}) {
        std::string reply = post("/soap", hostile);
        EXPECT_TRUE(reply.starts_with("HTTP/1.1 500 OK\r\n")) << reply.substr(0, 200);
        EXPECT_THAT(reply, testing::HasSubstr("<faultcode>SOAP-ENV:Client</faultcode>"));
    }
    EXPECT_THAT(log(),
                testing::HasSubstr("SOAP fault: Document type declarations are not allowed"));
    EXPECT_THAT(log(), testing::HasSubstr("SOAP fault: Elements nested deeper than 64 levels"));
    EXPECT_EQ(first(call("GetVersion"), "version"), "2.0.2.1010");
    // The plug-in libraries of the installation, shown as FFF plug-ins.
    std::string reply = call("EnumPluginDLLs",
                             "<types SOAP-ENC:arrayType=\"ns:PluginType[1]\">"
                             "<item>GLOBALFFF_PLUGINTYPE</item></types>");
    EXPECT_THAT(
        reply, testing::HasSubstr("<Type xsi:type=\"ns:PluginType\">ARCHIVEFFF_PLUGINTYPE</Type>"));
}

}  // namespace
}  // namespace vant_test
