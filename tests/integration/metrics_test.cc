// GET /metrics of the running daemon: a text that Prometheus can read, counters that follow a
// crawl and a search, and the same authentication as the REST paths.
// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>

#include <map>
#include <regex>
#include <sstream>

#include "api/api-common.h"
#include "daemon_fixture.h"
#include "support/test_http_server.h"
#include "util/http_text.h"

namespace vant_test {
namespace {

using namespace marloven;

// Checks every line against the exposition format (version 0.0.4) and returns the samples by
// their name and labels, and the type of each family.
struct exposition {
    std::map<std::string, double> samples;  // "name{labels}" -> value
    std::map<std::string, std::string> types;
};
exposition read_exposition(const std::string& body) {
    static const std::regex line(
        R"(# HELP [a-zA-Z_:][a-zA-Z0-9_:]* [^\n]*|)"
        R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)|)"
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*")"
        R"((,[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*")*\})?) ([-+]?[0-9.eE+-]+|[-+]Inf|NaN))");
    exposition e;
    std::istringstream lines(body);
    std::string text;
    std::smatch m;
    while (std::getline(lines, text)) {
        EXPECT_TRUE(std::regex_match(text, m, line)) << "not exposition format: " << text;
        if (m.empty()) {
            continue;
        }
        if (m[1].matched) {
            e.types.emplace(m[1], m[2]);
        } else if (m[3].matched) {
            EXPECT_TRUE(e.samples.emplace(m[3], std::stod(m[6])).second) << "repeated: " << text;
        }
    }
    EXPECT_TRUE(body.ends_with('\n'));
    return e;
}

class metrics_test : public daemon_fixture {
  protected:
    static constexpr const char* credentials = "boss:pw";

    std::string authorised(const std::string& target) {
        return get(target, "Authorization: Basic " + encode_base64(credentials) + "\r\n");
    }
    exposition scrape() {
        const std::string reply = authorised("/metrics");
        const size_t body = reply.find("\r\n\r\n");
        EXPECT_THAT(reply, testing::HasSubstr("Content-Type: text/plain; version=0.0.4"));
        return read_exposition(body == std::string::npos ? "" : reply.substr(body + 4));
    }
    // An archive of a two-page site with a crawl open and its seed queued (daemon not running).
    void add_site() {
        site_.route("/", 200, "text/html",
                    "<html><title>Home</title><body>orchard <a href=\"/a\">a</a></body></html>");
        site_.route("/a", 200, "text/html", "<html><body>orchard pears</body></html>");
        SourceConfiguration source;
        source.seeds = {site_.url("/")};
        source.include_filters = {"^" + site_.url("/")};
        ASSERT_EQ(add_crawl(source), 1u);
    }
    test_http_server site_;
};

TEST_F(metrics_test, counters_follow_crawl_and_search_in_exposition_format) {
    add_site();
    start_daemon("HTTP_USER=boss\nHTTP_MD5PASS=" + md5_hex("pw") + "\n");
    wait_for_crawl_end(1);
    const std::string search = authorised("/index/1?q=orchard");
    ASSERT_THAT(search, testing::HasSubstr("<maxresults>2</maxresults>"));

    exposition e = scrape();
    std::string families;  // "name:type" of each family, by name
    for (const auto& [name, type] : e.types) {
        families += name + ":" + type + " ";
    }
    EXPECT_EQ(families,
              "vantorell_crawl_documents:gauge vantorell_crawl_errors:gauge "
              "vantorell_crawl_not_modified:gauge vantorell_crawl_pages_per_second:gauge "
              "vantorell_crawl_running:gauge vantorell_fetch_queue_length:gauge "
              "vantorell_fetched_bytes_total:counter vantorell_index_bytes:gauge "
              "vantorell_not_modified_total:counter vantorell_pages_fetched_total:counter "
              "vantorell_search_duration_seconds:histogram vantorell_searches_total:counter "
              "vantorell_stored_documents:gauge vantorell_worker_restarts_total:counter ");
    EXPECT_EQ(e.samples["vantorell_crawl_running{archive=\"1\"}"], 0);
    EXPECT_EQ(e.samples["vantorell_crawl_documents{archive=\"1\"}"], 2);
    EXPECT_EQ(e.samples["vantorell_pages_fetched_total{result=\"NONE\"}"], 2);
    EXPECT_GT(e.samples["vantorell_fetched_bytes_total"], 60);
    EXPECT_EQ(e.samples["vantorell_fetch_queue_length{archive=\"1\"}"], 0);
    EXPECT_EQ(e.samples["vantorell_stored_documents"], 2);
    EXPECT_GT(e.samples["vantorell_index_bytes"], 0);
    EXPECT_EQ(e.samples["vantorell_searches_total"], 1);
    EXPECT_EQ(e.samples["vantorell_search_duration_seconds_count"], 1);
    EXPECT_EQ(e.samples["vantorell_search_duration_seconds_bucket{le=\"+Inf\"}"], 1);

    // Without credentials: refused exactly as a REST path is.
    EXPECT_EQ(get("/metrics"), get("/platform/status"));
}

}  // namespace
}  // namespace vant_test
