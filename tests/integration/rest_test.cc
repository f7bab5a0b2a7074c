// The REST interface of the running daemon: status, search over an index built beforehand,
// document reads in the three forms, and upload (every refusal and parameter rule is in the unit
// tables).
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>

#include <tuple>

#include "daemon_fixture.h"
#include "worker/FFF/renderers.h"

namespace vant_test {
namespace {

using namespace marloven;

constexpr const char* page_guid = "0123456789abcdef0123456789abcdef";
constexpr std::int64_t page_time = 1700000000;

class rest_test : public daemon_fixture {
  protected:
    // Archive 1 (readable by everybody) with one stored page, in the index too; archive 2 empty.
    void SetUp() override {
        add_archive("one");
        add_archive("two");

        document_version doc;
        doc.guid = page_guid;
        doc.arcid = 1;
        doc.url = "http://example.com/";
        doc.timestamp = page_time;
        doc.content = "<html>Big house, garden</html>";
        doc.score = 750000;
        doc.mime = "text/html";
        doc.charset = "iso-8859-1";
        doc.servertime = page_time - 60;
        store(doc);
        // The index gets the page as a rebuild feeds it.
        ASSERT_EQ(run_daemon(write_config(), {"/reindex"}).exit_code, 0);
        start_daemon();
    }
};

// (The figures are GetStatus's, in the API's tests and vantorellctl's status.)
TEST_F(rest_test, status_lists_the_platform_figures) {
    std::string reply = get("/platform/status");
    EXPECT_TRUE(matches(reply, "HTTP/1\\.1 200 OK\r\nContent-Type: text/xml\r\n" + date_pattern() +
                                   "\r\n<\\?xml version=\"1\\.0\" encoding=\"UTF-8\"\\?>\n"
                                   "<statusinfo>\n"
                                   "\t<status>(Running|Crawl stopped|Low disk space)</status>\n"
                                   "\t<extendedstatuslist>\n"
                                   "(\t\t<extendedstatus>\n\t\t\t<key>Platform: [^<]+</key>\n"
                                   "\t\t\t<value>[0-9]+</value>\n\t\t</extendedstatus>\n){4}"
                                   "\t</extendedstatuslist>\n</statusinfo>\n"))
        << reply;
    EXPECT_THAT(reply, testing::HasSubstr("<key>Platform: number of documents</key>\n"
                                          "\t\t\t<value>1</value>"));
}

TEST_F(rest_test, search_answers_with_the_result_list) {
    std::string reply = get("/index/1?q=garden&info=context");
    EXPECT_TRUE(matches(
        reply, "HTTP/1\\.1 200 OK\r\nContent-Type: text/xml\r\n" + date_pattern() +
                   "\r\n<\\?xml version=\"1\\.0\" encoding=\"UTF-8\"\\?>\n<results>\n\t<result>\n"
                   "\t\t<id>0123456789abcdef0123456789abcdef</id>\n"
                   "\t\t<URL>http://example\\.com/</URL>\n"
                   "\t\t<title>[^<]*</title>\n"
                   "\t\t<mimetype>text/html</mimetype>\n"
                   "\t\t<contextlist>\n(\t\t\t<context>[^<]*</context>\n)+\t\t</contextlist>\n"
                   "\t\t<archives>\n\t\t\t<archive>1</archive>\n\t\t</archives>\n"
                   "\t\t<timestamp>[0-9]+</timestamp>\n"
                   "\t\t<servertime>[0-9]+</servertime>\n"
                   "\t\t<score>[0-9]+</score>\n"
                   "\t</result>\n\t<maxresults>1</maxresults>\n</results>\n"))
        << reply;

    // A word in no document finds nothing. (How archive lists read is the route table's.)
    reply = get("/index/2,1,2?q=nowhere");
    EXPECT_THAT(reply, testing::HasSubstr("<results>\n\t<maxresults>0</maxresults>\n</results>\n"));
    // Archive 3 does not exist; searching it is no error. (What the searches log is the API's.)
    EXPECT_THAT(get("/index/3?alg=garden"), testing::HasSubstr("<maxresults>0</maxresults>"));
}

TEST_F(rest_test, documents_are_read_in_the_form_the_accept_header_asks_for) {
    auto page = sample_page();
    std::string xml = FFF::render_xml(page_guid, "http://example.com/", page_time, *page);
    std::string html = FFF::render_html(page_guid, "http://example.com/", page_time, *page);
    // The Accept header, and the type and body of the reply.
    for (const auto& [accept, type, body] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"Accept: */*\r\n", "text/html; charset=iso-8859-1", "<html>Big house, garden</html>"},
             {"Accept: application/vnd.marloven-fff\r\n",
              "application/vnd.marloven-fff; charset=UTF-8", xml},
             {"Accept: text/html; charset=utf-8\r\n", "text/html; charset=UTF-8", html}}) {
        // Every form is crawled content: no type sniffing, no script in the daemon's origin.
        std::string reply = get(std::string("/index/1/doc/") + page_guid, accept);
        EXPECT_TRUE(matches(reply, "HTTP/1\\.1 200 OK\r\nContent-Type: " + quote(type) + "\r\n" +
                                       date_pattern() +
                                       "Content-Length: " + std::to_string(body.size()) +
                                       "\r\nX-Content-Type-Options: nosniff\r\n"
                                       "Content-Security-Policy: sandbox\r\n\r\n" +
                                       quote(body)))
            << accept << reply;
    }
}

TEST_F(rest_test, an_uploaded_document_is_processed_and_found_by_search) {
    const std::string content =
        "<html><head><title>Airships</title></head><body><p>Zeppelins over the lake</p></body>"
        "</html>";
    std::string reply = post("/index/1/doc?url=HTTP://Example.ORG:80/a", content,
                             "Content-Type: text/html; charset=UTF-8\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(reply, m,
                                  std::regex("<\\?xml version=\"1\\.0\" encoding=\"UTF-8\"\\?>\n"
                                             "<newdocument>\n\t<id archive=\"1\">([0-9a-f]{32})"
                                             "</id>\n</newdocument>\n$")))
        << reply;
    const std::string guid = m[1];
    EXPECT_TRUE(reply.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n", 0) == 0);

    reply = get("/index/1/doc/" + guid);
    EXPECT_THAT(reply, testing::HasSubstr("Content-Type: text/html; charset=utf-8\r\n"))
        << "the type as the request gave it, lower-cased";
    EXPECT_THAT(reply, testing::HasSubstr("\r\n\r\n" + content));

    // A crawl thread parses the stored content, hands it to the index and ends the crawl that
    // the upload opened; the words of its title and body then find it.
    ASSERT_TRUE(eventually([&] {
        return get("/index/1?q=zeppelins").find("<id>" + guid + "</id>") != std::string::npos;
    })) << log();
    EXPECT_THAT(get("/index/1?q=airships"), testing::HasSubstr("<title>Airships</title>"));

    // Stored under its normal form; the crawl that the upload opened has ended, its queue empty.
    stop_daemon();
    EXPECT_EQ(rows("select url from docstorage where guid='" + guid + "'"),
              std::vector<std::string>{"http://example.org/a"});
    EXPECT_EQ(rows("select (select count(*) from docstorage where arcid=1), (select count(*) "
                   "from crawlstats where end=0), (select count(*) from fetchqueue)"),
              std::vector<std::string>{"2|0|0"});
}

}  // namespace
}  // namespace vant_test
