// The real worker program, started through worker_process, against the scripted web server:
// a page fetched and parsed with the configuration's settings. Statuses, redirects, time-outs,
// size limits, log-ins and scores are in the fetcher's, parser's and request handler's tests,
// garbage messages in the worker-message fuzz target; REPROCESS goes the whole way in the
// plug-in crawls.
// SPDX-License-Identifier: MIT
#include "worker/worker_process.h"

#include <gtest/gtest.h>

#include <tuple>

#include "parse/fff_dump.h"
#include "records/records.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "util/config_file.h"

namespace {

using namespace marloven;
using vant_test::http_response;

// An ISO-8859-1 page with a link and a passage that the source excludes from the text.
const std::string page =
    "<html><head><title>Caf\xE9 guide</title></head><body><p>See <a "
    "href='more.html#x'>more</a>.</p><p>Keep<!--skip--> secret <a "
    "href='/hidden'>hidden link</a><!--/skip--> this.</p></body></html>";

TEST(worker_process_test, page_is_fetched_and_parsed_into_fff) {
    vant_test::temp_dir dir;
    vant_test::test_http_server server;
    server.route("/guide/index.html",
                 http_response{200,
                               {{"Content-Type", "text/html; charset=ISO-8859-1"},
                                {"Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT"}},
                               page});
    const std::string conf =
        dir.write("vantorell.conf", "DEPLOYDIR=" VANT_DEPLOY_DIR "\nUserAgent=vant-test/2\n");
    config_file config(conf);
    worker_process worker(config);
    std::string err;
    ASSERT_TRUE(worker.start(err, {{"MARLOVEN_CONFIG_FILE", conf}})) << err;
    SourceConfiguration source;
    source.text_exclusion_begin = "<!--skip-->";
    source.text_exclusion_end = "<!--/skip-->";
    process_request q;
    q.depth_credit = depth_credit(1);
    q.guid = "0123456789abcdef0123456789abcdef";
    q.url = server.url("/guide/index.html");
    EXPECT_TRUE(write_source_xml(source, q.source_xml));
    q.filters.marker_begin = source.text_exclusion_begin;
    q.filters.marker_end = source.text_exclusion_end;
    q.cookies = "a=1; b=2";
    process_reply r = worker.process(q);
    worker.quit();  // the destructor then waits for the exit

    EXPECT_EQ(std::tie(r.result.status, r.result.mime, r.result.charset, r.result.datetime),
              std::tuple(crawl_error::none, "text/html", "iso-8859-1", 784111777))
        << r.result.status_text;
    EXPECT_EQ(r.content, page) << "the raw body, not the converted text";
    EXPECT_EQ(r.headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(vant_test::dump_fff_blob(r.fff),
              "15[Caf\xC3\xA9 guide] | 10[See] 12#0[more] 10[.] | 10[Keep this .]");
    EXPECT_EQ(r.outlinks.size(), 2u) << "(their scores are the request handler's tests)";
    const auto sent = server.requests().at(0);
    EXPECT_EQ(sent.header("cookie") + "|" + sent.header("user-agent"), "a=1; b=2|vant-test/2");
}

}  // namespace
